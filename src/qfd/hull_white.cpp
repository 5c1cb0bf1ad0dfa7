#include "qfd/hull_white.hpp"

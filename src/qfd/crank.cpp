#include "qfd/crank.hpp"

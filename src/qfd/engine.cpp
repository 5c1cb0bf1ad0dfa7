#include "qfd/engine.hpp"

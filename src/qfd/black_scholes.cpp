#include "qfd/black_scholes.hpp"

#include "qfd/state.hpp"

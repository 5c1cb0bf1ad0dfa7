#include "qmc/engine.hpp"

#include "model/forwardstate.hpp"

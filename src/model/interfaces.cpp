#include "model/interfaces.hpp"

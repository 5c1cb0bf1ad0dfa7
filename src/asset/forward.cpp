#include "asset/forward.hpp"

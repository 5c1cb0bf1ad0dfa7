#include "qdt/fixed.hpp"

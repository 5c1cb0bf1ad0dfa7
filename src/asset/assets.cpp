#include "asset/assets.hpp"

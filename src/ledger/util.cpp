#include "ledger/util.hpp"

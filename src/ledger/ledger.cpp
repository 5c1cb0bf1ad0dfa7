#include "ledger/ledger.hpp"

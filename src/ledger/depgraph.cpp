#include "ledger/depgraph.hpp"

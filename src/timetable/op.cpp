#include "timetable/op.hpp"

#include "timetable/expressions.hpp"

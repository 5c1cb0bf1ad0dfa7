#include "timetable/timetable.hpp"

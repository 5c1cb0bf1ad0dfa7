#include "timetable/unit.hpp"

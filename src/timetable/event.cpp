#include "timetable/event.hpp"

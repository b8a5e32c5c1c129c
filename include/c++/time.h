// <time.h> for the C++ headers: zylos has no clock and no calendar, but
// <chrono>'s system_clock names time_t in its conversions (which link only
// where they are used).
#ifndef ZYLOS_CXX_TIME_H
#define ZYLOS_CXX_TIME_H

typedef long time_t;

#endif

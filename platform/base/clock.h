// The clocks of the program, one function each: the monotonic clock for
// every wait and time-out (it does not jump when the time is set; it stops
// while the machine sleeps), and the wall clock for what is reported as a
// date.
#pragma once

#include <time.h>

namespace helper {

inline double secondsOf(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Seconds on CLOCK_MONOTONIC.
inline double monotonicSeconds() { return secondsOf(CLOCK_MONOTONIC); }
// Seconds since 1970-01-01 00:00 UTC.
inline double wallSeconds() { return secondsOf(CLOCK_REALTIME); }

}  // namespace helper

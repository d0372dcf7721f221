// Milliseconds on the monotonic clock, for waits and deadlines that must not
// jump with the wall clock. Held in 64 bits: a 32-bit long (armhf) would
// overflow after 24.8 days of uptime.
#pragma once

#include <cstdint>
#include <ctime>

inline int64_t monotonicUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

inline int64_t monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// POSIX backend: the monotonic clock serves as the high-resolution counter.
#include "platform/os_time.h"

#include <errno.h>
#include <time.h>

namespace {
std::int64_t posix_monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
}  // namespace

bool os_perf_frequency(std::int64_t* counts_per_second) {
  *counts_per_second = 1000000000;
  return true;
}

bool os_perf_counter(std::int64_t* counts) {
  *counts = posix_monotonic_ns();
  return true;
}

std::uint32_t os_tick_count() { return static_cast<std::uint32_t>(posix_monotonic_ns() / 1000000); }

void os_sleep(std::uint32_t milliseconds) {
  timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// POSIX sleeps already have fine resolution.
void os_request_timer_resolution() {}

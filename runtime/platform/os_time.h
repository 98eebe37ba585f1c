// Platform contract: clocks and sleeping.
#pragma once
#include <cstdint>

// The high-resolution counter's frequency in counts per second; false when
// there is no such counter.
bool os_perf_frequency(std::int64_t* counts_per_second);

// The high-resolution counter; false when unavailable.
bool os_perf_counter(std::int64_t* counts);

// Milliseconds since a system-fixed origin, wrapping at 2^32.
std::uint32_t os_tick_count();

// Suspends the calling thread.
void os_sleep(std::uint32_t milliseconds);

// Asks for a 1 ms system timer resolution (never withdrawn).
void os_request_timer_resolution();

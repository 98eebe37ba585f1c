// Timing, delay and pseudo-random numbers.
#pragma once
#include <cstdint>

// Milliseconds from a system-fixed origin; wraps after 2^32 ms; take differences.
std::int32_t tm_elapsed_ms();

// Suspends the calling thread; the first call requests 1 ms timer resolution.
void tm_delay(std::int32_t milliseconds);

// An integer in minimum..maximum inclusive (bounds compared unsigned; a
// minimum above the maximum gives the maximum). Seeds itself on first use.
std::int32_t tm_random(std::int32_t maximum, std::int32_t minimum);

// Seeds the generator and gives its next raw output (for tests).
void tm_random_seed(std::uint32_t seed);
std::uint32_t tm_random_next();

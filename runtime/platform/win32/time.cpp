// Win32 backend: the performance counter, the tick count and Sleep.
#include "platform/os_time.h"
#include "win32_util.h"

#include <mmsystem.h>

bool os_perf_frequency(std::int64_t* counts_per_second) {
  LARGE_INTEGER f;
  if (!QueryPerformanceFrequency(&f)) return false;
  *counts_per_second = f.QuadPart;
  return true;
}

bool os_perf_counter(std::int64_t* counts) {
  LARGE_INTEGER c;
  if (!QueryPerformanceCounter(&c)) return false;
  *counts = c.QuadPart;
  return true;
}

std::uint32_t os_tick_count() { return GetTickCount(); }

void os_sleep(std::uint32_t milliseconds) { Sleep(milliseconds); }

void os_request_timer_resolution() { timeBeginPeriod(1); }

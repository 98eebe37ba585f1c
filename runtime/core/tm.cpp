// Timing, delay and the two-lag additive random generator.
#include "core/tm.h"

#include "platform/os_process.h"
#include "platform/os_time.h"

namespace {

std::int64_t g_counts_per_ms = 0;
bool g_resolution_requested = false;

struct Generator {
  std::uint32_t a[17];
  std::uint32_t b[17];
  int i;
  int j;
  bool seeded;
};
Generator g_gen;

constexpr std::uint32_t SEED_MULTIPLIER = 1403630843u;  // 0x53A9B4FB

constexpr std::uint32_t tm_rotr(std::uint32_t v, int n) { return (v >> n) | (v << (32 - n)); }

std::uint32_t tm_step() {
  Generator& g = g_gen;
  std::uint32_t na = tm_rotr(g.b[g.i], 13) + g.b[g.j];
  std::uint32_t nb = tm_rotr(g.a[g.i], 5) + g.a[g.j];
  g.a[g.i] = na;
  g.b[g.i] = nb;
  g.i = g.i == 0 ? 16 : g.i - 1;
  g.j = g.j == 0 ? 16 : g.j - 1;
  return na;
}

}  // namespace

std::int32_t tm_elapsed_ms() {
  if (g_counts_per_ms == 0) {
    std::int64_t freq = 0;
    if (!os_perf_frequency(&freq) || freq / 1000 == 0) return static_cast<std::int32_t>(os_tick_count());
    g_counts_per_ms = freq / 1000;
  }
  std::int64_t counts = 0;
  os_perf_counter(&counts);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(counts / g_counts_per_ms));
}

void tm_delay(std::int32_t milliseconds) {
  if (!g_resolution_requested) {
    os_request_timer_resolution();
    g_resolution_requested = true;
  }
  os_sleep(milliseconds > 0 ? static_cast<std::uint32_t>(milliseconds) : 0);
}

void tm_random_seed(std::uint32_t seed) {
  Generator& g = g_gen;
  std::uint32_t x = seed;
  for (int k = 0; k < 17; ++k) {
    g.b[k] = 1 - x * SEED_MULTIPLIER;
    g.a[k] = 1 - g.b[k] * SEED_MULTIPLIER;
    x = g.a[k];
  }
  g.i = 0;
  g.j = 10;
  for (int k = 0; k < 31; ++k) tm_step();
  g.seeded = true;
}

std::uint32_t tm_random_next() { return tm_step(); }

std::int32_t tm_random(std::int32_t maximum, std::int32_t minimum) {
  auto hi = static_cast<std::uint32_t>(maximum);
  auto lo = static_cast<std::uint32_t>(minimum);
  if (lo > hi) lo = hi;
  if (!g_gen.seeded) tm_random_seed(os_thread_id() ^ os_tick_count());
  std::uint32_t n = hi - lo;
  std::uint32_t x = tm_step();
  std::uint32_t scaled =
      n + 1 == 0 ? x : static_cast<std::uint32_t>((static_cast<std::uint64_t>(x) * (static_cast<std::uint64_t>(n) + 1)) >> 32);
  return static_cast<std::int32_t>(lo + scaled);
}

// tree_insert_unique on random and on ascending strings (the shape that
// turns the unbalanced tree into a chain), and with repeats.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/tree.h"
#include "core/rt.h"

namespace {

const bool g_runtime = (rt_init_for_tests(0, nullptr), true);

std::vector<std::u16string> bench_lines(std::int64_t n, bool ascending) {
  std::vector<std::u16string> v;
  std::uint32_t x = 7;
  char buf[32];
  for (std::int64_t i = 0; i < n; ++i) {
    x = x * 1664525u + 1013904223u;
    if (ascending) std::snprintf(buf, sizeof buf, "%012lld", static_cast<long long>(i));
    else std::snprintf(buf, sizeof buf, "w%08x line", static_cast<unsigned>(x));
    std::string s(buf);
    v.emplace_back(s.begin(), s.end());
  }
  return v;
}

void BM_TreeInsert(benchmark::State& state, bool ascending) {
  auto lines = bench_lines(state.range(0), ascending);
  for (auto _ : state) {
    tree_init(102400);
    for (const auto& l : lines) benchmark::DoNotOptimize(tree_insert_unique(l.c_str()));
    // Every line again: all repeats.
    for (const auto& l : lines) benchmark::DoNotOptimize(tree_insert_unique(l.c_str()));
    tree_clear();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0) * 2);
}

}  // namespace

BENCHMARK_CAPTURE(BM_TreeInsert, random, false)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TreeInsert, ascending, true)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

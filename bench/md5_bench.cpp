// MD5 throughput on data in memory, by buffer size, and through the
// incremental interface in the 1 MiB pieces the file fingerprint feeds it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "fingerprint/md5.h"

namespace {

std::vector<std::uint8_t> bench_data(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  std::uint32_t x = 1;
  for (auto& b : v) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return v;
}

void BM_Md5OneShot(benchmark::State& state) {
  auto data = bench_data(static_cast<std::size_t>(state.range(0)));
  std::uint8_t digest[MD5_DIGEST_BYTES];
  for (auto _ : state) {
    fp_md5(data.data(), data.size(), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Md5OneShot)->Arg(64)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

void BM_Md5Incremental(benchmark::State& state) {
  constexpr std::size_t piece = 1 << 20;
  auto data = bench_data(piece);
  std::uint8_t digest[MD5_DIGEST_BYTES];
  for (auto _ : state) {
    Md5Context ctx;
    fp_md5_init(&ctx);
    for (int i = 0; i < 16; ++i) fp_md5_update(&ctx, data.data(), piece);
    fp_md5_final(&ctx, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16 * static_cast<std::int64_t>(piece));
}
BENCHMARK(BM_Md5Incremental);

}  // namespace

// txt_read_line per text format over a file of 500,000 lines.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/rt.h"
#include "textfile/txt.h"

namespace {

const bool g_runtime = (rt_init_for_tests(0, nullptr), txt_init(), true);

std::filesystem::path bench_file(TextFormat format) {
  auto path = std::filesystem::temp_directory_path() / ("txt_bench_" + std::to_string(static_cast<int>(format)));
  if (std::filesystem::exists(path)) return path;
  std::ofstream out(path, std::ios::binary);
  char buf[64];
  for (int i = 0; i < 500000; ++i) {
    int n = std::snprintf(buf, sizeof buf, "line %d of some text caf\xC3\xA9\n", static_cast<int>(static_cast<long long>(i) * 7919 % 100003));
    if (format == TextFormat::Utf16Le) {
      // The same text as UTF-16LE (the two bytes of the UTF-8 letter become one unit).
      std::u16string u;
      for (int k = 0; k < n; ++k) {
        unsigned char c = static_cast<unsigned char>(buf[k]);
        if (c == 0xC3) {
          u.push_back(static_cast<char16_t>(0xC0 | (static_cast<unsigned char>(buf[++k]) & 0x3F)));
        } else {
          u.push_back(c);
        }
      }
      out.write(reinterpret_cast<const char*>(u.data()), static_cast<std::streamsize>(u.size() * 2));
    } else {
      out.write(buf, n);
    }
  }
  return path;
}

void BM_ReadLines(benchmark::State& state, TextFormat format) {
  auto path = bench_file(format);
  std::int64_t lines = 0;
  for (auto _ : state) {
    txt_open_read(1, path.u16string().c_str(), TXT_SHARE_READ);
    do {
      benchmark::DoNotOptimize(txt_read_line(1, format));
      ++lines;
    } while (!txt_eof(1));
    txt_close(1);
  }
  state.SetItemsProcessed(lines);
}

}  // namespace

BENCHMARK_CAPTURE(BM_ReadLines, ansi, TextFormat::Ansi)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadLines, utf8, TextFormat::Utf8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadLines, utf16le, TextFormat::Utf16Le)->Unit(benchmark::kMillisecond);

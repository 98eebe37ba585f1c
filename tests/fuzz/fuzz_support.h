// What the fuzz targets share: the run-time's start, an input taken apart
// piece by piece, and the check that stops the run when a property fails.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/rt.h"

// The heaps, the string runtime, the array library and the parameter
// service, as the programs' start-up makes them; once per fuzzing process.
inline void fuzz_start_runtime(int* argc, char*** argv) { rt_init_for_tests(*argc, *argv); }

// A property that does not hold: says which and aborts, so that the fuzzer
// keeps the input as a finding.
inline void fuzz_require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "fuzz property failed: %s\n", property);
  std::abort();
}

// The sign of a comparison result: -1, 0 or 1.
inline int fuzz_sign(int c) { return (c > 0) - (c < 0); }

// A fuzzer's input, read from the front; past its end every read gives 0.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

  bool empty() const { return p_ == end_; }
  std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }
  std::uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
  std::uint16_t u16() {
    std::uint16_t lo = byte();
    return static_cast<std::uint16_t>(lo | (byte() << 8));
  }
  // The next n bytes (fewer at the end).
  std::string bytes(std::size_t n) {
    if (n > left()) n = left();
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return s;
  }
  std::string rest() { return bytes(left()); }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

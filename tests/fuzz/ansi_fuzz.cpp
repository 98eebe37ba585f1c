// Fuzz target: the ANSI conversions of the platform layer. Here the ANSI
// code page is ISO-8859-1: byte b is unit b and back, and a unit above
// U+00FF has no byte and becomes "?". So bytes converted to units and back
// are the bytes, whatever they are; a short room gets the first results;
// without a destination the conversion only counts.
//
// Input: a byte whose value limits the room, then the bytes, which are also
// read as little-endian units.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "platform/os_seam.h"
#include "platform/os_text.h"

namespace {

using Bytes = std::string;
using Units = std::u16string;

auto n32(std::size_t n) { return static_cast<std::int32_t>(n); }

Units model_to_units(const Bytes& s) {
  Units out;
  for (char c : s) out += static_cast<char16_t>(static_cast<unsigned char>(c));
  return out;
}

Bytes model_to_bytes(const Units& u) {
  Bytes out;
  for (char16_t c : u) out += c <= 0xFF ? static_cast<char>(c) : '?';
  return out;
}

void check_bytes(const Bytes& s, std::uint8_t room) {
  const Units model = model_to_units(s);
  fuzz_require(os_ansi_to_utf16(s.data(), n32(s.size()), nullptr, 0) == n32(model.size()), "counting bytes to units");
  Units units(model.size(), u'\0');
  fuzz_require(os_ansi_to_utf16(s.data(), n32(s.size()), units.data(), n32(units.size())) == n32(model.size()),
               "every byte converted");
  fuzz_require(units == model, "bytes to units is the model's");
  Units sys(model.size(), u'\0');
  os_sys_ansi_to_utf16(s.data(), n32(s.size()), sys.data(), n32(sys.size()));
  fuzz_require(sys == model, "the seam's entry is the system's conversion");
  Bytes back(s.size(), '\0');
  fuzz_require(os_utf16_to_ansi(units.data(), n32(units.size()), back.data(), n32(back.size())) == n32(s.size()),
               "every unit converted back");
  fuzz_require(back == s, "bytes to units and back are the bytes");
  if (!s.empty()) {
    const std::int32_t k = 1 + room % n32(s.size());
    Units part(static_cast<std::size_t>(k), u'\0');
    fuzz_require(os_ansi_to_utf16(s.data(), n32(s.size()), part.data(), k) == k, "a short room is filled");
    fuzz_require(part == model.substr(0, static_cast<std::size_t>(k)), "a short room holds the first units");
  }
}

void check_units(const Units& u, std::uint8_t room) {
  const Bytes model = model_to_bytes(u);
  fuzz_require(os_utf16_to_ansi(u.data(), n32(u.size()), nullptr, 0) == n32(model.size()), "counting units to bytes");
  Bytes bytes(model.size(), '\0');
  fuzz_require(os_utf16_to_ansi(u.data(), n32(u.size()), bytes.data(), n32(bytes.size())) == n32(model.size()),
               "every unit converted");
  fuzz_require(bytes == model, "units to bytes is the model's");
  if (!u.empty()) {
    const std::int32_t k = 1 + room % n32(u.size());
    Bytes part(static_cast<std::size_t>(k), '\0');
    fuzz_require(os_utf16_to_ansi(u.data(), n32(u.size()), part.data(), k) == k, "a short room is filled");
    fuzz_require(part == model.substr(0, static_cast<std::size_t>(k)), "a short room holds the first bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz_start_runtime(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const std::uint8_t room = in.byte();
  const Bytes s = in.rest();
  check_bytes(s, room);
  Units u;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2)
    u += static_cast<char16_t>(static_cast<unsigned char>(s[i]) | static_cast<unsigned char>(s[i + 1]) << 8);
  check_units(u, room);
  return 0;
}

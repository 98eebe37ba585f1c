// Fuzz target: UTF-8 decoding and encoding, the text files' own
// (txt_utf8) and the platform's (os_text, used for names and str_to_utf8),
// against one model.
//
// Any bytes decode: a valid shortest-form sequence of a code point that is
// not a surrogate becomes that code point (a surrogate pair above U+FFFF),
// every other byte b on its own becomes U+DC00 + b. So decoding then
// encoding gives back every input, valid or not. Encoding takes any units:
// a surrogate pair becomes its code point, a lone U+DC80..U+DCFF the byte it
// stands for, any other lone surrogate U+FFFD; units without lone surrogates
// come back from encoding then decoding.
//
// Input: a byte whose value limits the encoder's room, then the bytes, which
// are also read as little-endian units.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/str.h"
#include "fuzz_support.h"
#include "platform/os_text.h"
#include "textfile/txt_utf8.h"

namespace {

using Bytes = std::string;
using Units = std::u16string;

// The length and code point of a valid sequence at s[i], or 0.
int model_sequence(const Bytes& s, std::size_t i, std::uint32_t* cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  int len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || i + static_cast<std::size_t>(len) > s.size()) return 0;
  std::uint32_t v = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((b >> 6) != 0x2) return 0;
    v = v << 6 | (b & 0x3F);
  }
  static constexpr std::uint32_t SHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < SHORTEST[len] || v > 0x10FFFF || (v >= 0xD800 && v < 0xE000)) return 0;
  *cp = v;
  return len;
}

Units model_decode(const Bytes& s) {
  Units out;
  for (std::size_t i = 0; i < s.size();) {
    std::uint32_t cp = 0;
    int len = model_sequence(s, i, &cp);
    if (len == 0) {
      out += static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(s[i]));
      ++i;
      continue;
    }
    if (cp > 0xFFFF) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += static_cast<std::size_t>(len);
  }
  return out;
}

// The bytes of each character in turn (a pair is one character).
std::vector<Bytes> model_encode_chars(const Units& u) {
  std::vector<Bytes> chars;
  for (std::size_t i = 0; i < u.size(); ++i) {
    std::uint32_t c = u[i];
    Bytes b;
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (u[++i] - 0xDC00u);
    } else if (c >= 0xDC80 && c < 0xDD00) {
      chars.push_back(Bytes(1, static_cast<char>(c - 0xDC00)));
      continue;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      b += static_cast<char>(c);
    } else if (c < 0x800) {
      b += static_cast<char>(0xC0 | c >> 6);
      b += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      b += static_cast<char>(0xE0 | c >> 12);
      b += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      b += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      b += static_cast<char>(0xF0 | c >> 18);
      b += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      b += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      b += static_cast<char>(0x80 | (c & 0x3F));
    }
    chars.push_back(b);
  }
  return chars;
}

Bytes join(const std::vector<Bytes>& chars) {
  Bytes out;
  for (const Bytes& c : chars) out += c;
  return out;
}

bool has_lone_surrogate(const Units& u) {
  for (std::size_t i = 0; i < u.size(); ++i) {
    if (u[i] >= 0xD800 && u[i] < 0xDC00 && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] < 0xE000) ++i;
    else if (u[i] >= 0xD800 && u[i] < 0xE000) return true;
  }
  return false;
}

auto n32(std::size_t n) { return static_cast<std::int32_t>(n); }
auto bytes_of(const Bytes& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

Units txt_decode(const Bytes& s) {
  Units out(s.size() + 1, u'\0');
  const std::int32_t n = txt_utf8_decode(bytes_of(s), n32(s.size()), out.data());
  fuzz_require(n >= 0 && n <= n32(s.size()), "the decoder gives no more units than bytes");
  out.resize(static_cast<std::size_t>(n));
  return out;
}

Bytes txt_encode(const Units& u, std::int32_t capacity) {
  Bytes out(static_cast<std::size_t>(capacity) + 1, '\0');
  const std::int32_t n =
      txt_utf8_encode(u.data(), n32(u.size()), reinterpret_cast<unsigned char*>(out.data()), capacity);
  fuzz_require(n >= 0 && n <= capacity, "the encoder stays within its room");
  out.resize(static_cast<std::size_t>(n));
  return out;
}

Units os_decode(const Bytes& s) {
  const std::int32_t need = os_utf8_to_utf16(s.data(), n32(s.size()), nullptr, 0);
  Units out(static_cast<std::size_t>(need), u'\0');
  fuzz_require(os_utf8_to_utf16(s.data(), n32(s.size()), out.data(), need) == need, "the platform decodes in full");
  return out;
}

Bytes os_encode(const Units& u) {
  const std::int32_t need = os_utf16_to_utf8(u.data(), n32(u.size()), nullptr, 0);
  Bytes out(static_cast<std::size_t>(need), '\0');
  fuzz_require(os_utf16_to_utf8(u.data(), n32(u.size()), out.data(), need) == need, "the platform encodes in full");
  return out;
}

// Bytes decoded and encoded again, by both decoders.
void check_bytes(const Bytes& s, std::uint8_t room) {
  const Units model = model_decode(s);
  fuzz_require(txt_decode(s) == model, "the text files' decoder is the model's");
  fuzz_require(os_decode(s) == model, "the platform's decoder is the model's");
  fuzz_require(txt_encode(model, n32(model.size()) * 3) == s, "decoding then encoding gives back the bytes");
  fuzz_require(os_encode(model) == s, "the platform gives back the bytes");
  // A short room: the platform writes a prefix of its units.
  if (!model.empty()) {
    const std::int32_t k = room % n32(model.size() + 1);
    Units part(static_cast<std::size_t>(k) + 1, u'\0');
    if (k > 0) {
      fuzz_require(os_utf8_to_utf16(s.data(), n32(s.size()), part.data(), k) == k, "a short room is filled");
      fuzz_require(part.compare(0, static_cast<std::size_t>(k), model, 0, static_cast<std::size_t>(k)) == 0,
                   "a short room holds the first units");
    }
  }
}

// Units encoded, by both encoders, and decoded again.
void check_units(const Units& u, std::uint8_t room) {
  const std::vector<Bytes> chars = model_encode_chars(u);
  const Bytes model = join(chars);
  fuzz_require(txt_encode(u, n32(u.size()) * 3) == model, "the text files' encoder is the model's");
  fuzz_require(os_encode(u) == model, "the platform's encoder is the model's");
  if (!has_lone_surrogate(u)) {
    fuzz_require(model_decode(model) == u, "the model's encoding of units decodes back");
    fuzz_require(txt_decode(model) == u, "encoding then decoding gives back the units");
  }
  // A short room ends before the first character that does not fit whole.
  const std::int32_t capacity = room % n32(model.size() + 1);
  Bytes fits;
  for (const Bytes& c : chars) {
    if (fits.size() + c.size() > static_cast<std::size_t>(capacity)) break;
    fits += c;
  }
  fuzz_require(txt_encode(u, capacity) == fits, "a short room takes whole characters only");
  // str_to_utf8 of the string up to its first zero unit (no unit but zero
  // encodes to a zero byte).
  const Units text = u.substr(0, u.find(u'\0'));
  char* c = str_to_utf8(text.c_str());
  fuzz_require(c != nullptr && Bytes(c) == join(model_encode_chars(text)), "str_to_utf8 gives the string's bytes");
  std::free(c);
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

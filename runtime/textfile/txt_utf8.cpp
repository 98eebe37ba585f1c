// Text files: lossless UTF-8 decoding and the matching encoder.
#include "textfile/txt_utf8.h"

#include <cstddef>
#include <cstring>

namespace {

using Word = std::size_t;
constexpr Word BYTE_HIGHS = ~Word(0) / 0xFF * 0x80;  // 0x8080...
constexpr std::int32_t WORD_BYTES = sizeof(Word);
constexpr char16_t ESCAPE_BASE = 0xDC00;

inline bool is_continuation(unsigned c) { return (c & 0xC0) == 0x80; }

// The length of the valid sequence at s[0] (its first byte 0x80 or above)
// and its code point; 0 when the bytes there form none.
inline std::int32_t decode_sequence(const unsigned char* s, std::int32_t left, std::uint32_t* cp) {
  unsigned c = s[0];
  // The range of the second byte narrows for E0, ED, F0 and F4, which rules
  // out overlong forms, surrogates and code points above U+10FFFF.
  if (c >= 0xC2 && c <= 0xDF) {
    if (left < 2 || !is_continuation(s[1])) return 0;
    *cp = ((c & 0x1Fu) << 6) | (s[1] & 0x3Fu);
    return 2;
  }
  if (c >= 0xE0 && c <= 0xEF) {
    if (left < 3) return 0;
    unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    if (s[1] < lo || s[1] > hi || !is_continuation(s[2])) return 0;
    *cp = ((c & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (left < 4) return 0;
    unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    if (s[1] < lo || s[1] > hi || !is_continuation(s[2]) || !is_continuation(s[3])) return 0;
    *cp = ((c & 0x07u) << 18) | ((s[1] & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) | (s[3] & 0x3Fu);
    return 4;
  }
  return 0;
}

}  // namespace

std::int32_t txt_utf8_decode(const unsigned char* src, std::int32_t count, char16_t* dst) {
  std::int32_t i = 0;
  char16_t* out = dst;
  while (i < count) {
    // ASCII a machine word at a time.
    while (count - i >= WORD_BYTES) {
      Word w;
      std::memcpy(&w, src + i, sizeof w);
      if (w & BYTE_HIGHS) break;
      for (std::int32_t k = 0; k < WORD_BYTES; ++k) out[k] = src[i + k];
      out += WORD_BYTES;
      i += WORD_BYTES;
    }
    if (i == count) break;
    unsigned c = src[i];
    if (c < 0x80) {
      *out++ = static_cast<char16_t>(c);
      ++i;
      continue;
    }
    std::uint32_t cp = 0;
    std::int32_t length = decode_sequence(src + i, count - i, &cp);
    if (length == 0) {
      *out++ = static_cast<char16_t>(ESCAPE_BASE + c);
      ++i;
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      *out++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *out++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      i += length;
    } else {
      *out++ = static_cast<char16_t>(cp);
      i += length;
    }
  }
  return static_cast<std::int32_t>(out - dst);
}

std::int32_t txt_utf8_encode(const char16_t* src, std::int32_t count, unsigned char* dst, std::int32_t capacity) {
  std::int32_t o = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    std::uint32_t u = src[i];
    if (u < 0x80) {
      if (o >= capacity) break;
      dst[o++] = static_cast<unsigned char>(u);
    } else if (u < 0x800) {
      if (capacity - o < 2) break;
      dst[o++] = static_cast<unsigned char>(0xC0 | (u >> 6));
      dst[o++] = static_cast<unsigned char>(0x80 | (u & 0x3F));
    } else if (u < 0xD800 || u > 0xDFFF) {
      if (capacity - o < 3) break;
      dst[o++] = static_cast<unsigned char>(0xE0 | (u >> 12));
      dst[o++] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
      dst[o++] = static_cast<unsigned char>(0x80 | (u & 0x3F));
    } else if (u <= 0xDBFF && i + 1 < count && src[i + 1] >= 0xDC00 && src[i + 1] <= 0xDFFF) {
      if (capacity - o < 4) break;
      std::uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (src[++i] - 0xDC00u);
      dst[o++] = static_cast<unsigned char>(0xF0 | (cp >> 18));
      dst[o++] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
      dst[o++] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      dst[o++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    } else if (u >= ESCAPE_BASE + 0x80u && u <= ESCAPE_BASE + 0xFFu) {
      if (o >= capacity) break;
      dst[o++] = static_cast<unsigned char>(u - ESCAPE_BASE);  // a byte that was not UTF-8 goes back as itself
    } else {
      // Other lone surrogates have no bytes of their own: U+FFFD.
      if (capacity - o < 3) break;
      dst[o++] = 0xEF;
      dst[o++] = 0xBF;
      dst[o++] = 0xBD;
    }
  }
  return o;
}

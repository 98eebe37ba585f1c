// POSIX backend: UTF-8 with lossless escapes, and ISO-8859-1 as the ANSI code page.
#include "platform/os_seam.h"
#include "platform/os_text.h"
#include "posix_text.h"

#include <cstdint>

namespace {

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when the
// bytes there do not form a valid, shortest-form, non-surrogate sequence.
int posix_decode(const unsigned char* s, std::int32_t i, std::int32_t n, std::uint32_t* cp) {
  unsigned char c = s[i];
  if (c < 0x80) { *cp = c; return 1; }
  int len;
  std::uint32_t v, min;
  if (c >= 0xC2 && c <= 0xDF) { len = 2; v = c & 0x1F; min = 0x80; }
  else if (c >= 0xE0 && c <= 0xEF) { len = 3; v = c & 0x0F; min = 0x800; }
  else if (c >= 0xF0 && c <= 0xF4) { len = 4; v = c & 0x07; min = 0x10000; }
  else return 0;
  if (i + len > n) return 0;
  for (int k = 1; k < len; ++k) {
    unsigned char t = s[i + k];
    if ((t & 0xC0) != 0x80) return 0;
    v = (v << 6) | (t & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

template <typename Put>
void posix_utf8_decode(const char* src, std::int32_t count, Put put) {
  auto* s = reinterpret_cast<const unsigned char*>(src);
  for (std::int32_t i = 0; i < count;) {
    std::uint32_t cp;
    int len = posix_decode(s, i, count, &cp);
    if (len == 0) {
      // An undecodable byte keeps its value as a lone low surrogate.
      put(static_cast<char16_t>(0xDC00 + s[i]));
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(static_cast<char16_t>(0xD800 + (cp >> 10)));
      put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      put(static_cast<char16_t>(cp));
    }
    i += len;
  }
}

template <typename Put>
void posix_utf8_encode(const char16_t* src, std::int32_t count, Put put) {
  for (std::int32_t i = 0; i < count; ++i) {
    std::uint32_t u = src[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && src[i + 1] >= 0xDC00 && src[i + 1] <= 0xDFFF) {
      std::uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (src[i + 1] - 0xDC00);
      ++i;
      put(static_cast<char>(0xF0 | (cp >> 18)));
      put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      put(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      put(static_cast<char>(u - 0xDC00));  // an escaped byte goes back as itself
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      put('\xEF'); put('\xBF'); put('\xBD');  // other lone surrogates: U+FFFD
    } else if (u < 0x80) {
      put(static_cast<char>(u));
    } else if (u < 0x800) {
      put(static_cast<char>(0xC0 | (u >> 6)));
      put(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      put(static_cast<char>(0xE0 | (u >> 12)));
      put(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      put(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
}

// Writes into dst while there is room and counts everything.
template <typename T>
struct Sink {
  T* dst;
  std::int32_t cap;
  std::int32_t n = 0;
  void operator()(T v) {
    if (dst && n < cap) dst[n] = v;
    ++n;
  }
};

template <typename T>
std::int32_t posix_result(const Sink<T>& s) {
  return (s.dst && s.cap > 0) ? (s.n < s.cap ? s.n : s.cap) : s.n;
}

}  // namespace

std::int32_t os_utf8_to_utf16(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity) {
  Sink<char16_t> sink{dst, capacity};
  posix_utf8_decode(src, count, [&](char16_t c) { sink(c); });
  return posix_result(sink);
}

std::int32_t os_utf16_to_utf8(const char16_t* src, std::int32_t count, char* dst, std::int32_t capacity) {
  Sink<char> sink{dst, capacity};
  posix_utf8_encode(src, count, [&](char c) { sink(c); });
  return posix_result(sink);
}

void os_text_set_ansi_code_page(std::uint32_t) {}

bool os_ansi_single_byte() { return true; }  // ISO-8859-1

std::int32_t os_sys_ansi_to_utf16(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity) {
  if (!dst || capacity <= 0) return count;
  std::int32_t n = count < capacity ? count : capacity;
  for (std::int32_t i = 0; i < n; ++i) dst[i] = static_cast<unsigned char>(src[i]);
  return n;
}

std::int32_t os_utf16_to_ansi(const char16_t* src, std::int32_t count, char* dst, std::int32_t capacity) {
  if (!dst || capacity <= 0) return count;
  std::int32_t n = count < capacity ? count : capacity;
  for (std::int32_t i = 0; i < n; ++i) dst[i] = src[i] <= 0xFF ? static_cast<char>(src[i]) : '?';
  return n;
}

std::string posix_to_bytes(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  posix_utf8_encode(text.data(), static_cast<std::int32_t>(text.size()), [&](char c) { out.push_back(c); });
  return out;
}

std::string posix_to_bytes(const char16_t* text) {
  return text ? posix_to_bytes(std::u16string_view(text)) : std::string();
}

std::u16string posix_from_bytes(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  posix_utf8_decode(bytes.data(), static_cast<std::int32_t>(bytes.size()), [&](char16_t c) { out.push_back(c); });
  return out;
}

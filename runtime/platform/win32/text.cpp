// Win32 backend: code-page conversions through the system.
//
// The ANSI conversions are lossless as well: a byte that is no character of
// the code page (a lead byte without its trail byte, say) becomes the lone
// surrogate U+DC00 + byte, and such a surrogate is written back as its byte,
// so distinct lines never read as equal and a line goes back unchanged.
#include "platform/os_seam.h"
#include "platform/os_text.h"
#include "win32_util.h"

namespace {

UINT g_ansi_code_page = CP_ACP;

std::int32_t win_to_wide(UINT cp, const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity) {
  if (count <= 0) return 0;
  if (!dst) capacity = 0;
  return MultiByteToWideChar(cp, 0, src, count, win_w(dst), capacity);
}

std::int32_t win_from_wide(UINT cp, const char16_t* src, std::int32_t count, char* dst, std::int32_t capacity) {
  if (count <= 0) return 0;
  if (!dst) capacity = 0;
  return WideCharToMultiByte(cp, 0, win_w(src), count, dst, capacity, nullptr, nullptr);
}

constexpr char16_t ESCAPE_BASE = 0xDC00;

// The bytes of the character that starts at s[0], as far as the code page
// tells; whether they form a valid character is decided by the conversion.
std::int32_t win_char_length(UINT cp, UINT max_size, const unsigned char* s, std::int32_t left) {
  if (max_size <= 1 || s[0] < 0x80) return 1;
  if (max_size == 2) return IsDBCSLeadByteEx(cp, s[0]) && left >= 2 ? 2 : 1;
  for (std::int32_t k = 1; k <= static_cast<std::int32_t>(max_size) && k <= left; ++k)
    if (MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(s), k, nullptr, 0) > 0) return k;
  return 1;
}

// Character by character, for text in which the code page found a byte
// that is no character.
std::int32_t win_ansi_escaped(UINT cp, const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity) {
  CPINFO info;
  UINT max_size = GetCPInfo(cp, &info) ? info.MaxCharSize : 1;
  auto* s = reinterpret_cast<const unsigned char*>(src);
  std::int32_t n = 0;
  for (std::int32_t i = 0; i < count;) {
    std::int32_t length = win_char_length(cp, max_size, s + i, count - i);
    wchar_t units[4];
    int got = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, src + i, length, units, 4);
    if (got <= 0) {
      // The first byte alone keeps its value; the next one starts afresh.
      units[0] = static_cast<wchar_t>(s[i] >= 0x80 ? ESCAPE_BASE + s[i] : s[i]);
      got = 1;
      length = 1;
    }
    if (dst && capacity > 0) {
      if (n + got > capacity) break;
      for (int k = 0; k < got; ++k) dst[n + k] = static_cast<char16_t>(units[k]);
    }
    n += got;
    i += length;
  }
  return n;
}

// A unit that stands for a byte: U+DC80..U+DCFF not after a high surrogate.
inline bool win_is_escape(const char16_t* s, std::int32_t i) {
  return s[i] >= ESCAPE_BASE + 0x80 && s[i] <= ESCAPE_BASE + 0xFF && !(i > 0 && s[i - 1] >= 0xD800 && s[i - 1] <= 0xDBFF);
}

}  // namespace

void os_text_set_ansi_code_page(std::uint32_t code_page) { g_ansi_code_page = code_page ? code_page : CP_ACP; }

bool os_ansi_single_byte() {
  CPINFO info;
  return GetCPInfo(g_ansi_code_page, &info) && info.MaxCharSize == 1;
}

std::int32_t os_utf8_to_utf16(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity) {
  return win_to_wide(CP_UTF8, src, count, dst, capacity);
}
std::int32_t os_utf16_to_utf8(const char16_t* src, std::int32_t count, char* dst, std::int32_t capacity) {
  return win_from_wide(CP_UTF8, src, count, dst, capacity);
}

std::int32_t os_sys_ansi_to_utf16(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity) {
  if (count <= 0) return 0;
  if (!dst) capacity = 0;
  int n = MultiByteToWideChar(g_ansi_code_page, MB_ERR_INVALID_CHARS, src, count, win_w(dst), capacity);
  if (n > 0 || GetLastError() != ERROR_NO_UNICODE_TRANSLATION) return n;
  return win_ansi_escaped(g_ansi_code_page, src, count, dst, capacity);
}

std::int32_t os_utf16_to_ansi(const char16_t* src, std::int32_t count, char* dst, std::int32_t capacity) {
  if (count <= 0) return 0;
  if (!dst) capacity = 0;
  // The pieces between escaped bytes go through the system's conversion.
  std::int32_t n = 0;
  std::int32_t start = 0;
  for (std::int32_t i = 0; i <= count; ++i) {
    if (i < count && !win_is_escape(src, i)) continue;
    if (i > start) {
      if (dst && capacity - n <= 0) return n;
      int k = win_from_wide(g_ansi_code_page, src + start, i - start, dst ? dst + n : nullptr, dst ? capacity - n : 0);
      if (k <= 0) return n;
      n += k;
    }
    if (i < count) {
      if (dst) {
        if (n >= capacity) return n;
        dst[n] = static_cast<char>(src[i] - ESCAPE_BASE);
      }
      ++n;
    }
    start = i + 1;
  }
  return n;
}

// Win32 backend: code-page conversions through the system.
#include "platform/os_seam.h"
#include "platform/os_text.h"
#include "win32_util.h"

namespace {
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
}  // namespace

std::int32_t os_utf8_to_utf16(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity) {
  return win_to_wide(CP_UTF8, src, count, dst, capacity);
}
std::int32_t os_utf16_to_utf8(const char16_t* src, std::int32_t count, char* dst, std::int32_t capacity) {
  return win_from_wide(CP_UTF8, src, count, dst, capacity);
}
std::int32_t os_sys_ansi_to_utf16(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity) {
  return win_to_wide(CP_ACP, src, count, dst, capacity);
}
std::int32_t os_sys_utf16_to_ansi(const char16_t* src, std::int32_t count, char* dst, std::int32_t capacity) {
  return win_from_wide(CP_ACP, src, count, dst, capacity);
}

// What Quorith's unit tests share: its console output captured as the
// UTF-16LE text a redirected standard output receives, and whole files read
// and written as bytes.
#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/os_seam.h"

namespace quorith_capture {

inline std::u16string g_console;

inline void Write(const std::filesystem::path& p, const std::string& data) {
  std::ofstream(p, std::ios::binary) << data;
}

inline std::string Read(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool CaptureUnits(OsConsole, const char16_t*, std::int32_t) { return false; }  // "not a console"
inline std::int32_t CaptureBytes(OsConsole, const void* bytes, std::int32_t count) {
  g_console.append(static_cast<const char16_t*>(bytes), static_cast<std::size_t>(count) / 2);
  return count;
}

}  // namespace quorith_capture

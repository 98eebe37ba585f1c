// Win32 backend, internal: the one place that includes <windows.h>.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/os_fs.h"

// UTF-16 text of the run-time as the wide-character calls take it
// (wchar_t and char16_t are both 16-bit code units on Windows).
inline const wchar_t* win_w(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* win_w(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

// The identity of the file that a handle's information describes.
inline OsFileIdentity win_identity(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber, (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// Sends redirected output that the console keeps while held: the normal end
// calls it before the process ends.
void win_console_send_held();

// Units on the process heap, taken through the seam's allocation so that a
// test can refuse them; released when they go out of scope.
class WinUnits {
 public:
  WinUnits() = default;
  ~WinUnits();
  WinUnits(const WinUnits&) = delete;
  WinUnits& operator=(const WinUnits&) = delete;
  // Replaces the units by `count` zeroed ones; false (and none) when refused.
  bool reset(std::size_t count);
  wchar_t* get() const { return units_; }
  char16_t* text() const { return reinterpret_cast<char16_t*>(units_); }

 private:
  wchar_t* units_ = nullptr;
};

// A caller's path in the form that every file service is handed: the path
// as given while its full path is short, the full path in extended form
// from WIN_LONG_PATH on (win32_path.h), with the process's current
// directory, or a drive's own, looked up now. `pattern`: the last component
// may be a search mask. get() is null for a null path, and when no memory
// could be had for the conversion (the last error is then
// ERROR_NOT_ENOUGH_MEMORY), so that the call is not made.
class WinPath {
 public:
  explicit WinPath(const char16_t* path, bool pattern = false);
  explicit WinPath(std::u16string_view path, bool pattern = false);
  explicit WinPath(const wchar_t* path) : WinPath(reinterpret_cast<const char16_t*>(path)) {}
  WinPath(const WinPath&) = delete;
  WinPath& operator=(const WinPath&) = delete;
  const wchar_t* get() const { return path_; }

 private:
  void convert(std::u16string_view path, bool pattern);
  WinUnits buffer_;
  const wchar_t* path_ = nullptr;
};

// Installs the console's control-event trampoline once (it calls the
// handler that os_console_set_ctrl_handler set, if any, and deletes the
// files marked for the end before an event ends the process).
bool win_install_ctrl_trampoline();

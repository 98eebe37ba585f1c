// Win32 backend, internal: the one place that includes <windows.h>.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>

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

// Installs the console's control-event trampoline once (it calls the
// handler that os_console_set_ctrl_handler set, if any, and deletes the
// files marked for the end before an event ends the process).
bool win_install_ctrl_trampoline();

// Win32 backend: the console through kernel32, with the file calls for
// redirected standard handles.
#include "platform/os_seam.h"
#include "platform/os_console.h"
#include "win32_util.h"

#include <atomic>

namespace {

HANDLE win_console(OsConsole c) { return reinterpret_cast<HANDLE>(c); }

std::atomic<OsCtrlHandler> g_win_handler{nullptr};
std::atomic<bool> g_win_handler_installed{false};

// The system calls this on a thread of its own for each control event.
BOOL WINAPI win_ctrl_trampoline(DWORD event) {
  OsCtrlHandler handler = g_win_handler.load();
  return handler && handler(event) ? TRUE : FALSE;
}

}  // namespace

OsConsole os_console_std_input() { return reinterpret_cast<OsConsole>(GetStdHandle(STD_INPUT_HANDLE)); }

OsConsole os_console_std_output() { return reinterpret_cast<OsConsole>(GetStdHandle(STD_OUTPUT_HANDLE)); }

bool os_sys_console_write(OsConsole out, const char16_t* units, std::int32_t count) {
  DWORD written = 0;
  return WriteConsoleW(win_console(out), units, static_cast<DWORD>(count < 0 ? 0 : count), &written, nullptr) != 0;
}

std::int32_t os_sys_console_write_bytes(OsConsole out, const void* bytes, std::int32_t count) {
  DWORD written = 0;
  if (!WriteFile(win_console(out), bytes, static_cast<DWORD>(count < 0 ? 0 : count), &written, nullptr)) return -1;
  return static_cast<std::int32_t>(written);
}

bool os_console_flush(OsConsole out) { return FlushFileBuffers(win_console(out)) != 0; }

bool os_console_attribute(OsConsole out, std::uint16_t* attribute) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(win_console(out), &info)) return false;
  *attribute = info.wAttributes;
  return true;
}

bool os_console_set_attribute(OsConsole out, std::uint16_t attribute) {
  return SetConsoleTextAttribute(win_console(out), attribute) != 0;
}

bool os_console_set_title(const char16_t* title) { return SetConsoleTitleW(win_w(title ? title : u"")) != 0; }

bool os_console_set_ctrl_handler(OsCtrlHandler handler) {
  g_win_handler.store(handler);
  if (g_win_handler_installed.exchange(true)) return true;
  return SetConsoleCtrlHandler(win_ctrl_trampoline, TRUE) != 0;
}

bool os_console_set_line_mode(OsConsole in) {
  return SetConsoleMode(win_console(in), ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT) != 0;
}

std::int32_t os_console_read_line(OsConsole in, char16_t* buffer, std::int32_t capacity) {
  DWORD n = 0;
  if (!ReadConsoleW(win_console(in), win_w(buffer), static_cast<DWORD>(capacity), &n, nullptr)) return -1;
  return static_cast<std::int32_t>(n);
}

std::int32_t os_console_read_bytes(OsConsole in, void* buffer, std::int32_t count) {
  DWORD n = 0;
  if (ReadFile(win_console(in), buffer, static_cast<DWORD>(count), &n, nullptr)) return static_cast<std::int32_t>(n);
  return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

bool os_console_input_events(OsConsole in, std::uint32_t* count) {
  DWORD n = 0;
  if (!GetNumberOfConsoleInputEvents(win_console(in), &n)) return false;
  *count = n;
  return true;
}

std::int32_t os_console_read_input(OsConsole in, OsKeyPress* key) {
  INPUT_RECORD record;
  DWORD n = 0;
  if (!ReadConsoleInputW(win_console(in), &record, 1, &n) || n != 1) return 0;
  if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return 0;
  key->virtual_key = record.Event.KeyEvent.wVirtualKeyCode;
  key->character = static_cast<char16_t>(record.Event.KeyEvent.uChar.UnicodeChar);
  return 1;
}

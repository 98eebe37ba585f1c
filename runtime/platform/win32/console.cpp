// Win32 backend: the console through kernel32, with the file calls for
// redirected standard handles.
#include "platform/os_seam.h"
#include "platform/os_console.h"
#include "platform/os_file.h"
#include "win32_util.h"

#include <atomic>
#include <new>
#include <string>

namespace {

HANDLE win_console(OsConsole c) { return reinterpret_cast<HANDLE>(c); }

std::atomic<OsCtrlHandler> g_win_handler{nullptr};
std::atomic<bool> g_win_handler_installed{false};

// The system calls this on a thread of its own for each control event. An
// event that the handler lets through ends the process: the files marked
// for the end go first.
BOOL WINAPI win_ctrl_trampoline(DWORD event) {
  OsCtrlHandler handler = g_win_handler.load();
  if (handler && handler(event)) return TRUE;
  os_remove_marked_files();
  return FALSE;
}

// Redirected output kept while its handle is held (os_console_hold). A
// console's text is not kept: its colours are set apart from the text, so
// each colour would send it anyway. Only the main thread touches this.
constexpr std::size_t WIN_HELD_MOST = 65536;  // more than this kept goes out at once
std::string g_win_held;
bool g_win_holding = false;
OsConsole g_win_hold = 0;
bool g_win_failed = false;  // kept bytes of g_win_failed_handle could not be sent, until reported
OsConsole g_win_failed_handle = 0;

bool win_write_all(OsConsole out, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(win_console(out), data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

// Sends what is kept; a failure waits to be reported.
bool win_send_held() {
  if (g_win_held.empty()) return true;
  bool sent = win_write_all(g_win_hold, g_win_held.data(), g_win_held.size());
  g_win_held.clear();
  if (!sent) {
    g_win_failed = true;
    g_win_failed_handle = g_win_hold;
  }
  return sent;
}

bool win_take_failure(OsConsole out) {
  if (!g_win_failed || g_win_failed_handle != out) return false;
  g_win_failed = false;
  return true;
}

}  // namespace

void win_console_send_held() { win_send_held(); }

OsConsole os_console_std_input() { return reinterpret_cast<OsConsole>(GetStdHandle(STD_INPUT_HANDLE)); }

OsConsole os_console_std_output() { return reinterpret_cast<OsConsole>(GetStdHandle(STD_OUTPUT_HANDLE)); }

bool os_sys_console_write(OsConsole out, const char16_t* units, std::int32_t count) {
  if (g_win_holding && out != g_win_hold) win_send_held();
  DWORD written = 0;
  return WriteConsoleW(win_console(out), units, static_cast<DWORD>(count < 0 ? 0 : count), &written, nullptr) != 0;
}

std::int32_t os_sys_console_write_bytes(OsConsole out, const void* bytes, std::int32_t count) {
  if (win_take_failure(out)) return -1;  // held bytes taken before could not be sent: this write takes nothing
  if (g_win_holding && out == g_win_hold && count >= 0) {
    try {
      g_win_held.append(static_cast<const char*>(bytes), static_cast<std::size_t>(count));
      if (g_win_held.size() <= WIN_HELD_MOST || win_send_held()) return count;
      win_take_failure(out);
      return -1;
    } catch (const std::bad_alloc&) {
      // No room to keep them: what is kept goes out, then these bytes by themselves.
      if (!win_send_held()) {
        win_take_failure(out);
        return -1;
      }
    }
  }
  win_send_held();  // another handle's kept output goes first
  DWORD written = 0;
  if (!WriteFile(win_console(out), bytes, static_cast<DWORD>(count < 0 ? 0 : count), &written, nullptr)) return -1;
  return static_cast<std::int32_t>(written);
}

bool os_console_flush(OsConsole out) {
  if (g_win_holding && out == g_win_hold) {
    // Held output stays held, unless it is a file's that is to be forced to disk.
    if (GetFileType(win_console(out)) != FILE_TYPE_DISK || !win_send_held()) return false;
  }
  return FlushFileBuffers(win_console(out)) != 0;
}

bool os_console_hold(OsConsole out, bool hold) {
  if (hold) {
    if (g_win_holding && g_win_hold != out) win_send_held();  // one handle at a time
    g_win_holding = true;
    g_win_hold = out;
    return true;
  }
  if (g_win_holding && g_win_hold == out) {
    win_send_held();
    g_win_holding = false;
  }
  return !win_take_failure(out);
}

bool os_console_attribute(OsConsole out, std::uint16_t* attribute) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(win_console(out), &info)) return false;
  *attribute = info.wAttributes;
  return true;
}

bool os_console_set_attribute(OsConsole out, std::uint16_t attribute) {
  return SetConsoleTextAttribute(win_console(out), attribute) != 0;
}

bool os_console_set_title(const char16_t* title) {
  win_send_held();
  return SetConsoleTitleW(win_w(title ? title : u"")) != 0;
}

bool os_console_set_ctrl_handler(OsCtrlHandler handler) {
  g_win_handler.store(handler);
  return win_install_ctrl_trampoline();
}

bool win_install_ctrl_trampoline() {
  if (g_win_handler_installed.exchange(true)) return true;
  return SetConsoleCtrlHandler(win_ctrl_trampoline, TRUE) != 0;
}

bool os_console_set_line_mode(OsConsole in) {
  return SetConsoleMode(win_console(in), ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT) != 0;
}

std::int32_t os_console_read_line(OsConsole in, char16_t* buffer, std::int32_t capacity) {
  win_send_held();  // what is shown before the line is typed
  DWORD n = 0;
  if (!ReadConsoleW(win_console(in), win_w(buffer), static_cast<DWORD>(capacity), &n, nullptr)) return -1;
  return static_cast<std::int32_t>(n);
}

std::int32_t os_console_read_bytes(OsConsole in, void* buffer, std::int32_t count) {
  win_send_held();
  DWORD n = 0;
  if (ReadFile(win_console(in), buffer, static_cast<DWORD>(count), &n, nullptr)) return static_cast<std::int32_t>(n);
  return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

bool os_console_input_events(OsConsole in, std::uint32_t* count) {
  win_send_held();
  DWORD n = 0;
  if (!GetNumberOfConsoleInputEvents(win_console(in), &n)) return false;
  *count = n;
  return true;
}

std::int32_t os_console_read_input(OsConsole in, OsKeyPress* key) {
  win_send_held();
  INPUT_RECORD record;
  DWORD n = 0;
  if (!ReadConsoleInputW(win_console(in), &record, 1, &n) || n != 1) return 0;
  if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return 0;
  key->virtual_key = record.Event.KeyEvent.wVirtualKeyCode;
  key->character = static_cast<char16_t>(record.Event.KeyEvent.uChar.UnicodeChar);
  return 1;
}

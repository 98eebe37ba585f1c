// Win32 backend: paths as the file services are handed them, with the
// current directory that the conversion needs (win32_util.h).
#include "platform/os_heap.h"
#include "win32_path.h"
#include "win32_util.h"

namespace {

// Reads a text whose length the system tells first (a current directory,
// an environment value) into *units; its length, or 0 when there is none
// or no memory could be had. `read` is called with a capacity and a buffer
// and answers as GetCurrentDirectoryW does.
template <typename Read>
DWORD win_read_text(Read read, WinUnits* units) {
  // The text may grow between the two calls (another thread changes the
  // directory): asked again then.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD need = read(0, nullptr);
    if (need == 0 || !units->reset(need)) return 0;
    DWORD got = read(need, units->get());
    if (got < need) return got;
  }
  return 0;
}

}  // namespace

WinUnits::~WinUnits() { os_heap_free(GetProcessHeap(), units_); }

bool WinUnits::reset(std::size_t count) {
  os_heap_free(GetProcessHeap(), units_);
  units_ = static_cast<wchar_t*>(os_heap_alloc(GetProcessHeap(), count * sizeof(wchar_t)));
  return units_ != nullptr;
}

WinPath::WinPath(const char16_t* path, bool pattern) {
  if (path) convert(path, pattern);
}

WinPath::WinPath(std::u16string_view path, bool pattern) { convert(path, pattern); }

void WinPath::convert(std::u16string_view path, bool pattern) {
  WinUnits dir;
  DWORD dir_length = 0;
  if (!win_path_is_absolute(path)) {
    dir_length = win_read_text([](DWORD n, wchar_t* b) { return GetCurrentDirectoryW(n, b); }, &dir);
    std::u16string_view current(dir.text(), dir_length);
    if (char16_t letter = win_path_other_drive(path, current)) {
      // The system keeps each drive's own current directory in the
      // environment, as "=D:"; without one the drive's root is taken.
      const wchar_t name[4] = {L'=', static_cast<wchar_t>(letter), L':', 0};
      dir_length = win_read_text([&](DWORD n, wchar_t* b) { return GetEnvironmentVariableW(name, b, n); }, &dir);
    }
  }
  std::u16string_view current(dir.text(), dir_length);
  if (!buffer_.reset(win_path_capacity(path, current))) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  path_ = win_w(win_system_path(path, current, pattern, buffer_.text()).data());
}

// Win32 backend, for tests only: standard handles replaced for a while, and
// pipes. Kept apart so that no program links it.
#include "platform/os_console.h"
#include "win32_util.h"

namespace {
DWORD win_std_id(OsStdStream which) { return which == OS_STD_INPUT ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE; }
}  // namespace

std::intptr_t os_console_redirect_std(OsStdStream which, std::intptr_t handle) {
  HANDLE previous = GetStdHandle(win_std_id(which));
  if (!SetStdHandle(win_std_id(which), reinterpret_cast<HANDLE>(handle))) return -1;
  return reinterpret_cast<std::intptr_t>(previous);
}

void os_console_restore_std(OsStdStream which, std::intptr_t saved) {
  if (saved != -1) SetStdHandle(win_std_id(which), reinterpret_cast<HANDLE>(saved));
}

bool os_console_create_pipe(std::intptr_t* read_end, std::intptr_t* write_end) {
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!CreatePipe(&r, &w, nullptr, 0)) return false;
  *read_end = reinterpret_cast<std::intptr_t>(r);
  *write_end = reinterpret_cast<std::intptr_t>(w);
  return true;
}

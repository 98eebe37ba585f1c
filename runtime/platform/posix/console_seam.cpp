// POSIX backend, for tests only: standard descriptors replaced for a while,
// and pipes. Kept apart so that no program links it.
#include "platform/os_console.h"
#include "posix_terminal.h"

#include <fcntl.h>
#include <unistd.h>

std::intptr_t os_console_redirect_std(OsStdStream which, std::intptr_t handle) {
  int target = which == OS_STD_INPUT ? 0 : 1;
  int saved = ::fcntl(target, F_DUPFD_CLOEXEC, 3);
  if (saved < 0) return -1;
  if (::dup2(static_cast<int>(handle), target) < 0) {
    ::close(saved);
    return -1;
  }
  posix_terminal_changed(target);
  return saved;
}

void os_console_restore_std(OsStdStream which, std::intptr_t saved) {
  if (saved < 0) return;
  ::dup2(static_cast<int>(saved), which == OS_STD_INPUT ? 0 : 1);
  ::close(static_cast<int>(saved));
  posix_terminal_changed(which == OS_STD_INPUT ? 0 : 1);
}

bool os_console_create_pipe(std::intptr_t* read_end, std::intptr_t* write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  *read_end = fds[0];
  *write_end = fds[1];
  return true;
}

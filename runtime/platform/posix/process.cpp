// POSIX backend: process, parameters, thread id and locks.
#include "platform/os_process.h"
#include "posix_text.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {
std::vector<std::u16string>& posix_args() {
  static std::vector<std::u16string> args;
  return args;
}
}  // namespace

struct OsLock {
  std::mutex m;
};

void os_start_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is taken, and every lower one is open by now.
    int got;
    do got = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    while (got < 0 && errno == EINTR);
    if (got != fd) ::_exit(0);
  }
}

void* os_module_handle() {
  static const int anchor = 0;
  return const_cast<int*>(&anchor);
}

void os_set_arguments(int argc, char** argv) {
  auto& args = posix_args();
  args.clear();
  for (int i = 0; i < argc; ++i) args.push_back(posix_from_bytes(argv[i] ? argv[i] : ""));
}

const char16_t* os_command_line() { return nullptr; }

std::int32_t os_argument_count() { return static_cast<std::int32_t>(posix_args().size()); }

const char16_t* os_argument(std::int32_t index) {
  auto& args = posix_args();
  if (index < 0 || static_cast<std::size_t>(index) >= args.size()) return nullptr;
  return args[static_cast<std::size_t>(index)].c_str();
}

void os_exit_process(std::uint32_t code) {
  std::exit(static_cast<int>(code));
}

std::uint32_t os_thread_id() { return static_cast<std::uint32_t>(syscall(SYS_gettid)); }

// The crash handlers run on an alternate stack: a thread's own has no room
// left once it overflowed. One set up by someone else stays.
OsCrashGuard::OsCrashGuard() {
  constexpr std::size_t BYTES = 65536;
  stack_t current{};
  if (::sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE)) return;
  void* block = std::malloc(BYTES);
  if (!block) return;  // a crash then still ends the process, the console as it is
  stack_t own{};
  own.ss_sp = block;
  own.ss_size = BYTES;
  if (::sigaltstack(&own, nullptr) != 0) {
    std::free(block);
    return;
  }
  stack_ = block;
}

OsCrashGuard::~OsCrashGuard() {
  if (!stack_) return;
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  ::sigaltstack(&off, nullptr);
  std::free(stack_);
}

OsLock* os_lock_create() { return new (std::nothrow) OsLock; }
void os_lock_enter(OsLock* lock) { if (lock) lock->m.lock(); }
void os_lock_leave(OsLock* lock) { if (lock) lock->m.unlock(); }
void os_lock_destroy(OsLock* lock) { delete lock; }

namespace {

// The process's address space in use now (the first number of
// /proc/self/statm, in pages); 0 when it cannot be read.
std::int64_t posix_address_space_used(long page) {
  int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[64] = {};
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  std::int64_t pages = 0;
  for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i) pages = pages * 10 + (text[i] - '0');
  return pages < INT64_MAX / page ? pages * page : 0;
}

}  // namespace

// The resource limits count what the process holds already.
std::int64_t os_memory_limit() {
  std::int64_t limit = -1;
  auto take = [&limit](std::int64_t bytes) {
    if (limit < 0 || bytes < limit) limit = bytes < 0 ? 0 : bytes;
  };
  long page = sysconf(_SC_PAGESIZE);
  if (page <= 0) page = 4096;
  const std::int64_t used = posix_address_space_used(page);
  for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    struct rlimit r;
    if (getrlimit(resource, &r) == 0 && r.rlim_cur != RLIM_INFINITY &&
        r.rlim_cur < static_cast<rlim_t>(INT64_MAX))
      take(static_cast<std::int64_t>(r.rlim_cur) - used);
  }
  long pages = sysconf(_SC_PHYS_PAGES);
  if (pages > 0 && pages < INT64_MAX / page) take(static_cast<std::int64_t>(pages) * page);
  return limit;
}

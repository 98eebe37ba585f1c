// Win32 backend: process, command line, thread id and critical sections.
#include "platform/os_process.h"
#include "win32_util.h"

#include <new>

struct OsLock {
  CRITICAL_SECTION cs;
};

// Windows gives every console program its standard handles or none, and a
// file never takes a standard handle's place.
void os_start_process() {}

void* os_module_handle() { return GetModuleHandleW(nullptr); }

void os_set_arguments(int, char**) {}

const char16_t* os_command_line() { return reinterpret_cast<const char16_t*>(GetCommandLineW()); }

std::int32_t os_argument_count() { return 0; }
const char16_t* os_argument(std::int32_t) { return nullptr; }

void os_exit_process(std::uint32_t code) {
  win_console_send_held();  // held console output is part of the normal end
  ExitProcess(code);
}

std::uint32_t os_thread_id() { return GetCurrentThreadId(); }

// A crash on any thread ends the process through the system's own handling.
OsCrashGuard::OsCrashGuard() = default;
OsCrashGuard::~OsCrashGuard() = default;

OsLock* os_lock_create() {
  auto* lock = new (std::nothrow) OsLock;
  if (lock) InitializeCriticalSection(&lock->cs);
  return lock;
}
void os_lock_enter(OsLock* lock) { if (lock) EnterCriticalSection(&lock->cs); }
void os_lock_leave(OsLock* lock) { if (lock) LeaveCriticalSection(&lock->cs); }
void os_lock_destroy(OsLock* lock) {
  if (!lock) return;
  DeleteCriticalSection(&lock->cs);
  delete lock;
}

// A 32-bit process meets the end of its address space long before the
// machine's memory runs out: what is left of it counts first.
std::int64_t os_memory_limit() {
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return -1;
  std::uint64_t limit = status.ullAvailVirtual;
  if (status.ullTotalPhys != 0 && status.ullTotalPhys < limit) limit = status.ullTotalPhys;
  if (limit == 0 || limit > static_cast<std::uint64_t>(INT64_MAX)) return -1;
  return static_cast<std::int64_t>(limit);
}

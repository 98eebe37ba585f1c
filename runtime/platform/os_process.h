// Platform contract: the process, its parameters and its threads.
#pragma once
#include <cstdint>

// The start-up's first step, before anything is opened. POSIX: standard
// descriptors that are not open are opened on /dev/null, so that no file the
// program opens later takes one of their numbers and receives console text;
// when that cannot be done the process ends at once, having changed nothing.
void os_start_process();

// The program's module handle (an opaque value that only has to be stable).
void* os_module_handle();

// Hands the argument vector of main() to the platform layer. Where the system
// keeps one command line (Windows) it is ignored.
void os_set_arguments(int argc, char** argv);

// The command line as the system keeps it, or null where the system keeps
// an argument vector instead; the run-time then uses os_argument_*.
const char16_t* os_command_line();

// The argument vector (program name first), converted losslessly to UTF-16.
// Only meaningful where os_command_line() is null.
std::int32_t os_argument_count();
const char16_t* os_argument(std::int32_t index);

// Ends the process with the exit code; never returns.
[[noreturn]] void os_exit_process(std::uint32_t code);

// The calling thread's id.
std::uint32_t os_thread_id();

// Held by a thread the program starts, for the thread's whole life: a
// crash on it, an overflowed stack included, still puts the console back
// before the process ends, as one on the main flow does. Nothing where
// the system does that without help.
class OsCrashGuard {
 public:
  OsCrashGuard();
  ~OsCrashGuard();
  OsCrashGuard(const OsCrashGuard&) = delete;
  OsCrashGuard& operator=(const OsCrashGuard&) = delete;

 private:
  void* stack_ = nullptr;  // the thread's stack for crash handlers, where this guard set one
};

// A mutual-exclusion lock (a critical section). Created unlocked; null on failure.
struct OsLock;
OsLock* os_lock_create();
void os_lock_enter(OsLock* lock);
void os_lock_leave(OsLock* lock);
void os_lock_destroy(OsLock* lock);

// Bytes of memory the process may still take for its data: the smallest of
// what its resource limits allow and the machine's physical memory (POSIX),
// or of the address space left and the physical memory (Windows); -1 when
// none of it can be learnt.
std::int64_t os_memory_limit();

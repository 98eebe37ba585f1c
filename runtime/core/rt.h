// Run-time start-up, shutdown and program parameters.
//
// A program hands its main() to rt_run together with the steps of the
// library parts it uses; rt_run creates the heaps, initialises the string
// runtime, the array library, the program's libraries and the parameter
// service in their fixed order, runs the program logic and then performs
// the normal end, which always exits with code 0.
#pragma once
#include <cstdint>

#include "platform/os_heap.h"

// The library steps of one program, each optional (null to omit).
struct RtProgram {
  void (*init_before_params)();  // libraries initialised before the parameter service
  void (*init_after_params)();   // libraries initialised after it
  void (*release_libraries)();   // the releases of rt_release_libraries, in order
  void (*logic)();               // the program logic, on the main thread
};

// Start-up, program logic and normal end. Never returns.
[[noreturn]] void rt_run(int argc, char** argv, const RtProgram& program);

// The main heap (arrays, object tables and objects, per-thread blocks).
OsHeap rt_main_heap();

// The program's module handle.
void* rt_module_handle();

// Runs the release steps of every library the program uses. Called at the
// normal end and by the console's close event.
void rt_release_libraries();

// Parameter `index` (0 = first after the program name) as a temporary string
// result; a negative index takes the parameter at the cursor. A found
// parameter moves the cursor behind it; a missing one gives the empty string.
const char16_t* rt_param(std::int32_t index);

// The number of parameters, the program name not counted.
std::int32_t rt_param_count();

// The command-line splitter. Finds token `token` (0 = program name) of a
// command line; returns 1 and its text's start and length, or 0 when the line
// has no such token. With `token` negative it counts every token instead and
// returns that count.
std::int32_t rt_split_command_line(const char16_t* line, std::int32_t token, const char16_t** start,
                                   std::int32_t* length);

// For tests and tools that run library code without rt_run: the heaps, the
// string runtime, the array library and the parameter service, and their end.
void rt_init_for_tests(int argc, char** argv);
void rt_end_for_tests();

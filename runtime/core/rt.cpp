// Run-time start-up, normal end and the program-parameter service.
#include "core/rt.h"

#include <cstring>

#include "core/arr.h"
#include "core/str.h"
#include "platform/os_process.h"

namespace {

// The program's global block: zero before anything runs.
struct RtGlobals {
  void* module;
  OsHeap main_heap;
  const RtProgram* program;
  std::int32_t* param_block;  // 16 bytes; word 0 is the parameter cursor
  OsLock* end_lock;           // one run of the releases at a time; held by the normal end
};
RtGlobals g_rt;

constexpr char16_t BLANK = u' ';
constexpr char16_t QUOTE = u'"';

void rt_start(int argc, char** argv, const RtProgram* program) {
  std::memset(&g_rt, 0, sizeof g_rt);
  os_start_process();
  os_set_arguments(argc, argv);
  g_rt.module = os_module_handle();
  g_rt.end_lock = os_lock_create();
  g_rt.program = program;
  g_rt.main_heap = os_heap_create(4096);
  str_init_runtime();
  arr_init();
  if (program && program->init_before_params) program->init_before_params();
  g_rt.param_block = static_cast<std::int32_t*>(os_heap_alloc(g_rt.main_heap, 16));
  if (program && program->init_after_params) program->init_after_params();
}

void rt_end_heaps() {
  str_end_runtime();
  os_heap_destroy(g_rt.main_heap);
  g_rt.main_heap = nullptr;
  g_rt.param_block = nullptr;
}

std::int32_t& rt_cursor() {
  static std::int32_t fallback = 0;
  return g_rt.param_block ? g_rt.param_block[0] : fallback;
}

// Parameter `index` (0-based, after the program name), or null when missing.
bool rt_find_param(std::int32_t index, const char16_t** start, std::int32_t* length) {
  // The largest index has no token number after the program name's.
  if (index == INT32_MAX) return false;
  if (const char16_t* line = os_command_line()) return rt_split_command_line(line, index + 1, start, length) == 1;
  const char16_t* arg = os_argument(index + 1);
  if (!arg) return false;
  *start = arg;
  *length = str_length(arg);
  return true;
}

}  // namespace

OsHeap rt_main_heap() { return g_rt.main_heap; }

void* rt_module_handle() { return g_rt.module; }

namespace {
void rt_run_releases() {
  if (g_rt.program && g_rt.program->release_libraries) g_rt.program->release_libraries();
}
}  // namespace

void rt_run(int argc, char** argv, const RtProgram& program) {
  rt_start(argc, argv, &program);
  if (program.logic) program.logic();
  // The normal end keeps the lock to the exit: releases that the console's
  // close event runs on its own thread then wait for the process to end
  // instead of freeing what this end is freeing or has destroyed.
  os_lock_enter(g_rt.end_lock);
  rt_run_releases();
  rt_end_heaps();
  os_exit_process(0);
}

void rt_release_libraries() {
  os_lock_enter(g_rt.end_lock);
  rt_run_releases();
  os_lock_leave(g_rt.end_lock);
}

std::int32_t rt_split_command_line(const char16_t* line, std::int32_t token, const char16_t** start,
                                   std::int32_t* length) {
  std::int32_t k = 0;
  const char16_t* p = line ? line : u"";
  for (;;) {
    while (*p == BLANK) ++p;
    if (!*p) break;
    const char16_t* s;
    const char16_t* e;
    if (*p == QUOTE) {
      s = ++p;
      while (*p && *p != QUOTE) ++p;
      e = p;
      if (*p) ++p;  // the closing quote; the next token may follow at once
    } else {
      s = p;
      while (*p && *p != BLANK) ++p;
      e = p;
      if (*p) ++p;
    }
    if (k == token) {
      *start = s;
      *length = static_cast<std::int32_t>(e - s);
      return 1;
    }
    ++k;
  }
  return token < 0 ? k : 0;
}

const char16_t* rt_param(std::int32_t index) {
  std::int32_t& cursor = rt_cursor();
  if (index >= 0) cursor = index;
  const char16_t* start = nullptr;
  std::int32_t length = 0;
  char16_t* out;
  if (rt_find_param(cursor, &start, &length)) {
    out = str_tmp_reserve(length);
    // The source is the system's own text, never the temporary area.
    std::memcpy(out, start, static_cast<std::size_t>(length) * 2);
    out[length] = 0;
    ++cursor;
  } else {
    out = str_tmp_reserve(0);
    out[0] = 0;
  }
  return out;
}

std::int32_t rt_param_count() {
  if (const char16_t* line = os_command_line()) return rt_split_command_line(line, -1, nullptr, nullptr) - 1;
  return os_argument_count() - 1;
}

void rt_init_for_tests(int argc, char** argv) { rt_start(argc, argv, nullptr); }

void rt_end_for_tests() { rt_end_heaps(); }

// Platform contract: the table of system calls that a test may replace.
//
// The calls whose failure loses or misreports data (reading, writing,
// flushing, closing, creating and replacing files, heap blocks, deletions,
// console output, the start of a directory listing) go through this
// table. Each entry starts as the system's own call
// (os_sys_*); a test replaces one entry to make that call fail, fail
// later or move fewer bytes, runs the real code path, and restores the
// table. Programs never change it. Replace entries only while no other
// thread uses them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/os_console.h"
#include "platform/os_file.h"
#include "platform/os_fs.h"
#include "platform/os_heap.h"

struct OsCalls {
  OsFile (*file_open_read)(const char16_t* path, bool share_read);
  OsFile (*file_create)(const char16_t* path, OsFile other);
  std::int32_t (*file_read)(OsFile file, void* buffer, std::int32_t bytes);
  std::int32_t (*file_write)(OsFile file, const void* buffer, std::int32_t bytes);
  bool (*file_close)(OsFile file);
  OsFile (*file_create_new)(const char16_t* path, const char16_t* like, bool* exists);
  bool (*file_flush)(OsFile file);
  bool (*file_replace)(const char16_t* from, const char16_t* to);
  void* (*heap_alloc)(OsHeap heap, std::size_t bytes);
  void* (*heap_realloc)(OsHeap heap, void* block, std::size_t bytes);
  bool (*delete_file)(const char16_t* path);
  bool (*delete_file_forced)(const char16_t* path);
  bool (*console_write)(OsConsole out, const char16_t* units, std::int32_t count);
  std::int32_t (*console_write_bytes)(OsConsole out, const void* bytes, std::int32_t count);
  // A test may put a double-byte code page's decoding here.
  std::int32_t (*ansi_to_utf16)(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity);
  bool (*entry_delete)(const char16_t* path, std::int32_t root_length, OsHeldEntry* entry, bool force);
  OsFind (*find_first)(const char16_t* pattern, OsFindEntry* entry, std::uint32_t* error);
};

// The live table.
OsCalls& os_calls();

// The system's own calls: for restoring the table, or for a replacement
// that fails only some calls and hands the others on.
const OsCalls& os_system_calls();

// Puts every entry back to the system's own call.
void os_calls_reset();

// The system's own calls, as each backend provides them.
OsFile os_sys_file_open_read(const char16_t* path, bool share_read);
OsFile os_sys_file_create(const char16_t* path, OsFile other);
std::int32_t os_sys_file_read(OsFile file, void* buffer, std::int32_t bytes);
std::int32_t os_sys_file_write(OsFile file, const void* buffer, std::int32_t bytes);
bool os_sys_file_close(OsFile file);
OsFile os_sys_file_create_new(const char16_t* path, const char16_t* like, bool* exists);
bool os_sys_file_flush(OsFile file);
bool os_sys_file_replace(const char16_t* from, const char16_t* to);
void* os_sys_heap_alloc(OsHeap heap, std::size_t bytes);
void* os_sys_heap_realloc(OsHeap heap, void* block, std::size_t bytes);
bool os_sys_delete_file(const char16_t* path);
bool os_sys_delete_file_forced(const char16_t* path);
bool os_sys_console_write(OsConsole out, const char16_t* units, std::int32_t count);
std::int32_t os_sys_console_write_bytes(OsConsole out, const void* bytes, std::int32_t count);
std::int32_t os_sys_ansi_to_utf16(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity);
bool os_sys_entry_delete(const char16_t* path, std::int32_t root_length, OsHeldEntry* entry, bool force);
OsFind os_sys_find_first(const char16_t* pattern, OsFindEntry* entry, std::uint32_t* error);

// The replaceable system-call table, and the contract's calls that go through it.
#include "platform/os_fs.h"
#include "platform/os_seam.h"
#include "platform/os_text.h"

namespace {
constexpr OsCalls SYSTEM_CALLS = {
    .file_open_read = os_sys_file_open_read,
    .file_create = os_sys_file_create,
    .file_read = os_sys_file_read,
    .file_write = os_sys_file_write,
    .file_close = os_sys_file_close,
    .file_create_new = os_sys_file_create_new,
    .file_flush = os_sys_file_flush,
    .file_replace = os_sys_file_replace,
    .heap_alloc = os_sys_heap_alloc,
    .heap_realloc = os_sys_heap_realloc,
    .delete_file = os_sys_delete_file,
    .delete_file_forced = os_sys_delete_file_forced,
    .console_write = os_sys_console_write,
    .console_write_bytes = os_sys_console_write_bytes,
    .ansi_to_utf16 = os_sys_ansi_to_utf16,
    .entry_delete = os_sys_entry_delete,
    .find_first = os_sys_find_first,
};
OsCalls g_calls = SYSTEM_CALLS;
}  // namespace

OsCalls& os_calls() { return g_calls; }
const OsCalls& os_system_calls() { return SYSTEM_CALLS; }
void os_calls_reset() { g_calls = SYSTEM_CALLS; }

OsFile os_file_open_read(const char16_t* path, bool share_read) { return g_calls.file_open_read(path, share_read); }
OsFile os_file_create(const char16_t* path, OsFile other) { return g_calls.file_create(path, other); }
std::int32_t os_file_read(OsFile file, void* buffer, std::int32_t bytes) {
  return g_calls.file_read(file, buffer, bytes);
}
std::int32_t os_file_write(OsFile file, const void* buffer, std::int32_t bytes) {
  return g_calls.file_write(file, buffer, bytes);
}
bool os_file_close(OsFile file) { return g_calls.file_close(file); }
OsFile os_file_create_new(const char16_t* path, const char16_t* like, bool* exists) {
  return g_calls.file_create_new(path, like, exists);
}
bool os_file_flush(OsFile file) { return g_calls.file_flush(file); }
bool os_file_replace(const char16_t* from, const char16_t* to) { return g_calls.file_replace(from, to); }
void* os_heap_alloc(OsHeap heap, std::size_t bytes) { return g_calls.heap_alloc(heap, bytes); }
void* os_heap_realloc(OsHeap heap, void* block, std::size_t bytes) {
  return g_calls.heap_realloc(heap, block, bytes);
}
bool os_delete_file(const char16_t* path) { return g_calls.delete_file(path); }
bool os_delete_file_forced(const char16_t* path) { return g_calls.delete_file_forced(path); }
bool os_console_write(OsConsole out, const char16_t* units, std::int32_t count) {
  return g_calls.console_write(out, units, count);
}
std::int32_t os_console_write_bytes(OsConsole out, const void* bytes, std::int32_t count) {
  return g_calls.console_write_bytes(out, bytes, count);
}
std::int32_t os_ansi_to_utf16(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity) {
  return g_calls.ansi_to_utf16(src, count, dst, capacity);
}
bool os_entry_delete(const char16_t* path, std::int32_t root_length, OsHeldEntry* entry, bool force) {
  return g_calls.entry_delete(path, root_length, entry, force);
}
OsFind os_find_first(const char16_t* pattern, OsFindEntry* entry, std::uint32_t* error) {
  return g_calls.find_first(pattern, entry, error);
}

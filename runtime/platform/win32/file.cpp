// Win32 backend: files by path, over kernel32 handles.
#include "platform/os_seam.h"
#include "platform/os_file.h"
#include "win32_util.h"

namespace {
OsFile win_result(HANDLE h) {
  return (h == INVALID_HANDLE_VALUE || h == nullptr) ? OS_NO_FILE : reinterpret_cast<OsFile>(h);
}
HANDLE win_handle(OsFile f) { return reinterpret_cast<HANDLE>(f); }
}  // namespace

// Only a file on a disk is read: a name such as CON or AUX opens a device,
// which could wait for input for ever.
OsFile win_disk_file_only(OsFile f) {
  if (f != OS_NO_FILE && GetFileType(win_handle(f)) != FILE_TYPE_DISK) {
    CloseHandle(win_handle(f));
    return OS_NO_FILE;
  }
  return f;
}

OsFile os_sys_file_open_read(const char16_t* path, bool share_read) {
  if (!path) return OS_NO_FILE;
  return win_disk_file_only(win_result(CreateFileW(win_w(path), GENERIC_READ, share_read ? FILE_SHARE_READ : 0,
                                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

OsFile os_sys_file_create(const char16_t* path) {
  if (!path) return OS_NO_FILE;
  return win_result(CreateFileW(win_w(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

OsFile os_file_truncate_existing(const char16_t* path) {
  if (!path) return OS_NO_FILE;
  return win_result(CreateFileW(win_w(path), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr));
}

std::int32_t os_sys_file_read(OsFile file, void* buffer, std::int32_t bytes) {
  if (file == OS_NO_FILE || bytes < 0) return -1;
  DWORD n = 0;
  if (!ReadFile(win_handle(file), buffer, static_cast<DWORD>(bytes), &n, nullptr)) return -1;
  return static_cast<std::int32_t>(n);
}

std::int32_t os_sys_file_write(OsFile file, const void* buffer, std::int32_t bytes) {
  if (file == OS_NO_FILE || bytes < 0) return -1;
  DWORD n = 0;
  if (!WriteFile(win_handle(file), buffer, static_cast<DWORD>(bytes), &n, nullptr)) return -1;
  return static_cast<std::int32_t>(n);
}

std::int64_t os_file_seek(OsFile file, std::int64_t distance, OsSeekOrigin origin) {
  if (file == OS_NO_FILE) return -1;
  LONG high = static_cast<LONG>(distance >> 32);
  DWORD low = SetFilePointer(win_handle(file), static_cast<LONG>(distance & 0xFFFFFFFF), &high,
                             origin == OS_SEEK_BEGIN ? FILE_BEGIN : FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return -1;
  return (static_cast<std::int64_t>(high) << 32) | low;
}

bool os_file_flush(OsFile file) { return file != OS_NO_FILE && FlushFileBuffers(win_handle(file)) != 0; }

bool os_sys_file_close(OsFile file) { return file != OS_NO_FILE && CloseHandle(win_handle(file)) != 0; }

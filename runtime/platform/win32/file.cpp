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

OsFile os_sys_file_open_read(const char16_t* path, bool share_read) {
  if (!path) return OS_NO_FILE;
  return win_result(CreateFileW(win_w(path), GENERIC_READ, share_read ? FILE_SHARE_READ : 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

namespace {
// Whether what a handle opened may be written as the output: a regular disk
// file, no reparse point, and, when it existed before, not read-only, with
// no other name and not the file `other` is open on.
bool win_may_write(HANDLE h, bool existed, OsFile other) {
  if (GetFileType(h) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return false;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return false;
  if (!existed) return true;
  // Read-only is refused even where the system let it be opened for writing
  // (wine, run by root).
  if (info.nNumberOfLinks != 1 || (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) return false;
  if (other == OS_NO_FILE) return true;
  BY_HANDLE_FILE_INFORMATION o;
  if (!GetFileInformationByHandle(win_handle(other), &o)) return false;
  return o.dwVolumeSerialNumber != info.dwVolumeSerialNumber || o.nFileIndexHigh != info.nFileIndexHigh ||
         o.nFileIndexLow != info.nFileIndexLow;
}
}  // namespace

OsFile os_sys_file_create(const char16_t* path, OsFile other) {
  if (!path) return OS_NO_FILE;
  // Opened, not truncated, so that what stands at the path is judged
  // first; a reparse point is opened itself, never followed.
  HANDLE h = CreateFileW(win_w(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  bool existed = h != INVALID_HANDLE_VALUE && GetLastError() == ERROR_ALREADY_EXISTS;
  if (h == INVALID_HANDLE_VALUE) {
    // An existing file that may be written but not read.
    h = CreateFileW(win_w(path), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    existed = true;
  }
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return OS_NO_FILE;
  bool ok = win_may_write(h, existed, other);
  if (ok && existed) ok = SetFilePointer(h, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(h) != 0;
  if (!ok) {
    CloseHandle(h);
    if (!existed) DeleteFileW(win_w(path));
    return OS_NO_FILE;
  }
  return reinterpret_cast<OsFile>(h);
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

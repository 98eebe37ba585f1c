// Win32 backend: files by path, over kernel32 handles.
#include "platform/os_seam.h"
#include "platform/os_file.h"
#include "platform/end_marks.h"
#include "win32_util.h"

#include <memory>
#include <new>
#include <string>

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
  return win_identity(o) != win_identity(info);
}

// The identity of the directory `dir` (the first `length` units of a path; a
// drive-relative "C:" or an empty text is the current directory of that drive).
bool win_dir_identity(const wchar_t* dir, std::size_t length, BY_HANDLE_FILE_INFORMATION* info) {
  std::wstring d(dir, length);
  if (d.empty()) d = L".";
  HANDLE h = CreateFileW(d.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

// The length of the directory part of a path whose last separator (or
// drive colon) is at `cut`: a root keeps its separator, a drive its colon.
std::size_t win_dir_length(const std::wstring& p, std::size_t cut) {
  if (cut == std::wstring::npos) return 0;
  if (p[cut] == L':' || cut == 0 || p[cut - 1] == L':') return cut + 1;
  return cut;
}

// Whether a handle reached the entry that the path names itself rather than
// a file that a link there leads to. Some systems follow links even when
// asked not to (wine follows the host's symbolic links), so the name and the
// directory of what was reached are compared with the path's own.
bool win_reached_own_entry(HANDLE h, const char16_t* path) {
  constexpr DWORD CAPACITY = 32768;
  std::unique_ptr<wchar_t[]> final_path(new (std::nothrow) wchar_t[CAPACITY]);
  if (!final_path) return false;
  DWORD n = GetFinalPathNameByHandleW(h, final_path.get(), CAPACITY, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= CAPACITY) return false;
  std::wstring reached(final_path.get(), n);
  std::wstring asked(win_w(path));
  std::size_t reached_cut = reached.find_last_of(L'\\');
  std::size_t asked_cut = asked.find_last_of(L"\\/:");
  if (reached_cut == std::wstring::npos) return false;
  std::size_t asked_name = asked_cut == std::wstring::npos ? 0 : asked_cut + 1;
  if (CompareStringOrdinal(reached.c_str() + reached_cut + 1, -1, asked.c_str() + asked_name, -1, TRUE) != CSTR_EQUAL)
    return false;
  BY_HANDLE_FILE_INFORMATION a, r;
  if (!win_dir_identity(asked.c_str(), win_dir_length(asked, asked_cut), &a) ||
      !win_dir_identity(reached.c_str(), win_dir_length(reached, reached_cut), &r))
    return false;
  return win_identity(a) == win_identity(r);
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
  bool ok = win_may_write(h, existed, other) && win_reached_own_entry(h, path);
  if (ok && existed) ok = SetFilePointer(h, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(h) != 0;
  if (!ok) {
    // A file this call created goes again. It is deleted by the path it was
    // reached at, which is the link's target where a link was followed.
    wchar_t reached[MAX_PATH + 8];
    DWORD n = existed ? 0 : GetFinalPathNameByHandleW(h, reached, MAX_PATH + 8, VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n > 0 && n < MAX_PATH + 8) DeleteFileW(reached);
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

bool os_sys_file_flush(OsFile file) { return file != OS_NO_FILE && FlushFileBuffers(win_handle(file)) != 0; }

bool os_sys_file_close(OsFile file) { return file != OS_NO_FILE && CloseHandle(win_handle(file)) != 0; }

// ---- Replacing a file: a new file, the judgement of what it replaces, the
// replacement itself, and the files an interrupted process deletes ----

OsFile os_sys_file_create_new(const char16_t* path, const char16_t*, bool* exists) {
  if (exists) *exists = false;
  if (!path) return OS_NO_FILE;
  // Deletion is shared, so that the end of an interrupted process can
  // delete the file while the main thread still holds it.
  HANDLE h = CreateFileW(win_w(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (exists) *exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return OS_NO_FILE;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return OS_NO_FILE;
  }
  return reinterpret_cast<OsFile>(h);
}

bool os_file_may_replace(const char16_t* path, OsFile other) {
  if (!path) return false;
  // Opened for its attributes only, which no sharing mode refuses, and
  // never through a reparse point.
  HANDLE h = CreateFileW(win_w(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  bool ok = win_may_write(h, true, other) && win_reached_own_entry(h, path);
  CloseHandle(h);
  return ok;
}

bool os_sys_file_replace(const char16_t* from, const char16_t* to) {
  return from && to && MoveFileExW(win_w(from), win_w(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void* os_end_path_new(const char16_t* path) {
  std::size_t n = 0;
  while (path[n]) ++n;
  auto* copy = new (std::nothrow) wchar_t[n + 1];
  if (copy) for (std::size_t i = 0; i <= n; ++i) copy[i] = static_cast<wchar_t>(path[i]);
  return copy;
}

void os_end_path_free(void* native) { delete[] static_cast<wchar_t*>(native); }

void os_end_path_delete(const void* native) { DeleteFileW(static_cast<const wchar_t*>(native)); }

void os_end_marks_begin() { win_install_ctrl_trampoline(); }

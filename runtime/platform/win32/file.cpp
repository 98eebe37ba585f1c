// Win32 backend: files by path, over kernel32 handles; every path is
// handed over in the form that WinPath gives it.
#include "platform/os_seam.h"
#include "platform/os_file.h"
#include "platform/end_marks.h"
#include "win32_util.h"

#include <algorithm>
#include <string_view>

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
  WinPath p(path);
  if (!p.get()) return OS_NO_FILE;
  return win_disk_file_only(win_result(CreateFileW(p.get(), GENERIC_READ, share_read ? FILE_SHARE_READ : 0, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
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

// The directory part of a path whose last separator (or drive colon) is at
// `cut`: a root keeps its separator, a drive its colon; "." for none.
std::u16string_view win_dir_part(std::u16string_view p, std::size_t cut) {
  if (cut == std::u16string_view::npos) return u".";
  if (p[cut] == u':' || cut == 0 || p[cut - 1] == u':') return p.substr(0, cut + 1);
  return p.substr(0, cut);
}

// The path of a handle's file on its volume, without the volume
// ("\dir\name"; FileNameInfo, which tells paths of any length), into *units
// with its length.
bool win_volume_path(HANDLE h, WinUnits* units, std::size_t* length) {
  DWORD bytes = 1024;
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = static_cast<DWORD>(sizeof(FILE_NAME_INFO)) + bytes;
    if (!units->reset(size / sizeof(wchar_t) + 1)) return false;
    auto* info = reinterpret_cast<FILE_NAME_INFO*>(units->get());
    if (GetFileInformationByHandleEx(h, FileNameInfo, info, size)) {
      *length = info->FileNameLength / sizeof(wchar_t);
      // The name is moved to the start of the units.
      std::copy(info->FileName, info->FileName + *length, units->get());
      units->get()[*length] = 0;
      return true;
    }
    if (GetLastError() != ERROR_MORE_DATA || info->FileNameLength <= bytes) return false;
    bytes = info->FileNameLength;
  }
  return false;
}

bool win_equal_text(std::u16string_view a, std::u16string_view b) {
  return CompareStringOrdinal(win_w(a.data()), static_cast<int>(a.size()), win_w(b.data()), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

// Whether a handle reached the entry that the path (as the system was handed
// it) names itself rather than a file that a link there leads to. Some
// systems follow links even when asked not to (wine follows the host's
// symbolic links), so what was reached is compared with the path's own
// directory, opened as the path's directory part: the same volume, the same
// path on it and the same name.
bool win_reached_own_entry(HANDLE h, const wchar_t* path) {
  std::u16string_view asked(reinterpret_cast<const char16_t*>(path));
  std::size_t cut = asked.find_last_of(u"\\/:");
  std::u16string_view asked_name = asked.substr(cut == std::u16string_view::npos ? 0 : cut + 1);
  // The system drops a name's trailing dots and blanks, except in extended form.
  if (asked.substr(0, 4) != u"\\\\?\\")
    while (!asked_name.empty() && (asked_name.back() == u'.' || asked_name.back() == u' '))
      asked_name.remove_suffix(1);
  WinPath dir_path(win_dir_part(asked, cut));
  if (!dir_path.get()) return false;
  HANDLE dir = CreateFileW(dir_path.get(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (dir == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION dir_info, file_info;
  WinUnits dir_units, file_units;
  std::size_t dir_length = 0, file_length = 0;
  bool known = GetFileInformationByHandle(dir, &dir_info) && win_volume_path(dir, &dir_units, &dir_length);
  CloseHandle(dir);
  if (!known || !GetFileInformationByHandle(h, &file_info) || !win_volume_path(h, &file_units, &file_length) ||
      dir_info.dwVolumeSerialNumber != file_info.dwVolumeSerialNumber)
    return false;
  std::u16string_view reached(file_units.text(), file_length), own_dir(dir_units.text(), dir_length);
  std::size_t reached_cut = reached.find_last_of(u'\\');
  if (reached_cut == std::u16string_view::npos) return false;
  if (!own_dir.empty() && own_dir.back() == u'\\') own_dir.remove_suffix(1);  // a root
  return win_equal_text(reached.substr(reached_cut + 1), asked_name) &&
         win_equal_text(reached.substr(0, reached_cut), own_dir);
}

// Opens what stands at the path for the output, not truncated, so that it
// is judged first (a reparse point is opened itself, never followed); where
// nothing stands, creates a new file, with the right to delete it again by
// its handle. *existed tells which. Null when refused.
HANDLE win_open_output(const wchar_t* path, bool* existed) {
  constexpr DWORD FLAGS = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  for (int attempt = 0; attempt < 3; ++attempt) {
    *existed = true;
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FLAGS, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      // An existing file that may be written but not read.
      h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FLAGS, nullptr);
      return h == INVALID_HANDLE_VALUE ? nullptr : h;
    }
    *existed = false;
    h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FLAGS, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    // Something came to stand there meanwhile, or a link that leads nowhere
    // does (wine): looked at again.
    if (GetLastError() != ERROR_FILE_EXISTS) return nullptr;
  }
  return nullptr;
}

}  // namespace

OsFile os_sys_file_create(const char16_t* path, OsFile other) {
  WinPath p(path);
  if (!p.get()) return OS_NO_FILE;
  bool existed = false;
  HANDLE h = win_open_output(p.get(), &existed);
  if (!h) return OS_NO_FILE;
  bool ok = win_may_write(h, existed, other) && win_reached_own_entry(h, p.get());
  if (ok && existed) ok = SetFilePointer(h, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(h) != 0;
  if (!ok) {
    // A file this call created goes again, by its handle: the link's target
    // where a link was followed, however long its path. One that existed stays.
    if (!existed) {
      FILE_DISPOSITION_INFO disposition{};
      disposition.DeleteFile = TRUE;
      SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
    }
    CloseHandle(h);
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

void os_file_start_writeback(OsFile) {}  // the system has no such hint; the flush does it all

bool os_sys_file_flush(OsFile file) { return file != OS_NO_FILE && FlushFileBuffers(win_handle(file)) != 0; }

bool os_sys_file_close(OsFile file) { return file != OS_NO_FILE && CloseHandle(win_handle(file)) != 0; }

// ---- Replacing a file: a new file, the judgement of what it replaces, the
// replacement itself, and the files an interrupted process deletes ----

OsFile os_sys_file_create_new(const char16_t* path, const char16_t*, bool* exists) {
  if (exists) *exists = false;
  WinPath p(path);
  if (!p.get()) return OS_NO_FILE;
  // Deletion is shared, so that the end of an interrupted process can
  // delete the file while the main thread still holds it.
  HANDLE h = CreateFileW(p.get(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
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
  WinPath p(path);
  if (!p.get()) return false;
  // Opened for its attributes only, which no sharing mode refuses, and
  // never through a reparse point.
  HANDLE h = CreateFileW(p.get(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    // Nothing that opens, but the directory may still list an entry there:
    // a link that leads nowhere (wine follows the host's links), which the
    // replacement would take the place of. Only a name nobody lists is free.
    WIN32_FIND_DATAW d;
    HANDLE find = FindFirstFileExW(p.get(), FindExInfoBasic, &d, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    FindClose(find);
    return false;
  }
  bool ok = win_may_write(h, true, other) && win_reached_own_entry(h, p.get());
  CloseHandle(h);
  return ok;
}

bool os_sys_file_replace(const char16_t* from, const char16_t* to) {
  WinPath source(from), target(to);
  return source.get() && target.get() &&
         MoveFileExW(source.get(), target.get(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// Kept in the form the file service is handed, so that the end of a
// process deletes a long path too without converting it then.
void* os_end_path_new(const char16_t* path) {
  WinPath p(path);
  if (!p.get()) return nullptr;
  std::size_t n = 0;
  while (p.get()[n]) ++n;
  auto* copy = new (std::nothrow) wchar_t[n + 1];
  if (copy) for (std::size_t i = 0; i <= n; ++i) copy[i] = p.get()[i];
  return copy;
}

void os_end_path_free(void* native) { delete[] static_cast<wchar_t*>(native); }

void os_end_path_delete(const void* native) { DeleteFileW(static_cast<const wchar_t*>(native)); }

void os_end_marks_begin() { win_install_ctrl_trampoline(); }

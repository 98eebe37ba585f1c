// Win32 backend: directory entries by path, straight over kernel32; every
// path is handed over in the form that WinPath gives it.
#include "platform/os_seam.h"
#include "platform/os_fs.h"
#include "win32_util.h"

#include <cstring>
#include <string_view>

namespace {

void win_fill(const WIN32_FIND_DATAW& d, OsFindEntry* e) {
  e->attributes = d.dwFileAttributes;
  // Only name surrogates (symbolic links, junctions) lead elsewhere; other
  // reparse points such as deduplicated or cloud files are ordinary entries.
  e->is_link = (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(d.dwReserved0) ? 1 : 0;
  e->size = (static_cast<std::int64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
  static_assert(sizeof d.cFileName == sizeof e->name);
  std::memcpy(e->name, d.cFileName, sizeof e->name);
  e->name[OS_NAME_CAPACITY - 1] = 0;
}

}  // namespace

char16_t os_fs_separator() { return u'\\'; }

std::int64_t os_open_files_limit() { return 16777216; }

bool os_fs_is_separator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

bool os_fs_is_drive(const char16_t* path, std::int32_t length) {
  return path && (length == 2 || length == 3) && path[1] == u':';
}

std::int32_t os_drive_type(const char16_t* root) {
  WinPath p(root);
  return p.get() ? static_cast<std::int32_t>(GetDriveTypeW(p.get())) : OS_DRIVE_NO_ROOT_DIR;
}

OsFind os_sys_find_first(const char16_t* pattern, OsFindEntry* entry, std::uint32_t* error) {
  WIN32_FIND_DATAW d;
  WinPath p(pattern ? pattern : u"", true);
  HANDLE h = p.get() ? FindFirstFileW(p.get(), &d) : INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = GetLastError();
    return OS_NO_FIND;
  }
  win_fill(d, entry);
  return reinterpret_cast<OsFind>(h);
}

bool os_find_next(OsFind find, OsFindEntry* entry) {
  if (find == OS_NO_FIND || find == 0) return false;
  WIN32_FIND_DATAW d;
  if (!FindNextFileW(reinterpret_cast<HANDLE>(find), &d)) return false;
  win_fill(d, entry);
  return true;
}

void os_find_close(OsFind find) {
  if (find != OS_NO_FIND && find != 0) FindClose(reinterpret_cast<HANDLE>(find));
}

std::uint32_t os_get_attributes(const char16_t* path) {
  WinPath p(path);
  return p.get() ? GetFileAttributesW(p.get()) : OS_ATTR_INVALID;
}

bool os_set_attributes(const char16_t* path, std::uint32_t attributes) {
  WinPath p(path);
  return p.get() && SetFileAttributesW(p.get(), attributes) != 0;
}

bool os_sys_delete_file(const char16_t* path) {
  WinPath p(path);
  return p.get() && DeleteFileW(p.get()) != 0;
}

bool os_sys_delete_file_forced(const char16_t* path) {
  WinPath p(path);
  if (!p.get()) return false;
  SetFileAttributesW(p.get(), FILE_ATTRIBUTE_NORMAL);
  return DeleteFileW(p.get()) != 0;
}

bool os_file_stamp_open(OsFile file, OsFileStamp* stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  if (file == OS_NO_FILE || !stamp || !GetFileInformationByHandle(reinterpret_cast<HANDLE>(file), &info)) return false;
  stamp->identity = win_identity(info);
  stamp->size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  stamp->write_time = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime);
  // The change time also moves when only attributes or names change; where
  // the file system keeps none, it stays 0 and the write time must serve.
  FILE_BASIC_INFO basic;
  stamp->change_time = GetFileInformationByHandleEx(reinterpret_cast<HANDLE>(file), FileBasicInfo, &basic, sizeof basic)
                           ? static_cast<std::int64_t>(basic.ChangeTime.QuadPart)
                           : 0;
  return true;
}

bool os_file_stamp(const char16_t* path, OsFileStamp* stamp) {
  if (!path || !stamp) return false;
  WinPath p(path);
  if (!p.get()) return false;
  // No access rights are needed to read the identity; backup semantics let
  // directories be opened too, and links are followed to their target.
  HANDLE h = CreateFileW(p.get(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = os_file_stamp_open(reinterpret_cast<OsFile>(h), stamp);
  CloseHandle(h);
  return ok;
}

namespace {
// True when no directory of path below its root is a reparse point (a
// junction or directory link that may lead out of the tree).
bool win_plain_below_root(const char16_t* path, std::int32_t root_length) {
  if (!path || root_length < 0) return false;
  std::u16string_view whole(path);
  if (static_cast<std::size_t>(root_length) > whole.size()) return false;
  for (std::size_t i = static_cast<std::size_t>(root_length); i < whole.size(); ++i) {
    if ((whole[i] != u'\\' && whole[i] != u'/') || i == 0) continue;
    WinPath dir(whole.substr(0, i));
    DWORD a = dir.get() ? GetFileAttributesW(dir.get()) : INVALID_FILE_ATTRIBUTES;
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  }
  return true;
}
}  // namespace

bool os_entry_open(const char16_t* path, std::int32_t root_length, bool for_delete, OsHeldEntry* entry) {
  if (!entry) return false;
  *entry = OsHeldEntry{OS_NO_FILE, -1, {}};
  if (!win_plain_below_root(path, root_length)) return false;
  // The link itself is opened, never what it leads to, and then refused.
  DWORD access = for_delete ? GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES : GENERIC_READ;
  DWORD share = for_delete ? FILE_SHARE_READ | FILE_SHARE_DELETE : FILE_SHARE_READ;
  WinPath p(path);
  if (!p.get()) return false;
  HANDLE h = CreateFileW(p.get(), access, share, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    CloseHandle(h);
    return false;
  }
  entry->file = reinterpret_cast<OsFile>(h);
  entry->identity = win_identity(info);
  return true;
}

bool os_sys_entry_delete(const char16_t* path, std::int32_t root_length, OsHeldEntry* entry, bool force) {
  if (!entry || entry->file == OS_NO_FILE || !win_plain_below_root(path, root_length)) return false;
  HANDLE h = reinterpret_cast<HANDLE>(entry->file);
  if (force) {
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // zero times: left unchanged
    SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
  }
  // The held file itself is removed (when its last handle closes), whatever
  // its path has come to name meanwhile.
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

void os_entry_close(OsHeldEntry* entry) {
  if (!entry) return;
  if (entry->file != OS_NO_FILE) CloseHandle(reinterpret_cast<HANDLE>(entry->file));
  entry->file = OS_NO_FILE;
}

bool os_find_entry(const char16_t* path, OsFindEntry* entry, std::uint32_t* error) {
  OsFind find = os_sys_find_first(path, entry, error);
  if (find == OS_NO_FIND) return false;
  os_find_close(find);
  return true;
}

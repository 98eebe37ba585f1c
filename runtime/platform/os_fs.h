// Platform contract: looking up, listing, changing and deleting directory
// entries by path, as the kernel32 file services do it.
//
// Paths are UTF-16 and are handed to the system as they are. On Windows both
// "\" and "/" separate path components; on POSIX only "/" does, and "\" is an
// ordinary character of a name. Results and error codes carry the Windows
// values, so that code above this layer reads the same on both systems.
//
// POSIX: a path of PATH_MAX bytes or more, which the system does not take in
// one call, is reached through its directories, each opened from its parent
// without following a link, so that every call here (and in os_file.h) still
// reaches a file below that limit.
#pragma once
#include <cstdint>

#include "platform/os_file.h"

// Drive types of os_drive_type (GetDriveTypeW's values; 2 and above name a root).
constexpr std::int32_t OS_DRIVE_UNKNOWN = 0;
constexpr std::int32_t OS_DRIVE_NO_ROOT_DIR = 1;
constexpr std::int32_t OS_DRIVE_FIXED = 3;

// Attribute bits (FILE_ATTRIBUTE_*).
constexpr std::uint32_t OS_ATTR_READONLY = 0x1;
constexpr std::uint32_t OS_ATTR_DIRECTORY = 0x10;
constexpr std::uint32_t OS_ATTR_DEVICE = 0x40;  // POSIX: a FIFO, socket or device node
constexpr std::uint32_t OS_ATTR_NORMAL = 0x80;
constexpr std::uint32_t OS_ATTR_REPARSE_POINT = 0x400;
constexpr std::uint32_t OS_ATTR_INVALID = 0xFFFFFFFF;

// Error codes of a failed call (the Windows error values).
constexpr std::uint32_t OS_ERROR_FILE_NOT_FOUND = 2;  // the directory exists, no entry matches
constexpr std::uint32_t OS_ERROR_PATH_NOT_FOUND = 3;  // a directory on the way is missing
constexpr std::uint32_t OS_ERROR_TOO_MANY_OPEN_FILES = 4;  // the process holds all the files it may
constexpr std::uint32_t OS_ERROR_ACCESS_DENIED = 5;
constexpr std::uint32_t OS_ERROR_GEN_FAILURE = 31;    // anything else

// Length of an entry name, terminator included (MAX_PATH).
constexpr std::int32_t OS_NAME_CAPACITY = 260;

// One directory entry as a listing gives it.
struct OsFindEntry {
  std::uint32_t attributes;  // OS_ATTR_* bits; OS_ATTR_NORMAL when no other bit is set
  std::uint32_t is_link;     // 1 for a symbolic link or junction (do not enter it), else 0
  std::int64_t size;         // bytes; 0 for directories
  char16_t name[OS_NAME_CAPACITY];  // the entry's own name, zero-terminated
};

// An open search; OS_NO_FIND means none.
using OsFind = std::intptr_t;
constexpr OsFind OS_NO_FIND = -1;

// The identity of a file: equal for two paths that reach the same file
// (device and inode on POSIX; volume serial number and file index on Windows).
struct OsFileIdentity {
  std::uint64_t volume;
  std::uint64_t index;
  friend bool operator==(const OsFileIdentity&, const OsFileIdentity&) = default;
};

// How many files the process may hold open at once: the soft descriptor
// limit on POSIX; on Windows, where handles have no such small limit, a
// large number.
std::int64_t os_open_files_limit();

// The component separator that the system writes ("\" on Windows, "/" on POSIX).
char16_t os_fs_separator();

// 1 when the unit separates path components ("\" or "/" on Windows, "/" on POSIX).
bool os_fs_is_separator(char16_t unit);

// 1 when the first `length` units of path name a drive root by themselves:
// on Windows a drive designator (2 or 3 units whose second is a colon), on
// POSIX a path made of "/" only.
bool os_fs_is_drive(const char16_t* path, std::int32_t length);

// The drive type of a root path (GetDriveTypeW). POSIX reports an existing
// directory as OS_DRIVE_FIXED and anything else as OS_DRIVE_NO_ROOT_DIR.
std::int32_t os_drive_type(const char16_t* root);

// Starts a search (FindFirstFileW). The last component of pattern is a mask
// ("*" any run of units, "?" one unit; a trailing ".*" also matches names
// without a dot, so "*.*" matches every name); without wildcards it names one
// entry. On success the first matching entry is in *entry and the search is
// returned. On failure OS_NO_FIND is returned and *error tells why:
// OS_ERROR_FILE_NOT_FOUND when the directory exists but nothing matches,
// OS_ERROR_PATH_NOT_FOUND for a missing directory, OS_ERROR_ACCESS_DENIED,
// OS_ERROR_TOO_MANY_OPEN_FILES when no handle was left to open it with.
// Goes through the seam (os_seam.h).
// A POSIX listing includes "." and ".."; matching there is case-sensitive.
OsFind os_find_first(const char16_t* pattern, OsFindEntry* entry, std::uint32_t* error);

// The one entry a path names, as a size look-up asks for it: false, with
// *error as os_find_first gives it, when there is none. Windows searches for
// the path (FindFirstFileW), so wildcards in its last component give the
// first match; on POSIX a name is a name, and "*" or "?" is part of it.
bool os_find_entry(const char16_t* path, OsFindEntry* entry, std::uint32_t* error);

// The next matching entry into *entry (FindNextFileW); false at the end.
bool os_find_next(OsFind find, OsFindEntry* entry);

// Ends a search (FindClose); OS_NO_FIND is ignored.
void os_find_close(OsFind find);

// The attributes of the entry a path names (GetFileAttributesW), or
// OS_ATTR_INVALID. A link's attributes are its own (with
// OS_ATTR_REPARSE_POINT), plus OS_ATTR_DIRECTORY when it leads to a directory.
std::uint32_t os_get_attributes(const char16_t* path);

// Sets the attributes (SetFileAttributesW). POSIX keeps only read-only, as the
// owner's write permission: OS_ATTR_READONLY removes every write permission,
// any value without it (OS_ATTR_NORMAL) gives the owner write permission
// back. A POSIX link has no attributes of its own and is left alone.
bool os_set_attributes(const char16_t* path, std::uint32_t attributes);

// Deletes a file (DeleteFileW). Fails for a read-only file (POSIX: no owner
// write permission), a directory or a link to a directory; a link to a file
// is deleted itself, never its target.
bool os_delete_file(const char16_t* path);

// Clears the read-only attribute, then deletes the file (SetFileAttributesW
// with OS_ATTR_NORMAL, then DeleteFileW), looking the path up once where the
// system allows it.
bool os_delete_file_forced(const char16_t* path);

// A file's identity with its size and times of change: two equal stamps
// taken at two moments mean that the file was not written in between.
struct OsFileStamp {
  OsFileIdentity identity;
  std::int64_t size;
  std::int64_t write_time;   // last write, in the system's own units
  std::int64_t change_time;  // last change of contents or attributes, where the system keeps it; else 0
};

// The stamp of the file a path reaches (links followed), which holds its
// identity; false when it cannot be reached.
bool os_file_stamp(const char16_t* path, OsFileStamp* stamp);

// The stamp of an open file: equal to the stamp of the path it was opened
// by, for as long as that path reaches it.
bool os_file_stamp_open(OsFile file, OsFileStamp* stamp);

// A file held open for a deletion that is confirmed first: opened for
// reading, reached below a root without passing through a link, and a
// regular file itself (never a link, pipe, device or directory).
struct OsHeldEntry {
  OsFile file;               // open for reading; OS_NO_FILE when not held
  std::intptr_t dir;         // POSIX: the descriptor of the entry's own directory; else unused
  OsFileIdentity identity;   // of the file opened
};

// Opens `path` for a checked deletion (`for_delete`) or as the file it is
// compared with. The first `root_length` units name the root, which is
// followed as given; below it no component may be a link (POSIX: each
// directory opened with O_NOFOLLOW | O_DIRECTORY from the root's; Windows:
// no component is a reparse point). The open never blocks and never follows
// a link at the last component, and only a regular file is kept open.
// Windows: a file opened for deletion shares reading and deletion only, the
// file it is compared with reading only, so neither can be written (nor the
// latter deleted) while held. False (and nothing held) when refused.
bool os_entry_open(const char16_t* path, std::int32_t root_length, bool for_delete, OsHeldEntry* entry);

// Deletes a held entry (one opened for deletion) while its path still leads
// to the file held, through directories that are not links: POSIX removes
// the name from the directory held (unlinkat) after checking that it still
// names the held file, and lets the file go (entry->file becomes OS_NO_FILE)
// just before; Windows removes the held file itself. `force` first clears
// the read-only attribute (POSIX: gives the owner write permission).
bool os_entry_delete(const char16_t* path, std::int32_t root_length, OsHeldEntry* entry, bool force);

// Releases what os_entry_open holds; a released entry is ignored.
void os_entry_close(OsHeldEntry* entry);

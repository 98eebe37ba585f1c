// File system: whether a path names a file (and its size) or a directory,
// file deletion, the file-name part of a path, and directory enumerations
// addressed by an ObjectId.
//
// Paths go to the system as they are; nothing converts separators or
// resolves relative paths. String results are temporary results.
//
// Threads: fs_file_size, fs_file_identity, fs_file_stamp and the held-file
// operations (fs_hold_file ... fs_release_held) use no temporary results and
// no module state and may run on any thread. Enumerations, fs_file_part and
// fs_delete_file belong to the main flow.
#pragma once
#include <cstdint>

#include "core/obj.h"
#include "core/str.h"

// fs_file_size results besides a size.
constexpr std::int64_t FS_SIZE_MISSING = -1;    // no such entry, or an empty path
constexpr std::int64_t FS_SIZE_DIRECTORY = -2;  // a directory or a drive root

// fs_dir_entry_type results (0: the id has no enumeration).
constexpr std::int32_t FS_ENTRY_FILE = 1;
constexpr std::int32_t FS_ENTRY_DIRECTORY = 2;

// fs_delete_file flag: reset the attributes to normal before deleting.
constexpr std::int32_t FS_DELETE_FORCE = 2;

// The start-up step: the module holds no enumeration table yet (the first
// fs_dir_open creates it on the main heap).
void fs_init();

// How many files the process may hold open at once.
std::int64_t fs_open_files_limit();

// Looks the path up as a directory entry, without opening the file, so that
// files held open by others are measured too. Trailing separators are
// removed. On Windows wildcards in the last component give the first
// matching entry; on POSIX, where "*" and "?" may be part of a name, the
// path names one entry only.
// Returns the size in bytes, FS_SIZE_DIRECTORY or FS_SIZE_MISSING (also for
// a null or empty path and for anything that cannot be looked up).
std::int64_t fs_file_size(CStr path);

// Deletes a file; with FS_DELETE_FORCE its attributes are first reset to
// normal (read-only cleared), and stay reset when the deletion fails.
// Non-zero when the file was deleted.
std::int32_t fs_delete_file(CStr path, std::int32_t flags = 0);

// The file-name part of a path: what follows the last separator, without a
// leading double quote and ending before the next double quote. Empty for a
// null path or one that ends in a separator.
CStr fs_file_part(CStr path);

// Opens an enumeration of the entries of directory `path` whose names match
// `mask` (null or empty: "*.*", every name). `id` is OBJ_ANY or a number;
// re-opening a number closes what it held. Returns the enumeration's
// reference (for OBJ_ANY the id to use from then on), or 0 when the
// directory is missing or cannot be read. An existing directory with no
// matching entry gives an enumeration without entries. *no_handle, when
// given, tells whether a failure was only for want of a handle: the process
// held all the files it may.
ObjectId fs_dir_open(ObjectId id, CStr path, CStr mask, bool* no_handle = nullptr);

// Makes the next entry current; non-zero while there is one, 0 at the end
// (and for an id without enumeration).
std::int32_t fs_dir_next(ObjectId id);

// The current entry's name; empty for an id without enumeration.
CStr fs_dir_entry_name(ObjectId id);

// FS_ENTRY_DIRECTORY when the current entry is a directory (a link or
// junction to a directory counts as one), FS_ENTRY_FILE otherwise, 0 for an
// id without enumeration.
std::int32_t fs_dir_entry_type(ObjectId id);

// The current entry's size in bytes as the listing gave it (a link's is its
// target's; 0 for a directory); -1 for an id without enumeration.
std::int64_t fs_dir_entry_size(ObjectId id);

// 1 when the current entry is a symbolic link or junction, which a walk
// must not enter (it may lead back up the tree or outside it), else 0.
std::int32_t fs_dir_entry_is_link(ObjectId id);

// Ends an enumeration; an id without enumeration is ignored.
void fs_dir_close(ObjectId id);

// Closes every enumeration still open (run by rt_release_libraries).
void fs_dir_release_all();

// The separator the system writes between path components ("\" on Windows,
// "/" on POSIX), for callers that build paths.
char16_t fs_separator();

// 1 when the unit separates path components ("\" and "/" on Windows, only
// "/" on POSIX, where "\" is an ordinary character of a name), else 0.
std::int32_t fs_is_separator(char16_t unit);

// The identity of the file a path reaches (links followed): two paths with
// equal identities are the same file.
struct FsFileIdentity {
  std::uint64_t volume;
  std::uint64_t index;
  friend bool operator==(const FsFileIdentity&, const FsFileIdentity&) = default;
};

// 1 and the identity in *identity, or 0 when the path cannot be reached.
std::int32_t fs_file_identity(CStr path, FsFileIdentity* identity);

// 1 when both paths reach one and the same file, else 0 (also when either
// cannot be reached).
std::int32_t fs_same_file(CStr a, CStr b);

// A file's identity, size and times of change: equal stamps taken at two
// moments mean the file was not written in between. Safe on any thread.
struct FsFileStamp {
  FsFileIdentity identity;
  std::int64_t size;
  std::int64_t write_time;
  std::int64_t change_time;
  friend bool operator==(const FsFileStamp&, const FsFileStamp&) = default;
};

// 1 and the stamp in *stamp, or 0 when the path cannot be reached.
std::int32_t fs_file_stamp(CStr path, FsFileStamp* stamp);

// A file held open for a deletion that is confirmed first. Safe on any
// thread (these operations use no temporary results and no module state).
struct FsHeldFile {
  std::intptr_t file;         // open for reading while held
  std::intptr_t dir;          // the system's handle of the file's directory, where it keeps one
  FsFileIdentity identity;    // of the file opened
};

// Holds the regular file at `path` open for reading: 1, or 0 when it cannot
// be (missing, not a regular file, a link, or reached below its root - the
// first `root_length` units of path - through a link). With `for_delete`
// it may be deleted by fs_delete_held later.
std::int32_t fs_hold_file(CStr path, std::int32_t root_length, std::int32_t for_delete, FsHeldFile* held);

// Reads from a held file: the count read, 0 at its end, -1 on a failure.
std::int32_t fs_held_read(FsHeldFile* held, void* buffer, std::int32_t bytes);

// Deletes a file held for deletion, only while `path` still leads to it
// through directories that are not links; FS_DELETE_FORCE first clears its
// read-only attribute. Non-zero when deleted.
std::int32_t fs_delete_held(CStr path, std::int32_t root_length, FsHeldFile* held, std::int32_t flags);

// Closes a held file; a file not held is ignored.
void fs_release_held(FsHeldFile* held);

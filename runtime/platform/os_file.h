// Platform contract: files opened by path for sequential reading and writing.
//
// Handles are opaque integers; OS_NO_FILE means "no file". Transfers are
// synchronous and return the byte count moved, or -1 when the call failed.
#pragma once
#include <cstdint>

using OsFile = std::intptr_t;
constexpr OsFile OS_NO_FILE = -1;

enum OsSeekOrigin : std::int32_t { OS_SEEK_BEGIN = 0, OS_SEEK_CURRENT = 1 };

// Opens an existing file for reading; others may read it too only when
// share_read is set (POSIX has no sharing modes and opens read-only).
// A directory is not a file and is refused.
OsFile os_file_open_read(const char16_t* path, bool share_read);

// Creates a file for reading and writing (no sharing), or empties an
// existing one: opened for reading and writing, or for writing only where
// reading is denied. Only the path's own entry is ever written: a symbolic
// link or reparse point there is not followed, and an existing entry is
// refused, untouched, when it is not a regular file, is read-only, has a
// second name (a hard link, which would see the new contents), or is the
// file that `other` is open on (when given). A new file is always its
// owner's to write and delete again, whatever the umask; a path that names
// a named pipe or device never blocks the call.
OsFile os_file_create(const char16_t* path, OsFile other = OS_NO_FILE);

std::int32_t os_file_read(OsFile file, void* buffer, std::int32_t bytes);
std::int32_t os_file_write(OsFile file, const void* buffer, std::int32_t bytes);

// Moves the file position; returns the new absolute position, or -1.
std::int64_t os_file_seek(OsFile file, std::int64_t distance, OsSeekOrigin origin);

// Forces written data to the device.
bool os_file_flush(OsFile file);

// Closes the file; false when the system reports that pending data could not be written.
bool os_file_close(OsFile file);

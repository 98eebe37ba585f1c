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

// Creates a new file for reading and writing where no entry stands at the
// path (an entry of any kind, a link included, is never opened); *exists
// (when given) tells whether that was why it failed. Others may delete the
// file while it is open but not open it for reading or writing. It is
// always its owner's to write and delete, whatever the umask, and on POSIX
// it takes the permissions of the regular file at `like` (when given and
// there), so that a file it replaces keeps who may read it.
OsFile os_file_create_new(const char16_t* path, const char16_t* like = nullptr, bool* exists = nullptr);

// Whether os_file_create would take what stands at `path`, judged without
// changing it: true when no entry is there; false when something is there
// that os_file_create refuses (a link, not a regular file, read-only, a
// second name, the file `other` is open on) or when it cannot be judged.
bool os_file_may_replace(const char16_t* path, OsFile other = OS_NO_FILE);

// Puts the closed file at `from` in place of `to` in one step: the entry at
// `to`, if any, is replaced itself (never what a link there leads to), and
// readers see either the old file or the new one, never a mix. The change
// is on the disk when the call returns (POSIX: rename, then the directory
// is flushed; Windows: MoveFileExW, replacing, written through). False when
// it could not be done: both entries are then as they were.
bool os_file_replace(const char16_t* from, const char16_t* to);

// Forces written data to the device.
bool os_file_flush(OsFile file);

// Asks the system to start writing the file's data to the device now, and
// returns at once: a later os_file_flush then has less to wait for. Only a
// hint (Windows: nothing), so that nothing depends on it.
void os_file_start_writeback(OsFile file);

// Files that must not outlive an interrupted process. While a file is
// marked, the ends of the process that skip its normal end - Ctrl+C,
// Ctrl+Break and the console closing on Windows; SIGINT, SIGQUIT, SIGTERM
// and SIGHUP on POSIX - delete it by its path first. Only a kill that no
// process can see (SIGKILL, a power cut) leaves it. A path that later
// names another file would lose that one, so a mark is taken off as soon
// as its file is deleted or renamed.
struct OsEndMark;

// Marks the file at `path`; null when the mark cannot be made (no memory).
OsEndMark* os_file_mark_for_end(const char16_t* path);

// Takes a mark off and frees it; null is ignored.
void os_file_unmark(OsEndMark* mark);

// Deletes every marked file now, as an end of the process does; safe in a
// signal handler and on any thread. The marks stay until taken off.
void os_remove_marked_files();

// Closes the file; false when the system reports that pending data could not be written.
bool os_file_close(OsFile file);

// POSIX backend: files by path, over file descriptors.
#include "platform/os_seam.h"
#include "platform/os_file.h"
#include "platform/os_fs.h"
#include "posix_path.h"
#include "platform/end_marks.h"
#include "posix_stat.h"
#include "posix_terminal.h"
#include "posix_text.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>

namespace {
OsFile posix_open(const char16_t* path, int flags) {
  if (!path) return OS_NO_FILE;
  std::string p = posix_to_bytes(path);
  if (p.empty()) return OS_NO_FILE;
  PosixPlace at(p);  // a path past the system's limit, through its directories
  if (!at.reached()) return OS_NO_FILE;
  int fd;
  do fd = ::openat(at.dir(), at.name(), flags | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  return fd < 0 ? OS_NO_FILE : static_cast<OsFile>(fd);
}
int posix_fd(OsFile f) { return static_cast<int>(f); }
}  // namespace

namespace {
// Opens for reading; st receives what fstat gave.
OsFile posix_open_read(const char16_t* path, struct stat* st) {
  // Only a regular file is read, judged by what was opened, so that a link
  // to a device is caught too. Opening without blocking keeps a named pipe
  // without a writer from hanging the open, and a terminal is never taken
  // as the controlling one; a directory is refused as CreateFileW refuses it.
  OsFile f = posix_open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (f == OS_NO_FILE) return f;
  if (::fstat(posix_fd(f), st) != 0 || !S_ISREG(st->st_mode)) {
    ::close(posix_fd(f));
    return OS_NO_FILE;
  }
  return f;
}
}  // namespace

PosixOpened& posix_opened() {
  thread_local PosixOpened opened;
  return opened;
}

OsFile os_sys_file_open_read(const char16_t* path, bool) {
  struct stat st;
  OsFile f = posix_open_read(path, &st);
  if (f != OS_NO_FILE) posix_opened() = {posix_fd(f), st};
  return f;
}

namespace {
// Opens for writing what already stands at the path, never through a link
// and never waiting on a named pipe: read and write, or write only where
// reading is denied.
OsFile posix_open_existing_output(const char16_t* path) {
  constexpr int FLAGS = O_NOFOLLOW | O_NONBLOCK;
  OsFile f = posix_open(path, O_RDWR | FLAGS);
  if (f == OS_NO_FILE && errno == EACCES) f = posix_open(path, O_WRONLY | FLAGS);
  return f;
}

// Whether an existing entry may be emptied: a regular file with no other
// name, not the file `other` is open on, and writable by its owner (one
// without that bit is read-only here, as CreateFileW refuses one, even for a
// user such as root whom the system would let write it).
bool posix_may_empty(int fd, OsFile other) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || !(st.st_mode & S_IWUSR)) return false;
  if (other == OS_NO_FILE) return true;
  struct stat o;
  if (::fstat(posix_fd(other), &o) != 0) return false;
  return posix_identity(o) != posix_identity(st);
}
}  // namespace

namespace {
// A file just created exclusively at `path`, made the caller's to write and
// to delete again whatever the umask took away from its owner, with the
// permissions `mode` when given (-1: the umask's). On failure it goes again.
OsFile posix_keep_created(const char16_t* path, OsFile f, int mode) {
  struct stat st;
  bool ok = ::fstat(posix_fd(f), &st) == 0;
  if (ok) {
    mode_t wanted = (mode >= 0 ? static_cast<mode_t>(mode) : st.st_mode) & 07777;
    wanted |= S_IWUSR;
    ok = (st.st_mode & 07777) == wanted || ::fchmod(posix_fd(f), wanted) == 0;
  }
  if (ok) return f;
  ::close(posix_fd(f));
  std::string p = posix_to_bytes(path);
  ::unlink(p.c_str());
  return OS_NO_FILE;
}
}  // namespace

OsFile os_sys_file_create(const char16_t* path, OsFile other) {
  // A new file: the exclusive creation follows no link and meets no pipe.
  errno = 0;
  OsFile f = posix_open(path, O_RDWR | O_CREAT | O_EXCL);
  if (f != OS_NO_FILE) return posix_keep_created(path, f, -1);
  if (errno != EEXIST) return OS_NO_FILE;
  f = posix_open_existing_output(path);
  if (f == OS_NO_FILE) return f;
  if (!posix_may_empty(posix_fd(f), other) || ::ftruncate(posix_fd(f), 0) != 0) {
    ::close(posix_fd(f));
    return OS_NO_FILE;
  }
  return f;
}

std::int32_t os_sys_file_read(OsFile file, void* buffer, std::int32_t bytes) {
  if (file == OS_NO_FILE || bytes < 0) return -1;
  if (posix_opened().fd == posix_fd(file)) posix_opened().fd = -1;
  // Read until the request is met or the file ends, as a synchronous
  // ReadFile on a disk file does.
  std::int32_t done = 0;
  while (done < bytes) {
    ssize_t n = ::read(posix_fd(file), static_cast<char*>(buffer) + done, static_cast<size_t>(bytes - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? done : -1;
    }
    if (n == 0) break;
    done += static_cast<std::int32_t>(n);
    // Only regular files are opened for reading: a short read means the
    // end was reached, and asking again would only confirm it.
    if (n < static_cast<ssize_t>(bytes - (done - n))) break;
  }
  return done;
}

std::int32_t os_sys_file_write(OsFile file, const void* buffer, std::int32_t bytes) {
  if (file == OS_NO_FILE || bytes < 0) return -1;
  std::int32_t done = 0;
  while (done < bytes) {
    ssize_t n = ::write(posix_fd(file), static_cast<const char*>(buffer) + done, static_cast<size_t>(bytes - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<std::int32_t>(n);
  }
  return done;
}

std::int64_t os_file_seek(OsFile file, std::int64_t distance, OsSeekOrigin origin) {
  if (file == OS_NO_FILE) return -1;
  off_t r = ::lseek(posix_fd(file), static_cast<off_t>(distance), origin == OS_SEEK_BEGIN ? SEEK_SET : SEEK_CUR);
  return r < 0 ? -1 : static_cast<std::int64_t>(r);
}

void os_file_start_writeback(OsFile file) {
  if (file != OS_NO_FILE) ::sync_file_range(posix_fd(file), 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool os_sys_file_flush(OsFile file) {
  if (file == OS_NO_FILE) return false;
  int r;
  do r = ::fsync(posix_fd(file));
  while (r != 0 && errno == EINTR);
  return r == 0;
}

OsFile os_sys_file_create_new(const char16_t* path, const char16_t* like, bool* exists) {
  if (exists) *exists = false;
  int mode = -1;
  if (like) {
    struct stat st;
    std::string l = posix_to_bytes(like);
    if (!l.empty() && ::lstat(l.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = static_cast<int>(st.st_mode & 07777);
  }
  errno = 0;
  OsFile f = posix_open(path, O_RDWR | O_CREAT | O_EXCL);
  if (f == OS_NO_FILE) {
    if (exists) *exists = errno == EEXIST;
    return f;
  }
  return posix_keep_created(path, f, mode);
}

bool os_file_may_replace(const char16_t* path, OsFile other) {
  errno = 0;
  OsFile f = posix_open_existing_output(path);
  if (f == OS_NO_FILE) return errno == ENOENT;
  bool ok = posix_may_empty(posix_fd(f), other);
  ::close(posix_fd(f));
  return ok;
}

bool os_sys_file_replace(const char16_t* from, const char16_t* to) {
  if (!from || !to) return false;
  std::string f = posix_to_bytes(from);
  std::string t = posix_to_bytes(to);
  if (f.empty() || t.empty() || ::rename(f.c_str(), t.c_str()) != 0) return false;
  // The new name is on the disk once its directory is: flushed as well
  // where the file system lets a directory be flushed.
  std::size_t slash = t.rfind('/');
  std::string dir = slash == std::string::npos ? std::string(".") : t.substr(0, slash == 0 ? 1 : slash);
  int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d >= 0) {
    int r;
    do r = ::fsync(d);
    while (r != 0 && errno == EINTR);
    ::close(d);
  }
  return true;
}

void* os_end_path_new(const char16_t* path) {
  std::string p = posix_to_bytes(path);
  if (p.empty()) return nullptr;
  auto* copy = new (std::nothrow) char[p.size() + 1];
  if (copy) std::memcpy(copy, p.c_str(), p.size() + 1);
  return copy;
}

void os_end_path_free(void* native) { delete[] static_cast<char*>(native); }

void os_end_path_delete(const void* native) { ::unlink(static_cast<const char*>(native)); }

void os_end_marks_begin() { posix_install_end_signals(); }

bool os_sys_file_close(OsFile file) {
  // A failed close can mean that written data never reached the file; the
  // descriptor is released either way, so it is never closed again.
  if (file != OS_NO_FILE && posix_opened().fd == posix_fd(file)) posix_opened().fd = -1;
  return file != OS_NO_FILE && ::close(posix_fd(file)) == 0;
}

// POSIX backend: files by path, over file descriptors.
#include "platform/os_seam.h"
#include "platform/os_file.h"
#include "platform/os_fs.h"
#include "posix_path.h"
#include "posix_stat.h"
#include "posix_text.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

OsFile os_sys_file_create(const char16_t* path, OsFile other) {
  // A new file: the exclusive creation follows no link and meets no pipe.
  errno = 0;
  OsFile f = posix_open(path, O_RDWR | O_CREAT | O_EXCL);
  if (f != OS_NO_FILE) {
    // Always the caller's to write and to delete again, whatever the umask
    // took away from its owner.
    struct stat st;
    if (::fstat(posix_fd(f), &st) == 0 && ((st.st_mode & S_IWUSR) || ::fchmod(posix_fd(f), (st.st_mode & 07777) | S_IWUSR) == 0))
      return f;
    ::close(posix_fd(f));
    std::string p = posix_to_bytes(path);
    ::unlink(p.c_str());
    return OS_NO_FILE;
  }
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

bool os_file_flush(OsFile file) { return file != OS_NO_FILE && ::fsync(posix_fd(file)) == 0; }

bool os_sys_file_close(OsFile file) {
  // A failed close can mean that written data never reached the file; the
  // descriptor is released either way, so it is never closed again.
  if (file != OS_NO_FILE && posix_opened().fd == posix_fd(file)) posix_opened().fd = -1;
  return file != OS_NO_FILE && ::close(posix_fd(file)) == 0;
}

// POSIX backend: files by path, over file descriptors.
#include "platform/os_seam.h"
#include "platform/os_file.h"
#include "platform/os_fs.h"
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
  int fd;
  do fd = ::open(p.c_str(), flags | O_CLOEXEC, 0666);
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

OsFile os_sys_file_open_read(const char16_t* path, bool) {
  struct stat st;
  return posix_open_read(path, &st);
}

OsFile os_file_open_read_stamped(const char16_t* path, bool share_read, OsFileStamp* stamp, bool* stamped) {
  OsFile f = os_file_open_read(path, share_read);
  *stamped = f != OS_NO_FILE && os_file_stamp_open(f, stamp);
  return f;
}

namespace {
// Opens an existing file for writing and empties it only once it is known to
// be writable: a file without its owner's write bit is read-only here, as
// CreateFileW refuses one, even for a user (root) whom the system would let
// write it.
OsFile posix_open_truncate(const char16_t* path, int flags) {
  OsFile f = posix_open(path, flags);
  if (f == OS_NO_FILE) return f;
  struct stat st;
  bool ok = ::fstat(posix_fd(f), &st) == 0 && (st.st_mode & S_IWUSR) != 0;
  if (ok && S_ISREG(st.st_mode) && st.st_size != 0) ok = ::ftruncate(posix_fd(f), 0) == 0;
  if (!ok) {
    ::close(posix_fd(f));
    return OS_NO_FILE;
  }
  return f;
}

// A new file is always the caller's to write and to delete again, whatever
// the umask took away from its owner.
OsFile posix_create_new(const char16_t* path, bool* exists) {
  *exists = false;
  OsFile f = posix_open(path, O_RDWR | O_CREAT | O_EXCL);
  if (f == OS_NO_FILE) {
    *exists = errno == EEXIST;
    return f;
  }
  struct stat st;
  if (::fstat(posix_fd(f), &st) == 0 && !(st.st_mode & S_IWUSR)) ::fchmod(posix_fd(f), (st.st_mode & 07777) | S_IWUSR);
  return f;
}
}  // namespace

OsFile os_sys_file_create(const char16_t* path) {
  bool exists = false;
  OsFile f = posix_create_new(path, &exists);
  return f == OS_NO_FILE && exists ? posix_open_truncate(path, O_RDWR) : f;
}
OsFile os_file_truncate_existing(const char16_t* path) { return posix_open_truncate(path, O_WRONLY); }

std::int32_t os_sys_file_read(OsFile file, void* buffer, std::int32_t bytes) {
  if (file == OS_NO_FILE || bytes < 0) return -1;
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
  return file != OS_NO_FILE && ::close(posix_fd(file)) == 0;
}

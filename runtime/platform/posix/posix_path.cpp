// POSIX backend: paths longer than the system takes in one call, reached
// through their directories.
#include "posix_path.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(__linux__) && defined(SYS_openat2)
#include <linux/openat2.h>
#endif

#include <cstdint>
#include <utility>

namespace {

#ifdef O_PATH
constexpr int PASS_THROUGH = O_PATH;  // a directory only searched needs no read permission
#else
constexpr int PASS_THROUGH = O_RDONLY;
#endif

int posix_openat_retry(int dir, const char* name, int flags) {
  int fd;
  do fd = ::openat(dir, name, flags | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  return fd;
}

void posix_close_keeping_errno(int fd) {
  int saved = errno;
  ::close(fd);
  errno = saved;
}

}  // namespace

int posix_openat2_no_links(int dir, std::string_view path, int flags, bool beneath) {
#if defined(__linux__) && defined(SYS_openat2)
  std::string p(path);
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | (beneath ? RESOLVE_BENEATH : 0);
  long fd;
  do fd = ::syscall(SYS_openat2, dir, p.c_str(), &how, sizeof how);
  while (fd < 0 && errno == EINTR);
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != EINVAL)) return static_cast<int>(fd);
#else
  (void)dir;
  (void)path;
  (void)flags;
  (void)beneath;
#endif
  return -2;
}

namespace {

// Opens the directories of `part` one from another, each without following a link.
int posix_open_each(int dir, std::string_view part, int flags, bool beneath) {
  int at = dir;
  std::size_t start = 0;
  while (start < part.size()) {
    std::size_t slash = part.find('/', start);
    if (slash == std::string_view::npos) slash = part.size();
    std::string name(part.substr(start, slash - start));
    start = slash + 1;
    if (name.empty()) continue;
    if (beneath && name == "..") {
      if (at != dir) posix_close_keeping_errno(at);
      errno = EXDEV;
      return -1;
    }
    bool last = part.find_first_not_of('/', start) == std::string_view::npos;
    int next = posix_openat_retry(at, name.c_str(), (last ? flags : PASS_THROUGH) | O_DIRECTORY | O_NOFOLLOW);
    if (at != dir) posix_close_keeping_errno(at);
    if (next < 0) return -1;
    at = next;
  }
  return at == dir ? posix_openat_retry(dir, ".", flags | O_DIRECTORY) : at;
}

}  // namespace

int posix_open_chain(int start, std::string_view dirs, int flags, bool beneath) {
  int dir = start;
  std::size_t pos = dirs.find_first_not_of('/');
  if (!beneath && !dirs.empty() && dirs[0] == '/') {
    dir = posix_openat_retry(AT_FDCWD, "/", PASS_THROUGH | O_DIRECTORY);
    if (dir < 0) return -1;
  }
  std::size_t end = dirs.find_last_not_of('/');
  end = end == std::string_view::npos ? 0 : end + 1;
  if (pos == std::string_view::npos || pos >= end) {
    int fd = posix_openat_retry(dir, ".", flags | O_DIRECTORY);
    if (dir != start) posix_close_keeping_errno(dir);
    return fd;
  }
  bool in_one_call = true;
  while (pos < end) {
    // As many whole components as the system takes in one call.
    std::size_t stop = end;
    if (stop - pos >= PATH_MAX) {
      stop = dirs.rfind('/', pos + PATH_MAX - 1);
      if (stop == std::string_view::npos || stop <= pos) stop = dirs.find('/', pos);
    }
    std::string_view part = dirs.substr(pos, stop - pos);
    int part_flags = (stop >= end ? flags : PASS_THROUGH) | O_DIRECTORY;
    int fd = in_one_call ? posix_openat2_no_links(dir, part, part_flags, beneath) : -2;
    if (fd == -2) {
      in_one_call = false;
      fd = posix_open_each(dir, part, part_flags & ~O_DIRECTORY, beneath);
    }
    if (dir != start) posix_close_keeping_errno(dir);
    if (fd < 0) return -1;
    dir = fd;
    pos = dirs.find_first_not_of('/', stop);
    if (pos == std::string_view::npos) pos = end;
  }
  return dir;
}

int posix_open_listing(const std::string& path) {
  if (path.size() < PATH_MAX) return posix_openat_retry(AT_FDCWD, path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY);
  return posix_open_chain(AT_FDCWD, path, O_RDONLY, false);
}

PosixPlace::PosixPlace(std::string path) : dir_(AT_FDCWD), reached_(true), name_(std::move(path)) {
  if (name_.size() < PATH_MAX) return;
  std::size_t end = name_.find_last_not_of('/');
  std::size_t slash = end == std::string::npos ? std::string::npos : name_.rfind('/', end);
  std::size_t leaf = slash == std::string::npos ? 0 : slash + 1;
  dir_ = posix_open_chain(AT_FDCWD, std::string_view(name_).substr(0, leaf), PASS_THROUGH, false);
  reached_ = dir_ >= 0;
  name_ = end == std::string::npos ? std::string() : name_.substr(leaf, end + 1 - leaf);
}

PosixPlace::~PosixPlace() {
  if (dir_ >= 0) posix_close_keeping_errno(dir_);
}

// POSIX backend, internal: paths longer than the system takes in one call.
//
// A path of PATH_MAX bytes or more cannot be handed to the system whole, yet a
// tree may hold files below it. Such a path is reached through its
// directories, each opened from its parent's descriptor with O_NOFOLLOW |
// O_DIRECTORY (several at once where the system resolves a part of the path
// without following any link), so no link met on the way is ever followed; the
// call is then made relative to the last directory.
#pragma once
#include <string>
#include <string_view>

// Opens `path` (shorter than PATH_MAX) from the directory `dir` in one call,
// following no link at any component, and with `beneath` never climbing out
// of `dir`: the descriptor, -1 when refused (errno says why), -2 where the
// system has no such call.
int posix_openat2_no_links(int dir, std::string_view path, int flags, bool beneath);

// Opens the directory `dirs` below the directory `start` (AT_FDCWD: the
// current one; an absolute `dirs` starts at "/", except `beneath`), with
// `flags` added to O_DIRECTORY | O_CLOEXEC for the last directory. No
// component may be a link, and with `beneath` none may be "..", so the
// directory lies below `start`. Returns the descriptor, or -1 with errno
// telling why. An empty `dirs` opens `start` itself again.
int posix_open_chain(int start, std::string_view dirs, int flags, bool beneath);

// Opens the directory `path` for listing (O_RDONLY): one call for a path the
// system takes whole, as opendir does, a chain of opens for a longer one.
int posix_open_listing(const std::string& path);

// Where a path's last component lies, for the *at calls: the current
// directory and the whole path when the system takes it whole; otherwise the
// path's directory, opened as a chain, and its last component.
class PosixPlace {
 public:
  explicit PosixPlace(std::string path);
  ~PosixPlace();
  PosixPlace(const PosixPlace&) = delete;
  PosixPlace& operator=(const PosixPlace&) = delete;

  // False when the directory could not be reached (errno says why).
  bool reached() const { return reached_; }
  int dir() const { return dir_; }
  const char* name() const { return name_.c_str(); }

 private:
  int dir_;
  bool reached_;
  std::string name_;  // the whole path, or its last component
};

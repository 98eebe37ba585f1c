// POSIX backend: directory entries by path, with the results kernel32 gives.
//
// A search lists the directory with readdir (which includes "." and "..")
// and keeps the entries whose names match the mask. Read-only is the absence
// of the owner's write permission, and deletion refuses such a file as
// DeleteFileW refuses a read-only one. A path past the system's limit is
// reached through its directories (posix_path.h).
#include "platform/os_seam.h"
#include "platform/os_fs.h"
#include "posix_path.h"
#include "posix_stat.h"
#include "posix_text.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace {

struct PosixFind {
  DIR* dir;            // null for a search of one named entry
  std::u16string mask;
};

PosixFind* posix_find(OsFind f) { return reinterpret_cast<PosixFind*>(f); }

bool posix_is_wild(std::u16string_view mask) { return mask.find_first_of(u"*?") != std::u16string_view::npos; }

// "*" matches any run of units, "?" exactly one; the last star backtracks.
bool posix_glob(std::u16string_view mask, std::u16string_view name) {
  std::size_t m = 0, n = 0, star = std::u16string_view::npos, resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == u'?' || mask[m] == name[n])) {
      ++m;
      ++n;
    } else if (m < mask.size() && mask[m] == u'*') {
      star = m++;
      resume = n;
    } else if (star != std::u16string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == u'*') ++m;
  return m == mask.size();
}

// Windows mask semantics: a trailing ".*" may also match the end of a name
// without a dot, so "*.*" matches every name and "name.*" matches "name".
bool posix_mask_match(std::u16string_view mask, std::u16string_view name) {
  if (posix_glob(mask, name)) return true;
  return mask.size() >= 2 && mask.ends_with(u".*") && posix_glob(mask.substr(0, mask.size() - 2), name);
}

std::uint32_t posix_mode_attributes(const struct stat& st) {
  std::uint32_t a = 0;
  if (S_ISDIR(st.st_mode)) a |= OS_ATTR_DIRECTORY;
  else if (!S_ISREG(st.st_mode)) a |= OS_ATTR_DEVICE;
  if (!(st.st_mode & S_IWUSR)) a |= OS_ATTR_READONLY;
  return a;
}

// Attributes and size of the entry `name` of the directory `dir` (AT_FDCWD:
// name is a whole path); false when it cannot be seen.
bool posix_describe_at(int dir, const char* name, std::uint32_t* attributes, std::uint32_t* is_link,
                       std::int64_t* size) {
  struct stat st;
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  std::uint32_t a = 0;
  *is_link = 0;
  *size = 0;
  if (S_ISLNK(st.st_mode)) {
    // A link is never read-only itself; it takes the kind and size of its target.
    *is_link = 1;
    a = OS_ATTR_REPARSE_POINT;
    struct stat target;
    if (::fstatat(dir, name, &target, 0) == 0) {
      if (S_ISDIR(target.st_mode)) a |= OS_ATTR_DIRECTORY;
      else *size = static_cast<std::int64_t>(target.st_size);
    }
  } else {
    a = posix_mode_attributes(st);
    if (!S_ISDIR(st.st_mode)) *size = static_cast<std::int64_t>(st.st_size);
  }
  *attributes = a ? a : OS_ATTR_NORMAL;
  return true;
}

bool posix_describe(const std::string& path, std::uint32_t* attributes, std::uint32_t* is_link, std::int64_t* size) {
  PosixPlace at(path);
  return at.reached() && posix_describe_at(at.dir(), at.name(), attributes, is_link, size);
}

void posix_set_name(OsFindEntry* e, std::u16string_view name) {
  std::size_t n = name.size() < OS_NAME_CAPACITY - 1 ? name.size() : OS_NAME_CAPACITY - 1;
  std::memcpy(e->name, name.data(), n * sizeof(char16_t));
  e->name[n] = 0;
}

// An entry of an open listing, looked up within its directory: far cheaper
// than walking the whole path again for every entry.
void posix_fill(DIR* dir, const dirent* d, std::u16string_view name, OsFindEntry* e) {
  // "." and ".." are the directories being walked: nobody asks more of them.
  if (name == u"." || name == u"..") {
    e->attributes = OS_ATTR_DIRECTORY;
    e->is_link = 0;
    e->size = 0;
  } else if (!posix_describe_at(::dirfd(dir), d->d_name, &e->attributes, &e->is_link, &e->size)) {
    // Gone since the listing named it, or in a directory that may be listed
    // but not searched: still an entry, of the kind the listing itself gives.
    // "." and ".." are always directories, whatever the listing knows.
    bool dots = name == u"." || name == u"..";
    e->is_link = d->d_type == DT_LNK ? 1 : 0;
    e->size = 0;
    if (dots || d->d_type == DT_DIR) e->attributes = OS_ATTR_DIRECTORY;
    else if (d->d_type == DT_LNK) e->attributes = OS_ATTR_REPARSE_POINT;
    else if (d->d_type == DT_REG || d->d_type == DT_UNKNOWN) e->attributes = OS_ATTR_NORMAL;
    else e->attributes = OS_ATTR_DEVICE;
  }
  posix_set_name(e, name);
}

bool posix_is_dir(const std::string& path) {
  PosixPlace at(path.empty() ? std::string(".") : path);
  struct stat st;
  return at.reached() && ::fstatat(at.dir(), at.name(), &st, 0) == 0 && S_ISDIR(st.st_mode);
}

std::uint32_t posix_error(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return OS_ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
      return OS_ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
      return OS_ERROR_TOO_MANY_OPEN_FILES;
    default:
      return OS_ERROR_GEN_FAILURE;
  }
}

// The next entry of a listing that matches the mask.
bool posix_read_match(PosixFind* f, OsFindEntry* e) {
  while (dirent* d = ::readdir(f->dir)) {
    std::u16string name = posix_from_bytes(d->d_name);
    if (!posix_mask_match(f->mask, name)) continue;
    posix_fill(f->dir, d, name, e);
    return true;
  }
  return false;
}

}  // namespace

char16_t os_fs_separator() { return u'/'; }

std::int64_t os_open_files_limit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return INT32_MAX;
  return static_cast<std::int64_t>(limit.rlim_cur);
}

bool os_fs_is_separator(char16_t unit) { return unit == u'/'; }

bool os_fs_is_drive(const char16_t* path, std::int32_t length) {
  if (!path || length < 1) return false;
  for (std::int32_t i = 0; i < length; ++i)
    if (path[i] != u'/') return false;
  return true;
}

std::int32_t os_drive_type(const char16_t* root) {
  if (!root) return OS_DRIVE_NO_ROOT_DIR;
  std::string p = posix_to_bytes(root);
  return !p.empty() && posix_is_dir(p) ? OS_DRIVE_FIXED : OS_DRIVE_NO_ROOT_DIR;
}

namespace {

// A pattern split at its last separator: the directory part (with the
// separator, as bytes) and the last component.
struct PosixPattern {
  std::string prefix;
  std::u16string_view last;
};

PosixPattern posix_split(const char16_t* pattern) {
  std::u16string_view pat(pattern ? pattern : u"");
  std::size_t slash = pat.rfind(u'/');
  std::u16string_view dir16 = slash == std::u16string_view::npos ? std::u16string_view() : pat.substr(0, slash + 1);
  std::u16string_view last = slash == std::u16string_view::npos ? pat : pat.substr(slash + 1);
  return {posix_to_bytes(dir16), last};
}

// The error of a pattern whose last component is empty: it names no entry.
std::uint32_t posix_empty_name_error(const std::string& prefix) {
  return posix_is_dir(prefix) ? OS_ERROR_FILE_NOT_FOUND : OS_ERROR_PATH_NOT_FOUND;
}

// The entry `name` of the directory `prefix`, whatever units its name holds.
bool posix_find_named(const std::string& prefix, std::u16string_view name, OsFindEntry* entry, std::uint32_t* error) {
  std::string path = prefix + posix_to_bytes(name);
  if (!posix_describe(path, &entry->attributes, &entry->is_link, &entry->size)) {
    int err = errno;
    *error = err == ENOENT && posix_is_dir(prefix) ? OS_ERROR_FILE_NOT_FOUND : posix_error(err);
    return false;
  }
  posix_set_name(entry, name);
  return true;
}

}  // namespace

bool os_find_entry(const char16_t* path, OsFindEntry* entry, std::uint32_t* error) {
  std::uint32_t ignored;
  if (!error) error = &ignored;
  PosixPattern p = posix_split(path);
  if (p.last.empty()) {
    *error = posix_empty_name_error(p.prefix);
    return false;
  }
  return posix_find_named(p.prefix, p.last, entry, error);
}

OsFind os_sys_find_first(const char16_t* pattern, OsFindEntry* entry, std::uint32_t* error) {
  std::uint32_t ignored;
  if (!error) error = &ignored;
  PosixPattern p = posix_split(pattern);
  const std::string& prefix = p.prefix;
  std::u16string_view mask = p.last;

  if (mask.empty()) {
    // A pattern ending in a separator names no entry.
    *error = posix_empty_name_error(prefix);
    return OS_NO_FIND;
  }
  if (!posix_is_wild(mask)) {
    if (!posix_find_named(prefix, mask, entry, error)) return OS_NO_FIND;
    auto* f = new (std::nothrow) PosixFind{nullptr, {}};
    if (!f) {
      *error = OS_ERROR_GEN_FAILURE;
      return OS_NO_FIND;
    }
    return reinterpret_cast<OsFind>(f);
  }

  int fd = posix_open_listing(prefix);
  DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (!d) {
    *error = posix_error(errno);
    if (fd >= 0) ::close(fd);
    return OS_NO_FIND;
  }
  auto* f = new (std::nothrow) PosixFind{d, std::u16string(mask)};
  if (!f) {
    ::closedir(d);
    *error = OS_ERROR_GEN_FAILURE;
    return OS_NO_FIND;
  }
  if (!posix_read_match(f, entry)) {
    os_find_close(reinterpret_cast<OsFind>(f));
    *error = OS_ERROR_FILE_NOT_FOUND;
    return OS_NO_FIND;
  }
  return reinterpret_cast<OsFind>(f);
}

bool os_find_next(OsFind find, OsFindEntry* entry) {
  if (find == OS_NO_FIND || find == 0) return false;
  PosixFind* f = posix_find(find);
  return f->dir && posix_read_match(f, entry);
}

void os_find_close(OsFind find) {
  if (find == OS_NO_FIND || find == 0) return;
  PosixFind* f = posix_find(find);
  if (f->dir) ::closedir(f->dir);
  delete f;
}

std::uint32_t os_get_attributes(const char16_t* path) {
  if (!path) return OS_ATTR_INVALID;
  std::uint32_t a, link;
  std::int64_t size;
  return posix_describe(posix_to_bytes(path), &a, &link, &size) ? a : OS_ATTR_INVALID;
}

bool os_set_attributes(const char16_t* path, std::uint32_t attributes) {
  if (!path) return false;
  PosixPlace at(posix_to_bytes(path));
  struct stat st;
  if (!at.reached() || ::fstatat(at.dir(), at.name(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(st.st_mode)) return true;
  mode_t mode = st.st_mode & 07777;
  mode_t wanted = (attributes & OS_ATTR_READONLY) ? (mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH))
                                                  : (mode | S_IWUSR);
  return wanted == mode || ::fchmodat(at.dir(), at.name(), wanted, 0) == 0;
}

namespace {
// Deletes the entry at `at`, which lstat described as st; `force` first
// gives a read-only file its owner's write permission back.
bool posix_delete(const PosixPlace& at, const struct stat& st, bool force) {
  if (S_ISDIR(st.st_mode)) {
    // The attributes are reset all the same, as for a directory on Windows.
    if (force && !(st.st_mode & S_IWUSR)) ::fchmodat(at.dir(), at.name(), (st.st_mode & 07777) | S_IWUSR, 0);
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    // A link to a directory is a directory entry, which DeleteFileW refuses.
    struct stat target;
    if (::fstatat(at.dir(), at.name(), &target, 0) == 0 && S_ISDIR(target.st_mode)) return false;
  } else if (!(st.st_mode & S_IWUSR)) {
    if (!force || ::fchmodat(at.dir(), at.name(), (st.st_mode & 07777) | S_IWUSR, 0) != 0) return false;
  }
  return ::unlinkat(at.dir(), at.name(), 0) == 0;
}

bool posix_delete_path(const char16_t* path, bool force) {
  if (!path) return false;
  PosixPlace at(posix_to_bytes(path));
  struct stat st;
  return at.reached() && ::fstatat(at.dir(), at.name(), &st, AT_SYMLINK_NOFOLLOW) == 0 && posix_delete(at, st, force);
}
}  // namespace

bool os_sys_delete_file(const char16_t* path) { return posix_delete_path(path, false); }

bool os_sys_delete_file_forced(const char16_t* path) { return posix_delete_path(path, true); }

bool os_file_stamp(const char16_t* path, OsFileStamp* stamp) {
  if (!path || !stamp) return false;
  struct stat st;
  std::string p = posix_to_bytes(path);
  if (p.empty()) return false;
  PosixPlace at(p);
  if (!at.reached() || ::fstatat(at.dir(), at.name(), &st, 0) != 0) return false;
  posix_stamp(st, stamp);
  return true;
}

bool os_file_stamp_open(OsFile file, OsFileStamp* stamp) {
  if (file < 0 || !stamp) return false;
  PosixOpened& opened = posix_opened();
  if (opened.fd == static_cast<int>(file)) {
    opened.fd = -1;
    posix_stamp(opened.st, stamp);
    return true;
  }
  struct stat st;
  if (::fstat(static_cast<int>(file), &st) != 0) return false;
  posix_stamp(st, stamp);
  return true;
}

namespace {
// The byte form of the part of path below its root, and of the root.
bool posix_split_root(const char16_t* path, std::int32_t root_length, std::string* root, std::string* rest) {
  if (!path || root_length < 0) return false;
  std::u16string_view all(path);
  if (static_cast<std::size_t>(root_length) > all.size()) return false;
  *root = posix_to_bytes(all.substr(0, static_cast<std::size_t>(root_length)));
  *rest = posix_to_bytes(all.substr(static_cast<std::size_t>(root_length)));
  return true;
}

// The last component of a path below its root.
std::string posix_leaf(const std::string& rest) {
  std::size_t slash = rest.rfind('/');
  return slash == std::string::npos ? rest : rest.substr(slash + 1);
}

int posix_openat(int dir, const char* name, int flags) {
  int fd;
  do fd = ::openat(dir, name, flags | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// The directory `dirs` (components separated by "/", none of them "..")
// below the open directory `root`, reached without following any link; `root`
// itself when `dirs` is empty. Where the system resolves such a path in one
// call it does; otherwise each directory is opened from its parent's
// descriptor. `root` stays open.
int posix_open_below(int root, const std::string& dirs) {
  if (dirs.empty()) return ::fcntl(root, F_DUPFD_CLOEXEC, 3);
  return posix_open_chain(root, dirs, O_RDONLY, true);
}

// The root directory of the held files, opened once per thread for as long
// as the root stays the same: a deletion thread holds thousands of files
// below one root, and the directory it first reached stays the one it works
// in even if the path is later made to lead elsewhere.
class RootCache {
 public:
  ~RootCache() { reset(); }
  bool holds(const std::string& root) const { return fd_ >= 0 && root == root_; }
  void forget() { reset(); }
  int open(const std::string& root) {
    if (holds(root)) return fd_;
    reset();
    fd_ = posix_open_listing(root);
    if (fd_ >= 0) root_ = root;
    return fd_;
  }

 private:
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  std::string root_;
  int fd_ = -1;
};
thread_local RootCache g_root_dir;

bool posix_climbs(const std::string& rest) {
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = rest.find('/', start);
    if (rest.compare(start, slash == std::string::npos ? std::string::npos : slash - start, "..") == 0) return true;
    if (slash == std::string::npos) return false;
    start = slash + 1;
  }
}
}  // namespace

namespace {
// Keeps `fd` (with `dir`, or -1) in entry when it is open on a regular
// file; otherwise closes both.
bool posix_keep_regular(int fd, int dir, OsHeldEntry* entry) {
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    if (dir >= 0) ::close(dir);
    return false;
  }
  entry->file = static_cast<OsFile>(fd);
  entry->dir = dir;
  entry->identity = posix_identity(st);
  return true;
}

// Holds the regular file `rest` below the open directory `top`, with its
// directory when it is held for deletion. Never blocking on a pipe or
// device, never taking a terminal, never following a link.
bool posix_hold_below(int top, const std::string& rest, bool with_dir, OsHeldEntry* entry) {
  constexpr int FLAGS = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  if (!with_dir && !rest.empty() && rest.back() != '/' && rest.size() < PATH_MAX) {
    int fd = posix_openat2_no_links(top, rest, FLAGS, true);
    if (fd != -2) return posix_keep_regular(fd, -1, entry);
  }
  std::size_t slash = rest.rfind('/');
  int dir = posix_open_below(top, slash == std::string::npos ? std::string() : rest.substr(0, slash));
  if (dir < 0) return false;
  std::string leaf = slash == std::string::npos ? rest : rest.substr(slash + 1);
  return posix_keep_regular(leaf.empty() ? -1 : posix_openat(dir, leaf.c_str(), FLAGS), dir, entry);
}
}  // namespace

bool os_entry_open(const char16_t* path, std::int32_t root_length, bool for_delete, OsHeldEntry* entry) {
  if (!entry) return false;
  *entry = OsHeldEntry{OS_NO_FILE, -1, {}};
  std::string root, rest;
  if (!posix_split_root(path, root_length, &root, &rest) || posix_climbs(rest)) return false;
  // The root is followed as the user named it; below it, no directory is
  // reached through a link. A root kept from earlier that no longer holds
  // the file (removed and made again) is opened afresh once.
  bool kept = g_root_dir.holds(root);
  int top = g_root_dir.open(root);
  if (top >= 0 && posix_hold_below(top, rest, for_delete, entry)) return true;
  if (!kept) return false;
  g_root_dir.forget();
  top = g_root_dir.open(root);
  return top >= 0 && posix_hold_below(top, rest, for_delete, entry);
}

bool os_sys_entry_delete(const char16_t* path, std::int32_t root_length, OsHeldEntry* entry, bool force) {
  if (!entry || entry->file == OS_NO_FILE || entry->dir < 0) return false;
  std::string root, rest;
  if (!posix_split_root(path, root_length, &root, &rest)) return false;
  std::string leaf = posix_leaf(rest);
  int dir = static_cast<int>(entry->dir);
  // The name must still lead to the file that was held and compared.
  struct stat st;
  if (leaf.empty() || ::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
      posix_identity(st) != entry->identity)
    return false;
  if (!(st.st_mode & S_IWUSR)) {
    // Read-only, as DeleteFileW sees it: forcing changes the held file itself.
    if (!force || ::fchmod(static_cast<int>(entry->file), (st.st_mode & 07777) | S_IWUSR) != 0) return false;
  }
  // The name was checked while the file was held, so it cannot have been
  // another file's that took the same number. The file is let go before
  // its name is removed, so that the removal frees it at once instead of
  // keeping it, nameless, until the close.
  ::close(static_cast<int>(entry->file));
  entry->file = OS_NO_FILE;
  return ::unlinkat(dir, leaf.c_str(), 0) == 0;
}

void os_entry_close(OsHeldEntry* entry) {
  if (!entry) return;
  if (entry->file != OS_NO_FILE) ::close(static_cast<int>(entry->file));
  if (entry->dir >= 0) ::close(static_cast<int>(entry->dir));
  entry->file = OS_NO_FILE;
  entry->dir = -1;
}

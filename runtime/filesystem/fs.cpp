// File system: entry lookup, deletion, file-name part and directory
// enumerations, over the platform's file-system services.
#include "filesystem/fs.h"

#include <cstring>
#include <string>

#include "core/rt.h"
#include "filesystem/fs_platform.h"
#include "platform/os_fs.h"
#include "platform/os_heap.h"

namespace {

// One open enumeration. The registry tells a live object by its first 32-bit
// word, so that word is a flag of its own: a 64-bit search handle may have a
// zero low half.
struct DirEnumeration {
  std::int32_t present;          // 1 while open
  std::int32_t first_delivered;  // 0 while the entry fetched by the search's start is not handed out
  OsFind handle;                 // OS_NO_FIND when nothing matched the mask
  OsFindEntry current;           // the entry last fetched
};

constexpr std::int32_t FS_TABLE_STEP = 16;

struct FsState {
  ObjectTable* table;  // created by the first fs_dir_open
};
FsState g_fs;

// A block on the main heap, released when it goes out of scope.
class MainHeapBlock {
 public:
  explicit MainHeapBlock(std::size_t bytes) : p_(os_heap_alloc(rt_main_heap(), bytes)) {}
  ~MainHeapBlock() { os_heap_free(rt_main_heap(), p_); }
  MainHeapBlock(const MainHeapBlock&) = delete;
  MainHeapBlock& operator=(const MainHeapBlock&) = delete;
  void* get() const { return p_; }

 private:
  void* p_;
};

DirEnumeration* fs_lookup(ObjectId id) {
  return g_fs.table ? static_cast<DirEnumeration*>(obj_lookup(g_fs.table, id)) : nullptr;
}

// A temporary result holding units[0..count). The units are copied first:
// they may lie in the temporary area, which reserving may move.
CStr fs_result(const char16_t* units, std::int32_t count) {
  std::u16string copy(units, static_cast<std::size_t>(count));
  char16_t* out = str_tmp_reserve(count);
  if (count > 0) std::memcpy(out, copy.data(), copy.size() * sizeof(char16_t));
  out[count] = 0;
  return out;
}

bool fs_names_root(std::int32_t drive_type) { return drive_type > OS_DRIVE_NO_ROOT_DIR; }

}  // namespace

std::int64_t fs_open_files_limit() { return os_open_files_limit(); }

void fs_init() { g_fs = FsState{}; }

std::int64_t fs_file_size(CStr path) {
  std::int32_t n = str_length(path);
  if (n == 0) return FS_SIZE_MISSING;
  // Looked up whole: a path cut at some limit would name another entry.
  std::u16string p(path, static_cast<std::size_t>(n));

  if (os_fs_is_drive(p.c_str(), n)) {
    if (n == 2) p += os_fs_separator();
    return fs_names_root(os_drive_type(p.c_str())) ? FS_SIZE_DIRECTORY : FS_SIZE_MISSING;
  }
  while (p.size() > 1 && os_fs_is_separator(p.back())) p.pop_back();

  OsFindEntry entry;
  std::uint32_t error = 0;
  if (os_find_entry(p.c_str(), &entry, &error))
    return (entry.attributes & OS_ATTR_DIRECTORY) ? FS_SIZE_DIRECTORY : entry.size;
  // A share root (two backslashes, server, share) has no entry that a search
  // can find, and a path that climbs with ".." may end at a root: ask for
  // the attributes, then whether the path is a root.
  bool share = p.size() >= 2 && p[0] == u'\\' && p[1] == u'\\';
  bool dots = p.size() >= 2 && p[0] == u'.' && p[1] == u'.';
  if (!share && !dots) return FS_SIZE_MISSING;
  std::uint32_t attributes = os_get_attributes(p.c_str());
  if (attributes != OS_ATTR_INVALID)
    return (attributes & OS_ATTR_DIRECTORY) ? FS_SIZE_DIRECTORY : FS_SIZE_MISSING;
  return fs_names_root(os_drive_type(p.c_str())) ? FS_SIZE_DIRECTORY : FS_SIZE_MISSING;
}

std::int32_t fs_delete_file(CStr path, std::int32_t flags) {
  if (!path) return 0;
  return ((flags & FS_DELETE_FORCE) ? os_delete_file_forced(path) : os_delete_file(path)) ? 1 : 0;
}

CStr fs_file_part(CStr path) {
  std::int32_t n = str_length(path);
  std::int32_t start = (n > 0 && path[0] == u'"') ? 1 : 0;
  for (std::int32_t i = 0; i < n; ++i)
    if (os_fs_is_separator(path[i])) start = i + 1;
  std::int32_t end = start;
  while (end < n && path[end] != u'"') ++end;
  return fs_result(path ? path + start : u"", end - start);
}

ObjectId fs_dir_open(ObjectId id, CStr path, CStr mask, bool* no_handle) {
  if (no_handle) *no_handle = false;
  if (!g_fs.table)
    g_fs.table = obj_table_create(static_cast<std::int32_t>(sizeof(DirEnumeration)), FS_TABLE_STEP, fs_dir_close);
  if (!g_fs.table) return 0;
  if (!path) path = u"";
  if (!mask || !*mask) mask = u"*.*";

  // The search pattern: path, a separator unless it is empty or ends in one, mask.
  std::int32_t plen = str_length(path);
  std::int32_t mlen = str_length(mask);
  char16_t sep = os_fs_separator();
  bool add_sep = plen > 0 && path[plen - 1] != sep;
  std::int32_t units = plen + (add_sep ? 1 : 0) + mlen;
  MainHeapBlock block((static_cast<std::size_t>(units) + 1) * sizeof(char16_t));
  auto* pattern = static_cast<char16_t*>(block.get());
  if (!pattern) return 0;
  std::memcpy(pattern, path, static_cast<std::size_t>(plen) * sizeof(char16_t));
  if (add_sep) pattern[plen] = sep;
  std::memcpy(pattern + plen + (add_sep ? 1 : 0), mask, static_cast<std::size_t>(mlen) * sizeof(char16_t));
  pattern[units] = 0;

  auto* e = static_cast<DirEnumeration*>(obj_create(g_fs.table, id));
  if (!e) return 0;
  ObjectId self = id == OBJ_ANY ? reinterpret_cast<ObjectId>(e) : id;
  std::uint32_t error = 0;
  e->handle = os_find_first(pattern, &e->current, &error);
  e->present = 1;
  if (e->handle != OS_NO_FIND) {
    e->first_delivered = 0;
  } else if (error == OS_ERROR_FILE_NOT_FOUND) {
    // The directory exists but nothing matches: an enumeration without entries.
    e->first_delivered = 1;
  } else {
    obj_free(g_fs.table, self);
    if (no_handle) *no_handle = error == OS_ERROR_TOO_MANY_OPEN_FILES;
    return 0;
  }
  return reinterpret_cast<ObjectId>(e);
}

std::int32_t fs_dir_next(ObjectId id) {
  DirEnumeration* e = fs_lookup(id);
  if (!e || e->handle == OS_NO_FIND) return 0;
  std::int32_t more = e->first_delivered ? (os_find_next(e->handle, &e->current) ? 1 : 0) : 1;
  e->first_delivered = 1;
  return more;
}

CStr fs_dir_entry_name(ObjectId id) {
  DirEnumeration* e = fs_lookup(id);
  if (!e) return fs_result(u"", 0);
  return fs_result(e->current.name, str_length(e->current.name));
}

std::int32_t fs_dir_entry_type(ObjectId id) {
  DirEnumeration* e = fs_lookup(id);
  if (!e) return 0;
  return (e->current.attributes & OS_ATTR_DIRECTORY) ? FS_ENTRY_DIRECTORY : FS_ENTRY_FILE;
}

std::int64_t fs_dir_entry_size(ObjectId id) {
  DirEnumeration* e = fs_lookup(id);
  return e ? e->current.size : -1;
}

std::int32_t fs_dir_entry_is_link(ObjectId id) {
  DirEnumeration* e = fs_lookup(id);
  return e && e->current.is_link ? 1 : 0;
}

void fs_dir_close(ObjectId id) {
  DirEnumeration* e = fs_lookup(id);
  if (!e) return;
  if (e->handle != OS_NO_FIND) os_find_close(e->handle);
  obj_free(g_fs.table, id);
}

void fs_dir_release_all() {
  if (g_fs.table) obj_free_all(g_fs.table);
}

char16_t fs_separator() { return os_fs_separator(); }

std::int32_t fs_is_separator(char16_t unit) { return os_fs_is_separator(unit) ? 1 : 0; }

std::int32_t fs_file_stamp(CStr path, FsFileStamp* stamp) {
  OsFileStamp os{};
  if (!path || !stamp || !os_file_stamp(path, &os)) return 0;
  *stamp = fs_stamp_of(os);
  return 1;
}

std::int32_t fs_file_identity(CStr path, FsFileIdentity* identity) {
  OsFileStamp os{};
  if (!path || !identity || !os_file_stamp(path, &os)) return 0;
  *identity = fs_identity_of(os.identity);
  return 1;
}

std::int32_t fs_same_file(CStr a, CStr b) {
  FsFileIdentity ia{}, ib{};
  return fs_file_identity(a, &ia) && fs_file_identity(b, &ib) && ia == ib ? 1 : 0;
}

namespace {
OsHeldEntry fs_os_entry(const FsHeldFile* held) {
  return OsHeldEntry{static_cast<OsFile>(held->file), held->dir, {held->identity.volume, held->identity.index}};
}
}  // namespace

std::int32_t fs_hold_file(CStr path, std::int32_t root_length, std::int32_t for_delete, FsHeldFile* held) {
  if (!held) return 0;
  *held = FsHeldFile{OS_NO_FILE, -1, {}};
  OsHeldEntry e;
  if (!path || !os_entry_open(path, root_length, for_delete != 0, &e)) return 0;
  *held = FsHeldFile{static_cast<std::intptr_t>(e.file), e.dir, fs_identity_of(e.identity)};
  return 1;
}

std::int32_t fs_held_read(FsHeldFile* held, void* buffer, std::int32_t bytes) {
  if (!held || held->file == OS_NO_FILE) return -1;
  return os_file_read(static_cast<OsFile>(held->file), buffer, bytes);
}

std::int32_t fs_delete_held(CStr path, std::int32_t root_length, FsHeldFile* held, std::int32_t flags) {
  if (!path || !held || held->file == OS_NO_FILE) return 0;
  OsHeldEntry e = fs_os_entry(held);
  const bool deleted = os_entry_delete(path, root_length, &e, (flags & FS_DELETE_FORCE) != 0);
  held->file = static_cast<std::intptr_t>(e.file);  // the system may have let the file go
  return deleted ? 1 : 0;
}

void fs_release_held(FsHeldFile* held) {
  if (!held) return;
  OsHeldEntry e = fs_os_entry(held);
  os_entry_close(&e);
  *held = FsHeldFile{OS_NO_FILE, -1, {}};
}

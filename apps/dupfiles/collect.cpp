// The file collector: a walk of the tree with a work list of the directories
// being listed, so that neither the stack nor the open listings grow with the
// tree's depth. Files are stored in the order a recursive walk stores them: a
// directory's files and subdirectories in the order its listing gives them,
// each subdirectory's whole subtree at its place among them.
#include "dupfiles/collect.h"

#include <new>
#include <string>
#include <vector>

#include "filesystem/fs.h"
#include "regex/rx.h"

std::int32_t collect_count = 0;
std::int32_t collect_capacity = 0;
std::int32_t collect_depth = 0;
ObjectId collect_filter = 0;
std::int32_t collect_growth_step = 2048;

namespace {

// Listings kept open at once: the directories nearest the top (often the
// largest) stay open while their subtrees are walked; below them a directory's
// remaining entries are read ahead and its listing let go before a
// subdirectory is entered.
constexpr std::size_t COLLECT_OPEN_MOST = 8;

// One entry as its listing gave it.
struct CollectEntry {
  std::u16string name;
  std::int32_t type;
  std::int32_t is_link;
  std::int64_t size;
};

// A directory being listed: the length of its path (with its trailing
// separator) in the walk's path, the entries read ahead and not yet taken,
// then the rest of its listing while it is open.
struct CollectLevel {
  std::size_t dir_length;
  ObjectId listing;         // 0 once let go
  CStr stored = nullptr;    // its path as the list holds it, once a file of it is stored
  std::vector<CollectEntry> ahead;
  std::size_t next = 0;     // the first entry of `ahead` not yet taken
  bool unread = false;      // the listing's current entry is not taken yet (read-ahead ran out of memory)
};

// The walk's work list: the directories from the top down to the one being
// listed, whose path `path` holds (each level's path is a prefix of it).
struct CollectWalk {
  std::vector<CollectLevel> levels;
  std::u16string path;
  CollectListener* listener = nullptr;
  CollectShortfall* shortfall = nullptr;

  ~CollectWalk() {
    for (CollectLevel& level : levels)
      if (level.listing != 0) fs_dir_close(level.listing);
  }
};

CollectEntry collect_current(ObjectId listing) {
  return {fs_dir_entry_name(listing), fs_dir_entry_type(listing), fs_dir_entry_is_link(listing),
          fs_dir_entry_size(listing)};
}

// The next entry of a level into *e; false when none is left.
bool collect_next(CollectLevel& level, CollectEntry* e) {
  if (level.next < level.ahead.size()) {
    *e = std::move(level.ahead[level.next++]);
    if (level.next == level.ahead.size()) {
      level.ahead.clear();
      level.next = 0;
    }
    return true;
  }
  if (level.listing == 0) return false;
  if (!level.unread && !fs_dir_next(level.listing)) return false;
  level.unread = false;
  *e = collect_current(level.listing);
  return true;
}

// Reads the rest of a level's listing ahead and lets the listing go. Where
// memory runs out, the listing stays open at the entry not yet read ahead.
void collect_read_ahead(CollectLevel& level) {
  if (level.listing == 0) return;
  try {
    while (level.unread || fs_dir_next(level.listing)) {
      level.unread = true;
      level.ahead.push_back(collect_current(level.listing));
      level.unread = false;
    }
  } catch (const std::bad_alloc&) {
    return;
  }
  fs_dir_close(level.listing);
  level.listing = 0;
}

// Keeps the open listings below their bound, the deepest let go first.
void collect_make_room(CollectWalk& walk) {
  std::size_t open = 0;
  for (const CollectLevel& level : walk.levels) open += level.listing != 0 ? 1 : 0;
  for (auto level = walk.levels.rbegin(); open >= COLLECT_OPEN_MOST && level != walk.levels.rend(); ++level) {
    if (level->listing == 0) continue;
    collect_read_ahead(*level);
    if (level->listing == 0) --open;
  }
}

// A directory not listed for want of a handle is told of, not skipped
// without a word as one the system refuses. Throws std::bad_alloc.
void collect_unopened(CollectShortfall* shortfall, const std::u16string& dir) {
  if (shortfall) shortfall->unopened.push_back(dir);
}

// Opens the listing of the directory `walk.path` names. One that cannot be
// opened while the walk holds listings is tried once more with all of them
// let go: the system may only have run short of descriptors.
ObjectId collect_open(CollectWalk& walk) {
  bool no_handle = false;
  ObjectId listing = fs_dir_open(OBJ_ANY, walk.path.c_str(), u"*.*", &no_handle);
  if (listing != 0) return listing;
  bool held = false;
  for (CollectLevel& level : walk.levels) {
    held = held || level.listing != 0;
    collect_read_ahead(level);
  }
  if (held) listing = fs_dir_open(OBJ_ANY, walk.path.c_str(), u"*.*", &no_handle);
  if (listing == 0 && no_handle) collect_unopened(walk.shortfall, walk.path);
  return listing;
}

void collect_store(CollectWalk& walk, const CollectEntry& e, FileList* target) {
  CollectLevel& level = walk.levels.back();
  if (!level.stored) level.stored = target->add_dir(walk.path.data(), level.dir_length);
  const ListedFile* file = target->add_file(level.stored, e.name.data(), e.name.size());
  if (collect_count + 1 >= collect_capacity) {
    target->redim(collect_capacity + collect_growth_step + 1);
    collect_capacity += collect_growth_step;
  }
  ++collect_count;
  (*target)[collect_count] = file;
  if (walk.listener) walk.listener->found(file, e.size);
}

bool collect_is_dots(const std::u16string& name) { return name == u"." || name == u".."; }

// Walks the tree from the work list's levels down; collect_depth is the
// number of levels throughout.
void collect_walk(CollectWalk& walk, FileList* target, std::int32_t depth_limit) {
  const char16_t sep = fs_separator();
  CollectEntry e;
  while (!walk.levels.empty()) {
    if (!collect_next(walk.levels.back(), &e)) {
      if (walk.levels.back().listing != 0) fs_dir_close(walk.levels.back().listing);
      walk.levels.pop_back();
      --collect_depth;
      if (!walk.levels.empty()) walk.path.resize(walk.levels.back().dir_length);
      continue;
    }
    // A link to a file is left alone as a directory link is: it is not
    // read, counted or deleted (its target may lie outside the tree, or be
    // a file of the tree under another name).
    if (e.type == FS_ENTRY_FILE && e.is_link) continue;
    if (e.type == FS_ENTRY_FILE && rx_match(collect_filter, e.name.c_str())) {
      collect_store(walk, e, target);
    } else if (e.type == FS_ENTRY_DIRECTORY && !collect_is_dots(e.name) &&
               (collect_depth <= depth_limit || depth_limit == -1) && !e.is_link) {
      walk.path += e.name;
      walk.path += sep;
      ObjectId listing = collect_open(walk);
      if (listing == 0) {
        // Skipped (told of where no handle was left); its siblings are still listed.
        walk.path.resize(walk.levels.back().dir_length);
        continue;
      }
      collect_make_room(walk);
      try {
        walk.levels.push_back(CollectLevel{walk.path.size(), listing});
      } catch (const std::bad_alloc&) {
        fs_dir_close(listing);
        throw;
      }
      ++collect_depth;
    }
  }
}

}  // namespace

std::int32_t collect_files(CStr path, FileList* target, CStr pattern, std::int32_t depth_limit,
                           CollectListener* listener, CollectShortfall* shortfall) {
  StrVar dir(path ? path : u"");
  StrVar filter(pattern);
  if (collect_depth == 0) collect_filter = rx_create(OBJ_ANY, filter.get());

  // The system's own separator throughout: "/" becomes it where "/" is not it already.
  const char16_t sep[2] = {fs_separator(), 0};
  str_replace(*dir.addr(), u"/", sep, STR_IN_PLACE);
  if (!str_equal(str_right(dir.get(), 1), sep)) {
    StrBuild b(dir.get());
    b << sep;
    dir = b;
  }

  bool no_handle = false;
  ObjectId listing = fs_dir_open(OBJ_ANY, dir.get(), u"*.*", &no_handle);
  if (listing == 0) {
    try {
      if (no_handle) collect_unopened(shortfall, dir.get());
    } catch (const std::bad_alloc&) {
      shortfall->no_memory = true;  // only a shortfall given could not grow
    }
    return 0;
  }
  const std::int32_t outer_depth = collect_depth;
  ++collect_depth;
  try {
    CollectWalk walk;
    walk.listener = listener;
    walk.shortfall = shortfall;
    walk.path = dir.get();
    walk.levels.push_back(CollectLevel{walk.path.size(), listing});
    listing = 0;
    collect_walk(walk, target, depth_limit);
  } catch (const std::bad_alloc&) {
    // No room for the work list or a file: what was stored stays; the
    // walk's listings are closed as it goes.
    if (listing != 0) fs_dir_close(listing);
    if (shortfall) shortfall->no_memory = true;
  }
  collect_depth = outer_depth;

  if (collect_count != 0 && collect_depth == 0) {
    rx_free(collect_filter);
    target->redim(collect_count + 1);
    return collect_count;
  }
  return 0;
}

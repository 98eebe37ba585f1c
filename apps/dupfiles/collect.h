// The file collector: full paths of every file below a directory.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/obj.h"
#include "core/str.h"
#include "dupfiles/file_list.h"

// The collector's running state, process-wide; zero at start, never reset.
extern std::int32_t collect_count;
extern std::int32_t collect_capacity;
extern std::int32_t collect_depth;
extern ObjectId collect_filter;
extern std::int32_t collect_growth_step;

// Told of every file as it is stored (its entry in the list and its size as
// the listing gave it): the look-ahead starts on the files before the
// collection is over, and groups them without measuring them again.
class CollectListener {
 public:
  virtual void found(const ListedFile* file, std::int64_t size) = 0;

 protected:
  ~CollectListener() = default;
};

// What a walk could not do for want of the system's resources.
struct CollectShortfall {
  bool no_memory = false;  // memory ran out: the walk ended there
  // Directories not listed because no handle was left to open them with,
  // even once the walk had let its own listings go (a directory that cannot
  // be listed for any other reason is skipped without a word).
  std::vector<std::u16string> unopened;
};

// Appends every file below `path` whose name matches `pattern` (a regular
// expression; empty matches all) to *target at indexes 1, 2, ...: its
// directory's path (with a trailing separator) and its name as the listing
// gives it, which make its full path. Subdirectories are entered while their parent's level is within
// `depth_limit` (-1: unlimited); directory links are never entered and links
// to files never stored, so no file is reached twice or outside the tree
// through them. Any depth is walked with a bounded stack and a bounded
// number of open listings; files are stored in the order in which a
// recursive walk stores them. Returns the number of paths stored so far
// (0 when none, or the directory cannot be listed); when memory runs out,
// the walk ends there. `listener`, when given, is told of each file stored;
// `shortfall`, when given, of what the walk could not do.
std::int32_t collect_files(CStr path, FileList* target, CStr pattern, std::int32_t depth_limit,
                           CollectListener* listener = nullptr, CollectShortfall* shortfall = nullptr);

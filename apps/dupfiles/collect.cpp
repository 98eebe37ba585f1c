// The recursive file collector.
#include "dupfiles/collect.h"

#include "core/arr.h"
#include "filesystem/fs.h"
#include "regex/rx.h"

std::int32_t collect_count = 0;
std::int32_t collect_capacity = 0;
std::int32_t collect_depth = 0;
ObjectId collect_filter = 0;
std::int32_t collect_growth_step = 2048;

std::int32_t collect_files(CStr path, Str** target, CStr pattern, std::int32_t depth_limit,
                           CollectListener* listener) {
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

  ObjectId listing = fs_dir_open(OBJ_ANY, dir.get(), u"*.*");
  if (listing == 0) return 0;
  ++collect_depth;
  StrVar name;
  while (fs_dir_next(listing)) {
    name = fs_dir_entry_name(listing);
    std::int32_t type = fs_dir_entry_type(listing);
    // A link to a file is left alone as a directory link is: it is not
    // read, counted or deleted (its target may lie outside the tree, or be
    // a file of the tree under another name).
    if (type == FS_ENTRY_FILE && fs_dir_entry_is_link(listing)) continue;
    if (type == FS_ENTRY_FILE && rx_match(collect_filter, name.get())) {
      ++collect_count;
      if (collect_count >= collect_capacity) {
        collect_capacity += collect_growth_step;
        arr_redim_t(collect_capacity + 1, target);
      }
      StrBuild full(dir.get());
      full << name.get();
      full.assign_to(&(*target)[collect_count]);
      if (listener) listener->found((*target)[collect_count], fs_dir_entry_size(listing));
    } else if (type == FS_ENTRY_DIRECTORY && !str_equal(name.get(), u".") && !str_equal(name.get(), u"..") &&
               (collect_depth <= depth_limit || depth_limit == -1) && !fs_dir_entry_is_link(listing)) {
      StrVar subdir;
      {
        StrBuild sub(dir.get());
        sub << name.get();
        subdir = sub;
      }
      collect_files(subdir.get(), target, filter.get(), depth_limit, listener);
    }
  }
  fs_dir_close(listing);
  --collect_depth;

  if (collect_count != 0 && collect_depth == 0) {
    rx_free(collect_filter);
    arr_redim_t(collect_count + 1, target);
    return collect_count;
  }
  return 0;
}

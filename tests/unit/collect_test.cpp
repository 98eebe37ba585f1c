// The file collector: the order a recursive walk gives, the array's growth,
// the depth limit, and a walk whose stack does not grow with the tree.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "dupfiles/collect.h"
#include "filesystem/fs.h"
#include "platform/os_seam.h"
#include "regex/rx.h"

namespace stdfs = std::filesystem;

namespace {

// The stored paths, in order.
std::vector<std::u16string> Collect(const std::u16string& root, std::int32_t depth_limit, std::int32_t* returned,
                                    CollectListener* listener = nullptr) {
  collect_count = collect_capacity = 0;
  FileList list;
  *returned = collect_files(root.c_str(), &list, u"", depth_limit, listener);
  std::vector<std::u16string> paths;
  for (std::int32_t i = 1; i <= list.size(); ++i) paths.push_back(list[i] ? listed_path(list[i]) : u"");
  return paths;
}

// The order of a recursive walk over the same listings: each subdirectory's
// files where the subdirectory stands in its parent's listing.
void Recurse(const std::u16string& dir, std::vector<std::u16string>* out) {
  ObjectId listing = fs_dir_open(OBJ_ANY, dir.c_str(), u"*.*");
  ASSERT_NE(listing, 0);
  while (fs_dir_next(listing)) {
    std::u16string path = dir;
    path += fs_dir_entry_name(listing);
    std::u16string name = stdfs::path(path).filename().u16string();
    if (fs_dir_entry_is_link(listing)) continue;
    if (fs_dir_entry_type(listing) == FS_ENTRY_FILE) out->push_back(path);
    else if (name != u"." && name != u"..") Recurse(path += fs_separator(), out);
  }
  fs_dir_close(listing);
}

std::string Name(const char* prefix, int k) {
  std::string name = prefix;
  name += std::to_string(k);
  return name;
}

class Collector : public testing::Test {
 protected:
  void SetUp() override {
    fs_init();
    rx_init();
    root_ = stdfs::temp_directory_path() /
            ("orlethe_collect_" + std::to_string(testing::UnitTest::GetInstance()->random_seed()) + "_" +
             testing::UnitTest::GetInstance()->current_test_info()->name());
    stdfs::remove_all(root_);
    stdfs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ec;
    stdfs::remove_all(root_, ec);
  }
  std::u16string Root() const {
    std::u16string r = root_.u16string();
    r += fs_separator();
    return r;
  }
  static void Touch(const stdfs::path& p) { std::ofstream(p, std::ios::binary) << "x"; }
  stdfs::path root_;
};

// Directories deeper than the listings the walk keeps open, with files before,
// between and after their subdirectories in every listing.
TEST_F(Collector, StoresFilesInTheOrderOfARecursiveWalk) {
  stdfs::path dir = root_;
  for (int level = 0; level < 14; ++level) {
    for (int k = 0; k < 5; ++k) Touch(dir / Name("f", k));
    for (int k = 0; k < 3; ++k) {
      stdfs::create_directory(dir / Name("s", k));
      Touch(dir / Name("s", k) / "leaf");
    }
    dir /= "deeper";
    stdfs::create_directory(dir);
  }
  Touch(dir / "bottom");
  std::vector<std::u16string> expected;
  Recurse(Root(), &expected);
  ASSERT_EQ(expected.size(), 14u * 8u + 1u);

  std::int32_t returned = 0;
  EXPECT_EQ(Collect(Root(), -1, &returned), expected);
  EXPECT_EQ(returned, static_cast<std::int32_t>(expected.size()));
  EXPECT_EQ(collect_depth, 0);
}

// A path with "/" and a trailing separator gives single separators; the
// array ends at the last path; a depth limit stops the walk at its level.
TEST_F(Collector, PathFormsGrowthAndDepthLimit) {
  for (int k = 0; k < 2048; ++k) Touch(root_ / Name("f", k));
  stdfs::create_directories(root_ / "a" / "b");
  Touch(root_ / "a" / "in_a");
  Touch(root_ / "a" / "b" / "in_b");
  struct Case {
    std::u16string path;
    std::int32_t depth_limit;
    std::int32_t files;
  };
  std::u16string slashed = root_.generic_u16string();
  const Case cases[] = {{slashed, -1, 2050}, {slashed + u"/", 0, 2048}, {Root(), 1, 2049}};
  for (const Case& c : cases) {
    std::int32_t returned = 0;
    std::vector<std::u16string> paths = Collect(c.path, c.depth_limit, &returned);
    EXPECT_EQ(returned, c.files);
    ASSERT_EQ(paths.size(), static_cast<std::size_t>(c.files));
    for (const std::u16string& p : paths) {
      EXPECT_EQ(p.rfind(Root(), 0), 0u) << stdfs::path(p).string();
      EXPECT_EQ(p.find(std::u16string(2, fs_separator())), std::u16string::npos);
    }
  }
}

// The listener is called at the same stack depth for a file at the top and one
// many directories down: the walk takes no stack per level.
struct NoteStack final : CollectListener {
  std::uintptr_t lowest = UINTPTR_MAX, highest = 0;
  void found(const ListedFile*, std::int64_t) override {
    volatile char here = 0;
    auto at = reinterpret_cast<std::uintptr_t>(&here);
    if (at < lowest) lowest = at;
    if (at > highest) highest = at;
  }
};

TEST_F(Collector, StackDoesNotGrowWithDepth) {
  stdfs::path dir = root_;
  Touch(dir / "top");
  for (int level = 0; level < 60; ++level) dir /= "d";
  stdfs::create_directories(dir);
  Touch(dir / "bottom");
  NoteStack stack;
  std::int32_t returned = 0;
  Collect(Root(), -1, &returned, &stack);
  EXPECT_EQ(returned, 2);
  EXPECT_LT(stack.highest - stack.lowest, 256u);
}

// A directory the system refuses is skipped without a word; one that could
// not be opened for want of a handle is tried again once the walk let its
// listings go, and told of where that fails as well.
int g_once_calls = 0;

OsFind FailSomeListings(const char16_t* pattern, OsFindEntry* entry, std::uint32_t* error) {
  const std::u16string_view p(pattern);
  if (p.find(u"deny_dir") != p.npos) {
    *error = OS_ERROR_ACCESS_DENIED;
    return OS_NO_FIND;
  }
  if (p.find(u"full_dir") != p.npos || (p.find(u"once_dir") != p.npos && g_once_calls++ == 0)) {
    *error = OS_ERROR_TOO_MANY_OPEN_FILES;
    return OS_NO_FIND;
  }
  return os_system_calls().find_first(pattern, entry, error);
}

TEST_F(Collector, DirectoriesThatCannotBeOpened) {
  // once_dir lies in a directory of its own, whose listing is still held
  // when it is met, whatever order the listings give.
  for (const char* d : {"a", "deny_dir", "full_dir", "p/once_dir", "z"}) {
    stdfs::create_directories(root_ / d);
    Touch(root_ / d / "f");
  }
  g_once_calls = 0;
  os_calls().find_first = FailSomeListings;
  collect_count = collect_capacity = 0;
  FileList list;
  CollectShortfall shortfall;
  const std::int32_t returned = collect_files(Root().c_str(), &list, u"", -1, nullptr, &shortfall);
  os_calls_reset();
  std::vector<std::u16string> paths;
  for (std::int32_t i = 1; i <= returned; ++i) paths.push_back(listed_path(list[i]));
  std::sort(paths.begin(), paths.end());
  const std::u16string sep(1, fs_separator());
  const std::vector<std::u16string> listed = {Root() + u"a" + sep + u"f",
                                              Root() + u"p" + sep + u"once_dir" + sep + u"f",
                                              Root() + u"z" + sep + u"f"};
  EXPECT_EQ(paths, listed);
  EXPECT_EQ(shortfall.unopened, std::vector<std::u16string>{Root() + u"full_dir" + sep});
  EXPECT_FALSE(shortfall.no_memory);
}

}  // namespace

// Vexolan's scan with a replaced fingerprint step: files that share a
// fingerprint but not their contents are never deleted.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/tree.h"
#include "console/con.h"
#include "core/arr.h"
#include "dupfiles/collect.h"
#include "dupfiles/vexolan.h"
#include "filesystem/fs.h"
#include "regex/rx.h"

namespace stdfs = std::filesystem;

namespace {

stdfs::path g_dir;

void Write(const stdfs::path& p, const std::string& data) {
  std::ofstream(p, std::ios::binary) << data;
}

void ResetScan() {
  collect_count = collect_capacity = 0;
  arr_dim_t<Str>(1, ELEM_STRING, STRING_LAYOUT, &file_list);
  tree_create(512, 2048);
  files_passed = duplicates_removed = delete_failures = 0;
}

CStr SameForAll(CStr) { return u"0123456789abcdef0123456789abcdef"; }

// Removes the first file once the second is fingerprinted, so that the
// confirmation cannot read the kept file.
CStr RemovesTheKeptFile(CStr path) {
  if (std::u16string(path).find(u"b.txt") != std::u16string::npos) stdfs::remove(g_dir / "a.txt");
  return SameForAll(path);
}

class VexolanScan : public testing::Test {
 protected:
  void SetUp() override {
    con_open(nullptr);
    fs_init();
    rx_init();
    g_dir = stdfs::temp_directory_path() / ("vexolan_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    stdfs::remove_all(g_dir);
    stdfs::create_directories(g_dir);
    ResetScan();
  }
  void TearDown() override {
    vexolan_set_hash_fn(nullptr);
    stdfs::remove_all(g_dir);
  }
};

}  // namespace

TEST_F(VexolanScan, SharedFingerprintWithDifferentContentsKeepsBoth) {
  Write(g_dir / "a.txt", "one");
  Write(g_dir / "b.txt", "two");
  Write(g_dir / "c.txt", "one");
  Write(g_dir / "d.txt", "two");
  vexolan_set_hash_fn(SameForAll);
  vexolan_scan(g_dir.u16string().c_str());
  EXPECT_EQ(files_passed, 4);
  EXPECT_EQ(duplicates_removed, 2);  // c equals a, d equals the kept b
  EXPECT_EQ(delete_failures, 0);
  EXPECT_TRUE(stdfs::exists(g_dir / "a.txt"));
  EXPECT_TRUE(stdfs::exists(g_dir / "b.txt"));
  EXPECT_FALSE(stdfs::exists(g_dir / "c.txt"));
  EXPECT_FALSE(stdfs::exists(g_dir / "d.txt"));
}

TEST_F(VexolanScan, AnUnconfirmedDuplicateCountsAsAFailedDeletion) {
  Write(g_dir / "a.txt", "one");
  Write(g_dir / "b.txt", "one");
  vexolan_set_hash_fn(RemovesTheKeptFile);
  vexolan_scan(g_dir.u16string().c_str());
  EXPECT_EQ(files_passed, 2);
  EXPECT_EQ(duplicates_removed, 0);
  EXPECT_EQ(delete_failures, 1);
  EXPECT_TRUE(stdfs::exists(g_dir / "b.txt"));
}

TEST_F(VexolanScan, RealFingerprintsDeleteTheLaterCopies) {
  stdfs::create_directories(g_dir / "a");
  stdfs::create_directories(g_dir / "B");
  Write(g_dir / "a" / "x.txt", "same");
  Write(g_dir / "B" / "x.txt", "same");
  Write(g_dir / "B" / "y.txt", "other");
  vexolan_scan(g_dir.u16string().c_str());
  EXPECT_EQ(file_count, 3);
  EXPECT_EQ(duplicates_removed, 1);
  EXPECT_TRUE(stdfs::exists(g_dir / "a" / "x.txt"));
  EXPECT_FALSE(stdfs::exists(g_dir / "B" / "x.txt"));
  EXPECT_TRUE(stdfs::exists(g_dir / "B" / "y.txt"));
}

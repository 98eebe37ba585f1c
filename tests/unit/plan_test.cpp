// Vexolan's look-ahead: equal contents get equal keys, different contents
// different ones, and one size and first block with different contents
// falls back to MD5 texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/arr.h"
#include "dupfiles/plan.h"

namespace stdfs = std::filesystem;

namespace {
void Write(const stdfs::path& p, const std::string& data) { std::ofstream(p, std::ios::binary) << data; }

// Hands the list over as the collector does, file by file with its listed
// size; with `pause`, the look-ahead has time to read every file before the
// list is complete (then files of one size are compared on disk, not in memory).
bool PlanList(Str* list, std::int32_t count, const std::vector<std::int64_t>& sizes, bool pause = false) {
  plan_begin();
  for (std::int32_t i = 1; i <= count; ++i) plan_add(list[i], sizes[static_cast<std::size_t>(i - 1)]);
  if (pause) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return plan_list(list, count);
}
}  // namespace

class PlanKeys : public ::testing::TestWithParam<bool> {};

TEST_P(PlanKeys, FollowContents) {
  stdfs::path dir = stdfs::temp_directory_path() / (GetParam() ? "vexolan_plan_early" : "vexolan_plan_test");
  stdfs::remove_all(dir);
  stdfs::create_directories(dir);
  std::string big(40000, 'x');  // beyond the block that is read first
  std::string near = big;
  near[39000] = 'y';  // same size and first block, different contents
  const std::vector<std::pair<std::string, std::string>> files = {
      {"a", "same"}, {"b", "same"}, {"c", "diff"}, {"d", big}, {"e", big},
      {"f", near},   {"g", "only one of this size"}, {"h", ""}, {"i", ""}, {"j", "same!"}};
  Str* list = nullptr;
  arr_dim_t<Str>(static_cast<std::int32_t>(files.size()) + 2, ELEM_STRING, STRING_LAYOUT, &list);
  std::vector<std::int64_t> sizes;
  for (std::size_t k = 0; k < files.size(); ++k) {
    Write(dir / files[k].first, files[k].second);
    str_assign(&list[k + 1], (dir / files[k].first).u16string().c_str());
    sizes.push_back(static_cast<std::int64_t>(files[k].second.size()));
  }
  sizes.back() = 4;  // "j" grew after its listing, alongside a, b and c
  const std::int32_t missing = static_cast<std::int32_t>(files.size()) + 1;
  str_assign(&list[missing], (dir / "missing").u16string().c_str());
  sizes.push_back(4);  // listed, then gone

  ASSERT_TRUE(PlanList(list, missing, sizes, GetParam()));
  plan_order();
  std::vector<FilePlan> p(1);
  for (std::int32_t i = 1; i <= missing; ++i) p.push_back(*plan_wait(i));
  plan_stop();

  for (int i = 1; i < missing; ++i) EXPECT_TRUE(p[static_cast<std::size_t>(i)].readable) << i;
  EXPECT_LT(p[static_cast<std::size_t>(missing)].size, 0);
  EXPECT_EQ(p[1].key, p[2].key);
  EXPECT_NE(p[1].key, p[3].key);
  EXPECT_EQ(p[2].equal_to, 1);
  EXPECT_EQ(p[4].key, p[5].key);
  EXPECT_EQ(p[5].equal_to, 4);
  EXPECT_NE(p[4].key, p[6].key);
  EXPECT_EQ(p[6].key.size(), 32u);  // MD5 texts tell the two classes apart
  EXPECT_EQ(p[6].equal_to, 0);
  EXPECT_EQ(p[8].key, p[9].key);
  EXPECT_EQ(p[4].size, 40000);
  EXPECT_NE(p[10].key, p[1].key);  // changed since listed: shares nothing
  EXPECT_EQ(p[10].equal_to, 0);
  for (int i : {1, 3, 4, 7, 8})
    for (int j : {1, 3, 4, 7, 8})
      if (i != j) {
        EXPECT_NE(p[static_cast<std::size_t>(i)].key, p[static_cast<std::size_t>(j)].key) << i << " " << j;
      }
  arr_free(list);
  stdfs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(ReadAtOnceOrEarly, PlanKeys, ::testing::Bool());

// Many different contents behind one size and first block: past a few
// classes the rest are told apart by MD5, and a copy still gets its
// original's key.
TEST(Plan, ManyClassesOfOneSizeAndHead) {
  stdfs::path dir = stdfs::temp_directory_path() / "vexolan_plan_many";
  stdfs::remove_all(dir);
  stdfs::create_directories(dir);
  const int n = 12;
  Str* list = nullptr;
  arr_dim_t<Str>(n + 2, ELEM_STRING, STRING_LAYOUT, &list);
  const std::vector<std::int64_t> sizes(n + 1, 40000);
  for (int k = 0; k <= n; ++k) {
    std::string data(40000, 'h');
    data[39000] = static_cast<char>('a' + (k == n ? n - 1 : k));  // the last one copies file n - 1
    std::string name = std::to_string(100 + k);
    auto path = dir / name;
    Write(path, data);
    str_assign(&list[k + 1], path.u16string().c_str());
  }
  ASSERT_TRUE(PlanList(list, n + 1, sizes));
  plan_order();
  std::vector<std::u16string> keys(1);
  for (int i = 1; i <= n + 1; ++i) keys.push_back(plan_wait(i)->key);
  plan_stop();
  EXPECT_EQ(keys[static_cast<std::size_t>(n)], keys[static_cast<std::size_t>(n + 1)]);
  for (int i = 1; i <= n; ++i)
    for (int j = i + 1; j <= n; ++j) EXPECT_NE(keys[static_cast<std::size_t>(i)], keys[static_cast<std::size_t>(j)]);
  arr_free(list);
  stdfs::remove_all(dir);
}

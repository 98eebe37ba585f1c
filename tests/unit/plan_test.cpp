// Vexolan's look-ahead: equal contents get equal keys, different contents
// different ones; files of one size and first block are read side by side
// and split into classes where they differ, and a file not read to its end
// or changed while read shares its key with none.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/arr.h"
#include "dupfiles/plan.h"
#include "platform/os_seam.h"

namespace stdfs = std::filesystem;

namespace {
void Write(const stdfs::path& p, const std::string& data) { std::ofstream(p, std::ios::binary) << data; }

// A directory of this run's own, so that two runs at once do not meet.
stdfs::path TestDir(const std::string& name) {
  static const std::string run = std::to_string(std::random_device{}());
  return stdfs::temp_directory_path() / (name + "_" + run);
}

// Hands the list over as the collector does, file by file with its listed
// size; with `pause`, the look-ahead has time to read every file before the
// list is complete (then files of one size are compared on disk, not in memory).
bool PlanList(LookAhead& ahead, const FileList& list, std::int32_t count, const std::vector<std::int64_t>& sizes,
              bool pause = false) {
  for (std::int32_t i = 1; i <= count; ++i) ahead.found(list[i], sizes[static_cast<std::size_t>(i - 1)]);
  if (pause) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return ahead.take_list(list.data(), count);
}

// Stores file path `p` at index i of a list, as its directory and name.
void Store(FileList& list, std::int32_t i, const stdfs::path& p) {
  std::u16string dir = p.parent_path().u16string();
  dir += static_cast<char16_t>(stdfs::path::preferred_separator);
  std::u16string name = p.filename().u16string();
  if (i > list.size()) list.redim(i + 1);
  list[i] = list.add_file(list.add_dir(dir.c_str(), dir.size()), name.c_str(), name.size());
}
}  // namespace

class PlanKeys : public ::testing::TestWithParam<bool> {};

TEST_P(PlanKeys, FollowContents) {
  stdfs::path dir = TestDir(GetParam() ? "vexolan_plan_early" : "vexolan_plan_test");
  stdfs::remove_all(dir);
  stdfs::create_directories(dir);
  std::string big(40000, 'x');  // beyond the block that is read first
  std::string near = big;
  near[39000] = 'y';  // same size and first block, different contents
  const std::vector<std::pair<std::string, std::string>> files = {
      {"a", "same"}, {"b", "same"}, {"c", "diff"}, {"d", big}, {"e", big},
      {"f", near},   {"g", "only one of this size"}, {"h", ""}, {"i", ""}, {"j", "same!"}};
  FileList list;
  std::vector<std::int64_t> sizes;
  for (std::size_t k = 0; k < files.size(); ++k) {
    Write(dir / files[k].first, files[k].second);
    Store(list, static_cast<std::int32_t>(k) + 1, dir / files[k].first);
    sizes.push_back(static_cast<std::int64_t>(files[k].second.size()));
  }
  sizes.back() = 4;  // "j" grew after its listing, alongside a, b and c
  const std::int32_t missing = static_cast<std::int32_t>(files.size()) + 1;
  Store(list, missing, dir / "missing");
  sizes.push_back(4);  // listed, then gone

  std::vector<FilePlan> p(1);
  {
    LookAhead ahead;
    ASSERT_TRUE(PlanList(ahead, list, missing, sizes, GetParam()));
    ahead.order();
    for (std::int32_t i = 1; i <= missing; ++i) p.push_back(*ahead.wait(i));
  }

  for (int i = 1; i < missing; ++i) EXPECT_TRUE(p[static_cast<std::size_t>(i)].readable) << i;
  EXPECT_FALSE(p[static_cast<std::size_t>(missing)].readable);
  EXPECT_EQ(p[1].key, p[2].key);
  EXPECT_NE(p[1].key, p[3].key);
  EXPECT_EQ(p[2].equal_to, 1);
  EXPECT_EQ(p[4].key, p[5].key);
  EXPECT_EQ(p[5].equal_to, 4);
  EXPECT_NE(p[4].key, p[6].key);
  EXPECT_EQ(p[6].equal_to, 0);
  EXPECT_EQ(p[8].key, p[9].key);
  EXPECT_NE(p[10].key, p[1].key);  // changed since listed: shares nothing
  EXPECT_EQ(p[10].equal_to, 0);
  for (int i : {1, 3, 4, 7, 8})
    for (int j : {1, 3, 4, 7, 8})
      if (i != j) {
        EXPECT_NE(p[static_cast<std::size_t>(i)].key, p[static_cast<std::size_t>(j)].key) << i << " " << j;
      }
  stdfs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(ReadAtOnceOrEarly, PlanKeys, ::testing::Bool());

// Many different contents behind one size and three first blocks (read by
// both look-ahead threads): each gets a key of its own, and a copy still
// gets its original's key.
TEST(Plan, ManyClassesOfOneSizeAndHead) {
  stdfs::path dir = TestDir("vexolan_plan_many");
  stdfs::remove_all(dir);
  stdfs::create_directories(dir);
  const int n = 12;
  FileList list;
  const std::vector<std::int64_t> sizes(n + 1, 40000);
  for (int k = 0; k <= n; ++k) {
    std::string data(40000, 'h');
    const int like = k == n ? n - 1 : k;  // the last one copies file n - 1
    data[0] = static_cast<char>('A' + like % 3);
    data[39000] = static_cast<char>('a' + like);
    std::string name = std::to_string(100 + k);
    auto path = dir / name;
    Write(path, data);
    Store(list, k + 1, path);
  }
  std::vector<std::int32_t> keys(1);
  {
    LookAhead ahead;
    ASSERT_TRUE(PlanList(ahead, list, n + 1, sizes));
    ahead.order();
    for (int i = 1; i <= n + 1; ++i) keys.push_back(ahead.wait(i)->key);
  }
  EXPECT_EQ(keys[static_cast<std::size_t>(n)], keys[static_cast<std::size_t>(n + 1)]);
  for (int i = 1; i <= n; ++i)
    for (int j = i + 1; j <= n; ++j) EXPECT_NE(keys[static_cast<std::size_t>(i)], keys[static_cast<std::size_t>(j)]);
  stdfs::remove_all(dir);
}

namespace {

// What befalls one file while the look-ahead reads it past its first MiB.
enum class Fault { None, ReadFails, Grows };

std::mutex g_fault_lock;
std::u16string g_fault_path;
Fault g_fault = Fault::None;
std::map<OsFile, std::int64_t> g_fault_read;  // the faulty file's open handles: bytes read through each
bool g_grown = false;

OsFile OpenFaulty(const char16_t* path, bool share) {
  OsFile f = os_system_calls().file_open_read(path, share);
  std::lock_guard g(g_fault_lock);
  if (f != OS_NO_FILE && path == g_fault_path) g_fault_read[f] = 0;
  return f;
}
bool CloseFaulty(OsFile f) {
  {
    std::lock_guard g(g_fault_lock);
    g_fault_read.erase(f);
  }
  return os_system_calls().file_close(f);
}
std::int32_t ReadFaulty(OsFile f, void* buffer, std::int32_t bytes) {
  {
    std::lock_guard g(g_fault_lock);
    auto it = g_fault_read.find(f);
    if (it != g_fault_read.end() && (it->second += bytes) > (1 << 20)) {
      if (g_fault == Fault::ReadFails) return -1;
      if (!g_grown) {  // Windows refuses the writer while the file is read
        std::ofstream out(stdfs::path(g_fault_path), std::ios::binary | std::ios::app);
        g_grown = static_cast<bool>(out << 'x');
      }
    }
  }
  return os_system_calls().file_read(f, buffer, bytes);
}

struct ClassCase {
  const char* what;
  std::int64_t size;
  std::vector<std::int64_t> changed_at;  // each file: the offset of its one changed byte, or -1
  std::vector<int> classes;              // each file: its class; -1 a key of its own
  Fault fault = Fault::None;             // befalls file 2
};

}  // namespace

// Files of one size and first block, read side by side: each class of equal
// contents shares one key, and each file's comparison with the first of its
// class is recorded.
TEST(Plan, ClassesOfOneSizeAndHead) {
  const std::int64_t mib = 1 << 20;
  const std::vector<ClassCase> cases = {
      {"split at a piece boundary", 3 * mib, {-1, mib - 1, mib, -1, mib}, {0, 1, 2, 0, 2}},
      {"split at the last byte", 2 * mib + 3, {2 * mib + 2, -1, -1, 2 * mib + 2}, {0, 1, 1, 0}},
      {"more than eight classes",
       3 * mib / 2,
       {-1, 20000, 30000, 40000, 1100000, 1200000, 1300000, 1400000, 1500000, 600000, 700000, -1, 1100000},
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 4}},
      {"more files than are read at once", 40000, std::vector<std::int64_t>(130), std::vector<int>(130)},
      {"a read fails part-way", 3 * mib, {-1, -1, -1}, {0, -1, 0}, Fault::ReadFails},
      {"a file grows while read", 3 * mib, {-1, -1, -1}, {0, -1, 0}, Fault::Grows},
  };
  stdfs::path dir = TestDir("vexolan_plan_classes");
  for (ClassCase c : cases) {
    if (c.classes.size() == 130)
      for (std::size_t k = 0; k < 130; ++k) {
        c.classes[k] = static_cast<int>(k % 3);  // classes spread over the slices
        c.changed_at[k] = k % 3 == 0 ? -1 : 39000 + static_cast<std::int64_t>(k % 3);
      }
    stdfs::remove_all(dir);
    stdfs::create_directories(dir);
    const std::int32_t n = static_cast<std::int32_t>(c.classes.size());
    FileList list;
    std::string base(static_cast<std::size_t>(c.size), '\0');
    for (std::size_t k = 0; k < base.size(); ++k) base[k] = static_cast<char>((k * 7919) >> 5);
    for (std::int32_t i = 1; i <= n; ++i) {
      std::string data = base;
      std::int64_t at = c.changed_at[static_cast<std::size_t>(i - 1)];
      if (at >= 0) data[static_cast<std::size_t>(at)] ^= 0x55;
      auto path = dir / std::to_string(1000 + i);
      Write(path, data);
      Store(list, i, path);
    }
    g_fault_path = listed_path(list[2]);
    g_fault = c.fault;
    g_grown = false;
    if (c.fault != Fault::None) {
      os_calls().file_open_read = OpenFaulty;
      os_calls().file_close = CloseFaulty;
      os_calls().file_read = ReadFaulty;
    }
    std::vector<FilePlan> p(1);
    {
      LookAhead ahead;
      ASSERT_TRUE(PlanList(ahead, list, n, std::vector<std::int64_t>(static_cast<std::size_t>(n), c.size))) << c.what;
      ahead.order();
      for (std::int32_t i = 1; i <= n; ++i) p.push_back(*ahead.wait(i));
    }
    os_calls_reset();
    if (c.fault == Fault::Grows && !g_grown) c.classes[1] = 0;  // nothing changed: the copy is a copy

    std::map<int, std::int32_t> first;  // class -> its first file
    for (std::int32_t i = 1; i <= n; ++i) {
      const FilePlan& pi = p[static_cast<std::size_t>(i)];
      const int ci = c.classes[static_cast<std::size_t>(i - 1)];
      EXPECT_TRUE(pi.readable) << c.what << " " << i;
      auto [it, fresh] = first.emplace(ci, i);
      EXPECT_EQ(pi.equal_to, ci < 0 || fresh ? 0 : it->second) << c.what << " " << i;
      for (std::int32_t j = 1; j < i; ++j) {
        const int cj = c.classes[static_cast<std::size_t>(j - 1)];
        EXPECT_EQ(pi.key == p[static_cast<std::size_t>(j)].key, ci >= 0 && ci == cj) << c.what << " " << j << " " << i;
      }
    }
    }
  stdfs::remove_all(dir);
}

// Quorith's bounded path, forced by a tiny memory budget: the outputs and
// every console line are those of the in-memory path (the times of the
// "DONE with" lines aside), and no temporary file is left.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "common/tree.h"
#include "console/con.h"
#include "duplines/quorith.h"
#include "filesystem/fs.h"
#include "platform/os_process.h"
#include "platform/os_seam.h"
#include "textfile/txt.h"
#include "quorith_capture.h"

namespace stdfs = std::filesystem;

namespace {

using namespace quorith_capture;

stdfs::path g_dir;
std::vector<std::u16string> g_inputs;

CStr Input(std::int32_t index) { return g_inputs[static_cast<std::size_t>(index)].c_str(); }


// The files created new: the outputs' temporaries and the bounded path's.
int g_creates = 0;
OsFile CountCreates(const char16_t* path, const char16_t* like, bool* exists) {
  ++g_creates;
  return os_system_calls().file_create_new(path, like, exists);
}

// The console text with the milliseconds of each "DONE with" line left out.
std::u16string WithoutTimes(std::u16string text) {
  for (std::size_t at = text.find(u"DONE with "); at != std::u16string::npos; at = text.find(u"DONE with ", at + 1)) {
    std::size_t end = text.find(u" ms\r\n", at);
    std::size_t comma = text.rfind(u", ", end);
    if (end == std::u16string::npos || comma == std::u16string::npos || comma < at) break;
    text.erase(comma + 2, end - comma - 2);
  }
  return text;
}

// A generator of the same pseudo-random texts on every target.
struct Random {
  std::uint32_t state;
  std::uint32_t next(std::uint32_t below) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % below;
  }
};

const char* const ENDS[] = {"\n", "\r", "\r\n"};

// `count` lines drawn from `distinct` ones of up to `longest` bytes, each
// with the line end `end` (or, for -1, one drawn for each line).
std::string Generated(std::uint32_t seed, int count, int distinct, int longest, int end) {
  Random r{seed};
  std::string s;
  for (int i = 0; i < count; ++i) {
    Random line{r.next(static_cast<std::uint32_t>(distinct)) * 2654435761u + seed};
    int length = static_cast<int>(line.next(static_cast<std::uint32_t>(longest) + 1));
    for (int k = 0; k < length; ++k) s += static_cast<char>('!' + line.next(90));
    s += ENDS[end >= 0 ? end : static_cast<int>(r.next(3))];
  }
  return s;
}

std::string Utf16(const std::u16string& text) {
  std::string s = "\xFF\xFE";
  for (char16_t u : text) s += static_cast<char>(u & 0xFF), s += static_cast<char>(u >> 8);
  return s;
}

// The inputs of the comparison: one run over all of them, as many files
// on one command line.
std::vector<std::string> Texts() {
  std::string utf8 = "\xEF\xBB\xBF";
  for (int i = 0; i < 12000; ++i)
    utf8 += (i % 5 ? "\xC3\xA9t\xC3\xA9 " : "\xE2\x82\xAC\xFF ") + std::to_string(i % 4000) + "\r\n";
  std::u16string utf16;
  for (int i = 0; i < 11000; ++i)
    utf16 += u"\xD83D\xDE00 \x4E2D" + std::u16string(static_cast<std::size_t>(i % 37), u'x') +
             (i % 3 ? u"" : u"\xDC00") + u"\r\n";
  std::string longer;
  for (int i = 0; i < 40; ++i) longer += std::string(5000 + i % 7, static_cast<char>('a' + i % 5)) + "\n\n";
  return {
      Generated(1, 30000, 9000, 12, 0),         // LF, several progress lines
      Generated(2, 25000, 25000, 3, 1),         // CR, short lines, empty ones among them
      Generated(3, 21000, 500, 40, 2),          // CR LF
      Generated(4, 15000, 3000, 8, -1),         // mixed ends
      Generated(5, 10240, 100000, 30, 0),       // exactly one progress line
      Generated(6, 12000, 90, 20, 0) + Generated(7, 9000, 9000, 20, 0),  // spills past progress lines
      utf8,
      Utf16(utf16),
      longer,                                   // long lines and empty ones
      "",                                       // one empty line, nothing removed
      "a\nb\nc",                                // nothing removed, no last line end
      "a\r\nb\r\na\r\n\r\nb\r\n\r\n",
      "\n\n\n",
  };
}

class QuorithDisk : public testing::Test {
 protected:
  void SetUp() override {
    con_open(nullptr);
    txt_init();
    fs_init();
    tree_create(1, 10240);
    g_dir = stdfs::temp_directory_path() /
            ("quorith_disk_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    stdfs::remove_all(g_dir);
    stdfs::create_directories(g_dir);
    os_calls().console_write = CaptureUnits;
    os_calls().console_write_bytes = CaptureBytes;
  }
  void TearDown() override {
    os_calls_reset();
    quorith_set_memory_budget(0);
    quorith_set_inputs(0, nullptr);
    txt_close(TXT_ALL);
    stdfs::remove_all(g_dir);
  }
};

// What a run over the texts leaves: the console and every file.
struct Result {
  std::u16string console;
  std::vector<std::pair<std::string, std::string>> files;
};

Result RunAll(const std::vector<std::string>& texts, std::int64_t budget) {
  for (const auto& e : stdfs::directory_iterator(g_dir)) stdfs::remove(e.path());
  g_inputs.clear();
  for (std::size_t i = 0; i < texts.size(); ++i) {
    Write(g_dir / ("in" + std::to_string(i)), texts[i]);
    g_inputs.push_back((g_dir / ("in" + std::to_string(i))).u16string());
  }
  quorith_set_memory_budget(budget);
  quorith_set_inputs(static_cast<std::int32_t>(texts.size()), Input);
  g_console.clear();
  g_creates = 0;
  os_calls().file_create_new = CountCreates;
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(texts.size()); ++i) quorith_file(i);
  Result r{WithoutTimes(g_console), {}};
  std::set<std::string> names;
  for (const auto& e : stdfs::directory_iterator(g_dir)) names.insert(e.path().filename().string());
  for (const std::string& name : names) r.files.emplace_back(name, Read(g_dir / name));
  return r;
}

TEST_F(QuorithDisk, TheBoundedPathGivesTheInMemoryResult) {
  const std::vector<std::string> texts = Texts();
  const Result expected = RunAll(texts, 0);
  const int outputs = g_creates;
  ASSERT_NE(expected.console.find(u"30000 lines passed / "), std::u16string::npos);
  // Budgets: spilling at the first line (the most partitions), after some
  // progress lines, and between.
  for (std::int64_t budget : {1, 5000, 400000}) {
    SCOPED_TRACE("budget " + std::to_string(budget));
    const Result r = RunAll(texts, budget);
    EXPECT_GT(g_creates, outputs + 4);  // the partitions of the bounded path
    EXPECT_EQ(r.console, expected.console) << stdfs::path(r.console).string();
    ASSERT_EQ(r.files.size(), expected.files.size());
    for (std::size_t i = 0; i < r.files.size(); ++i) {
      EXPECT_EQ(r.files[i].first, expected.files[i].first);
      EXPECT_TRUE(r.files[i].second == expected.files[i].second) << r.files[i].first;
    }
  }
}

// Without a budget of its own: a tree that cannot grow (an allocation of
// a megabyte or more refused) makes the bounded path take the file over,
// whose partitions need no growth.
void* GrowthFails(OsHeap h, void* block, std::size_t bytes) {
  return bytes >= 1000000 ? nullptr : os_system_calls().heap_realloc(h, block, bytes);
}

TEST_F(QuorithDisk, ATreeThatCannotGrowGoesTheBoundedWay) {
  std::string text;
  for (int i = 0; i < 110000; ++i) text += std::to_string(i * 7 % 110000) + "\n";  // more than its first array
  text += "5\n";
  const Result expected = RunAll({text}, 0);
  ASSERT_EQ(expected.files.size(), 2u);
  os_calls().heap_realloc = GrowthFails;
  const Result r = RunAll({text}, 0);
  EXPECT_GT(g_creates, 2);  // the partitions of the bounded path
  EXPECT_EQ(r.console, expected.console) << stdfs::path(r.console).string();
  ASSERT_EQ(r.files.size(), 2u);
  EXPECT_TRUE(r.files[1].second == expected.files[1].second);
}

// The budget without a test's: the memory the process may still take is
// known, and on a 32-bit target within its address space.
TEST(QuorithBudget, TheMemoryLeftIsKnownAndWithinTheAddressSpace) {
  const std::int64_t limit = os_memory_limit();
  EXPECT_GT(limit, 0);
  if (sizeof(void*) == 4) {
    EXPECT_LE(limit, std::int64_t{1} << 32);
  }
}

}  // namespace

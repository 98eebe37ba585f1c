// Quorith's line set: repeats told by their bytes alone, through the
// table's doublings and the blocks' ends, and a set that cannot grow keeps
// what it holds.
#include "duplines/line_set.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/os_seam.h"

namespace {

std::int32_t Insert(LineSet& set, const std::string& line) { return set.insert(line_key(line.data(), line.size())); }

// Every line twice, in two rounds: new the first time, a repeat the second,
// whatever its length (none, a block's end, a block of its own).
TEST(LineSet, EachLineIsNewOnceWhateverItsLength) {
  LineSet set;
  std::vector<std::string> lines = {"", std::string(1, '\0'), "a", "A", "a ", std::string(200000, 'x'),
                                    std::string(200001, 'x'), std::string(131072, 'y')};
  for (int i = 0; i < 300000; ++i) lines.push_back(std::to_string(i) + std::string(static_cast<std::size_t>(i % 97), '-'));
  for (int round = 0; round < 2; ++round) {
    for (const std::string& line : lines) {
      set.prefetch(line_key(line.data(), line.size()));
      ASSERT_EQ(Insert(set, line), round == 0 ? 1 : 0) << line.size();
    }
  }
  EXPECT_EQ(set.size(), static_cast<std::int64_t>(lines.size()));
  EXPECT_GT(set.bytes(), 0);
  set.clear();
  EXPECT_EQ(set.bytes(), 0);
  EXPECT_EQ(Insert(set, "a"), 1);  // the cleared set is empty
}

void* ReallocFails(OsHeap, void*, std::size_t) { return nullptr; }
void* AllocFails(OsHeap, std::size_t) { return nullptr; }

// A table that cannot double, or a block that cannot be had: the line is
// not added and every line before it is still told as a repeat.
TEST(LineSet, ASetThatCannotGrowKeepsItsLines) {
  for (bool table : {true, false}) {
    SCOPED_TRACE(table ? "table" : "block");
    LineSet set;
    int added = 0;
    for (;; ++added) {
      if (table && added == 700) os_calls().heap_realloc = ReallocFails;  // before the first doubling
      if (!table && added == 70000) os_calls().heap_alloc = AllocFails;   // once the first block is full
      if (Insert(set, std::to_string(added) + std::string(10, '.')) < 0) break;
      ASSERT_LT(added, 200000);
    }
    os_calls_reset();
    for (int i = 0; i < added; ++i) ASSERT_EQ(Insert(set, std::to_string(i) + std::string(10, '.')), 0) << i;
    EXPECT_EQ(Insert(set, std::to_string(added) + std::string(10, '.')), 1);
  }
}

}  // namespace

// The unique-string tree: answers, growth points and sorted input.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/tree.h"
#include "platform/os_seam.h"

TEST(Tree, AnswersAndCaseSensitivity) {
  tree_create(512, 2048);
  EXPECT_EQ(tree_insert_unique(u"x"), 1);
  EXPECT_EQ(tree_insert_unique(u"x"), 0);
  EXPECT_EQ(tree_node_count, 1);
  EXPECT_EQ(tree_insert_unique(u"Abc"), 1);
  EXPECT_EQ(tree_insert_unique(u"abc"), 1);
  EXPECT_EQ(tree_insert_unique(u""), 1);
  EXPECT_EQ(tree_insert_unique(nullptr), 0);  // null is the empty string
  EXPECT_EQ(tree_insert_unique(tree_key(u"Abc")), 0);  // a key answers as its text does
  EXPECT_EQ(tree_node_count, 4);
  // Each text is found at the node it went into; a text never inserted is not.
  EXPECT_EQ(tree_find(u"x"), 0);
  EXPECT_EQ(tree_find(u"abc"), 2);
  EXPECT_EQ(tree_find(nullptr), 3);
  EXPECT_EQ(tree_find(u"ABC"), -1);
  // Links: "Abc" and "" are less than "x", "abc" too, below "Abc" on its greater side.
  EXPECT_EQ(tree_nodes[0].less, 1);
  EXPECT_EQ(tree_nodes[1].greater, 2);
  EXPECT_EQ(tree_nodes[1].less, 3);
  tree_reset();
  EXPECT_EQ(arr_size(tree_nodes), 1);
  EXPECT_EQ(tree_find(u"x"), -1);
  EXPECT_EQ(tree_insert_unique(u"x"), 1);  // accepted again after a reset
  tree_clear();
  EXPECT_EQ(tree_nodes, nullptr);
}

TEST(Tree, GrowthPoints) {
  tree_create(512, 2048);
  char buf[32];
  for (int i = 0; i < 511; ++i) {
    std::snprintf(buf, sizeof buf, "%08x", i * 2654435761u);
    std::u16string s(buf, buf + 8);
    ASSERT_EQ(tree_insert_unique(s.c_str()), 1);
  }
  EXPECT_EQ(arr_size(tree_nodes) + 1, 512);
  EXPECT_EQ(tree_insert_unique(u"the 512th"), 1);
  EXPECT_EQ(arr_size(tree_nodes) + 1, 2561);
  tree_init(102400);
  EXPECT_EQ(arr_size(tree_nodes) + 1, 102401);
  EXPECT_EQ(tree_growth, 102400);
  tree_clear();
}

TEST(Tree, AscendingInputCompletes) {
  tree_init(10240);
  char buf[16];
  for (int i = 0; i < 100000; ++i) {
    std::snprintf(buf, sizeof buf, "%07d", i);
    std::u16string s(buf, buf + 7);
    ASSERT_EQ(tree_insert_unique(s.c_str()), 1);
  }
  EXPECT_EQ(tree_insert_unique(u"0099999"), 0);
  EXPECT_EQ(tree_insert_unique(u"0000000"), 0);
  EXPECT_EQ(tree_node_count, 100000);
  // The chain: each node is the greater child of the one before.
  EXPECT_EQ(tree_nodes[99998].greater, 99999);
  tree_clear();
}

// The links must be exactly those of the plain unbalanced descent.
TEST(Tree, LinksMatchThePlainDescent) {
  struct Ref {
    std::vector<std::u16string> text;
    std::vector<std::int32_t> greater, less;
    int insert(const std::u16string& s) {
      if (text.empty()) {
        text.push_back(s), greater.push_back(0), less.push_back(0);
        return 1;
      }
      std::size_t i = 0;
      for (;;) {
        int c = s.compare(text[i]);
        if (c == 0) return 0;
        std::int32_t& link = c > 0 ? greater[i] : less[i];
        if (link) { i = static_cast<std::size_t>(link); continue; }
        link = static_cast<std::int32_t>(text.size());
        text.push_back(s), greater.push_back(0), less.push_back(0);
        return 1;
      }
    }
  };
  Ref ref;
  tree_init(100);
  std::uint32_t x = 12345;
  auto check = [&ref] {
    ASSERT_EQ(static_cast<std::size_t>(tree_node_count), ref.text.size());
    for (std::size_t i = 0; i < ref.text.size(); ++i) {
      ASSERT_EQ(std::u16string(tree_nodes[i].text), ref.text[i]);
      ASSERT_EQ(tree_nodes[i].greater, ref.greater[i]) << i;
      ASSERT_EQ(tree_nodes[i].less, ref.less[i]) << i;
    }
  };
  // Links read in rounds, half of them while no memory is to be had: the
  // descent then attaches the nodes, and the index catches up afterwards.
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 5000; ++i) {
      x = x * 1103515245u + 12345u;
      std::u16string s;
      int len = static_cast<int>((x >> 8) % 7);
      for (int k = 0; k < len; ++k) s.push_back(static_cast<char16_t>(u'a' + ((x >> (k * 3 + 4)) % 5)));
      if ((x >> 28) == 3) s.push_back(char16_t(0xFFFF));
      tree_prefetch(s.c_str());  // announced ahead, as Quorith does: changes nothing
      ASSERT_EQ(tree_insert_unique(s.c_str()), ref.insert(s)) << i;
    }
    if (round % 2 == 0) os_calls().heap_alloc = [](OsHeap, std::size_t) -> void* { return nullptr; };
    check();
    os_calls_reset();
  }
  tree_clear();
}

namespace {
int g_allocs = 0;
int g_fail_alloc = 0;  // the allocation that fails, counted from the fault's start
void* NthAllocFails(OsHeap h, std::size_t bytes) {
  return ++g_allocs == g_fail_alloc ? nullptr : os_system_calls().heap_alloc(h, bytes);
}
void* ReallocFails(OsHeap, void*, std::size_t) { return nullptr; }
}  // namespace

// Memory that runs out: the insertion says so, nothing is added, and the
// tree answers as before once memory is there again.
TEST(Tree, RunningOutOfMemoryAddsNothing) {
  struct Case {
    const char* name;
    int before;  // distinct strings inserted before the fault
    void (*install)();
  };
  static const Case CASES[] = {
      // The first block of texts (64 KiB) holds 2047 of 16 units each.
      {"the texts' next block", 2047, [] { g_fail_alloc = 1, os_calls().heap_alloc = NthAllocFails; }},
      {"the hash set's growth (4096 entries, kept three quarters full)", 3072,
       [] { g_fail_alloc = 1, os_calls().heap_alloc = NthAllocFails; }},
      // 4 + 4 + 1 slots after the first growth: the 9th node fills the last
      // one, still accepted, and the growth that follows fails.
      {"the node array's growth", 8, [] {
         os_calls().heap_realloc = ReallocFails;
         EXPECT_EQ(tree_insert_unique(u"the 9th"), 1);
       }},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    tree_create(4, 4);
    auto text = [](int i) { return u"string number " + std::u16string(1, static_cast<char16_t>(u'A' + i)); };
    for (int i = 0; i < c.before; ++i) ASSERT_EQ(tree_insert_unique(text(i).c_str()), 1);
    g_allocs = 0;
    c.install();
    std::int32_t count = tree_node_count;
    EXPECT_EQ(tree_insert_unique(text(c.before).c_str()), -1);
    EXPECT_EQ(tree_insert_unique(text(0).c_str()), 0);
    os_calls_reset();
    EXPECT_EQ(tree_node_count, count);
    EXPECT_EQ(tree_insert_unique(text(c.before).c_str()), 1);
    for (int i = 0; i <= c.before; ++i) EXPECT_EQ(tree_insert_unique(text(i).c_str()), 0);
    tree_clear();
  }
}

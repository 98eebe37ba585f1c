// The command-line splitter and the parameter cursor.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/rt.h"
#include "core/str.h"

namespace {
std::vector<std::u16string> Split(const char16_t* line) {
  std::vector<std::u16string> out;
  std::int32_t n = rt_split_command_line(line, -1, nullptr, nullptr);
  for (std::int32_t k = 0; k < n; ++k) {
    const char16_t* s = nullptr;
    std::int32_t len = 0;
    EXPECT_EQ(rt_split_command_line(line, k, &s, &len), 1);
    out.emplace_back(s, static_cast<std::size_t>(len));
  }
  EXPECT_EQ(rt_split_command_line(line, n, nullptr, nullptr), 0);
  return out;
}
using V = std::vector<std::u16string>;
}  // namespace

TEST(RtParam, SplitterRules) {
  EXPECT_EQ(Split(u"prog"), (V{u"prog"}));
  EXPECT_EQ(Split(u"prog   a  b"), (V{u"prog", u"a", u"b"}));
  EXPECT_EQ(Split(u"\"C:\\My Prog\\p.exe\" \"x y\" z"), (V{u"C:\\My Prog\\p.exe", u"x y", u"z"}));
  EXPECT_EQ(Split(u"prog \"\""), (V{u"prog", u""}));
  EXPECT_EQ(Split(u"prog a\tb"), (V{u"prog", u"a\tb"}));
  EXPECT_EQ(Split(u"prog \"a\"b"), (V{u"prog", u"a", u"b"}));
  EXPECT_EQ(Split(u"prog ab\"c d\""), (V{u"prog", u"ab\"c", u"d\""}));
  EXPECT_EQ(Split(u"prog \"C:\\Some Dir\\\" next"), (V{u"prog", u"C:\\Some Dir\\", u"next"}));
  EXPECT_EQ(Split(u"prog \""), (V{u"prog", u""}));
  EXPECT_EQ(Split(u"prog a   "), (V{u"prog", u"a"}));
  EXPECT_EQ(rt_split_command_line(u"", -1, nullptr, nullptr), 0);
  EXPECT_EQ(rt_split_command_line(u"   ", -1, nullptr, nullptr), 0);
}

// The test program's own parameters: whatever the runner passed, the
// cursor rules hold.
TEST(RtParam, CursorRules) {
  std::int32_t n = rt_param_count();
  ASSERT_GE(n, 0);
  std::u16string first = rt_param(0);
  std::u16string second = rt_param(-1);
  if (n >= 2) {
    EXPECT_EQ(std::u16string(rt_param(1)), second);
    EXPECT_EQ(std::u16string(rt_param(0)), first);
  }
  // Past the end: empty, and the cursor stays there.
  EXPECT_EQ(std::u16string(rt_param(n + 5)), u"");
  EXPECT_EQ(std::u16string(rt_param(-1)), u"");
  EXPECT_EQ(std::u16string(rt_param(-1)), u"");
  EXPECT_EQ(rt_param_count(), n);
  if (n >= 1) {
    EXPECT_EQ(std::u16string(rt_param(0)), first);
  }
  // The largest index is past the end like any other.
  EXPECT_EQ(std::u16string(rt_param(INT32_MAX)), u"");
  EXPECT_EQ(std::u16string(rt_param(-1)), u"");
  EXPECT_EQ(rt_split_command_line(u"prog a", INT32_MAX, nullptr, nullptr), 0);
}

// Strings: ownership, comparison modes, decimal text, right part, replace,
// and the temporary-result area across growth.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/str.h"
#include "platform/os_seam.h"

namespace {
std::u16string S(CStr s) { return s ? std::u16string(s) : std::u16string(); }
}  // namespace

TEST(Str, AssignInitAndFree) {
  Str v = nullptr;
  EXPECT_EQ(str_assign(&v, u"abc"), 8);
  EXPECT_EQ(S(v), u"abc");
  EXPECT_EQ(str_assign(&v, u""), 2);
  ASSERT_NE(v, nullptr);  // an empty source keeps a non-null empty value
  EXPECT_EQ(str_length(v), 0);
  EXPECT_EQ(str_assign(&v, nullptr), 2);
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(str_init(&v, nullptr), 0);
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(str_init(&v, u"xy"), 6);
  // Assigning a part of the variable's own text to itself.
  str_assign(&v, v + 1);
  EXPECT_EQ(S(v), u"y");
  str_free(v);
  str_free(nullptr);
}

TEST(Str, NullEqualsEmptyAndCompareModes) {
  EXPECT_EQ(str_equal(nullptr, u""), 1);
  EXPECT_EQ(str_equal(u"a", u"A"), 0);
  EXPECT_EQ(str_compare(nullptr, u"", 0), 0);
  EXPECT_EQ(str_compare(nullptr, u"", 1), 0);
  EXPECT_EQ(str_compare(u"a", u"B", 0), 1);
  EXPECT_EQ(str_compare(u"a", u"B", 1), -1);
  EXPECT_EQ(str_compare(u"ab", u"abc", 0), -1);
  // Only A-Z fold: 'A' compares as 'a', so it sorts after '_'.
  EXPECT_EQ(str_compare(u"A", u"_", 1), 1);
  EXPECT_EQ(str_compare(u"\u00C4", u"\u00E4", 1), -1);
  EXPECT_EQ(str_compare(u"\uFFFF", u"a", 0), 1);  // unsigned units
  EXPECT_EQ(str_length(nullptr), 0);
  EXPECT_EQ(str_byte_length(u"abc"), 6);
}

TEST(Str, DecimalTextOverTheFullRange) {
  EXPECT_EQ(S(str_from_int(0)), u"0");
  EXPECT_EQ(S(str_from_int(-1)), u"-1");
  EXPECT_EQ(S(str_from_int(-2147483648LL)), u"-2147483648");
  EXPECT_EQ(S(str_from_int(2147483648LL)), u"2147483648");
  EXPECT_EQ(S(str_from_int(INT64_MIN)), u"-9223372036854775808");
  EXPECT_EQ(S(str_from_int(INT64_MAX)), u"9223372036854775807");
}

TEST(Str, RightPart) {
  EXPECT_EQ(S(str_right(u"abc", 5)), u"abc");
  EXPECT_EQ(S(str_right(u"abc", 2)), u"bc");
  EXPECT_EQ(S(str_right(u"abc", -1)), u"");
  EXPECT_EQ(S(str_right(nullptr, 3)), u"");
}

TEST(Str, ReplaceCopyAndInPlace) {
  StrVar path(u"a/b/c");
  EXPECT_EQ(S(str_replace(const_cast<Str>(path.get()), u"/", u"\\")), u"a\\b\\c");
  EXPECT_EQ(S(path.get()), u"a/b/c");  // copy mode leaves the argument alone
  str_replace(const_cast<Str>(path.get()), u"/", u"\\", STR_IN_PLACE);
  EXPECT_EQ(S(path.get()), u"a\\b\\c");

  Str s = const_cast<Str>(u"xAxaxAx");
  EXPECT_EQ(S(str_replace(s, u"a", u"-", 0)), u"xAx-xAx");
  EXPECT_EQ(S(str_replace(s, u"a", u"-", STR_NO_CASE)), u"x-x-x-x");
  EXPECT_EQ(S(str_replace(s, u"a", u"-", STR_NO_CASE, 3)), u"xAx-x-x");  // text before start kept
  EXPECT_EQ(S(str_replace(s, u"a", u"-", STR_NO_CASE, 0, 2)), u"x-x-xAx");
  EXPECT_EQ(S(str_replace(s, u"a", u"-", STR_NO_CASE, 1, 0)), u"xAxaxAx");
  EXPECT_EQ(S(str_replace(s, u"", u"-")), u"xAxaxAx");
  EXPECT_EQ(S(str_replace(const_cast<Str>(u"aaaa"), u"aa", u"b")), u"bb");  // no overlap
  EXPECT_EQ(S(str_replace(s, u"x", u"", 0, 99)), u"xAxaxAx");  // start past the end
}

TEST(Str, TemporaryAreaSurvivesGrowthWithArgumentsInside) {
  StrBuild outer(u"start:");
  CStr piece = str_right(u"0123456789", 4);  // lies inside the area
  outer << piece;
  std::u16string big(40000, u'z');  // forces the area to grow and move
  outer << big.c_str() << 42 << u":" << outer.c_str();
  std::u16string expect = u"start:6789" + big + u"42:";
  expect += expect;
  EXPECT_EQ(S(outer.c_str()), expect.substr(0, expect.size() - 0));
  Str v = nullptr;
  outer.assign_to(&v);
  EXPECT_EQ(S(v), expect);
  EXPECT_EQ(S(str_replace(v, u"z", u"y", 0, 1, 1)).substr(0, 11), u"start:6789y");
  str_free(v);
  {
    StrBuild inner;
    inner << u"only";
    EXPECT_EQ(S(inner.c_str()), u"only");
  }
  StrBuild after;
  EXPECT_EQ(S(after.c_str()), u"");
}

TEST(Str, Utf8Copy) {
  char* u = str_to_utf8(u"a\u00E9\u20AC");
  EXPECT_STREQ(u, "a\xC3\xA9\xE2\x82\xAC");
  std::free(u);
  u = str_to_utf8(nullptr);
  ASSERT_NE(u, nullptr);
  EXPECT_STREQ(u, "");
  std::free(u);
}

namespace {
void* NoAlloc(OsHeap, std::size_t) { return nullptr; }
void* NoRealloc(OsHeap, void*, std::size_t) { return nullptr; }
}  // namespace

// When the string heap is exhausted: an assignment says so and the
// variable keeps its value; results are cut, never written past the area.
TEST(Str, RunningOutOfMemory) {
  Str v = nullptr;
  str_assign(&v, u"old");
  const std::u16string big(1 << 20, u'z');
  os_calls().heap_alloc = NoAlloc;
  os_calls().heap_realloc = NoRealloc;
  EXPECT_EQ(str_assign(&v, big.c_str()), 0);
  EXPECT_EQ(S(v), u"old");
  Str fresh = nullptr;
  {
    StrBuild b(u"n=");
    b << big.c_str();
    b << 42;
    EXPECT_LT(str_length(b.c_str()), static_cast<std::int32_t>(big.size()));
    EXPECT_FALSE(b.assign_to(&fresh));
  }
  EXPECT_EQ(fresh, nullptr);
  EXPECT_EQ(S(str_from_int(-12345)), u"-12345");
  EXPECT_EQ(S(str_right(big.c_str(), 20000)), big.substr(0, 20000));
  os_calls_reset();
  str_free(v);
}

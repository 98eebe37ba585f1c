// Regular-expression objects: matching, UTF-8 mode, compile errors, numbered
// re-creation and releasing.
#include <gtest/gtest.h>

#include <pcre.h>

#include <string>

#include "regex/rx.h"

namespace {

class RxTest : public testing::Test {
 protected:
  void SetUp() override { rx_init(); }
  void TearDown() override { rx_end(); }
};

TEST_F(RxTest, EmptyPatternMatchesEverything) {
  ObjectId id = rx_create(OBJ_ANY, u"");
  ASSERT_NE(id, 0);
  EXPECT_STREQ(rx_error_text(), "");
  EXPECT_EQ(rx_match(id, u""), 1);
  EXPECT_EQ(rx_match(id, u"any name.txt"), 1);
  EXPECT_EQ(rx_match(id, nullptr), 0);
}

TEST_F(RxTest, UnanchoredAndCaseSensitive) {
  ASSERT_NE(rx_create(1, u"abc"), 0);
  EXPECT_EQ(rx_match(1, u"xabcx"), 1);
  EXPECT_EQ(rx_match(1, u"xabx"), 0);
  EXPECT_EQ(rx_match(1, u"ABC"), 0);
  ASSERT_NE(rx_create(2, u"ABC"), 0);
  EXPECT_EQ(rx_match(2, u"abc"), 0);
  ASSERT_NE(rx_create_opts(3, u"ABC", PCRE_CASELESS), 0);
  EXPECT_EQ(rx_match(3, u"xabc"), 1);
  ASSERT_NE(rx_create(4, u"^a.c$"), 0);
  EXPECT_EQ(rx_match(4, u"abc"), 1);
  EXPECT_EQ(rx_match(4, u"xabc"), 0);
}

TEST_F(RxTest, NonAsciiCharactersAreOneCharacter) {
  ObjectId id = rx_create(OBJ_ANY, u"caf\u00e9");
  ASSERT_NE(id, 0);
  EXPECT_EQ(rx_match(id, u"le caf\u00e9 noir"), 1);
  EXPECT_EQ(rx_match(id, u"cafe"), 0);
  ObjectId one = rx_create(OBJ_ANY, u"^caf.$");
  EXPECT_EQ(rx_match(one, u"caf\u00e9"), 1);
  ObjectId pair = rx_create(OBJ_ANY, u"^.$");
  EXPECT_EQ(rx_match(pair, u"\U0001F600"), 1);  // a surrogate pair is one character
  EXPECT_EQ(rx_match(pair, u"\u00e9\u00e9"), 0);
}

TEST_F(RxTest, LoneSurrogatesReachTheEngineAsReplacementCharacters) {
  // Names whose bytes were not valid UTF-8 hold lone surrogates.
  ObjectId id = rx_create(OBJ_ANY, u"^a\\x{FFFD}b$");
  ASSERT_NE(id, 0);
  EXPECT_EQ(rx_match(id, u"a\xDCFF" u"b"), 1);
  EXPECT_EQ(rx_match(id, u"a\xD800" u"b"), 1);
  ObjectId any = rx_create(OBJ_ANY, u"");
  EXPECT_EQ(rx_match(any, u"\xDC80\xDCFF\xD83D"), 1);
  ObjectId lone = rx_create(OBJ_ANY, u"x\xDC80");
  ASSERT_NE(lone, 0);
  EXPECT_EQ(rx_match(lone, u"x\uFFFD"), 1);
}

TEST_F(RxTest, CompileErrorGivesTheEngineMessage) {
  EXPECT_EQ(rx_create(5, u"(abc"), 0);
  EXPECT_STREQ(rx_error_text(), "missing )");
  EXPECT_EQ(rx_match(5, u"abc"), 0);
  rx_free(5);  // nothing to release
  ASSERT_NE(rx_create(5, u"abc"), 0);
  EXPECT_STREQ(rx_error_text(), "");
  EXPECT_EQ(rx_match(5, u"abc"), 1);
  EXPECT_EQ(rx_create(6, u"[a"), 0);
  EXPECT_STRNE(rx_error_text(), "");
  EXPECT_EQ(rx_create(6, nullptr), 0);  // absent pattern: no message
  EXPECT_STREQ(rx_error_text(), "");
  EXPECT_EQ(rx_create(-5, u"a"), 0);
}

TEST_F(RxTest, RecreationUnderAUsedNumber) {
  ASSERT_NE(rx_create(7, u"one"), 0);
  ASSERT_NE(rx_create(7, u"two"), 0);
  EXPECT_EQ(rx_match(7, u"one"), 0);
  EXPECT_EQ(rx_match(7, u"two"), 1);
  EXPECT_EQ(rx_create(7, u"(bad"), 0);  // the old pattern is gone even when the new one fails
  EXPECT_EQ(rx_match(7, u"two"), 0);
  ASSERT_NE(rx_create(40, u"x"), 0);  // beyond the first 16 slots
  EXPECT_EQ(rx_match(40, u"x"), 1);
}

TEST_F(RxTest, FreeOneAndFreeAll) {
  ObjectId a = rx_create(OBJ_ANY, u"a");
  ObjectId b = rx_create(OBJ_ANY, u"b");
  ASSERT_NE(rx_create(1, u"c"), 0);
  rx_free(b);
  EXPECT_EQ(rx_match(b, u"b"), 0);
  EXPECT_EQ(rx_match(a, u"a"), 1);
  rx_free(b);  // twice: nothing happens
  rx_free(OBJ_ANY);
  EXPECT_EQ(rx_match(a, u"a"), 0);
  EXPECT_EQ(rx_match(1, u"c"), 0);
  rx_free(a);
  rx_free(1);
  ASSERT_NE(rx_create(1, u"c"), 0);  // the number can be used again
  EXPECT_EQ(rx_match(1, u"c"), 1);
}

}  // namespace

// POSIX text conversions: lossless file names and the ISO-8859-1 code page.
#include <gtest/gtest.h>

#include <string>

#include "platform/os_text.h"

namespace {
std::u16string Decode(const std::string& b) {
  std::u16string out(b.size() * 2 + 1, u'\0');
  auto n = os_utf8_to_utf16(b.data(), static_cast<std::int32_t>(b.size()), out.data(),
                            static_cast<std::int32_t>(out.size()));
  out.resize(static_cast<std::size_t>(n));
  EXPECT_EQ(os_utf8_to_utf16(b.data(), static_cast<std::int32_t>(b.size()), nullptr, 0), n);
  return out;
}
std::string Encode(const std::u16string& s) {
  std::string out(s.size() * 3 + 1, '\0');
  auto n = os_utf16_to_utf8(s.data(), static_cast<std::int32_t>(s.size()), out.data(),
                            static_cast<std::int32_t>(out.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}
}  // namespace

TEST(PosixText, InvalidUtf8NamesRoundTrip) {
  const std::string names[] = {"plain.txt", "caf\xC3\xA9", "\xF0\x9F\x98\x80 emoji", "bad\xFF\xFE",
                               "\xC0\xAF overlong", "\xED\xA0\x80 surrogate", "cut \xE2\x82", "\x80"};
  for (const auto& n : names) EXPECT_EQ(Encode(Decode(n)), n) << n;
  EXPECT_EQ(Decode("a\xFF"), (std::u16string{u'a', char16_t(0xDCFF)}));
  EXPECT_EQ(Decode("\xC3\xA9"), u"\u00E9");
  EXPECT_EQ(Decode("\xF0\x9F\x98\x80"), u"\U0001F600");
  // A lone surrogate outside the escape range has no byte of its own.
  EXPECT_EQ(Encode(std::u16string{char16_t(0xD800)}), "\xEF\xBF\xBD");
}

TEST(PosixText, AnsiIsLatin1ByteForByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::u16string wide(256, u'\0');
  ASSERT_EQ(os_ansi_to_utf16(all.data(), 256, wide.data(), 256), 256);
  for (int b = 0; b < 256; ++b) ASSERT_EQ(wide[static_cast<std::size_t>(b)], b);
  std::string back(256, '\0');
  ASSERT_EQ(os_utf16_to_ansi(wide.data(), 256, back.data(), 256), 256);
  EXPECT_EQ(back, all);
  char q = 0;
  char16_t euro = u'\u20AC';
  os_utf16_to_ansi(&euro, 1, &q, 1);
  EXPECT_EQ(q, '?');
}

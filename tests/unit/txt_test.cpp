// Text files: byte-order marks, line ends of every kind in the three
// readers (also where they meet the buffer's refills), zero units, bad
// UTF-8 read and written losslessly, double-byte ANSI characters across
// refills, writing with and around the buffer, the mode switches, the
// registry and the shutdown from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/rt.h"
#include "platform/os_heap.h"
#include "platform/os_seam.h"
#include "textfile/txt.h"

namespace {

namespace fs = std::filesystem;

constexpr std::int32_t ANSI = txt_format_code(TextFormat::Ansi);
constexpr std::int32_t UTF8 = txt_format_code(TextFormat::Utf8);
constexpr std::int32_t UTF16 = txt_format_code(TextFormat::Utf16Le);

std::string utf8(const std::u16string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size()) c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string utf16le(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

std::string ascii(const std::u16string& s) { return std::string(s.begin(), s.end()); }

std::string encode(const std::u16string& s, std::int32_t format) {
  return format == UTF16 ? utf16le(s) : format == UTF8 ? utf8(s) : ascii(s);
}

// A fresh directory for one test, removed with everything in it at the end.
class TxtTest : public testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    dir_ = fs::temp_directory_path() /
           ("txt_test_" + std::to_string(std::random_device{}()) + "_" + std::to_string(++serial));
    fs::create_directories(dir_);
    txt_init();
  }
  void TearDown() override {
    txt_close(TXT_ALL);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::u16string path(const std::string& name) const { return (dir_ / name).u16string(); }
  std::u16string file_with(const std::string& name, const std::string& bytes) const {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
    return path(name);
  }
  std::string bytes_of(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Opens bytes as file 1 and reads every line as the duplicate-line
  // remover does: at least once, until txt_eof.
  std::vector<std::u16string> lines_of(const std::string& bytes, std::int32_t format, std::int64_t start = 0) {
    EXPECT_NE(txt_open_read(1, file_with("in.txt", bytes).c_str(), TXT_SHARE_READ), 0);
    if (start) txt_seek(1, start);
    std::vector<std::u16string> lines;
    do lines.emplace_back(txt_read_line(1, format));
    while (!txt_eof(1));
    txt_close(1);
    // The end test and the read in one call give the same lines.
    EXPECT_NE(txt_open_read(1, path("in.txt").c_str(), TXT_SHARE_READ), 0);
    if (start) txt_seek(1, start);
    std::vector<std::u16string> again = {txt_read_line(1, format)};
    while (CStr line = txt_read_next_line(1, format)) again.emplace_back(line);
    EXPECT_EQ(txt_read_next_line(1, format), nullptr);
    txt_close(1);
    EXPECT_EQ(txt_read_next_line(1, format), nullptr);  // not open
    EXPECT_EQ(again, lines);
    return lines;
  }

  fs::path dir_;
};

using Lines = std::vector<std::u16string>;

TEST_F(TxtTest, MarksAreDetectedInOrderAndSkipped) {
  struct Case {
    std::string bytes;
    TextFormat format;
    std::int64_t skipped;
  };
  const Case cases[] = {
      {"\xFF\xFE", TextFormat::Utf16Le, 2},
      {std::string("\xFF\xFE\0\0", 4), TextFormat::Utf32Le, 4},
      {std::string("\xFF\xFE" "A\0", 4), TextFormat::Utf16Le, 2},
      {"\xEF\xBB\xBFhi", TextFormat::Utf8, 3},
      {"\xEF\xBB", TextFormat::Ansi, 0},
      {"\xEF\xBBx", TextFormat::Ansi, 0},
      {std::string("\xFE\xFF\0A", 4), TextFormat::Utf16Be, 2},
      {std::string("\0\0\xFE\xFF", 4), TextFormat::Utf32Be, 4},
      {std::string("\0\0\xFE", 3), TextFormat::Ansi, 0},
      {"A", TextFormat::Ansi, 0},
      {"", TextFormat::Ansi, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    ASSERT_NE(txt_open_read(1, file_with("m.txt", c.bytes).c_str(), 0), 0);
    EXPECT_EQ(txt_detect_format(1), c.format);
    EXPECT_EQ(txt_position(1), c.skipped);
    txt_close(1);
  }
  EXPECT_EQ(txt_detect_format(1), TextFormat::Ansi);  // not open

  // Reading after the detection never returns the mark.
  ASSERT_NE(txt_open_read(1, file_with("m.txt", "\xEF\xBB\xBFhi\n").c_str(), 0), 0);
  EXPECT_EQ(txt_detect_format(1), TextFormat::Utf8);
  EXPECT_EQ(std::u16string(txt_read_line(1, UTF8)), u"hi");
  txt_close(1);
  ASSERT_NE(txt_open_read(1, file_with("m.txt", std::string("\xFF\xFE" "A\0", 4)).c_str(), 0), 0);
  EXPECT_EQ(txt_detect_format(1), TextFormat::Utf16Le);
  EXPECT_EQ(std::u16string(txt_read_line(1, UTF16)), u"A");
  EXPECT_EQ(txt_eof(1), 1);
  txt_close(1);
  // A file that is only the mark: the next read is at the end and gives an empty line.
  ASSERT_NE(txt_open_read(1, file_with("m.txt", "\xFF\xFE").c_str(), 0), 0);
  EXPECT_EQ(txt_detect_format(1), TextFormat::Utf16Le);
  EXPECT_EQ(txt_eof(1), 1);
  EXPECT_EQ(std::u16string(txt_read_line(1, UTF16)), u"");
}

TEST_F(TxtTest, EveryLineEndInEveryReader) {
  // LF, CR LF, lone CR, a zero unit, CR CR LF, and a lone CR as the very last unit.
  const std::u16string text = std::u16string(u"a\nb\r\nc\rd") + u'\0' + u"e\r\r\nf\r";
  const Lines expected = {u"a", u"b", u"c", u"d", u"e", u"", u"f"};
  for (std::int32_t format : {ANSI, UTF8, UTF16}) {
    SCOPED_TRACE(format);
    EXPECT_EQ(lines_of(encode(text, format), format), expected);
    // The last line without an end; a file that ends in CR LF gives no extra line.
    EXPECT_EQ(lines_of(encode(u"x\r\ny", format), format), (Lines{u"x", u"y"}));
    EXPECT_EQ(lines_of(encode(u"x\r\n", format), format), (Lines{u"x"}));
    // An empty file is one empty line.
    EXPECT_EQ(lines_of("", format), (Lines{u""}));
  }
  // UTF-16: the bytes 0A 0D are the unit U+0D0A, no line end; an odd last byte is dropped.
  EXPECT_EQ(lines_of(std::string("A\0\x0A\x0D", 4), UTF16), (Lines{u"A\u0D0A"}));
  EXPECT_EQ(lines_of(std::string("A\0B", 3), UTF16), (Lines{u"A"}));
  EXPECT_EQ(lines_of(std::string("A\0\r\0B", 5), UTF16), (Lines{u"A"}));
  // A read format carries its code in the low five bits.
  EXPECT_EQ(lines_of(utf16le(u"q\nr"), TXT_SHARE_READ | UTF16), (Lines{u"q", u"r"}));
}

// A byte that is not UTF-8 reads as U+DC00 + byte, so distinct lines never
// read as equal, and is written back as itself. A byte that is not a
// continuation byte ends a sequence: a line end is always a line end.
TEST_F(TxtTest, Utf8BadBytesReadAndWriteLosslessly) {
  struct Case {
    std::string bytes;
    Lines lines;
    std::string written;  // the lines written back as UTF-8
  };
  const Case cases[] = {
      {"price \x80\nprice \x81\nprice \xFF\nprice \xEF\xBF\xBD\nprice ?",
       {u"price \xDC80", u"price \xDC81", u"price \xDCFF", u"price \uFFFD", u"price ?"},
       "price \x80\r\nprice \x81\r\nprice \xFF\r\nprice \xEF\xBF\xBD\r\nprice ?\r\n"},
      {"a\x80" "b\n\xF8z", {u"a\xDC80" u"b", u"\xDCF8z"}, "a\x80" "b\r\n\xF8z\r\n"},
      {"x\r\x80y", {u"x", u"\xDC80y"}, "x\r\n\x80y\r\n"},
      // A first byte right before a line end ends there; the line end stays one.
      {"\xC3\nz", {u"\xDCC3", u"z"}, "\xC3\r\nz\r\n"},
      {"\xE4\xB8\r\nz\xF0\x9F\x98\rw", {u"\xDCE4\xDCB8", u"z\xDCF0\xDC9F\xDC98", u"w"},
       "\xE4\xB8\r\nz\xF0\x9F\x98\r\nw\r\n"},
      {std::string("\xC3\0z", 3), {u"\xDCC3", u"z"}, "\xC3\r\nz\r\n"},
      // The file ends inside a sequence: its bytes are kept.
      {"ab\xE4\xB8", {u"ab\xDCE4\xDCB8"}, "ab\xE4\xB8\r\n"},
      {"a\r\xC3", {u"a", u"\xDCC3"}, "a\r\n\xC3\r\n"},
      // Overlong forms, encoded surrogates and code points above U+10FFFF are not UTF-8.
      {"\xC0\xAF|\xE0\x80\xAF|\xED\xA0\x80|\xED\xB2\x80|\xF4\x90\x80\x80",
       {u"\xDCC0\xDCAF|\xDCE0\xDC80\xDCAF|\xDCED\xDCA0\xDC80|\xDCED\xDCB2\xDC80|\xDCF4\xDC90\xDC80\xDC80"},
       "\xC0\xAF|\xE0\x80\xAF|\xED\xA0\x80|\xED\xB2\x80|\xF4\x90\x80\x80\r\n"},
      {"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBF\n", {u"\u00E9\u4E2D\U0001F600\uFFFF"},
       "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBF\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    Lines lines = lines_of(c.bytes, UTF8);
    EXPECT_EQ(lines, c.lines);
    ASSERT_NE(txt_create(2, path("out.txt").c_str()), 0);
    for (const std::u16string& l : lines) txt_write_line(2, l.c_str(), UTF8);
    txt_close(2);
    EXPECT_EQ(bytes_of("out.txt"), c.written);
  }
  // Lone surrogates outside the byte range have no bytes of their own.
  ASSERT_NE(txt_create(2, path("lone.txt").c_str()), 0);
  txt_write_line(2, u"a\xD800" u"b\xDC00\xDC7F", UTF8);
  txt_close(2);
  EXPECT_EQ(bytes_of("lone.txt"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD\r\n");
}

// A stand-in for a double-byte ANSI code page: 0x81-0x9F and 0xE0-0xFC
// lead a pair, and a lead byte without its trail byte becomes U+30FB, as
// code page 932 converts it.
std::int32_t fake_dbcs_to_utf16(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity) {
  std::int32_t n = 0;
  for (std::int32_t i = 0; i < count && n < capacity; ++i) {
    auto c = static_cast<unsigned char>(src[i]);
    bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    if (!lead) dst[n++] = c;
    else if (i + 1 == count) dst[n++] = 0x30FB;
    else dst[n++] = static_cast<char16_t>(0x4000 + (c << 8) + static_cast<unsigned char>(src[++i]));
  }
  return n;
}

// A double-byte character whose bytes straddle a refill of the buffer is
// converted whole, so a repeated line reads the same wherever it lies.
TEST_F(TxtTest, DoubleByteAnsiCharactersAcrossRefills) {
  os_calls().ansi_to_utf16 = fake_dbcs_to_utf16;
  const char16_t pair = 0x4000 + (0x82 << 8) + 0xA0;
  // The pair of the first line lies before, across and after a refill.
  for (std::size_t before : {4094u, 4095u, 4096u, 8191u}) {
    SCOPED_TRACE(before);
    std::string line = std::string(before, 'x') + "\x82\xA0z";
    std::u16string expected = std::u16string(before, u'x') + pair + u"z";
    EXPECT_EQ(lines_of(line + "\n" + line, ANSI), (Lines{expected, expected}));
  }
  os_calls_reset();
}

// Lines of random length with random ends, read back in every format, also
// from odd starting offsets, so that line ends, CR LF pairs, UTF-8 sequences
// and UTF-16 units fall across the buffer's refills.
TEST_F(TxtTest, RandomLinesAcrossRefills) {
  std::mt19937 rng(7);
  const char16_t alphabet[] = u"abcXYZ 019\t\u00E9\u4E2D";
  const std::u16string ends[] = {u"\n", u"\r", u"\r\n", std::u16string(1, u'\0')};
  for (std::int32_t format : {ANSI, UTF8, UTF16}) {
    Lines lines;
    std::u16string text;
    bool after_cr = false;
    while (text.size() < 5 * TXT_BUFFER_BYTES) {
      std::size_t len = rng() % 8 == 0 ? rng() % 9000 : rng() % 40;
      std::u16string line;
      for (std::size_t i = 0; i < len; ++i) {
        char16_t c = alphabet[rng() % (format == ANSI ? 11 : 13)];
        if (format != ANSI && rng() % 50 == 0) line += u"\U0001F600";
        else line += c;
      }
      const std::u16string& end = ends[rng() % 4];
      // An empty line after a lone CR would make CR LF of the two ends.
      if (after_cr && line.empty() && end[0] == u'\n') continue;
      after_cr = end == u"\r";
      lines.push_back(line);
      text += line + end;
    }
    for (int shift : {0, 1, 3}) {
      SCOPED_TRACE(testing::Message() << "format " << format << " shift " << shift);
      std::string bytes = std::string(static_cast<std::size_t>(shift), '#') + encode(text, format);
      EXPECT_EQ(lines_of(bytes, format, shift), lines);
    }
  }
}

// Lines read as their bytes, in batches of at most `max`.
std::vector<std::string> byte_lines_of(CStr path, std::int32_t max) {
  std::vector<std::string> lines;
  EXPECT_NE(txt_open_read(1, path, TXT_SHARE_READ), 0);
  TxtByteBlock block = {};
  std::vector<TxtLineSpan> spans(static_cast<std::size_t>(max));
  while (std::int32_t n = txt_read_byte_lines(1, &block, spans.data(), max)) {
    EXPECT_LE(n, max);
    for (std::int32_t i = 0; i < n; ++i)
      lines.emplace_back(reinterpret_cast<const char*>(block.data) + spans[i].start, spans[i].size);
  }
  EXPECT_EQ(txt_error(1), 0);
  txt_close(1);
  os_heap_free(rt_main_heap(), block.data);
  return lines;
}

// Where the bytes stand for the text, a file's lines read as bytes are its
// lines read as text, split at the same places (also across refills and
// after a CR that ends the buffer), equal exactly where the texts are
// equal, and the text written back is the bytes again; so are the bytes
// written as they are.
TEST_F(TxtTest, ByteLinesAreTheTextLinesAsTheFileHoldsThem) {
  EXPECT_TRUE(txt_bytes_are_text(UTF8));
  EXPECT_FALSE(txt_bytes_are_text(UTF16));
  std::string every_byte;
  for (int b = 1; b < 256; ++b)
    if (b != '\r' && b != '\n') every_byte += static_cast<char>(b);
  std::string each_byte;
  for (char c : every_byte) each_byte += std::string(1, c) + "\n" + std::string(1, c) + "\n";
  const std::string cases[] = {
      "",
      "a\r\nb\nc\rd",
      std::string("a\0b\0\0c\r\0\n", 9),
      "\n\n\r\r\n\r",
      "\x80\n\xC0\xAF\n\xED\xA0\x80\n\xF4\x90\x80\x80\n\xE2\x82\n\xE2\x82\xAC\n\xF0\x9F\x98\x80\n\xF5\xFF\xFE\n"
      "\xEF\xBB\xBF\n\xE2\x82\xAC\n\xED\xB2\x80\n\x80\n\xC3\xA9\xC3\n\xC3\xA9\xC3",
      every_byte + "\n" + every_byte,
      each_byte,
      std::string(4095, 'x') + "\r\nx\r" + std::string(4094, 'y') + "\r\r\n" + std::string(4095, 'x') + "\r",
      std::string(10000, 'z') + "\n" + std::string(10000, 'z') + "\r\n" + std::string(9999, 'z') + "\xE2\x82\xAC",
  };
  for (std::int32_t format : {ANSI, UTF8}) {
    if (!txt_bytes_are_text(format)) continue;  // a code page of more than one byte a character
    for (const std::string& bytes : cases) {
      SCOPED_TRACE(testing::Message() << "format " << format << ", " << bytes.size() << " bytes");
      const Lines text = lines_of(bytes, format);
      const std::vector<std::string> raw = byte_lines_of(file_with("in.txt", bytes).c_str(), 512);
      for (std::int32_t max : {1, 7}) EXPECT_EQ(byte_lines_of(path("in.txt").c_str(), max), raw);
      // No byte: no line, where the text reader gives one empty line.
      ASSERT_EQ(raw.empty() ? Lines{u""} : Lines(raw.size()), Lines(text.size()));
      for (std::size_t i = 0; i < raw.size(); ++i)
        for (std::size_t j = 0; j < raw.size(); ++j) EXPECT_EQ(raw[i] == raw[j], text[i] == text[j]) << i << " " << j;
      std::string expected;
      for (const std::string& line : raw) expected += line + "\r\n";
      ASSERT_NE(txt_create(2, path("text.txt").c_str()), 0);
      ASSERT_NE(txt_create(3, path("bytes.txt").c_str()), 0);
      for (std::size_t i = 0; i < raw.size(); ++i) {
        EXPECT_NE(txt_write_line(2, text[i].c_str(), format), 0);
        const std::string line = raw[i] + "\r\n";
        EXPECT_EQ(txt_write_bytes(3, line.data(), static_cast<std::int32_t>(line.size())), 1);
      }
      EXPECT_EQ(txt_close(2), 1);
      EXPECT_EQ(txt_close(3), 1);
      EXPECT_EQ(bytes_of("text.txt"), expected);
      EXPECT_EQ(bytes_of("bytes.txt"), expected);
    }
  }
  TxtByteBlock block = {};
  TxtLineSpan span;
  EXPECT_EQ(txt_read_byte_lines(9, &block, &span, 1), 0);  // not open
  EXPECT_EQ(txt_write_bytes(9, "a", 1), 0);
}

// A CR that ends the buffer takes its LF from the next fill; units that
// cross the buffer's end right after a CR are given back whole.
TEST_F(TxtTest, UnitsAcrossTheBufferEndAfterCr) {
  for (std::int32_t format : {ANSI, UTF8, UTF16}) {
    std::u16string full(static_cast<std::size_t>(format == UTF16 ? TXT_BUFFER_BYTES / 2 : TXT_BUFFER_BYTES) - 1, u'f');
    EXPECT_EQ(lines_of(encode(full + u"\r\nq", format), format), (Lines{full, u"q"}));
    EXPECT_EQ(lines_of(encode(full + u"\rq", format), format), (Lines{full, u"q"}));
  }
  const std::u16string a(TXT_BUFFER_BYTES - 2, u'a');
  EXPECT_EQ(lines_of(utf8(a + u"\r\u00E9z\n"), UTF8), (Lines{a, u"\u00E9z"}));
  EXPECT_EQ(lines_of(utf8(a + u"\r") + "\xC3", UTF8), (Lines{a, u"\xDCC3"}));

  // One ANSI byte first, so that the UTF-16 units lie at odd offsets of the buffer.
  auto mixed = [&](const std::u16string& text) {
    std::string bytes = "\n";
    bytes += utf16le(text);
    EXPECT_NE(txt_open_read(1, file_with("odd.txt", bytes).c_str(), 0), 0);
    EXPECT_EQ(std::u16string(txt_read_line(1, ANSI)), u"");
    Lines lines;
    do lines.emplace_back(txt_read_line(1, UTF16));
    while (!txt_eof(1));
    txt_close(1);
    return lines;
  };
  const std::u16string b(TXT_BUFFER_BYTES / 2 - 2, u'b');
  EXPECT_EQ(mixed(b + u"\rcd\n"), (Lines{b, u"cd"}));    // the unit after the CR crosses
  EXPECT_EQ(mixed(b + u"x\r\ncd"), (Lines{b + u"x", u"cd"}));  // the CR itself crosses
  EXPECT_EQ(mixed(b + u"xy\r\n"), (Lines{b + u"xy"}));
}

TEST_F(TxtTest, LongLinesReadBackWhole) {
  std::u16string line;
  for (int i = 0; i < 100000; ++i) line += static_cast<char16_t>(u'a' + i % 26);
  for (std::int32_t format : {ANSI, UTF8, UTF16}) {
    SCOPED_TRACE(format);
    Lines l = lines_of(encode(line.substr(0, 10000) + u"\r\n" + line, format), format);
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0], line.substr(0, 10000));
    EXPECT_EQ(l[1], line);
  }
}

TEST_F(TxtTest, WritesLinesInEachFormatWithoutMark) {
  const std::u16string text = u"caf\u00E9 \u4E2D \U0001F600";
  ASSERT_NE(txt_create(2, path("u8.txt").c_str()), 0);
  EXPECT_EQ(txt_write_line(2, text.c_str(), UTF8), 2);
  EXPECT_EQ(txt_write_line(2, u"", UTF8), 2);
  EXPECT_EQ(txt_write_line(2, nullptr, UTF8), 2);
  txt_close(2);
  EXPECT_EQ(bytes_of("u8.txt"), utf8(text) + "\r\n\r\n\r\n");

  ASSERT_NE(txt_create(2, path("u16.txt").c_str()), 0);
  EXPECT_EQ(txt_write_line(2, u"", UTF16), 4);
  EXPECT_EQ(txt_write_line(2, text.c_str(), UTF16), 4);
  txt_close(2);
  EXPECT_EQ(bytes_of("u16.txt"), std::string("\r\0\n\0", 4) + utf16le(text + u"\r\n"));

  // Any value other than 2 and 25 writes ANSI text.
  ASSERT_NE(txt_create(2, path("a.txt").c_str()), 0);
  EXPECT_EQ(txt_write_line(2, u"plain", ANSI), 2);
  EXPECT_EQ(txt_write_line(2, u"seven", 7), 2);
  txt_close(2);
  EXPECT_EQ(bytes_of("a.txt"), "plain\r\nseven\r\n");
  EXPECT_EQ(txt_write_line(2, u"x", ANSI), 0);  // not open

  // Round trips through the readers.
  for (std::int32_t format : {UTF8, UTF16}) {
    ASSERT_NE(txt_create(2, path("r.txt").c_str()), 0);
    txt_write_line(2, text.c_str(), format);
    txt_close(2);
    ASSERT_NE(txt_open_read(1, path("r.txt").c_str(), format), 0);
    EXPECT_EQ(std::u16string(txt_read_line(1)), text);  // the file's default format
    EXPECT_EQ(txt_eof(1), 1);
    txt_close(1);
  }
}

TEST_F(TxtTest, LargePiecesBypassTheBufferInOrder) {
  ASSERT_NE(txt_create(2, path("big.txt").c_str()), 0);
  txt_write_line(2, u"abc", ANSI);
  EXPECT_EQ(txt_position(2), 5);
  std::u16string big(5000, u'x');
  // A surrogate pair where a long text is converted in pieces must stay whole.
  std::u16string wide(20000, u'y');
  for (std::size_t at : {8191u, 16383u}) wide.replace(at, 2, u"\U0001F600");
  txt_write_line(2, big.c_str(), ANSI);
  EXPECT_EQ(txt_position(2), 5 + 5002);
  txt_write_line(2, u"xyz", ANSI);
  txt_write_line(2, wide.c_str(), UTF8);
  txt_write_line(2, big.c_str(), UTF16);
  txt_write_line(2, u"end", UTF16);
  txt_close(2);
  EXPECT_EQ(bytes_of("big.txt"), "abc\r\n" + ascii(big) + "\r\nxyz\r\n" + utf8(wide) + "\r\n" +
                                     utf16le(big + u"\r\nend\r\n"));

  // Pieces that fill the buffer exactly, and then one byte more.
  ASSERT_NE(txt_create(2, path("fill.txt").c_str()), 0);
  std::u16string piece(TXT_BUFFER_BYTES - 2, u'f');
  txt_write_line(2, piece.c_str(), ANSI);
  txt_write_line(2, piece.c_str(), ANSI);
  txt_close(2);
  EXPECT_EQ(bytes_of("fill.txt"), ascii(piece) + "\r\n" + ascii(piece) + "\r\n");
}

TEST_F(TxtTest, EofGivesTheByteBack) {
  ASSERT_NE(txt_open_read(1, file_with("e.txt", "ab\ncd\n").c_str(), 0), 0);
  EXPECT_EQ(txt_eof(1), 0);
  EXPECT_EQ(std::u16string(txt_read_line(1, ANSI)), u"ab");
  EXPECT_EQ(txt_eof(1), 0);
  EXPECT_EQ(txt_position(1), 3);
  EXPECT_EQ(std::u16string(txt_read_line(1, ANSI)), u"cd");
  EXPECT_EQ(txt_eof(1), 1);
  EXPECT_EQ(std::u16string(txt_read_line(1, ANSI)), u"");  // a read at the end
  txt_close(1);
  EXPECT_EQ(txt_eof(1), 0);  // not open

  // The byte after a line that ends exactly at the buffer's end.
  std::string first(TXT_BUFFER_BYTES - 1, 'p');
  ASSERT_NE(txt_open_read(1, file_with("e.txt", first + "\nq").c_str(), 0), 0);
  EXPECT_EQ(std::u16string(txt_read_line(1, ANSI)), std::u16string(first.begin(), first.end()));
  EXPECT_EQ(txt_eof(1), 0);
  EXPECT_EQ(std::u16string(txt_read_line(1, ANSI)), u"q");
  EXPECT_EQ(txt_eof(1), 1);
}

TEST_F(TxtTest, SwitchingBetweenReadingAndWriting) {
  ASSERT_NE(txt_create(2, path("rw.txt").c_str()), 0);
  for (const char16_t* s : {u"one", u"twotwo", u"three"}) txt_write_line(2, s, ANSI);
  EXPECT_EQ(txt_position(2), 20);
  txt_seek(2, 0);
  EXPECT_EQ(std::u16string(txt_read_line(2, ANSI)), u"one");
  EXPECT_EQ(txt_position(2), 5);
  // The read-ahead is given back: the write lands right after "one".
  txt_write_line(2, u"X", ANSI);
  EXPECT_EQ(txt_position(2), 8);
  // Reading after writing writes the pending bytes and goes on from there.
  EXPECT_EQ(std::u16string(txt_read_line(2, ANSI)), u"two");
  EXPECT_EQ(std::u16string(txt_read_line(2, ANSI)), u"three");
  EXPECT_EQ(txt_eof(2), 1);
  txt_write_line(2, u"four", ANSI);
  EXPECT_EQ(txt_flush(2), 6);
  EXPECT_EQ(txt_flush(2), 0);
  // A created file reads UTF-8 by default.
  txt_seek(2, 0);
  txt_write_line(2, u"\u00E9", UTF8);
  txt_seek(2, 0);
  EXPECT_EQ(std::u16string(txt_read_line(2)), u"\u00E9");
  txt_close(2);
  EXPECT_EQ(bytes_of("rw.txt"), "\xC3\xA9\r\n\nX\r\ntwo\r\nthree\r\nfour\r\n");
}

TEST_F(TxtTest, Registry) {
  // Numbers beyond the first 16 and OBJ_ANY files.
  ASSERT_NE(txt_create(20, path("n20.txt").c_str()), 0);
  std::intptr_t any = txt_create(OBJ_ANY, path("any.txt").c_str());
  ASSERT_NE(any, 0);
  txt_write_line(20, u"twenty", ANSI);
  txt_write_line(any, u"any", ANSI);
  EXPECT_EQ(txt_position(any), 5);
  // Reusing a number closes its file first, writing the pending bytes.
  ASSERT_NE(txt_create(3, path("first.txt").c_str()), 0);
  txt_write_line(3, u"keep", ANSI);
  ASSERT_NE(txt_open_read(3, file_with("second.txt", "2nd\n").c_str(), TXT_SHARE_READ), 0);
  EXPECT_EQ(bytes_of("first.txt"), "keep\r\n");
  EXPECT_EQ(std::u16string(txt_read_line(3, ANSI)), u"2nd");
  // Both shared readers of one file.
  ASSERT_NE(txt_open_read(4, path("second.txt").c_str(), TXT_SHARE_READ), 0);
  EXPECT_EQ(std::u16string(txt_read_line(4, ANSI)), u"2nd");
  txt_close(TXT_ALL);
  EXPECT_EQ(bytes_of("n20.txt"), "twenty\r\n");
  EXPECT_EQ(bytes_of("any.txt"), "any\r\n");
  EXPECT_EQ(txt_position(20), -1);
  EXPECT_EQ(txt_position(any), -1);

  // Failures leave nothing open and nothing behind.
  EXPECT_EQ(txt_open_read(5, path("missing.txt").c_str(), 0), 0);
  EXPECT_EQ(txt_open_read(OBJ_ANY, path("missing.txt").c_str(), 0), 0);
  EXPECT_EQ(txt_create(6, path("no/such/dir.txt").c_str()), 0);
  EXPECT_EQ(txt_open_read(7, nullptr, 0), 0);
  EXPECT_EQ(txt_position(5), -1);
  EXPECT_EQ(std::u16string(txt_read_line(5)), u"");
  EXPECT_EQ(txt_eof(5), 0);
  txt_seek(5, 0);
  txt_close(5);
  EXPECT_FALSE(fs::exists(dir_ / "no"));
  // A failed open of a number in use still closes the old file.
  ASSERT_NE(txt_create(8, path("eight.txt").c_str()), 0);
  txt_write_line(8, u"8", ANSI);
  EXPECT_EQ(txt_open_read(8, path("missing.txt").c_str(), 0), 0);
  EXPECT_EQ(txt_position(8), -1);
  EXPECT_EQ(bytes_of("eight.txt"), "8\r\n");
  // A read-only file is never emptied, whoever runs the test.
  file_with("ro.txt", "kept\n");
  fs::permissions(dir_ / "ro.txt", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_EQ(txt_create(9, path("ro.txt").c_str()), 0);
  fs::permissions(dir_ / "ro.txt", fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(bytes_of("ro.txt"), "kept\n");
}

TEST_F(TxtTest, ShutdownWritesPendingOutput) {
  ASSERT_NE(txt_create(2, path("s.txt").c_str()), 0);
  txt_write_line(2, u"pending", ANSI);
  txt_shutdown();
  EXPECT_EQ(bytes_of("s.txt"), "pending\r\n");
  txt_shutdown();
  EXPECT_EQ(txt_position(2), -1);
}

// The close event's shutdown runs on another thread while the main thread
// writes: the file then holds whole lines only.
TEST_F(TxtTest, ShutdownFromAnotherThreadNeverTearsALine) {
  const std::u16string line(97, u'L');
  ASSERT_NE(txt_create(2, path("t.txt").c_str()), 0);
  std::atomic<int> written{0};
  std::thread closer([&] {
    while (written.load() < 3000) std::this_thread::yield();
    txt_shutdown();
  });
  int n = 0;
  while (txt_write_line(2, line.c_str(), ANSI) != 0) written.store(++n);
  closer.join();
  std::string bytes = bytes_of("t.txt");
  ASSERT_EQ(bytes.size() % (line.size() + 2), 0u);
  EXPECT_EQ(bytes.size() / (line.size() + 2), static_cast<std::size_t>(n));
  EXPECT_EQ(bytes.substr(0, line.size() + 2), ascii(line) + "\r\n");
}

}  // namespace

namespace {
std::int32_t FailingWrite(OsFile, const void*, std::int32_t) { return -1; }
std::int32_t ShortWrite(OsFile f, const void* b, std::int32_t n) { return os_system_calls().file_write(f, b, n / 2); }
bool FailingClose(OsFile f) {
  os_system_calls().file_close(f);
  return false;
}
int g_reads = 0;
std::int32_t SecondReadFails(OsFile f, void* b, std::int32_t n) {
  return ++g_reads == 2 ? -1 : os_system_calls().file_read(f, b, n);
}
}  // namespace

// A replacement leaves its path alone until it is committed, and then puts
// the whole new contents there at once; given up, it leaves nothing.
TEST_F(TxtTest, AReplacementTakesItsPathOnlyWhenCommitted) {
  std::u16string in = file_with("in.txt", "input\n");
  struct Case {
    const char* name;
    bool earlier;  // a file stands at the path before
    bool commit;
  };
  static int refused = 0;
  auto refuse_first = [](CStr) { return ++refused > 1; };
  const Case cases[] = {{"a new path, committed", false, true},
                        {"over an earlier file, committed", true, true},
                        {"over an earlier file, given up", true, false},
                        {"a new path, given up", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ec;
    fs::remove(dir_ / "out.txt", ec);
    if (c.earlier) file_with("out.txt", "earlier\r\n");
    ASSERT_NE(txt_open_read(1, in.c_str(), TXT_SHARE_READ), 0);
    refused = 0;
    ASSERT_NE(txt_create_replacement(2, path("out.txt").c_str(), 1, refuse_first), 0);
    EXPECT_EQ(refused, 2);  // the first name was turned down, the second taken
    for (int i = 0; i < 3000; ++i) txt_write_line(2, u"new line", ANSI);
    ASSERT_NE(txt_flush(2), 0);
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
    ASSERT_EQ(names.size(), c.earlier ? 3u : 2u);
    std::string temporary;
    for (const std::string& n : names)
      if (n != "in.txt" && n != "out.txt") temporary = n;
    EXPECT_TRUE(std::regex_match(temporary, std::regex(R"(out\.txt\.~[0-9a-f]{8}\.tmp)"))) << temporary;
    EXPECT_EQ(bytes_of("out.txt"), c.earlier ? "earlier\r\n" : "");
    if (c.commit) {
      EXPECT_EQ(txt_commit(2), 1);
    } else {
      EXPECT_EQ(txt_close(2), 1);
    }
    std::string expected;
    for (int i = 0; i < 3000; ++i) expected += "new line\r\n";
    EXPECT_EQ(bytes_of("out.txt"), c.commit ? expected : c.earlier ? "earlier\r\n" : "");
    EXPECT_EQ(fs::exists(dir_ / "out.txt"), c.commit || c.earlier);
    EXPECT_FALSE(fs::exists(dir_ / temporary));
    EXPECT_EQ(txt_commit(2), 0);  // closed either way
    txt_close(1);
  }
  // Refused before anything is created: a directory in the way, no other file open.
  fs::create_directories(dir_ / "dir");
  ASSERT_NE(txt_open_read(1, in.c_str(), TXT_SHARE_READ), 0);
  EXPECT_EQ(txt_create_replacement(2, path("dir").c_str(), 1), 0);
  EXPECT_EQ(txt_create_replacement(2, path("out.txt").c_str(), 3), 0);
  EXPECT_EQ(txt_create_replacement(2, in.c_str(), 1), 0);  // the file being read
  txt_close(1);
  // txt_commit of a file that is no replacement closes it and says so.
  ASSERT_NE(txt_create(2, path("plain.txt").c_str()), 0);
  EXPECT_EQ(txt_commit(2), 0);
  EXPECT_EQ(txt_write_line(2, u"x", ANSI), 0);
}

// Failed transfers are results, never the end of a file or a success.
TEST_F(TxtTest, FailedTransfersAreReported) {
  struct Case {
    const char* name;
    void (*install)();
    std::int32_t lines;  // written before the flush; enough to fill the buffer fails a line's write
    bool write_fails;
  };
  static const Case CASES[] = {
      {"a failed write", [] { os_calls().file_write = FailingWrite; }, 1, true},
      {"a short write", [] { os_calls().file_write = ShortWrite; }, 1, true},
      {"a failed write of a full buffer", [] { os_calls().file_write = FailingWrite; }, TXT_BUFFER_BYTES, true},
      {"a failed close", [] { os_calls().file_close = FailingClose; }, 1, false},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(txt_create(2, path("out.txt").c_str()), 0);
    c.install();
    std::int32_t last = 0;
    for (std::int32_t i = 0; i < c.lines; ++i) last = txt_write_line(2, u"line", ANSI);
    EXPECT_EQ(last, c.lines > 1 ? 0 : 2);
    EXPECT_EQ(txt_flush(2), c.write_fails ? 0 : 6);
    EXPECT_EQ(txt_error(2), c.write_fails ? TXT_ERROR_WRITE : 0);
    EXPECT_EQ(txt_write_line(2, u"x", ANSI), c.write_fails ? 0 : 2);
    EXPECT_EQ(txt_close(2), 0);
    os_calls_reset();
  }
  // A read that fails mid-file ends the lines as a failure, not as the end.
  std::string many;
  for (int i = 0; i < 3000; ++i) many += "line " + std::to_string(i) + "\n";
  ASSERT_NE(txt_open_read(1, file_with("in.txt", many).c_str(), TXT_SHARE_READ), 0);
  g_reads = 0;
  os_calls().file_read = SecondReadFails;
  std::int32_t lines = 0;
  do {
    txt_read_line(1, ANSI);
    ++lines;
  } while (!txt_eof(1));
  os_calls_reset();
  EXPECT_LT(lines, 3000);
  EXPECT_EQ(txt_error(1), TXT_ERROR_READ);
  EXPECT_EQ(txt_close(1), 0);
}

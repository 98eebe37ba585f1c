// The console device and the status printer with redirected standard
// handles: the bytes written, the lines read, the colour bounds and the
// result markers, the same on every target.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/status.h"
#include "console/con.h"
#include "platform/os_console.h"
#include "platform/os_file.h"

namespace {

using Bytes = std::string;
using Lines = std::vector<std::u16string>;
const std::u16string END(1, CON_END_OF_INPUT);

Bytes Utf16le(const std::u16string& s) {
  Bytes b;
  for (char16_t u : s) {
    b.push_back(static_cast<char>(u & 0xFF));
    b.push_back(static_cast<char>(u >> 8));
  }
  return b;
}

// A standard handle replaced for the life of the object.
class Redirect {
 public:
  Redirect(OsStdStream which, std::intptr_t handle) : which_(which) {
    std::fflush(stdout);
    saved_ = os_console_redirect_std(which, handle);
    EXPECT_NE(saved_, -1);
  }
  ~Redirect() { os_console_restore_std(which_, saved_); }
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

 private:
  OsStdStream which_;
  std::intptr_t saved_;
};

const char16_t* const OUT_FILE = u"console_test_out.tmp";
const char16_t* const IN_FILE = u"console_test_in.tmp";

Bytes ReadFile(const char16_t* path) {
  Bytes b;
  OsFile f = os_file_open_read(path, true);
  if (f == OS_NO_FILE) return b;
  char chunk[4096];
  std::int32_t n;
  while ((n = os_file_read(f, chunk, sizeof chunk)) > 0) b.append(chunk, static_cast<std::size_t>(n));
  os_file_close(f);
  return b;
}

void WriteFile(const char16_t* path, const Bytes& b) {
  OsFile f = os_file_create(path);
  ASSERT_NE(f, OS_NO_FILE);
  EXPECT_EQ(os_file_write(f, b.data(), static_cast<std::int32_t>(b.size())), static_cast<std::int32_t>(b.size()));
  os_file_close(f);
}

// Runs `body` with standard output redirected to a file and returns what it wrote.
template <typename Body>
Bytes Output(Body body) {
  OsFile f = os_file_create(OUT_FILE);
  EXPECT_NE(f, OS_NO_FILE);
  {
    Redirect r(OS_STD_OUTPUT, f);
    con_open(nullptr);
    body();
  }
  os_file_close(f);
  Bytes b = ReadFile(OUT_FILE);
  std::remove("console_test_out.tmp");
  return b;
}

// `calls` lines read from standard input redirected to `handle`.
Lines ReadLines(std::intptr_t handle, int calls) {
  Lines lines;
  Redirect r(OS_STD_INPUT, handle);
  con_open(nullptr);
  for (int i = 0; i < calls; ++i) lines.emplace_back(con_read_line());
  return lines;
}

Lines ReadLinesFromFile(const Bytes& content, int calls) {
  WriteFile(IN_FILE, content);
  OsFile f = os_file_open_read(IN_FILE, true);
  EXPECT_NE(f, OS_NO_FILE);
  Lines lines = ReadLines(f, calls);
  os_file_close(f);
  std::remove("console_test_in.tmp");
  return lines;
}

}  // namespace

TEST(Console, RedirectedOutputIsRawUtf16WithoutColour) {
  std::uint16_t at_open = 99;
  Bytes out = Output([&] {
    at_open = con_attribute();
    con_print_line(u"ab");
    con_set_color(12, 0);
    con_print(nullptr);
    con_print(u"");
    con_print_line(nullptr);
    con_set_color(15, 1);
    con_print(u"\u00e9\U0001F600");
    con_write(u"xyz", 2);
    con_print(u"\x1b]0;T\x07\x1b[2J\x7f\u009b\xdc9b\r\n");  // control characters go out unchanged
  });
  EXPECT_EQ(at_open, 0);  // not a console
  EXPECT_EQ(out, Bytes("a\0b\0\r\0\n\0", 8) + Bytes("\r\0\n\0", 4) + Bytes("\xE9\0\x3D\xD8\0\xDE", 6) +
                     Bytes("x\0y\0", 4) + Utf16le(u"\x1b]0;T\x07\x1b[2J\x7f\u009b\xdc9b\r\n"));
}

TEST(Console, ColourBounds) {
  std::vector<int> seen;
  Bytes out = Output([&] {
    con_set_color(12, 0);
    seen.push_back(con_attribute());
    con_set_color(16, 0);
    con_set_color(7, 16);
    con_set_color(-1, 0);
    con_set_color(3, -5);
    con_set_color(-2147483647 - 1, 0);
    seen.push_back(con_attribute());
    con_set_color(15, 1);
    seen.push_back(con_attribute());
    con_set_color(15, 15);
    seen.push_back(con_attribute());
    con_set_color(0, 0);
    seen.push_back(con_attribute());
  });
  EXPECT_EQ(seen, (std::vector<int>{12, 12, 31, 255, 0}));
  EXPECT_EQ(out, "");
}

TEST(Console, StatusMarkers) {
  std::vector<int> colours;
  Bytes out = Output([&] {
    print_status(u"name", 0, 14);
    colours.push_back(con_attribute());
    print_status(u"+", 0, 3);
    colours.push_back(con_attribute());
    print_status(u"tail", 0, 0);
    colours.push_back(con_attribute());
    print_status(u"-", 0, 14);
    colours.push_back(con_attribute());
    print_status(u"+x", 1, 7);
    colours.push_back(con_attribute());
    print_status(u"", 1, 0);
    print_status(u"-", 1, 2);
    print_status(str_from_int(42), 1, 11);  // a temporary result as the text
    colours.push_back(con_attribute());
    print_status(nullptr, 0, 16);  // an out-of-range colour keeps the last one
    colours.push_back(con_attribute());
  });
  EXPECT_EQ(colours, (std::vector<int>{14, 10, 7, 12, 7, 11, 11}));
  EXPECT_EQ(out, Utf16le(u"name Ok\r\ntail FAILED\r\n+x\r\n\r\n FAILED\r\n42\r\n"));
}

TEST(Console, RedirectedInputLines) {
  EXPECT_EQ(ReadLinesFromFile(Utf16le(u"one\r\ntwo"), 4), (Lines{u"one", u"two", END, END}));
  EXPECT_EQ(ReadLinesFromFile(Utf16le(u"a\rb\nc\r\n\r\nd\n\n"), 7), (Lines{u"a", u"b", u"c", u"", u"d", u"", END}));
  EXPECT_EQ(ReadLinesFromFile("", 2), (Lines{END, END}));
  EXPECT_EQ(ReadLinesFromFile(Utf16le(u"a\r"), 2), (Lines{u"a", END}));
  // A unit cut in half at the end of input is dropped.
  EXPECT_EQ(ReadLinesFromFile(Utf16le(u"hi\n") + "A", 3), (Lines{u"hi", END, END}));
  // Text beyond the first chunk: a long line, and a CR LF split between two reads.
  std::u16string longline(10000, u'x');
  EXPECT_EQ(ReadLinesFromFile(Utf16le(longline + u"\nshort\r\n" + longline), 4),
            (Lines{longline, u"short", longline, END}));
  std::u16string edge(4095, u'y');
  EXPECT_EQ(ReadLinesFromFile(Utf16le(edge + u"\r\nnext\r\n\r\n"), 4), (Lines{edge, u"next", u"", END}));
  EXPECT_EQ(ReadLinesFromFile(Utf16le(u"\u00e9\U0001F600z"), 2), (Lines{u"\u00e9\U0001F600z", END}));
}

TEST(Console, PipedInput) {
  std::intptr_t r = -1, w = -1;
  ASSERT_TRUE(os_console_create_pipe(&r, &w));
  Bytes text = Utf16le(u"p\r\nq");
  os_file_write(w, text.data(), static_cast<std::int32_t>(text.size()));
  os_file_close(w);  // the writer goes away: end of input
  EXPECT_EQ(ReadLines(r, 3), (Lines{u"p", u"q", END}));
  os_file_close(r);

  // A writer that hands over half a unit at a time.
  ASSERT_TRUE(os_console_create_pipe(&r, &w));
  std::thread writer([w] {
    for (const Bytes& piece : {Bytes("a\0b", 3), Bytes("\0\r", 2), Bytes("\0\n\0c", 4), Bytes("\0", 1)}) {
      os_file_write(w, piece.data(), static_cast<std::int32_t>(piece.size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    os_file_close(w);
  });
  Lines lines = ReadLines(r, 3);
  writer.join();
  os_file_close(r);
  EXPECT_EQ(lines, (Lines{u"ab", u"c", END}));
}

TEST(Console, OutputToVanishedReaderIsSilent) {
  std::intptr_t r = -1, w = -1;
  ASSERT_TRUE(os_console_create_pipe(&r, &w));
  os_file_close(r);
  {
    Redirect redirect(OS_STD_OUTPUT, w);
    con_open(nullptr);
    con_print_line(u"nobody reads this");
    print_status(u"+", 0, 0);
  }
  os_file_close(w);
  SUCCEED();
}

// Held bytes that cannot be sent (the reader went away) fail once: at the
// release, or at the next write when they were sent before it.
TEST(Console, HeldOutputFailureIsReportedOnce) {
  std::intptr_t r = -1, w = -1, in_r = -1, in_w = -1;
  ASSERT_TRUE(os_console_create_pipe(&r, &w));
  ASSERT_TRUE(os_console_create_pipe(&in_r, &in_w));
  os_file_close(r);
  ASSERT_TRUE(os_console_hold(w, true));
  EXPECT_EQ(os_console_write_bytes(w, "ab", 2), 2);  // kept
  EXPECT_FALSE(os_console_hold(w, false));
  EXPECT_TRUE(os_console_hold(w, false));

  ASSERT_TRUE(os_console_hold(w, true));
  EXPECT_EQ(os_console_write_bytes(w, "cd", 2), 2);
  EXPECT_EQ(os_file_write(in_w, "e", 1), 1);
  char byte = 0;
  EXPECT_EQ(os_console_read_bytes(in_r, &byte, 1), 1);  // sends what is held first
  EXPECT_EQ(os_console_write_bytes(w, "fg", 2), -1);
  EXPECT_EQ(os_console_write_bytes(w, "hi", 2), 2);
  EXPECT_FALSE(os_console_hold(w, false));  // these failed in turn
  EXPECT_TRUE(os_console_hold(w, false));
  for (std::intptr_t h : {w, in_r, in_w}) os_file_close(h);
}

TEST(Console, KeysFromRedirectedInput) {
  WriteFile(IN_FILE, Utf16le(u"y\r\n"));
  OsFile f = os_file_open_read(IN_FILE, true);
  ASSERT_NE(f, OS_NO_FILE);
  std::u16string key = u"?";
  std::int32_t raw = -1;
  {
    Redirect r(OS_STD_INPUT, f);
    con_open(nullptr);
    key = con_inkey();
    raw = con_raw_key();
    EXPECT_EQ(std::u16string(con_read_line()), u"y");  // the keys were left alone
  }
  os_file_close(f);
  std::remove("console_test_in.tmp");
  EXPECT_EQ(key, u"");
  EXPECT_EQ(raw, 0);
}

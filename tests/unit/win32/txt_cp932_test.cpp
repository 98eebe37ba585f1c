// Text files over a double-byte ANSI code page (932, Japanese), whatever the
// code page of the machine that runs the test.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>

#include "platform/os_text.h"
#include "textfile/txt.h"

namespace {

namespace fs = std::filesystem;

constexpr UINT CP_JAPANESE = 932;

// Reads the lines of `input` as the duplicate-line remover does, writes the
// first of each, and gives the bytes written and the number removed.
std::pair<std::string, int> unique_lines(const std::string& input) {
  fs::path dir = fs::temp_directory_path() / ("txt_cp932_" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  std::ofstream(dir / "in.txt", std::ios::binary) << input;
  txt_init();
  int removed = -1;
  if (txt_open_read(1, (dir / "in.txt").u16string().c_str(), TXT_SHARE_READ) &&
      txt_create(2, (dir / "out.txt").u16string().c_str())) {
    std::set<std::u16string> lines;
    removed = 0;
    do {
      std::u16string line = txt_read_line(1, TextFormat::Ansi);
      if (lines.insert(line).second) txt_write_line(2, line.c_str(), TextFormat::Ansi);
      else ++removed;
    } while (!txt_eof(1));
  }
  txt_close(TXT_ALL);
  std::ifstream in(dir / "out.txt", std::ios::binary);
  std::string out(std::istreambuf_iterator<char>(in), {});
  in.close();
  fs::remove_all(dir);
  return {out, removed};
}

class TxtCp932 : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t probe = 0;
    if (MultiByteToWideChar(CP_JAPANESE, 0, "\x82\xA0", 2, &probe, 1) != 1 || probe != 0x3042)
      GTEST_SKIP() << "code page 932 is not installed";
    os_text_set_ansi_code_page(CP_JAPANESE);
  }
  void TearDown() override { os_text_set_ansi_code_page(0); }
};

// Lines whose character 82 A0 (U+3042) lies before, across and after the
// buffer's refills are read whole, a repeated long line is recognised, and
// the kept lines are written back byte for byte.
TEST_F(TxtCp932, PairsAcrossRefillsRoundTrip) {
  std::string input, expected;
  for (std::size_t before : {4094u, 4095u, 4096u, 4097u, 8190u}) {
    std::string line = std::string(before, 'x') + "\x82\xA0" + "\x93\xFA\x96\x7B";  // U+3042, U+65E5 U+672C
    input += line + "\r\n" + line + "\r\n";
    expected += line + "\r\n";
  }
  EXPECT_EQ(unique_lines(input), std::make_pair(expected, 5));
}

// Two pairs of code page 932 are one character (87 90 and 81 E0 are both
// U+2252): its lines are compared as text, never as their bytes.
TEST_F(TxtCp932, LinesAreNotTakenAsTheirBytes) { EXPECT_FALSE(txt_bytes_are_text(txt_format_code(TextFormat::Ansi))); }

// A lead byte without its trail byte is no character: lines that differ only
// there stay distinct and go back unchanged.
TEST_F(TxtCp932, LeadBytesWithoutTrailStayDistinct) {
  const std::string input = "a\x81\r\na\x82\r\nb\x82 c\r\na\x81\r\nb\x82 c\r\n\x82\xA0\r\n";
  EXPECT_EQ(unique_lines(input), std::make_pair(std::string("a\x81\r\na\x82\r\nb\x82 c\r\n\x82\xA0\r\n"), 2));
}

}  // namespace

// Text files over a double-byte ANSI code page (932, Japanese): the
// system's own conversions of that code page are put in the system-call
// table, whatever the code page of the machine that runs the test.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>

#include "platform/os_seam.h"
#include "textfile/txt.h"

namespace {

namespace fs = std::filesystem;

constexpr UINT CP_JAPANESE = 932;

std::int32_t cp932_to_utf16(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity) {
  if (count <= 0) return 0;
  return MultiByteToWideChar(CP_JAPANESE, 0, src, count, reinterpret_cast<wchar_t*>(dst), dst ? capacity : 0);
}

std::int32_t utf16_to_cp932(const char16_t* src, std::int32_t count, char* dst, std::int32_t capacity) {
  if (count <= 0) return 0;
  return WideCharToMultiByte(CP_JAPANESE, 0, reinterpret_cast<const wchar_t*>(src), count, dst, dst ? capacity : 0,
                             nullptr, nullptr);
}

// Lines whose character 82 A0 (U+3042) lies before, across and after the
// buffer's refills are read whole, a repeated long line is recognised, and
// the kept lines are written back byte for byte.
TEST(TxtCp932, PairsAcrossRefillsRoundTrip) {
  wchar_t probe = 0;
  if (MultiByteToWideChar(CP_JAPANESE, 0, "\x82\xA0", 2, &probe, 1) != 1 || probe != 0x3042)
    GTEST_SKIP() << "code page 932 is not installed";
  fs::path dir = fs::temp_directory_path() / ("txt_cp932_" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  std::string input, expected;
  std::set<std::string> seen;
  for (std::size_t before : {4094u, 4095u, 4096u, 4097u, 8190u}) {
    std::string line = std::string(before, 'x') + "\x82\xA0" + "\x93\xFA\x96\x7B";  // U+3042, U+65E5 U+672C
    for (int copy = 0; copy < 2; ++copy) {
      input += line + "\r\n";
      if (seen.insert(line).second) expected += line + "\r\n";
    }
  }
  std::ofstream(dir / "in.txt", std::ios::binary) << input;

  os_calls().ansi_to_utf16 = cp932_to_utf16;
  os_calls().utf16_to_ansi = utf16_to_cp932;
  txt_init();
  ASSERT_NE(txt_open_read(1, (dir / "in.txt").u16string().c_str(), TXT_SHARE_READ), 0);
  ASSERT_NE(txt_create(2, (dir / "out.txt").u16string().c_str()), 0);
  std::set<std::u16string> lines;
  int removed = 0;
  do {
    std::u16string line = txt_read_line(1, TextFormat::Ansi);
    if (lines.insert(line).second) txt_write_line(2, line.c_str(), TextFormat::Ansi);
    else ++removed;
  } while (!txt_eof(1));
  txt_close(TXT_ALL);
  os_calls_reset();

  EXPECT_EQ(removed, 5);
  std::ifstream in(dir / "out.txt", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), expected);
  fs::remove_all(dir);
}

}  // namespace

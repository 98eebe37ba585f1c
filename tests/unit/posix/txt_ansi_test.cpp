// Text files on POSIX: the ANSI code page is ISO-8859-1, so a file without a
// mark goes through reading and writing byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "textfile/txt.h"

namespace {

namespace fs = std::filesystem;

TEST(TxtAnsi, EveryByteRoundTrips) {
  fs::path dir = fs::temp_directory_path() / ("txt_ansi_" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  std::string bytes;
  for (int line = 0; line < 3; ++line) {
    for (int b = 1; b < 256; ++b)
      if (b != '\n' && b != '\r') bytes += static_cast<char>(b);
    bytes += "\r\n";
  }
  std::ofstream(dir / "in.txt", std::ios::binary) << bytes;

  txt_init();
  ASSERT_NE(txt_open_read(1, (dir / "in.txt").u16string().c_str(), TXT_SHARE_READ), 0);
  const auto ansi = txt_detect_format(1);
  EXPECT_EQ(ansi, TextFormat::Ansi);
  ASSERT_NE(txt_create(2, (dir / "out.txt").u16string().c_str()), 0);
  do txt_write_line(2, txt_read_line(1, ansi), ansi);
  while (!txt_eof(1));
  txt_close(TXT_ALL);

  std::ifstream in(dir / "out.txt", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), bytes);
  fs::remove_all(dir);
}

}  // namespace

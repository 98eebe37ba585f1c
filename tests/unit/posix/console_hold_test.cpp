// Held console output on POSIX: standard output is one end of a packet
// socket, which keeps each write apart, so that the writes can be counted;
// or a file, whose size tells what was written.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/status.h"
#include "console/con.h"
#include "platform/os_console.h"

namespace {

std::string Utf16le(const std::u16string& s) {
  std::string b;
  for (char16_t u : s) {
    b.push_back(static_cast<char>(u & 0xFF));
    b.push_back(static_cast<char>(u >> 8));
  }
  return b;
}

// Standard input and output replaced for the life of the object.
class Redirected {
 public:
  Redirected(int in, int out) {
    std::fflush(stdout);
    in_ = os_console_redirect_std(OS_STD_INPUT, in);
    out_ = os_console_redirect_std(OS_STD_OUTPUT, out);
    EXPECT_TRUE(in_ >= 0 && out_ >= 0);
    con_open(nullptr);
  }
  ~Redirected() {
    con_hold(false);
    os_console_restore_std(OS_STD_OUTPUT, out_);
    os_console_restore_std(OS_STD_INPUT, in_);
  }
  Redirected(const Redirected&) = delete;
  Redirected& operator=(const Redirected&) = delete;

 private:
  std::intptr_t in_ = -1;
  std::intptr_t out_ = -1;
};

using Packets = std::vector<std::string>;

// The writes that reached the socket's other end so far, one per packet.
Packets Writes(int end) {
  Packets writes;
  char buf[1 << 17];
  ssize_t n;
  while ((n = ::recv(end, buf, sizeof buf, MSG_DONTWAIT)) >= 0) writes.emplace_back(buf, static_cast<std::size_t>(n));
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  return writes;
}

}  // namespace

TEST(ConsoleHold, HeldOutputGoesOutInOneWrite) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
  int in[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  const std::string line = Utf16le(u"l\r\n");
  ASSERT_EQ(::write(in[1], line.data(), line.size()), ssize_t(line.size()));
  {
    Redirected redirected(in[0], sv[1]);
    // A batch of lines in pieces and colours: nothing before the release, then one write.
    con_hold(true);
    print_status(u"name", 0, 8);
    print_status(u"+", 0, 0);
    print_status_line(u"a ", u"b", 4);
    EXPECT_EQ(Writes(sv[0]), Packets{});
    con_hold(false);
    EXPECT_EQ(Writes(sv[0]), Packets{Utf16le(u"name Ok\r\na b\r\n")});
    // What is held goes out before a key poll and before a line read; the hold goes on.
    con_hold(true);
    con_print(u"x");
    con_inkey();
    EXPECT_EQ(Writes(sv[0]), Packets{Utf16le(u"x")});
    con_print(u"y");
    EXPECT_EQ(std::u16string(con_read_line()), u"l");
    EXPECT_EQ(Writes(sv[0]), Packets{Utf16le(u"y")});
    // Past the bound, what is held goes out at once.
    const std::u16string piece(1000, u'z');
    for (int i = 0; i < 40; ++i) con_print(piece.c_str());
    Packets early = Writes(sv[0]);
    ASSERT_EQ(early.size(), 1u);
    EXPECT_EQ(early[0].size(), 33 * 2000u);
    con_hold(false);
    Packets rest = Writes(sv[0]);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0], Utf16le(std::u16string(7 * 1000, u'z')));
  }
  for (int fd : {sv[0], sv[1], in[0], in[1]}) ::close(fd);
}

TEST(ConsoleHold, HeldFileOutputGoesOutWhenForced) {
  char path[] = "/tmp/console_hold_XXXXXX";
  int file = ::mkstemp(path);
  ASSERT_GE(file, 0);
  ::unlink(path);
  int in[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  auto size = [file] {
    struct stat st {};
    return ::fstat(file, &st) == 0 ? st.st_size : -1;
  };
  {
    Redirected redirected(in[0], file);
    con_hold(true);
    con_print(u"a");
    EXPECT_EQ(size(), 0);
    con_print_line(u"b");  // a line forces a file's output to disk, held or not
    EXPECT_EQ(size(), 8);
  }
  for (int fd : {file, in[0], in[1]}) ::close(fd);
}

// The file collector on POSIX: a chain of directories deeper than the
// descriptors left to the process is walked whole, in the same order.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/arr.h"
#include "dupfiles/collect.h"
#include "filesystem/fs.h"
#include "regex/rx.h"

namespace {

// Runs the collector on `root` in a child process left with `spare`
// descriptors; the paths it stored, one a line, or "failed".
std::string CollectWithSpareDescriptors(const std::string& root, int spare) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    int lowest = ::dup(0);  // the first free descriptor: every one below it is taken
    ::close(lowest);
    const rlimit few = {static_cast<rlim_t>(lowest + spare), static_cast<rlim_t>(lowest + spare)};
    if (lowest < 0 || ::setrlimit(RLIMIT_NOFILE, &few) != 0) std::_Exit(2);
    FileList list;
    std::u16string wroot(root.begin(), root.end());
    collect_files(wroot.c_str(), &list, u"", -1);
    std::string out;
    for (std::int32_t i = 1; i <= list.size(); ++i) {
      for (char16_t c : list[i] ? listed_path(list[i]) : u"") out += static_cast<char>(c);
      out += '\n';
    }
    std::_Exit(::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 3);
  }
  ::close(fds[1]);
  std::string got;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? got : "failed";
}

TEST(CollectPosix, AChainDeeperThanTheSpareDescriptorsIsWalkedWhole) {
  fs_init();
  rx_init();
  const char* tmp = std::getenv("TMPDIR");
  std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/orlethe-collect-XXXXXX";
  ASSERT_NE(::mkdtemp(root.data()), nullptr);
  std::string dir = root, expected;
  for (int level = 0; level < 30; ++level) {
    int fd = ::open((dir + "/f").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    expected += dir + "/f\n";
    dir += "/d";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  }
  EXPECT_EQ(CollectWithSpareDescriptors(root, 4), expected);
  std::string cmd = "rm -rf '" + root + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
}

}  // namespace

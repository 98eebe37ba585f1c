// A deletion confirmed at the moment of removal, on POSIX: it never goes
// through a link, never removes a file that is not the one compared, never
// waits on a pipe, and never takes a file for a copy of itself.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "dupfiles/deleter.h"
#include "filesystem/fs.h"

namespace {

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class DeleterPosix : public testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = std::string(tmp && *tmp ? tmp : "/tmp");
    std::string t1 = base + "/orlethe-deleter-XXXXXX", t2 = base + "/orlethe-outside-XXXXXX";
    ASSERT_NE(::mkdtemp(t1.data()), nullptr);
    ASSERT_NE(::mkdtemp(t2.data()), nullptr);
    root_ = t1 + "/";
    outside_ = t2 + "/";
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + root_ + "' '" + outside_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  static void write(const std::string& path, const std::string& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  static bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }
  std::int32_t confirm_and_delete(const std::string& rel, const std::string& kept_rel) const {
    return deleter_confirm_and_delete(wide(root_ + rel).c_str(), wide(root_ + kept_rel).c_str(),
                                      static_cast<std::int32_t>(root_.size()));
  }
  std::string root_, outside_;
};

TEST_F(DeleterPosix, OnlyAnEqualOtherFileReachedWithoutLinksIsDeleted) {
  write(root_ + "keep", "same");
  write(root_ + "copy", "same");
  write(root_ + "other", "diff");
  ASSERT_EQ(::link((root_ + "keep").c_str(), (root_ + "hard").c_str()), 0);
  ASSERT_EQ(::mkdir((root_ + "sub").c_str(), 0755), 0);
  write(root_ + "sub/ro", "same");
  ASSERT_EQ(::chmod((root_ + "sub/ro").c_str(), 0444), 0);
  // A directory of the tree that became a link to one outside it.
  write(outside_ + "victim", "same");
  ASSERT_EQ(::symlink(outside_.c_str(), (root_ + "dirlink").c_str()), 0);
  ASSERT_EQ(::symlink((root_ + "copy").c_str(), (root_ + "filelink").c_str()), 0);
  ASSERT_EQ(::mkfifo((root_ + "fifo").c_str(), 0600), 0);

  struct Case {
    const char* path;
    const char* kept;
    std::int32_t deleted;
  } cases[] = {
      {"other", "keep", 0},            // different bytes
      {"hard", "keep", 0},             // the kept file itself under another name
      {"dirlink/victim", "keep", 0},   // through a directory link
      {"filelink", "keep", 0},         // a link is not a file to delete
      {"fifo", "keep", 0},             // neither is a pipe, and it is not waited on
      {"copy", "missing", 0},          // no kept file to compare with
      {"copy", "filelink", 0},         // nor one reached through a link
      {"sub/ro", "keep", 1},           // read-only: forced
      {"copy", "keep", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(confirm_and_delete(c.path, c.kept), c.deleted) << c.path;
  for (const char* left : {"keep", "hard", "other", "filelink", "fifo"}) EXPECT_TRUE(exists(root_ + left)) << left;
  EXPECT_TRUE(exists(outside_ + "victim"));
  EXPECT_FALSE(exists(root_ + "copy"));
  EXPECT_FALSE(exists(root_ + "sub/ro"));
}

}  // namespace

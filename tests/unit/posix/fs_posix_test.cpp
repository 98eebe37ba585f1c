// File system on POSIX: the root, backslashes in names, links and their
// identity, and names that are not valid UTF-8.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>
#include <utility>

#include "filesystem/fs.h"
#include "regex/rx.h"

namespace {

std::u16string u16(CStr s) { return s ? std::u16string(s) : std::u16string(); }
std::u16string wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

class FsPosixTest : public testing::Test {
 protected:
  void SetUp() override {
    fs_init();
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/orlethe-fsposix-XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    fs_dir_release_all();
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string at(const std::string& name) const { return dir_ + "/" + name; }
  std::u16string wat(const std::string& name) const { return wide(at(name)); }
  void write(const std::string& name, const std::string& bytes) const {
    int fd = ::open(at(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  std::string dir_;
};

TEST(FsPosix, RootIsADirectory) {
  EXPECT_EQ(fs_file_size(u"/"), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size(u"//"), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size(u"/tmp/"), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size(u"C:"), FS_SIZE_MISSING);  // no drive letters here
}

TEST_F(FsPosixTest, BackslashIsPartOfAName) {
  write("a\\b.txt", "abc");
  EXPECT_EQ(fs_file_size(wat("a\\b.txt").c_str()), 3);
  EXPECT_EQ(fs_file_size(wat("a\\").c_str()), FS_SIZE_MISSING);  // not trimmed as a separator
  EXPECT_EQ(u16(fs_file_part(wat("a\\b.txt").c_str())), u"a\\b.txt");
  ObjectId id = fs_dir_open(OBJ_ANY, wide(dir_).c_str(), u"a\\*");
  ASSERT_NE(id, 0);
  ASSERT_EQ(fs_dir_next(id), 1);
  EXPECT_EQ(u16(fs_dir_entry_name(id)), u"a\\b.txt");
  fs_dir_close(id);
}

// "*" and "?" are units of a name here: a size look-up names one entry and
// never takes the first match of a pattern ("." for "*").
TEST_F(FsPosixTest, WildcardsAreUnitsOfAName) {
  write("five.txt", "12345");
  write("*", "ab");
  write("a?c", "abc");
  ASSERT_EQ(::mkdir(at("sub").c_str(), 0755), 0);
  const std::pair<const char*, std::int64_t> cases[] = {
      {"*", 2},  {"a?c", 3}, {"*.txt", FS_SIZE_MISSING}, {"fi?e.*", FS_SIZE_MISSING}, {"su*", FS_SIZE_MISSING},
      {"?", FS_SIZE_MISSING}, {"missing/*.*", FS_SIZE_MISSING}, {"*/", 2}};
  for (const auto& [name, size] : cases) EXPECT_EQ(fs_file_size(wat(name).c_str()), size) << name;
  // Enumerations still take their mask as a pattern.
  ObjectId id = fs_dir_open(OBJ_ANY, wide(dir_).c_str(), u"*.txt");
  ASSERT_NE(id, 0);
  ASSERT_EQ(fs_dir_next(id), 1);
  EXPECT_EQ(u16(fs_dir_entry_name(id)), u"five.txt");
  EXPECT_EQ(fs_dir_next(id), 0);
  fs_dir_close(id);
}

TEST_F(FsPosixTest, LinksAreReportedAndNotDeletedThrough) {
  ASSERT_EQ(::mkdir(at("sub").c_str(), 0755), 0);
  write("file.txt", "12345");
  ASSERT_EQ(::symlink("sub", at("dirlink").c_str()), 0);
  ASSERT_EQ(::symlink("file.txt", at("filelink").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", at("dangling").c_str()), 0);
  ASSERT_EQ(::link(at("file.txt").c_str(), at("hard.txt").c_str()), 0);

  std::set<std::pair<std::u16string, std::pair<std::int32_t, std::int32_t>>> seen;
  ObjectId id = fs_dir_open(OBJ_ANY, wide(dir_).c_str(), u"*.*");
  ASSERT_NE(id, 0);
  while (fs_dir_next(id)) seen.insert({u16(fs_dir_entry_name(id)), {fs_dir_entry_type(id), fs_dir_entry_is_link(id)}});
  fs_dir_close(id);
  std::set<std::pair<std::u16string, std::pair<std::int32_t, std::int32_t>>> expected = {
      {u".", {FS_ENTRY_DIRECTORY, 0}},    {u"..", {FS_ENTRY_DIRECTORY, 0}},   {u"sub", {FS_ENTRY_DIRECTORY, 0}},
      {u"file.txt", {FS_ENTRY_FILE, 0}},  {u"hard.txt", {FS_ENTRY_FILE, 0}},  {u"dirlink", {FS_ENTRY_DIRECTORY, 1}},
      {u"filelink", {FS_ENTRY_FILE, 1}}, {u"dangling", {FS_ENTRY_FILE, 1}}};
  EXPECT_EQ(seen, expected);

  EXPECT_EQ(fs_file_size(wat("dirlink").c_str()), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size(wat("filelink").c_str()), 5);
  EXPECT_EQ(fs_same_file(wat("file.txt").c_str(), wat("filelink").c_str()), 1);
  EXPECT_EQ(fs_same_file(wat("file.txt").c_str(), wat("hard.txt").c_str()), 1);
  EXPECT_EQ(fs_same_file(wat("dangling").c_str(), wat("dangling").c_str()), 0);

  // Deleting a link removes the link only; a link to a directory is refused.
  ASSERT_EQ(::chmod(at("file.txt").c_str(), 0444), 0);
  EXPECT_EQ(fs_delete_file(wat("filelink").c_str(), FS_DELETE_FORCE), 1);
  struct stat st;
  ASSERT_EQ(::stat(at("file.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);  // the target's permissions were not touched
  EXPECT_EQ(fs_delete_file(wat("dirlink").c_str(), FS_DELETE_FORCE), 0);
  EXPECT_EQ(fs_file_size(wat("sub").c_str()), FS_SIZE_DIRECTORY);
  // Forcing gives the owner write permission back and deletes the file.
  EXPECT_EQ(fs_delete_file(wat("file.txt").c_str()), 0);
  EXPECT_EQ(fs_delete_file(wat("file.txt").c_str(), FS_DELETE_FORCE), 1);
  EXPECT_EQ(fs_file_size(wat("hard.txt").c_str()), 5);
}

// Listed but not searched: each entry keeps the kind the listing gives, and
// "." and ".." are never taken for files.
TEST_F(FsPosixTest, ADirectoryThatCannotBeSearchedStillListsKinds) {
  if (::geteuid() == 0) GTEST_SKIP() << "root searches every directory: a mode of 0444 cannot be reproduced";
  ASSERT_EQ(::mkdir(at("sub").c_str(), 0755), 0);
  write("sub/f", "x");
  ASSERT_EQ(::mkdir(at("sub/d").c_str(), 0755), 0);
  ASSERT_EQ(::chmod(at("sub").c_str(), 0444), 0);
  std::set<std::pair<std::u16string, std::int32_t>> seen;
  ObjectId id = fs_dir_open(OBJ_ANY, wat("sub").c_str(), u"*.*");
  ASSERT_NE(id, 0);
  while (fs_dir_next(id)) seen.insert({u16(fs_dir_entry_name(id)), fs_dir_entry_type(id)});
  fs_dir_close(id);
  ::chmod(at("sub").c_str(), 0755);
  const std::set<std::pair<std::u16string, std::int32_t>> expected = {
      {u".", FS_ENTRY_DIRECTORY}, {u"..", FS_ENTRY_DIRECTORY}, {u"f", FS_ENTRY_FILE}, {u"d", FS_ENTRY_DIRECTORY}};
  EXPECT_EQ(seen, expected);
}

TEST_F(FsPosixTest, UndecodableNamesRoundTrip) {
  write("bad\xff.txt", "xy");
  ObjectId id = fs_dir_open(OBJ_ANY, wide(dir_).c_str(), u"bad*");
  ASSERT_NE(id, 0);
  ASSERT_EQ(fs_dir_next(id), 1);
  std::u16string name = u16(fs_dir_entry_name(id));
  fs_dir_close(id);
  EXPECT_EQ(name, u"bad\xDCFF.txt");
  std::u16string full = wide(dir_) + u"/" + name;
  EXPECT_EQ(fs_file_size(full.c_str()), 2);

  rx_init();
  ObjectId rx = rx_create(OBJ_ANY, u"^bad.\\.txt$");
  EXPECT_EQ(rx_match(rx, name.c_str()), 1);
  rx_end();

  EXPECT_EQ(fs_delete_file(full.c_str()), 1);
  EXPECT_EQ(fs_file_size(full.c_str()), FS_SIZE_MISSING);
}

}  // namespace

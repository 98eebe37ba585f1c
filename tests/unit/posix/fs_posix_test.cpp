// File system on POSIX: the root, backslashes in names, links and their
// identity, names that are not valid UTF-8, and paths past the system's
// limit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>
#include <utility>

#include "filesystem/fs.h"
#include "fingerprint/fp.h"
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

// A chain of directories below `top`, made through relative steps: the
// path of its deepest directory, which is past PATH_MAX, and that
// directory's descriptor.
std::pair<std::string, int> DeepChain(const std::string& top, const std::string& name, int levels) {
  std::string path = top;
  int here = ::open(top.c_str(), O_RDONLY | O_DIRECTORY);
  for (int k = 0; k < levels && here >= 0; ++k) {
    EXPECT_EQ(::mkdirat(here, name.c_str(), 0755), 0);
    int below = ::openat(here, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(here);
    here = below;
    path += "/" + name;
  }
  EXPECT_GT(path.size(), static_cast<std::size_t>(PATH_MAX));
  return {path, here};
}

void WriteAt(int dir, const char* name, const std::string& bytes, mode_t mode = 0644) {
  int fd = ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL, mode);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

// Every call a scan makes on a file reaches it below the path limit: its
// size, its stamp, its contents, its directory's listing, a hold and a
// deletion of each kind (a read-only file forced).
TEST_F(FsPosixTest, PathsPastTheLimitAreReachedThroughTheirDirectories) {
  auto [deep, fd] = DeepChain(dir_, std::string(250, 'n'), 18);
  ASSERT_GE(fd, 0);
  WriteAt(fd, "f", "abc");
  WriteAt(fd, "g", "abc");
  WriteAt(fd, "ro", "abc", 0444);
  const std::u16string w = wide(deep);
  const std::u16string f = w + u"/f", g = w + u"/g", ro = w + u"/ro";
  const std::int32_t root_length = static_cast<std::int32_t>(dir_.size()) + 1;

  EXPECT_EQ(fs_file_size(w.c_str()), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size(f.c_str()), 3);
  FsFileStamp stamp{};
  EXPECT_EQ(fs_file_stamp(f.c_str(), &stamp), 1);
  EXPECT_EQ(stamp.size, 3);
  fp_use_md5();
  EXPECT_EQ(u16(fp_file_fingerprint(f.c_str(), FP_PLUGIN_MD5)), u"900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(fp_files_equal(f.c_str(), g.c_str()), 1);

  std::set<std::u16string> listed;
  ObjectId id = fs_dir_open(OBJ_ANY, w.c_str(), u"*.*");
  ASSERT_NE(id, 0);
  while (fs_dir_next(id)) listed.insert(u16(fs_dir_entry_name(id)));
  fs_dir_close(id);
  EXPECT_EQ(listed, (std::set<std::u16string>{u".", u"..", u"f", u"g", u"ro"}));

  FsHeldFile copy{}, kept{};
  ASSERT_EQ(fs_hold_file(g.c_str(), root_length, 1, &copy), 1);
  ASSERT_EQ(fs_hold_file(f.c_str(), root_length, 0, &kept), 1);
  EXPECT_EQ(fp_held_equal(&copy, &kept), 1);
  EXPECT_EQ(fs_delete_held(g.c_str(), root_length, &copy, FS_DELETE_FORCE), 1);
  fs_release_held(&copy);
  fs_release_held(&kept);
  EXPECT_EQ(fs_delete_file(ro.c_str()), 0);
  EXPECT_EQ(fs_delete_file(ro.c_str(), FS_DELETE_FORCE), 1);
  struct stat st;
  EXPECT_NE(::fstatat(fd, "g", &st, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_NE(::fstatat(fd, "ro", &st, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_EQ(::fstatat(fd, "f", &st, AT_SYMLINK_NOFOLLOW), 0);
  ::close(fd);
}

// A directory on the way that became a link (to a tree of the same shape) is
// not followed by any of those calls, and nothing behind it is touched.
TEST_F(FsPosixTest, ALinkOnTheWayPastTheLimitIsNotFollowed) {
  const std::string name(250, 'n');
  ASSERT_EQ(::mkdir(at("a").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(at("b").c_str(), 0755), 0);
  auto [deep, fd] = DeepChain(at("b"), name, 18);
  ASSERT_GE(fd, 0);
  WriteAt(fd, "f", "abc");
  ::close(fd);
  ASSERT_EQ(::symlink(at("b/" + name).c_str(), at("a/" + name).c_str()), 0);
  const std::u16string f = wide(at("a") + deep.substr(at("b").size())) + u"/f";
  const std::int32_t root_length = static_cast<std::int32_t>(dir_.size()) + 1;

  EXPECT_EQ(fs_file_size(f.c_str()), FS_SIZE_MISSING);
  FsFileStamp stamp{};
  EXPECT_EQ(fs_file_stamp(f.c_str(), &stamp), 0);
  fp_use_md5();
  EXPECT_EQ(u16(fp_file_fingerprint(f.c_str(), FP_PLUGIN_MD5)), u"");
  EXPECT_EQ(fs_dir_open(OBJ_ANY, f.substr(0, f.size() - 2).c_str(), u"*.*"), 0);
  FsHeldFile held{};
  EXPECT_EQ(fs_hold_file(f.c_str(), root_length, 1, &held), 0);
  EXPECT_EQ(fs_delete_file(f.c_str(), FS_DELETE_FORCE), 0);
  EXPECT_EQ(fs_file_size(wide(deep + "/f").c_str()), 3);
}

}  // namespace

// File system: entry sizes, deletion of read-only files, file-name parts,
// directory enumerations and file identity, in a fresh temporary directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <utility>

#include "filesystem/fs.h"
#include "platform/os_file.h"
#include "platform/os_fs.h"

namespace {

namespace stdfs = std::filesystem;

std::u16string u16(CStr s) { return s ? std::u16string(s) : std::u16string(); }

class FsTest : public testing::Test {
 protected:
  void SetUp() override {
    fs_init();
    std::random_device rd;
    std::error_code ec;
    for (int i = 0; i < 100; ++i) {
      dir_ = stdfs::temp_directory_path(ec) / ("orlethe-fs-" + std::to_string(rd()));
      if (stdfs::create_directory(dir_, ec)) break;
    }
    ASSERT_TRUE(stdfs::is_directory(dir_, ec));
    sep_ = std::u16string(1, fs_separator());
  }

  void TearDown() override {
    fs_dir_release_all();
    std::error_code ec;
    // Read-only files would stop the removal on Windows.
    for (auto it = stdfs::recursive_directory_iterator(dir_, ec); !ec && it != stdfs::recursive_directory_iterator();
         it.increment(ec))
      os_set_attributes(it->path().u16string().c_str(), OS_ATTR_NORMAL);
    stdfs::remove_all(dir_, ec);
  }

  std::u16string dir() const { return dir_.u16string(); }
  std::u16string path(const std::u16string& name) const { return dir() + sep_ + name; }

  void write_file(const std::u16string& name, const std::string& bytes) const {
    OsFile f = os_file_create(path(name).c_str());
    ASSERT_NE(f, OS_NO_FILE);
    EXPECT_EQ(os_file_write(f, bytes.data(), static_cast<std::int32_t>(bytes.size())),
              static_cast<std::int32_t>(bytes.size()));
    os_file_close(f);
  }

  void make_dir(const std::u16string& name) const {
    std::error_code ec;
    ASSERT_TRUE(stdfs::create_directory(stdfs::path(path(name)), ec));
  }

  // Every entry of an enumeration: name and type.
  static std::set<std::pair<std::u16string, std::int32_t>> list(ObjectId id) {
    std::set<std::pair<std::u16string, std::int32_t>> entries;
    while (fs_dir_next(id)) entries.emplace(u16(fs_dir_entry_name(id)), fs_dir_entry_type(id));
    return entries;
  }

  stdfs::path dir_;
  std::u16string sep_;
};

TEST_F(FsTest, FileSizeOfFilesDirectoriesAndMissingPaths) {
  write_file(u"zero.dat", "");
  write_file(u"five.txt", "12345");
  make_dir(u"sub");
  EXPECT_EQ(fs_file_size(path(u"zero.dat").c_str()), 0);
  EXPECT_EQ(fs_file_size(path(u"five.txt").c_str()), 5);
  EXPECT_EQ(fs_file_size(dir().c_str()), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size((dir() + sep_).c_str()), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size((dir() + u"/").c_str()), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size((path(u"sub") + sep_ + sep_).c_str()), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size(path(u"missing").c_str()), FS_SIZE_MISSING);
  EXPECT_EQ(fs_file_size(path(u"missing/x").c_str()), FS_SIZE_MISSING);
  EXPECT_EQ(fs_file_size(path(u"five.txt/x").c_str()), FS_SIZE_MISSING);
  EXPECT_EQ(fs_file_size(nullptr), FS_SIZE_MISSING);
  EXPECT_EQ(fs_file_size(u""), FS_SIZE_MISSING);
  // A listing gives the same sizes.
  ObjectId listing = fs_dir_open(OBJ_ANY, dir().c_str(), u"*.*");
  std::map<std::u16string, std::int64_t> listed;
  while (fs_dir_next(listing)) listed[u16(fs_dir_entry_name(listing))] = fs_dir_entry_size(listing);
  fs_dir_close(listing);
  EXPECT_EQ(listed[u"five.txt"], 5);
  EXPECT_EQ(listed[u"zero.dat"], 0);
  EXPECT_EQ(listed[u"sub"], 0);
  EXPECT_EQ(fs_dir_entry_size(listing), -1);
}

TEST_F(FsTest, FileSizeAboveFourGibibytes) {
  // A sparse file: one byte written past 5 GiB.
  const std::int64_t offset = std::int64_t{5} << 30;
  OsFile f = os_file_create(path(u"big.bin").c_str());
  ASSERT_NE(f, OS_NO_FILE);
  ASSERT_EQ(os_file_seek(f, offset, OS_SEEK_BEGIN), offset);
  ASSERT_EQ(os_file_write(f, "x", 1), 1);
  os_file_close(f);
  EXPECT_EQ(fs_file_size(path(u"big.bin").c_str()), offset + 1);
  EXPECT_EQ(fs_delete_file(path(u"big.bin").c_str()), 1);
}

TEST_F(FsTest, DeleteReadOnlyOnlyWhenForced) {
  write_file(u"ro.txt", "keep");
  std::u16string ro = path(u"ro.txt");
  ASSERT_TRUE(os_set_attributes(ro.c_str(), OS_ATTR_READONLY));
  EXPECT_NE(os_get_attributes(ro.c_str()) & OS_ATTR_READONLY, 0u);
  EXPECT_EQ(fs_delete_file(ro.c_str()), 0);
  EXPECT_EQ(fs_delete_file(ro.c_str(), 0), 0);
  EXPECT_EQ(fs_file_size(ro.c_str()), 4);
  EXPECT_EQ(fs_delete_file(ro.c_str(), FS_DELETE_FORCE), 1);
  EXPECT_EQ(fs_file_size(ro.c_str()), FS_SIZE_MISSING);

  write_file(u"plain.txt", "x");
  EXPECT_EQ(fs_delete_file(path(u"plain.txt").c_str()), 1);
  EXPECT_EQ(fs_delete_file(path(u"plain.txt").c_str(), FS_DELETE_FORCE), 0);  // already gone
  make_dir(u"sub");
  EXPECT_EQ(fs_delete_file(path(u"sub").c_str(), FS_DELETE_FORCE), 0);
  EXPECT_EQ(fs_file_size(path(u"sub").c_str()), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_delete_file(nullptr, FS_DELETE_FORCE), 0);
}

TEST(FsFilePart, NameAfterTheLastSeparator) {
  EXPECT_EQ(u16(fs_file_part(u"C:/data/file.txt")), u"file.txt");
  EXPECT_EQ(u16(fs_file_part(u"\"C:/data/file.txt\"")), u"file.txt");
  EXPECT_EQ(u16(fs_file_part(u"\"file.txt\" rest")), u"file.txt");
  EXPECT_EQ(u16(fs_file_part(u"C:/data/")), u"");
  EXPECT_EQ(u16(fs_file_part(u"file.txt")), u"file.txt");
  EXPECT_EQ(u16(fs_file_part(u"C:file.txt")), u"C:file.txt");
  EXPECT_EQ(u16(fs_file_part(u"\"")), u"");
  EXPECT_EQ(u16(fs_file_part(u"")), u"");
  EXPECT_EQ(u16(fs_file_part(nullptr)), u"");
  // A backslash separates only where the system says so.
  EXPECT_EQ(u16(fs_file_part(u"C:\\data\\file.txt")), fs_is_separator(u'\\') ? u"file.txt" : u"C:\\data\\file.txt");
  EXPECT_EQ(fs_is_separator(u'/'), 1);
  EXPECT_EQ(fs_is_separator(u'a'), 0);
  // The argument may itself be a temporary result.
  EXPECT_EQ(u16(fs_file_part(fs_file_part(u"\"a/b/c.txt\""))), u"c.txt");
}

TEST_F(FsTest, EnumerationListsDotsAndMatchesMasks) {
  write_file(u"a.txt", "a");
  write_file(u"b.dat", "bb");
  write_file(u"noext", "");
  make_dir(u"sub");
  const std::set<std::pair<std::u16string, std::int32_t>> all = {
      {u".", FS_ENTRY_DIRECTORY},  {u"..", FS_ENTRY_DIRECTORY}, {u"a.txt", FS_ENTRY_FILE},
      {u"b.dat", FS_ENTRY_FILE}, {u"noext", FS_ENTRY_FILE},    {u"sub", FS_ENTRY_DIRECTORY}};

  ObjectId id = fs_dir_open(OBJ_ANY, dir().c_str(), u"*.*");
  ASSERT_NE(id, 0);
  EXPECT_EQ(list(id), all);
  EXPECT_EQ(fs_dir_next(id), 0);  // stays exhausted
  EXPECT_EQ(fs_dir_entry_is_link(id), 0);
  fs_dir_close(id);

  id = fs_dir_open(OBJ_ANY, (dir() + sep_).c_str(), nullptr);  // default mask, trailing separator
  ASSERT_NE(id, 0);
  EXPECT_EQ(list(id), all);
  fs_dir_close(id);

  id = fs_dir_open(OBJ_ANY, dir().c_str(), u"?.txt");
  ASSERT_NE(id, 0);
  EXPECT_EQ(list(id), (std::set<std::pair<std::u16string, std::int32_t>>{{u"a.txt", FS_ENTRY_FILE}}));
  fs_dir_close(id);

  id = fs_dir_open(OBJ_ANY, dir().c_str(), u"noext");  // a plain name lists that entry
  ASSERT_NE(id, 0);
  EXPECT_EQ(list(id), (std::set<std::pair<std::u16string, std::int32_t>>{{u"noext", FS_ENTRY_FILE}}));
  fs_dir_close(id);

  // A mask that matches nothing: an enumeration without entries.
  id = fs_dir_open(OBJ_ANY, dir().c_str(), u"*.zzz");
  ASSERT_NE(id, 0);
  EXPECT_EQ(fs_dir_next(id), 0);
  EXPECT_EQ(fs_dir_next(id), 0);
  EXPECT_EQ(u16(fs_dir_entry_name(id)), u"");
  fs_dir_close(id);

  // A missing directory, or a file taken for one, cannot be listed.
  EXPECT_EQ(fs_dir_open(OBJ_ANY, path(u"missing").c_str(), u"*.*"), 0);
  EXPECT_EQ(fs_dir_open(OBJ_ANY, path(u"missing").c_str(), u"noext"), 0);
  EXPECT_EQ(fs_dir_open(OBJ_ANY, path(u"a.txt").c_str(), u"*.*"), 0);
  EXPECT_EQ(fs_dir_open(7, path(u"missing").c_str(), u"*.*"), 0);
  EXPECT_EQ(fs_dir_next(7), 0);
  EXPECT_EQ(fs_dir_entry_type(7), 0);
}

TEST_F(FsTest, NumberedEnumerationsReopenCloseAndRelease) {
  write_file(u"a.txt", "a");
  write_file(u"noext", "");
  // Nothing is open yet: every id is without enumeration.
  EXPECT_EQ(fs_dir_next(1), 0);
  EXPECT_EQ(u16(fs_dir_entry_name(1)), u"");
  EXPECT_EQ(fs_dir_entry_type(1), 0);
  fs_dir_close(1);

  EXPECT_NE(fs_dir_open(3, dir().c_str(), u"*.txt"), 0);
  ASSERT_EQ(fs_dir_next(3), 1);
  EXPECT_EQ(u16(fs_dir_entry_name(3)), u"a.txt");
  EXPECT_EQ(fs_dir_entry_type(3), FS_ENTRY_FILE);
  // Re-opening the number closes the first search and starts anew.
  EXPECT_NE(fs_dir_open(3, dir().c_str(), u"no*"), 0);
  ASSERT_EQ(fs_dir_next(3), 1);
  EXPECT_EQ(u16(fs_dir_entry_name(3)), u"noext");
  EXPECT_EQ(fs_dir_next(3), 0);
  fs_dir_close(3);
  fs_dir_close(3);  // the second close does nothing
  EXPECT_EQ(fs_dir_next(3), 0);
  EXPECT_EQ(u16(fs_dir_entry_name(3)), u"");
  EXPECT_EQ(fs_dir_entry_type(3), 0);
  EXPECT_EQ(fs_dir_entry_type(5), 0);

  // Numbers beyond the first 16 slots grow the table.
  EXPECT_NE(fs_dir_open(40, dir().c_str(), u"*.*"), 0);
  ObjectId any = fs_dir_open(OBJ_ANY, dir().c_str(), u"*.*");
  ASSERT_NE(any, 0);
  EXPECT_EQ(fs_dir_next(40), 1);
  EXPECT_EQ(fs_dir_next(any), 1);
  fs_dir_release_all();
  EXPECT_EQ(fs_dir_next(40), 0);
  EXPECT_EQ(fs_dir_next(any), 0);
  EXPECT_EQ(fs_dir_entry_type(any), 0);
  fs_dir_close(any);
}

TEST_F(FsTest, FileIdentity) {
  write_file(u"a.txt", "same");
  write_file(u"b.txt", "same");
  make_dir(u"sub");
  FsFileIdentity a{}, b{};
  ASSERT_EQ(fs_file_identity(path(u"a.txt").c_str(), &a), 1);
  ASSERT_EQ(fs_file_identity(path(u"b.txt").c_str(), &b), 1);
  EXPECT_FALSE(a == b);
  EXPECT_EQ(fs_same_file(path(u"a.txt").c_str(), (path(u"sub") + sep_ + u".." + sep_ + u"a.txt").c_str()), 1);
  EXPECT_EQ(fs_same_file(path(u"a.txt").c_str(), path(u"b.txt").c_str()), 0);
  EXPECT_EQ(fs_same_file(path(u"a.txt").c_str(), path(u"missing").c_str()), 0);
  EXPECT_EQ(fs_file_identity(nullptr, &a), 0);
  EXPECT_EQ(fs_file_identity(path(u"missing").c_str(), &a), 0);
}

}  // namespace

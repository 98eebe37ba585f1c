// Every file service of the Windows backend on paths of any length: trees
// nested past 260 and past 1,000 units, reached by absolute and relative
// paths; the conversion against the system's own full paths; a conversion
// without memory fails the call.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "filesystem/fs.h"
#include "fingerprint/fp.h"
#include "platform/os_file.h"
#include "platform/os_fs.h"
#include "platform/os_seam.h"
#include "platform/win32/win32_path.h"
#include "platform/win32/win32_util.h"

namespace {

std::u16string u16(const wchar_t* w) { return reinterpret_cast<const char16_t*>(w); }
const wchar_t* w(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
std::u16string extended(const std::u16string& full) { return u"\\\\?\\" + full; }

std::u16string current_dir() {
  std::wstring b(GetCurrentDirectoryW(0, nullptr), L'\0');
  b.resize(GetCurrentDirectoryW(static_cast<DWORD>(b.size()), b.data()));
  return u16(b.c_str());
}

std::u16string system_full_path(const std::u16string& p) {
  std::wstring b(GetFullPathNameW(w(p), 0, nullptr, nullptr) + 1, L'\0');
  b.resize(GetFullPathNameW(w(p), static_cast<DWORD>(b.size()), b.data(), nullptr));
  return u16(b.c_str());
}

std::u16string full(const std::u16string& p, const std::u16string& dir) {
  std::u16string b(win_path_capacity(p, dir), u'\0');
  return std::u16string(win_full_path(p, dir, false, b.data()));
}

bool exists(const std::u16string& full_path) {
  return GetFileAttributesW(w(extended(full_path))) != INVALID_FILE_ATTRIBUTES;
}

// Removes a tree by extended paths, read-only files included.
void remove_tree(const std::u16string& dir) {
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW(w(extended(dir + u"\\*")), &d);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::u16string name = u16(d.cFileName);
      if (name == u"." || name == u"..") continue;
      std::u16string p = dir + u"\\" + name;
      if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(p);
      } else {
        SetFileAttributesW(w(extended(p)), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(w(extended(p)));
      }
    } while (FindNextFileW(h, &d));
    FindClose(h);
  }
  RemoveDirectoryW(w(extended(dir)));
}

// Fails the process heap's blocks, which the conversion takes; hands every
// other heap's on.
void* refuse_process_heap(OsHeap heap, std::size_t bytes) {
  return heap == GetProcessHeap() ? nullptr : os_system_calls().heap_alloc(heap, bytes);
}

class WinLongPathTest : public testing::Test {
 protected:
  void SetUp() override {
    fs_init();
    std::wstring temp(GetTempPathW(0, nullptr), L'\0');
    temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
    std::random_device rd;
    base_ = u16(temp.c_str()) + u"orlethe-long-" + u16(std::to_wstring(rd()).c_str());
    ASSERT_TRUE(CreateDirectoryW(w(base_), nullptr));
    saved_dir_ = current_dir();
  }
  void TearDown() override {
    os_calls_reset();
    SetCurrentDirectoryW(w(saved_dir_));
    fs_dir_release_all();
    remove_tree(base_);
  }

  // A directory below the base whose full path is at least `units` long.
  std::u16string deep(std::size_t units) const {
    std::u16string p = base_;
    char16_t letter = u'a';
    while (p.size() < units) {
      p += u'\\';
      p.append(std::min<std::size_t>(100, std::max<std::size_t>(units - p.size(), 1)), letter);
      letter = letter == u'z' ? u'a' : letter + 1;
      EXPECT_TRUE(CreateDirectoryW(w(extended(p)), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) << p.size();
    }
    return p;
  }

  static void write(const std::u16string& path, const std::string& bytes) {
    OsFile f = os_file_create(path.c_str());
    ASSERT_NE(f, OS_NO_FILE) << path.size();
    EXPECT_EQ(os_file_write(f, bytes.data(), static_cast<std::int32_t>(bytes.size())),
              static_cast<std::int32_t>(bytes.size()));
    EXPECT_TRUE(os_file_close(f));
  }

  static std::string read(const std::u16string& path) {
    OsFile f = os_file_open_read(path.c_str(), true);
    EXPECT_NE(f, OS_NO_FILE) << path.size();
    char buffer[64];
    std::int32_t n = f == OS_NO_FILE ? 0 : os_file_read(f, buffer, sizeof buffer);
    os_file_close(f);
    return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  }

  static std::set<std::u16string> listing(const std::u16string& dir) {
    std::set<std::u16string> names;
    ObjectId id = fs_dir_open(OBJ_ANY, dir.c_str(), u"*.*");
    EXPECT_NE(id, 0) << dir.size();
    while (id && fs_dir_next(id)) names.insert(fs_dir_entry_name(id));
    fs_dir_close(id);
    return names;
  }

  std::u16string base_, saved_dir_;
};

}  // namespace

// The system's own full paths, which every conversion must equal. (A drive
// alone, "C:", is left out: wine ends its full path in a separator, Windows
// does not.)
TEST(WinLongPathConversion, FullPathsAsTheSystemMakesThem) {
  std::u16string cwd = current_dir();
  std::u16string drive = cwd.substr(0, 2), lower = drive;
  lower[0] = static_cast<char16_t>(lower[0] | 0x20);
  std::vector<std::u16string> paths = {
      u"x.txt", u"sub/x.txt", u".", u"..", u".\\", u"..\\..\\x", u"\\x", u"/x/y", drive + u"x", lower + u"x",
      drive + u"\\a\\.\\b\\..\\c", drive + u"/a//b", drive + u"\\..\\..\\a", drive + u"\\a\\b\\..\\",
      drive + u"\\a\\name.  . ", drive + u"\\a\\dir.\\x", drive + u"\\a\\dir..\\x", drive + u"\\a\\dir \\x",
      drive + u"\\a\\...\\x", drive + u"\\a\\..b\\.c", u"x. ", u"\\\\srv\\share\\a\\..\\..\\b", u"//srv/share/a",
      u"\\\\srv\\share\\..", u"\\\\.\\C:\\a\\..\\b", u"//?/C:/a/../b"};
  for (const std::u16string& p : paths)
    EXPECT_EQ(full(p, cwd), system_full_path(p)) << std::string(p.begin(), p.end());
}

TEST_F(WinLongPathTest, EveryServiceAtAnyDepth) {
  fp_use_md5();
  for (std::size_t units : {300u, 1100u}) {
    std::u16string d = deep(units), f = d + u"\\f.txt";
    write(f, "abc");
    EXPECT_EQ(read(f), "abc");
    EXPECT_EQ(fs_file_size(f.c_str()), 3);
    EXPECT_EQ(fs_file_size((f + u". ").c_str()), 3);  // trimmed as Windows trims
    EXPECT_EQ(fs_file_size(d.c_str()), FS_SIZE_DIRECTORY);
    EXPECT_EQ(fs_file_size((d + u"\\").c_str()), FS_SIZE_DIRECTORY);
    EXPECT_EQ(listing(d), (std::set<std::u16string>{u".", u"..", u"f.txt"}));
    EXPECT_EQ(std::u16string(fp_file_fingerprint(f.c_str(), FP_PLUGIN_MD5)), u"900150983cd24fb0d6963f7d28e17f72");

    // Forward slashes and "..", which the extended form does not resolve.
    std::u16string slashed = d + u"/sub/../f.txt";
    for (char16_t& c : slashed)
      if (c == u'\\') c = u'/';
    EXPECT_EQ(fs_file_size(slashed.c_str()), 3);
    EXPECT_EQ(read(slashed), "abc");

    OsFileStamp stamp{}, again{};
    ASSERT_TRUE(os_file_stamp(f.c_str(), &stamp));
    EXPECT_NE(os_get_attributes(f.c_str()), OS_ATTR_INVALID);
    ASSERT_TRUE(os_set_attributes(f.c_str(), OS_ATTR_READONLY));
    EXPECT_EQ(fs_delete_file(f.c_str(), 0), 0);
    EXPECT_TRUE(exists(f));
    EXPECT_EQ(fs_delete_file(f.c_str(), FS_DELETE_FORCE), 1);
    EXPECT_FALSE(exists(f));

    // A checked deletion below a root.
    write(f, "abc");
    OsHeldEntry held{};
    ASSERT_TRUE(os_entry_open(f.c_str(), static_cast<std::int32_t>(base_.size()), true, &held));
    ASSERT_TRUE(os_file_stamp(f.c_str(), &again));
    EXPECT_EQ(again.identity, held.identity);
    EXPECT_TRUE(os_entry_delete(f.c_str(), static_cast<std::int32_t>(base_.size()), &held, true));
    os_entry_close(&held);
    EXPECT_FALSE(exists(f));

    // The output of a refused creation: a directory in its way.
    ASSERT_TRUE(CreateDirectoryW(w(extended(d + u"\\in_new")), nullptr));
    EXPECT_EQ(os_file_create((d + u"\\in_new").c_str()), OS_NO_FILE);
    EXPECT_EQ(listing(d), (std::set<std::u16string>{u".", u"..", u"in_new"}));
  }
}

// A name's trailing dots and blanks go, as Windows drops them, whether or
// not the path is long: the file created is the path's own entry.
TEST_F(WinLongPathTest, TrailingDotsAndBlanksAtAnyLength) {
  for (const std::u16string& d : {base_, deep(300)}) {
    write(d + u"\\name. .", "12");
    EXPECT_TRUE(exists(d + u"\\name")) << d.size();
    EXPECT_EQ(fs_file_size((d + u"\\name.").c_str()), 2);
    EXPECT_EQ(read(d + u"\\name "), "12");
  }
}

// Relative paths that reach deep below the current directory. (The current
// directory itself is kept short: Windows refuses a longer one to programs
// that are not long-path aware, and wine keeps it in a buffer of MAX_PATH.)
TEST_F(WinLongPathTest, RelativePathsBelowTheCurrentDirectory) {
  std::u16string d = deep(1100);
  ASSERT_TRUE(SetCurrentDirectoryW(w(base_)));
  std::u16string below = d.substr(base_.size() + 1), base_name = base_.substr(base_.rfind(u'\\') + 1);
  std::u16string rel = below + u"\\rel.txt";
  write(rel, "xyz");
  EXPECT_TRUE(exists(d + u"\\rel.txt"));
  EXPECT_EQ(fs_file_size(rel.c_str()), 3);
  EXPECT_EQ(fs_file_size((u"..\\" + base_name + u"/" + rel).c_str()), 3);
  EXPECT_EQ(fs_file_size((u".\\" + below).c_str()), FS_SIZE_DIRECTORY);
  EXPECT_EQ(listing(below), (std::set<std::u16string>{u".", u"..", u"rel.txt"}));
  EXPECT_EQ(read(u".\\" + rel), "xyz");
  EXPECT_EQ(fs_delete_file(rel.c_str(), 0), 1);
  EXPECT_FALSE(exists(d + u"\\rel.txt"));
}

// Without memory for the conversion no call is made: nothing is created,
// deleted or found, and the failure is no "nothing matches".
TEST_F(WinLongPathTest, ConversionWithoutMemoryFailsTheCall) {
  std::u16string d = deep(1100), f = d + u"\\f.txt";
  write(f, "abc");
  os_calls().heap_alloc = refuse_process_heap;
  EXPECT_EQ(os_file_create((d + u"\\new.txt").c_str()), OS_NO_FILE);
  EXPECT_EQ(os_file_open_read(f.c_str(), true), OS_NO_FILE);
  EXPECT_EQ(fs_file_size(f.c_str()), FS_SIZE_MISSING);
  EXPECT_EQ(fs_delete_file(f.c_str(), FS_DELETE_FORCE), 0);
  OsFindEntry entry;
  std::uint32_t error = 0;
  EXPECT_EQ(os_find_first((d + u"\\*.*").c_str(), &entry, &error), OS_NO_FIND);
  EXPECT_NE(error, OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(fs_dir_open(OBJ_ANY, d.c_str(), u"*.*"), 0);
  OsHeldEntry held{};
  EXPECT_FALSE(os_entry_open(f.c_str(), static_cast<std::int32_t>(base_.size()), true, &held));
  os_calls_reset();
  EXPECT_FALSE(exists(d + u"\\new.txt"));
  EXPECT_EQ(read(f), "abc");
}

// The Windows backend's path conversion: full paths as Windows makes them,
// and the extended form of long ones. Pure string work: this test is also
// built natively.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/win32_path.h"

namespace {

struct Case {
  std::u16string path;
  std::u16string current_dir;
  std::u16string expected;
};

// Runs a conversion in a buffer of exactly the capacity it asks for, with a
// guard unit after it that must stay untouched.
template <typename Convert>
std::u16string convert(Convert fn, const std::u16string& path, const std::u16string& dir, bool pattern = false) {
  std::size_t capacity = win_path_capacity(path, dir);
  std::u16string buffer(capacity + 1, u'#');
  std::u16string_view result = fn(path, dir, pattern, buffer.data());
  EXPECT_EQ(buffer[capacity], u'#') << "wrote past the capacity";
  EXPECT_GE(result.data(), buffer.data());
  EXPECT_LT(result.data() + result.size(), buffer.data() + capacity);
  EXPECT_EQ(result.data()[result.size()], 0) << "not zero-terminated";
  return std::u16string(result);
}

std::u16string full(const std::u16string& path, const std::u16string& dir, bool pattern = false) {
  return convert(win_full_path, path, dir, pattern);
}
std::u16string system(const std::u16string& path, const std::u16string& dir, bool pattern = false) {
  return convert(win_system_path, path, dir, pattern);
}

const std::u16string CWD = u"C:\\work\\dir";
const std::u16string UNC_CWD = u"\\\\srv\\share\\dir";

// A path of `units` units below C:\ (components of 50), for the lengths
// around the limit.
std::u16string long_dir(std::size_t units) {
  std::u16string p = u"C:";
  while (p.size() + 51 <= units) p += u"\\" + std::u16string(50, u'd');
  if (p.size() < units) p += u"\\" + std::u16string(units - p.size() - 1, u'e');
  return p;
}

}  // namespace

TEST(WinPath, DrivePaths) {
  for (const Case& c : std::vector<Case>{
           {u"C:\\a\\b", CWD, u"C:\\a\\b"},
           {u"c:/a/b", CWD, u"c:\\a\\b"},
           {u"C:\\a\\\\b//c\\", CWD, u"C:\\a\\b\\c\\"},
           {u"C:\\", CWD, u"C:\\"},
           {u"C:/", CWD, u"C:\\"},
           {u"C:\\\\\\a", CWD, u"C:\\a"},
       })
    EXPECT_EQ(full(c.path, c.current_dir), c.expected) << std::string(c.path.begin(), c.path.end());
}

TEST(WinPath, RelativePaths) {
  for (const Case& c : std::vector<Case>{
           {u"x.txt", CWD, u"C:\\work\\dir\\x.txt"},
           {u"sub/x.txt", CWD, u"C:\\work\\dir\\sub\\x.txt"},
           {u".", CWD, u"C:\\work\\dir"},
           {u".\\", CWD, u"C:\\work\\dir\\"},
           {u"\\x", CWD, u"C:\\x"},
           {u"/x/y", CWD, u"C:\\x\\y"},
           {u"C:x", CWD, u"C:\\work\\dir\\x"},
           {u"c:x", CWD, u"C:\\work\\dir\\x"},
           {u"C:", CWD, u"C:\\work\\dir"},
           {u"D:x", CWD, u"D:\\x"},   // no directory known for D: its root
           {u"D:", CWD, u"D:\\"},
           {u"D:x", u"D:\\elsewhere", u"D:\\elsewhere\\x"},
           {u"x", u"C:\\", u"C:\\x"},
           {u"x", u"C:\\work\\", u"C:\\work\\x"},
           {u"x", u"\\\\?\\C:\\long", u"C:\\long\\x"},  // a current directory in extended form
           {u"x", u"\\\\?\\UNC\\srv\\share\\d", u"\\\\srv\\share\\d\\x"},
           {u"x", u"", u"x"},  // no directory to start from: left to the system
           {u"\\x", u"relative", u"\\x"},
       })
    EXPECT_EQ(full(c.path, c.current_dir), c.expected) << std::string(c.path.begin(), c.path.end());
}

TEST(WinPath, UncPaths) {
  for (const Case& c : std::vector<Case>{
           {u"\\\\srv\\share\\a\\..\\..\\b", CWD, u"\\\\srv\\share\\b"},
           {u"//srv/share/a", CWD, u"\\\\srv\\share\\a"},
           {u"\\\\srv\\share", CWD, u"\\\\srv\\share"},
           {u"\\\\srv\\share\\", CWD, u"\\\\srv\\share\\"},
           {u"\\\\srv\\share\\..", CWD, u"\\\\srv\\share\\"},
           {u"x", UNC_CWD, u"\\\\srv\\share\\dir\\x"},
           {u"..\\..\\..\\x", UNC_CWD, u"\\\\srv\\share\\x"},
           {u"\\x", UNC_CWD, u"\\\\srv\\share\\x"},
           {u"\\x", u"\\\\srv\\share", u"\\\\srv\\share\\x"},
           {u"C:x", UNC_CWD, u"C:\\x"},
       })
    EXPECT_EQ(full(c.path, c.current_dir), c.expected) << std::string(c.path.begin(), c.path.end());
}

TEST(WinPath, DotsResolved) {
  for (const Case& c : std::vector<Case>{
           {u"C:\\a\\.\\b\\..\\c", CWD, u"C:\\a\\c"},
           {u"C:\\..\\..\\a", CWD, u"C:\\a"},
           {u"C:\\a\\.", CWD, u"C:\\a"},
           {u"C:\\a\\..", CWD, u"C:\\"},
           {u"C:\\a\\b\\..", CWD, u"C:\\a"},
           {u"C:\\a\\b\\..\\", CWD, u"C:\\a\\"},
           {u"..\\x", CWD, u"C:\\work\\x"},
           {u"../../../../x", CWD, u"C:\\x"},
           {u"..", u"C:\\", u"C:\\"},
           {u"C:\\a\\..b\\.c", CWD, u"C:\\a\\..b\\.c"},  // names that only begin with dots
       })
    EXPECT_EQ(full(c.path, c.current_dir), c.expected) << std::string(c.path.begin(), c.path.end());
}

TEST(WinPath, TrailingBlanksAndDots) {
  for (const Case& c : std::vector<Case>{
           {u"C:\\a\\name.  . ", CWD, u"C:\\a\\name"},
           {u"C:\\a\\name.txt.", CWD, u"C:\\a\\name.txt"},
           {u"C:\\a\\dir.\\x", CWD, u"C:\\a\\dir\\x"},    // one dot before a separator goes
           {u"C:\\a\\dir..\\x", CWD, u"C:\\a\\dir.\\x"},  // only one
           {u"C:\\a\\dir \\x", CWD, u"C:\\a\\dir \\x"},   // a blank before a separator stays
           {u"C:\\a\\dir \\", CWD, u"C:\\a\\dir \\"},
           {u"C:\\a\\...\\x", CWD, u"C:\\a\\..\\x"},
           {u"x. ", CWD, u"C:\\work\\dir\\x"},
           {u"   ", CWD, u""},  // names nothing
           {u"", CWD, u""},
       })
    EXPECT_EQ(full(c.path, c.current_dir), c.expected) << std::string(c.path.begin(), c.path.end());
}

TEST(WinPath, PrefixedAndDevicePaths) {
  for (const Case& c : std::vector<Case>{
           {u"\\\\?\\C:\\a\\..\\b.", CWD, u"\\\\?\\C:\\a\\..\\b."},  // taken as it is
           {u"\\\\?\\UNC\\srv\\share\\x", CWD, u"\\\\?\\UNC\\srv\\share\\x"},
           {u"\\\\.\\C:\\a\\..\\b", CWD, u"\\\\.\\C:\\b"},
           {u"//?/C:/a/../b", CWD, u"\\\\?\\C:\\b"},  // not exactly "\\?\": made full
           {u"\\\\.", CWD, u"\\\\."},
       })
    EXPECT_EQ(full(c.path, c.current_dir), c.expected) << std::string(c.path.begin(), c.path.end());
}

// A search mask after the directory is kept as it is; without a wildcard
// the last component is a name like any other.
TEST(WinPath, SearchPatterns) {
  for (const Case& c : std::vector<Case>{
           {u"C:\\a\\..\\*.*", CWD, u"C:\\*.*"},
           {u"*.*", CWD, u"C:\\work\\dir\\*.*"},
           {u"C:*.?", CWD, u"C:\\work\\dir\\*.?"},
           {u"\\*", CWD, u"C:\\*"},
           {u"sub/a*.", CWD, u"C:\\work\\dir\\sub\\a*."},
           {u"sub/name.", CWD, u"C:\\work\\dir\\sub\\name"},
       })
    EXPECT_EQ(full(c.path, c.current_dir, true), c.expected) << std::string(c.path.begin(), c.path.end());
  EXPECT_EQ(full(u"sub/a*.", CWD), u"C:\\work\\dir\\sub\\a*");
}

// Below the limit the system gets the path as given; from it on, the full
// path in extended form.
TEST(WinPath, ExtendedFormFromTheLimitOn) {
  EXPECT_EQ(system(u"C:/a/../b", CWD), u"C:/a/../b");
  EXPECT_EQ(system(u"x", CWD), u"x");
  std::u16string below = long_dir(WIN_LONG_PATH - 1), at = long_dir(WIN_LONG_PATH);
  EXPECT_EQ(system(below, CWD), below);
  EXPECT_EQ(system(at, CWD), u"\\\\?\\" + at);
  // The full length counts, not the given one.
  std::u16string deep = long_dir(300);
  EXPECT_EQ(system(u"x", deep), u"\\\\?\\" + deep + u"\\x");
  EXPECT_EQ(system(u"..\\x", deep), u"\\\\?\\" + deep.substr(0, deep.rfind(u'\\')) + u"\\x");
  EXPECT_EQ(system(u"a/./b/../" + deep.substr(3), CWD), u"\\\\?\\C:\\work\\dir\\a\\" + deep.substr(3));
  EXPECT_EQ(system(deep + u"\\name. ", CWD), u"\\\\?\\" + deep + u"\\name");
  EXPECT_EQ(system(deep + u"\\*.*", CWD, true), u"\\\\?\\" + deep + u"\\*.*");
  std::u16string tail = deep.substr(2);
  EXPECT_EQ(system(u"\\\\srv\\share" + tail, CWD), u"\\\\?\\UNC\\srv\\share" + tail);
  EXPECT_EQ(system(u"//srv/share" + tail + u"/..", CWD),
            u"\\\\?\\UNC\\srv\\share" + tail.substr(0, tail.rfind(u'\\')));
  EXPECT_EQ(system(tail, UNC_CWD), u"\\\\?\\UNC\\srv\\share" + tail);
  EXPECT_EQ(system(u"\\\\.\\" + deep, CWD), u"\\\\?\\" + deep);
  EXPECT_EQ(system(u"\\\\?\\" + deep + u"\\.", CWD), u"\\\\?\\" + deep + u"\\.");
  EXPECT_EQ(system(u"x", u"\\\\?\\" + deep), u"\\\\?\\" + deep + u"\\x");
  // No limit of our own below the system's 32,767 units.
  std::u16string longest = long_dir(32000);
  EXPECT_EQ(system(longest, CWD), u"\\\\?\\" + longest);
  // A path that cannot be made absolute stays as it is.
  EXPECT_EQ(system(tail.substr(1), u""), tail.substr(1));
}

TEST(WinPath, OtherDrive) {
  EXPECT_EQ(win_path_other_drive(u"D:x", CWD), u'D');
  EXPECT_EQ(win_path_other_drive(u"d:", CWD), u'd');
  EXPECT_EQ(win_path_other_drive(u"c:x", CWD), 0);
  EXPECT_EQ(win_path_other_drive(u"c:x", u"\\\\?\\C:\\x"), 0);
  EXPECT_EQ(win_path_other_drive(u"C:x", UNC_CWD), u'C');
  EXPECT_EQ(win_path_other_drive(u"D:\\x", CWD), 0);
  EXPECT_EQ(win_path_other_drive(u"x", CWD), 0);
}

TEST(WinPath, AbsoluteWithoutCurrentDirectory) {
  for (const char16_t* p : {u"C:\\x", u"c:/", u"\\\\srv\\share", u"//srv/share", u"\\\\?\\C:\\x", u"\\\\.\\pipe\\x"})
    EXPECT_TRUE(win_path_is_absolute(p)) << std::u16string(p).size();
  for (const char16_t* p : {u"x", u"", u"\\x", u"/x", u"C:", u"C:x", u".."})
    EXPECT_FALSE(win_path_is_absolute(p)) << std::u16string(p).size();
}

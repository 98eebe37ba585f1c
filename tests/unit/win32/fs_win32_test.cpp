// File system on Windows: drive designators, backslash paths and device names.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "filesystem/fs.h"
#include "fingerprint/fp.h"
#include "platform/os_file.h"
#include "platform/os_fs.h"

TEST(FsWin32, DriveDesignators) {
  EXPECT_EQ(fs_file_size(u"C:"), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size(u"C:\\"), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size(u"C:/"), FS_SIZE_DIRECTORY);
  // A letter that names no drive.
  std::u16string missing;
  for (char16_t letter = u'Y'; letter >= u'K' && missing.empty(); --letter) {
    std::u16string root = {letter, u':', u'\\'};
    if (os_drive_type(root.c_str()) <= OS_DRIVE_NO_ROOT_DIR) missing = {letter, u':'};
  }
  ASSERT_FALSE(missing.empty());
  EXPECT_EQ(fs_file_size(missing.c_str()), FS_SIZE_MISSING);
  EXPECT_EQ(fs_file_size((missing + u"\\").c_str()), FS_SIZE_MISSING);
}

TEST(FsWin32, BackslashPaths) {
  EXPECT_EQ(fs_file_size(u"C:\\windows"), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size(u"C:\\windows\\\\"), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size(u"C:\\windows/"), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size(u"C:\\no such directory\\x"), FS_SIZE_MISSING);
  EXPECT_EQ(fs_file_size(u"C:\\windows\\system32\\..\\..\\windows"), FS_SIZE_DIRECTORY);
  EXPECT_EQ(std::u16string(fs_file_part(u"\"C:\\data\\file.txt\"")), u"file.txt");
}

// A size look-up is a search: wildcards in the last component give the
// first matching entry.
TEST(FsWin32, WildcardsGiveTheFirstMatch) {
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  std::u16string dir = reinterpret_cast<const char16_t*>(temp);
  dir += u"orlethe-fs-wild-" + std::u16string(1, static_cast<char16_t>(u'a' + GetCurrentProcessId() % 26));
  ASSERT_TRUE(CreateDirectoryW(reinterpret_cast<const wchar_t*>(dir.c_str()), nullptr) ||
              GetLastError() == ERROR_ALREADY_EXISTS);
  std::u16string five = dir + u"\\five.txt", sub = dir + u"\\sub";
  OsFile f = os_file_create(five.c_str());
  ASSERT_NE(f, OS_NO_FILE);
  EXPECT_EQ(os_file_write(f, "12345", 5), 5);
  os_file_close(f);
  CreateDirectoryW(reinterpret_cast<const wchar_t*>(sub.c_str()), nullptr);
  EXPECT_EQ(fs_file_size((dir + u"\\*.txt").c_str()), 5);
  EXPECT_EQ(fs_file_size((dir + u"\\fi?e.*").c_str()), 5);
  EXPECT_EQ(fs_file_size((dir + u"\\su*").c_str()), FS_SIZE_DIRECTORY);
  EXPECT_EQ(fs_file_size((dir + u"\\*.none").c_str()), FS_SIZE_MISSING);
  EXPECT_EQ(fs_file_size((dir + u"\\missing\\*.*").c_str()), FS_SIZE_MISSING);
  fs_delete_file(five.c_str());
  RemoveDirectoryW(reinterpret_cast<const wchar_t*>(sub.c_str()));
  RemoveDirectoryW(reinterpret_cast<const wchar_t*>(dir.c_str()));
}

// A device name opens a device, not a file on a disk: it is never read, so
// it can neither hang a fingerprint nor pass for an empty file.
TEST(FsWin32, DeviceNamesAreNotRead) {
  fp_use_md5();
  for (const char16_t* device : {u"NUL", u"CON", u"C:\\windows\\NUL"})
    EXPECT_EQ(std::u16string(fp_file_fingerprint(device, FP_PLUGIN_MD5)), u"");
}

// File fingerprints of POSIX-only kinds of entries: only regular files are
// read, so a named pipe neither hangs nor passes for an empty file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "fingerprint/fp.h"

TEST(FingerprintPosix, PipesAndDirectories) {
  fp_use_md5();
  ASSERT_EQ(::mkfifo("fp_posix_fifo", 0600), 0);
  // Not a regular file: refused at once, without waiting for a writer.
  EXPECT_EQ(std::u16string(fp_file_fingerprint(u"fp_posix_fifo", FP_PLUGIN_MD5)), u"");
  ::unlink("fp_posix_fifo");
  // A device, also behind a link, is refused by the kind of what was opened.
  ASSERT_EQ(::symlink("/dev/zero", "fp_posix_zero"), 0);
  EXPECT_EQ(std::u16string(fp_file_fingerprint(u"fp_posix_zero", FP_PLUGIN_MD5)), u"");
  EXPECT_EQ(std::u16string(fp_file_fingerprint(u"/dev/null", FP_PLUGIN_MD5)), u"");
  ::unlink("fp_posix_zero");

  ASSERT_EQ(::mkdir("fp_posix_dir", 0700), 0);
  EXPECT_EQ(std::u16string(fp_file_fingerprint(u"fp_posix_dir", FP_PLUGIN_MD5)), u"");
  EXPECT_EQ(std::u16string(fp_file_fingerprint(u"/", FP_PLUGIN_MD5)), u"");
  ::rmdir("fp_posix_dir");
}

// File fingerprints of POSIX-only kinds of entries: a named pipe must not
// hang the fingerprint, and a directory cannot be fingerprinted.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "fingerprint/fp.h"

TEST(FingerprintPosix, PipesAndDirectories) {
  fp_use_md5();
  ASSERT_EQ(::mkfifo("fp_posix_fifo", 0600), 0);
  // No writer: the open does not wait for one and the pipe reads as empty.
  CStr digest = fp_file_fingerprint(u"fp_posix_fifo", FP_PLUGIN_MD5);
  EXPECT_EQ(std::u16string(digest), u"d41d8cd98f00b204e9800998ecf8427e");
  ::unlink("fp_posix_fifo");

  ASSERT_EQ(::mkdir("fp_posix_dir", 0700), 0);
  EXPECT_EQ(std::u16string(fp_file_fingerprint(u"fp_posix_dir", FP_PLUGIN_MD5)), u"");
  EXPECT_EQ(std::u16string(fp_file_fingerprint(u"/", FP_PLUGIN_MD5)), u"");
  ::rmdir("fp_posix_dir");
}

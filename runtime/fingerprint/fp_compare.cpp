// Byte-for-byte comparison of two files: the confirmation that a matching
// fingerprint really means equal contents.
#include <cstring>
#include <memory>
#include <new>

#include "fingerprint/fp.h"
#include "platform/os_file.h"

namespace {

constexpr std::int32_t COMPARE_CHUNK = 256 * 1024;

struct FileCloser {
  OsFile f = OS_NO_FILE;
  ~FileCloser() { os_file_close(f); }
};

// Reads until the buffer is full or the file ends; -1 on a read failure.
std::int32_t fp_read_full(OsFile f, unsigned char* buf, std::int32_t bytes) {
  std::int32_t done = 0;
  while (done < bytes) {
    std::int32_t n = os_file_read(f, buf + done, bytes - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
  }
  return done;
}

}  // namespace

std::int32_t fp_files_equal(CStr a, CStr b) {
  FileCloser fa{os_file_open_read(a, true)}, fb{os_file_open_read(b, true)};
  if (fa.f == OS_NO_FILE || fb.f == OS_NO_FILE) return -1;
  std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[2 * static_cast<std::size_t>(COMPARE_CHUNK)]);
  if (!buf) return -1;
  unsigned char* ba = buf.get();
  unsigned char* bb = ba + COMPARE_CHUNK;
  for (;;) {
    std::int32_t na = fp_read_full(fa.f, ba, COMPARE_CHUNK);
    std::int32_t nb = fp_read_full(fb.f, bb, COMPARE_CHUNK);
    if (na < 0 || nb < 0) return -1;
    if (na != nb || std::memcmp(ba, bb, static_cast<std::size_t>(na)) != 0) return 0;
    if (na < COMPARE_CHUNK) return 1;
  }
}

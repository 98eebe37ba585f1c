// Whole-file helpers beside the fingerprint: byte-for-byte comparison (the
// confirmation that a matching fingerprint means equal contents), the head
// of a file and files read piece by piece side by side, all usable from any
// thread.
#include <cstring>
#include <memory>
#include <new>

#include "filesystem/fs_platform.h"
#include "fingerprint/fp.h"
#include "platform/os_file.h"
#include "platform/os_fs.h"

namespace {

constexpr std::int32_t COMPARE_CHUNK = 256 * 1024;

std::int32_t fp_read_some(OsFile f, unsigned char* buf, std::int32_t bytes) { return os_file_read(f, buf, bytes); }
std::int32_t fp_read_some(FsHeldFile* f, unsigned char* buf, std::int32_t bytes) { return fs_held_read(f, buf, bytes); }

// Reads until the buffer is full or the file ends; -1 on a read failure. A
// file read gives less than asked only at its end.
template <class Source>
std::int32_t fp_read_full(Source f, unsigned char* buf, std::int32_t bytes) {
  std::int32_t done = 0;
  while (done < bytes) {
    std::int32_t n = fp_read_some(f, buf + done, bytes - done);
    if (n < 0) return -1;
    done += n;
    if (n < bytes - (done - n)) break;
  }
  return done;
}

// Compares two sources chunk by chunk through ba and bb, of `chunk` bytes
// each: 1 when equal to their ends, 0 when they differ, -1 on a read failure.
template <class Source>
std::int32_t fp_equal_from(Source a, Source b, unsigned char* ba, unsigned char* bb, std::int32_t chunk) {
  for (;;) {
    std::int32_t na = fp_read_full(a, ba, chunk);
    std::int32_t nb = fp_read_full(b, bb, chunk);
    if (na < 0 || nb < 0) return -1;
    if (na != nb || std::memcmp(ba, bb, static_cast<std::size_t>(na)) != 0) return 0;
    if (na < chunk) return 1;
  }
}

bool fp_stamp_of(OsFile f, FsFileStamp* out) {
  OsFileStamp s;
  if (!os_file_stamp_open(f, &s)) return false;
  *out = fs_stamp_of(s);
  return true;
}

// Opens a file for reading and, when asked, stamps it as opened and again
// after it was read: the read stands for the file only when nothing changed
// in between.
struct WatchedFile {
  OsFile f = OS_NO_FILE;
  FpReadStamp* out;
  FsFileStamp before{};
  bool have_before = false;
  WatchedFile(CStr path, FpReadStamp* o) : out(o) {
    if (!out) {
      f = os_file_open_read(path, true);
      return;
    }
    out->steady = out->changed = false;
    f = os_file_open_read(path, true);
    have_before = f != OS_NO_FILE && fp_stamp_of(f, &before);
  }
  ~WatchedFile() { os_file_close(f); }
  WatchedFile(const WatchedFile&) = delete;
  WatchedFile& operator=(const WatchedFile&) = delete;
  void finish() {
    if (!out || !have_before || !fp_stamp_of(f, &out->stamp)) return;
    out->steady = out->stamp == before;
    out->changed = !out->steady;
  }
  // The file taken to stand as it was opened.
  void finish_unread() {
    if (!out || !have_before) return;
    out->stamp = before;
    out->steady = true;
    out->changed = false;
  }
};

}  // namespace

std::int32_t fp_files_equal(CStr a, CStr b, FpReadStamp* stamp_a, FpReadStamp* stamp_b) {
  WatchedFile wa(a, stamp_a), wb(b, stamp_b);
  if (wa.f == OS_NO_FILE || wb.f == OS_NO_FILE) return -1;
  std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[2 * static_cast<std::size_t>(COMPARE_CHUNK)]);
  if (!buf) return -1;
  std::int32_t equal = fp_equal_from(wa.f, wb.f, buf.get(), buf.get() + COMPARE_CHUNK, COMPARE_CHUNK);
  if (equal == 1) {
    wa.finish();
    wb.finish();
  }
  return equal;
}

std::int32_t fp_held_equal(FsHeldFile* a, FsHeldFile* b, unsigned char* buffer) {
  // Small chunks: the files are mostly in the page cache by now, and many
  // deletion threads each keep a buffer.
  constexpr std::int32_t chunk = FP_COMPARE_BUFFER_BYTES / 2;
  std::unique_ptr<unsigned char[]> own(buffer ? nullptr : new (std::nothrow) unsigned char[FP_COMPARE_BUFFER_BYTES]);
  if (!buffer) buffer = own.get();
  if (!buffer || !a || !b) return -1;
  return fp_equal_from(a, b, buffer, buffer + chunk, chunk);
}

std::int32_t fp_file_head(CStr path, void* buffer, std::int32_t bytes, FpReadStamp* stamp) {
  WatchedFile w(path, stamp);
  if (w.f == OS_NO_FILE) return -1;
  std::int32_t n = fp_read_full(w.f, static_cast<unsigned char*>(buffer), bytes);
  if (n < 0) return 0;
  // The head stands for the file as it was opened: a change made while it
  // was read shows in any stamp taken later, so none is taken here.
  w.finish_unread();
  return n;
}

struct FpPieceReader {
  FpReadStamp stamp{};
  WatchedFile file;
  explicit FpPieceReader(CStr path) : file(path, &stamp) {}
};

FpPieceReader* fp_reader_open(CStr path) {
  std::unique_ptr<FpPieceReader> r(new (std::nothrow) FpPieceReader(path));
  if (!r || r->file.f == OS_NO_FILE) return nullptr;
  return r.release();
}

std::int32_t fp_reader_read(FpPieceReader* reader, void* buffer, std::int32_t bytes) {
  return fp_read_full(reader->file.f, static_cast<unsigned char*>(buffer), bytes);
}

void fp_reader_close(FpPieceReader* reader, FpReadStamp* stamp) {
  if (!reader) return;
  if (stamp) {
    reader->file.finish();
    *stamp = reader->stamp;
  }
  delete reader;
}

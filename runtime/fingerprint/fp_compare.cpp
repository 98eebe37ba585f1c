// Whole-file helpers beside the fingerprint: byte-for-byte comparison (the
// confirmation that a matching fingerprint means equal contents), the head
// of a file and the MD5 digests of files read side by side, all usable from
// any thread.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "filesystem/fs_platform.h"
#include "fingerprint/fp.h"
#include "fingerprint/md5.h"
#include "platform/os_file.h"
#include "platform/os_fs.h"

namespace {

constexpr std::int32_t COMPARE_CHUNK = 256 * 1024;

struct FileCloser {
  OsFile f = OS_NO_FILE;
  ~FileCloser() { os_file_close(f); }
};

std::int32_t fp_read_some(OsFile f, unsigned char* buf, std::int32_t bytes) { return os_file_read(f, buf, bytes); }
std::int32_t fp_read_some(FsHeldFile* f, unsigned char* buf, std::int32_t bytes) { return fs_held_read(f, buf, bytes); }

// Reads until the buffer is full or the file ends; -1 on a read failure.
template <class Source>
std::int32_t fp_read_full(Source f, unsigned char* buf, std::int32_t bytes) {
  std::int32_t done = 0;
  while (done < bytes) {
    std::int32_t n = fp_read_some(f, buf + done, bytes - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
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
    out->steady = false;
    f = os_file_open_read(path, true);
    have_before = f != OS_NO_FILE && fp_stamp_of(f, &before);
  }
  ~WatchedFile() { os_file_close(f); }
  WatchedFile(const WatchedFile&) = delete;
  WatchedFile& operator=(const WatchedFile&) = delete;
  void finish() {
    if (!out || !have_before) return;
    out->steady = fp_stamp_of(f, &out->stamp) && out->stamp == before;
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
  w.finish();
  return n;
}

void fp_files_md5(const CStr* paths, std::int32_t count, std::uint8_t* digests, bool* ok) {
  if (count <= 0) return;
  const std::size_t n = static_cast<std::size_t>(count);
  std::unique_ptr<FileCloser[]> files(new (std::nothrow) FileCloser[n]);
  if (!files) return;
  std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[n * static_cast<std::size_t>(COMPARE_CHUNK)]);
  // Files whose contents were equal so far, with the digest of what they share.
  struct Run {
    std::vector<std::size_t> members;
    Md5Context ctx;
  };
  std::vector<Run> runs(1);
  fp_md5_init(&runs[0].ctx);
  for (std::size_t k = 0; k < n; ++k) {
    ok[k] = false;
    files[k].f = buf ? os_file_open_read(paths[k], true) : OS_NO_FILE;
    if (files[k].f != OS_NO_FILE) runs[0].members.push_back(k);
  }
  std::vector<std::int32_t> got(n);
  auto chunk = [&](std::size_t k) { return buf.get() + k * static_cast<std::size_t>(COMPARE_CHUNK); };
  while (!runs.empty()) {
    std::vector<Run> next;
    for (Run& run : runs) {
      std::vector<std::size_t> live;
      for (std::size_t k : run.members) {
        got[k] = fp_read_full(files[k].f, chunk(k), COMPARE_CHUNK);
        if (got[k] >= 0) live.push_back(k);
      }
      if (live.empty()) continue;
      // The part of this chunk that every file of the run shares is hashed once.
      const std::size_t first = live[0];
      std::size_t same = static_cast<std::size_t>(got[first]);
      for (std::size_t k : live) {
        std::size_t m = std::min(same, static_cast<std::size_t>(got[k]));
        same = static_cast<std::size_t>(std::mismatch(chunk(first), chunk(first) + m, chunk(k)).first - chunk(first));
      }
      fp_md5_update(&run.ctx, chunk(first), same);
      // The rest splits the run by contents (and length).
      std::vector<Run> parts;
      for (std::size_t k : live) {
        Run* into = nullptr;
        for (Run& p : parts) {
          std::size_t r = p.members[0];
          if (got[r] == got[k] && std::memcmp(chunk(r) + same, chunk(k) + same, static_cast<std::size_t>(got[k]) - same) == 0) {
            into = &p;
            break;
          }
        }
        if (!into) {
          parts.push_back({{}, run.ctx});
          into = &parts.back();
          fp_md5_update(&into->ctx, chunk(k) + same, static_cast<std::size_t>(got[k]) - same);
        }
        into->members.push_back(k);
      }
      for (Run& p : parts) {
        if (got[p.members[0]] == COMPARE_CHUNK) {
          next.push_back(std::move(p));
          continue;
        }
        std::uint8_t digest[16];
        fp_md5_final(&p.ctx, digest);
        for (std::size_t k : p.members) {
          std::memcpy(digests + 16 * k, digest, 16);
          ok[k] = true;
        }
      }
    }
    runs = std::move(next);
  }
}

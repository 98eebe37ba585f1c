// Quorith's bounded path. The temporary files are text files of the
// library, records of one line each. The files of kept line numbers, and
// the partition files of a file whose lines are compared as text, hold
// UTF-16LE records: a line number in four units of 15 bits (each with its
// top bit set, so never a line end or a zero), then, in a partition file,
// the line's own units. Where the lines are taken as their bytes, a
// partition record is the number in eight bytes of 7 bits (each with its
// top bit set) and the line's bytes. A line read from a file holds no line
// end and no zero, so a record reads back as it was written.
#include "duplines/quorith_disk.h"

#include <algorithm>
#include <cstring>

#include "core/rt.h"
#include "duplines/line_set.h"
#include "duplines/quorith.h"
#include "platform/os_heap.h"

namespace {

constexpr std::int32_t PROGRESS_EVERY = 10240;
constexpr std::int32_t UTF16 = txt_format_code(TextFormat::Utf16Le);
// Open partition files at most: two for each (its lines, then its kept
// line numbers), well within what a process may hold open.
constexpr std::int32_t MAX_PARTS = 256;
// The numbers of the partition files, then of the files of kept line
// numbers: past those of the job's input and output.
constexpr ObjectId FIRST_PART_FILE = QUORITH_DISK_FIRST_FILE;
constexpr std::int32_t NUMBER_UNITS = 4;
constexpr std::int32_t NUMBER_BYTES = 8;
// Lines of the input read at once as bytes, and the output gathered before
// it is written.
constexpr std::int32_t BATCH_LINES = 8192;
constexpr std::int32_t OUTPUT_BYTES = 64 * 1024;
constexpr std::int64_t STAGE_BYTES_MOST = 64 * 1024;
// A kept number's record in UTF-16LE: its units and CR LF.
constexpr std::int32_t KEPT_RECORD_BYTES = (NUMBER_UNITS + 2) * 2;
// Bytes of the line set that a byte of input may take at most when its
// line is distinct: a short line's units, hash entry and length outweigh
// its bytes.
constexpr std::int64_t SET_BYTES_PER_BYTE = 8;

void number_put(char16_t* at, std::int64_t number) {
  for (std::int32_t i = NUMBER_UNITS - 1; i >= 0; --i, number >>= 15)
    at[i] = static_cast<char16_t>(0x8000 | (number & 0x7FFF));
}

// The number of a record, or -1 when it is not one.
std::int64_t number_get(CStr record, std::int32_t units) {
  if (units < NUMBER_UNITS) return -1;
  std::int64_t number = 0;
  for (std::int32_t i = 0; i < NUMBER_UNITS; ++i) {
    if (!(record[i] & 0x8000)) return -1;
    number = (number << 15) | (record[i] & 0x7FFF);
  }
  return number;
}

void number_put_bytes(unsigned char* at, std::int64_t number) {
  for (std::int32_t i = NUMBER_BYTES - 1; i >= 0; --i, number >>= 7)
    at[i] = static_cast<unsigned char>(0x80 | (number & 0x7F));
}

std::int64_t number_get_bytes(const unsigned char* record, std::int32_t size) {
  if (size < NUMBER_BYTES) return -1;
  std::int64_t number = 0;
  for (std::int32_t i = 0; i < NUMBER_BYTES; ++i) {
    if (!(record[i] & 0x80)) return -1;
    number = (number << 7) | (record[i] & 0x7F);
  }
  return number;
}

// Room for `bytes` bytes in a block of the main heap that only grows.
bool block_hold(TxtByteBlock* block, std::int64_t bytes) {
  if (bytes <= block->capacity) return true;
  if (bytes > INT32_MAX / 2) return false;
  std::int64_t cap = bytes * 2 > 8192 ? bytes * 2 : 8192;
  void* p = block->data ? os_heap_realloc(rt_main_heap(), block->data, static_cast<std::size_t>(cap))
                        : os_heap_alloc(rt_main_heap(), static_cast<std::size_t>(cap));
  if (!p) return false;
  block->data = static_cast<unsigned char*>(p);
  block->capacity = static_cast<std::int32_t>(cap);
  return true;
}

// Which partition a line goes to: the low bits of its hash mixed, so that
// the lines of one partition still spread over the set's slots, which its
// top bits choose.
std::int32_t part_of(std::uint32_t hash, std::int32_t parts) {
  hash ^= hash >> 16;
  hash *= 0x7FEB352Du;
  hash ^= hash >> 15;
  return static_cast<std::int32_t>((static_cast<std::uint64_t>(hash) * static_cast<std::uint32_t>(parts)) >> 32);
}

// A record's block on the main heap; it only grows.
class RecordBuffer {
 public:
  RecordBuffer() = default;
  RecordBuffer(const RecordBuffer&) = delete;
  RecordBuffer& operator=(const RecordBuffer&) = delete;
  ~RecordBuffer() { os_heap_free(rt_main_heap(), units_); }
  // Room for `units` units and a terminator; null when it cannot grow.
  char16_t* hold(std::int32_t units) {
    if (units >= capacity_) {
      std::size_t bytes = (static_cast<std::size_t>(units) + 1) * 2;
      void* p = units_ ? os_heap_realloc(rt_main_heap(), units_, bytes) : os_heap_alloc(rt_main_heap(), bytes);
      if (!p) return nullptr;
      units_ = static_cast<char16_t*>(p);
      capacity_ = units + 1;
    }
    return units_;
  }

 private:
  char16_t* units_ = nullptr;
  std::int32_t capacity_ = 0;
};

// The temporary files of one file's run; each is deleted when closed, and
// the destructor closes those still open, on every way out.
class DiskRun {
 public:
  explicit DiskRun(const QuorithDiskJob& job) : job_(job) {}
  DiskRun(const DiskRun&) = delete;
  DiskRun& operator=(const DiskRun&) = delete;
  ~DiskRun() {
    for (std::int32_t p = 0; p < parts_; ++p) {
      if (lines_[p]) txt_close(lines_[p]);
      if (kept_[p]) txt_close(kept_[p]);
    }
    os_heap_free(rt_main_heap(), read_.data);
    os_heap_free(rt_main_heap(), out_.data);
    os_heap_free(rt_main_heap(), spans_);
    for (TxtByteBlock& stage : stages_) os_heap_free(rt_main_heap(), stage.data);
  }
  QuorithFailure run() {
    if (job_.bytes) {
      spans_ = static_cast<TxtLineSpan*>(os_heap_alloc(rt_main_heap(), sizeof(TxtLineSpan) * BATCH_LINES));
      if (!spans_) return QuorithFailure::Memory;
    }
    QuorithFailure failure = split();
    if (failure == QuorithFailure::None) failure = settle();
    if (failure == QuorithFailure::None) failure = write_kept();
    return failure;
  }

 private:
  // A new temporary file beside the output as file `id`; 0 when none can
  // be made. Numbered files, since the library finds a number at once and
  // a file it numbered itself by going through those it holds.
  ObjectId temporary(ObjectId id) {
    return txt_create_scratch(id, job_.output_path, job_.input, job_.usable) != 0 ? id : 0;
  }

  QuorithFailure input_end() {
    switch (txt_error(job_.input)) {
      case 0:
        return QuorithFailure::None;
      case TXT_ERROR_MEMORY:
        return QuorithFailure::Memory;
      default:
        return QuorithFailure::Read;
    }
  }

  // Pass 1: each line, with its number, into its partition.
  QuorithFailure split() {
    std::int64_t budget = job_.budget > 0 ? job_.budget : 1;
    std::int64_t bytes = job_.input_bytes < INT64_MAX / SET_BYTES_PER_BYTE ? job_.input_bytes * SET_BYTES_PER_BYTE
                                                                            : INT64_MAX;
    std::int64_t want = bytes / budget + 1;
    parts_ = static_cast<std::int32_t>(std::clamp<std::int64_t>(want, 2, MAX_PARTS));
    for (std::int32_t p = 0; p < parts_; ++p) {
      lines_[p] = temporary(FIRST_PART_FILE + p);
      if (!lines_[p]) return QuorithFailure::Write;
    }
    txt_seek(job_.input, job_.data_start);
    if (job_.bytes) return split_bytes();
    CStr line = txt_read_line(job_.input, job_.format);
    for (;;) {
      std::int32_t units = str_length(line);
      char16_t* record = buffer_.hold(NUMBER_UNITS + units);
      if (!record) return QuorithFailure::Memory;
      number_put(record, lines_total_);
      std::memcpy(record + NUMBER_UNITS, line, static_cast<std::size_t>(units) * 2);
      record[NUMBER_UNITS + units] = 0;
      const auto hash = static_cast<std::uint32_t>(line_key(record + NUMBER_UNITS, static_cast<std::size_t>(units) * 2).hash);
      std::int32_t p = part_of(hash, parts_);
      ++part_lines_[p];
      if (txt_write_line(lines_[p], record, NUMBER_UNITS + units, UTF16) == 0) return QuorithFailure::Write;
      ++lines_total_;
      line = txt_read_next_line(job_.input, job_.format);
      if (!line) break;
    }
    return input_end();
  }

  // The input's lines as bytes, a batch at a time; 0 at its end. A file
  // without a byte is one empty line.
  std::int32_t read_batch(bool first) {
    std::int32_t n = txt_read_byte_lines(job_.input, &read_, spans_, BATCH_LINES);
    if (n == 0 && first && txt_error(job_.input) == 0) {
      spans_[0] = {0, 0};
      n = 1;
    }
    return n;
  }
  const unsigned char* line_at(std::int32_t i) const { return read_.data ? read_.data + spans_[i].start : nullptr; }

  // A partition's records gathered before they are written: large writes
  // bypass the file's buffer. As much as the budget leaves for all of them.
  std::int32_t stage_bytes() const {
    const std::int64_t share = job_.budget / 4 / parts_;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(share, TXT_BUFFER_BYTES, STAGE_BYTES_MOST));
  }

  QuorithFailure split_bytes() {
    const std::int32_t stage = stage_bytes();
    for (bool first = true;; first = false) {
      const std::int32_t n = read_batch(first);
      if (n == 0) break;
      for (std::int32_t i = 0; i < n; ++i) {
        const std::int32_t size = spans_[i].size;
        const auto hash = static_cast<std::uint32_t>(line_key(line_at(i), static_cast<std::size_t>(size)).hash);
        const std::int32_t p = part_of(hash, parts_);
        const std::int32_t record = NUMBER_BYTES + size + 1;
        TxtByteBlock& to = stages_[p];
        if (used_[p] > 0 && used_[p] + record > stage) {
          if (txt_write_bytes(lines_[p], to.data, used_[p]) == 0) return QuorithFailure::Write;
          used_[p] = 0;
        }
        if (!block_hold(&to, static_cast<std::int64_t>(used_[p]) + record)) return QuorithFailure::Memory;
        unsigned char* at = to.data + used_[p];
        number_put_bytes(at, lines_total_);
        if (size > 0) std::memcpy(at + NUMBER_BYTES, line_at(i), static_cast<std::size_t>(size));
        at[NUMBER_BYTES + size] = 0x0A;
        used_[p] += record;
        ++part_lines_[p];
        ++lines_total_;
      }
    }
    for (std::int32_t p = 0; p < parts_; ++p) {
      if (used_[p] > 0 && txt_write_bytes(lines_[p], stages_[p].data, used_[p]) == 0) return QuorithFailure::Write;
      os_heap_free(rt_main_heap(), stages_[p].data);
      stages_[p] = {};
      used_[p] = 0;
    }
    return input_end();
  }

  // Pass 2: the first occurrence of each line of a partition is kept. Its
  // records come in the order of their lines, so the first that the set
  // takes is the first occurrence, and the kept numbers come out ascending.
  QuorithFailure settle() {
    for (std::int32_t p = 0; p < parts_; ++p) {
      txt_seek(lines_[p], 0);  // its last output written first
      kept_[p] = temporary(FIRST_PART_FILE + MAX_PARTS + p);
      if (txt_error(lines_[p]) != 0 || !kept_[p]) return QuorithFailure::Write;
      // Its table at once for all its lines, which it never outgrows.
      LineSet set;
      if (!set.reserve(part_lines_[p])) return QuorithFailure::Memory;
      const std::int32_t stage = stage_bytes();
      std::int32_t kept_used = 0;
      while (job_.bytes) {
        const std::int32_t n = txt_read_byte_lines(lines_[p], &read_, spans_, BATCH_LINES);
        if (n == 0) break;
        for (std::int32_t i = 0; i < n; ++i) {
          const unsigned char* record = line_at(i);
          const std::int32_t size = spans_[i].size;
          const std::int64_t number = number_get_bytes(record, size);
          if (number < 0) return QuorithFailure::Write;  // not what was written
          std::int32_t added = set.insert(line_key(record + NUMBER_BYTES, static_cast<std::size_t>(size - NUMBER_BYTES)));
          if (added < 0) return QuorithFailure::Memory;
          if (added == 0) continue;
          // The kept number as txt_write_line writes it in UTF-16LE, gathered.
          if (kept_used + KEPT_RECORD_BYTES > stage) {
            if (txt_write_bytes(kept_[p], out_.data, kept_used) == 0) return QuorithFailure::Write;
            kept_used = 0;
          }
          if (!block_hold(&out_, static_cast<std::int64_t>(kept_used) + KEPT_RECORD_BYTES)) return QuorithFailure::Memory;
          char16_t units[NUMBER_UNITS + 2];
          number_put(units, number);
          units[NUMBER_UNITS] = 0x0D;
          units[NUMBER_UNITS + 1] = 0x0A;
          unsigned char* at = out_.data + kept_used;
          for (std::int32_t k = 0; k < NUMBER_UNITS + 2; ++k) {
            at[2 * k] = static_cast<unsigned char>(units[k] & 0xFF);
            at[2 * k + 1] = static_cast<unsigned char>(units[k] >> 8);
          }
          kept_used += KEPT_RECORD_BYTES;
        }
      }
      if (kept_used > 0 && txt_write_bytes(kept_[p], out_.data, kept_used) == 0) return QuorithFailure::Write;
      while (CStr record = job_.bytes ? nullptr : txt_read_next_line(lines_[p], UTF16)) {
        std::int32_t units = str_length(record);
        if (number_get(record, units) < 0) return QuorithFailure::Write;  // not what was written
        char16_t number[NUMBER_UNITS + 1];
        std::memcpy(number, record, sizeof number - 2);
        number[NUMBER_UNITS] = 0;
        std::int32_t added =
            set.insert(line_key(record + NUMBER_UNITS, static_cast<std::size_t>(units - NUMBER_UNITS) * 2));
        if (added < 0) return QuorithFailure::Memory;
        if (added > 0 && txt_write_line(kept_[p], number, NUMBER_UNITS, UTF16) == 0) return QuorithFailure::Write;
      }
      set.clear();
      if (txt_error(lines_[p]) != 0) return QuorithFailure::Write;
      txt_close(lines_[p]);  // its room on the disk is free again
      lines_[p] = 0;
      txt_seek(kept_[p], 0);
      if (txt_error(kept_[p]) != 0) return QuorithFailure::Write;
    }
    return QuorithFailure::None;
  }

  // The next kept number of partition p into the heap of heads.
  QuorithFailure next_kept(std::int32_t p) {
    CStr record = txt_read_next_line(kept_[p], UTF16);
    if (!record) return txt_error(kept_[p]) != 0 ? QuorithFailure::Write : QuorithFailure::None;
    std::int64_t number = number_get(record, str_length(record));
    if (number < 0) return QuorithFailure::Write;
    heads_[heads_count_++] = {number, p};
    std::push_heap(heads_, heads_ + heads_count_, later);
    return QuorithFailure::None;
  }

  // Pass 3: the input once more; a line whose number is the smallest kept
  // one left goes to the output.
  QuorithFailure write_kept() {
    for (std::int32_t p = 0; p < parts_; ++p)
      if (QuorithFailure f = next_kept(p); f != QuorithFailure::None) return f;
    lines_read = 0;
    lines_removed = 0;
    txt_seek(job_.input, job_.data_start);
    if (job_.bytes) return write_kept_bytes();
    CStr line = txt_read_line(job_.input, job_.format);
    for (;;) {
      // A file that changed since the first pass cannot be told right.
      if (lines_read >= lines_total_) return QuorithFailure::Read;
      std::int32_t units = str_length(line);
      if (heads_count_ > 0 && heads_[0].number == lines_read) {
        char16_t* copy = buffer_.hold(units);
        if (!copy) return QuorithFailure::Memory;
        std::memcpy(copy, line, static_cast<std::size_t>(units) * 2);
        copy[units] = 0;
        if (txt_write_line(job_.output, copy, units, job_.format) == 0) return QuorithFailure::Write;
        std::int32_t p = heads_[0].part;
        std::pop_heap(heads_, heads_ + heads_count_, later);
        --heads_count_;
        if (QuorithFailure f = next_kept(p); f != QuorithFailure::None) return f;
      } else {
        ++lines_removed;
      }
      ++lines_read;
      if (lines_read % PROGRESS_EVERY == 0 && lines_read > job_.announced) job_.progress();
      line = txt_read_next_line(job_.input, job_.format);
      if (!line) break;
    }
    if (QuorithFailure f = input_end(); f != QuorithFailure::None) return f;
    return lines_read == lines_total_ && heads_count_ == 0 ? QuorithFailure::None : QuorithFailure::Read;
  }

  QuorithFailure write_kept_bytes() {
    std::int32_t used = 0;
    for (bool first = true;; first = false) {
      const std::int32_t n = read_batch(first);
      if (n == 0) break;
      for (std::int32_t i = 0; i < n; ++i) {
        // A file that changed since the first pass cannot be told right.
        if (lines_read >= lines_total_) return QuorithFailure::Read;
        if (heads_count_ > 0 && heads_[0].number == lines_read) {
          const std::int32_t size = spans_[i].size;
          if (!block_hold(&out_, static_cast<std::int64_t>(used) + size + 2)) return QuorithFailure::Memory;
          if (size > 0) std::memcpy(out_.data + used, line_at(i), static_cast<std::size_t>(size));
          out_.data[used + size] = 0x0D;
          out_.data[used + size + 1] = 0x0A;
          used += size + 2;
          std::int32_t p = heads_[0].part;
          std::pop_heap(heads_, heads_ + heads_count_, later);
          --heads_count_;
          if (QuorithFailure f = next_kept(p); f != QuorithFailure::None) return f;
        } else {
          ++lines_removed;
        }
        ++lines_read;
        if (lines_read % PROGRESS_EVERY == 0 && lines_read > job_.announced) job_.progress();
      }
      if (used >= OUTPUT_BYTES) {
        if (txt_write_bytes(job_.output, out_.data, used) == 0) return QuorithFailure::Write;
        used = 0;
      }
    }
    if (used > 0 && txt_write_bytes(job_.output, out_.data, used) == 0) return QuorithFailure::Write;
    if (QuorithFailure f = input_end(); f != QuorithFailure::None) return f;
    return lines_read == lines_total_ && heads_count_ == 0 ? QuorithFailure::None : QuorithFailure::Read;
  }

  struct Head {
    std::int64_t number;
    std::int32_t part;
  };
  static bool later(const Head& a, const Head& b) { return a.number > b.number; }

  const QuorithDiskJob& job_;
  std::int32_t parts_ = 0;
  ObjectId lines_[MAX_PARTS] = {};
  ObjectId kept_[MAX_PARTS] = {};
  std::int64_t part_lines_[MAX_PARTS] = {};
  Head heads_[MAX_PARTS] = {};
  std::int32_t heads_count_ = 0;
  std::int64_t lines_total_ = 0;
  RecordBuffer buffer_;
  // Where the lines are taken as bytes: the lines read, where each lies in
  // that block, and the records or the output on their way out.
  TxtByteBlock read_ = {};
  TxtLineSpan* spans_ = nullptr;
  TxtByteBlock out_ = {};
  TxtByteBlock stages_[MAX_PARTS] = {};
  std::int32_t used_[MAX_PARTS] = {};
};

}  // namespace

QuorithFailure quorith_disk_lines(const QuorithDiskJob& job) {
  DiskRun run(job);
  return run.run();
}

// Text files: the ANSI, UTF-8 and UTF-16LE line readers.
//
// The readers work on the file's buffer directly: they scan it a machine
// word at a time for the units that can end a line, and a line that lies
// inside the buffer is converted straight from it into the result. A line
// that crosses a refill of the buffer is collected whole in the line buffer,
// which is kept from one read to the next, and converted in one piece, so
// that no character (a double-byte pair of an ANSI code page, a UTF-8
// sequence) is ever cut in two. ANSI and UTF-8 lines end at the same bytes:
// 0, LF and CR are never part of a double-byte pair or of a UTF-8 sequence.
// A UTF-16 code unit at an odd offset that crosses a refill is taken whole
// through buffered reading.
#include <bit>
#include <cstddef>
#include <cstring>

#include "core/rt.h"
#include "platform/os_heap.h"
#include "platform/os_text.h"
#include "textfile/txt.h"
#include "textfile/txt_record.h"
#include "textfile/txt_utf8.h"

namespace {

constexpr unsigned char LF = 0x0A;
constexpr unsigned char CR = 0x0D;

enum class Reader { Ansi, Utf8, Utf16 };

// ---- Scanning a word at a time ----

using Word = std::size_t;
constexpr Word BYTE_ONES = ~Word(0) / 0xFF;     // 0x0101...
constexpr Word BYTE_HIGHS = BYTE_ONES * 0x80;   // 0x8080...
constexpr Word UNIT_ONES = ~Word(0) / 0xFFFF;   // 0x00010001...
constexpr Word UNIT_HIGHS = UNIT_ONES * 0x8000; // 0x80008000...
constexpr std::ptrdiff_t WORD_BYTES = sizeof(Word);
// Every unit that can end a line (0, LF, CR) is below this value.
constexpr Word LOW_LIMIT = 14;

inline Word load_word(const unsigned char* p) {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Nonzero when a byte of w is below LOW_LIMIT.
inline Word low_bytes(Word w) { return (w - BYTE_ONES * LOW_LIMIT) & ~w & BYTE_HIGHS; }
// Nonzero when a 16-bit lane of w is below LOW_LIMIT.
inline Word low_units(Word w) { return (w - UNIT_ONES * LOW_LIMIT) & ~w & UNIT_HIGHS; }

inline bool is_line_end(unsigned c) { return c == LF || c == CR || c == 0; }

// The first byte in [p, end) that is 0, LF or CR, or end.
const unsigned char* scan_ansi(const unsigned char* p, const unsigned char* end) {
  for (;;) {
    while (end - p >= WORD_BYTES && !low_bytes(load_word(p))) p += WORD_BYTES;
    const unsigned char* stop = end - p >= WORD_BYTES ? p + WORD_BYTES : end;
    for (; p < stop; ++p)
      if (*p < LOW_LIMIT && is_line_end(*p)) return p;
    if (p == end) return end;
  }
}

inline unsigned unit_at(const unsigned char* p) { return p[0] | (static_cast<unsigned>(p[1]) << 8); }

// The first little-endian unit in [p, end) that is 0, LF or CR, or end;
// end - p is even.
const unsigned char* scan_utf16(const unsigned char* p, const unsigned char* end) {
  for (;;) {
    if constexpr (std::endian::native == std::endian::little) {
      while (end - p >= WORD_BYTES && !low_units(load_word(p))) p += WORD_BYTES;
    }
    const unsigned char* stop = end - p >= WORD_BYTES ? p + WORD_BYTES : end;
    for (; p < stop; p += 2)
      if (is_line_end(unit_at(p))) return p;
    if (p == end) return end;
  }
}

// ---- The line buffer ----

// Collects the part of a line that lies in earlier fills of the file's
// buffer. It is kept from one read to the next, so ordinary reads allocate
// nothing, and grows by at least half its size, so a long line costs few
// copies.
struct LineBuffer {
  unsigned char* data = nullptr;
  std::int32_t capacity = 0;
  std::int32_t length = 0;
};
LineBuffer g_line;
// Set when the line being read could not be held whole in memory.
bool g_line_short = false;

constexpr std::int32_t LINE_STEP = 4096;
// Room kept free at the end: the rest of a line, which lies in the file's
// buffer, always fits beside what was collected.
constexpr std::int32_t LINE_SLACK = TXT_BUFFER_BYTES;

// Grows the line buffer for `more` bytes. The result of the line must fit
// in the temporary-result area as well, so that room is made there first:
// when either cannot be had, the line ends where it is.
bool line_grow_once(std::int32_t more) {
  std::int64_t need = static_cast<std::int64_t>(g_line.length) + more + LINE_SLACK;
  std::int64_t cap = g_line.capacity + (g_line.capacity / 2 > LINE_STEP ? g_line.capacity / 2 : LINE_STEP);
  if (cap < need) cap = need;
  cap = (cap + LINE_STEP - 1) / LINE_STEP * LINE_STEP;
  if (cap > INT32_MAX / 2 - 2 * TXT_BUFFER_BYTES) return false;
  // A line's result has at most one code unit per collected byte.
  if (!str_tmp_try_reserve(static_cast<std::int32_t>(cap))) return false;
  void* p = g_line.data ? os_heap_realloc(rt_main_heap(), g_line.data, static_cast<std::size_t>(cap))
                        : os_heap_alloc(rt_main_heap(), static_cast<std::size_t>(cap));
  if (!p) return false;
  g_line.data = static_cast<unsigned char*>(p);
  g_line.capacity = static_cast<std::int32_t>(cap);
  return true;
}

// As line_grow_once; a failure marks the line as cut for the rest of it.
bool line_grow(std::int32_t more) {
  if (line_grow_once(more)) return true;
  g_line_short = true;
  return false;
}

// Appends n > 0 bytes of whole units; false when the buffer cannot grow.
inline bool line_append(const unsigned char* p, std::int32_t n) {
  if (g_line.capacity - g_line.length < n + LINE_SLACK && !line_grow(n)) return false;
  std::memcpy(g_line.data + g_line.length, p, static_cast<std::size_t>(n));
  g_line.length += n;
  return true;
}

std::int32_t convert(Reader reader, const unsigned char* src, std::int32_t bytes, char16_t* dst) {
  if (bytes <= 0) return 0;
  auto* s = reinterpret_cast<const char*>(src);
  switch (reader) {
    case Reader::Ansi:
      return os_ansi_to_utf16(s, bytes, dst, bytes);
    case Reader::Utf8:
      return txt_utf8_decode(src, bytes, dst);
    case Reader::Utf16:
      break;
  }
  std::int32_t units = bytes / 2;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(dst, src, static_cast<std::size_t>(units) * 2);
  } else {
    for (std::int32_t i = 0; i < units; ++i) dst[i] = static_cast<char16_t>(unit_at(src + 2 * i));
  }
  return units;
}

// The result of a line: the collected bytes followed by `tail` (at most a
// buffer's worth of whole units, still in the file's buffer or in a unit
// just taken), converted in one piece into the temporary-result area. The
// line buffer is emptied.
CStr line_result(Reader reader, const unsigned char* tail, std::int32_t tail_bytes) {
  const unsigned char* src = tail;
  std::int32_t bytes = tail_bytes;
  if (g_line.length > 0) {
    // Every append left LINE_SLACK bytes free for the tail.
    if (tail_bytes > 0) std::memcpy(g_line.data + g_line.length, tail, static_cast<std::size_t>(tail_bytes));
    src = g_line.data;
    bytes = g_line.length + tail_bytes;
  }
  g_line.length = 0;
  // Each byte gives at most one code unit in every reader.
  char16_t* out = str_tmp_try_reserve(bytes);
  if (!out) {
    g_line_short = true;
    return u"";
  }
  std::int32_t n = convert(reader, src, bytes, out);
  out[n] = 0;
  return out;
}

// ---- The readers ----

// The ANSI and UTF-8 reader: the line is split at its bytes 0, LF and CR
// and converted as `reader` says.
CStr read_bytes(TextFile* f, Reader reader) {
  for (;;) {
    if (f->count == 0 && txt_refill(f) == 0) return line_result(reader, nullptr, 0);
    const unsigned char* end = f->buffer + f->filled;
    const unsigned char* p = end - f->count;
    const unsigned char* q = scan_ansi(p, end);
    auto run = static_cast<std::int32_t>(q - p);
    if (q == end) {
      f->count = 0;
      if (!line_append(p, run)) return line_result(reader, p, run);
      continue;
    }
    f->count = static_cast<std::int32_t>(end - q) - 1;
    CStr line = line_result(reader, p, run);
    // After a CR the next byte is read: an LF belongs to this line end,
    // anything else stays for the next line.
    if (*q == CR && (f->count > 0 || txt_refill(f) > 0) && f->buffer[f->filled - f->count] == LF) --f->count;
    return line;
  }
}

// After a CR in UTF-16: the next code unit is read; an LF is consumed, any
// other unit is given back, and an odd last byte is dropped.
void utf16_after_cr(TextFile* f) {
  if (f->count >= 2) {
    if (unit_at(f->buffer + (f->filled - f->count)) == LF) f->count -= 2;
    return;
  }
  unsigned char unit[2];
  if (txt_take(f, unit, 2) == 2 && unit_at(unit) != LF) txt_give_back(f, 2);
}

CStr read_utf16(TextFile* f) {
  for (;;) {
    if (f->count == 0 && txt_refill(f) == 0) return line_result(Reader::Utf16, nullptr, 0);
    const unsigned char* end = f->buffer + f->filled;
    const unsigned char* p = end - f->count;
    const unsigned char* units_end = p + (f->count & ~1);
    const unsigned char* q = scan_utf16(p, units_end);
    auto run = static_cast<std::int32_t>(q - p);
    if (q < units_end) {
      f->count = static_cast<std::int32_t>(end - q) - 2;
      CStr line = line_result(Reader::Utf16, p, run);
      if (unit_at(q) == CR) utf16_after_cr(f);
      return line;
    }
    f->count = static_cast<std::int32_t>(end - q);
    if (run > 0 && !line_append(p, run)) return line_result(Reader::Utf16, p, run);
    if (f->count == 0) continue;
    // One byte is left: the code unit crosses the buffer's end.
    unsigned char unit[2];
    if (txt_take(f, unit, 2) < 2) return line_result(Reader::Utf16, nullptr, 0);  // odd last byte dropped
    unsigned u = unit_at(unit);
    if (is_line_end(u)) {
      CStr line = line_result(Reader::Utf16, nullptr, 0);
      if (u == CR) utf16_after_cr(f);
      return line;
    }
    if (!line_append(unit, 2)) return line_result(Reader::Utf16, unit, 2);
  }
}

}  // namespace

namespace {

// Bytes read at once for lines taken as bytes.
constexpr std::int32_t TXT_BYTE_READ = 16 * TXT_BUFFER_BYTES;

// Room for `bytes` bytes in a caller's block; false when it cannot grow.
bool block_hold(TxtByteBlock* block, std::int32_t bytes) {
  if (bytes <= block->capacity) return true;
  std::int32_t cap = bytes > TXT_BUFFER_BYTES ? bytes : TXT_BUFFER_BYTES;
  void* p = block->data ? os_heap_realloc(rt_main_heap(), block->data, static_cast<std::size_t>(cap))
                        : os_heap_alloc(rt_main_heap(), static_cast<std::size_t>(cap));
  if (!p) return false;
  block->data = static_cast<unsigned char*>(p);
  block->capacity = cap;
  return true;
}

}  // namespace

std::int32_t txt_read_record_byte_lines(TextFile* f, TxtByteBlock* block, TxtLineSpan* spans, std::int32_t max) {
  if (f->error) return 0;
  if (!block_hold(block, TXT_BUFFER_BYTES + TXT_BYTE_READ)) {
    txt_fail(f, TXT_ERROR_MEMORY);
    return 0;
  }
  // What the buffer holds, then one large read straight behind it: a
  // transfer of more than the buffer bypasses it.
  const std::int32_t lead = f->count;
  if (lead > 0) std::memcpy(block->data, f->buffer + (f->filled - f->count), static_cast<std::size_t>(lead));
  f->count = 0;
  f->filled = 0;
  std::int32_t got = os_file_read(f->handle, block->data + lead, TXT_BYTE_READ);
  if (got < 0) {
    txt_fail(f, TXT_ERROR_READ);  // the lines before the failure are read as at the end
    got = 0;
  }
  const std::int32_t total = lead + got;
  if (total == 0) return 0;
  const bool at_end = got == 0;
  // The lines that lie whole in what was read, each with its end (and the
  // LF after a CR, which must be there to be told), or ended by the end of
  // the file.
  const unsigned char* start = block->data;
  const unsigned char* end = start + total;
  const unsigned char* p = start;
  std::int32_t n = 0;
  while (n < max && p < end) {
    const unsigned char* q = scan_ansi(p, end);
    if (q == end && !at_end) break;
    if (q + 1 == end && *q == CR && !at_end) break;
    spans[n++] = {static_cast<std::int32_t>(p - start), static_cast<std::int32_t>(q - p)};
    if (q == end) {
      p = end;
      break;
    }
    p = q + 1;
    if (*q == CR && p < end && *p == LF) ++p;
  }
  // The rest goes back: into the buffer, as if a refill had brought it, or
  // else to the file by moving its position back.
  const auto rest = static_cast<std::int32_t>(end - p);
  if (rest > 0 && rest <= f->size) {
    std::memcpy(f->buffer, p, static_cast<std::size_t>(rest));
    f->filled = rest;
    f->count = rest;
  } else if (rest > 0 && os_file_seek(f->handle, -static_cast<std::int64_t>(rest), OS_SEEK_CURRENT) < 0) {
    txt_fail(f, TXT_ERROR_READ);
    return n;
  }
  if (n > 0) return n;
  // The first line goes on past the buffer (or its CR ends it): collected
  // across refills.
  g_line.length = 0;
  g_line_short = false;
  for (;;) {
    if (f->count == 0 && txt_refill(f) == 0) break;
    end = f->buffer + f->filled;
    p = end - f->count;
    const unsigned char* q = scan_ansi(p, end);
    auto run = static_cast<std::int32_t>(q - p);
    if (q == end) {
      f->count = 0;
      if (run > 0 && !line_append(p, run)) break;
      continue;
    }
    f->count = static_cast<std::int32_t>(end - q) - 1;
    if (run > 0 && !line_append(p, run)) break;
    if (*q == CR && (f->count > 0 || txt_refill(f) > 0) && f->buffer[f->filled - f->count] == LF) --f->count;
    break;
  }
  const std::int32_t size = g_line.length;
  g_line.length = 0;
  if (g_line_short || !block_hold(block, size)) {
    txt_fail(f, TXT_ERROR_MEMORY);
    return 0;
  }
  if (size > 0) std::memcpy(block->data, g_line.data, static_cast<std::size_t>(size));
  spans[0] = {0, size};
  return 1;
}

CStr txt_read_record_line(TextFile* f, std::int32_t format) {
  g_line.length = 0;
  g_line_short = false;
  CStr line = format == txt_format_code(TextFormat::Utf16Le) ? read_utf16(f)
              : read_bytes(f, format == txt_format_code(TextFormat::Utf8) ? Reader::Utf8 : Reader::Ansi);
  // A cut line is not a line of the file: the file fails rather than
  // hand on the rest as lines of their own.
  if (g_line_short) txt_fail(f, TXT_ERROR_MEMORY);
  return line;
}

void txt_release_line_buffer() {
  os_heap_free(rt_main_heap(), g_line.data);
  g_line = LineBuffer{};
}

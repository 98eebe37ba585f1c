// Text files: the registry, opening and closing, the buffered transfers,
// positioning, mark detection and line writing. The line readers are in
// txt_read.cpp.
#include "textfile/txt.h"

#include <bit>
#include <cstring>

#include "core/rt.h"
#include "platform/os_fs.h"
#include "platform/os_heap.h"
#include "platform/os_process.h"
#include "platform/os_text.h"
#include "platform/os_time.h"
#include "textfile/txt_record.h"
#include "textfile/txt_utf8.h"

namespace {

constexpr std::int32_t REGISTRY_START = 16;
// Bytes written straight to a replacement between two hints to start writing it back.
constexpr std::int32_t WRITEBACK_BYTES = 8 << 20;

ObjectTable* g_table = nullptr;
// Serialises every operation, so that txt_shutdown from the console's close
// event waits for a transfer in progress on the main thread. Created once
// and kept for the life of the process: a shutdown may still be waiting on
// it when another one ends.
OsLock* g_lock = nullptr;

class TxtGuard {
 public:
  TxtGuard() { os_lock_enter(g_lock); }
  ~TxtGuard() { os_lock_leave(g_lock); }
  TxtGuard(const TxtGuard&) = delete;
  TxtGuard& operator=(const TxtGuard&) = delete;
};

TextFile* txt_find(ObjectId file) { return static_cast<TextFile*>(obj_lookup(g_table, file)); }

// Frees what a record holds besides its handle and releases its slot.
void txt_drop(ObjectId id, TextFile* f) {
  os_heap_free(rt_main_heap(), f->buffer);
  os_heap_free(rt_main_heap(), f->target);
  os_heap_free(rt_main_heap(), f->temporary);
  obj_free(g_table, id);
}

// Deletes the closed temporary file of a replacement. The mark comes off
// after it, so that an end of the process in between still deletes it.
bool txt_delete_temporary(TextFile* f) {
  bool ok = os_delete_file(f->temporary);
  os_file_unmark(f->mark);
  f->mark = nullptr;
  return ok;
}

// Closes one file; false when it was not open or any of its transfers
// failed, the last output and the system's close included. A replacement
// is given up: closed, and its temporary deleted.
bool txt_close_file(ObjectId id) {
  TextFile* f = txt_find(id);
  if (!f) return false;
  bool ok;
  if (f->temporary) {
    ok = os_file_close(f->handle);
    if (!txt_delete_temporary(f)) ok = false;
  } else {
    txt_flush_record(f);
    ok = f->error == 0;
    if (!os_file_close(f->handle)) ok = false;
  }
  txt_drop(id, f);
  return ok;
}

// Whether every file closed by the registry's free callback closed cleanly.
bool g_all_closed_ok = true;

// The registry's free callback: closes one file. Ids whose file is no
// longer open are ignored.
void txt_release(ObjectId id) {
  if (txt_find(id) && !txt_close_file(id)) g_all_closed_ok = false;
}

// Switches a record to writing: read-ahead that was not taken is given
// back by moving the system's position, and the whole buffer becomes free.
void txt_begin_writing(TextFile* f) {
  if (f->mode == TXT_MODE_WRITE) return;
  if (f->count > 0 && os_file_seek(f->handle, -static_cast<std::int64_t>(f->count), OS_SEEK_CURRENT) < 0)
    txt_fail(f, TXT_ERROR_WRITE);  // output would land at the wrong place
  f->mode = TXT_MODE_WRITE;
  f->count = f->size;
}

// A copy of text on the main heap with room for `extra` more units; null
// when there is no memory.
char16_t* txt_heap_copy(CStr text, std::int32_t extra) {
  std::int32_t n = str_length(text);
  auto* copy = static_cast<char16_t*>(
      os_heap_alloc(rt_main_heap(), (static_cast<std::size_t>(n) + static_cast<std::size_t>(extra) + 1) * 2));
  if (copy && n > 0) std::memcpy(copy, text, static_cast<std::size_t>(n) * 2);
  return copy;
}

// A number for a temporary file's name that another run, or another file of
// this one, is unlikely to pick at the same moment.
std::uint32_t txt_unique_number() {
  static std::uint32_t serial = 0;
  std::int64_t counts = 0;
  os_perf_counter(&counts);
  std::uint64_t x = static_cast<std::uint64_t>(counts) ^ (static_cast<std::uint64_t>(os_tick_count()) << 32) ^
                    (++serial * 0x9E3779B97F4A7C15ull) ^ reinterpret_cast<std::uintptr_t>(&counts);
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return static_cast<std::uint32_t>(x);
}

constexpr char16_t TEMPORARY_MARKER[] = u".~";
constexpr char16_t TEMPORARY_END[] = u".tmp";
constexpr std::int32_t TEMPORARY_DIGITS = 8;
constexpr std::int32_t TEMPORARY_EXTRA = 2 + TEMPORARY_DIGITS + 4;
// Names tried before giving up: each is taken only by a file that stands
// there already or by a name the caller refuses.
constexpr std::int32_t TEMPORARY_TRIES = 64;

// Creates the temporary file of a replacement of `path` and fills the
// record's target, temporary and mark; OS_NO_FILE (and nothing kept) when
// `path` is refused or no temporary can be made.
OsFile txt_create_temporary(TextFile* f, CStr path, OsFile other, TxtNameCheck usable) {
  if (str_length(path) == 0 || !os_file_may_replace(path, other)) return OS_NO_FILE;
  f->target = txt_heap_copy(path, 0);
  f->temporary = txt_heap_copy(path, TEMPORARY_EXTRA);
  OsFile h = OS_NO_FILE;
  if (f->target && f->temporary) {
    char16_t* at = f->temporary + str_length(path);
    std::memcpy(at, TEMPORARY_MARKER, 4);
    std::memcpy(at + 2 + TEMPORARY_DIGITS, TEMPORARY_END, sizeof TEMPORARY_END);
    for (std::int32_t attempt = 0; attempt < TEMPORARY_TRIES && h == OS_NO_FILE; ++attempt) {
      std::uint32_t number = txt_unique_number();
      for (std::int32_t i = TEMPORARY_DIGITS - 1; i >= 0; --i, number >>= 4)
        at[2 + i] = u"0123456789abcdef"[number & 0xF];
      if (usable && !usable(f->temporary)) continue;
      bool exists = false;
      h = os_file_create_new(f->temporary, path, &exists);
      if (h == OS_NO_FILE && !exists) break;
    }
  }
  if (h != OS_NO_FILE) {
    f->mark = os_file_mark_for_end(f->temporary);
    if (f->mark) return h;
    os_file_close(h);
    os_delete_file(f->temporary);
  }
  os_heap_free(rt_main_heap(), f->target);
  os_heap_free(rt_main_heap(), f->temporary);
  f->target = nullptr;
  f->temporary = nullptr;
  return OS_NO_FILE;
}

enum class Opening { Read, Create, Replace };

std::intptr_t txt_open(ObjectId file, CStr path, std::int32_t format, Opening how, bool share, OsFile other,
                       TxtNameCheck usable = nullptr) {
  if (!g_table || file < OBJ_ANY) return 0;
  // Takes the slot; a file that holds the number is closed first.
  auto* f = static_cast<TextFile*>(obj_create(g_table, file));
  if (!f) return 0;
  ObjectId id = file == OBJ_ANY ? reinterpret_cast<ObjectId>(f) : file;
  f->target = nullptr;
  f->temporary = nullptr;
  f->mark = nullptr;
  // The buffer comes first, so that a failure leaves the file system alone.
  auto* buffer = static_cast<unsigned char*>(os_heap_alloc(rt_main_heap(), TXT_BUFFER_BYTES));
  OsFile h = OS_NO_FILE;
  if (buffer) {
    switch (how) {
      case Opening::Read:
        h = os_file_open_read(path, share);
        break;
      case Opening::Create:
        h = os_file_create(path, other);
        break;
      case Opening::Replace:
        h = txt_create_temporary(f, path, other, usable);
        break;
    }
  }
  if (h == OS_NO_FILE) {
    os_heap_free(rt_main_heap(), buffer);
    obj_free(g_table, id);
    return 0;
  }
  f->open = 1;
  f->mode = TXT_MODE_READ;
  f->count = 0;
  f->filled = 0;
  f->size = TXT_BUFFER_BYTES;
  f->format = format;
  f->error = 0;
  f->unhinted = 0;
  f->scratch = false;
  f->handle = h;
  f->buffer = buffer;
  if (file == OBJ_ANY) return id;
  return h != 0 ? static_cast<std::intptr_t>(h) : 1;  // a handle of 0 must still read as success
}

// Converts text to UTF-8 or ANSI; the bytes written to dst (room for 4 per unit).
std::int32_t txt_encode(const char16_t* text, std::int32_t units, std::int32_t format, unsigned char* dst,
                        std::int32_t capacity) {
  // UTF-8 through the library's own encoder, which gives bytes that were
  // not UTF-8 in a line read back unchanged.
  if (format == txt_format_code(TextFormat::Utf8)) return txt_utf8_encode(text, units, dst, capacity);
  std::int32_t n = os_utf16_to_ansi(text, units, reinterpret_cast<char*>(dst), capacity);
  return n > 0 ? n : 0;
}

// Bytes of the widest unit conversion: a UTF-16 unit becomes at most 3
// UTF-8 bytes and at most 2 bytes of an ANSI (double-byte) code page.
constexpr std::int32_t MAX_BYTES_PER_UNIT = 4;
// Longer texts are converted and written piece by piece, so that no line
// needs a conversion buffer of its own size.
constexpr std::int32_t ENCODE_CHUNK_UNITS = 8192;
unsigned char g_encoded[ENCODE_CHUNK_UNITS * MAX_BYTES_PER_UNIT];

// Writes `units` code units of text in a format; the bytes written or buffered.
std::int32_t txt_write_string(TextFile* f, const char16_t* text, std::int32_t units, std::int32_t format) {
  if (units <= 0 || f->error) return 0;
  if (format == txt_format_code(TextFormat::Utf16Le)) {
    if constexpr (std::endian::native == std::endian::little) {
      std::int32_t total = 0;
      constexpr std::int32_t PIECE = 1 << 28;  // keeps byte counts within 32 bits
      for (std::int32_t at = 0; at < units;) {
        std::int32_t k = units - at < PIECE ? units - at : PIECE;
        total += txt_put(f, text + at, k * 2);
        at += k;
      }
      return total;
    } else {
      std::int32_t total = 0;
      for (std::int32_t at = 0; at < units;) {
        std::int32_t k = units - at < ENCODE_CHUNK_UNITS ? units - at : ENCODE_CHUNK_UNITS;
        for (std::int32_t i = 0; i < k; ++i) {
          g_encoded[2 * i] = static_cast<unsigned char>(text[at + i]);
          g_encoded[2 * i + 1] = static_cast<unsigned char>(text[at + i] >> 8);
        }
        total += txt_put(f, g_encoded, k * 2);
        at += k;
      }
      return total;
    }
  }
  txt_begin_writing(f);
  if (f->error) return 0;
  if (units < f->count / MAX_BYTES_PER_UNIT) {
    // Certain to fit in the free space: convert straight into the buffer.
    std::int32_t n = txt_encode(text, units, format, f->buffer + (f->size - f->count), f->count);
    f->count -= n;
    return n;
  }
  std::int32_t total = 0;
  for (std::int32_t at = 0; at < units;) {
    std::int32_t k = units - at < ENCODE_CHUNK_UNITS ? units - at : ENCODE_CHUNK_UNITS;
    // A surrogate pair is never split between two conversions.
    char16_t last = text[at + k - 1];
    if (at + k < units && k > 1 && last >= 0xD800 && last <= 0xDBFF) --k;
    std::int32_t n = txt_encode(text + at, k, format, g_encoded, sizeof g_encoded);
    total += txt_put(f, g_encoded, n);
    at += k;
  }
  return total;
}

}  // namespace

std::int32_t txt_flush_record(TextFile* f) {
  if (f->mode != TXT_MODE_WRITE) return 0;
  std::int32_t pending = f->size - f->count;
  if (pending <= 0) return 0;
  std::int32_t written = f->error ? 0 : os_file_write(f->handle, f->buffer, pending);
  f->count = f->size;
  if (written != pending) {
    txt_fail(f, TXT_ERROR_WRITE);
    return 0;
  }
  return written;
}

std::int32_t txt_refill(TextFile* f) {
  std::int32_t n = f->error ? 0 : os_file_read(f->handle, f->buffer, f->size);
  if (n < 0) {
    // A failed read is not the end of the file: the record fails instead.
    txt_fail(f, TXT_ERROR_READ);
    n = 0;
  }
  f->filled = n;
  f->count = n;
  return n;
}

std::int32_t txt_take(TextFile* f, void* dst, std::int32_t n) {
  txt_begin_reading(f);
  auto* out = static_cast<unsigned char*>(dst);
  if (f->count >= n) {
    std::memcpy(out, f->buffer + (f->filled - f->count), static_cast<std::size_t>(n));
    f->count -= n;
    return n;
  }
  std::int32_t got = f->count;
  std::memcpy(out, f->buffer + (f->filled - f->count), static_cast<std::size_t>(got));
  f->count = 0;
  std::int32_t rest = n - got;
  if (rest >= f->size) {
    std::int32_t r = f->error ? 0 : os_file_read(f->handle, out + got, rest);
    if (r < 0) txt_fail(f, TXT_ERROR_READ);
    return got + (r > 0 ? r : 0);
  }
  std::int32_t r = txt_refill(f);
  std::int32_t k = rest < r ? rest : r;
  std::memcpy(out + got, f->buffer, static_cast<std::size_t>(k));
  f->count -= k;
  return got + k;
}

void txt_give_back(TextFile* f, std::int32_t n) {
  if (f->count + n <= f->filled) {
    f->count += n;
    return;
  }
  // Some of the bytes came from an earlier fill of the buffer: give them
  // back by moving the system's position and dropping the read-ahead.
  if (os_file_seek(f->handle, -static_cast<std::int64_t>(f->count + n), OS_SEEK_CURRENT) < 0)
    txt_fail(f, TXT_ERROR_READ);
  f->count = 0;
  f->filled = 0;
}

std::int32_t txt_put(TextFile* f, const void* src, std::int32_t n) {
  txt_begin_writing(f);
  if (f->error) return 0;
  if (f->count > n) {
    std::memcpy(f->buffer + (f->size - f->count), src, static_cast<std::size_t>(n));
    f->count -= n;
    return n;
  }
  txt_flush_record(f);
  if (f->error) return 0;
  if (n >= f->size) {
    if (os_file_write(f->handle, src, n) != n) {
      txt_fail(f, TXT_ERROR_WRITE);
      return 0;
    }
    // A replacement is forced to the disk before it takes its path: its
    // data starts on its way now, so that the wait then is short.
    if (f->temporary && !f->scratch && (f->unhinted += n) >= WRITEBACK_BYTES) {
      os_file_start_writeback(f->handle);
      f->unhinted = 0;
    }
    return n;
  }
  std::memcpy(f->buffer, src, static_cast<std::size_t>(n));
  f->count -= n;
  return n;
}

void txt_init() {
  if (!g_lock) g_lock = os_lock_create();
  TxtGuard guard;
  if (!g_table) g_table = obj_table_create(sizeof(TextFile), REGISTRY_START, txt_release);
}

void txt_shutdown() {
  TxtGuard guard;
  obj_free_all(g_table);
  txt_release_line_buffer();
}

std::intptr_t txt_open_read(ObjectId file, CStr path, std::int32_t flags) {
  TxtGuard guard;
  std::int32_t format = flags & TXT_FORMAT_MASK;
  if (format == 0) format = txt_format_code(TextFormat::Utf8);
  return txt_open(file, path, format, Opening::Read, (flags & TXT_SHARE_READ) != 0, OS_NO_FILE);
}

std::intptr_t txt_create(ObjectId file, CStr path) {
  TxtGuard guard;
  return txt_open(file, path, txt_format_code(TextFormat::Utf8), Opening::Create, false, OS_NO_FILE);
}

std::intptr_t txt_create(ObjectId file, CStr path, ObjectId other) {
  TxtGuard guard;
  TextFile* o = txt_find(other);
  // Without the other file open there is nothing to compare with: refused,
  // rather than risk emptying it.
  if (!o) return 0;
  return txt_open(file, path, txt_format_code(TextFormat::Utf8), Opening::Create, false, o->handle);
}

std::intptr_t txt_create_replacement(ObjectId file, CStr path, ObjectId other, TxtNameCheck usable) {
  TxtGuard guard;
  TextFile* o = txt_find(other);
  if (!o) return 0;  // as txt_create: nothing to compare with
  return txt_open(file, path, txt_format_code(TextFormat::Utf8), Opening::Replace, false, o->handle, usable);
}

std::intptr_t txt_create_scratch(ObjectId file, CStr path, ObjectId other, TxtNameCheck usable) {
  std::intptr_t r = txt_create_replacement(file, path, other, usable);
  TxtGuard guard;
  if (TextFile* f = r != 0 ? txt_find(file) : nullptr) f->scratch = true;
  return r;
}

std::int32_t txt_commit(ObjectId file) {
  TxtGuard guard;
  TextFile* f = txt_find(file);
  if (!f) return 0;
  if (!f->temporary) {
    txt_close_file(file);
    return 0;
  }
  // On the disk before it takes the path's place, so that no crash can
  // leave the path naming a file whose contents never got there.
  txt_flush_record(f);
  bool ok = f->error == 0 && os_file_flush(f->handle);
  if (!os_file_close(f->handle)) ok = false;
  if (ok) ok = os_file_replace(f->temporary, f->target);
  if (ok) {
    os_file_unmark(f->mark);
    f->mark = nullptr;
  } else {
    txt_delete_temporary(f);
  }
  txt_drop(file, f);
  return ok ? 1 : 0;
}

std::int32_t txt_flush(ObjectId file) {
  TxtGuard guard;
  TextFile* f = txt_find(file);
  return f ? txt_flush_record(f) : 0;
}

std::int32_t txt_close(ObjectId file) {
  TxtGuard guard;
  if (file != TXT_ALL) return txt_close_file(file) ? 1 : 0;
  g_all_closed_ok = true;
  obj_free_all(g_table);
  return g_all_closed_ok ? 1 : 0;
}

std::int32_t txt_error(ObjectId file) {
  TxtGuard guard;
  TextFile* f = txt_find(file);
  return f ? f->error : 0;
}

std::int64_t txt_position(ObjectId file) {
  TxtGuard guard;
  TextFile* f = txt_find(file);
  if (!f) return -1;
  std::int64_t system = os_file_seek(f->handle, 0, OS_SEEK_CURRENT);
  if (system < 0) return -1;
  return f->mode == TXT_MODE_READ ? system - f->count : system + (f->size - f->count);
}

void txt_seek(ObjectId file, std::int64_t position) {
  TxtGuard guard;
  TextFile* f = txt_find(file);
  if (!f) return;
  txt_flush_record(f);
  f->mode = TXT_MODE_READ;
  f->count = 0;
  f->filled = 0;
  os_file_seek(f->handle, position, OS_SEEK_BEGIN);
}

TextFormat txt_detect_format(ObjectId file) {
  TxtGuard guard;
  TextFile* f = txt_find(file);
  if (!f) return TextFormat::Ansi;
  unsigned char b[4] = {};
  std::int32_t n = txt_take(f, b, 4);
  TextFormat format = TextFormat::Ansi;
  std::int32_t skip = 0;
  // The marks in the order they are tested; the first that matches wins.
  struct Mark {
    std::int32_t length;
    unsigned char bytes[4];
    TextFormat format;
  };
  static constexpr Mark MARKS[] = {
      {4, {0xFF, 0xFE, 0x00, 0x00}, TextFormat::Utf32Le}, {2, {0xFF, 0xFE}, TextFormat::Utf16Le},
      {3, {0xEF, 0xBB, 0xBF}, TextFormat::Utf8},          {2, {0xFE, 0xFF}, TextFormat::Utf16Be},
      {4, {0x00, 0x00, 0xFE, 0xFF}, TextFormat::Utf32Be},
  };
  for (const Mark& m : MARKS) {
    if (n >= m.length && std::memcmp(b, m.bytes, static_cast<std::size_t>(m.length)) == 0) {
      format = m.format;
      skip = m.length;
      break;
    }
  }
  // The bytes after the mark go back to the stream, so reading goes on
  // right after it without reading the file again.
  if (n > skip) txt_give_back(f, n - skip);
  return format;
}

CStr txt_read_line(ObjectId file, std::int32_t format) {
  TxtGuard guard;
  TextFile* f = txt_find(file);
  if (!f) return u"";
  format &= TXT_FORMAT_MASK;
  if (format == 0) format = f->format;
  txt_begin_reading(f);
  return txt_read_record_line(f, format);
}

CStr txt_read_next_line(ObjectId file, std::int32_t format) {
  TxtGuard guard;
  TextFile* f = txt_find(file);
  if (!f) return nullptr;
  format &= TXT_FORMAT_MASK;
  if (format == 0) format = f->format;
  txt_begin_reading(f);
  if (f->count == 0 && (f->error || txt_refill(f) == 0)) return nullptr;
  return txt_read_record_line(f, format);
}

std::int32_t txt_write_line(ObjectId file, CStr text, std::int32_t format) {
  return txt_write_line(file, text, str_length(text), format);
}

std::int32_t txt_write_line(ObjectId file, CStr text, std::int32_t units, std::int32_t format) {
  TxtGuard guard;
  TextFile* f = txt_find(file);
  if (!f) return 0;
  txt_write_string(f, text, units, format);
  // CR LF is 0D 0A in every ANSI code page and in UTF-8.
  static constexpr unsigned char LINE_END_BYTES[] = {0x0D, 0x0A};
  static constexpr unsigned char LINE_END_UTF16[] = {0x0D, 0x00, 0x0A, 0x00};
  std::int32_t n = format == txt_format_code(TextFormat::Utf16Le) ? txt_put(f, LINE_END_UTF16, 4)
                                                                   : txt_put(f, LINE_END_BYTES, 2);
  return f->error ? 0 : n;
}

bool txt_bytes_are_text(std::int32_t format) {
  format &= TXT_FORMAT_MASK;
  if (format == txt_format_code(TextFormat::Utf8)) return true;
  if (format == txt_format_code(TextFormat::Utf16Le) || !os_ansi_single_byte()) return false;
  // One byte a character: a line converts character by character, so each
  // byte must stand for a character of its own and go back as itself.
  for (unsigned b = 1; b < 256; ++b) {
    const char c = static_cast<char>(b);
    char16_t units[4];
    char back[8];
    if (os_ansi_to_utf16(&c, 1, units, 4) != 1 || os_utf16_to_ansi(units, 1, back, 8) != 1 ||
        static_cast<unsigned char>(back[0]) != b)
      return false;
  }
  return true;
}

std::int32_t txt_read_byte_lines(ObjectId file, TxtByteBlock* block, TxtLineSpan* spans, std::int32_t max) {
  TxtGuard guard;
  TextFile* f = txt_find(file);
  if (!f || max <= 0) return 0;
  txt_begin_reading(f);
  return txt_read_record_byte_lines(f, block, spans, max);
}

std::int32_t txt_write_bytes(ObjectId file, const void* bytes, std::int32_t size) {
  TxtGuard guard;
  TextFile* f = txt_find(file);
  if (!f) return 0;
  if (size > 0) txt_put(f, bytes, size);
  return f->error ? 0 : 1;
}

std::int32_t txt_eof(ObjectId file) {
  TxtGuard guard;
  TextFile* f = txt_find(file);
  if (!f) return 0;
  if (f->mode == TXT_MODE_READ && f->count > 0) return 0;
  if (f->error) return 1;
  unsigned char b;
  if (txt_take(f, &b, 1) == 0) return 1;
  txt_give_back(f, 1);
  return 0;
}

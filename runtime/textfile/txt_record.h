// Text files, private to the module: the file record and the buffered
// transfers that the registry operations (txt.cpp) and the line readers
// (txt_read.cpp) share. Callers hold the library lock.
#pragma once
#include <cstdint>

#include "core/str.h"
#include "platform/os_file.h"
#include "textfile/txt.h"

constexpr std::int32_t TXT_MODE_WRITE = 0;  // the buffer holds output not yet written
constexpr std::int32_t TXT_MODE_READ = 1;   // the buffer holds read-ahead bytes

// One open file. The registry counts a record as existing while its first
// word is non-zero, so that word is a flag of its own: a handle may be 0
// (descriptor 0 on POSIX when standard input was closed).
struct TextFile {
  std::int32_t open;  // 1 while open
  std::int32_t mode;  // TXT_MODE_READ or TXT_MODE_WRITE
  // Reading: bytes in the buffer not yet taken. Writing: free bytes left.
  std::int32_t count;
  std::int32_t filled;  // reading: bytes that the last refill placed in the buffer
  std::int32_t size;    // TXT_BUFFER_BYTES
  std::int32_t format;  // the default TextFormat of reads
  // TXT_ERROR_* of the first transfer that failed, 0 while none has. A
  // failed file reads as ended and takes no more output, so that no later
  // transfer can hide the gap.
  std::int32_t error;
  OsFile handle;
  unsigned char* buffer;
  // A replacement (txt_create_replacement): the path it is to replace and
  // the temporary file it is written to, both on the main heap, and the
  // temporary's mark for the end of the process. Null for other files.
  char16_t* target;
  char16_t* temporary;
  OsEndMark* mark;
  std::int32_t unhinted;  // a replacement's bytes written straight since the last writeback hint
  bool scratch;           // a replacement that never takes its path's place (txt_create_scratch)
};

// Marks a record failed: its read-ahead is dropped, so it reads as ended.
inline void txt_fail(TextFile* f, std::int32_t error) {
  if (f->error == 0) f->error = error;
  if (f->mode == TXT_MODE_READ) {
    f->count = 0;
    f->filled = 0;
  }
}

// Writes the pending output of a file in mode 0 and empties the buffer; the
// bytes written (0 in mode 1, and 0 when the write failed or came short).
std::int32_t txt_flush_record(TextFile* f);

// Switches a record to reading (pending output written first).
inline void txt_begin_reading(TextFile* f) {
  if (f->mode == TXT_MODE_READ) return;
  txt_flush_record(f);
  f->mode = TXT_MODE_READ;
  f->count = 0;
  f->filled = 0;
}

// Refills the whole buffer with one system read; sets filled and count to
// the bytes obtained and returns them (0 at the end of the file, or on an
// error, which marks the record failed).
std::int32_t txt_refill(TextFile* f);

// Buffered reading of up to `n` bytes into dst; fewer only at the end of the file.
std::int32_t txt_take(TextFile* f, void* dst, std::int32_t n);

// Returns the last `n` bytes taken to the stream.
void txt_give_back(TextFile* f, std::int32_t n);

// Buffered writing of `n` bytes; the bytes buffered or written, 0 once the
// record has failed.
std::int32_t txt_put(TextFile* f, const void* src, std::int32_t n);

// Reads one line of a record in reading mode; `format` is 25, 2 or anything
// else for ANSI. The result is in the temporary-result area. A line that
// cannot be held in memory marks the record failed (TXT_ERROR_MEMORY).
CStr txt_read_record_line(TextFile* f, std::int32_t format);

// txt_read_byte_lines of a record in reading mode.
std::int32_t txt_read_record_byte_lines(TextFile* f, TxtByteBlock* block, TxtLineSpan* spans, std::int32_t max);

// Frees the line buffer that the readers keep between calls.
void txt_release_line_buffer();

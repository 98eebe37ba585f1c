// Text files: numbered, buffered, sequential files that read and write lines
// of ANSI, UTF-8 or UTF-16LE text and recognise a byte-order mark.
//
// A file is named by an ObjectId: a number the caller chooses (0, 1, 2...;
// the registry starts with 16 and grows) or OBJ_ANY, in which case the
// library allocates the file and the nonzero result of the open identifies
// it. Opening a number that is in use closes that file first. Every file has
// a 4096-byte buffer that holds read-ahead bytes while reading and pending
// output while writing; the two modes switch as reads and writes alternate.
// No operation ever writes a byte-order mark.
//
// A library lock serialises the operations, so txt_shutdown run by the
// console's close event on its own thread waits for a read or write in
// progress on the main thread and never tears a line; the files are then
// closed and later calls find them not open.
#pragma once
#include <cstdint>

#include "core/obj.h"
#include "core/str.h"

// Codes of text encodings. Callers pass them in the low five bits of a flag
// word and compare them, so the numbers are part of the interface.
enum class TextFormat : std::int32_t {
  Ansi = 24,     // the system's ANSI code page: read and written
  Utf8 = 2,      // read and written
  Utf16Le = 25,  // read and written
  Utf16Be = 4,   // recognised by its byte-order mark only
  Utf32Le = 5,   // recognised by its byte-order mark only
  Utf32Be = 6,   // recognised by its byte-order mark only
};

constexpr std::int32_t txt_format_code(TextFormat format) { return static_cast<std::int32_t>(format); }

// Flag of txt_open_read: other processes may read the file while it is open.
constexpr std::int32_t TXT_SHARE_READ = 0x20000;
// The low bits of a flag word that carry a TextFormat.
constexpr std::int32_t TXT_FORMAT_MASK = 0x1F;
// txt_close of every open file.
constexpr ObjectId TXT_ALL = -1;
// Bytes in each file's buffer; transfers of this size or more bypass it.
constexpr std::int32_t TXT_BUFFER_BYTES = 4096;

// What made a file fail (txt_error); 0 while nothing has.
constexpr std::int32_t TXT_ERROR_READ = 1;    // the system refused a read
constexpr std::int32_t TXT_ERROR_WRITE = 2;   // a write failed or moved fewer bytes than asked
constexpr std::int32_t TXT_ERROR_MEMORY = 3;  // a line could not be held in memory

// Start-up step: creates the registry (room for 16 numbered files) and the
// library lock. Calling it again keeps the existing registry.
void txt_init();

// Release step of rt_release_libraries: closes every open file as txt_close
// does, writing its pending output. Safe to run twice and from the console's
// close event while the main thread uses the library.
void txt_shutdown();

// Opens an existing file for reading. `flags`: the low five bits give the
// file's default format (0 means UTF-8); TXT_SHARE_READ lets other processes
// read the file meanwhile (without it the file is not shared where the
// system has sharing modes). Result: 0 on failure, with nothing left open;
// otherwise nonzero: for a caller-chosen number the system's file handle,
// for OBJ_ANY the identifier of the new file.
std::intptr_t txt_open_read(ObjectId file, CStr path, std::int32_t flags);

// Creates a file for reading and writing, or empties an existing one (not
// shared; written only where the system lets the caller read it as well, or
// else for writing only). Never through a symbolic link or reparse point,
// never anything but a regular file, never an existing file that has a
// second name (which would see the new contents too). The default format is
// UTF-8. Result as txt_open_read.
std::intptr_t txt_create(ObjectId file, CStr path);

// As txt_create, and never the file that the open file `other` reads or
// writes: a path that leads to it is refused before anything is emptied.
std::intptr_t txt_create(ObjectId file, CStr path, ObjectId other);

// Whether a replacement may be written to the temporary file `name`: the
// caller refuses names that it uses otherwise (the inputs of a run). Called
// with the library's lock held, so it must not call the library itself.
using TxtNameCheck = bool (*)(CStr name);

// Creates the file that is to replace `path`, which stays as it is until
// txt_commit. What stands at `path` is judged first as txt_create judges it
// (refused, with nothing created, when it is a link, not a regular file,
// read-only, has a second name, or is the file that the open file `other`
// reads or writes). The lines go to a new temporary file in the same
// directory: `path` followed by ".~", eight hexadecimal digits and ".tmp",
// a name that was free, that `usable` (when given) accepts, and that no
// result ending in "_new" can have. An end of the process by Ctrl+C, a
// signal or the console closing deletes the temporary file; txt_close and
// txt_shutdown delete it too, without touching `path`. Result as
// txt_open_read.
std::intptr_t txt_create_replacement(ObjectId file, CStr path, ObjectId other, TxtNameCheck usable = nullptr);

// As txt_create_replacement, for a file of the program's own data beside
// `path` that is read back and deleted, never committed: its bytes are not
// sent on their way to the disk as they are written.
std::intptr_t txt_create_scratch(ObjectId file, CStr path, ObjectId other, TxtNameCheck usable = nullptr);

// Puts a replacement in place: its pending output is written, the file is
// forced to the disk and closed, and then it replaces its path in one step
// (an existing file there is replaced whole, never written into). 1 when
// done; 0 when any of it failed, with the temporary deleted and the path as
// it was, or for a file that is not a replacement (then closed as
// txt_close closes it). The file is closed either way.
std::int32_t txt_commit(ObjectId file);

// Writes the pending output of a file that is writing; the number of bytes
// written, 0 for a file that is reading or not open, or when the write failed.
std::int32_t txt_flush(ObjectId file);

// Closes one file (its pending output written first), or every file with
// TXT_ALL. A file that is not open is ignored. The system is not asked to
// commit its own caches. A replacement is given up instead: its temporary
// file is deleted and the path it was to replace is left as it is. 1 when the file was open and none of its transfers
// failed, its last output and the system's close included (for TXT_ALL:
// every file); else 0.
std::int32_t txt_close(ObjectId file);

// TXT_ERROR_* of the first failed transfer of an open file since it was
// opened, 0 when none failed or the file is not open. A file that failed
// reads as ended (txt_eof 1, empty lines) and writes nothing more.
std::int32_t txt_error(ObjectId file);

// Reads a byte-order mark at the current position and skips it; without a
// mark nothing is skipped and the result is Ansi. Order of the tests:
// FF FE 00 00 (Utf32Le), FF FE (Utf16Le), EF BB BF (Utf8), FE FF (Utf16Be),
// 00 00 FE FF (Utf32Be). Ansi for a file that is not open.
TextFormat txt_detect_format(ObjectId file);

// Reads one line: text up to LF, CR, CR LF, a zero unit or the end of the
// file, none of which is part of the result. `format` (low five bits; 0 =
// the file's default): 25 reads UTF-16LE code units, 2 UTF-8 sequences, any
// other value ANSI bytes. A line is converted whole, so no character is cut
// where the buffer is refilled. In UTF-8 a byte that is not part of a valid
// sequence reads as U+DC00 + byte (U+DC80..U+DCFF), so distinct lines never
// read as equal, and a line end is never part of a sequence. A read at the
// end of the file, or of a file that is not open, gives the empty string.
// The result is in the temporary-result area.
CStr txt_read_line(ObjectId file, std::int32_t format = 0);
inline CStr txt_read_line(ObjectId file, TextFormat format) { return txt_read_line(file, txt_format_code(format)); }

// The next line as txt_read_line reads it, or null when txt_eof would be 1
// (nothing left, a file that failed, or one that is not open): the end
// test and the read in one call.
CStr txt_read_next_line(ObjectId file, std::int32_t format);

// Writes `text` and CR LF in `format` (25 UTF-16LE, 2 UTF-8, any other value
// ANSI, with the system's replacement for characters it cannot represent).
// In UTF-8, U+DC80..U+DCFF are written as the bytes 80..FF they stand for.
// The result is the number of bytes of the line end (2, or 4 in UTF-16LE),
// 0 for a file that is not open or whose output could not all be written
// (this line's or buffered output before it). An empty text writes only the
// line end.
std::int32_t txt_write_line(ObjectId file, CStr text, std::int32_t format);
inline std::int32_t txt_write_line(ObjectId file, CStr text, TextFormat format) {
  return txt_write_line(file, text, txt_format_code(format));
}
// As txt_write_line, for a text whose length in code units is known.
std::int32_t txt_write_line(ObjectId file, CStr text, std::int32_t units, std::int32_t format);

// Whether the lines of a file in `format` may be taken as their bytes:
// two lines read as equal text exactly when their bytes are equal, and a
// line read and written back in `format` gives its own bytes again. Always
// for UTF-8 (a byte that is not UTF-8 reads as a unit of its own and goes
// back as itself); for ANSI where the code page has one byte a character
// and every byte goes back as itself; never for UTF-16LE.
bool txt_bytes_are_text(std::int32_t format);

// A growable block on the main heap that the caller owns (and frees with
// os_heap_free); zero-filled means empty.
struct TxtByteBlock {
  unsigned char* data;
  std::int32_t capacity;
};
// Where a line's bytes lie in a block.
struct TxtLineSpan {
  std::int32_t start;
  std::int32_t size;
};

// Reads up to `max` (> 0) lines of an ANSI or UTF-8 file as their bytes,
// each line split as txt_read_line splits it: what the buffer holds and a
// large read behind it (which bypasses the buffer) give the lines they
// hold whole, the rest going back to the buffer (or the file); a line
// longer than that comes alone. Their bytes go into `block` (grown as a
// line needs), their places into `spans`. The result is the number of lines, at least one while a byte
// is left; 0 where txt_read_next_line would give null (txt_error tells a
// failure; a line that cannot be held fails the file with
// TXT_ERROR_MEMORY).
std::int32_t txt_read_byte_lines(ObjectId file, TxtByteBlock* block, TxtLineSpan* spans, std::int32_t max);

// Writes `size` bytes as they are; 1 when written or buffered, 0 for a file
// that is not open or whose output could not all be written.
std::int32_t txt_write_bytes(ObjectId file, const void* bytes, std::int32_t size);

// 1 when no byte is left to read or the file failed (txt_error tells
// which), else 0 (also 0 for a file that is not open). Reads ahead one byte
// and gives it back.
std::int32_t txt_eof(ObjectId file);

// The logical position in bytes: what the caller has read or written up to;
// -1 for a file that is not open (or one the system cannot position).
std::int64_t txt_position(ObjectId file);

// Writes pending output, drops any read-ahead and moves to `position` bytes
// from the file's start. Nothing for a file that is not open.
void txt_seek(ObjectId file, std::int64_t position);

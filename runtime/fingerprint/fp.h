// File fingerprints: the digest of a file's contents, or of a byte range of
// it, as lowercase hexadecimal text, made by a digest plug-in chosen by id.
//
// Plug-ins live in a process-wide table of FP_PLUGIN_CAPACITY entries,
// filled in registration order and never emptied. The one plug-in of the
// system is MD5 (RFC 1321) under FP_PLUGIN_MD5, registered by fp_use_md5.
// The empty string is the only failure result; nothing is printed.
//
// Threads: the byte-level operations (fp_file_head, fp_files_equal, the
// piece readers, fp_held_equal) use no temporary results and no module state
// and may run on any thread. The
// plug-in table and everything that gives a temporary string result belong
// to the main flow.
#pragma once
#include <cstdint>

#include "core/str.h"
#include "filesystem/fs.h"

constexpr std::int32_t FP_PLUGIN_MD5 = 1;
constexpr std::int32_t FP_PLUGIN_CAPACITY = 64;
// Files are read through one buffer of this size per fingerprint.
constexpr std::int32_t FP_READ_BUFFER_BYTES = 1048576;
// Room for digests of up to 512 bits.
constexpr std::int32_t FP_DIGEST_MAX_BYTES = 64;

// The contract between fp_file_fingerprint and every plug-in. A plug-in's
// own state begins with this block and carries its algorithm context after it.
struct FingerprintState {
  std::int32_t digest_bits;                   // 128 for MD5
  std::uint8_t digest[FP_DIGEST_MAX_BYTES];  // written by finish; digest_bits / 8 bytes used
};

// One entry of the plug-in table. The operations are called in the order
// create, update (one or more times), finish, free.
struct FingerprintPlugin {
  std::int32_t id;
  FingerprintState* (*create)(std::int32_t bits, std::uint32_t reserved);  // null when out of memory
  void (*update)(FingerprintState* state, const void* bytes, std::uint32_t count);
  void (*finish)(FingerprintState* state);
  void (*free)(FingerprintState* state);
};

// Registers MD5 under FP_PLUGIN_MD5 unless that id is taken; always 1.
std::int32_t fp_use_md5();

// Adds an entry with this id and its operations unset, and returns it for
// the caller to fill in; null when the id is already registered (nothing
// changes then) or the table is full.
FingerprintPlugin* fp_register_plugin(std::int32_t id);

// The table entry with this id, or null.
FingerprintPlugin* fp_find_plugin(std::int32_t id);

// The digest of `length` bytes of the file at `path` from `offset` on, as a
// temporary string result of lowercase hexadecimal digits. An offset of 0 or
// below reads from the start; a length of -1 reads to the end. The file is
// opened sharing reading only. Gives the empty string for a null path, an
// unregistered plug-in or one without operations, a file that cannot be
// opened (missing, a directory, locked, access denied), no memory, or a read
// that fails part-way (its digest would cover only part of the file).
CStr fp_file_fingerprint(CStr path, std::int32_t plugin_id, std::int32_t bits = 0, std::int64_t offset = 0,
                         std::int64_t length = -1);

// The first digest_bits / 8 digest bytes of a state as lowercase
// hexadecimal, high nibble first; the empty string for a null state or a
// size below 8 bits. A temporary string result.
CStr fp_digest_hex(const FingerprintState* state);

// How a file stood while it was read: `steady` when its stamps before and
// after the read were equal, so that what was read is the contents of the
// file that `stamp` describes; `changed` when both stamps were had and they
// differ (neither flag when a stamp could not be had).
struct FpReadStamp {
  bool steady;
  FsFileStamp stamp;
  bool changed;
};

// Compares two files' contents byte for byte (both opened sharing reading
// only, as for a fingerprint): 1 when equal, 0 when they differ, -1 when
// either cannot be opened or read to its end. With `stamp_a` and `stamp_b`,
// how each file stood while compared.
std::int32_t fp_files_equal(CStr a, CStr b, FpReadStamp* stamp_a = nullptr, FpReadStamp* stamp_b = nullptr);

// Opens a file for reading as a fingerprint does and reads up to `bytes`
// bytes from its start: the count read, or -1 when it cannot be opened.
// With `stamp`, how the file stood when opened; it is not taken again after
// the read (a head is cheap to read and is confirmed by later stamps, which
// a change made meanwhile moves). Safe to call from any thread.
std::int32_t fp_file_head(CStr path, void* buffer, std::int32_t bytes, FpReadStamp* stamp = nullptr);

// A file read from its start piece by piece, opened as a fingerprint opens
// it and stamped as opened, so that several files can be read side by side.
// Safe on any thread.
struct FpPieceReader;

// Null when the file cannot be opened or no memory can be had.
FpPieceReader* fp_reader_open(CStr path);

// Reads the next `bytes` bytes into buffer: the count read, fewer only where
// the file ends, or -1 on a read failure.
std::int32_t fp_reader_read(FpPieceReader* reader, void* buffer, std::int32_t bytes);

// Closes the file and releases the reader (null does nothing). With
// `stamp`, how the file stood from its opening until now.
void fp_reader_close(FpPieceReader* reader, FpReadStamp* stamp = nullptr);

// Compares two held files' contents byte for byte from where they stand
// (their start, when just held): 1 when equal, 0 when they differ, -1 when
// either cannot be read to its end or no buffer can be had. Streamed
// through `buffer` (FP_COMPARE_BUFFER_BYTES, the caller's, so that a thread
// that compares often allocates it once) or, when null, one of its own.
// Safe on any thread.
constexpr std::int32_t FP_COMPARE_BUFFER_BYTES = 128 * 1024;
std::int32_t fp_held_equal(FsHeldFile* a, FsHeldFile* b, unsigned char* buffer = nullptr);

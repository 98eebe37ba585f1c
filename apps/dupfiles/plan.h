// Vexolan's look-ahead: while the main thread prints and deletes in order,
// two threads read the files ahead and give each one a content key. Files
// whose contents are equal get equal keys; files that cannot share contents
// with another (a size no other file has, or a first block no other file of
// that size has) get a key of their own without being read in full; files
// of one size and first block are read side by side, once, and each class of
// equal contents takes its first file's key. No digest is made: the bytes
// decide, and are compared again before any deletion.
#pragma once
#include <cstdint>
#include <string>

#include "core/str.h"
#include "filesystem/fs.h"

struct FilePlan {
  std::int64_t size;   // as fs_file_size gives it
  bool readable;       // could be opened for reading
  std::u16string key;  // the content key, when readable
  // How the file stood when the look-ahead first read it (when readable and
  // `seen_steady`): what it recorded holds while the file still stands so.
  bool seen_steady;
  FsFileStamp seen;
  // When the file's bytes were found equal to an earlier file's (the first
  // of its class): that file's index and both stamps as they were while
  // compared; 0 when no such comparison was made.
  std::int32_t equal_to;
  FsFileStamp stamp;
  FsFileStamp equal_stamp;
};

// A content key no other file has: file i's own (list index).
std::u16string plan_own_key(std::int32_t i);

// Starts the look-ahead before the collection. Where it cannot be started
// (no memory, no thread), plan_list later gives false.
void plan_begin();

// The collector found a file: its path string (which must stay unchanged
// until plan_stop) and its size as the listing gave it.
void plan_add(CStr path, std::int64_t size);

// The collection is over and files[1..count] holds what plan_add was given,
// in that order; false (and nothing planned) when it does not. The caller
// may still reorder the list until plan_order.
bool plan_list(const Str* files, std::int32_t count);

// The list is in its final order now: plan it in that order. False (and
// nothing planned) when memory ran out.
bool plan_order();

// The plan of file i (1-based), waiting until it is ready; null when it
// never will be, because memory ran out. Only the main flow calls this, and
// a plan it returned stays unchanged until plan_stop.
const FilePlan* plan_wait(std::int32_t i);

// Whether plan_wait(i) would return at once: the plan is ready, or never
// will be. Never waits.
bool plan_ready(std::int32_t i);

// Waits for the look-ahead to end and releases it.
void plan_stop();

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
#include <memory>
#include <string>

#include "core/str.h"
#include "dupfiles/collect.h"
#include "dupfiles/owner_thread.h"
#include "filesystem/fs.h"

// What the look-ahead found about one file.
struct FilePlan {
  std::int64_t size;   // as fs_file_size gives it
  bool readable;       // could be opened for reading
  std::u16string key;  // the content key, when readable
  // The file's stamp at its first read, when it was steady then (`stamped`):
  // what the look-ahead found holds while the file still has this stamp.
  bool stamped;
  FsFileStamp stamp;
  // When the file's bytes were found equal to an earlier file's (the first
  // of its class): that file's index, and both files' stamps while compared
  // (the comparison holds while both still have them); 0 when no such
  // comparison was made.
  std::int32_t equal_to;
  FsFileStamp equal_stamp;     // this file's
  FsFileStamp equal_to_stamp;  // equal_to's
};

// A content key no other file has: file i's own (list index).
std::u16string plan_own_key(std::int32_t i);

struct Planner;

// The look-ahead of one run: its two threads are started by the
// constructor and joined by the destructor. Every public operation is the
// owner's (the thread that made it, which also runs the collection).
class LookAhead final : public CollectListener {
 public:
  // Where it cannot be started (no memory, no thread), it plans nothing
  // and take_list gives false.
  LookAhead();
  ~LookAhead();
  LookAhead(const LookAhead&) = delete;
  LookAhead& operator=(const LookAhead&) = delete;

  // The collector found a file: its path string (which must stay unchanged
  // while the look-ahead lives) and its size as the listing gave it.
  void found(CStr path, std::int64_t size) override;

  // The collection is over and files[1..count] holds what found() was
  // given, in that order; false (and nothing planned) when it does not.
  // The caller may still reorder the list until order().
  bool take_list(const Str* files, std::int32_t count);

  // The list is in its final order now: plan it in that order. False (and
  // nothing planned) when memory ran out.
  bool order();

  // The plan of file i (1-based), waiting until it is ready; null when it
  // never will be, because memory ran out. A plan returned stays unchanged
  // while the look-ahead lives.
  const FilePlan* wait(std::int32_t i);

  // Whether wait(i) would return at once: the plan is ready, or never will
  // be. Never waits.
  bool ready(std::int32_t i) const;

 private:
  std::unique_ptr<Planner> pl_;  // null when it could not be started
  const OwnerThread owner_;
};

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
#include <vector>

#include "core/str.h"
#include "dupfiles/collect.h"
#include "dupfiles/owner_thread.h"
#include "filesystem/fs.h"

// What the look-ahead found about one file.
struct FilePlan {
  // The digest of the file's stamp at its first read, when it was steady
  // then (`stamped`): what the look-ahead found holds while the file still
  // has this stamp.
  std::uint64_t stamp;
  // The content key, when readable: the list index of the file whose own
  // key it is (the file's own index when no earlier file shares it).
  std::int32_t key;
  // When the file's bytes were found equal to an earlier file's (the first
  // of its class) while both files had their plans' stamps: that file's
  // index (the comparison holds while both still have them); else 0.
  std::int32_t equal_to;
  bool readable;  // could be opened for reading
  bool stamped;
  bool shared;    // another file has the same key (else none ever will)
};

// A stamp's digest: equal stamps give equal digests, and unequal ones
// unequal digests but for a chance of one in 2^64.
std::uint64_t plan_stamp_digest(const FsFileStamp& stamp);

// The text of a content key, as the unique-string tree holds it: "#" and
// the list index.
std::u16string plan_key_text(std::int32_t key);

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

  // The collector found a file: its entry (which must stay in its list
  // while the look-ahead lives) and its size as the listing gave it.
  void found(const ListedFile* file, std::int64_t size) override;

  // The collection is over and files[1..count] holds what found() was
  // given, in that order; false (and nothing planned) when it does not.
  // The caller may still reorder the list until order().
  bool take_list(const ListedFile* const* files, std::int32_t count);

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

  // Once ordered: the size file i's listing gave, and the files listed with
  // `size` in list order (null when none).
  std::int64_t listed_size(std::int32_t i) const;
  const std::vector<std::int32_t>* listed_with(std::int64_t size) const;

 private:
  std::unique_ptr<Planner> pl_;  // null when it could not be started
  const OwnerThread owner_;
};

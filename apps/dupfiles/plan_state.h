// The look-ahead's shared state, between its threads (plan.cpp) and the
// work that tells contents apart (plan_classes.cpp).
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "dupfiles/plan.h"
#include "dupfiles/wake_signal.h"
#include "fingerprint/fp.h"

// Files up to this size are read whole at once and compared in memory; of
// larger ones this much is read first.
constexpr std::int32_t PLAN_HEAD_BYTES = 16384;
// A first read that could not be made for lack of memory: what uses it
// cannot be planned either.
constexpr std::int32_t PLAN_NO_MEMORY = -2;

// The first read of a file: a hash of its first block (a small file whole)
// and how the file stood while read (its stamp goes to the file's plan).
// Made once, by whichever thread claims it first; the other fields, and
// the plan's stamp, are written only by that thread, before `state`
// becomes DONE, and read by others only after they saw DONE.
struct PlanFirstRead {
  static constexpr std::uint8_t NONE = 0, BUSY = 1, DONE = 2;
  std::atomic<std::uint8_t> state{NONE};
  bool steady = false;   // as FpReadStamp's
  bool changed = false;  // as FpReadStamp's
  bool sized = false;    // its stamp's size was the listed one
  std::int32_t bytes = -1;  // read; -1 when the file could not be opened, PLAN_NO_MEMORY when not tried
  std::uint64_t hash = 0;   // of the bytes read
};

// A file as the collector handed it over, with what the look-ahead finds
// about it: one record per file, so that a file costs the look-ahead no
// more than these few bytes. LookAhead::wait sees `plan` once `state`
// leaves PENDING; the plan (but its stamp) is written only by the thread
// that claimed the file's unit.
struct PlanEntry {
  static constexpr std::uint8_t PENDING = 0, READY = 1, FAILED = 2;
  const ListedFile* file = nullptr;  // fixed
  std::int64_t listed = 0;         // the size its listing gave; fixed
  FilePlan plan{};
  PlanFirstRead first;
  std::atomic<std::uint8_t> state{PENDING};
};

// The entries in the collector's order, in blocks that never move, so that
// a thread may keep an entry while the collector adds more.
class PlanEntries {
 public:
  std::size_t size() const { return count_; }
  PlanEntry& operator[](std::size_t k) { return blocks_[k / BLOCK][k % BLOCK]; }
  // Throws std::bad_alloc when no block can be had.
  void push_back(const ListedFile* file, std::int64_t listed) {
    if (count_ % BLOCK == 0) {
      blocks_.reserve(blocks_.size() + 1);
      blocks_.emplace_back(new PlanEntry[BLOCK]);
    }
    PlanEntry& e = (*this)[count_];
    e.file = file;
    e.listed = listed;
    ++count_;
  }

 private:
  static constexpr std::size_t BLOCK = 4096;
  std::vector<std::unique_ptr<PlanEntry[]>> blocks_;
  std::size_t count_ = 0;
};

// One file of a size that others share, as its first read found it.
// How a file stood while read, as the look-ahead keeps it: FpReadStamp's
// flags, the stamp's size and its digest.
struct PlanStamp {
  bool steady = false;
  bool changed = false;
  std::int64_t size = -1;
  std::uint64_t digest = 0;
};
PlanStamp plan_stamp(const FpReadStamp& read);

struct PlanMember {
  std::int32_t index;
  PlanStamp read;              // how it stood while read
  const unsigned char* whole;  // its whole contents, when held in memory
};

// The buckets of one size group that need reading in full, offered by the
// thread planning the group to a thread that has no unit left: each bucket
// is taken by one thread (`next`), which alone writes its files' plans. The
// offer lives on the offering thread's stack, with the buckets it points to
// (that thread's too), held by a BucketOffer (plan_classes.cpp) whose end
// withdraws it and waits on `helpers_gone` for `helpers` to come to 0; the
// group is published only after that.
struct SharedBuckets {
  const std::vector<PlanMember>* const* buckets = nullptr;  // owned by the group's thread
  std::size_t count = 0;
  std::int64_t size = 0;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> no_memory{false};  // a bucket could not be planned for lack of memory
  std::int32_t helpers = 0;            // threads helping; guarded by the planner's lock
};

// The look-ahead's state, shared by the owner (the main thread) and the two
// look-ahead threads; the thread map in engine.h says who owns what.
struct Planner {
  // Guarded by `lock`.
  std::mutex lock;
  PlanEntries entries;             // in the collector's order; never moved; grows only before `ordered`
  std::size_t early_next = 0;      // the next entry for the early reader
  std::int32_t early_waiting = 0;  // early readers waiting on `early_work`
  bool ordered = false;            // the list is complete and in its final order
  SharedBuckets* offered = nullptr;  // buckets on offer, or null
  std::int32_t helpers_waiting = 0;  // threads waiting on `help_wanted`
  std::atomic<bool> stopping{false};  // no more planning is wanted; set under `lock`, read anywhere

  // One wait per condition, each with `lock`:
  std::condition_variable early_work;    // the early reader: an entry added, the list ordered, or stopping
  std::condition_variable list_ordered;  // a unit planner before its first unit: the list ordered, or stopping
  std::condition_variable help_wanted;   // a thread with no unit left: buckets offered, no unit busy, failed or stopping
  std::condition_variable helpers_gone;  // the thread withdrawing an offer: its helpers left

  // Fixed once `ordered` is set (written by the owner in take_list and
  // order, under `lock`; read-only afterwards by every thread).
  const ListedFile* const* files = nullptr;  // the list, once complete
  std::int32_t count = 0;
  std::vector<std::int32_t> origin;   // list index -> entry index
  std::unordered_map<std::int64_t, std::vector<std::int32_t>> by_size;
  std::vector<std::int32_t> units;  // the first file of each unit, in list order

  // Lock-free hand-offs.
  std::atomic<std::size_t> next_unit{0};     // a unit belongs to the thread that took its number
  std::atomic<std::int32_t> units_busy{0};   // units taken and not yet published
  std::atomic<bool> failed{false};           // memory ran out: no more planning
  WakeSignal published;  // the owner's wait for an entry's plan to leave PENDING
  // The list index of the file whose plan the owner waits for, set before
  // it waits: a plan published for another file wakes nobody.
  std::atomic<std::int32_t> awaited{0};
  WakeSignal read_done;  // a look-ahead thread's wait for a first read the other one makes
  std::vector<std::thread> workers;  // the owner's

  PlanEntry& entry(std::int32_t i) { return entries[static_cast<std::size_t>(origin[static_cast<std::size_t>(i)])]; }
  FilePlan& plan(std::int32_t i) { return entry(i).plan; }
};

// The first bytes of an entry to read: the whole of a small file.
inline std::int32_t plan_head_bytes(std::int64_t size) {
  return size < PLAN_HEAD_BYTES ? static_cast<std::int32_t>(size) : PLAN_HEAD_BYTES;
}

// Claims an entry's first read for the calling thread; false when another
// thread has it (plan_await_read then waits for its result).
bool plan_claim_read(PlanFirstRead& first);
void plan_await_read(Planner& pl, const PlanFirstRead& first);

// Makes a claimed first read of up to `bytes` bytes into buffer.
void plan_make_read(Planner& pl, PlanEntry& e, unsigned char* buffer, std::int32_t bytes);

// Plans the unit that starts at list index i: a file whose size no other file
// has, or every file of one size.
void plan_unit(Planner& pl, std::int32_t i);

// Publishes file m's plan, complete now, unless it was published already;
// only the thread that owns the file's unit (or bucket) calls it.
void plan_publish_file(Planner& pl, std::int32_t m);

// Plans buckets on offer from another thread's group until none is left.
void plan_help(Planner& pl, SharedBuckets& work);

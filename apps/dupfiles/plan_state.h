// The look-ahead's shared state, between its threads (plan.cpp) and the
// work that tells contents apart (plan_classes.cpp).
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
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

// The first read of a file: its first block (a small file whole) and how the
// file stood while read. Made once, by whichever thread claims it first;
// the other fields are written only by that thread, before `state` becomes
// DONE, and read by others only after they saw DONE.
struct PlanFirstRead {
  static constexpr int NONE = 0, BUSY = 1, DONE = 2;
  std::atomic<int> state{NONE};
  std::int32_t bytes = -1;  // read; -1 when the file could not be opened, PLAN_NO_MEMORY when not tried
  std::uint64_t hash = 0;   // of the bytes read
  FpReadStamp read{};
};

// A file as the collector handed it over.
struct PlanEntry {
  PlanEntry(const char16_t* p, std::int64_t s) : path(p), size(s) {}
  const char16_t* path;  // fixed
  std::int64_t size;     // as its listing gave it; fixed
  PlanFirstRead first;
};

// A file's plan slot: plan_wait sees `plan` once `state` leaves PENDING.
// The plan is written only by the thread that claimed the file's unit.
struct PlanSlot {
  static constexpr std::uint8_t PENDING = 0, READY = 1, FAILED = 2;
  std::atomic<std::uint8_t> state{PENDING};
  FilePlan plan{};
};

// One file of a size that others share, as its first read found it.
struct PlanMember {
  std::int32_t index;
  FpReadStamp read;            // how it stood while read
  const unsigned char* whole;  // its whole contents, when held in memory
};

// The buckets of one size group that need reading in full, offered by the
// thread planning the group to a thread that has no unit left: each bucket
// is taken by one thread (`next`), which alone writes its files' plans; the
// group's thread withdraws the offer and waits for its helpers to leave
// before it publishes the group.
struct SharedBuckets {
  const std::vector<PlanMember>* const* buckets = nullptr;  // owned by the group's thread
  std::size_t count = 0;
  std::int64_t size = 0;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> no_memory{false};  // a bucket could not be planned for lack of memory
  std::int32_t helpers = 0;            // threads helping; guarded by the planner's lock
};

// Who owns what:
// - `lock` guards `entries`' growth, `early_next`, `early_idle`, `ordered`
//   and `stopping`, and is what `added` waits with.
// - Fixed once `ordered` is set (written by the main flow in plan_list and
//   plan_order, read-only afterwards by every thread): files, count, origin,
//   by_size, units, slots' number.
// - A unit (units[u]) belongs to the thread that took u from `next_unit`;
//   it alone writes the plans of the unit's files, and publishes each one
//   through its slot's state.
// - `failed` tells every thread that memory ran out.
// - The main flow waits for a slot on `published`, which a thread that
//   publishes one wakes; a thread waits on `read_done` for a first read the
//   other thread is making.
// - `lock` also guards `offered` (buckets on offer, or null) and
//   `helper_idle` (a thread without units waits on `added` for buckets to
//   help with, or for `units_busy`, the units taken and not yet published,
//   to come to 0; whoever brings it to 0 notifies under the lock).
struct Planner {
  std::deque<PlanEntry> entries;  // in the collector's order; never moved
  std::size_t early_next = 0;     // the next entry for the reader that runs during the collection
  bool early_idle = false;        // that reader waits for entries
  bool ordered = false;           // the list is complete and in its final order
  std::atomic<bool> stopping{false};  // released: no more planning is wanted; set under `lock`
  std::mutex lock;
  std::condition_variable added;  // entries added, the list ordered, or stopping

  const Str* files = nullptr;  // the list, once complete
  std::int32_t count = 0;
  std::vector<std::int32_t> origin;  // list index -> entry index
  std::unique_ptr<PlanSlot[]> slots;  // by list index
  std::unordered_map<std::int64_t, std::vector<std::int32_t>> by_size;
  std::vector<std::int32_t> units;  // the first file of each unit, in list order

  std::atomic<std::size_t> next_unit{0};
  std::atomic<std::int32_t> units_busy{0};
  SharedBuckets* offered = nullptr;
  bool helper_idle = false;
  std::atomic<bool> failed{false};
  WakeSignal published;
  WakeSignal read_done;
  std::vector<std::jthread> workers;

  PlanEntry& entry(std::int32_t i) { return entries[static_cast<std::size_t>(origin[static_cast<std::size_t>(i)])]; }
  FilePlan& plan(std::int32_t i) { return slots[static_cast<std::size_t>(i)].plan; }
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

// The look-ahead's shared state, between its threads (plan.cpp) and the
// work that tells contents apart (plan_classes.cpp).
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "dupfiles/plan.h"
#include "fingerprint/fp.h"

// Files up to this size are read whole at once and compared in memory; of
// larger ones this much is read first.
constexpr std::int32_t PLAN_HEAD_BYTES = 16384;
// A first read that could not be made for lack of memory: what uses it
// cannot be planned either.
constexpr std::int32_t PLAN_NO_MEMORY = -2;

// The first read of a file: its first block (a small file whole) and how the
// file stood while read. Made once, by whichever thread claims it first.
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
  const char16_t* path;
  std::int64_t size;  // as its listing gave it
  PlanFirstRead first;
};

struct Planner {
  std::deque<PlanEntry> entries;  // in the collector's order; never moved
  std::size_t early_next = 0;     // the next entry for the reader that runs during the collection
  bool early_idle = false;        // that reader waits for entries
  const Str* files = nullptr;     // the list, once complete
  std::int32_t count = 0;
  std::vector<std::int32_t> origin;  // list index -> entry index, once ordered
  std::vector<FilePlan> plans;       // by list index
  std::unordered_map<std::int64_t, std::vector<std::int32_t>> by_size;
  std::vector<std::int32_t> units;  // the first file of each unit, in order
  std::vector<char> unit_done;
  std::atomic<std::size_t> next_unit{0};
  std::size_t lowest_open_unit = 0;
  std::mutex lock;
  std::condition_variable ready;  // units planned, or ready to be
  std::condition_variable added;  // entries added, or the list ordered
  bool ordered = false;   // the list is complete and in its final order
  bool stopping = false;  // released: before the list was ordered, or with units left when memory ran out
  bool units_ready = false;
  bool failed = false;    // memory ran out: nothing past planned_upto will be planned
  std::int32_t planned_upto = 1;  // every file below this index is planned
  std::vector<std::thread> workers;

  PlanEntry& entry(std::int32_t i) { return entries[static_cast<std::size_t>(origin[static_cast<std::size_t>(i)])]; }
  FilePlan& plan(std::int32_t i) { return plans[static_cast<std::size_t>(i)]; }
};

// The first bytes of an entry to read: the whole of a small file.
inline std::int32_t plan_head_bytes(std::int64_t size) {
  return size < PLAN_HEAD_BYTES ? static_cast<std::int32_t>(size) : PLAN_HEAD_BYTES;
}

// Claims an entry's first read for the calling thread; false when another
// thread has it (plan_await_read then waits for its result).
bool plan_claim_read(PlanFirstRead& first);
void plan_await_read(const PlanFirstRead& first);

// Makes a claimed first read of up to `bytes` bytes into buffer.
void plan_make_read(PlanEntry& e, unsigned char* buffer, std::int32_t bytes);

// Plans the unit that starts at list index i: a file whose size no other file
// has, or every file of one size.
void plan_unit(Planner& pl, std::int32_t i);

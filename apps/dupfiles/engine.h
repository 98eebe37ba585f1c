// Vexolan's engine: one run after the Y key is one VexolanRun, which owns
// everything the run holds, in parts with one owner each: the look-ahead
// (LookAhead, plan.h), the deletion threads (Deleter, deleter.h), the kept
// contents (KeptContents) and the ordered output (OrderedOutput). The
// program's own variables (file_list, file_count, current_file,
// current_hash, the counts, the collector's collect_*) stay process-wide;
// nothing else of the engine is. file_list (FileList, file_list.h) holds
// each file as its directory's one path and its name; every other part
// names a file by its list index or its ListedFile and makes the full path
// where a system call needs it.
//
// One file's road: collect_files stores its directory and name and tells
// the look-ahead (LookAhead::found); the early reader makes its first read;
// once the list is sorted, the look-ahead thread that takes the file's unit
// gives it a content key and publishes its plan in the file's record. At
// the file's turn the main thread takes the plan (VexolanRun::key_at_turn)
// where the file still has the stamp the plan was made on (else it reads
// the file afresh), meets its key in the kept contents (the unique-string
// tree; a key the plan shows no other file has is kept without meeting
// it), and for a key
// met before chooses (VexolanRun::confirm); a duplicate's line is queued
// first (OrderedOutput::deletion), then its deletion (Deleter::submit). A
// deletion thread confirms the bytes once more and removes the file; the
// main thread prints the line when its turn in the output comes and the
// result is in (OrderedOutput::drain).
//
// Threads
// - main: makes the run and calls every public operation of the run and of
//   its parts (each asserts it in debug builds). Owns the Parts' variables,
//   the kept contents and the output. Waits in WakeSignal::wait, for a plan
//   (LookAhead::wait) or a deletion's result (Deleter::submit, result), and
//   for the threads' end in the destructors of LookAhead and Deleter.
// - early reader (look-ahead thread 1): during the collection and the sort,
//   the first reads of the files listed so far; then a unit planner.
// - unit planner (look-ahead thread 2, and thread 1 once the list is
//   ordered): takes units (a file of its own size, or all files of one
//   size) in list order and owns each unit it took until it is published;
//   with no unit left, helps with buckets that the other thread offers
//   (SharedBuckets, plan_state.h), each bucket it takes its own.
// - deletion threads (up to 16): each takes the next job in ticket order,
//   owns it until its result is stored, and compares and removes the file.
//
// Shared fields and what guards them
// - Planner (plan_state.h): `lock` guards entries' growth, early_next,
//   early_waiting, ordered, offered, helpers_waiting, SharedBuckets::helpers
//   and the writes of stopping. files, count, origin, by_size and units are
//   written by main under `lock` before `ordered` is set, and are fixed
//   after. A PlanEntry's path and listed size are fixed; its first read
//   (with its plan's stamp) is written by the one thread that claimed it
//   (PlanFirstRead::state) and read by others once its state is DONE. The
//   rest of its plan is written by the thread that owns its unit or bucket,
//   and read by main once the entry's state left PENDING. next_unit,
//   units_busy, failed, stopping, awaited, SharedBuckets::next and
//   no_memory are atomics.
// - Deleter: `lock_` guards jobs_' growth, next_, idle_ and stopping_; main
//   alone adds jobs, so it reads jobs_ without the lock. A job's result is
//   an atomic written once by the thread that took the job; finished_ is an
//   atomic count of results in.
// - file_list: written by main during the collection; a ListedFile is
//   fixed once stored and reaches a look-ahead thread through the
//   planner's lock (LookAhead::found); the list's order is fixed once the
//   list is ordered, before any other thread reads it (a deletion thread
//   through its job, taken under Deleter::lock_).
// - Everything else of the run is main's alone.
//
// Locks, and their order: Planner::lock, Deleter::lock_, and the lock inside
// each WakeSignal (Planner::published, Planner::read_done, Deleter::done_).
// No thread ever holds two of them at once, so no order between them
// arises; a WakeSignal is woken only after the lock of its owner's state
// was let go.
//
// Waits, one per condition
// - Planner::early_work: the early reader, for an entry, the order, or stop.
// - Planner::list_ordered: a unit planner, for the order, or stop.
// - Planner::help_wanted: a planner with no unit left, for an offer, no
//   unit busy, a failure, or stop.
// - Planner::helpers_gone: a planner ending its BucketOffer, for its
//   helpers to leave.
// - Planner::read_done: a planner, for a first read the other one makes.
// - Planner::published: main, for the plan of the file whose turn it is.
// - Deleter::work_: a deletion thread, for a job, or stop.
// - Deleter::done_: main, for room to submit or a ticket's result.
// (Not atomic::wait, stop tokens or semaphores: the 32-bit Windows build's
// library can lose their wake-ups; mutexes and condition variables only.)
#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/str.h"
#include "dupfiles/deleter.h"
#include "dupfiles/owner_thread.h"
#include "dupfiles/plan.h"
#include "dupfiles/vexolan.h"
#include "filesystem/fs.h"

// The kept contents: the unique-string tree holds one content key per
// contents met (Vexolan's only table of them), and behind each of its
// nodes the files kept with that key: the first, and any kept after it
// because their bytes differ though the key is the same. For files read
// afresh at their turn, kept files are found by size: through the
// look-ahead's list of the files listed with that size, and apart, by the
// size they had when kept, those that list does not give (the files read
// afresh, and those whose size changed since their listing).
class KeptContents {
 public:
  KeptContents();  // an empty tree
  // Meets `key`: its node, with *met true when the key was met before.
  // Throws std::bad_alloc when the tree cannot take it.
  std::int32_t meet(CStr key, bool* met);
  // The files kept with a node's key, in the order kept.
  std::vector<std::int32_t> files(std::int32_t node) const;
  // Keeps file `index` with a node's key; with KEPT_ALONE, a file whose key
  // no other file has (the look-ahead's own key), which gets a node only
  // where a file read afresh is found equal to it.
  static constexpr std::int32_t KEPT_ALONE = -2;
  void keep(std::int32_t node, std::int32_t index);
  // Also finds kept file `index` by its size: it is not in the look-ahead's
  // list of that size, or was read afresh.
  void keep_apart(std::int32_t index, std::int64_t size, bool fresh);
  // The key of a kept file of `size` whose bytes current_file holds now
  // (with `fresh_only`, only those kept after being read afresh); null when
  // none. `listed`: the files listed with that size, in list order, or null.
  // *unsure tells that a kept file still there could not be compared, so
  // that null does not prove the contents new. Throws std::bad_alloc.
  CStr same_as_kept(std::int64_t size, bool fresh_only, const std::vector<std::int32_t>* listed, bool* unsure);
  // Whether a file was kept after being read afresh with this size.
  bool fresh_size(std::int64_t size) const { return fresh_sizes_.count(size) != 0; }

 private:
  struct Apart {
    std::int32_t index;
    bool fresh;  // it was read afresh
  };
  std::vector<std::int32_t> first_;  // by tree node: the first file kept with its key
  std::unordered_map<std::int32_t, std::vector<std::int32_t>> more_;  // by tree node: files kept after the first
  std::int32_t node(std::int32_t index);  // a kept file's node, made where it has none yet
  std::vector<std::int32_t> node_of_;  // by list index: a kept file's node, KEPT_ALONE, else -1
  std::vector<bool> apart_files_;      // by list index: kept apart
  std::unordered_map<std::int64_t, std::vector<Apart>> apart_;  // by size
  std::unordered_set<std::int64_t> fresh_sizes_;
};

// The run's lines in the order of the turns that made them. A line waits
// behind any deletion whose result it follows, so that deletions run on
// their own threads while the turns go on and the console still shows
// everything in list order. Also the deletions under way, by the identity
// of their files.
class OrderedOutput {
 public:
  // Where the deletions' results come from, once there is a deleter.
  void results_from(Deleter* deleter) { deleter_ = deleter; }
  // Each queues a line (a batch goes out when one is due).
  void line(CStr text, std::int32_t index, std::int32_t colour);  // text + the file's path
  void progress(std::int32_t passed);
  void unconfirmed(std::int32_t index);  // a duplicate that could not be confirmed: a failed deletion
  // The deletion of file `index` (stamped `stamp`) as a copy of `copy_of`:
  // its line waits in its place before its ticket exists, so that no
  // deletion is made without its line.
  void deletion(std::int32_t index, std::int32_t copy_of, const FsFileStamp& stamp);
  // Whether the file with this identity is being deleted.
  bool under_way(const FsFileIdentity& id) const { return deleting_.count(identity_number(id)) != 0; }
  // Prints the waiting lines that can be printed, as one batch; with
  // `wait`, all of them, the batch going out before each wait for a
  // deletion's result.
  void drain(bool wait);

 private:
  enum class Kind { Line, Progress, Deletion, Unconfirmed };
  struct Pending {
    Kind kind;
    std::int32_t index;       // the file the line names
    CStr text;                // Line: the text before the path
    std::int32_t colour;      // Line
    std::int32_t ticket;      // Deletion
    std::int32_t passed;      // Progress: files passed at that point
    std::uint64_t identity;   // Deletion: the file's identity number
  };
  // Two files may share a number: then a turn waits for no reason, no more.
  static std::uint64_t identity_number(const FsFileIdentity& id) { return id.index * 31 + id.volume; }
  void drain_due();  // a batch when enough lines wait or enough time passed
  void deletion_line(std::int32_t index, bool deleted);

  Deleter* deleter_ = nullptr;
  std::deque<Pending> pending_;
  std::unordered_multiset<std::uint64_t> deleting_;  // identity numbers of deletions under way
  std::int32_t queued_ = 0;       // lines queued since the last batch
  std::uint32_t drained_at_ = 0;  // tm_elapsed_ms of the last batch
};

// Where a run stands once its list is collected and ordered: its keys come
// from the look-ahead, or from each file's fingerprint (no look-ahead could
// be had), or from nowhere (memory ran out while ordering); then processed.
enum class RunPhase { LookAhead, Fingerprints, NoMemory, Processed };

// One run after the Y key. Its public operations are main's (asserted).
class VexolanRun {
 public:
  // Collects every file below `path` into file_list / file_count (from an
  // empty list, the counts at 0), sorts the list, and starts the look-ahead
  // and the deletion threads, so that they work during the pause the caller
  // makes after it. `turn`, when given, is called at each file's turn.
  explicit VexolanRun(CStr path, VexolanTurnFn turn = nullptr);
  ~VexolanRun() = default;  // the parts join their threads
  VexolanRun(const VexolanRun&) = delete;
  VexolanRun& operator=(const VexolanRun&) = delete;

  // Gives each file its turn, finishes the deletions, ends the threads and
  // prints the summary (its time from start_ms). Once.
  void process(std::int32_t start_ms);

 private:
  // How file i stands at its turn.
  struct Turn {
    bool here = false;        // it could be reached
    FsFileStamp stamp{};      // its stamp then, when here
    std::int64_t size = 0;
    const FilePlan* plan = nullptr;  // the look-ahead's plan, where it still holds
    bool alone = false;              // its key is its own, and no other file's (with the plan)
  };
  enum class Verdict { Duplicate, SameFile, Collision, Unreadable };

  void order();
  void turns();
  bool look(Turn& t);
  bool key_at_turn(std::int32_t i, Turn& t);
  bool fresh_key(std::int32_t i, std::int64_t size);
  bool match_fresh(std::int64_t size, bool* unsure);
  Verdict confirm(const std::vector<std::int32_t>& kept, const Turn& t, std::int32_t* copy_of);
  void keep(std::int32_t node, std::int32_t i, const Turn& t, bool fresh);

  const OwnerThread owner_;
  const VexolanTurnFn turn_;
  std::int32_t root_length_ = 0;  // units of the scanned directory's path, separator included, in every collected path
  RunPhase phase_ = RunPhase::NoMemory;
  std::optional<LookAhead> ahead_;   // while it plans this run's list
  std::optional<Deleter> deleter_;   // from the end of the ordering to the end of the processing
  KeptContents kept_;
  OrderedOutput out_;
};

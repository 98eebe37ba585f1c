// Deletes files on threads of its own, taken up in the order asked, so that
// the main flow can go on deciding about the next files while the system
// removes the last ones. Each deletion is confirmed on its thread at the
// moment of removal: the file is held open, its bytes are compared with
// the kept file's (which must be another file), and only then, while its
// path still leads to it, is it removed. Results are read back by ticket.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "core/str.h"
#include "dupfiles/file_list.h"
#include "dupfiles/owner_thread.h"
#include "dupfiles/wake_signal.h"

// Decisions that may wait for a deletion thread at once; a further
// submission waits until one is done, so no decision waits long.
constexpr std::int32_t DELETER_CAPACITY = 64;

// The deletion threads of one run. Every public operation is the owner's
// (the thread that made it); the threads are started by the constructor
// and joined by the destructor, once every queued deletion is done.
class Deleter {
 public:
  // The paths to delete lie below a root made of their first
  // `root_length` units. Where no thread can be started, or the files the
  // process may hold open leave no room for one, each deletion runs when
  // it is submitted.
  explicit Deleter(std::int32_t root_length);
  ~Deleter();
  Deleter(const Deleter&) = delete;
  Deleter& operator=(const Deleter&) = delete;

  // Queues the deletion of file `path` (with the force option) as a copy of
  // file `kept` and returns its ticket. Both must stay in their list until
  // the result has been read.
  std::int32_t submit(const ListedFile* path, const ListedFile* kept);

  // The result of a ticket: 1 deleted, 0 failed or refused (not deleted),
  // -1 still pending (only when `wait` is false).
  std::int32_t result(std::int32_t ticket, bool wait);

 private:
  struct Job {
    const ListedFile* path;
    const ListedFile* kept;
    std::atomic<std::int8_t> result{-1};  // -1 pending; written once, by the thread that took the job
    Job(const ListedFile* p, const ListedFile* k) : path(p), kept(k) {}
  };

  void run();  // a deletion thread

  const std::int32_t root_length_;  // fixed before any thread starts
  const OwnerThread owner_;
  // Guarded by lock_: `jobs_`' growth (only the owner adds, so the owner
  // reads it without the lock; elements never move, and each result is
  // reached through its own atomic), `next_`, `idle_`, `stopping_`.
  std::mutex lock_;
  std::condition_variable work_;  // a deletion thread's wait: a job to take up, or stopping
  std::deque<Job> jobs_;          // by ticket
  std::int32_t next_ = 0;         // the next ticket to take up
  std::int32_t idle_ = 0;         // threads waiting on work_
  bool stopping_ = false;
  std::atomic<std::int32_t> finished_{0};  // results in
  WakeSignal done_;  // the owner's wait: a result in (a submission's room, or a ticket's result)
  std::vector<std::thread> workers_;  // the owner's
};

// How many deletion threads a run starts where the process may hold
// `open_files_limit` files open at once: none where so few are left that
// the owner had better delete each file itself.
std::int32_t deleter_thread_count(std::int64_t open_files_limit);

// Confirms and deletes one file as a deletion thread does: 1 when `path`
// was deleted, 0 when not (the file or the kept one could not be held or
// read to its end, both paths reach one file, their bytes differ, the path
// no longer leads to the file compared, or the removal failed).
// `buffer`: FP_COMPARE_BUFFER_BYTES for the comparison, or null.
std::int32_t deleter_confirm_and_delete(CStr path, CStr kept, std::int32_t root_length,
                                        unsigned char* buffer = nullptr);

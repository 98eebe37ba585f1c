// The deletion threads.
#include "dupfiles/deleter.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <new>

#include "filesystem/fs.h"
#include "fingerprint/fp.h"
#include "platform/os_process.h"

namespace {

// Removing a file costs the system far more than deciding to, and most of
// that time is spent waiting for the file system to read its allocation
// records: many removals waiting at once keep up with the main flow.
constexpr std::int64_t DELETER_THREADS = 16;
// A deletion holds at most this many files open at once: its thread's root
// directory, the file and its directory, and the kept file (with its
// directory where the system cannot resolve a path in one call).
constexpr std::int64_t DELETION_HANDLES = 5;
// Files the rest of the run may hold open besides the look-ahead's share:
// the standard streams, the main thread's reads at a file's turn, and what
// the system's own libraries open.
constexpr std::int64_t OTHER_HANDLES = 24;

// A deletion that cannot be confirmed for lack of memory is not made.
std::int8_t deleter_attempt(const ListedFile* path, const ListedFile* kept, std::int32_t root_length,
                            unsigned char* buffer) {
  try {
    return deleter_confirm_and_delete(listed_path(path).c_str(), listed_path(kept).c_str(), root_length, buffer) ? 1
                                                                                                                 : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

std::int32_t deleter_thread_count(std::int64_t open_files_limit) {
  // A quarter of what is left after the rest: a file that cannot be held
  // for want of a handle would be reported as a failed deletion.
  const std::int64_t share = (open_files_limit - OTHER_HANDLES) / 4 / DELETION_HANDLES;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(share, 0, DELETER_THREADS));
}

std::int32_t deleter_confirm_and_delete(CStr path, CStr kept, std::int32_t root_length, unsigned char* buffer) {
  // The file to delete is held first: on Windows, holding the kept file
  // then fails when both paths reach one file through links.
  FsHeldFile copy, original;
  std::int32_t deleted = 0;
  if (fs_hold_file(path, root_length, 1, &copy)) {
    if (fs_hold_file(kept, root_length, 0, &original) && !(copy.identity == original.identity) &&
        fp_held_equal(&copy, &original, buffer) == 1)
      deleted = fs_delete_held(path, root_length, &copy, FS_DELETE_FORCE);
    fs_release_held(&original);
  }
  fs_release_held(&copy);
  return deleted;
}

Deleter::Deleter(std::int32_t root_length) : root_length_(root_length) {
  // A thread that cannot be started leaves the work to the others, or to
  // the owner itself.
  try {
    const std::int32_t count = deleter_thread_count(fs_open_files_limit());
    workers_.reserve(static_cast<std::size_t>(count));
    for (std::int32_t k = 0; k < count; ++k) workers_.emplace_back(&Deleter::run, this);
  } catch (const std::exception&) {
  }
}

Deleter::~Deleter() {
  owner_.check();
  {
    std::lock_guard g(lock_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& w : workers_) w.join();  // once the queue is empty
}

// Takes up jobs in ticket order; once stopping, ends when none is left.
void Deleter::run() {
  const OsCrashGuard guard;
  // One comparison buffer for the thread's whole life; without it each
  // comparison tries for one of its own.
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[FP_COMPARE_BUFFER_BYTES]);
  std::unique_lock g(lock_);
  for (;;) {
    ++idle_;
    work_.wait(g, [this] { return stopping_ || next_ < static_cast<std::int32_t>(jobs_.size()); });
    --idle_;
    if (next_ >= static_cast<std::int32_t>(jobs_.size())) return;  // stopping, and nothing left
    Job& job = jobs_[static_cast<std::size_t>(next_++)];
    g.unlock();
    job.result.store(deleter_attempt(job.path, job.kept, root_length_, buffer.get()));
    finished_.fetch_add(1);
    done_.wake();
    g.lock();
  }
}

std::int32_t Deleter::submit(const ListedFile* path, const ListedFile* kept) {
  owner_.check();
  const bool threads = !workers_.empty();
  const std::int32_t t = static_cast<std::int32_t>(jobs_.size());
  if (threads) done_.wait([this, t] { return t - finished_.load() < DELETER_CAPACITY; });
  std::unique_lock g(lock_);
  Job& job = jobs_.emplace_back(path, kept);
  if (!threads) {
    next_ = t + 1;
    g.unlock();
    job.result.store(deleter_attempt(path, kept, root_length_, nullptr));
    finished_.fetch_add(1);
  } else {
    // A thread that is not waiting takes the next job before it waits
    // again: another is woken only where the jobs waiting outnumber the
    // threads at work, so that a queue the threads keep up with costs no
    // wake-up per deletion.
    const std::int32_t waiting = static_cast<std::int32_t>(jobs_.size()) - next_;
    const std::int32_t working = static_cast<std::int32_t>(workers_.size()) - idle_;
    const bool wake = idle_ > 0 && waiting > working;
    g.unlock();
    if (wake) work_.notify_one();  // every thread waiting on work_ waits for the same thing
  }
  return t;
}

std::int32_t Deleter::result(std::int32_t ticket, bool wait) {
  owner_.check();
  const Job& job = jobs_[static_cast<std::size_t>(ticket)];  // the owner alone adds jobs: no lock needed to read
  if (wait) done_.wait([&job] { return job.result.load() >= 0; });
  return job.result.load();
}

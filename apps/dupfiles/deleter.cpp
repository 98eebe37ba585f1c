// The deletion threads.
#include "dupfiles/deleter.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "dupfiles/wake_signal.h"
#include "filesystem/fs.h"
#include "fingerprint/fp.h"

namespace {

// Who owns what: `jobs`, `next`, `stopping` and `idle` are guarded by
// `lock`; `jobs` grows only on the main flow (under the lock), and its
// elements never move, so each result is reached through its own atomic
// without the lock. `finished` counts results in. The main flow waits on
// `done` for a result, which a thread wakes after storing one.
// `root_length` is fixed before any thread starts; `workers` is the main
// flow's alone. A job belongs to the thread that took its ticket from
// `next` until its result is in.
struct Deleter {
  struct Job {
    CStr path;
    CStr kept;
    std::atomic<std::int8_t> result{-1};  // -1 pending
    Job(CStr p, CStr k) : path(p), kept(k) {}
  };
  std::int32_t root_length = 0;
  std::vector<std::jthread> workers;
  std::mutex lock;
  std::condition_variable work;  // a path submitted, or stopping
  std::deque<Job> jobs;          // by ticket
  std::int32_t next = 0;         // next ticket to take up
  std::int32_t idle = 0;         // threads waiting for work
  bool stopping = false;
  std::atomic<std::int32_t> finished{0};
  WakeSignal done;  // a result in
};

// Removing a file costs the system far more than deciding to, and most of
// that time is spent waiting for the file system to read its allocation
// records: many removals waiting at once keep up with the main flow.
constexpr int DELETER_THREADS = 16;

Deleter* g_del = nullptr;

// A deletion that cannot be confirmed for lack of memory is not made.
std::int8_t deleter_attempt(const Deleter::Job& job, std::int32_t root_length, unsigned char* buffer) {
  try {
    return deleter_confirm_and_delete(job.path, job.kept, root_length, buffer) ? 1 : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

// Records a job's result; wakes the main flow when it waits.
void deleter_post(Deleter* d, Deleter::Job& job, std::int8_t result) {
  job.result.store(result);
  d->finished.fetch_add(1);
  d->done.wake();
}

// Takes up jobs in ticket order; once stopping, ends when none is left.
void deleter_run(Deleter* d) {
  // One comparison buffer for the thread's whole life; without it each
  // comparison tries for one of its own.
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[FP_COMPARE_BUFFER_BYTES]);
  std::unique_lock g(d->lock);
  for (;;) {
    ++d->idle;
    d->work.wait(g, [d] { return d->stopping || d->next < static_cast<std::int32_t>(d->jobs.size()); });
    --d->idle;
    if (d->next >= static_cast<std::int32_t>(d->jobs.size())) return;  // stopping, and nothing left
    Deleter::Job& job = d->jobs[static_cast<std::size_t>(d->next++)];
    g.unlock();
    deleter_post(d, job, deleter_attempt(job, d->root_length, buffer.get()));
    g.lock();
  }
}

}  // namespace

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

void deleter_start(std::int32_t root_length) {
  deleter_stop();
  g_del = new Deleter;
  g_del->root_length = root_length;
  // A thread that cannot be started leaves the work to the others, or to
  // the main flow itself.
  for (int k = 0; k < DELETER_THREADS; ++k) {
    try {
      g_del->workers.emplace_back(deleter_run, g_del);
    } catch (const std::exception&) {
      break;
    }
  }
}

std::int32_t deleter_submit(CStr path, CStr kept) {
  const bool threads = !g_del->workers.empty();
  const std::int32_t t = static_cast<std::int32_t>(g_del->jobs.size());
  if (threads) g_del->done.wait([t] { return t - g_del->finished.load() < DELETER_CAPACITY; });
  std::unique_lock g(g_del->lock);
  Deleter::Job& job = g_del->jobs.emplace_back(path, kept);
  if (!threads) {
    g_del->next = t + 1;
    g.unlock();
    job.result.store(deleter_attempt(job, g_del->root_length, nullptr));
    g_del->finished.fetch_add(1);
  } else if (g_del->idle > 0) {
    g_del->work.notify_one();
  }
  return t;
}

std::int32_t deleter_result(std::int32_t ticket, bool wait) {
  // Only the main flow adds jobs, so it reads the queue without the lock.
  const Deleter::Job& job = g_del->jobs[static_cast<std::size_t>(ticket)];
  if (wait) g_del->done.wait([&job] { return job.result.load() >= 0; });
  return job.result.load();
}

void deleter_stop() {
  if (!g_del) return;
  {
    std::lock_guard g(g_del->lock);
    g_del->stopping = true;
  }
  g_del->work.notify_all();
  for (auto& w : g_del->workers) w.join();  // once the queue is empty
  delete g_del;
  g_del = nullptr;
}

// The deletion threads.
#include "dupfiles/deleter.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "filesystem/fs.h"
#include "fingerprint/fp.h"

namespace {

// Lock discipline: every field below `lock` is guarded by it. `root_length`
// is fixed before any thread starts; `workers` is the main flow's alone.
// A job belongs to the thread that took its ticket from `next` until its
// result is in.
struct Deleter {
  std::int32_t root_length = 0;
  std::vector<std::jthread> workers;
  std::mutex lock;
  std::condition_variable_any work;  // a path submitted, or stopping: wakes one deletion thread per path
  std::condition_variable done;      // a result in: wakes the main flow, waiting for a result or for room
  struct Job {
    CStr path;
    CStr kept;
  };
  std::vector<Job> jobs;             // by ticket
  std::vector<std::int8_t> results;  // by ticket: -1 pending
  std::int32_t next = 0;             // next ticket to take up
  std::int32_t finished = 0;         // results in
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

// Takes up jobs in ticket order; once stopped, ends when none is left.
void deleter_run(std::stop_token stop, Deleter* d) {
  // One comparison buffer for the thread's whole life; without it each
  // comparison tries for one of its own.
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[FP_COMPARE_BUFFER_BYTES]);
  std::unique_lock g(d->lock);
  for (;;) {
    if (!d->work.wait(g, stop, [d] { return d->next < static_cast<std::int32_t>(d->jobs.size()); })) return;
    std::int32_t t = d->next++;
    Deleter::Job job = d->jobs[static_cast<std::size_t>(t)];
    g.unlock();
    std::int8_t ok = deleter_attempt(job, d->root_length, buffer.get());
    g.lock();
    d->results[static_cast<std::size_t>(t)] = ok;
    ++d->finished;
    d->done.notify_all();
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
  std::unique_lock g(g_del->lock);
  g_del->done.wait(g, [] {
    return g_del->workers.empty() ||
           static_cast<std::int32_t>(g_del->jobs.size()) - g_del->finished < DELETER_CAPACITY;
  });
  const std::int32_t t = static_cast<std::int32_t>(g_del->jobs.size());
  g_del->results.push_back(-1);
  g_del->jobs.push_back({path, kept});
  if (g_del->workers.empty()) {
    g_del->next = t + 1;
    g.unlock();
    std::int8_t ok = deleter_attempt({path, kept}, g_del->root_length, nullptr);
    g.lock();
    g_del->results[static_cast<std::size_t>(t)] = ok;
    ++g_del->finished;
  } else {
    g_del->work.notify_one();
  }
  return t;
}

std::int32_t deleter_result(std::int32_t ticket, bool wait) {
  std::unique_lock g(g_del->lock);
  auto done = [ticket] { return g_del->results[static_cast<std::size_t>(ticket)] >= 0; };
  if (wait) g_del->done.wait(g, done);
  return g_del->results[static_cast<std::size_t>(ticket)];
}

void deleter_stop() {
  if (!g_del) return;
  for (auto& w : g_del->workers) w.request_stop();
  g_del->workers.clear();  // joins, once the queue is empty
  delete g_del;
  g_del = nullptr;
}

// The deletion threads.
#include "dupfiles/deleter.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "filesystem/fs.h"

namespace {

struct Deleter {
  std::mutex lock;
  std::condition_variable work;  // a path submitted, or stopping: wakes one deletion thread per path
  std::condition_variable done;  // a result in: wakes the thread that waits for results
  std::vector<CStr> paths;           // by ticket
  std::vector<std::int8_t> results;  // by ticket: -1 pending
  std::int32_t next = 0;             // next ticket to delete
  bool stopping = false;
  std::vector<std::thread> workers;
};

// Removing a file costs the system far more than deciding to, and most of
// that time is spent waiting for the file system to read its allocation
// records: many removals waiting at once keep up with the main flow.
constexpr int DELETER_THREADS = 16;

Deleter* g_del = nullptr;

void deleter_run(Deleter* d) {
  std::unique_lock g(d->lock);
  for (;;) {
    d->work.wait(g, [d] { return d->stopping || d->next < static_cast<std::int32_t>(d->paths.size()); });
    if (d->next >= static_cast<std::int32_t>(d->paths.size())) return;  // stopping, nothing left
    std::int32_t t = d->next++;
    CStr path = d->paths[static_cast<std::size_t>(t)];
    g.unlock();
    std::int8_t ok = fs_delete_file(path, FS_DELETE_FORCE) ? 1 : 0;
    g.lock();
    d->results[static_cast<std::size_t>(t)] = ok;
    d->done.notify_all();
  }
}

}  // namespace

void deleter_start() {
  deleter_stop();
  g_del = new Deleter;
  for (int k = 0; k < DELETER_THREADS; ++k) g_del->workers.emplace_back(deleter_run, g_del);
}

std::int32_t deleter_submit(CStr path) {
  std::lock_guard g(g_del->lock);
  g_del->paths.push_back(path);
  g_del->results.push_back(-1);
  g_del->work.notify_one();
  return static_cast<std::int32_t>(g_del->paths.size()) - 1;
}

std::int32_t deleter_result(std::int32_t ticket, bool wait) {
  std::unique_lock g(g_del->lock);
  auto done = [ticket] { return g_del->results[static_cast<std::size_t>(ticket)] >= 0; };
  if (wait) g_del->done.wait(g, done);
  return g_del->results[static_cast<std::size_t>(ticket)];
}

void deleter_stop() {
  if (!g_del) return;
  {
    std::lock_guard g(g_del->lock);
    g_del->stopping = true;
    g_del->work.notify_all();
  }
  for (auto& w : g_del->workers) w.join();
  delete g_del;
  g_del = nullptr;
}

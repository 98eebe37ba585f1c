// Files that an interrupted process deletes: a list that the ends of the
// process walk without a lock, from a signal handler or a thread of their
// own, while the main flow adds and takes off marks.
//
// Marks are added at the head and taken off under a lock that only the
// main flows take. A walker announces itself before it reads the head, and
// a mark taken off is freed only once no walker is on the way, so that a
// walker never follows a link into freed memory (all accesses are
// sequentially consistent: a walker that announced itself after the check
// reads the list without the mark).
#include <atomic>
#include <mutex>
#include <new>
#include <thread>

#include "platform/end_marks.h"
#include "platform/os_file.h"

struct OsEndMark {
  std::atomic<OsEndMark*> next;
  void* native;
};

namespace {

std::atomic<OsEndMark*> g_head{nullptr};
std::atomic<int> g_walkers{0};
std::mutex g_change;
std::once_flag g_begun;

}  // namespace

OsEndMark* os_file_mark_for_end(const char16_t* path) {
  if (!path) return nullptr;
  std::call_once(g_begun, os_end_marks_begin);
  auto* mark = new (std::nothrow) OsEndMark{};
  if (!mark) return nullptr;
  mark->native = os_end_path_new(path);
  if (!mark->native) {
    delete mark;
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_change);
  mark->next.store(g_head.load());
  g_head.store(mark);
  return mark;
}

void os_file_unmark(OsEndMark* mark) {
  if (!mark) return;
  {
    std::lock_guard<std::mutex> lock(g_change);
    std::atomic<OsEndMark*>* link = &g_head;
    while (link->load() && link->load() != mark) link = &link->load()->next;
    if (!link->load()) return;  // not marked: nothing of it to free
    link->store(mark->next.load());
  }
  // A walker is a signal handler or an ending thread: it finishes at once.
  while (g_walkers.load() != 0) std::this_thread::yield();
  os_end_path_free(mark->native);
  delete mark;
}

void os_remove_marked_files() {
  g_walkers.fetch_add(1);
  for (OsEndMark* m = g_head.load(); m; m = m->next.load()) os_end_path_delete(m->native);
  g_walkers.fetch_sub(1);
}

// Vexolan's look-ahead threads. While the collector lists the tree, the
// early reader makes the first reads of the files found so far; once the
// list is in its final order, both threads take its units in that order,
// and each file's plan is published in a slot of its own, which the main
// flow reads in list order.
#include "dupfiles/plan.h"

#include <algorithm>
#include <exception>
#include <new>

#include "dupfiles/plan_state.h"
#include "platform/os_process.h"

namespace {

// Runs while the collection and the sort keep the main thread busy, so that
// the second core is not idle meanwhile. It stops as soon as the list is in
// order: from then on files are read in the order the main flow wants them.
void plan_read_early(Planner& pl) {
  std::vector<unsigned char> buffer(PLAN_HEAD_BYTES);
  // Entries are taken a batch at a time, so that the collector, which adds
  // them under the same lock, seldom finds it taken.
  constexpr std::size_t BATCH = 32;
  std::vector<PlanEntry*> batch;
  batch.reserve(BATCH);
  std::unique_lock g(pl.lock);
  for (;;) {
    ++pl.early_waiting;
    pl.early_work.wait(g, [&pl] { return pl.ordered || pl.stopping || pl.early_next < pl.entries.size(); });
    --pl.early_waiting;
    if (pl.ordered || pl.stopping) return;
    batch.clear();
    while (batch.size() < BATCH && pl.early_next < pl.entries.size()) batch.push_back(&pl.entries[pl.early_next++]);
    g.unlock();
    for (PlanEntry* e : batch) {
      if (pl.stopping.load()) break;
      if (plan_claim_read(e->first)) plan_make_read(pl, *e, buffer.data(), e->listed < 0 ? 0 : plan_head_bytes(e->listed));
    }
    g.lock();
  }
}

// Publishes the plans of the unit that starts at list index i (those not
// published already, as their buckets were done).
void plan_publish(Planner& pl, std::int32_t i) {
  std::int64_t size = pl.entry(i).listed;
  auto group = size >= 0 ? pl.by_size.find(size) : pl.by_size.end();
  if (group == pl.by_size.end() || group->second.front() != i) {
    plan_publish_file(pl, i);
    return;
  }
  for (std::int32_t m : group->second) plan_publish_file(pl, m);
}

// A unit taken is busy until published; the thread that ends the last one
// tells a thread waiting to help that there is nothing more to wait for.
void plan_unit_done(Planner& pl) {
  if (pl.units_busy.fetch_sub(1) != 1) return;
  std::lock_guard g(pl.lock);
  if (pl.helpers_waiting > 0) pl.help_wanted.notify_all();
}

// With no unit left, helps with the buckets another thread offers, until
// every unit is published or planning is stopped.
void plan_help_others(Planner& pl) {
  std::unique_lock g(pl.lock);
  for (;;) {
    ++pl.helpers_waiting;
    pl.help_wanted.wait(g, [&pl] {
      return pl.stopping || pl.failed.load() || pl.units_busy.load() == 0 ||
             (pl.offered && pl.offered->next.load() < pl.offered->count);
    });
    --pl.helpers_waiting;
    if (pl.stopping || pl.failed.load() || !pl.offered || pl.offered->next.load() >= pl.offered->count) return;
    SharedBuckets* work = pl.offered;
    ++work->helpers;
    g.unlock();
    plan_help(pl, *work);
    g.lock();
    // The offering thread waits for this under the lock before `work` ends.
    if (--work->helpers == 0) pl.helpers_gone.notify_all();
  }
}

// Takes units in list order until none are left or planning is stopped,
// then helps with what another thread still plans.
void plan_units(Planner& pl) {
  while (!pl.stopping.load() && !pl.failed.load()) {
    pl.units_busy.fetch_add(1);
    std::size_t u = pl.next_unit.fetch_add(1);
    if (u >= pl.units.size()) {
      plan_unit_done(pl);
      plan_help_others(pl);
      return;
    }
    plan_unit(pl, pl.units[u]);
    plan_publish(pl, pl.units[u]);
    plan_unit_done(pl);
  }
}

// Every plan not yet published is failed, so that the main flow stops
// waiting for one; those published stay as they are. Called once the list
// is ordered (the entries are fixed then), without the lock.
void plan_fail_slots(Planner& pl) {
  for (std::int32_t i = 1; i <= pl.count; ++i) {
    std::uint8_t pending = PlanEntry::PENDING;
    pl.entry(i).state.compare_exchange_strong(pending, PlanEntry::FAILED);
  }
  pl.published.wake();
}

// A look-ahead thread: the early reader first (when `early`), then a unit
// planner once the list is ordered. Out of memory, the look-ahead stops
// where it is; the main thread learns it from LookAhead::wait. Nothing escapes.
void plan_thread(Planner* pl, bool early) {
  const OsCrashGuard guard;
  try {
    if (early) plan_read_early(*pl);
    {
      std::unique_lock g(pl->lock);
      pl->list_ordered.wait(g, [pl] { return pl->ordered || pl->stopping; });
      if (pl->stopping) return;
    }
    plan_units(*pl);
  } catch (const std::exception&) {
    // Under the lock, either the list is ordered already (then its slots
    // are failed here) or LookAhead::order sees `failed` and plans nothing.
    bool ordered;
    {
      std::lock_guard g(pl->lock);
      pl->failed.store(true);
      ordered = pl->ordered;
      pl->help_wanted.notify_all();  // a thread waiting to help waits no longer
    }
    if (ordered) plan_fail_slots(*pl);
  }
}

// The units of the ordered list: a file whose size no other file has, or
// every file of one size, found at its first file.
void plan_build_units(Planner& pl) {
  const std::int32_t n = pl.count;
  // Entries are found by their string, which the sort moves about but does
  // not change: by address, in a table that lives only meanwhile.
  {
    std::vector<std::pair<const ListedFile*, std::int32_t>> entry_of(pl.entries.size());
    for (std::size_t k = 0; k < pl.entries.size(); ++k) entry_of[k] = {pl.entries[k].file, static_cast<std::int32_t>(k)};
    std::sort(entry_of.begin(), entry_of.end());
    pl.origin.assign(static_cast<std::size_t>(n) + 1, 0);
    for (std::int32_t i = 1; i <= n; ++i) {
      auto at = std::lower_bound(entry_of.begin(), entry_of.end(), std::make_pair(pl.files[i], 0));
      pl.origin[static_cast<std::size_t>(i)] = at->second;
    }
  }
  for (std::int32_t i = 1; i <= n; ++i) {
    const std::int64_t size = pl.entry(i).listed;
    if (size >= 0) pl.by_size[size].push_back(i);
  }
  for (std::int32_t i = 1; i <= n; ++i) {
    std::int64_t size = pl.entry(i).listed;
    if (size < 0 || pl.by_size[size].front() == i) pl.units.push_back(i);
  }
}

}  // namespace

void plan_publish_file(Planner& pl, std::int32_t m) {
  PlanEntry& e = pl.entry(m);
  if (e.state.load() != PlanEntry::PENDING) return;
  // The stamp is the first read's, in place since that read was done.
  if (e.plan.readable && e.first.state.load(std::memory_order_acquire) == PlanFirstRead::DONE)
    e.plan.stamped = e.first.steady;
  std::uint8_t pending = PlanEntry::PENDING;  // a plan failed meanwhile stays failed
  // The owner sets `awaited` before it tests the state, and this tests
  // `awaited` after it set the state (both sequentially consistent):
  // either the owner sees the plan or this sees it waiting for it.
  if (e.state.compare_exchange_strong(pending, PlanEntry::READY) && pl.awaited.load() == m) pl.published.wake();
}

LookAhead::LookAhead() : pl_(new (std::nothrow) Planner) {
  if (!pl_) return;
  // The early reader is the one the look-ahead cannot do without.
  for (bool early : {true, false}) {
    try {
      pl_->workers.emplace_back(plan_thread, pl_.get(), early);
    } catch (const std::exception&) {
      if (early) pl_.reset();
      return;
    }
  }
}

LookAhead::~LookAhead() {
  owner_.check();
  if (!pl_) return;
  {
    std::lock_guard g(pl_->lock);
    pl_->stopping = true;
    pl_->early_work.notify_all();
    pl_->list_ordered.notify_all();
    pl_->help_wanted.notify_all();
  }
  for (std::thread& w : pl_->workers) w.join();
}

void LookAhead::found(const ListedFile* file, std::int64_t size) {
  owner_.check();
  if (!pl_) return;
  std::lock_guard g(pl_->lock);
  if (pl_->failed.load()) return;
  try {
    pl_->entries.push_back(file, size);
  } catch (const std::exception&) {
    pl_->failed.store(true);  // the list will not match: take_list refuses it
    return;
  }
  if (pl_->early_waiting > 0) pl_->early_work.notify_one();  // only the early reader waits on it
}

bool LookAhead::take_list(const ListedFile* const* files, std::int32_t count) {
  owner_.check();
  if (!pl_) return false;
  Planner& pl = *pl_;
  std::lock_guard g(pl.lock);
  if (pl.failed.load() || count < 1 || static_cast<std::size_t>(count) != pl.entries.size()) return false;
  for (std::int32_t i = 1; i <= count; ++i)
    if (files[i] != pl.entries[static_cast<std::size_t>(i - 1)].file) return false;
  pl.files = files;
  pl.count = count;
  return true;
}

bool LookAhead::order() {
  owner_.check();
  Planner& pl = *pl_;
  std::lock_guard g(pl.lock);
  if (pl.failed.load()) return false;  // a thread ran out of memory before the list was ordered
  try {
    plan_build_units(pl);
  } catch (const std::exception&) {
    return false;
  }
  pl.ordered = true;
  pl.early_work.notify_all();
  pl.list_ordered.notify_all();
  return true;
}

const FilePlan* LookAhead::wait(std::int32_t i) {
  owner_.check();
  PlanEntry& e = pl_->entry(i);
  std::uint8_t state = PlanEntry::PENDING;
  pl_->awaited.store(i);
  pl_->published.wait([&] { return (state = e.state.load()) != PlanEntry::PENDING; });
  return state == PlanEntry::READY ? &e.plan : nullptr;
}

bool LookAhead::ready(std::int32_t i) const {
  owner_.check();
  return pl_->entry(i).state.load() != PlanEntry::PENDING;
}

std::int64_t LookAhead::listed_size(std::int32_t i) const {
  owner_.check();
  return pl_->entry(i).listed;
}

const std::vector<std::int32_t>* LookAhead::listed_with(std::int64_t size) const {
  owner_.check();
  auto group = pl_->by_size.find(size);
  return group == pl_->by_size.end() ? nullptr : &group->second;
}

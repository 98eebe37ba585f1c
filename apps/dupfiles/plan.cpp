// Vexolan's look-ahead threads: while the collector lists the tree, one of
// them makes the first reads of the files found so far; once the list is in
// its final order, both plan it unit by unit in that order.
#include "dupfiles/plan.h"

#include <exception>
#include <new>

#include "dupfiles/plan_state.h"

namespace {

constexpr int PLAN_THREADS = 2;

Planner* g_plan = nullptr;

// Runs while the collection and the sort keep the main thread busy, so that
// the second core is not idle meanwhile. It stops as soon as the list is in
// order: from then on files are read in the order the main thread wants them.
void plan_read_early(Planner* pl) {
  std::vector<unsigned char> buffer(PLAN_HEAD_BYTES);
  std::unique_lock g(pl->lock);
  for (;;) {
    while (!pl->ordered && !pl->stopping && pl->early_next >= pl->entries.size()) {
      pl->early_idle = true;
      pl->added.wait(g);
      pl->early_idle = false;
    }
    if (pl->ordered || pl->stopping) return;
    PlanEntry& e = pl->entries[pl->early_next++];
    g.unlock();
    if (plan_claim_read(e.first)) plan_make_read(e, buffer.data(), e.size < 0 ? 0 : plan_head_bytes(e.size));
    g.lock();
  }
}

// Builds the units once the list is in order.
void plan_units(Planner* pl) {
  const std::int32_t n = pl->count;
  // Entries are found by their string, which the sort moves about but does not change.
  std::unordered_map<const char16_t*, std::int32_t> entry_of;
  entry_of.reserve(pl->entries.size());
  for (std::size_t k = 0; k < pl->entries.size(); ++k) entry_of[pl->entries[k].path] = static_cast<std::int32_t>(k);
  pl->origin.assign(static_cast<std::size_t>(n) + 1, 0);
  for (std::int32_t i = 1; i <= n; ++i) {
    pl->origin[static_cast<std::size_t>(i)] = entry_of[pl->files[i]];
    FilePlan& p = pl->plan(i);
    p.size = pl->entry(i).size;
    if (p.size >= 0) pl->by_size[p.size].push_back(i);
  }
  for (std::int32_t i = 1; i <= n; ++i) {
    std::int64_t size = pl->plan(i).size;
    if (size < 0 || pl->by_size[size].front() == i) pl->units.push_back(i);
  }
  pl->unit_done.assign(pl->units.size(), 0);
}

void plan_work(Planner* pl, int which) {
  if (which == 0) plan_read_early(pl);
  {
    std::unique_lock g(pl->lock);
    if (which == 0) {
      if (pl->stopping) return;
      plan_units(pl);
      pl->units_ready = true;
      pl->ready.notify_all();
    } else {
      pl->ready.wait(g, [pl] { return pl->units_ready || pl->stopping || pl->failed; });
      if (!pl->units_ready) return;
    }
  }
  for (;;) {
    std::size_t u = pl->next_unit.fetch_add(1);
    if (u >= pl->units.size()) return;
    plan_unit(*pl, pl->units[u]);
    std::lock_guard g(pl->lock);
    pl->unit_done[u] = 1;
    while (pl->lowest_open_unit < pl->units.size() && pl->unit_done[pl->lowest_open_unit]) ++pl->lowest_open_unit;
    pl->planned_upto = pl->lowest_open_unit < pl->units.size() ? pl->units[pl->lowest_open_unit] : pl->count + 1;
    pl->ready.notify_all();
    if (pl->stopping) return;  // released early: the main flow wants no more
  }
}

// Out of memory, the look-ahead stops where it is; the main flow learns it
// from plan_wait. Nothing escapes the thread.
void plan_run(Planner* pl, int which) {
  try {
    plan_work(pl, which);
  } catch (const std::exception&) {
    std::lock_guard g(pl->lock);
    pl->failed = true;
    pl->ready.notify_all();
  }
}

}  // namespace

void plan_begin() {
  plan_stop();
  g_plan = new (std::nothrow) Planner;
  if (!g_plan) return;
  // The first thread builds the units: without it there is no look-ahead.
  for (int k = 0; k < PLAN_THREADS; ++k) {
    try {
      g_plan->workers.emplace_back(plan_run, g_plan, k);
    } catch (const std::exception&) {
      if (k == 0) {
        delete g_plan;
        g_plan = nullptr;
      }
      return;
    }
  }
}

void plan_add(CStr path, std::int64_t size) {
  if (!g_plan) return;
  std::lock_guard g(g_plan->lock);
  if (g_plan->failed) return;
  try {
    g_plan->entries.emplace_back(path, size);
  } catch (const std::exception&) {
    g_plan->failed = true;  // the list will not match: plan_list refuses it
    return;
  }
  if (g_plan->early_idle) g_plan->added.notify_one();
}

bool plan_list(const Str* files, std::int32_t count) {
  if (!g_plan) return false;
  std::lock_guard g(g_plan->lock);
  if (g_plan->failed || count < 1 || static_cast<std::size_t>(count) != g_plan->entries.size()) return false;
  for (std::int32_t i = 1; i <= count; ++i)
    if (files[i] != g_plan->entries[static_cast<std::size_t>(i - 1)].path) return false;
  try {
    g_plan->plans.resize(static_cast<std::size_t>(count) + 1);
  } catch (const std::exception&) {
    return false;
  }
  g_plan->files = files;
  g_plan->count = count;
  return true;
}

void plan_order() {
  std::lock_guard g(g_plan->lock);
  g_plan->ordered = true;
  g_plan->added.notify_all();
}

const FilePlan* plan_wait(std::int32_t i) {
  std::unique_lock g(g_plan->lock);
  g_plan->ready.wait(g, [i] { return g_plan->planned_upto > i || g_plan->failed; });
  return g_plan->planned_upto > i ? &g_plan->plans[static_cast<std::size_t>(i)] : nullptr;
}

void plan_stop() {
  if (!g_plan) return;
  {
    std::lock_guard g(g_plan->lock);
    g_plan->stopping = true;
    g_plan->added.notify_all();
    g_plan->ready.notify_all();
  }
  for (auto& w : g_plan->workers) w.join();
  delete g_plan;
  g_plan = nullptr;
}

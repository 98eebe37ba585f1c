// Vexolan's look-ahead thread.
#include "dupfiles/plan.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "filesystem/fs.h"
#include "fingerprint/fp.h"

namespace {

constexpr std::int32_t HEAD_BYTES = 4096;
constexpr std::size_t MAX_CLASSES = 8;  // classes of one size and first block compared byte for byte
constexpr std::size_t NO_CLASS = static_cast<std::size_t>(-1);

// Two look-ahead threads share the work: the sizes half each, then units of
// work (a file whose size no other file has, or all files of one size) in
// the list's order, each taking the next unit that is free.
constexpr int PLAN_THREADS = 2;

struct Planner {
  const Str* files = nullptr;
  std::int32_t count = 0;
  std::vector<FilePlan> plans;
  std::vector<const char16_t*> unsorted;  // the list as it was handed over
  std::vector<std::int64_t> unsorted_sizes;
  std::unordered_map<std::int64_t, std::vector<std::int32_t>> by_size;
  std::vector<std::int32_t> units;  // the first file of each unit, in order
  std::vector<char> unit_done;
  std::atomic<std::size_t> next_unit{0};
  std::size_t lowest_open_unit = 0;
  std::mutex lock;
  std::condition_variable ready;
  int sizes_done = 0;
  bool ordered = false;           // the caller's list is in its final order
  bool units_ready = false;
  std::int32_t planned_upto = 1;  // every file below this index is planned
  std::vector<std::thread> workers;
};

Planner* g_plan = nullptr;

// A key no other file has: the file's own index.
std::u16string plan_own_key(std::int32_t i) {
  std::string digits = std::to_string(i);
  return u"#" + std::u16string(digits.begin(), digits.end());
}

std::u16string plan_md5_key(const std::uint8_t* digest) {
  static const char16_t hex[] = u"0123456789abcdef";
  std::u16string s(32, u'0');
  for (int k = 0; k < 16; ++k) {
    s[static_cast<std::size_t>(2 * k)] = hex[digest[k] >> 4];
    s[static_cast<std::size_t>(2 * k + 1)] = hex[digest[k] & 15];
  }
  return s;
}

// A quick hash of a first block, eight bytes at a time: equal blocks give
// equal hashes; the rare unequal ones that collide are told apart by the
// byte comparison that follows.
std::uint64_t plan_head_hash(const unsigned char* p, std::int32_t n) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(n);
  std::int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
  }
  for (; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  return h ^ (h >> 32);
}

// Files of one size: bucket them by their first block, then split each
// bucket into classes of equal contents.
void plan_group(Planner& pl, const std::vector<std::int32_t>& members) {
  std::vector<unsigned char> head(HEAD_BYTES);
  std::unordered_map<std::uint64_t, std::vector<std::int32_t>> buckets;
  std::vector<std::uint64_t> order;  // buckets in the order of their first member
  for (std::int32_t m : members) {
    FilePlan& p = pl.plans[static_cast<std::size_t>(m)];
    std::int32_t n = fp_file_head(pl.files[m], head.data(), HEAD_BYTES);
    p.readable = n >= 0;
    if (!p.readable) continue;
    std::uint64_t h = plan_head_hash(head.data(), n);
    auto& b = buckets[h];
    if (b.empty()) order.push_back(h);
    b.push_back(m);
  }
  for (std::uint64_t h : order) {
    const auto& b = buckets[h];
    if (b.size() == 1) {
      pl.plans[static_cast<std::size_t>(b[0])].key = plan_own_key(b[0]);
      continue;
    }
    std::vector<std::int32_t> reps;
    std::vector<FsFileStamp> rep_stamps;
    std::vector<std::size_t> class_of(b.size(), NO_CLASS);
    for (std::size_t k = 0; k < b.size(); ++k) {
      FilePlan& p = pl.plans[static_cast<std::size_t>(b[k])];
      if (reps.size() >= MAX_CLASSES) {
        // Many different contents behind one size and first block: comparing
        // each file with every class would grow with the square of their
        // number, so the rest are told apart by their MD5 texts (compared
        // byte for byte before any deletion).
        std::uint8_t digest[16];
        if (fp_file_md5(pl.files[b[k]], digest)) p.key = plan_md5_key(digest);
        else p.key = plan_own_key(b[k]);
        continue;
      }
      FsFileStamp before{};
      bool stamped = fs_file_stamp(pl.files[b[k]], &before) == 1;
      std::size_t c = 0;
      for (; c < reps.size(); ++c)
        if (fp_files_equal(pl.files[reps[c]], pl.files[b[k]]) == 1) break;
      if (c == reps.size()) {
        reps.push_back(b[k]);
        rep_stamps.push_back(before);
      } else if (stamped) {
        // Both files unchanged while compared: the comparison stands for
        // as long as their stamps stay the same.
        FsFileStamp after{}, rep_after{};
        if (fs_file_stamp(pl.files[b[k]], &after) == 1 && after == before &&
            fs_file_stamp(pl.files[reps[c]], &rep_after) == 1 && rep_after == rep_stamps[c]) {
          p.equal_to = reps[c];
          p.stamp = before;
          p.equal_stamp = rep_after;
        }
      }
      class_of[k] = c;
    }
    std::vector<std::u16string> keys(reps.size());
    for (std::size_t c = 0; c < reps.size(); ++c) {
      std::uint8_t digest[16];
      if (reps.size() > 1 && fp_file_md5(pl.files[reps[c]], digest)) keys[c] = plan_md5_key(digest);
      else keys[c] = plan_own_key(reps[c]);
    }
    for (std::size_t k = 0; k < b.size(); ++k)
      if (class_of[k] != NO_CLASS) pl.plans[static_cast<std::size_t>(b[k])].key = keys[class_of[k]];
  }
}

// Builds the units once the sizes are known and the list is in order.
void plan_units(Planner* pl) {
  const std::int32_t n = pl->count;
  // The sizes are keyed by the string, which the caller's sort moves about
  // but does not change.
  std::unordered_map<const char16_t*, std::int64_t> size_of;
  size_of.reserve(static_cast<std::size_t>(n));
  for (std::size_t k = 0; k < pl->unsorted.size(); ++k) size_of[pl->unsorted[k]] = pl->unsorted_sizes[k];
  for (std::int32_t i = 1; i <= n; ++i) {
    FilePlan& p = pl->plans[static_cast<std::size_t>(i)];
    p.size = size_of[pl->files[i]];
    if (p.size >= 0) pl->by_size[p.size].push_back(i);
  }
  for (std::int32_t i = 1; i <= n; ++i) {
    std::int64_t size = pl->plans[static_cast<std::size_t>(i)].size;
    if (size < 0 || pl->by_size[size].front() == i) pl->units.push_back(i);
  }
  pl->unit_done.assign(pl->units.size(), 0);
}

void plan_unit(Planner* pl, std::int32_t i) {
  FilePlan& p = pl->plans[static_cast<std::size_t>(i)];
  if (p.size < 0) return;
  const auto& group = pl->by_size.find(p.size)->second;
  if (group.size() == 1) {
    unsigned char probe;
    p.readable = fp_file_head(pl->files[i], &probe, 0) >= 0;
    if (p.readable) p.key = plan_own_key(i);
  } else {
    plan_group(*pl, group);
  }
}

void plan_run(Planner* pl, int which) {
  const std::size_t n = pl->unsorted.size();
  const std::size_t from = n * static_cast<std::size_t>(which) / PLAN_THREADS;
  const std::size_t to = n * static_cast<std::size_t>(which + 1) / PLAN_THREADS;
  for (std::size_t k = from; k < to; ++k) pl->unsorted_sizes[k] = fs_file_size(pl->unsorted[k]);
  {
    std::unique_lock g(pl->lock);
    ++pl->sizes_done;
    pl->ready.notify_all();
    if (which == 0) {
      pl->ready.wait(g, [pl] { return pl->ordered && pl->sizes_done == PLAN_THREADS; });
      plan_units(pl);
      pl->units_ready = true;
      pl->ready.notify_all();
    } else {
      pl->ready.wait(g, [pl] { return pl->units_ready; });
    }
  }
  for (;;) {
    std::size_t u = pl->next_unit.fetch_add(1);
    if (u >= pl->units.size()) return;
    plan_unit(pl, pl->units[u]);
    std::lock_guard g(pl->lock);
    pl->unit_done[u] = 1;
    while (pl->lowest_open_unit < pl->units.size() && pl->unit_done[pl->lowest_open_unit]) ++pl->lowest_open_unit;
    pl->planned_upto = pl->lowest_open_unit < pl->units.size() ? pl->units[pl->lowest_open_unit] : pl->count + 1;
    pl->ready.notify_all();
  }
}

}  // namespace

void plan_start(const Str* files, std::int32_t count) {
  plan_stop();
  g_plan = new Planner;
  g_plan->files = files;
  g_plan->count = count;
  g_plan->plans.resize(static_cast<std::size_t>(count) + 1);
  g_plan->unsorted.assign(files + 1, files + 1 + count);
  g_plan->unsorted_sizes.resize(static_cast<std::size_t>(count));
  for (int k = 0; k < PLAN_THREADS; ++k) g_plan->workers.emplace_back(plan_run, g_plan, k);
}

void plan_order() {
  std::lock_guard g(g_plan->lock);
  g_plan->ordered = true;
  g_plan->ready.notify_all();
}

const FilePlan& plan_wait(std::int32_t i) {
  std::unique_lock g(g_plan->lock);
  g_plan->ready.wait(g, [i] { return g_plan->planned_upto > i; });
  return g_plan->plans[static_cast<std::size_t>(i)];
}

void plan_stop() {
  if (!g_plan) return;
  for (auto& w : g_plan->workers) w.join();
  delete g_plan;
  g_plan = nullptr;
}

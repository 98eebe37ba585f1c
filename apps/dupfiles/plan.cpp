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
#include "fingerprint/md5.h"

namespace {

// Files up to this size are read whole at once and compared in memory; of
// larger ones this much is read first.
constexpr std::int32_t HEAD_BYTES = 16384;
// Whole contents held for one size at most; past it files are compared on disk.
constexpr std::size_t HELD_BYTES_LIMIT = 64u << 20;
constexpr std::size_t MAX_CLASSES = 8;  // classes of one size and first block compared byte for byte
constexpr std::size_t NO_CLASS = static_cast<std::size_t>(-1);

// Two look-ahead threads share the work: units of work (a file whose size no
// other file has, or all files of one size) in the list's order, each taking
// the next unit that is free.
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

// A file that could not be opened: gone since its listing (then it is
// reported as not found, as measuring it now would), or unreadable.
void plan_unopened(Planner& pl, std::int32_t i) {
  FilePlan& p = pl.plans[static_cast<std::size_t>(i)];
  p.readable = false;
  std::int64_t now = fs_file_size(pl.files[i]);
  if (now < 0) p.size = now;
}

// One file of a size that others share, as its first read found it.
struct Member {
  std::int32_t index;
  FpReadStamp read;       // how it stood while read
  const unsigned char* whole;  // its whole contents, when held in memory
};

// Where a file's bytes equal those of the first of its class: the comparison
// stands while both files keep the stamps they had while compared.
void plan_record_equal(FilePlan& p, std::int32_t rep, const FpReadStamp& mine, const FpReadStamp& theirs) {
  if (!mine.steady || !theirs.steady) return;
  p.equal_to = rep;
  p.stamp = mine.stamp;
  p.equal_stamp = theirs.stamp;
}

bool plan_md5_of(Planner& pl, const Member& m, std::int64_t size, std::uint8_t* digest) {
  if (m.whole) {
    fp_md5(m.whole, static_cast<std::size_t>(size), digest);
    return true;
  }
  return fp_file_md5(pl.files[m.index], digest) == 1;
}

// Files of one first block: split them into classes of equal contents.
void plan_bucket(Planner& pl, const std::vector<Member>& b, std::int64_t size) {
  std::vector<std::size_t> reps;  // members that head a class
  std::vector<std::size_t> class_of(b.size(), NO_CLASS);
  for (std::size_t k = 0; k < b.size(); ++k) {
    FilePlan& p = pl.plans[static_cast<std::size_t>(b[k].index)];
    if (reps.size() >= MAX_CLASSES) {
      // Many different contents behind one size and first block: comparing
      // each file with every class would grow with the square of their
      // number, so the rest are told apart by their MD5 texts (compared
      // byte for byte before any deletion).
      std::uint8_t digest[16];
      p.key = plan_md5_of(pl, b[k], size, digest) ? plan_md5_key(digest) : plan_own_key(b[k].index);
      continue;
    }
    std::size_t c = 0;
    for (; c < reps.size(); ++c) {
      const Member& r = b[reps[c]];
      if (b[k].whole && r.whole) {
        if (std::memcmp(b[k].whole, r.whole, static_cast<std::size_t>(size)) == 0) {
          plan_record_equal(p, r.index, b[k].read, r.read);
          break;
        }
      } else {
        FpReadStamp rs, ms;
        if (fp_files_equal(pl.files[r.index], pl.files[b[k].index], &rs, &ms) == 1) {
          plan_record_equal(p, r.index, ms, rs);
          break;
        }
      }
    }
    if (c == reps.size()) reps.push_back(k);
    class_of[k] = c;
  }
  std::vector<std::u16string> keys(reps.size());
  for (std::size_t c = 0; c < reps.size(); ++c) {
    std::uint8_t digest[16];
    const Member& r = b[reps[c]];
    if (reps.size() > 1 && plan_md5_of(pl, r, size, digest)) keys[c] = plan_md5_key(digest);
    else keys[c] = plan_own_key(r.index);
  }
  for (std::size_t k = 0; k < b.size(); ++k)
    if (class_of[k] != NO_CLASS) pl.plans[static_cast<std::size_t>(b[k].index)].key = keys[class_of[k]];
}

// Files of one size: read each one's first block (small files whole), bucket
// them by it, then split each bucket into classes of equal contents.
void plan_group(Planner& pl, const std::vector<std::int32_t>& members, std::int64_t size) {
  const std::int32_t head_bytes = size < HEAD_BYTES ? static_cast<std::int32_t>(size) : HEAD_BYTES;
  const bool hold = size <= HEAD_BYTES && members.size() * static_cast<std::size_t>(size) <= HELD_BYTES_LIMIT;
  std::vector<unsigned char> held(hold ? members.size() * static_cast<std::size_t>(size) : 0);
  std::vector<unsigned char> scratch(hold ? 0 : static_cast<std::size_t>(head_bytes));
  std::unordered_map<std::uint64_t, std::vector<Member>> buckets;
  std::vector<std::uint64_t> order;  // buckets in the order of their first member
  for (std::size_t k = 0; k < members.size(); ++k) {
    const std::int32_t m = members[k];
    FilePlan& p = pl.plans[static_cast<std::size_t>(m)];
    static unsigned char nothing;  // the contents of every empty file
    unsigned char* buf = size == 0 ? &nothing : hold ? held.data() + k * static_cast<std::size_t>(size) : scratch.data();
    Member mem{m, {}, nullptr};
    std::int32_t n = fp_file_head(pl.files[m], buf, head_bytes, &mem.read);
    if (n < 0) {
      plan_unopened(pl, m);
      continue;
    }
    p.readable = true;
    if (n != head_bytes || (mem.read.steady && mem.read.stamp.size != size)) {
      // Changed since its listing: it shares nothing with the files it was listed with.
      p.key = plan_own_key(m);
      continue;
    }
    if (hold) mem.whole = buf;
    std::uint64_t h = plan_head_hash(buf, n);
    auto& b = buckets[h];
    if (b.empty()) order.push_back(h);
    b.push_back(mem);
  }
  for (std::uint64_t h : order) {
    const auto& b = buckets[h];
    if (b.size() == 1) pl.plans[static_cast<std::size_t>(b[0].index)].key = plan_own_key(b[0].index);
    else plan_bucket(pl, b, size);
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
  if (p.size < 0) p.size = fs_file_size(pl->files[i]);  // not measurable when listed; it may be now
  if (p.size < 0) return;
  const std::int64_t size = p.size;
  const auto found = pl->by_size.find(size);
  if (found == pl->by_size.end() || found->second.size() == 1) {
    unsigned char probe;
    if (fp_file_head(pl->files[i], &probe, 0) < 0) {
      plan_unopened(*pl, i);
    } else {
      p.readable = true;
      p.key = plan_own_key(i);
    }
  } else {
    plan_group(*pl, found->second, size);
  }
}

void plan_run(Planner* pl, int which) {
  {
    std::unique_lock g(pl->lock);
    if (which == 0) {
      pl->ready.wait(g, [pl] { return pl->ordered; });
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

void plan_start(const Str* files, std::int32_t count, const std::int64_t* sizes) {
  plan_stop();
  g_plan = new Planner;
  g_plan->files = files;
  g_plan->count = count;
  g_plan->plans.resize(static_cast<std::size_t>(count) + 1);
  g_plan->unsorted.assign(files + 1, files + 1 + count);
  g_plan->unsorted_sizes.assign(sizes, sizes + count);
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

// The look-ahead's work on one unit: which files of one size hold equal
// contents, read no further than needed to tell them apart.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/hash_mix.h"
#include "dupfiles/plan_state.h"
#include "filesystem/fs.h"
#include "fingerprint/fp.h"

namespace {

// Whole contents held for one size at most; past it files are compared on disk.
constexpr std::size_t HELD_BYTES_LIMIT = 64u << 20;
// Files of one size and first block are read side by side, each through a
// piece of one buffer: at most this many bytes in all, and this many files at
// once (more are taken in slices). A piece is small enough for the pieces
// compared to stay in the processor's cache, and shrinks no further than
// PIECE_MIN where memory is short.
constexpr std::size_t SIDE_BY_SIDE_BYTES = 16u << 20;
constexpr std::size_t SIDE_BY_SIDE_FILES = 128;

// Files read side by side by one look-ahead thread: at most the above, and
// no more than a quarter of the descriptors left after those the rest of the
// run holds (the deletion threads, the walk, the console), so that the files
// compared at their turns and removed can still be opened.
std::size_t plan_side_by_side() {
  constexpr std::int64_t RESERVED = 48;
  const std::int64_t share = (fs_open_files_limit() - RESERVED) / 4;
  return static_cast<std::size_t>(std::clamp<std::int64_t>(share, 2, SIDE_BY_SIDE_FILES));
}
constexpr std::size_t PIECE_MAX = 256u << 10;
constexpr std::size_t PIECE_MIN = 4096;
// Classes split off one by one at a piece before the rest are sorted by a
// hash of their bytes, so that many different files cost no more than a few.
constexpr std::size_t PEEL_FIRST = 4;

// A quick hash of bytes, eight at a time: equal bytes give equal hashes; the
// rare unequal ones that collide are told apart by a byte comparison.
std::uint64_t plan_hash(std::uint64_t h, const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
  }
  for (; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  return h;
}

std::uint64_t plan_head_hash(const unsigned char* p, std::int32_t n) {
  std::uint64_t h = plan_hash(0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(n), p, static_cast<std::size_t>(n));
  return h ^ (h >> 32);
}

// A file that could not be opened: gone since its listing, or unreadable
// (its turn finds out which).
void plan_unopened(Planner& pl, std::int32_t i) { pl.plan(i).readable = false; }

using Member = PlanMember;

// Where file i's bytes equal those of the first of its class (rep): the
// comparison stands while both files keep the stamps they had while
// compared. It is kept where those are the stamps of both files' plans, as
// they nearly always are; else the main flow compares the bytes itself.
void plan_record_equal(Planner& pl, std::int32_t i, std::int32_t rep, const PlanStamp& mine, const PlanStamp& theirs) {
  const PlanEntry& a = pl.entry(i);
  const PlanEntry& b = pl.entry(rep);
  if (!mine.steady || !theirs.steady || !a.first.steady || !b.first.steady) return;
  if (mine.digest != a.plan.stamp || theirs.digest != b.plan.stamp) return;
  pl.plan(i).equal_to = rep;
}

// How a file stood at its first read (its size only where it was listed).
PlanStamp plan_first_stamp(const PlanEntry& e) {
  return {e.first.steady, e.first.changed, e.first.sized ? e.listed : -1, e.plan.stamp};
}

// A file that could be read: its plan holds while the file keeps the stamp
// of its first read, when that read found it steady.
void plan_readable(PlanEntry& e) {
  e.plan.readable = true;
  e.plan.stamped = e.first.steady;
}

// Splits files by the bytes each holds at `at[k]` (`n` of them): groups of
// equal bytes, each in the order given. A few classes are peeled off by
// comparing with their first file; the files left after that are grouped by
// a hash of their bytes and each compared with its group's first.
std::vector<std::vector<std::size_t>> plan_split(const std::vector<std::size_t>& files,
                                                 const std::vector<const unsigned char*>& at, std::size_t n,
                                                 std::size_t peel) {
  std::vector<std::vector<std::size_t>> groups;
  std::vector<std::size_t> rest = files, other;
  while (!rest.empty() && groups.size() < peel) {
    groups.emplace_back();
    other.clear();
    const unsigned char* lead = at[rest[0]];
    for (std::size_t k : rest) (at[k] == lead || std::memcmp(at[k], lead, n) == 0 ? groups.back() : other).push_back(k);
    rest.swap(other);
  }
  if (rest.empty()) return groups;
  std::unordered_map<std::uint64_t, std::size_t> slot_of;
  std::vector<std::vector<std::size_t>> by_hash;
  for (std::size_t k : rest) {
    auto [it, fresh] = slot_of.emplace(plan_hash(0, at[k], n), by_hash.size());
    if (fresh) by_hash.emplace_back();
    by_hash[it->second].push_back(k);
  }
  for (const auto& h : by_hash)
    for (auto& g : plan_split(h, at, n, static_cast<std::size_t>(-1))) groups.push_back(std::move(g));
  return groups;
}

// Closes a member's file when it leaves the pass early.
struct ReaderCloser {
  void operator()(FpPieceReader* r) const { fp_reader_close(r); }
};
using Reader = std::unique_ptr<FpPieceReader, ReaderCloser>;

// A class of equal contents as a side-by-side pass ends it.
struct Found {
  std::vector<std::size_t> members;  // indexes into the bucket, in order
  std::uint64_t hash;                // of the contents, when asked for
};

// One side-by-side pass over members `from` .. `to` - 1 of a bucket: each
// piece of every file is read once; at each piece the files of a class that
// still agree stay together and the others split off. A class of one file
// is read no further unless `hashed` (then its hash is wanted). A file that
// cannot be opened again or read to its end leaves the pass (lost[k]).
// Gives the classes; stamps[k] tells how member k stood while read.
std::vector<Found> plan_pass(Planner& pl, const std::vector<Member>& b, std::size_t from, std::size_t to,
                             std::int64_t size, bool hashed, std::vector<PlanStamp>& stamps,
                             std::vector<bool>& lost) {
  const std::size_t n = to - from;
  std::vector<Reader> files(n);
  std::vector<unsigned char*> piece_of(n, nullptr);
  std::size_t on_disk = 0;
  for (std::size_t k = 0; k < n; ++k) on_disk += b[from + k].whole ? 0 : 1;
  // Whole blocks, so that a hash over the pieces does not depend on their size.
  std::size_t piece = std::min(PIECE_MAX, SIDE_BY_SIDE_BYTES / std::max<std::size_t>(on_disk, 1));
  piece = piece / PIECE_MIN * PIECE_MIN;
  if (static_cast<std::uint64_t>(size) < piece) piece = static_cast<std::size_t>(size);
  std::unique_ptr<unsigned char[]> buffer;
  while (on_disk > 0 && !buffer) {
    buffer.reset(new (std::nothrow) unsigned char[std::max<std::size_t>(piece, 1) * on_disk]);
    if (!buffer && piece <= PIECE_MIN) throw std::bad_alloc();
    if (!buffer) piece /= 2;
  }
  std::vector<Found> done;
  std::vector<Found> runs(1);
  for (std::size_t k = 0, slot = 0; k < n; ++k) {
    const Member& m = b[from + k];
    stamps[k] = m.read;
    if (!m.whole) {
      piece_of[k] = buffer.get() + slot++ * piece;
      files[k].reset(fp_reader_open(listed_path(pl.files[m.index]).c_str()));
      if (!files[k]) {
        lost[k] = true;
        continue;
      }
    }
    runs[0].members.push_back(k);
  }
  runs[0].hash = 0x9E3779B97F4A7C15ull;
  std::vector<const unsigned char*> at(n, nullptr);
  for (std::int64_t offset = 0; !runs.empty(); offset += static_cast<std::int64_t>(piece)) {
    if (offset >= size) {
      for (Found& r : runs) done.push_back(std::move(r));
      break;
    }
    const std::size_t bytes =
        static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(piece), size - offset));
    std::vector<Found> next;
    for (Found& r : runs) {
      if (r.members.size() == 1 && !hashed) {
        files[r.members[0]].reset();  // alone: nothing left to tell apart
        done.push_back(std::move(r));
        continue;
      }
      std::vector<std::size_t> live;
      for (std::size_t k : r.members) {
        if (b[from + k].whole) {
          at[k] = b[from + k].whole + offset;
        } else if (fp_reader_read(files[k].get(), piece_of[k], static_cast<std::int32_t>(bytes)) ==
                   static_cast<std::int32_t>(bytes)) {
          at[k] = piece_of[k];
        } else {
          files[k].reset();  // failed, or shorter than listed
          lost[k] = true;
          continue;
        }
        live.push_back(k);
      }
      if (live.empty()) continue;
      for (auto& g : plan_split(live, at, bytes, PEEL_FIRST)) {
        Found part{std::move(g), r.hash};
        if (hashed) part.hash = plan_hash(part.hash, at[part.members[0]], bytes);
        next.push_back(std::move(part));
      }
    }
    runs = std::move(next);
  }
  for (std::size_t k = 0; k < n; ++k)
    if (files[k]) {
      FpReadStamp read{};
      fp_reader_close(files[k].release(), &read);
      stamps[k] = plan_stamp(read);
    }
  return done;
}

// A plan that its file's turn does not take: the file is read afresh then.
void plan_not_held(FilePlan& p, std::int32_t i) {
  p.key = i;
  p.stamped = false;
}

// A class of equal contents, by the member whose key the class takes.
struct Kept {
  std::size_t member;  // into the bucket
  std::int32_t key;
};

// Files of one first block: split them into classes of equal contents, each
// keyed by its first member's own key. A file that was not read to its end,
// or that changed while read, keeps a key of its own.
void plan_bucket(Planner& pl, const std::vector<Member>& b, std::int64_t size) {
  const std::size_t side_by_side = plan_side_by_side();
  const bool sliced = b.size() > side_by_side;
  std::unordered_multimap<std::uint64_t, Kept> kept;  // classes of earlier slices, by the hash of their contents
  for (std::size_t from = 0; from < b.size(); from += side_by_side) {
    const std::size_t to = std::min(b.size(), from + side_by_side);
    std::vector<PlanStamp> stamps(to - from);
    std::vector<bool> lost(to - from, false);
    std::vector<Found> found = plan_pass(pl, b, from, to, size, sliced, stamps, lost);
    // A file that could not be read along (no descriptor, no memory, a
    // read that failed) is not judged here: its plan does not hold, so its
    // turn reads it afresh, as the flow without a look-ahead would.
    for (std::size_t k = 0; k < to - from; ++k)
      if (lost[k]) plan_not_held(pl.plan(b[from + k].index), b[from + k].index);
    for (Found& f : found) {
      // Files that changed while read (or not to the size listed) share nothing.
      std::vector<std::size_t> steady;
      for (std::size_t k : f.members) {
        const PlanStamp& s = stamps[k];
        const std::int32_t i = b[from + k].index;
        if (s.changed || (s.steady && s.size != size)) plan_not_held(pl.plan(i), i);
        else steady.push_back(k);
      }
      if (steady.empty()) continue;
      const std::size_t head = steady[0];
      const Member& first = b[from + head];
      std::int32_t rep = first.index;
      const PlanStamp* rep_stamp = &stamps[head];
      PlanStamp here, there;  // first, and the kept class's first, as compared across slices
      std::int32_t key = rep;
      bool merged = false;
      auto range = kept.equal_range(f.hash);
      for (auto it = range.first; sliced && it != range.second; ++it) {
        const Member& other = b[it->second.member];
        FpReadStamp read_there{}, read_here{};
        if (fp_files_equal(listed_path(pl.files[other.index]).c_str(), listed_path(pl.files[first.index]).c_str(),
                           &read_there, &read_here) != 1)
          continue;
        there = plan_stamp(read_there);
        here = plan_stamp(read_here);
        key = it->second.key;
        plan_record_equal(pl, first.index, other.index, here, there);
        // The others were compared with `first` as it stood then; the
        // comparison carries over while it stood the same since.
        rep_stamp = here.steady && rep_stamp->steady && here.digest == rep_stamp->digest ? &there : nullptr;
        rep = other.index;
        merged = true;
        break;
      }
      if (sliced && !merged) kept.emplace(f.hash, Kept{from + head, key});
      for (std::size_t k : steady) {
        const std::int32_t i = b[from + k].index;
        pl.plan(i).key = key;
        if (k != head && rep_stamp) plan_record_equal(pl, i, rep, stamps[k], *rep_stamp);
      }
    }
  }
  // Keys go no further than their bucket.
  std::unordered_map<std::int32_t, std::int32_t> holders;
  for (const Member& m : b) ++holders[pl.plan(m.index).key];
  for (const Member& m : b) pl.plan(m.index).shared = holders[pl.plan(m.index).key] > 1;
}

// A group's buckets on offer to a thread with no unit left, for as long as
// the object lives (unless another group is on offer already: then the
// group's own thread reads them all). Its destructor withdraws the offer and
// waits for the helpers to leave, as a thread is joined: nothing of the
// group (on its thread's stack) is reached after it.
class BucketOffer {
 public:
  BucketOffer(Planner& pl, SharedBuckets& work) : pl_(pl), work_(work) {
    std::lock_guard g(pl.lock);
    if (pl.offered) return;
    pl.offered = &work;
    offered_ = true;
    if (pl.helpers_waiting > 0) pl.help_wanted.notify_all();
  }
  ~BucketOffer() {
    if (!offered_) return;
    std::unique_lock g(pl_.lock);
    pl_.offered = nullptr;
    pl_.helpers_gone.wait(g, [this] { return work_.helpers == 0; });
  }
  BucketOffer(const BucketOffer&) = delete;
  BucketOffer& operator=(const BucketOffer&) = delete;

 private:
  Planner& pl_;
  SharedBuckets& work_;
  bool offered_ = false;
};

// Buckets of one group, read by this thread and any other that has no unit
// left; every helper is gone before this returns.
void plan_share(Planner& pl, const std::vector<const std::vector<Member>*>& full, std::int64_t size) {
  SharedBuckets work;
  work.buckets = full.data();
  work.count = full.size();
  work.size = size;
  {
    BucketOffer offer(pl, work);
    plan_help(pl, work);
  }
  if (work.no_memory.load()) throw std::bad_alloc();
}

// Files of one size: the first read of each (small files whole, and held
// when this thread makes it), buckets by its bytes, then classes of equal
// contents within each bucket.
void plan_group(Planner& pl, const std::vector<std::int32_t>& members, std::int64_t size) {
  const std::int32_t head_bytes = plan_head_bytes(size);
  const bool hold = size <= PLAN_HEAD_BYTES && members.size() * static_cast<std::size_t>(size) <= HELD_BYTES_LIMIT;
  std::vector<unsigned char> held(hold ? members.size() * static_cast<std::size_t>(size) : 0);
  std::vector<unsigned char> scratch(hold ? 0 : static_cast<std::size_t>(head_bytes));
  std::unordered_map<std::uint64_t, std::vector<Member>> buckets;
  std::vector<std::uint64_t> order;  // buckets in the order of their first member
  unsigned char nothing = 0;  // the contents of every empty file, while the group is planned
  for (std::size_t k = 0; k < members.size(); ++k) {
    const std::int32_t m = members[k];
    FilePlan& p = pl.plan(m);
    PlanEntry& e = pl.entry(m);
    unsigned char* buf = size == 0 ? &nothing : hold ? held.data() + k * static_cast<std::size_t>(size) : scratch.data();
    Member mem{m, {}, nullptr};
    if (plan_claim_read(e.first)) {
      plan_make_read(pl, e, buf, head_bytes);
      if (hold) mem.whole = buf;
    } else {
      plan_await_read(pl, e.first);  // read earlier, or being read by the other thread: compared on disk
    }
    if (e.first.bytes == PLAN_NO_MEMORY) throw std::bad_alloc();
    if (e.first.bytes < 0) {
      plan_unopened(pl, m);
      continue;
    }
    plan_readable(e);
    mem.read = plan_first_stamp(e);
    if (e.first.bytes != head_bytes || (mem.read.steady && mem.read.size != size)) {
      // Changed since its listing: it shares nothing with the files it was listed with.
      p.key = m;
      continue;
    }
    auto& b = buckets[e.first.hash];
    if (b.empty()) order.push_back(e.first.hash);
    b.push_back(mem);
  }
  std::vector<const std::vector<Member>*> full;  // buckets to read in full
  std::vector<bool> waits(members.size(), false);  // by position in the group: its bucket is read in full
  for (std::uint64_t h : order) {
    const auto& b = buckets[h];
    if (b.size() == 1) pl.plan(b[0].index).key = b[0].index;
    else full.push_back(&b);
  }
  // The main flow may go on with every file whose plan is complete now,
  // and with each bucket's files as soon as that bucket is done.
  for (const auto* b : full)
    for (const Member& m : *b) {
      auto at = std::lower_bound(members.begin(), members.end(), m.index);  // members are in list order
      waits[static_cast<std::size_t>(at - members.begin())] = true;
    }
  for (std::size_t k = 0; k < members.size(); ++k)
    if (!waits[k]) plan_publish_file(pl, members[k]);
  if (full.size() == 1) {
    plan_bucket(pl, *full[0], size);
  } else if (full.size() > 1) {
    plan_share(pl, full, size);
  }
}

}  // namespace

PlanStamp plan_stamp(const FpReadStamp& read) {
  return {read.steady, read.changed, read.stamp.size, plan_stamp_digest(read.stamp)};
}

std::uint64_t plan_stamp_digest(const FsFileStamp& stamp) {
  // Each word mixed in turn (the finaliser of a well-known 64-bit mix).
  std::uint64_t h = 0x9E3779B97F4A7C15ull;
  for (std::uint64_t w : {stamp.identity.volume, stamp.identity.index, static_cast<std::uint64_t>(stamp.size),
                          static_cast<std::uint64_t>(stamp.write_time), static_cast<std::uint64_t>(stamp.change_time)}) {
    h ^= w + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    h = hash_mix64(h);
  }
  return h;
}

std::u16string plan_key_text(std::int32_t key) {
  std::string digits = std::to_string(key);
  return u"#" + std::u16string(digits.begin(), digits.end());
}

void plan_help(Planner& pl, SharedBuckets& work) {
  for (;;) {
    const std::size_t k = work.next.fetch_add(1);
    if (k >= work.count) return;
    try {
      plan_bucket(pl, *work.buckets[k], work.size);
      for (const Member& m : *work.buckets[k]) plan_publish_file(pl, m.index);
    } catch (const std::exception&) {
      work.no_memory.store(true);
    }
  }
}

bool plan_claim_read(PlanFirstRead& first) {
  std::uint8_t expected = PlanFirstRead::NONE;
  return first.state.compare_exchange_strong(expected, PlanFirstRead::BUSY, std::memory_order_acq_rel);
}

void plan_await_read(Planner& pl, const PlanFirstRead& first) {
  pl.read_done.wait([&first] { return first.state.load() == PlanFirstRead::DONE; });
}

namespace {

void plan_read_done(Planner& pl, PlanFirstRead& f) {
  f.state.store(PlanFirstRead::DONE);
  pl.read_done.wake();
}

}  // namespace

void plan_make_read(Planner& pl, PlanEntry& e, unsigned char* buffer, std::int32_t bytes) {
  PlanFirstRead& f = e.first;
  try {
    FpReadStamp read{};
    f.bytes = fp_file_head(listed_path(e.file).c_str(), buffer, bytes, &read);
    f.steady = read.steady;
    f.changed = read.changed;
    f.sized = read.stamp.size == e.listed;
    e.plan.stamp = plan_stamp_digest(read.stamp);
  } catch (...) {
    // Another thread may wait for this read: it must end all the same.
    f.bytes = PLAN_NO_MEMORY;
    plan_read_done(pl, f);
    throw;
  }
  if (f.bytes >= 0) f.hash = plan_head_hash(buffer, f.bytes);
  plan_read_done(pl, f);
}

void plan_unit(Planner& pl, std::int32_t i) {
  FilePlan& p = pl.plan(i);
  std::int64_t size = pl.entry(i).listed;
  const bool listed = size >= 0;
  if (!listed) size = fs_file_size(listed_path(pl.files[i]).c_str());  // not measurable when listed; it may be now
  if (size < 0) {
    // Not read now; a first read the early reader makes (which writes the
    // plan's stamp) ends before the plan is published, and none starts after.
    if (!plan_claim_read(pl.entry(i).first)) plan_await_read(pl, pl.entry(i).first);
    return;
  }
  if (listed) {
    const auto& group = pl.by_size.find(size)->second;
    if (group.size() > 1) {
      plan_group(pl, group, size);
      return;
    }
  }
  // No other file of its size: it only has to open, and may have been read already.
  PlanEntry& e = pl.entry(i);
  if (plan_claim_read(e.first)) {
    unsigned char probe;
    plan_make_read(pl, e, &probe, 0);
  } else {
    plan_await_read(pl, e.first);
  }
  if (e.first.bytes == PLAN_NO_MEMORY) throw std::bad_alloc();
  if (e.first.bytes >= 0) {
    plan_readable(e);
    p.key = i;
  } else {
    plan_unopened(pl, i);
  }
}

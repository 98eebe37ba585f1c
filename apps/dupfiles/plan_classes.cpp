// The look-ahead's work on one unit: which files of one size hold equal
// contents, read no further than needed to tell them apart.
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "dupfiles/plan_state.h"
#include "filesystem/fs.h"
#include "fingerprint/fp.h"
#include "fingerprint/md5.h"

namespace {

// Whole contents held for one size at most; past it files are compared on disk.
constexpr std::size_t HELD_BYTES_LIMIT = 64u << 20;
constexpr std::size_t MAX_CLASSES = 8;  // classes of one size and first block compared byte for byte
constexpr std::size_t NO_CLASS = static_cast<std::size_t>(-1);

// A key no other file has: the file's own index.
std::u16string plan_own_key(std::int32_t i) {
  std::string digits = std::to_string(i);
  return u"#" + std::u16string(digits.begin(), digits.end());
}

std::u16string plan_md5_key(const std::uint8_t* digest) {
  std::u16string s(2 * MD5_DIGEST_BYTES, u'0');
  fp_digest_hex(digest, MD5_DIGEST_BYTES, s.data());
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
  FilePlan& p = pl.plan(i);
  p.readable = false;
  std::int64_t now = fs_file_size(pl.files[i]);
  if (now < 0) p.size = now;
}

// One file of a size that others share, as its first read found it.
struct Member {
  std::int32_t index;
  FpReadStamp read;            // how it stood while read
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
    FilePlan& p = pl.plan(b[k].index);
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
  if (reps.size() == 1) {
    keys[0] = plan_own_key(b[reps[0]].index);
  } else {
    // Different contents behind one size and first block: their MD5 texts,
    // those on disk read side by side (they often differ only late).
    std::vector<CStr> paths;
    std::vector<std::size_t> on_disk;
    for (std::size_t c = 0; c < reps.size(); ++c) {
      const Member& r = b[reps[c]];
      std::uint8_t digest[16];
      if (r.whole) {
        fp_md5(r.whole, static_cast<std::size_t>(size), digest);
        keys[c] = plan_md5_key(digest);
      } else {
        paths.push_back(pl.files[r.index]);
        on_disk.push_back(c);
      }
    }
    std::vector<std::uint8_t> digests(16 * paths.size());
    std::unique_ptr<bool[]> ok(new bool[paths.size() + 1]);
    fp_files_md5(paths.data(), static_cast<std::int32_t>(paths.size()), digests.data(), ok.get());
    for (std::size_t d = 0; d < on_disk.size(); ++d) {
      std::size_t c = on_disk[d];
      keys[c] = ok[d] ? plan_md5_key(digests.data() + 16 * d) : plan_own_key(b[reps[c]].index);
    }
  }
  for (std::size_t k = 0; k < b.size(); ++k)
    if (class_of[k] != NO_CLASS) pl.plan(b[k].index).key = keys[class_of[k]];
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
  for (std::size_t k = 0; k < members.size(); ++k) {
    const std::int32_t m = members[k];
    FilePlan& p = pl.plan(m);
    PlanEntry& e = pl.entry(m);
    static unsigned char nothing;  // the contents of every empty file
    unsigned char* buf = size == 0 ? &nothing : hold ? held.data() + k * static_cast<std::size_t>(size) : scratch.data();
    Member mem{m, {}, nullptr};
    if (plan_claim_read(e.first)) {
      plan_make_read(e, buf, head_bytes);
      if (hold) mem.whole = buf;
    } else {
      plan_await_read(e.first);  // read earlier, or being read by the other thread: compared on disk
    }
    if (e.first.bytes == PLAN_NO_MEMORY) throw std::bad_alloc();
    if (e.first.bytes < 0) {
      plan_unopened(pl, m);
      continue;
    }
    p.readable = true;
    mem.read = e.first.read;
    if (e.first.bytes != head_bytes || (mem.read.steady && mem.read.stamp.size != size)) {
      // Changed since its listing: it shares nothing with the files it was listed with.
      p.key = plan_own_key(m);
      continue;
    }
    auto& b = buckets[e.first.hash];
    if (b.empty()) order.push_back(e.first.hash);
    b.push_back(mem);
  }
  for (std::uint64_t h : order) {
    const auto& b = buckets[h];
    if (b.size() == 1) pl.plan(b[0].index).key = plan_own_key(b[0].index);
    else plan_bucket(pl, b, size);
  }
}

}  // namespace

bool plan_claim_read(PlanFirstRead& first) {
  int expected = PlanFirstRead::NONE;
  return first.state.compare_exchange_strong(expected, PlanFirstRead::BUSY, std::memory_order_acq_rel);
}

void plan_await_read(const PlanFirstRead& first) {
  int state;
  while ((state = first.state.load(std::memory_order_acquire)) != PlanFirstRead::DONE) first.state.wait(state);
}

void plan_make_read(PlanEntry& e, unsigned char* buffer, std::int32_t bytes) {
  PlanFirstRead& f = e.first;
  try {
    f.bytes = fp_file_head(e.path, buffer, bytes, &f.read);
  } catch (...) {
    // Another thread may wait for this read: it must end all the same.
    f.bytes = PLAN_NO_MEMORY;
    f.state.store(PlanFirstRead::DONE, std::memory_order_release);
    f.state.notify_all();
    throw;
  }
  if (f.bytes >= 0) f.hash = plan_head_hash(buffer, f.bytes);
  f.state.store(PlanFirstRead::DONE, std::memory_order_release);
  f.state.notify_all();
}

void plan_unit(Planner& pl, std::int32_t i) {
  FilePlan& p = pl.plan(i);
  const bool listed = p.size >= 0;
  if (!listed) p.size = fs_file_size(pl.files[i]);  // not measurable when listed; it may be now
  if (p.size < 0) return;
  if (listed) {
    const auto& group = pl.by_size.find(p.size)->second;
    if (group.size() > 1) {
      plan_group(pl, group, p.size);
      return;
    }
  }
  // No other file of its size: it only has to open, and may have been read already.
  PlanEntry& e = pl.entry(i);
  if (plan_claim_read(e.first)) {
    unsigned char probe;
    plan_make_read(e, &probe, 0);
  } else {
    plan_await_read(e.first);
  }
  if (e.first.bytes == PLAN_NO_MEMORY) throw std::bad_alloc();
  if (e.first.bytes >= 0) {
    p.readable = true;
    p.key = plan_own_key(i);
  } else {
    plan_unopened(pl, i);
  }
}

// Quorith's set of distinct lines.
//
// A record is the line's length (7 bits a byte, the low bits first, the top
// bit set on every byte but the last) followed by its bytes. An entry is
// the record's place (its block in the bits above BLOCK_BITS, its offset
// below) in the low REF_BITS and the top bits of the line's hash above
// them. A line's slot is the top bits of its hash, as many as the table
// has slots, and the slots that follow it take what collides (linear
// probing). So an entry tells its own slot, and the table doubles without
// reading a record; the hash bits below the slot's pass most entries of
// other lines over without reading their records.
#include "duplines/line_set.h"

#include <cstring>

#include "common/hash_mix.h"
#include "core/rt.h"
#include "platform/os_heap.h"

namespace {

constexpr int BLOCK_BITS = 20;
constexpr std::size_t BLOCK_BYTES = std::size_t(1) << BLOCK_BITS;
// A record larger than this gets a block of its own, so that a block wastes
// little at its end.
constexpr std::size_t OWN_BLOCK_FROM = BLOCK_BYTES / 8;
constexpr int REF_BITS = 36;
constexpr int TAG_BITS = 64 - REF_BITS;
constexpr std::uint64_t REF_MASK = (std::uint64_t(1) << REF_BITS) - 1;
constexpr std::uint32_t MAX_BLOCKS = std::uint32_t(1) << (REF_BITS - BLOCK_BITS);
constexpr int FIRST_SLOT_BITS = 10;
constexpr std::size_t MAX_LENGTH_BYTES = 10;

inline std::uint64_t load64(const unsigned char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

std::uint64_t hash_bytes(const unsigned char* p, std::size_t n) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ (n * 0xD6E8FEB86659FD93ull);
  for (; n >= 8; n -= 8, p += 8) {
    h = (h ^ load64(p)) * 0x9FB21C651E98DF25ull;
    h ^= h >> 29;
  }
  if (n > 0) {
    std::uint64_t w = 0;
    for (std::size_t i = 0; i < n; ++i) w |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    h = (h ^ w) * 0x9FB21C651E98DF25ull;
  }
  return hash_mix64(h);
}

inline std::uint64_t tag_of(std::uint64_t hash) { return hash & ~REF_MASK; }

// Slots in a table of 2^bits slots: a line's slot is its hash's top bits.
inline std::uint64_t slot_of(std::uint64_t hash, int bits) { return hash >> (64 - bits); }

// The length at p; p moves past it.
inline std::size_t length_at(const unsigned char*& p) {
  std::size_t n = 0;
  for (int shift = 0;; shift += 7) {
    unsigned char b = *p++;
    n |= static_cast<std::size_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) return n;
  }
}

inline std::size_t length_bytes(std::size_t n) {
  std::size_t k = 1;
  for (; n >= 0x80; n >>= 7) ++k;
  return k;
}

}  // namespace

LineKey line_key(const void* bytes, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  return {p, size, hash_bytes(p, size)};
}

const unsigned char* LineSet::at(std::uint64_t ref) const {
  return blocks_[ref >> BLOCK_BITS].data + (ref & (BLOCK_BYTES - 1));
}

void LineSet::prefetch(const LineKey& key) const {
  if (table_) __builtin_prefetch(table_ + slot_of(key.hash, bits_));
}

void LineSet::prefetch_line(const LineKey& key) const {
  if (!table_) return;
  std::uint64_t e = table_[slot_of(key.hash, bits_)];
  if (e != 0 && tag_of(e) == tag_of(key.hash)) __builtin_prefetch(at(e & REF_MASK));
}

bool LineSet::add_block(std::size_t size) {
  if (block_count_ == 0) block_count_ = 1;  // block 0 is never used
  if (block_count_ >= MAX_BLOCKS) return false;
  if (block_count_ >= block_room_) {
    std::uint32_t room = block_room_ ? block_room_ * 2 : 64;
    void* p = blocks_ ? os_heap_realloc(rt_main_heap(), blocks_, room * sizeof(Block))
                      : os_heap_alloc(rt_main_heap(), room * sizeof(Block));
    if (!p) return false;
    held_ += static_cast<std::int64_t>(room - block_room_) * static_cast<std::int64_t>(sizeof(Block));
    blocks_ = static_cast<Block*>(p);
    block_room_ = room;
  }
  void* data = os_heap_alloc(rt_main_heap(), size);
  if (!data) return false;
  blocks_[block_count_++] = {static_cast<unsigned char*>(data), 0, static_cast<std::uint32_t>(size)};
  held_ += static_cast<std::int64_t>(size);
  return true;
}

std::uint64_t LineSet::place(std::size_t need) {
  if (need > OWN_BLOCK_FROM) {
    if (need > UINT32_MAX || !add_block(need)) return 0;
    blocks_[block_count_ - 1].used = static_cast<std::uint32_t>(need);
    return static_cast<std::uint64_t>(block_count_ - 1) << BLOCK_BITS;
  }
  if (filling_ == 0 || BLOCK_BYTES - blocks_[filling_].used < need) {
    if (!add_block(BLOCK_BYTES)) return 0;
    filling_ = block_count_ - 1;
  }
  Block& b = blocks_[filling_];
  std::uint64_t ref = (static_cast<std::uint64_t>(filling_) << BLOCK_BITS) | b.used;
  b.used += static_cast<std::uint32_t>(need);
  return ref;
}

void LineSet::put(std::uint64_t entry) {
  std::uint64_t i = slot_of(entry, bits_);
  while (table_[i] != 0) i = (i + 1) & mask_;
  table_[i] = entry;
}

bool LineSet::reserve(std::int64_t lines) {
  if (table_) return true;
  int bits = FIRST_SLOT_BITS;
  while (bits < TAG_BITS && (std::int64_t(1) << bits) / 4 * 3 < lines) ++bits;
  if ((std::uint64_t(1) << bits) > SIZE_MAX / sizeof(std::uint64_t) / 3) return false;
  const std::size_t bytes = sizeof(std::uint64_t) << bits;
  void* p = os_heap_alloc(rt_main_heap(), bytes);
  if (!p) return false;
  table_ = static_cast<std::uint64_t*>(p);
  std::memset(table_, 0, bytes);
  bits_ = bits;
  mask_ = (std::uint64_t(1) << bits_) - 1;
  held_ += static_cast<std::int64_t>(bytes);
  return true;
}

bool LineSet::grow_table() {
  if (!table_) return reserve(0);
  const std::uint64_t old_slots = mask_ + 1;
  if (bits_ + 1 > TAG_BITS || old_slots > SIZE_MAX / sizeof(std::uint64_t) / 3) return false;
  const auto old_bytes = static_cast<std::size_t>(old_slots * sizeof(std::uint64_t));
  // The doubled table is made behind the old one in the same block, which
  // grows (a failure leaves it as it was); each entry goes to the slot its
  // hash bits give, in nearly the order of the old slots; then the new
  // table moves to the block's start, and the block shrinks to it.
  void* p = os_heap_realloc(rt_main_heap(), table_, old_bytes * 3);
  if (!p) return false;
  std::uint64_t* old_table = static_cast<std::uint64_t*>(p);
  table_ = old_table + old_slots;
  std::memset(table_, 0, old_bytes * 2);
  ++bits_;
  mask_ = (std::uint64_t(1) << bits_) - 1;
  for (std::uint64_t j = 0; j < old_slots; ++j)
    if (old_table[j] != 0) put(old_table[j]);
  std::memmove(old_table, table_, old_bytes * 2);
  table_ = old_table;
  std::size_t kept = old_bytes * 3;
  if (void* q = os_heap_realloc(rt_main_heap(), table_, old_bytes * 2)) {
    table_ = static_cast<std::uint64_t*>(q);
    kept = old_bytes * 2;
  }
  held_ += static_cast<std::int64_t>(kept - old_bytes) - table_spare_;
  table_spare_ = static_cast<std::int64_t>(kept - old_bytes * 2);
  return true;
}

std::int32_t LineSet::insert(const LineKey& key) {
  if (!table_ && !grow_table()) return -1;
  const std::uint64_t tag = tag_of(key.hash);
  for (std::uint64_t i = slot_of(key.hash, bits_);; i = (i + 1) & mask_) {
    const std::uint64_t e = table_[i];
    if (e == 0) break;
    if (tag_of(e) != tag) continue;
    const unsigned char* r = at(e & REF_MASK);
    if (length_at(r) == key.size && std::memcmp(r, key.bytes, key.size) == 0) return 0;
  }
  // New: the table grows before it is too full, then the line's record and
  // its entry.
  if (static_cast<std::uint64_t>(count_ + 1) > (mask_ + 1) / 4 * 3 && !grow_table()) return -1;
  if (key.size > SIZE_MAX - MAX_LENGTH_BYTES) return -1;
  const std::size_t head = length_bytes(key.size);
  const std::uint64_t ref = place(head + key.size);
  if (ref == 0) return -1;
  unsigned char* out = blocks_[ref >> BLOCK_BITS].data + (ref & (BLOCK_BYTES - 1));
  for (std::size_t n = key.size;; n >>= 7) {
    if (n < 0x80) {
      *out++ = static_cast<unsigned char>(n);
      break;
    }
    *out++ = static_cast<unsigned char>(0x80 | (n & 0x7F));
  }
  std::memcpy(out, key.bytes, key.size);
  put(tag | ref);
  ++count_;
  return 1;
}

void LineSet::clear() {
  for (std::uint32_t k = 1; k < block_count_; ++k) os_heap_free(rt_main_heap(), blocks_[k].data);
  os_heap_free(rt_main_heap(), blocks_);
  os_heap_free(rt_main_heap(), table_);
  table_ = nullptr;
  mask_ = 0;
  bits_ = 0;
  table_spare_ = 0;
  count_ = 0;
  blocks_ = nullptr;
  block_count_ = 0;
  block_room_ = 0;
  filling_ = 0;
  held_ = 0;
}

// Quorith's set of the distinct lines of one file, each held as its bytes:
// the file's own bytes where they stand for its text one for one, or the
// bytes of its UTF-16 code units otherwise. The lines are packed one after
// another into large blocks (a length and the bytes, no terminator, no
// block of their own), and an open-addressing hash table of 8-byte entries
// (a line's place in the blocks and some bits of its hash) finds them.
#pragma once
#include <cstddef>
#include <cstdint>

// A line with its hash, taken once for an announcement and the insertion
// after it. The bytes must stay as they are meanwhile.
struct LineKey {
  const unsigned char* bytes;
  std::size_t size;
  std::uint64_t hash;
};

LineKey line_key(const void* bytes, std::size_t size);

class LineSet {
 public:
  LineSet() = default;
  LineSet(const LineSet&) = delete;
  LineSet& operator=(const LineSet&) = delete;
  ~LineSet() { clear(); }

  // 1 when the line was added, 0 when an equal line (the same bytes) was
  // there already, -1 when memory ran out: the line was not added and the
  // lines added before are still there.
  std::int32_t insert(const LineKey& key);

  // A table for `lines` lines from the start, where the set has none yet:
  // it then grows only past them. False when it cannot be had.
  bool reserve(std::int64_t lines);

  // A hint that `key` is inserted soon: its entry is asked into the cache.
  void prefetch(const LineKey& key) const;
  // A later hint for the same key: the line that its entry points to.
  void prefetch_line(const LineKey& key) const;

  // The bytes the set holds: its blocks and its table.
  std::int64_t bytes() const { return held_; }
  std::int64_t size() const { return count_; }

  // Forgets every line and releases all memory.
  void clear();

 private:
  struct Block {
    unsigned char* data;
    std::uint32_t used;
    std::uint32_t size;
  };
  // A place for a new record of `need` bytes; 0 when none can be had.
  std::uint64_t place(std::size_t need);
  const unsigned char* at(std::uint64_t ref) const;
  bool grow_table();
  void put(std::uint64_t entry);  // an entry of a line not in the table yet
  bool add_block(std::size_t size);

  std::uint64_t* table_ = nullptr;
  std::uint64_t mask_ = 0;  // table slots - 1
  int bits_ = 0;            // table slots = 2^bits_
  std::int64_t table_spare_ = 0;  // bytes of the table's block past its slots
  std::int64_t count_ = 0;
  Block* blocks_ = nullptr;  // block 0 stays unused, so that no entry is 0
  std::uint32_t block_count_ = 0;
  std::uint32_t block_room_ = 0;
  std::uint32_t filling_ = 0;  // the block that takes the next small record; 0: none yet
  std::int64_t held_ = 0;
};

// The tree's hash set: open addressing with linear probing over (hash, text)
// pairs, kept at most three quarters full. An entry points at the node's
// text itself, so that a repeat is confirmed without reading the node.
#include "common/tree_hash.h"

#include "core/rt.h"
#include "platform/os_heap.h"

namespace {

struct Entry {
  std::uint32_t hash;
  CStr text;  // null marks an empty entry, so fresh memory is empty
};

Entry* g_table = nullptr;
std::uint32_t g_mask = 0;  // capacity - 1
std::uint32_t g_count = 0;

constexpr std::uint32_t START_CAPACITY = 1u << 12;

bool tree_hash_grow() {
  std::uint32_t capacity = g_table ? (g_mask + 1) * 2 : START_CAPACITY;
  auto* fresh = static_cast<Entry*>(os_heap_alloc(rt_main_heap(), sizeof(Entry) * capacity));
  if (!fresh) return false;
  std::uint32_t mask = capacity - 1;
  if (g_table) {
    for (std::uint32_t i = 0; i <= g_mask; ++i) {
      if (!g_table[i].text) continue;
      std::uint32_t j = g_table[i].hash & mask;
      while (fresh[j].text) j = (j + 1) & mask;
      fresh[j] = g_table[i];
    }
    os_heap_free(rt_main_heap(), g_table);
  }
  g_table = fresh;
  g_mask = mask;
  return true;
}

}  // namespace

std::uint32_t tree_hash_text(CStr text) {
  std::uint32_t h = 0x811C9DC5u;
  if (text)
    for (; *text; ++text) h = (h ^ *text) * 0x01000193u;
  // Spread the low bits, which pick the entry.
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

bool tree_hash_contains(CStr text, std::uint32_t hash) {
  if (!g_table) return false;
  for (std::uint32_t i = hash & g_mask;; i = (i + 1) & g_mask) {
    const Entry& e = g_table[i];
    if (!e.text) return false;
    if (e.hash == hash && str_cmp_ordinal(text, e.text) == 0) return true;
  }
}

bool tree_hash_reserve() { return (g_table && (g_count + 1) * 4 <= (g_mask + 1) * 3) || tree_hash_grow(); }

void tree_hash_put(std::uint32_t hash, CStr text) {
  std::uint32_t i = hash & g_mask;
  while (g_table[i].text) i = (i + 1) & g_mask;
  g_table[i] = {hash, text};
  ++g_count;
}

void tree_hash_reset() {
  os_heap_free(rt_main_heap(), g_table);
  g_table = nullptr;
  g_mask = 0;
  g_count = 0;
}

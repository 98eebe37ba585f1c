// The tree's hash set: open addressing with linear probing over (hash, node)
// pairs, kept at most three quarters full.
#include "common/tree_hash.h"

#include "common/tree.h"
#include "core/rt.h"
#include "platform/os_heap.h"

namespace {

struct Entry {
  std::uint32_t hash;
  std::int32_t node_plus_one;  // 0 marks an empty entry, so fresh memory is empty
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
      if (!g_table[i].node_plus_one) continue;
      std::uint32_t j = g_table[i].hash & mask;
      while (fresh[j].node_plus_one) j = (j + 1) & mask;
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

std::int32_t tree_hash_find(CStr text, std::uint32_t hash) {
  if (!g_table) return -1;
  for (std::uint32_t i = hash & g_mask;; i = (i + 1) & g_mask) {
    const Entry& e = g_table[i];
    if (!e.node_plus_one) return -1;
    if (e.hash == hash && str_cmp_ordinal(text, tree_nodes.array[e.node_plus_one - 1].text) == 0) return e.node_plus_one - 1;
  }
}

bool tree_hash_reserve() { return (g_table && (g_count + 1) * 4 <= (g_mask + 1) * 3) || tree_hash_grow(); }

void tree_hash_put(std::uint32_t hash, std::int32_t node) {
  std::uint32_t i = hash & g_mask;
  while (g_table[i].node_plus_one) i = (i + 1) & g_mask;
  g_table[i] = {hash, node + 1};
  ++g_count;
}

void tree_hash_reset() {
  os_heap_free(rt_main_heap(), g_table);
  g_table = nullptr;
  g_mask = 0;
  g_count = 0;
}

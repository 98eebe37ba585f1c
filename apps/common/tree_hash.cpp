// The tree's hash set: open addressing with linear probing over (hash, node)
// pairs, kept at most three quarters full.
#include "common/tree_hash.h"

#include <cstring>

#include "common/hash_mix.h"
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
  // Twice 2^31 entries would not fit the count, nor the bytes a 32-bit size.
  if (g_table && (g_mask >= 0x7FFFFFFFu || g_mask + 1 > SIZE_MAX / 2 / sizeof(Entry))) return false;
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

std::uint32_t tree_hash_text(CStr text, std::size_t units) {
  // Four units at a time, each word mixed in by multiplication and rotation.
  constexpr std::uint64_t K1 = 0x87C37B91114253D5u, K2 = 0x4CF5AD432745937Fu;
  std::uint64_t h = units * K2;
  auto mix = [&h](std::uint64_t w) {
    w *= K1;
    w = (w << 31) | (w >> 33);
    h ^= w * K2;
    h = ((h << 27) | (h >> 37)) * 5 + 0x52DCE729u;
  };
  std::size_t i = 0;
  for (; i + 4 <= units; i += 4) {
    std::uint64_t w;
    std::memcpy(&w, text + i, sizeof w);
    mix(w);
  }
  if (i < units) {
    std::uint64_t w = 0;
    std::memcpy(&w, text + i, (units - i) * 2);
    mix(w);
  }
  // Spread every bit into the low ones, which pick the entry.
  return static_cast<std::uint32_t>(hash_mix64(h));
}

void tree_hash_prefetch(std::uint32_t hash, std::int32_t step) {
  if (!g_table) return;
  const Entry* e = &g_table[hash & g_mask];
  if (step == 0) {
    __builtin_prefetch(e);
    return;
  }
  // Only the first few entries: a longer run is not worth a wait.
  for (std::int32_t k = 0; k < 4 && e->node_plus_one; ++k, e = &g_table[(hash + k) & g_mask]) {
    if (e->hash != hash) continue;
    const TreeNode* node = &tree_nodes.array[e->node_plus_one - 1];
    if (step == 1) __builtin_prefetch(node);
    else __builtin_prefetch(node->text);
    return;
  }
}

std::int32_t tree_hash_find(CStr text, std::uint32_t hash) {
  if (!g_table) return -1;
  for (std::uint32_t i = hash & g_mask;; i = (i + 1) & g_mask) {
    const Entry& e = g_table[i];
    if (!e.node_plus_one) return -1;
    if (e.hash == hash && str_cmp_ordinal(text, tree_nodes.array[e.node_plus_one - 1].text) == 0)
      return static_cast<std::int32_t>(e.node_plus_one - 1);
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

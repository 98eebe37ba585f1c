// The B+tree behind the unique-string tree's ordered index.
#include "common/tree_index.h"

#include <cstring>

#include "common/tree.h"
#include "core/rt.h"
#include "platform/os_heap.h"

namespace {

constexpr int LEAF_CAP = 62;
constexpr int INNER_CAP = 62;  // keys per inner node; children = keys + 1
constexpr int MAX_DEPTH = 16;

// The first eight units of a text, most significant first, 0 after its end:
// comparing prefixes orders texts as the ordinal comparison does.
struct Prefix {
  std::uint64_t hi;  // units 0-3
  std::uint64_t lo;  // units 4-7
};

struct Key {
  Prefix prefix;
  std::int32_t node;
};

struct Leaf {
  std::int32_t count;
  Leaf* prev;
  Leaf* next;
  Key keys[LEAF_CAP];
};

struct Inner {
  std::int32_t count;  // keys; children are count + 1
  bool leaf_children;
  Key keys[INNER_CAP];  // keys[i] is the smallest entry below child i + 1
  void* child[INNER_CAP + 1];
};

void* g_root = nullptr;
bool g_root_is_leaf = true;
std::int32_t g_entries = 0;

Prefix tidx_prefix(CStr t) {
  std::uint64_t u[8] = {};
  if (t)
    for (int k = 0; k < 8 && t[k]; ++k) u[k] = t[k];
  return {(u[0] << 48) | (u[1] << 32) | (u[2] << 16) | u[3], (u[4] << 48) | (u[5] << 32) | (u[6] << 16) | u[7]};
}

// Orders the probe (text t with prefix p) against an indexed entry.
int tidx_cmp(CStr t, const Prefix& p, const Key& k) {
  if (p.hi != k.prefix.hi) return p.hi < k.prefix.hi ? -1 : 1;
  if (p.lo != k.prefix.lo) return p.lo < k.prefix.lo ? -1 : 1;
  if ((p.lo & 0xFFFF) == 0) return 0;  // both ended within the prefix
  return str_cmp_ordinal(t + 8, tree_nodes.array[k.node].text + 8);
}

template <typename T>
T* tidx_new() {
  return static_cast<T*>(os_heap_alloc(rt_main_heap(), sizeof(T)));
}

void tidx_free(void* n, bool is_leaf) {
  if (!n) return;
  if (!is_leaf) {
    auto* in = static_cast<Inner*>(n);
    for (int i = 0; i <= in->count; ++i) tidx_free(in->child[i], in->leaf_children);
  }
  os_heap_free(rt_main_heap(), n);
}

// Inserts key k and the child to its right into an inner node that has room.
void tidx_inner_put(Inner* in, int pos, const Key& k, void* right) {
  std::memmove(&in->keys[pos + 1], &in->keys[pos], sizeof(Key) * static_cast<std::size_t>(in->count - pos));
  std::memmove(&in->child[pos + 2], &in->child[pos + 1], sizeof(void*) * static_cast<std::size_t>(in->count - pos));
  in->keys[pos] = k;
  in->child[pos + 1] = right;
  ++in->count;
}

}  // namespace

void tree_index_reset() {
  tidx_free(g_root, g_root_is_leaf);
  g_root = nullptr;
  g_root_is_leaf = true;
  g_entries = 0;
}

std::int32_t tree_index_insert(CStr text, std::int32_t new_node, std::int32_t* pred, std::int32_t* succ) {
  if (!text) text = u"";
  *pred = -1;
  *succ = -1;
  const Prefix p = tidx_prefix(text);
  if (!g_root) {
    g_root = tidx_new<Leaf>();
    if (!g_root) return TREE_INDEX_NO_MEMORY;
    g_root_is_leaf = true;
  }

  // Descend, remembering the path for splits.
  Inner* path[MAX_DEPTH];
  int slot[MAX_DEPTH];
  int depth = 0;
  void* n = g_root;
  bool is_leaf = g_root_is_leaf;
  while (!is_leaf) {
    auto* in = static_cast<Inner*>(n);
    // The first key greater than the probe picks the child.
    int lo = 0, hi = in->count;
    while (lo < hi) {
      int mid = (lo + hi) / 2;
      if (tidx_cmp(text, p, in->keys[mid]) >= 0) lo = mid + 1; else hi = mid;
    }
    path[depth] = in;
    slot[depth] = lo;
    ++depth;
    is_leaf = in->leaf_children;
    n = in->child[lo];
  }

  auto* leaf = static_cast<Leaf*>(n);
  int lo = 0, hi = leaf->count;
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    int c = tidx_cmp(text, p, leaf->keys[mid]);
    if (c == 0) return leaf->keys[mid].node;
    if (c > 0) lo = mid + 1; else hi = mid;
  }
  int pos = lo;
  if (pos > 0) *pred = leaf->keys[pos - 1].node;
  else if (leaf->prev) *pred = leaf->prev->keys[leaf->prev->count - 1].node;
  if (pos < leaf->count) *succ = leaf->keys[pos].node;
  else if (leaf->next) *succ = leaf->next->keys[0].node;

  const Key key{p, new_node};
  if (leaf->count < LEAF_CAP) {
    std::memmove(&leaf->keys[pos + 1], &leaf->keys[pos], sizeof(Key) * static_cast<std::size_t>(leaf->count - pos));
    leaf->keys[pos] = key;
    ++leaf->count;
    ++g_entries;
    return -1;
  }

  // Every node that the splits need is allocated before anything changes,
  // so that running out of memory leaves the index as it was.
  int splits = 0;  // full inner nodes on the path, from the bottom up
  while (splits < depth && path[depth - 1 - splits]->count == INNER_CAP) ++splits;
  int inners_needed = splits + (splits == depth ? 1 : 0);  // a new root above a full path
  Inner* spare[MAX_DEPTH + 1] = {};
  Leaf* right = tidx_new<Leaf>();
  bool ok = right != nullptr;
  for (int k = 0; ok && k < inners_needed; ++k) ok = (spare[k] = tidx_new<Inner>()) != nullptr;
  if (!ok) {
    os_heap_free(rt_main_heap(), right);
    for (Inner* in : spare) os_heap_free(rt_main_heap(), in);
    return TREE_INDEX_NO_MEMORY;
  }
  int next_spare = 0;
  ++g_entries;

  // Split the full leaf. Appending at the right end keeps the left leaf
  // full, so ascending input packs the leaves densely.
  int keep = pos == LEAF_CAP ? LEAF_CAP : LEAF_CAP / 2;
  Key all[LEAF_CAP + 1];
  std::memcpy(all, leaf->keys, sizeof(Key) * static_cast<std::size_t>(pos));
  all[pos] = key;
  std::memcpy(all + pos + 1, leaf->keys + pos, sizeof(Key) * static_cast<std::size_t>(LEAF_CAP - pos));
  leaf->count = keep;
  std::memcpy(leaf->keys, all, sizeof(Key) * static_cast<std::size_t>(keep));
  right->count = LEAF_CAP + 1 - keep;
  std::memcpy(right->keys, all + keep, sizeof(Key) * static_cast<std::size_t>(right->count));
  right->next = leaf->next;
  right->prev = leaf;
  if (leaf->next) leaf->next->prev = right;
  leaf->next = right;

  Key up = right->keys[0];
  void* up_child = right;
  while (depth > 0) {
    --depth;
    Inner* in = path[depth];
    int at = slot[depth];
    if (in->count < INNER_CAP) {
      tidx_inner_put(in, at, up, up_child);
      return -1;
    }
    // Split the full inner node around its middle key.
    Key keys[INNER_CAP + 1];
    void* kids[INNER_CAP + 2];
    std::memcpy(keys, in->keys, sizeof(Key) * static_cast<std::size_t>(at));
    keys[at] = up;
    std::memcpy(keys + at + 1, in->keys + at, sizeof(Key) * static_cast<std::size_t>(INNER_CAP - at));
    std::memcpy(kids, in->child, sizeof(void*) * static_cast<std::size_t>(at + 1));
    kids[at + 1] = up_child;
    std::memcpy(kids + at + 2, in->child + at + 1, sizeof(void*) * static_cast<std::size_t>(INNER_CAP - at));
    int left_keys = at == INNER_CAP ? INNER_CAP - 1 : INNER_CAP / 2;
    Inner* sib = spare[next_spare++];
    sib->leaf_children = in->leaf_children;
    in->count = left_keys;
    std::memcpy(in->keys, keys, sizeof(Key) * static_cast<std::size_t>(left_keys));
    std::memcpy(in->child, kids, sizeof(void*) * static_cast<std::size_t>(left_keys + 1));
    sib->count = INNER_CAP - left_keys;
    std::memcpy(sib->keys, keys + left_keys + 1, sizeof(Key) * static_cast<std::size_t>(sib->count));
    std::memcpy(sib->child, kids + left_keys + 1, sizeof(void*) * static_cast<std::size_t>(sib->count + 1));
    up = keys[left_keys];
    up_child = sib;
  }
  // The root split: a new root above the two halves.
  Inner* root = spare[next_spare++];
  root->leaf_children = g_root_is_leaf;
  root->count = 1;
  root->keys[0] = up;
  root->child[0] = g_root;
  root->child[1] = up_child;
  g_root = root;
  g_root_is_leaf = false;
  return -1;
}

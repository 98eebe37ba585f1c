// The unique-string tree.
#include "common/tree.h"

#include <cstddef>
#include <cstring>

#include "common/tree_hash.h"
#include "common/tree_index.h"
#include "core/rt.h"
#include "platform/os_heap.h"

const FieldLayout TREE_NODE_LAYOUT[] = {static_cast<FieldLayout>(offsetof(TreeNode, text)), FIELD_LAYOUT_END};

std::int32_t tree_node_count = 0;
std::int32_t tree_growth = 0;
TreeNodes tree_nodes;

namespace {

std::int32_t g_indexed = 0;  // nodes below this index are in the ordered index
std::uint32_t g_announced[2] = {};  // the hashes that tree_prefetch was given last

// The nodes' texts, packed one after another into large blocks: a text
// costs its units and terminator, without a string's own header and
// rounding, and a node added is one copy into memory already at hand. The
// tree owns the blocks; the nodes' text fields point into them and are
// cleared before the array is released, so that it releases no string.
struct TextBlock {
  TextBlock* next;
  std::size_t used;  // code units taken
  std::size_t size;  // code units in the block
};
constexpr std::size_t FIRST_BLOCK_UNITS = 32 * 1024 - sizeof(TextBlock) / 2;
constexpr std::size_t LARGEST_BLOCK_UNITS = 512 * 1024 - sizeof(TextBlock) / 2;

TextBlock* g_texts = nullptr;  // the block being filled first
std::size_t g_block_units = FIRST_BLOCK_UNITS;  // the next block's size

char16_t* tree_block_units(TextBlock* b) { return reinterpret_cast<char16_t*>(b + 1); }

TextBlock* tree_new_block(std::size_t units) {
  auto* b = static_cast<TextBlock*>(os_heap_alloc(rt_main_heap(), sizeof(TextBlock) + units * 2));
  if (b) b->size = units;
  return b;
}

// A copy of the `units` units at `text` and a terminator; null when no
// block can be had.
char16_t* tree_store_text(CStr text, std::size_t units) {
  const std::size_t need = units + 1;
  TextBlock* b = g_texts;
  if (!b || b->size - b->used < need) {
    const std::size_t size = g_block_units;
    if (size < need) {
      // A text larger than a block gets one of its own, behind the one
      // being filled.
      TextBlock* own = tree_new_block(need);
      if (!own) return nullptr;
      own->used = need;
      if (b) {
        own->next = b->next;
        b->next = own;
      } else {
        g_texts = own;
      }
      char16_t* out = tree_block_units(own);
      std::memcpy(out, text, units * 2);
      out[units] = 0;
      return out;
    }
    b = tree_new_block(size);
    if (!b) return nullptr;
    b->next = g_texts;
    g_texts = b;
    // Blocks grow with the tree, so that a small one wastes little.
    g_block_units = size * 2 < LARGEST_BLOCK_UNITS ? size * 2 : LARGEST_BLOCK_UNITS;
  }
  char16_t* out = tree_block_units(b) + b->used;
  std::memcpy(out, text, units * 2);
  out[units] = 0;
  b->used += need;
  return out;
}

void tree_release_texts() {
  for (std::int32_t i = 0; i < tree_node_count; ++i) tree_nodes.array[i].text = nullptr;
  while (TextBlock* b = g_texts) {
    g_texts = b->next;
    os_heap_free(rt_main_heap(), b);
  }
  g_block_units = FIRST_BLOCK_UNITS;
}

void tree_forget() {
  tree_hash_reset();
  tree_index_reset();
  g_indexed = 0;
  tree_nodes.linked = 0;
}

void tree_dim(std::int32_t slots) {
  tree_forget();
  tree_release_texts();
  arr_dim_t<TreeNode>(slots, ELEM_STRUCT, TREE_NODE_LAYOUT, &tree_nodes.array);
  tree_node_count = 0;
}

// Makes sure that the slot at tree_node_count exists; false when the array
// is missing or cannot grow (it then stays as it was).
bool tree_room() {
  TreeNode*& nodes = tree_nodes.array;
  if (!nodes) return false;
  if (tree_node_count <= arr_size(nodes)) return true;
  if (tree_node_count > INT32_MAX - 1 - tree_growth) return false;
  TreeNode* kept = nodes;
  arr_redim_t(tree_node_count + tree_growth + 1, &nodes);
  if (nodes) return true;
  nodes = kept;  // a failed reallocation leaves the block as it was
  return false;
}

// Node n's attach point by the descent itself: needs no memory, but costs
// one comparison per level.
void tree_descend(std::int32_t n) {
  TreeNode* nodes = tree_nodes.array;
  CStr text = nodes[n].text;
  std::int32_t i = 0;
  for (;;) {
    std::int32_t& link = str_cmp_ordinal(text, nodes[i].text) > 0 ? nodes[i].greater : nodes[i].less;
    if (link == 0) {
      link = n;
      return;
    }
    i = link;
  }
}

// Node n's attach point through the ordered index. The new node is the
// child of whichever neighbour in sorted order came later: the greater
// child of its predecessor, or else the less child of its successor.
bool tree_attach_indexed(std::int32_t n) {
  TreeNode* nodes = tree_nodes.array;
  std::int32_t pred = -1, succ = -1;
  // The index lags behind after it ran out of memory once: it catches up.
  for (; g_indexed < n; ++g_indexed)
    if (tree_index_insert(nodes[g_indexed].text, g_indexed, &pred, &succ) == TREE_INDEX_NO_MEMORY) return false;
  if (tree_index_insert(nodes[n].text, n, &pred, &succ) == TREE_INDEX_NO_MEMORY) return false;
  g_indexed = n + 1;
  if (n == 0) return true;
  if (succ < 0 || (pred >= 0 && pred > succ)) nodes[pred].greater = n;
  else nodes[succ].less = n;
  return true;
}

}  // namespace

void tree_link_nodes() {
  for (std::int32_t n = tree_nodes.linked; n < tree_node_count; ++n)
    if (!tree_attach_indexed(n) && n > 0) tree_descend(n);
  tree_nodes.linked = tree_node_count;
}

void tree_create(std::int32_t slots, std::int32_t growth) {
  tree_growth = growth;
  tree_dim(slots);
}

void tree_init(std::int32_t increment) {
  tree_growth = increment;
  tree_dim(increment + 1);
}

void tree_reset() { tree_dim(2); }

void tree_clear() {
  tree_forget();
  tree_release_texts();
  arr_free(tree_nodes.array);
  tree_nodes.array = nullptr;
  tree_node_count = 0;
}

TreeKey tree_key(CStr text) { return text ? tree_key(text, str_length(text)) : tree_key(u"", 0); }

TreeKey tree_key(CStr text, std::int32_t units) {
  return {text, units, tree_hash_text(text, static_cast<std::size_t>(units))};
}

void tree_prefetch(const TreeKey& key) {
  // Each lookup announced before this one is a step further on its way.
  tree_hash_prefetch(g_announced[1], 2);
  tree_hash_prefetch(g_announced[0], 1);
  tree_hash_prefetch(key.hash, 0);
  g_announced[1] = g_announced[0];
  g_announced[0] = key.hash;
}

std::int32_t tree_find(CStr text) {
  if (!text) text = u"";
  if (tree_node_count == 0) return -1;
  return tree_hash_find(text, tree_hash_text(text, static_cast<std::size_t>(str_length(text))));
}

void tree_prefetch(CStr text) { tree_prefetch(tree_key(text)); }

std::int32_t tree_insert_unique(CStr text) { return tree_insert_unique(tree_key(text)); }

std::int32_t tree_insert_unique(const TreeKey& key) {
  CStr text = key.text;
  const std::int32_t n = tree_node_count;
  if (n == 0) tree_forget();
  const auto units = static_cast<std::size_t>(key.units);
  const std::uint32_t hash = key.hash;
  if (n > 0 && tree_hash_find(text, hash) >= 0) return 0;
  if (!tree_room() || !tree_hash_reserve()) return -1;
  TreeNode& node = tree_nodes.array[n];
  node.text = tree_store_text(text, units);
  if (!node.text) return -1;
  tree_hash_put(hash, n);
  node.greater = 0;
  node.less = 0;
  tree_node_count = n + 1;
  // Growth as the node fills the last slot (the first node needs none);
  // when it fails here, the next insertion tries again and reports it.
  if (n > 0) tree_room();
  return 1;
}

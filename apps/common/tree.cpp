// The unique-string tree.
#include "common/tree.h"

#include <cstddef>

#include "common/tree_hash.h"
#include "common/tree_index.h"

const FieldLayout TREE_NODE_LAYOUT[] = {static_cast<FieldLayout>(offsetof(TreeNode, text)), FIELD_LAYOUT_END};

TreeNode* tree_nodes = nullptr;
std::int32_t tree_node_count = 0;
std::int32_t tree_growth = 0;

namespace {

void tree_dim(std::int32_t slots) {
  tree_index_reset();
  arr_dim_t<TreeNode>(slots, ELEM_STRUCT, TREE_NODE_LAYOUT, &tree_nodes);
  tree_node_count = 0;
}

// Makes sure that the slot at tree_node_count exists; false when the array
// is missing or cannot grow (it then stays as it was).
bool tree_room() {
  if (!tree_nodes) return false;
  if (tree_node_count <= arr_size(tree_nodes)) return true;
  if (tree_node_count > INT32_MAX - 1 - tree_growth) return false;
  TreeNode* kept = tree_nodes;
  arr_redim_t(tree_node_count + tree_growth + 1, &tree_nodes);
  if (tree_nodes) return true;
  tree_nodes = kept;  // a failed reallocation leaves the block as it was
  return false;
}

}  // namespace

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
  tree_index_reset();
  arr_free(tree_nodes);
  tree_nodes = nullptr;
  tree_node_count = 0;
}

std::int32_t tree_insert_unique(CStr text) {
  if (!text) text = u"";
  std::int32_t n = tree_node_count;
  if (n == 0) tree_index_reset();
  const std::uint32_t hash = tree_hash_text(text);
  if (n > 0 && tree_hash_find(text, hash) >= 0) return 0;
  if (!tree_room()) return -1;
  // The free slot takes its copy of the text first, so that the index never
  // records a node without its text.
  TreeNode& node = tree_nodes[n];
  if (str_assign(&node.text, text) == 0) return -1;
  std::int32_t pred = -1, succ = -1;
  std::int32_t found = tree_index_insert(text, hash, n, &pred, &succ);
  if (found != -1) {
    str_assign(&node.text, nullptr);
    return found == TREE_INDEX_NO_MEMORY ? -1 : 0;
  }
  node.greater = 0;
  node.less = 0;
  tree_node_count = n + 1;
  if (n > 0) {
    // The plain descent would end at whichever neighbour came later: the new
    // node is its greater child if it is the predecessor, else its less child.
    if (succ < 0 || (pred >= 0 && pred > succ)) tree_nodes[pred].greater = n;
    else tree_nodes[succ].less = n;
  }
  // Growth as the node fills the last slot (the first node needs none);
  // when it fails here, the next insertion tries again and reports it.
  if (n > 0) tree_room();
  return 1;
}

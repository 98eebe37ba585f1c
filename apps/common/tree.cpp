// The unique-string tree.
#include "common/tree.h"

#include <cstddef>

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

// Fills the free slot with a copy of the text and returns its index.
std::int32_t tree_attach(CStr text) {
  std::int32_t n = tree_node_count;
  TreeNode& node = tree_nodes[n];
  node.greater = 0;
  node.less = 0;
  str_assign(&node.text, text ? text : u"");
  tree_node_count = n + 1;
  return n;
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
  std::int32_t pred = -1, succ = -1;
  if (tree_node_count == 0) {
    tree_index_reset();
    tree_index_insert(text, 0, &pred, &succ);
    tree_attach(text);
    return 1;
  }
  if (tree_index_insert(text, tree_node_count, &pred, &succ) >= 0) return 0;
  // The plain descent would end at whichever neighbour came later: the new
  // node is its greater child if it is the predecessor, else its less child.
  std::int32_t n = tree_attach(text);
  if (succ < 0 || (pred >= 0 && pred > succ)) tree_nodes[pred].greater = n;
  else tree_nodes[succ].less = n;
  if (tree_node_count > arr_size(tree_nodes)) arr_redim_t(tree_node_count + tree_growth + 1, &tree_nodes);
  return 1;
}

// An ordered index over the unique-string tree's node texts.
//
// The tree itself is never rebalanced, so sorted input turns it into a chain
// that costs one comparison per level. In a binary search tree built by
// insertions a new string always becomes a child of its in-order
// predecessor or successor, whichever was inserted later; this index finds
// both (or the equal string) in logarithmic time, so the tree gets exactly
// the links the plain descent would give it without walking the chain.
//
// A B+tree of node indices, each entry carrying the text's first eight code
// units so that most comparisons never touch the text itself.
#pragma once
#include <cstdint>

#include "core/str.h"

// tree_index_insert's result when memory ran out; nothing was recorded.
constexpr std::int32_t TREE_INDEX_NO_MEMORY = -2;

// Looks `text` up among the indexed nodes. When present, returns its node
// index. Otherwise records `new_node` (whose text must already be `text`)
// at its place, sets *pred and *succ to the neighbouring node indexes (-1
// for none) and returns -1; or returns TREE_INDEX_NO_MEMORY, having changed
// nothing.
std::int32_t tree_index_insert(CStr text, std::int32_t new_node, std::int32_t* pred, std::int32_t* succ);

// Forgets every entry and releases the index's memory.
void tree_index_reset();

// The unique-string tree: the set of strings met so far, shared by both
// programs to recognise a repeat. An unbalanced binary search tree whose
// nodes live in one growable array and link by index; index 0 is the root.
#pragma once
#include <cstdint>

#include "core/arr.h"
#include "core/str.h"

struct TreeNode {
  std::int32_t greater;  // child with the greater strings; 0 = none
  std::int32_t less;     // child with the smaller strings; 0 = none
  Str text;              // owned by the node
};

// The node's string field.
extern const FieldLayout TREE_NODE_LAYOUT[];

// The process-wide tree state (tree_nodes below).
extern std::int32_t tree_node_count;
extern std::int32_t tree_growth;

// Attaches every node added since the last call where the plain descent
// from the root would have put it.
void tree_link_nodes();

// The node array. An insertion answers from a hash set and leaves the new
// node's link to be set later, since nothing on that path reads links;
// whoever takes the array from here (to index it, compare it or size it)
// first gets the links of every node exact.
class TreeNodes {
 public:
  operator TreeNode*() const {
    if (linked != tree_node_count) tree_link_nodes();
    return array;
  }
  TreeNode* array = nullptr;  // the array itself, links possibly pending
  std::int32_t linked = 0;    // nodes below this index are attached
};

extern TreeNodes tree_nodes;

// A program's set-up: `slots` empty slots and the growth step, count 0.
void tree_create(std::int32_t slots, std::int32_t growth);

// 1 when the text was added, 0 when it was already present (case-sensitive),
// -1 when memory ran out (no array, or the array, the text's copy or the
// hash set could not grow): the text was not added and the tree is unchanged.
std::int32_t tree_insert_unique(CStr text);

// A text with its length and hash, taken once for an announcement and the
// insertion after it. The text must stay as it is meanwhile.
struct TreeKey {
  CStr text;
  std::int32_t units;
  std::uint32_t hash;
};
TreeKey tree_key(CStr text);
TreeKey tree_key(CStr text, std::int32_t units);  // text of `units` units, terminated

// tree_insert_unique and tree_prefetch of a text whose key is known.
std::int32_t tree_insert_unique(const TreeKey& key);
void tree_prefetch(const TreeKey& key);
// The node that holds `text` (case-sensitive), or -1 when none does.
std::int32_t tree_find(CStr text);

// A hint that `text` is inserted soon: the insertion then finds what it
// reads already in the cache, the more so when each text is announced
// three insertions ahead. Changes nothing.
void tree_prefetch(CStr text);

// increment + 1 empty slots and growth `increment`, count 0.
void tree_init(std::int32_t increment);

// 2 empty slots, count 0, the growth kept.
void tree_reset();

// Releases the node array; a tree_init must come before the next insertion.
void tree_clear();

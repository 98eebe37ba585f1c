// A hash set over the unique-string tree's node texts: repeats are
// answered here, without the ordered index.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/str.h"

// The hash of the `units` code units at `text`.
std::uint32_t tree_hash_text(CStr text, std::size_t units);

// The node whose text equals `text` (whose hash is `hash`), or -1.
std::int32_t tree_hash_find(CStr text, std::uint32_t hash);

// Asks for what a lookup of `hash` reads to be brought into the cache, so
// that the lookup, made a little later, does not wait for memory. A lookup
// reads one after the other its entry (step 0), the entry's node (step 1)
// and the node's text (step 2); each step is asked for once the one before
// has had time to arrive.
void tree_hash_prefetch(std::uint32_t hash, std::int32_t step);

// Makes room for one more entry; false when the set cannot grow.
bool tree_hash_reserve();

// Records a node whose text is not in the set yet, after tree_hash_reserve.
void tree_hash_put(std::uint32_t hash, std::int32_t node);

// Forgets every entry and releases the set's memory.
void tree_hash_reset();

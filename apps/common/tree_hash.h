// A hash set over the unique-string tree's node texts: repeats are
// answered here before the ordered index is searched.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/str.h"

// The hash of the `units` code units at `text`.
std::uint32_t tree_hash_text(CStr text, std::size_t units);

// Whether a node's text equals `text` (whose hash is `hash`).
bool tree_hash_contains(CStr text, std::uint32_t hash);

// Asks for the entry where a lookup of `hash` starts to be brought into the
// cache, so that a lookup made a little later does not wait for memory.
void tree_hash_prefetch(std::uint32_t hash);

// As tree_hash_prefetch, a step further for a lookup announced earlier,
// whose entry is in the cache by now: the text that it points at.
void tree_hash_prefetch_text(std::uint32_t hash);

// Makes room for one more entry; false when the set cannot grow.
bool tree_hash_reserve();

// Records a node's text, not in the set yet, after tree_hash_reserve; the
// text stays where it is until the set is reset.
void tree_hash_put(std::uint32_t hash, CStr text);

// Forgets every entry and releases the set's memory.
void tree_hash_reset();

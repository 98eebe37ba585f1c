// A hash set over the unique-string tree's node texts: repeats are
// answered here before the ordered index is searched.
#pragma once
#include <cstdint>

#include "core/str.h"

std::uint32_t tree_hash_text(CStr text);

// The node whose text equals `text` (with hash `hash`), or -1.
std::int32_t tree_hash_find(CStr text, std::uint32_t hash);

// Makes room for one more entry; false when the set cannot grow.
bool tree_hash_reserve();

// Records a node whose text is not in the set yet, after tree_hash_reserve.
void tree_hash_put(std::uint32_t hash, std::int32_t node);

// Forgets every entry and releases the set's memory.
void tree_hash_reset();

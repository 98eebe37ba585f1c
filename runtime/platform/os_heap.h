// Platform contract: private heaps.
//
// A heap hands out zero-filled blocks, grows blocks with the added bytes
// zero-filled, and releases every block it still holds when destroyed.
// Heaps are safe to use from more than one thread, as the system's are.
#pragma once
#include <cstddef>

using OsHeap = void*;

// Creates a heap with the given initial size and no maximum; null on failure.
OsHeap os_heap_create(std::size_t initial_bytes);

// A zero-filled block of the given size; null on failure or on a null heap.
void* os_heap_alloc(OsHeap heap, std::size_t bytes);

// Resizes a block, keeping its contents; bytes added at the end are zero.
// Null on failure, and the old block is then left as it was.
void* os_heap_realloc(OsHeap heap, void* block, std::size_t bytes);

// Releases a block; null is ignored.
void os_heap_free(OsHeap heap, void* block);

// Releases the heap and every block it still holds; null is ignored.
void os_heap_destroy(OsHeap heap);

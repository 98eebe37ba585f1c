// Win32 backend: private heaps are the system's own.
#include "platform/os_seam.h"
#include "platform/os_heap.h"
#include "win32_util.h"

OsHeap os_heap_create(std::size_t initial_bytes) { return HeapCreate(0, initial_bytes, 0); }

void* os_sys_heap_alloc(OsHeap heap, std::size_t bytes) {
  return heap ? HeapAlloc(static_cast<HANDLE>(heap), HEAP_ZERO_MEMORY, bytes) : nullptr;
}

void* os_sys_heap_realloc(OsHeap heap, void* block, std::size_t bytes) {
  if (!heap) return nullptr;
  if (!block) return os_sys_heap_alloc(heap, bytes);
  return HeapReAlloc(static_cast<HANDLE>(heap), HEAP_ZERO_MEMORY, block, bytes);
}

void os_heap_free(OsHeap heap, void* block) {
  if (heap && block) HeapFree(static_cast<HANDLE>(heap), 0, block);
}

void os_heap_destroy(OsHeap heap) {
  if (heap) HeapDestroy(static_cast<HANDLE>(heap));
}

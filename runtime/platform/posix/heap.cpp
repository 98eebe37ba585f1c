// POSIX backend: private heaps over the C allocator.
//
// Each block carries a small header that links it into its heap's list and
// records its size, so that growth can zero-fill the added bytes and
// destroying the heap can release what is left.
#include "platform/os_heap.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

struct alignas(std::max_align_t) BlockHeader {
  BlockHeader* prev;
  BlockHeader* next;
  std::size_t size;
};

struct PosixHeap {
  std::mutex lock;
  BlockHeader* blocks = nullptr;
};

void posix_link(PosixHeap* h, BlockHeader* b) {
  b->prev = nullptr;
  b->next = h->blocks;
  if (h->blocks) h->blocks->prev = b;
  h->blocks = b;
}

void posix_unlink(PosixHeap* h, BlockHeader* b) {
  if (b->prev) b->prev->next = b->next; else h->blocks = b->next;
  if (b->next) b->next->prev = b->prev;
}

BlockHeader* posix_header(void* block) { return static_cast<BlockHeader*>(block) - 1; }

}  // namespace

OsHeap os_heap_create(std::size_t) {
  return new (std::nothrow) PosixHeap;
}

void* os_heap_alloc(OsHeap heap, std::size_t bytes) {
  if (!heap) return nullptr;
  auto* h = static_cast<PosixHeap*>(heap);
  auto* b = static_cast<BlockHeader*>(std::calloc(1, sizeof(BlockHeader) + bytes));
  if (!b) return nullptr;
  b->size = bytes;
  std::lock_guard g(h->lock);
  posix_link(h, b);
  return b + 1;
}

void* os_heap_realloc(OsHeap heap, void* block, std::size_t bytes) {
  if (!heap) return nullptr;
  if (!block) return os_heap_alloc(heap, bytes);
  auto* h = static_cast<PosixHeap*>(heap);
  std::lock_guard g(h->lock);
  BlockHeader* old = posix_header(block);
  std::size_t old_size = old->size;
  posix_unlink(h, old);
  auto* b = static_cast<BlockHeader*>(std::realloc(old, sizeof(BlockHeader) + bytes));
  if (!b) {
    posix_link(h, old);
    return nullptr;
  }
  if (bytes > old_size) std::memset(reinterpret_cast<char*>(b + 1) + old_size, 0, bytes - old_size);
  b->size = bytes;
  posix_link(h, b);
  return b + 1;
}

void os_heap_free(OsHeap heap, void* block) {
  if (!heap || !block) return;
  auto* h = static_cast<PosixHeap*>(heap);
  BlockHeader* b = posix_header(block);
  {
    std::lock_guard g(h->lock);
    posix_unlink(h, b);
  }
  std::free(b);
}

void os_heap_destroy(OsHeap heap) {
  if (!heap) return;
  auto* h = static_cast<PosixHeap*>(heap);
  for (BlockHeader* b = h->blocks; b;) {
    BlockHeader* next = b->next;
    std::free(b);
    b = next;
  }
  delete h;
}

// POSIX backend: private heaps over the C allocator.
//
// Small blocks (the bulk: string values) come from per-heap slabs in size
// classes of 16 bytes with an 8-byte header, so a short string costs little
// more than its text; larger blocks are allocated one by one and linked
// into the heap's list. Destroying the heap releases the slabs and every
// large block still held. All blocks are handed out zero-filled.
#include "platform/os_seam.h"
#include "platform/os_heap.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sched.h>

#include <atomic>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORLETHE_HEAP_POISONING 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ORLETHE_HEAP_POISONING 1
#endif
#ifdef ORLETHE_HEAP_POISONING
#include <sanitizer/asan_interface.h>
#endif

namespace {

// Under AddressSanitizer the bytes of a slab that no block owns (the tail
// of each slot beyond its block, freed slots, the slab's unused end) are
// marked unaddressable, so that a small block is checked as the C
// allocator's blocks are: a read or write past its end or after its
// release is reported. Block headers stay addressable for the heap itself.
inline void posix_poison([[maybe_unused]] void* p, [[maybe_unused]] std::size_t n) {
#ifdef ORLETHE_HEAP_POISONING
  __asan_poison_memory_region(p, n);
#endif
}
inline void posix_unpoison([[maybe_unused]] void* p, [[maybe_unused]] std::size_t n) {
#ifdef ORLETHE_HEAP_POISONING
  __asan_unpoison_memory_region(p, n);
#endif
}

constexpr std::size_t GRAIN = 16;
constexpr std::size_t SMALL_MAX = 512;  // largest slot, header included
constexpr std::size_t CLASSES = SMALL_MAX / GRAIN;
constexpr std::size_t SLAB_BYTES = 256 * 1024;
constexpr std::uint32_t LARGE = 0xFFFFFFFFu;

// Before every block: its size, and its class (LARGE for a large block).
struct SmallHeader {
  std::uint32_t size;
  std::uint32_t cls;
};

// A large block's links; its tag lies in the last 8 bytes before the block,
// as for small blocks, whatever the pointer size.
struct LargeHeader {
  LargeHeader* prev;
  LargeHeader* next;
  std::size_t size;
};
constexpr std::size_t LARGE_HEAD = (sizeof(LargeHeader) + sizeof(SmallHeader) + 15) / 16 * 16;

LargeHeader* posix_large_header(void* block) {
  return reinterpret_cast<LargeHeader*>(static_cast<char*>(block) - LARGE_HEAD);
}
void* posix_large_block(LargeHeader* b) { return reinterpret_cast<char*>(b) + LARGE_HEAD; }

struct Slab {
  Slab* next;
  std::size_t used;
  alignas(16) unsigned char data[SLAB_BYTES];
};

struct FreeSlot {
  FreeSlot* next;
};

// The heap's lock: a spin lock, since a heap operation holds it only for a
// few instructions and contention is rare (the close event's thread).
class HeapLock {
 public:
  void lock() {
    while (flag_.test_and_set(std::memory_order_acquire)) sched_yield();
  }
  void unlock() { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

struct LockGuard {
  explicit LockGuard(HeapLock& l) : lock(l) { lock.lock(); }
  ~LockGuard() { lock.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  HeapLock& lock;
};

struct PosixHeap {
  HeapLock lock;
  Slab* slabs = nullptr;
  LargeHeader* large = nullptr;
  FreeSlot* free_slots[CLASSES] = {};
};

SmallHeader* posix_tag(void* block) { return static_cast<SmallHeader*>(block) - 1; }

std::size_t posix_slot_bytes(std::uint32_t cls) { return (static_cast<std::size_t>(cls) + 1) * GRAIN; }

// A zero-filled small block of class `cls`; the heap's lock is held.
void* posix_small_alloc(PosixHeap* h, std::uint32_t cls, std::size_t bytes) {
  std::size_t slot = posix_slot_bytes(cls);
  unsigned char* p;
  if (FreeSlot* f = h->free_slots[cls]) {
    h->free_slots[cls] = f->next;
    p = reinterpret_cast<unsigned char*>(f);
  } else {
    if (!h->slabs || h->slabs->used + slot > SLAB_BYTES) {
      auto* s = static_cast<Slab*>(std::malloc(sizeof(Slab)));
      if (!s) return nullptr;
      s->next = h->slabs;
      s->used = 0;
      h->slabs = s;
      posix_poison(s->data, SLAB_BYTES);
    }
    p = h->slabs->data + h->slabs->used;
    h->slabs->used += slot;
  }
  posix_unpoison(p, slot);
  std::memset(p, 0, slot);
  auto* tag = reinterpret_cast<SmallHeader*>(p);
  tag->size = static_cast<std::uint32_t>(bytes);
  tag->cls = cls;
  posix_poison(reinterpret_cast<unsigned char*>(tag + 1) + bytes, slot - sizeof(SmallHeader) - bytes);
  return tag + 1;
}

void* posix_large_alloc(PosixHeap* h, std::size_t bytes) {
  auto* b = static_cast<LargeHeader*>(std::calloc(1, LARGE_HEAD + bytes));
  if (!b) return nullptr;
  b->size = bytes;
  posix_tag(posix_large_block(b))->cls = LARGE;
  b->prev = nullptr;
  b->next = h->large;
  if (h->large) h->large->prev = b;
  h->large = b;
  return posix_large_block(b);
}

void posix_large_unlink(PosixHeap* h, LargeHeader* b) {
  if (b->prev) b->prev->next = b->next; else h->large = b->next;
  if (b->next) b->next->prev = b->prev;
}

void* posix_alloc_locked(PosixHeap* h, std::size_t bytes) {
  if (bytes + sizeof(SmallHeader) <= SMALL_MAX) {
    auto cls = static_cast<std::uint32_t>((bytes + sizeof(SmallHeader) + GRAIN - 1) / GRAIN - 1);
    return posix_small_alloc(h, cls, bytes);
  }
  return posix_large_alloc(h, bytes);
}

void posix_free_locked(PosixHeap* h, void* block) {
  SmallHeader* tag = posix_tag(block);
  if (tag->cls == LARGE) {
    LargeHeader* b = posix_large_header(block);
    posix_large_unlink(h, b);
    std::free(b);
    return;
  }
  std::uint32_t cls = tag->cls;  // the link overwrites the tag
  posix_poison(block, posix_slot_bytes(cls) - sizeof(SmallHeader));
  auto* f = reinterpret_cast<FreeSlot*>(tag);
  f->next = h->free_slots[cls];
  h->free_slots[cls] = f;
}

std::size_t posix_block_size(void* block) {
  SmallHeader* tag = posix_tag(block);
  return tag->cls == LARGE ? posix_large_header(block)->size : tag->size;
}

}  // namespace

OsHeap os_heap_create(std::size_t) { return new (std::nothrow) PosixHeap; }

void* os_sys_heap_alloc(OsHeap heap, std::size_t bytes) {
  if (!heap) return nullptr;
  auto* h = static_cast<PosixHeap*>(heap);
  LockGuard g(h->lock);
  return posix_alloc_locked(h, bytes);
}

void* os_sys_heap_realloc(OsHeap heap, void* block, std::size_t bytes) {
  if (!heap) return nullptr;
  if (!block) return os_sys_heap_alloc(heap, bytes);
  auto* h = static_cast<PosixHeap*>(heap);
  LockGuard g(h->lock);
  SmallHeader* tag = posix_tag(block);
  std::size_t old_size = posix_block_size(block);
  if (tag->cls != LARGE && bytes + sizeof(SmallHeader) <= posix_slot_bytes(tag->cls)) {
    // Still fits its slot: zero what is added (or what is given up).
    if (bytes > old_size) {
      posix_unpoison(static_cast<char*>(block) + old_size, bytes - old_size);
      std::memset(static_cast<char*>(block) + old_size, 0, bytes - old_size);
    } else {
      std::memset(static_cast<char*>(block) + bytes, 0, old_size - bytes);
    }
    tag->size = static_cast<std::uint32_t>(bytes);
    posix_poison(static_cast<char*>(block) + bytes, posix_slot_bytes(tag->cls) - sizeof(SmallHeader) - bytes);
    return block;
  }
  if (tag->cls == LARGE && bytes + sizeof(SmallHeader) > SMALL_MAX) {
    LargeHeader* b = posix_large_header(block);
    posix_large_unlink(h, b);
    auto* grown = static_cast<LargeHeader*>(std::realloc(b, LARGE_HEAD + bytes));
    LargeHeader* nb = grown ? grown : b;  // on failure the old block stays as it was
    nb->prev = nullptr;
    nb->next = h->large;
    if (h->large) h->large->prev = nb;
    h->large = nb;
    if (!grown) return nullptr;
    if (bytes > old_size) std::memset(static_cast<char*>(posix_large_block(nb)) + old_size, 0, bytes - old_size);
    nb->size = bytes;
    return posix_large_block(nb);
  }
  void* fresh = posix_alloc_locked(h, bytes);
  if (!fresh) return nullptr;
  std::memcpy(fresh, block, old_size < bytes ? old_size : bytes);
  posix_free_locked(h, block);
  return fresh;
}

void os_heap_free(OsHeap heap, void* block) {
  if (!heap || !block) return;
  auto* h = static_cast<PosixHeap*>(heap);
  LockGuard g(h->lock);
  posix_free_locked(h, block);
}

void os_heap_destroy(OsHeap heap) {
  if (!heap) return;
  auto* h = static_cast<PosixHeap*>(heap);
  for (Slab* s = h->slabs; s;) {
    Slab* next = s->next;
    std::free(s);
    s = next;
  }
  for (LargeHeader* b = h->large; b;) {
    LargeHeader* next = b->next;
    std::free(b);
    b = next;
  }
  delete h;
}

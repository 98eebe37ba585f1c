// Object handle registry and per-thread blocks, on the main heap.
#include "core/obj.h"

#include <cstdint>
#include <cstring>

#include "core/rt.h"
#include "platform/os_heap.h"

namespace {

void* obj_of_link(ObjectAnyLink* link) { return link + 1; }

bool obj_alive(const void* object) {
  std::int32_t first = 0;
  if (object) std::memcpy(&first, object, sizeof first);
  return first != 0;
}

bool obj_is_number(const ObjectTable* t, ObjectId id) { return id >= 0 && id < t->capacity; }

// The OBJ_ANY object with this address, when it is a member of the table's list.
ObjectAnyLink* obj_find_any(const ObjectTable* t, ObjectId id) {
  for (ObjectAnyLink* l = t->any_list; l; l = l->next)
    if (reinterpret_cast<ObjectId>(obj_of_link(l)) == id) return l;
  return nullptr;
}

ObjectAnyLink* obj_oldest(const ObjectTable* t) {
  ObjectAnyLink* l = t->any_list;
  while (l && l->next) l = l->next;
  return l;
}

}  // namespace

ObjectTable* obj_table_create(std::int32_t object_size, std::int32_t growth_step, ObjectFreeFn free_callback) {
  auto* t = static_cast<ObjectTable*>(os_heap_alloc(rt_main_heap(), sizeof(ObjectTable)));
  if (!t) return nullptr;
  t->object_size = object_size;
  t->growth_step = growth_step;
  t->capacity = growth_step;
  t->slots = static_cast<void**>(os_heap_alloc(rt_main_heap(), sizeof(void*) * static_cast<std::size_t>(growth_step)));
  t->free_callback = free_callback;
  return t;
}

void obj_table_destroy(ObjectTable* table) {
  if (!table) return;
  OsHeap heap = rt_main_heap();
  for (std::int32_t i = 0; i < table->capacity; ++i) os_heap_free(heap, table->slots[i]);
  os_heap_free(heap, table->slots);
  for (ObjectAnyLink* l = table->any_list; l;) {
    ObjectAnyLink* next = l->next;
    os_heap_free(heap, l);
    l = next;
  }
  os_heap_free(heap, table);
}

void* obj_create(ObjectTable* t, ObjectId id) {
  if (!t || id < OBJ_ANY) return nullptr;
  OsHeap heap = rt_main_heap();
  if (id == OBJ_ANY) {
    auto* l = static_cast<ObjectAnyLink*>(
        os_heap_alloc(heap, sizeof(ObjectAnyLink) + static_cast<std::size_t>(t->object_size)));
    if (!l) return nullptr;
    l->next = t->any_list;
    if (t->any_list) t->any_list->prev = l;
    t->any_list = l;
    return obj_of_link(l);
  }
  if (id >= t->capacity) {
    // Objects are addressed by number only below 2^31.
    if (id > INT32_MAX - t->growth_step) return nullptr;
    auto cap = static_cast<std::int32_t>(id) + t->growth_step;
    void* p = os_heap_realloc(heap, t->slots, sizeof(void*) * static_cast<std::size_t>(cap));
    if (!p) return nullptr;
    t->slots = static_cast<void**>(p);
    t->capacity = cap;
  }
  void*& slot = t->slots[id];
  if (slot) {
    if (t->free_callback) t->free_callback(id);
    return slot;
  }
  slot = os_heap_alloc(heap, static_cast<std::size_t>(t->object_size));
  return slot;
}

void* obj_lookup(ObjectTable* t, ObjectId id) {
  if (!t) return nullptr;
  void* object = nullptr;
  if (obj_is_number(t, id)) object = t->slots[id];
  else if (ObjectAnyLink* l = obj_find_any(t, id)) object = obj_of_link(l);
  return obj_alive(object) ? object : nullptr;
}

void obj_free(ObjectTable* t, ObjectId id) {
  if (!t) return;
  if (obj_is_number(t, id)) {
    if (t->slots[id]) std::memset(t->slots[id], 0, static_cast<std::size_t>(t->object_size));
    return;
  }
  ObjectAnyLink* l = obj_find_any(t, id);
  if (!l) return;
  if (l->prev) l->prev->next = l->next; else t->any_list = l->next;
  if (l->next) l->next->prev = l->prev;
  if (t->iter_node == l) t->iter_node = l->prev;
  os_heap_free(rt_main_heap(), l);
}

void* obj_first(ObjectTable* t, ObjectId* id) {
  if (!t) return nullptr;
  t->iter_slot = 0;
  t->iter_node = obj_oldest(t);
  return obj_next(t, id);
}

void* obj_next(ObjectTable* t, ObjectId* id) {
  if (!t) return nullptr;
  while (t->iter_slot < t->capacity) {
    std::int32_t i = t->iter_slot++;
    if (obj_alive(t->slots[i])) {
      if (id) *id = i;
      return t->slots[i];
    }
  }
  // Every object on the list is visited, whatever its first word: it is
  // released only by obj_free, so its owner must hear of it.
  if (ObjectAnyLink* l = t->iter_node) {
    t->iter_node = l->prev;  // toward newer objects
    void* object = obj_of_link(l);
    if (id) *id = reinterpret_cast<ObjectId>(object);
    return object;
  }
  return nullptr;
}

void obj_free_all(ObjectTable* t) {
  if (!t || !t->free_callback) return;
  ObjectId id = 0;
  for (void* o = obj_first(t, &id); o; o = obj_next(t, &id)) t->free_callback(id);
}

void* thread_block_create(std::int32_t size, ThreadBlockFn initialiser, ThreadBlockFn) {
  void* block = os_heap_alloc(rt_main_heap(), static_cast<std::size_t>(size));
  if (block && initialiser) initialiser(block);
  return block;
}

void* thread_block_get(void* block) { return block; }

// Object handle registry: library objects named by a caller-chosen number
// or, when created with OBJ_ANY, by their own address.
//
// An object exists while its first 32-bit word is non-zero. Ids that are
// neither a numbered slot nor an object created with OBJ_ANY in the table
// resolve to null.
#pragma once
#include <cstdint>

using ObjectId = std::intptr_t;
constexpr ObjectId OBJ_ANY = -1;

using ObjectFreeFn = void (*)(ObjectId id);

struct ObjectAnyLink {
  ObjectAnyLink* next;  // toward older objects
  ObjectAnyLink* prev;  // toward newer objects
};

struct ObjectTable {
  std::int32_t object_size;
  std::int32_t growth_step;
  std::int32_t capacity;
  void** slots;
  ObjectAnyLink* any_list;  // newest first
  ObjectFreeFn free_callback;
  std::int32_t iter_slot;
  ObjectAnyLink* iter_node;
};

// A table with capacity = growth step and every slot empty; on the main heap.
ObjectTable* obj_table_create(std::int32_t object_size, std::int32_t growth_step, ObjectFreeFn free_callback);

// Releases a table's memory (slots, objects, the table); callers free the
// objects' resources first with obj_free_all.
void obj_table_destroy(ObjectTable* table);

// The memory of a new object: OBJ_ANY links a new block at the head of the
// list; a number reuses its slot (calling the free callback first when the
// slot holds an object) or allocates it, growing the table as needed.
void* obj_create(ObjectTable* table, ObjectId id);

// The object, or null when it does not exist.
void* obj_lookup(ObjectTable* table, ObjectId id);

// A numbered object's memory is zeroed (its block kept); an OBJ_ANY object
// is unlinked and released.
void obj_free(ObjectTable* table, ObjectId id);

// Calls the free callback for every object: numbered ones whose first word
// is non-zero in slot order, then every OBJ_ANY one, oldest first.
void obj_free_all(ObjectTable* table);

// Iteration as obj_free_all does it: obj_first resets; each call gives the
// next object (numbered: first word non-zero; OBJ_ANY: every one) and its
// id, or null at the end.
void* obj_first(ObjectTable* table, ObjectId* id);
void* obj_next(ObjectTable* table, ObjectId* id);

// Per-thread data blocks; the run-time has one block for the whole process.
using ThreadBlockFn = void (*)(void* block);
void* thread_block_create(std::int32_t size, ThreadBlockFn initialiser, ThreadBlockFn finaliser);
void* thread_block_get(void* block);

// Dynamic arrays and structure copy.
#include "core/arr.h"

#include <cstring>

#include "core/rt.h"
#include "core/str.h"
#include "platform/os_heap.h"

namespace {

char* arr_block(void* array) { return reinterpret_cast<char*>(arr_header(array)); }

std::size_t arr_bytes(std::int32_t element_size, std::int32_t count) {
  return sizeof(DynArrayHeader) + static_cast<std::size_t>(element_size) * static_cast<std::size_t>(count);
}

void arr_free_elements(void* array, std::int32_t from, std::int32_t to) {
  DynArrayHeader* h = arr_header(array);
  if (!h->layout) return;
  char* data = static_cast<char*>(array);
  for (std::int32_t i = from; i < to; ++i)
    struct_free_fields(data + static_cast<std::size_t>(i) * static_cast<std::size_t>(h->element_size), h->layout);
}

}  // namespace

void arr_init() {}

void* arr_dim(std::int32_t element_size, std::int32_t count, std::int32_t type, const FieldLayout* layout,
              void** var) {
  if (*var) arr_free(*var);
  *var = nullptr;
  if (count < 0) count = 0;
  auto* h = static_cast<DynArrayHeader*>(os_heap_alloc(rt_main_heap(), arr_bytes(element_size, count)));
  if (!h) return nullptr;
  h->dimensions = 1;
  h->element_size = element_size;
  h->layout = layout;
  h->owner = var;
  h->count = count;
  h->type = type;
  *var = h + 1;
  return *var;
}

void arr_redim(std::int32_t count, void** var) {
  void* array = *var;
  if (!array) return;
  if (count < 0) count = 0;
  DynArrayHeader* h = arr_header(array);
  if (count == h->count) return;
  if (count < h->count) arr_free_elements(array, count, h->count);
  void* block = os_heap_realloc(rt_main_heap(), h, arr_bytes(h->element_size, count));
  if (!block) {
    *var = nullptr;
    return;
  }
  h = static_cast<DynArrayHeader*>(block);
  h->count = count;
  h->owner = var;
  *var = h + 1;
}

std::int32_t arr_size(const void* array) { return array ? arr_header(array)->count - 1 : -1; }

void arr_free(void* array) {
  if (!array) return;
  DynArrayHeader* h = arr_header(array);
  arr_free_elements(array, 0, h->count);
  if (h->owner && *h->owner == array) *h->owner = nullptr;
  os_heap_free(rt_main_heap(), arr_block(array));
}

void struct_free_fields(void* element, const FieldLayout* layout) {
  if (!layout) return;
  for (const FieldLayout* f = layout; *f != FIELD_LAYOUT_END; ++f) {
    if (*f < 0) continue;
    Str s;
    std::memcpy(&s, static_cast<char*>(element) + *f, sizeof s);
    str_free(s);
  }
}

void struct_copy(void* destination, std::int32_t size, const FieldLayout* layout, const void* source) {
  if (destination == source) return;
  auto* dst = static_cast<char*>(destination);
  auto* src = static_cast<const char*>(source);
  if (!layout) {
    std::memcpy(dst, src, static_cast<std::size_t>(size));
    return;
  }
  std::int32_t p = 0;
  for (const FieldLayout* f = layout; *f != FIELD_LAYOUT_END; ++f) {
    std::int32_t o = *f;
    if (o < 0) continue;
    if (o > p) std::memcpy(dst + p, src + p, static_cast<std::size_t>(o - p));
    Str d, s;
    std::memcpy(&d, dst + o, sizeof d);
    std::memcpy(&s, src + o, sizeof s);
    if (d) {
      str_free(d);
      d = nullptr;
    }
    if (s) str_init(&d, s);
    std::memcpy(dst + o, &d, sizeof d);
    p = o + static_cast<std::int32_t>(sizeof(Str));
  }
  if (size > p) std::memcpy(dst + p, src + p, static_cast<std::size_t>(size - p));
}

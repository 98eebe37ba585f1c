// Dynamic arrays of fixed-size elements, structure copy with string
// ownership, and the array sort.
//
// The program holds a pointer to the element data; the header lies directly
// before it, and its last word (the element type) is the word just before
// the data. Arrays live on the main heap and are zero-filled when created.
#pragma once
#include <cstddef>
#include <cstdint>

// Element type codes.
enum ElementType : std::int32_t {
  ELEM_INT8 = 1,
  ELEM_INT16 = 3,
  ELEM_INT32 = 5,
  ELEM_STRUCT = 7,
  ELEM_STRING = 8,
  ELEM_FLOAT = 9,
  ELEM_UINT16 = 11,
  ELEM_DOUBLE = 12,
  ELEM_INT64 = 13,
  ELEM_INT32_ALT = 21,
  ELEM_UINT8 = 24,
  ELEM_UINT16_ALT = 25,
};

// A FieldLayout: byte offsets of a structure's string fields, increasing,
// ended by FIELD_LAYOUT_END.
using FieldLayout = std::int32_t;
constexpr FieldLayout FIELD_LAYOUT_END = -1;
// The layout of a string array.
inline constexpr FieldLayout STRING_LAYOUT[] = {0, FIELD_LAYOUT_END};

// The header before the element data. Pointer-sized fields are pointer-sized.
struct DynArrayHeader {
  std::int32_t dimensions;  // 1 for every array arr_dim creates
  std::int32_t element_size;
  const FieldLayout* layout;  // null when the elements hold no strings
  void** owner;               // the variable that holds the array
  std::int32_t count;
  std::int32_t type;  // ElementType; the word just before the data
};

// The array library's start-up step.
void arr_init();

// Creates an array of `count` zero-filled elements in *var (freeing what it
// held first); returns the element data, or null (and *var null) on failure.
void* arr_dim(std::int32_t element_size, std::int32_t count, std::int32_t type, const FieldLayout* layout,
              void** var);

// Changes the element count, keeping the remaining elements; dropped
// elements' strings are freed, added ones are zero. *var becomes null when
// the reallocation fails.
void arr_redim(std::int32_t count, void** var);

// Highest valid index; -1 for a null or empty array.
std::int32_t arr_size(const void* array);

// Frees the array and the strings of its elements, clearing the owner; null is ignored.
void arr_free(void* array);

// The header of an array.
inline DynArrayHeader* arr_header(const void* array) {
  return reinterpret_cast<DynArrayHeader*>(const_cast<char*>(static_cast<const char*>(array)) -
                                           sizeof(DynArrayHeader));
}

// Copies one structure keeping string ownership right; nothing happens when
// destination and source are the same.
void struct_copy(void* destination, std::int32_t size, const FieldLayout* layout, const void* source);

// Frees every string field the layout lists (the fields are not cleared).
void struct_free_fields(void* element, const FieldLayout* layout);

// Typed helpers for program code: arr_dim / arr_redim on a typed variable.
template <typename T>
T* arr_dim_t(std::int32_t count, std::int32_t type, const FieldLayout* layout, T** var) {
  return static_cast<T*>(arr_dim(static_cast<std::int32_t>(sizeof(T)), count, type, layout,
                                 reinterpret_cast<void**>(var)));
}
template <typename T>
void arr_redim_t(std::int32_t count, T** var) {
  arr_redim(count, reinterpret_cast<void**>(var));
}

// Sort options.
constexpr std::int32_t SORT_DESCENDING = 1;
constexpr std::int32_t SORT_NO_CASE = 2;
// With SORT_NO_CASE: "/" ranks as "\" (0x5C) does, so that paths built with
// "/" sort as the same paths built with "\" (a directory before its
// siblings whose names go on with a digit, say).
constexpr std::int32_t SORT_SLASH_AS_BACKSLASH = 4;

// Sorts elements first..last inclusive of a one-dimensional array in place,
// by the element type in its header (strings by option SORT_NO_CASE); not
// stable. Nothing happens for a null array, a type without a sort, or
// last - first <= 0.
void sort_array(void* array, std::int32_t options, std::int32_t first, std::int32_t last);

// The sort's algorithm (quicksort with Hoare partitioning, recursion on the
// left part and iteration on the right), which decides the order of equal
// keys, for elements of any type: sort_array's, and sort_by's with a
// comparison of the caller's (negative, zero or positive).
// Ascending: Dir = +1; descending: Dir = -1 (every comparison against zero reversed).
template <typename T, typename Cmp, int Dir>
std::int32_t sort_partition(T* a, std::int32_t lo, std::int32_t hi, Cmp cmp) {
  auto c = [&](const T& x, const T& y) { return cmp(x, y) * Dir; };
  std::int32_t mid = (lo + hi) / 2;
  std::int32_t pivot;
  if (c(a[lo], a[hi]) > 0) pivot = mid;
  else if (c(a[mid], a[lo]) <= 0) pivot = lo;
  else if (c(a[mid], a[hi]) < 0) pivot = mid;
  else pivot = hi;
  T t = a[lo];
  a[lo] = a[pivot];
  a[pivot] = t;
  T v = a[lo];
  std::int32_t i = lo - 1, j = hi + 1;
  for (;;) {
    do --j; while (c(a[j], v) > 0);
    do ++i; while (c(a[i], v) < 0);
    if (i >= j) return j;
    t = a[i];
    a[i] = a[j];
    a[j] = t;
  }
}

template <typename T, typename Cmp, int Dir>
void sort_range(T* a, std::int32_t lo, std::int32_t hi, Cmp cmp) {
  while (hi - lo > 0) {
    std::int32_t p = sort_partition<T, Cmp, Dir>(a, lo, hi, cmp);
    sort_range<T, Cmp, Dir>(a, lo, p, cmp);
    lo = p + 1;
  }
}

// Sorts elements first..last inclusive of `a` ascending by `cmp`, in the
// order sort_array gives; nothing happens for last - first <= 0.
template <typename T, typename Cmp>
void sort_by(T* a, std::int32_t first, std::int32_t last, Cmp cmp) {
  if (last - first > 0) sort_range<T, Cmp, 1>(a, first, last, cmp);
}

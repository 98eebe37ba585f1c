// Array sort: quicksort with Hoare partitioning, recursion on the left part
// and iteration on the right. The order of equal keys follows from exactly
// this algorithm, so it must not be replaced by another sort.
#include <cstdint>

#include "core/arr.h"
#include "core/str.h"

namespace {

using StrCmp = int (*)(CStr, CStr);
StrCmp g_sort_cmp = nullptr;  // the string comparison of the running sort

template <typename T>
struct NumCmp {
  int operator()(T a, T b) const { return a < b ? -1 : (b < a ? 1 : 0); }
};
struct StrElemCmp {
  int operator()(CStr a, CStr b) const { return g_sort_cmp(a, b); }
};

template <typename T, typename Cmp>
void sort_typed(void* array, bool descending, std::int32_t first, std::int32_t last, Cmp cmp) {
  T* a = static_cast<T*>(array);
  if (descending) sort_range<T, Cmp, -1>(a, first, last, cmp);
  else sort_range<T, Cmp, 1>(a, first, last, cmp);
}

template <typename T>
void sort_num(void* array, bool descending, std::int32_t first, std::int32_t last) {
  sort_typed<T>(array, descending, first, last, NumCmp<T>{});
}

}  // namespace

void sort_array(void* array, std::int32_t options, std::int32_t first, std::int32_t last) {
  if (!array || last - first <= 0) return;
  bool desc = (options & SORT_DESCENDING) != 0;
  switch (arr_header(array)->type) {
    case ELEM_INT8: sort_num<std::int8_t>(array, desc, first, last); break;
    case ELEM_INT16: sort_num<std::int16_t>(array, desc, first, last); break;
    case ELEM_INT32:
    case ELEM_INT32_ALT: sort_num<std::int32_t>(array, desc, first, last); break;
    case ELEM_FLOAT: sort_num<float>(array, desc, first, last); break;
    case ELEM_UINT16:
    case ELEM_UINT16_ALT: sort_num<std::uint16_t>(array, desc, first, last); break;
    case ELEM_DOUBLE: sort_num<double>(array, desc, first, last); break;
    case ELEM_INT64: sort_num<std::int64_t>(array, desc, first, last); break;
    case ELEM_UINT8: sort_num<std::uint8_t>(array, desc, first, last); break;
    case ELEM_STRING:
      g_sort_cmp = !(options & SORT_NO_CASE)               ? str_cmp_ordinal
                   : (options & SORT_SLASH_AS_BACKSLASH) ? str_cmp_nocase_path
                                                         : str_cmp_nocase;
      sort_typed<Str>(array, desc, first, last, StrElemCmp{});
      break;
    default: break;
  }
}

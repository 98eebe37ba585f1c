// Fuzz target: the string orders of the run-time (ordinal, A-Z folded, and
// the folded path order of Vexolan's sort, where "/" ranks as "\") are
// strict weak orders on any names and agree with a model that folds the
// names first; sort_array orders a string array by each of them exactly as
// the partitioning rules place the elements, touching nothing outside the
// range.
//
// Input: a mode byte and an options byte, then names, each a length byte
// and its units: in alphabet mode one byte per unit from characters that
// meet at the folding's edges (A-Z against a-z, "_", "[", "`", "/", "\",
// accented letters), in raw mode two bytes per unit (zero units dropped).
#include <cstdint>
#include <string>
#include <vector>

#include "core/arr.h"
#include "core/str.h"
#include "fuzz_support.h"

namespace {

using Name = std::u16string;

constexpr char16_t ALPHABET[] = {u'a', u'A', u'z', u'Z', u'_', u'[', u'`', u'{', u'/', u'\\', u'@',
                                 u'0', u'.', 0x00E9, 0x00C9, 0xFF21, 0xDC80, u'b', u'B', u' '};

std::vector<Name> take_names(FuzzInput& in, bool raw) {
  std::vector<Name> names;
  while (!in.empty() && names.size() < 64) {
    std::size_t n = in.byte() % 24;
    Name name;
    for (std::size_t k = 0; k < n && !in.empty(); ++k) {
      char16_t u = raw ? in.u16() : ALPHABET[in.byte() % (sizeof ALPHABET / sizeof ALPHABET[0])];
      if (u != 0) name += u;
    }
    names.push_back(name);
  }
  return names;
}

enum class Order { Ordinal, NoCase, NoCasePath };

// The model: fold every unit first (A-Z to a-z; for paths also "/" to
// "\"), then compare the folded names unit by unit as unsigned numbers, a
// prefix first.
Name model_fold(const Name& s, Order order) {
  Name out = s;
  for (char16_t& c : out) {
    if (order == Order::Ordinal) continue;
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    else if (order == Order::NoCasePath && c == u'/') c = u'\\';
  }
  return out;
}

int model_cmp(const Name& a, const Name& b, Order order) {
  return fuzz_sign(model_fold(a, order).compare(model_fold(b, order)));
}

int code_cmp(CStr a, CStr b, Order order) {
  switch (order) {
    case Order::Ordinal: return str_cmp_ordinal(a, b);
    case Order::NoCase: return str_cmp_nocase(a, b);
    case Order::NoCasePath: return str_cmp_nocase_path(a, b);
  }
  return 0;
}

void check_orders(const std::vector<Name>& names) {
  const std::size_t n = names.size() < 9 ? names.size() : 9;
  for (Order order : {Order::Ordinal, Order::NoCase, Order::NoCasePath}) {
    auto lt = [&](std::size_t i, std::size_t j) { return code_cmp(names[i].c_str(), names[j].c_str(), order) < 0; };
    auto eq = [&](std::size_t i, std::size_t j) { return code_cmp(names[i].c_str(), names[j].c_str(), order) == 0; };
    for (std::size_t i = 0; i < n; ++i) {
      const Name copy = names[i];
      fuzz_require(code_cmp(names[i].c_str(), names[i].c_str(), order) == 0, "irreflexive");
      fuzz_require(code_cmp(names[i].c_str(), copy.c_str(), order) == 0, "irreflexive on a copy");
      if (names[i].empty()) {
        fuzz_require(code_cmp(nullptr, names[i].c_str(), order) == 0, "null is the empty name");
      } else {
        fuzz_require(code_cmp(nullptr, names[i].c_str(), order) < 0, "null sorts first");
        fuzz_require(code_cmp(names[i].c_str(), nullptr, order) > 0, "null sorts first, reversed");
      }
      for (std::size_t j = 0; j < n; ++j) {
        int c = fuzz_sign(code_cmp(names[i].c_str(), names[j].c_str(), order));
        fuzz_require(c == -fuzz_sign(code_cmp(names[j].c_str(), names[i].c_str(), order)), "antisymmetric");
        fuzz_require(c == model_cmp(names[i], names[j], order), "agrees with the folding model");
        for (std::size_t k = 0; k < n; ++k) {
          if (lt(i, j) && lt(j, k)) fuzz_require(lt(i, k), "transitive");
          if (eq(i, j) && eq(j, k)) fuzz_require(eq(i, k), "equivalence is transitive");
          if (lt(i, j) && eq(j, k)) fuzz_require(lt(i, k), "equivalents rank alike");
        }
      }
    }
  }
  // str_compare: mode 0 is ordinal, any other mode the A-Z folding.
  for (std::size_t i = 0; i + 1 < n; ++i) {
    CStr a = names[i].c_str(), b = names[i + 1].c_str();
    fuzz_require(str_compare(a, b, 0) == fuzz_sign(str_cmp_ordinal(a, b)), "str_compare mode 0");
    fuzz_require(str_compare(a, b, 7) == fuzz_sign(str_cmp_nocase(a, b)), "str_compare folded");
    fuzz_require(str_equal(a, b) == (names[i] == names[i + 1] ? 1 : 0), "str_equal is exact");
  }
}

// The sort's rules on names: median of three as the pivot, Hoare
// partitioning, the left part first and the right part next.
struct ModelSort {
  std::vector<Name>& a;
  Order order;
  int dir;  // 1 ascending, -1 descending

  int c(const Name& x, const Name& y) const { return model_cmp(x, y, order) * dir; }

  std::int32_t partition(std::int32_t lo, std::int32_t hi) {
    const std::int32_t mid = (lo + hi) / 2;
    std::int32_t pivot;
    if (c(a[lo], a[hi]) > 0) pivot = mid;
    else if (c(a[mid], a[lo]) <= 0) pivot = lo;
    else if (c(a[mid], a[hi]) < 0) pivot = mid;
    else pivot = hi;
    std::swap(a[lo], a[pivot]);
    const Name v = a[lo];
    std::int32_t i = lo - 1, j = hi + 1;
    for (;;) {
      do --j; while (c(a[j], v) > 0);
      do ++i; while (c(a[i], v) < 0);
      if (i >= j) return j;
      std::swap(a[i], a[j]);
    }
  }
  void sort(std::int32_t lo, std::int32_t hi) {
    while (hi > lo) {
      std::int32_t p = partition(lo, hi);
      sort(lo, p);
      lo = p + 1;
    }
  }
};

void check_sort(const std::vector<Name>& names, std::int32_t options) {
  const auto n = static_cast<std::int32_t>(names.size());
  // Elements 0 and n + 1 lie outside the sorted range 1..n.
  Str* arr = nullptr;
  fuzz_require(arr_dim_t<Str>(n + 2, ELEM_STRING, STRING_LAYOUT, &arr) != nullptr, "the array is made");
  str_assign(&arr[0], u"\xFFFF outside");
  str_assign(&arr[n + 1], u"");
  for (std::int32_t i = 0; i < n; ++i) str_assign(&arr[i + 1], names[static_cast<std::size_t>(i)].c_str());
  const Str first = arr[0], last = arr[n + 1];
  sort_array(arr, options, 1, n);

  const Order order = !(options & SORT_NO_CASE)                ? Order::Ordinal
                      : (options & SORT_SLASH_AS_BACKSLASH) ? Order::NoCasePath
                                                            : Order::NoCase;
  std::vector<Name> model = names;
  if (n > 1) {
    ModelSort ms{model, order, (options & SORT_DESCENDING) ? -1 : 1};
    ms.sort(0, n - 1);
  }
  fuzz_require(arr[0] == first && arr[n + 1] == last, "the elements outside the range stay");
  for (std::int32_t i = 0; i < n; ++i)
    fuzz_require(Name(arr[i + 1] ? arr[i + 1] : u"") == model[static_cast<std::size_t>(i)],
                 "the sort puts every element where the partitioning rules do");
  for (std::int32_t i = 1; i < n; ++i) {
    int c = code_cmp(arr[i], arr[i + 1], order);
    fuzz_require((options & SORT_DESCENDING) ? c >= 0 : c <= 0, "the range is in order");
  }
  arr_free(arr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz_start_runtime(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const bool raw = (in.byte() & 1) != 0;
  const std::int32_t options = in.byte() & 7;
  const std::vector<Name> names = take_names(in, raw);
  check_orders(names);
  check_sort(names, options);
  return 0;
}

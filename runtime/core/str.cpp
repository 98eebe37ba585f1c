// String runtime: values on the string heap and the temporary-result area.
#include "core/str.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/os_heap.h"
#include "platform/os_text.h"

namespace {

OsHeap g_heap = nullptr;    // the string heap
char* g_tmp = nullptr;      // the temporary-result area
std::int32_t g_tmp_cap = 0; // its capacity in bytes
std::int32_t g_tmp_end = 0; // its current end offset in bytes

constexpr std::int32_t TMP_START_CAPACITY = 16;
constexpr std::int32_t TMP_GROWTH = 16384;

std::size_t str_buffer_bytes(std::int32_t units) { return static_cast<std::size_t>(units) * 2 + 10; }

// Makes room for `bytes` at offset `at` by the area's growth rule.
void str_tmp_grow(std::int32_t at, std::int32_t bytes) {
  if (at + bytes < g_tmp_cap - 4) return;
  std::int32_t cap = at + bytes + TMP_GROWTH;
  void* p = os_heap_realloc(g_heap, g_tmp, static_cast<std::size_t>(cap) + 10);
  if (!p) return;
  g_tmp = static_cast<char*>(p);
  g_tmp_cap = cap;
}

// The offset of a pointer that lies inside the area, or -1.
std::int32_t str_tmp_offset(const void* p) {
  if (!g_tmp || !p) return -1;
  auto* c = static_cast<const char*>(p);
  if (c < g_tmp || c >= g_tmp + g_tmp_cap + 10) return -1;
  return static_cast<std::int32_t>(c - g_tmp);
}

char16_t* str_tmp_at(std::int32_t offset) { return reinterpret_cast<char16_t*>(g_tmp + offset); }

inline char16_t str_fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

}  // namespace

void str_init_runtime() {
  g_heap = os_heap_create(4096);
  g_tmp = static_cast<char*>(os_heap_alloc(g_heap, TMP_START_CAPACITY + 10));
  g_tmp_cap = TMP_START_CAPACITY;
  g_tmp_end = 0;
}

void str_end_runtime() {
  os_heap_free(g_heap, g_tmp);
  os_heap_destroy(g_heap);
  g_heap = nullptr;
  g_tmp = nullptr;
  g_tmp_cap = 0;
  g_tmp_end = 0;
}

std::int32_t str_length(CStr s) {
  if (!s) return 0;
  CStr p = s;
  while (*p) ++p;
  return static_cast<std::int32_t>(p - s);
}

std::int32_t str_byte_length(CStr s) { return str_length(s) * 2; }

std::int32_t str_assign(Str* var, CStr source) {
  if (!source) {
    str_free(*var);
    *var = nullptr;
    return 2;
  }
  std::int32_t n = str_length(source);
  // A source inside the variable's own buffer would move with it.
  Str own = *var;
  if (own && source >= own && source <= own + str_length(own)) {
    std::memmove(own, source, (static_cast<std::size_t>(n) + 1) * 2);
    void* p = os_heap_realloc(g_heap, own, str_buffer_bytes(n));
    if (p) *var = static_cast<Str>(p);
    return 2 * n + 2;
  }
  void* p = own ? os_heap_realloc(g_heap, own, str_buffer_bytes(n)) : os_heap_alloc(g_heap, str_buffer_bytes(n));
  if (!p) return 0;  // the variable keeps its old value, which is not the source
  *var = static_cast<Str>(p);
  std::memcpy(*var, source, static_cast<std::size_t>(n) * 2);
  (*var)[n] = 0;
  return 2 * n + 2;
}

std::int32_t str_init(Str* var, CStr source) {
  if (!source) return 0;
  std::int32_t n = str_length(source);
  auto* p = static_cast<Str>(os_heap_alloc(g_heap, str_buffer_bytes(n)));
  if (!p) return 0;
  std::memcpy(p, source, static_cast<std::size_t>(n) * 2);
  p[n] = 0;
  *var = p;
  return 2 * n + 2;
}

void str_free(Str s) {
  if (s) os_heap_free(g_heap, s);
}

int str_cmp_ordinal(CStr a, CStr b) {
  static const char16_t empty = 0;
  if (!a) a = &empty;
  if (!b) b = &empty;
  for (;; ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
    if (!*a) return 0;
  }
}

namespace {
// Case-insensitive comparison through `fold`, applied only where the units differ.
template <char16_t (*Fold)(char16_t)>
int str_cmp_folded(CStr a, CStr b) {
  static const char16_t empty = 0;
  if (!a) a = &empty;
  if (!b) b = &empty;
  for (;; ++a, ++b) {
    char16_t x = *a, y = *b;
    if (x == y) {
      if (!x) return 0;
      continue;  // equal units need no folding
    }
    x = Fold(x);
    y = Fold(y);
    if (x != y) return x < y ? -1 : 1;
  }
}

char16_t str_fold_path(char16_t c) { return c == u'/' ? u'\\' : str_fold(c); }
}  // namespace

int str_cmp_nocase(CStr a, CStr b) { return str_cmp_folded<str_fold>(a, b); }
int str_cmp_nocase_path(CStr a, CStr b) { return str_cmp_folded<str_fold_path>(a, b); }

namespace {
// One text in two pieces, read unit by unit.
struct StrJoined {
  CStr at;
  CStr tail;
  char16_t next() {
    if (!*at && tail) {
      at = tail;
      tail = nullptr;
    }
    return *at ? *at++ : 0;
  }
};
}  // namespace

int str_cmp_nocase_joined(CStr a_head, CStr a_tail, CStr b_head, CStr b_tail, bool slash_as_backslash) {
  static const char16_t empty = 0;
  StrJoined a{a_head ? a_head : &empty, a_tail}, b{b_head ? b_head : &empty, b_tail};
  for (;;) {
    char16_t x = a.next(), y = b.next();
    if (x == y) {
      if (!x) return 0;
      continue;
    }
    x = slash_as_backslash ? str_fold_path(x) : str_fold(x);
    y = slash_as_backslash ? str_fold_path(y) : str_fold(y);
    if (x != y) return x < y ? -1 : 1;
  }
}

std::int32_t str_equal(CStr a, CStr b) { return str_cmp_ordinal(a, b) == 0 ? 1 : 0; }

std::int32_t str_compare(CStr a, CStr b, std::int32_t mode) {
  return mode == 0 ? str_cmp_ordinal(a, b) : str_cmp_nocase(a, b);
}

std::int32_t str_tmp_mark() { return g_tmp_end; }

// Where a result goes when the area cannot grow for it: producers write
// their whole result, so it must never go past the area's end.
namespace {
constexpr std::int32_t SPARE_UNITS = 32768;
char16_t g_spare[SPARE_UNITS + 1];
}  // namespace

char16_t* str_tmp_reserve(std::int32_t units) {
  // Results go one unit past the end, so that an expression being built
  // keeps its terminator while a producer runs.
  std::int32_t at = g_tmp_end + 2;
  str_tmp_grow(at, units * 2 + 2);
  if (at + units * 2 + 2 >= g_tmp_cap - 4 && units <= SPARE_UNITS) return g_spare;
  str_tmp_at(g_tmp_end)[0] = 0;
  return str_tmp_at(at);
}

char16_t* str_tmp_try_reserve(std::int32_t units) {
  std::int64_t at = static_cast<std::int64_t>(g_tmp_end) + 2;
  std::int64_t bytes = static_cast<std::int64_t>(units) * 2 + 2;
  if (units < 0 || at + bytes + TMP_GROWTH + 10 > INT32_MAX) return nullptr;
  str_tmp_grow(static_cast<std::int32_t>(at), static_cast<std::int32_t>(bytes));
  if (at + bytes >= static_cast<std::int64_t>(g_tmp_cap) - 4) return nullptr;
  return str_tmp_reserve(units);
}

void str_tmp_append_units(const char16_t* units, std::int32_t count) {
  std::int32_t src_off = str_tmp_offset(units);
  str_tmp_grow(g_tmp_end, count * 2 + 2);
  // Memory ran out: the piece is cut to what the area holds.
  std::int32_t room = (g_tmp_cap - 6 - g_tmp_end) / 2;
  if (count > room) count = room > 0 ? room : 0;
  const char16_t* src = src_off >= 0 ? str_tmp_at(src_off) : units;
  if (count > 0) std::memmove(g_tmp + g_tmp_end, src, static_cast<std::size_t>(count) * 2);
  g_tmp_end += count * 2;
  str_tmp_at(g_tmp_end)[0] = 0;
}

void str_tmp_append(CStr s) {
  if (!s) {
    str_tmp_at(g_tmp_end)[0] = 0;
    return;
  }
  str_tmp_append_units(s, str_length(s));
}

CStr str_tmp_text(std::int32_t start) { return str_tmp_at(start); }

std::int32_t str_assign_tmp(Str* var, std::int32_t start) {
  std::int32_t bytes = g_tmp_end - start;
  void* p = *var ? os_heap_realloc(g_heap, *var, static_cast<std::size_t>(bytes) + 10)
                 : os_heap_alloc(g_heap, static_cast<std::size_t>(bytes) + 10);
  if (p) {
    *var = static_cast<Str>(p);
    std::memcpy(*var, g_tmp + start, static_cast<std::size_t>(bytes));
    (*var)[bytes / 2] = 0;
  }
  str_tmp_rewind(start);
  return p ? start : -1;
}

void str_tmp_rewind(std::int32_t start) {
  if (start < g_tmp_end) g_tmp_end = start;
  if (g_tmp) str_tmp_at(g_tmp_end)[0] = 0;
}

CStr str_from_int(std::int64_t value) {
  char16_t digits[24];
  int n = 0;
  bool negative = value < 0;
  // Unsigned negation covers the smallest 64-bit value.
  std::uint64_t v = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  do {
    digits[n++] = static_cast<char16_t>(u'0' + v % 10);
    v /= 10;
  } while (v);
  char16_t* out = str_tmp_reserve(n + 1);
  int k = 0;
  if (negative) out[k++] = u'-';
  while (n) out[k++] = digits[--n];
  out[k] = 0;
  return out;
}

CStr str_right(CStr s, std::int32_t n) {
  std::int32_t src_off = str_tmp_offset(s);
  std::int32_t len = str_length(s);
  if (n < 0) n = 0;
  if (n > len) n = len;
  char16_t* out = str_tmp_reserve(n);
  if (src_off >= 0) s = str_tmp_at(src_off);
  if (n) std::memmove(out, s + (len - n), static_cast<std::size_t>(n) * 2);
  out[n] = 0;
  return out;
}

CStr str_replace(Str s, CStr search, CStr replacement, std::int32_t options, std::int32_t start,
                 std::int32_t max_count) {
  std::int32_t len = str_length(s);
  std::int32_t slen = str_length(search);
  std::int32_t rlen = str_length(replacement);
  if (start < 1) start = 1;
  bool nocase = (options & STR_NO_CASE) != 0;
  auto matches = [&](CStr at) {
    for (std::int32_t k = 0; k < slen; ++k) {
      char16_t a = at[k], b = search[k];
      if (nocase ? str_fold(a) != str_fold(b) : a != b) return false;
    }
    return true;
  };

  if (options & STR_IN_PLACE) {
    if (!s || slen == 0 || max_count == 0) return nullptr;
    std::int32_t done = 0;
    for (std::int32_t i = start - 1; i + slen <= len && (max_count < 0 || done < max_count);) {
      if (matches(s + i)) {
        // Only the search text's own units are overwritten, never past the zero.
        for (std::int32_t k = 0; k < slen; ++k) s[i + k] = k < rlen ? replacement[k] : s[i + k];
        i += slen;
        ++done;
      } else {
        ++i;
      }
    }
    return nullptr;
  }

  // Copy mode works on private copies, since any argument may lie in the area.
  std::u16string src(s ? s : u""), pat(search ? search : u""), rep(replacement ? replacement : u"");
  std::u16string out;
  out.reserve(src.size());
  std::int32_t i = 0, done = 0;
  std::int32_t first = start - 1 < len ? start - 1 : len;
  out.append(src, 0, static_cast<std::size_t>(first));
  i = first;
  s = src.data();
  search = pat.data();
  while (i < len) {
    if (slen > 0 && i + slen <= len && (max_count < 0 || done < max_count) && matches(s + i)) {
      out.append(rep);
      i += slen;
      ++done;
    } else {
      out.push_back(s[i++]);
    }
  }
  char16_t* res = str_tmp_reserve(static_cast<std::int32_t>(out.size()));
  std::memcpy(res, out.data(), out.size() * 2);
  res[out.size()] = 0;
  return res;
}

char* str_to_utf8(CStr s) {
  std::int32_t n = str_length(s);
  std::int32_t bytes = n ? os_utf16_to_utf8(s, n, nullptr, 0) : 0;
  char* out = static_cast<char*>(std::malloc(static_cast<std::size_t>(bytes) + 1));
  if (!out) return static_cast<char*>(std::calloc(1, 1));
  if (bytes > 0) bytes = os_utf16_to_utf8(s, n, out, bytes);
  out[bytes > 0 ? bytes : 0] = 0;
  return out;
}

// String runtime: zero-terminated UTF-16 string values on the string heap,
// one owner per value, and the temporary-result area where string results
// are built.
//
// A null string is the empty string everywhere. Producers (str_from_int,
// str_right, str_replace in copy mode, rt_param, con_read_line...) write
// their result into the temporary-result area and return a pointer to it
// that stays valid until the next producer runs; assign it to keep it.
// StrBuild joins pieces into one result without allocating per piece.
#pragma once
#include <concepts>
#include <cstdint>

using Str = char16_t*;
using CStr = const char16_t*;

// Replacement options of str_replace.
constexpr std::int32_t STR_NO_CASE = 1;   // compare A-Z case-insensitively
constexpr std::int32_t STR_IN_PLACE = 2;  // replace in the string's own buffer

// Start and end of the string runtime (run by the start-up and normal end).
void str_init_runtime();
void str_end_runtime();

// Assignment and lifetime.
// str_assign: 2 for null, else 2n + 2; 0 when the buffer could not be had
// (the variable then keeps its old value, so a caller must check).
std::int32_t str_assign(Str* var, CStr source);
std::int32_t str_init(Str* var, CStr source);    // fresh variable; 0 for null
void str_free(Str s);

// Queries.
std::int32_t str_length(CStr s);
std::int32_t str_byte_length(CStr s);
std::int32_t str_equal(CStr a, CStr b);
std::int32_t str_compare(CStr a, CStr b, std::int32_t mode);  // 0 ordinal, else A-Z folded

// Ordinal and A-Z-folded comparisons (the C locale's _wcsicmp), full and
// limited to n units; negative, zero or positive.
int str_cmp_ordinal(CStr a, CStr b);
int str_cmp_nocase(CStr a, CStr b);
// As str_cmp_nocase, with "/" ranking as "\\" does.
int str_cmp_nocase_path(CStr a, CStr b);
// As str_cmp_nocase (or str_cmp_nocase_path with `slash_as_backslash`) of
// the texts a_head + a_tail and b_head + b_tail, without joining them.
int str_cmp_nocase_joined(CStr a_head, CStr a_tail, CStr b_head, CStr b_tail, bool slash_as_backslash);

// Producers: results in the temporary-result area.
CStr str_from_int(std::int64_t value);
CStr str_right(CStr s, std::int32_t n);
CStr str_replace(Str s, CStr search, CStr replacement, std::int32_t options = 0, std::int32_t start = 1,
                 std::int32_t max_count = -1);

// A new malloc'ed, zero-terminated UTF-8 copy; never null; freed with free().
char* str_to_utf8(CStr s);

// The temporary-result area: the current end offset in bytes, appending a
// piece, the text of an expression that started at `start`, assigning it to a
// variable (which moves the end back to `start`; -1 instead of `start` when
// the variable's buffer could not be had and it keeps its old value) and
// rewinding.
std::int32_t str_tmp_mark();
void str_tmp_append(CStr s);
void str_tmp_append_units(const char16_t* units, std::int32_t count);
CStr str_tmp_text(std::int32_t start);
std::int32_t str_assign_tmp(Str* var, std::int32_t start);
void str_tmp_rewind(std::int32_t start);
// A producer's result space: room for `units` code units and a terminator
// past the end of the area (not advancing it); valid until the next producer.
char16_t* str_tmp_reserve(std::int32_t units);
// As str_tmp_reserve, but null when the area cannot be made large enough
// (memory exhausted or a size beyond the area's range).
char16_t* str_tmp_try_reserve(std::int32_t units);

// Builds one string from pieces in the temporary-result area. The result is
// read with c_str() or moved into a variable with assign_to(); the area is
// rewound when the builder goes out of scope. Builders nest like scopes.
class StrBuild {
 public:
  StrBuild() : start_(str_tmp_mark()) {}
  explicit StrBuild(CStr first) : StrBuild() { str_tmp_append(first); }
  ~StrBuild() { str_tmp_rewind(start_); }
  StrBuild(const StrBuild&) = delete;
  StrBuild& operator=(const StrBuild&) = delete;

  StrBuild& operator<<(CStr piece) {
    str_tmp_append(piece);
    return *this;
  }
  template <std::integral T>
    requires(!std::same_as<T, char16_t> && !std::same_as<T, char> && !std::same_as<T, bool>)
  StrBuild& operator<<(T value) {
    str_tmp_append(str_from_int(static_cast<std::int64_t>(value)));
    return *this;
  }
  CStr c_str() const { return str_tmp_text(start_); }
  // False when the variable could not take the text and keeps its old value.
  bool assign_to(Str* var) { return str_assign_tmp(var, start_) >= 0; }

 private:
  std::int32_t start_;
};

// An owned string value with RAII, for code that keeps strings in locals.
class StrVar {
 public:
  StrVar() = default;
  explicit StrVar(CStr s) { str_init(&s_, s); }
  ~StrVar() { str_free(s_); }
  StrVar(const StrVar& o) { str_init(&s_, o.s_); }
  StrVar& operator=(const StrVar& o) {
    if (this != &o) str_assign(&s_, o.s_);
    return *this;
  }
  StrVar& operator=(CStr s) {
    str_assign(&s_, s);
    return *this;
  }
  StrVar& operator=(StrBuild& b) {
    b.assign_to(&s_);
    return *this;
  }
  CStr get() const { return s_; }
  Str* addr() { return &s_; }
  std::int32_t length() const { return str_length(s_); }

 private:
  Str s_ = nullptr;
};

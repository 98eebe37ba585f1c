// Dynamic arrays, structure copy and the array sort.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "core/arr.h"
#include "core/str.h"

namespace {
struct Rec {
  std::int32_t id;
  Str name;
  std::int32_t tag;
  Str note;
};
const FieldLayout REC_LAYOUT[] = {static_cast<FieldLayout>(offsetof(Rec, name)),
                                  static_cast<FieldLayout>(offsetof(Rec, note)), FIELD_LAYOUT_END};

std::vector<std::u16string> Strings(Str* a, int first, int last) {
  std::vector<std::u16string> out;
  for (int i = first; i <= last; ++i) out.emplace_back(a[i] ? a[i] : u"");
  return out;
}
using V = std::vector<std::u16string>;
}  // namespace

TEST(Arr, DimRedimFreeKeepStringOwnership) {
  Str* a = nullptr;
  arr_dim_t<Str>(1, ELEM_STRING, STRING_LAYOUT, &a);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(arr_size(a), 0);
  EXPECT_EQ(arr_header(a)->type, ELEM_STRING);
  EXPECT_EQ(reinterpret_cast<std::int32_t*>(a)[-1], ELEM_STRING);  // the word before the data
  arr_redim_t(10, &a);
  for (int i = 0; i < 10; ++i) str_assign(&a[i], str_from_int(i));
  arr_redim_t(3, &a);  // frees the strings of 3..9 (the sanitizers check)
  EXPECT_EQ(arr_size(a), 2);
  arr_redim_t(12, &a);
  EXPECT_EQ(Strings(a, 0, 3), (V{u"0", u"1", u"2", u""}));
  EXPECT_EQ(a[11], nullptr);
  Str* keep = a;
  arr_dim_t<Str>(4, ELEM_STRING, STRING_LAYOUT, &a);  // frees the old array first
  EXPECT_NE(a, nullptr);
  (void)keep;
  arr_free(a);
  EXPECT_EQ(a, nullptr);  // the owner is cleared
  EXPECT_EQ(arr_size(nullptr), -1);
  arr_free(nullptr);
}

TEST(Arr, StructCopyIsIndependent) {
  Rec src{1, nullptr, 2, nullptr}, dst{9, nullptr, 9, nullptr};
  str_assign(&src.name, u"source");
  str_assign(&dst.name, u"old");
  str_assign(&dst.note, u"old note");
  struct_copy(&dst, sizeof(Rec), REC_LAYOUT, &src);
  EXPECT_EQ(dst.id, 1);
  EXPECT_EQ(dst.tag, 2);
  EXPECT_EQ(std::u16string(dst.name), u"source");
  EXPECT_NE(dst.name, src.name);
  EXPECT_EQ(dst.note, nullptr);  // a null source string clears the destination's
  str_assign(&src.name, u"changed");
  EXPECT_EQ(std::u16string(dst.name), u"source");
  struct_copy(&dst, sizeof(Rec), REC_LAYOUT, &dst);
  EXPECT_EQ(std::u16string(dst.name), u"source");
  struct_free_fields(&src, REC_LAYOUT);
  struct_free_fields(&dst, REC_LAYOUT);
}

TEST(Sort, StringsCaseInsensitiveKeepThePartitionOrder) {
  Str* a = nullptr;
  arr_dim_t<Str>(4, ELEM_STRING, STRING_LAYOUT, &a);
  str_assign(&a[0], u"zero");
  str_assign(&a[1], u"b");
  str_assign(&a[2], u"A");
  str_assign(&a[3], u"a");
  sort_array(a, SORT_NO_CASE, 1, 3);
  EXPECT_EQ(Strings(a, 0, 3), (V{u"zero", u"a", u"A", u"b"}));
  str_assign(&a[1], u"B.txt");
  str_assign(&a[2], u"a.txt");
  str_assign(&a[3], u"_x");
  sort_array(a, 0, 1, 3);
  EXPECT_EQ(Strings(a, 1, 3), (V{u"B.txt", u"_x", u"a.txt"}));
  sort_array(a, SORT_NO_CASE, 1, 3);
  EXPECT_EQ(Strings(a, 1, 3), (V{u"_x", u"a.txt", u"B.txt"}));
  sort_array(a, SORT_NO_CASE | SORT_DESCENDING, 1, 3);
  EXPECT_EQ(Strings(a, 1, 3), (V{u"B.txt", u"a.txt", u"_x"}));
  str_assign(&a[2], nullptr);  // null sorts as empty
  sort_array(a, 0, 1, 3);
  EXPECT_EQ(a[1], nullptr);
  sort_array(a, 0, 2, 2);  // one element and empty ranges change nothing
  sort_array(a, 0, 3, 1);
  sort_array(nullptr, 0, 0, 5);
  arr_free(a);
}

template <typename T>
std::vector<T> SortNumbers(std::int32_t type, std::vector<T> v, std::int32_t options) {
  T* a = nullptr;
  arr_dim_t<T>(static_cast<std::int32_t>(v.size()), type, nullptr, &a);
  for (std::size_t i = 0; i < v.size(); ++i) a[i] = v[i];
  sort_array(a, options, 0, static_cast<std::int32_t>(v.size()) - 1);
  std::vector<T> out(a, a + v.size());
  arr_free(a);
  return out;
}

TEST(Sort, EveryNumericVariantBothDirections) {
  EXPECT_EQ(SortNumbers<std::int32_t>(ELEM_INT32, {3, -1, 7}, SORT_DESCENDING), (std::vector<std::int32_t>{7, 3, -1}));
  EXPECT_EQ(SortNumbers<std::int32_t>(ELEM_INT32_ALT, {3, -1, 7}, 0), (std::vector<std::int32_t>{-1, 3, 7}));
  EXPECT_EQ(SortNumbers<std::int8_t>(ELEM_INT8, {5, -128, 127, 0}, 0), (std::vector<std::int8_t>{-128, 0, 5, 127}));
  EXPECT_EQ(SortNumbers<std::uint8_t>(ELEM_UINT8, {5, 255, 0}, SORT_DESCENDING), (std::vector<std::uint8_t>{255, 5, 0}));
  EXPECT_EQ(SortNumbers<std::int16_t>(ELEM_INT16, {-300, 300, 0}, 0), (std::vector<std::int16_t>{-300, 0, 300}));
  EXPECT_EQ(SortNumbers<std::uint16_t>(ELEM_UINT16, {65535, 1, 2}, 0), (std::vector<std::uint16_t>{1, 2, 65535}));
  EXPECT_EQ(SortNumbers<std::uint16_t>(ELEM_UINT16_ALT, {1, 65535, 2}, SORT_DESCENDING),
            (std::vector<std::uint16_t>{65535, 2, 1}));
  EXPECT_EQ(SortNumbers<std::int64_t>(ELEM_INT64, {INT64_MAX, INT64_MIN, 0}, 0),
            (std::vector<std::int64_t>{INT64_MIN, 0, INT64_MAX}));
  EXPECT_EQ(SortNumbers<float>(ELEM_FLOAT, {2.5f, -1.0f, 0.0f}, 0), (std::vector<float>{-1.0f, 0.0f, 2.5f}));
  EXPECT_EQ(SortNumbers<double>(ELEM_DOUBLE, {2.5, -1.0, 9.0, 0.5}, SORT_DESCENDING),
            (std::vector<double>{9.0, 2.5, 0.5, -1.0}));
  // Many duplicates and a reversed run exercise the partition's bounds.
  std::vector<std::int32_t> many;
  for (int i = 0; i < 1000; ++i) many.push_back((i * 7919) % 13 - (i % 2 ? 500 : 0));
  auto sorted = SortNumbers<std::int32_t>(ELEM_INT32, many, 0);
  for (std::size_t i = 1; i < sorted.size(); ++i) ASSERT_LE(sorted[i - 1], sorted[i]);
}

TEST(Sort, StructureArraysAreLeftAlone) {
  Rec* a = nullptr;
  arr_dim_t<Rec>(3, ELEM_STRUCT, REC_LAYOUT, &a);
  a[0].id = 3;
  a[1].id = 1;
  a[2].id = 2;
  sort_array(a, 0, 0, 2);
  EXPECT_EQ(a[0].id, 3);
  arr_free(a);
}

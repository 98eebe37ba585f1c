// Fuzz target: the string runtime's producers and assignments against
// models: str_from_int is the decimal text, str_right the last units,
// str_replace (copy and in place, A-Z folded or exact, from a start, at most
// a count, never overlapping) the model's left-to-right replacement, pieces
// joined in the temporary-result area their concatenation (also when a
// piece lies in the area itself, and when the area grows), and str_assign
// from inside the variable's own buffer the suffix it names.
//
// Input: a sequence of operations, each an operation byte and its operands;
// texts are a length byte and units from an alphabet that folds (or raw
// units).
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/str.h"
#include "fuzz_support.h"

namespace {

using Text = std::u16string;

constexpr char16_t ALPHABET[] = {u'a', u'A', u'b', u'/', u'\\', u'[', u'`', u'Z', u'z', 0x00E9, 0x00C9};

Text take_text(FuzzInput& in, bool raw) {
  const std::size_t n = in.byte() % 32;
  Text t;
  for (std::size_t k = 0; k < n && !in.empty(); ++k) {
    char16_t u = raw ? in.u16() : ALPHABET[in.byte() % (sizeof ALPHABET / sizeof ALPHABET[0])];
    if (u) t += u;
  }
  return t;
}

char16_t model_fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

Text model_replace(const Text& s, const Text& search, const Text& rep, bool nocase, std::int32_t start,
                   std::int32_t max_count) {
  if (start < 1) start = 1;
  const std::size_t first = std::min(s.size(), static_cast<std::size_t>(start - 1));
  Text out = s.substr(0, first);
  std::int32_t done = 0;
  for (std::size_t i = first; i < s.size();) {
    bool match = !search.empty() && i + search.size() <= s.size() && (max_count < 0 || done < max_count);
    for (std::size_t k = 0; match && k < search.size(); ++k)
      match = nocase ? model_fold(s[i + k]) == model_fold(search[k]) : s[i + k] == search[k];
    if (match) {
      out += rep;
      i += search.size();
      ++done;
    } else {
      out += s[i++];
    }
  }
  return out;
}

std::int64_t take_int(FuzzInput& in) {
  std::uint64_t v = 0;
  for (int k = 0; k < 8; ++k) v = v << 8 | in.byte();
  // Mostly small values and the edges of the 32-bit range.
  switch (v & 3) {
    case 0: return static_cast<std::int64_t>(v);
    case 1: return static_cast<std::int32_t>(v >> 2);
    case 2: return static_cast<std::int64_t>(v >> 40) - 8388608;
    default: return INT32_MIN + static_cast<std::int64_t>(v >> 60) - 8;
  }
}

Text text_of(CStr s) { return s ? Text(s) : Text(); }

Text model_right(const Text& s, std::int32_t n) {
  const std::size_t k = n < 0 ? 0 : std::min(s.size(), static_cast<std::size_t>(n));
  return s.substr(s.size() - k);
}

Text model_decimal(std::int64_t v) {
  const std::string d = std::to_string(v);
  return Text(d.begin(), d.end());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz_start_runtime(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const std::int32_t mark = str_tmp_mark();
  StrVar var;
  Text var_model;
  while (!in.empty()) {
    const std::uint8_t op = in.byte();
    const bool raw = (op & 0x10) != 0;
    switch (op % 8) {
      case 0: {
        const std::int64_t v = take_int(in);
        fuzz_require(Text(str_from_int(v)) == model_decimal(v), "str_from_int is the decimal text");
        break;
      }
      case 1: {
        const Text s = take_text(in, raw);
        const auto n = static_cast<std::int32_t>(static_cast<std::int8_t>(in.byte()));
        const Text right = model_right(s, n);
        fuzz_require(text_of(str_right(s.c_str(), n)) == right, "str_right gives the last units");
        // The result as the argument of the next producer, in the area itself.
        CStr inner = str_right(s.c_str(), n);
        fuzz_require(text_of(str_right(inner, n / 2)) == model_right(right, n / 2),
                     "str_right of a result in the temporary area");
        break;
      }
      case 2:
      case 3: {
        const Text s = take_text(in, raw), search = take_text(in, raw), rep = take_text(in, raw);
        const std::uint8_t b = in.byte();
        const bool nocase = (b & 1) != 0;
        const std::int32_t start = static_cast<std::int32_t>(b >> 1 & 15) - 2;
        const std::int32_t max_count = static_cast<std::int32_t>(b >> 5) - 1;
        StrVar v(s.c_str());
        const Text expected = model_replace(s, search, rep, nocase, start, max_count);
        fuzz_require(text_of(str_replace(*v.addr(), search.c_str(), rep.c_str(), nocase ? STR_NO_CASE : 0, start,
                                         max_count)) == expected,
                     "str_replace is the model's replacement");
        fuzz_require(text_of(v.get()) == s, "str_replace in copy mode leaves its argument");
        // In place, with a replacement as long as the search text.
        const Text same = rep.substr(0, search.size()) + Text(search.size() - std::min(search.size(), rep.size()), u'#');
        str_replace(*v.addr(), search.c_str(), same.c_str(), (nocase ? STR_NO_CASE : 0) | STR_IN_PLACE, start, max_count);
        fuzz_require(text_of(v.get()) == model_replace(s, search, same, nocase, start, max_count),
                     "str_replace in place is the model's replacement");
        // With any other length nothing is written past the string's end
        // (the heap checks that) and the length stays.
        str_replace(*v.addr(), search.c_str(), rep.c_str(), STR_IN_PLACE, start, max_count);
        fuzz_require(str_length(v.get()) == static_cast<std::int32_t>(s.size()), "in place keeps the length");
        break;
      }
      case 4: {
        // Pieces joined, some of them results lying in the area.
        StrBuild b;
        Text expected;
        const std::size_t pieces = 1 + in.byte() % 8;
        for (std::size_t k = 0; k < pieces; ++k) {
          const Text t = take_text(in, raw);
          if (in.byte() & 1) {
            b << str_right(t.c_str(), 1000);
          } else {
            b << t.c_str();
          }
          expected += t;
        }
        // Enough to make the area grow now and then.
        if (op & 0x20) {
          const Text big(20000, u'q');
          b << big.c_str();
          expected += big;
        }
        fuzz_require(Text(b.c_str()) == expected, "the pieces are joined in order");
        var = b;
        var_model = expected;
        fuzz_require(text_of(var.get()) == var_model, "the joined text is assigned");
        break;
      }
      case 5: {
        // Assigned from inside its own buffer.
        const std::size_t k = in.byte() % (var_model.size() + 1);
        if (!var.get()) break;
        str_assign(var.addr(), var.get() + k);
        var_model = var_model.substr(k);
        fuzz_require(Text(var.get()) == var_model, "assigned from its own buffer");
        break;
      }
      case 6: {
        const Text t = take_text(in, raw);
        var = t.c_str();
        var_model = t;
        fuzz_require(str_length(var.get()) == static_cast<std::int32_t>(t.size()) &&
                         str_byte_length(var.get()) == 2 * static_cast<std::int32_t>(t.size()) &&
                         str_equal(var.get(), t.c_str()) == 1,
                     "assignment, length and equality");
        break;
      }
      default:
        var = static_cast<CStr>(nullptr);
        var_model.clear();
        fuzz_require(var.get() == nullptr && str_length(var.get()) == 0, "a null assignment empties");
        break;
    }
  }
  fuzz_require(str_tmp_mark() == mark, "the temporary area is back where it was");
  return 0;
}

// Fuzz target: the command-line splitter against a model of its rules, and
// the parameter cursor of rt_param against a model of its moves.
//
// Input: a mode byte, then the command line: in alphabet mode each byte is
// one of a few characters that matter to the rules (blank, quote,
// backslash, tab...), in raw mode two bytes are one UTF-16 unit (a zero
// unit ends the line). Then, for the cursor, bytes that each give an index.
#include <cstdint>
#include <string>
#include <vector>

#include "core/rt.h"
#include "core/str.h"
#include "fuzz_support.h"
#include "platform/os_process.h"
#include "platform/os_text.h"

namespace {

using Tokens = std::vector<std::u16string>;

// The rules as a machine of three states: between tokens only a blank is
// skipped; a quote opens a token that only the next quote (or the end)
// closes, with a next token allowed right after it; any other character
// opens a token that only a blank (or the end) closes, quotes and
// backslashes in it being plain characters.
Tokens model_split(const std::u16string& line) {
  enum class State { Between, Plain, Quoted };
  State state = State::Between;
  Tokens tokens;
  for (char16_t c : line) {
    switch (state) {
      case State::Between:
        if (c == u' ') break;
        tokens.emplace_back();
        if (c == u'"') {
          state = State::Quoted;
        } else {
          tokens.back() += c;
          state = State::Plain;
        }
        break;
      case State::Plain:
        if (c == u' ') state = State::Between;
        else tokens.back() += c;
        break;
      case State::Quoted:
        if (c == u'"') state = State::Between;
        else tokens.back() += c;
        break;
    }
  }
  return tokens;
}

constexpr char16_t ALPHABET[] = {u' ', u'"', u'\\', u'\t', u'a', u'B', 0x00E9, 0xD800, u' ', u'"', u'x', 0x3000};

std::u16string take_line(FuzzInput& in, bool raw) {
  std::u16string line;
  std::size_t n = in.byte();
  for (std::size_t k = 0; k < n && !in.empty(); ++k) {
    if (raw) {
      char16_t u = in.u16();
      if (u == 0) break;
      line += u;
    } else {
      line += ALPHABET[in.byte() % (sizeof ALPHABET / sizeof ALPHABET[0])];
    }
  }
  return line;
}

void check_splitter(const std::u16string& line, const Tokens& model) {
  const char16_t* start = nullptr;
  std::int32_t length = -1;
  fuzz_require(rt_split_command_line(line.c_str(), -1, nullptr, nullptr) == static_cast<std::int32_t>(model.size()),
               "the splitter counts the model's tokens");
  for (std::size_t k = 0; k < model.size(); ++k) {
    fuzz_require(rt_split_command_line(line.c_str(), static_cast<std::int32_t>(k), &start, &length) == 1,
                 "every token of the model is found");
    fuzz_require(start >= line.c_str() && start + length <= line.c_str() + line.size(),
                 "a token lies inside the line");
    fuzz_require(std::u16string(start, static_cast<std::size_t>(length)) == model[k],
                 "a token's text is the model's");
  }
  fuzz_require(rt_split_command_line(line.c_str(), static_cast<std::int32_t>(model.size()), &start, &length) == 0,
               "no token beyond the last");
  fuzz_require(rt_split_command_line(line.c_str(), INT32_MAX, &start, &length) == 0, "no token at the largest index");
  fuzz_require(rt_split_command_line(nullptr, -1, nullptr, nullptr) == 0, "a null line has no token");
}

// The cursor: the parameters are given to the process as its arguments
// (program name first), and every call of rt_param is checked against the
// model's cursor.
void check_cursor(const Tokens& tokens, FuzzInput& in) {
  if (tokens.empty()) return;
  std::vector<std::string> bytes;
  for (const std::u16string& t : tokens) {
    std::string b(static_cast<std::size_t>(os_utf16_to_utf8(t.data(), static_cast<std::int32_t>(t.size()), nullptr, 0)), '\0');
    os_utf16_to_utf8(t.data(), static_cast<std::int32_t>(t.size()), b.data(), static_cast<std::int32_t>(b.size()));
    bytes.push_back(b);
  }
  std::vector<char*> argv;
  for (std::string& b : bytes) argv.push_back(b.data());
  os_set_arguments(static_cast<int>(argv.size()), argv.data());
  // What the process sees as each parameter.
  std::vector<std::u16string> params;
  for (std::size_t k = 1; k < bytes.size(); ++k) params.emplace_back(os_argument(static_cast<std::int32_t>(k)));
  const auto count = static_cast<std::int32_t>(params.size());
  fuzz_require(rt_param_count() == count, "the parameter count leaves out the program name");

  std::int32_t cursor = 0;
  fuzz_require(std::u16string(rt_param(0)) == (count > 0 ? params[0] : u""), "parameter 0");
  if (count > 0) cursor = 1;
  while (!in.empty()) {
    std::uint8_t b = in.byte();
    std::int32_t index = b == 0xFF ? INT32_MAX : b == 0xFE ? INT32_MIN : static_cast<std::int32_t>(b % 16) - 4;
    if (index >= 0) cursor = index;
    std::u16string expected;
    if (cursor < count) expected = params[static_cast<std::size_t>(cursor++)];
    fuzz_require(std::u16string(rt_param(index)) == expected, "rt_param follows the model's cursor");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz_start_runtime(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const bool raw = (in.byte() & 1) != 0;
  const std::u16string line = take_line(in, raw);
  const Tokens model = model_split(line);
  check_splitter(line, model);
  check_cursor(model, in);
  return 0;
}

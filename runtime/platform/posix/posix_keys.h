// POSIX backend, internal: the bytes a terminal sends for one key, read and
// mapped to the Windows virtual-key code and character of the same key on a
// US keyboard, so that key polling gives the results it gives on Windows.
#pragma once
#include <cstdint>
#include <string>

#include "platform/os_console.h"
#include "posix_text.h"

namespace posix_vk {
constexpr std::int32_t BACK = 0x08, TAB = 0x09, CLEAR = 0x0C, RETURN = 0x0D, ESCAPE = 0x1B, SPACE = 0x20;
constexpr std::int32_t PRIOR = 0x21, NEXT = 0x22, END = 0x23, HOME = 0x24;
constexpr std::int32_t LEFT = 0x25, UP = 0x26, RIGHT = 0x27, DOWN = 0x28, INSERT = 0x2D, DELETE_KEY = 0x2E;
constexpr std::int32_t F1 = 0x70;
constexpr std::int32_t PACKET = 0xE7;   // a character that no key of the layout gives
constexpr std::int32_t UNKNOWN = 0xFF;  // a key sequence this backend does not know
}  // namespace posix_vk

// The key of one ASCII byte: letters give their capital's code, digits their
// own, punctuation the code of the key that carries it; control bytes give
// Ctrl plus their letter, except Enter, Tab, Backspace and Escape.
inline OsKeyPress posix_ascii_key(unsigned char b) {
  using namespace posix_vk;
  char16_t ch = b;
  if (b >= 'a' && b <= 'z') return {b - 32, ch};
  if ((b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9')) return {b, ch};
  switch (b) {
    case '\r': case '\n': return {RETURN, u'\r'};
    case '\t': return {TAB, u'\t'};
    case 0x08: case 0x7F: return {BACK, 0x08};
    case 0x1B: return {ESCAPE, 0x1B};
    case ' ': return {SPACE, u' '};
    case 0x00: return {SPACE, 0};
    case 0x1C: return {0xDC, ch};
    case 0x1D: return {0xDD, ch};
    case 0x1E: return {'6', ch};
    case 0x1F: return {0xBD, ch};
    default: break;
  }
  if (b < 0x20) return {'A' + b - 1, ch};
  static const char shifted_digits[] = ")!@#$%^&*(";
  for (int d = 0; d < 10; ++d)
    if (shifted_digits[d] == b) return {'0' + d, ch};
  struct Oem {
    char plain, shifted;
    std::int32_t vk;
  };
  static const Oem oem[] = {{';', ':', 0xBA}, {'=', '+', 0xBB}, {',', '<', 0xBC}, {'-', '_', 0xBD},
                            {'.', '>', 0xBE}, {'/', '?', 0xBF}, {'`', '~', 0xC0}, {'[', '{', 0xDB},
                            {'\\', '|', 0xDC}, {']', '}', 0xDD}, {'\'', '"', 0xDE}};
  for (const Oem& o : oem)
    if (o.plain == b || o.shifted == b) return {o.vk, ch};
  return {UNKNOWN, ch};
}

// CSI and SS3 sequences: final byte `final`, numeric parameters in `params`.
inline std::int32_t posix_sequence_key(const std::string& params, unsigned char final) {
  using namespace posix_vk;
  switch (final) {
    case 'A': return UP;
    case 'B': return DOWN;
    case 'C': return RIGHT;
    case 'D': return LEFT;
    case 'H': return HOME;
    case 'F': return END;
    case 'E': return CLEAR;
    case 'P': case 'Q': case 'R': case 'S': return F1 + (final - 'P');
    case '~': break;
    default: return UNKNOWN;
  }
  int n = 0;
  for (char c : params) {
    if (c < '0' || c > '9') break;
    n = n * 10 + (c - '0');
    if (n > 99) return UNKNOWN;
  }
  switch (n) {
    case 1: case 7: return HOME;
    case 2: return INSERT;
    case 3: return DELETE_KEY;
    case 4: case 8: return END;
    case 5: return PRIOR;
    case 6: return NEXT;
    default: break;
  }
  if (n >= 11 && n <= 15) return F1 + (n - 11);       // F1-F5
  if (n >= 17 && n <= 21) return F1 + 5 + (n - 17);   // F6-F10
  if (n >= 23 && n <= 26) return F1 + 10 + (n - 23);  // F11-F14
  if (n >= 28 && n <= 29) return F1 + 14 + (n - 28);  // F15-F16
  if (n >= 31 && n <= 34) return F1 + 16 + (n - 31);  // F17-F20
  return UNKNOWN;
}

// Reads the rest of the key that starts with `first`; `next(&byte)` takes
// one more byte if one is waiting. A lone ESC is the Escape key; ESC before
// another key is Alt with that key, which keeps the key's own code.
template <typename Next>
OsKeyPress posix_read_key(unsigned char first, Next next, int depth = 0) {
  using namespace posix_vk;
  if (first >= 0x80) {
    std::string bytes(1, static_cast<char>(first));
    int more = first >= 0xF0 ? 3 : first >= 0xE0 ? 2 : first >= 0xC0 ? 1 : 0;
    unsigned char b;
    while (more-- > 0 && next(&b)) bytes.push_back(static_cast<char>(b));
    std::u16string text = posix_from_bytes(bytes);
    // A character outside the BMP, or a stray byte, has no one-unit character.
    bool single = text.size() == 1 && (text[0] < 0xD800 || text[0] > 0xDFFF);
    return {PACKET, single ? text[0] : char16_t(0)};
  }
  if (first != 0x1B) return posix_ascii_key(first);
  unsigned char c;
  if (!next(&c)) return {ESCAPE, 0x1B};
  if (c == '[' || c == 'O') {
    unsigned char b;
    if (!next(&b)) return posix_ascii_key(c);  // Alt with [ or O
    if (c == '[' && b == '[') {                // Linux console F1-F5: ESC [ [ A..E
      if (!next(&b)) return {UNKNOWN, 0};
      return {(b >= 'A' && b <= 'E') ? F1 + (b - 'A') : UNKNOWN, 0};
    }
    std::string params;
    while (b >= 0x20 && b <= 0x3F) {
      params.push_back(static_cast<char>(b));
      if (!next(&b)) return {UNKNOWN, 0};
    }
    if (b == 'Z') return {TAB, u'\t'};                          // Shift+Tab
    if (c == 'O' && b == 'M') return {RETURN, u'\r'};           // keypad Enter
    return {posix_sequence_key(params, b), 0};
  }
  if (depth == 0) return posix_read_key(c, next, 1);
  return posix_ascii_key(c);
}

// Regular expressions over the PCRE 8 engine: compiled patterns in an object
// table, the last compile error in the module's thread block.
#include "regex/rx.h"

#include <pcre.h>

#include <cstdlib>
#include <cstring>

#include "core/rt.h"
#include "platform/os_heap.h"

namespace {

// One compiled pattern. The registry tells a live object by its first 32-bit
// word, so that word is a flag of its own rather than the low half of a
// 64-bit pointer.
struct RegexObject {
  std::int32_t present;        // 1 while a compiled pattern is held
  std::int32_t capture_count;  // capturing groups, as the engine counts them
  pcre* compiled;              // owned; from the engine's malloc hook
  void* buffers[2];            // main-heap blocks released with the object
};

// The thread block: the last compile error, a zero-terminated main-heap copy.
struct RxErrorBlock {
  char* message;
};

constexpr std::int32_t RX_TABLE_STEP = 16;

struct RxState {
  ObjectTable* table;
  void* error_block;  // RxErrorBlock
};
RxState g_rx;

RxErrorBlock* rx_error_block() {
  return g_rx.error_block ? static_cast<RxErrorBlock*>(thread_block_get(g_rx.error_block)) : nullptr;
}

void rx_clear_error(void* block) {
  auto* b = static_cast<RxErrorBlock*>(block);
  if (b && b->message) {
    os_heap_free(rt_main_heap(), b->message);
    b->message = nullptr;
  }
}

void rx_set_error(const char* text) {
  RxErrorBlock* b = rx_error_block();
  if (!b || !text) return;
  std::size_t n = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(os_heap_alloc(rt_main_heap(), n));
  if (!copy) return;
  std::memcpy(copy, text, n);
  b->message = copy;
}

void rx_release_one(ObjectId id) {
  auto* r = static_cast<RegexObject*>(obj_lookup(g_rx.table, id));
  if (!r) return;
  pcre_free(r->compiled);
  for (void* b : r->buffers)
    if (b) os_heap_free(rt_main_heap(), b);
  obj_free(g_rx.table, id);
}

bool rx_is_high(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool rx_is_low(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// A malloc'ed UTF-8 copy for the engine, which checks nothing: a surrogate
// without its partner (such as a file-name byte that was not valid UTF-8)
// becomes U+FFFD first, so the copy is always valid UTF-8.
char* rx_to_utf8(CStr s) {
  std::int32_t n = str_length(s);
  std::int32_t i = 0;
  for (; i < n; ++i) {
    if (rx_is_high(s[i]) && i + 1 < n && rx_is_low(s[i + 1])) ++i;
    else if (rx_is_high(s[i]) || rx_is_low(s[i])) break;
  }
  if (i == n) return str_to_utf8(s);
  StrVar clean(s);
  Str c = *clean.addr();
  for (; i < n; ++i) {
    if (rx_is_high(c[i]) && i + 1 < n && rx_is_low(c[i + 1])) ++i;
    else if (rx_is_high(c[i]) || rx_is_low(c[i])) c[i] = u'\uFFFD';
  }
  return str_to_utf8(c);
}

}  // namespace

void rx_init() {
  pcre_malloc = std::malloc;
  pcre_free = std::free;
  pcre_stack_malloc = std::malloc;
  pcre_stack_free = std::free;
  g_rx.table = obj_table_create(static_cast<std::int32_t>(sizeof(RegexObject)), RX_TABLE_STEP, rx_release_one);
  g_rx.error_block = thread_block_create(static_cast<std::int32_t>(sizeof(RxErrorBlock)), nullptr, rx_clear_error);
}

void rx_end() { rx_free(OBJ_ANY); }

ObjectId rx_create(ObjectId id, CStr pattern) { return rx_create_opts(id, pattern, 0); }

ObjectId rx_create_opts(ObjectId id, CStr pattern, std::int32_t options) {
  auto* r = static_cast<RegexObject*>(obj_create(g_rx.table, id));
  if (!r) return 0;
  rx_clear_error(rx_error_block());
  if (!pattern) return 0;

  char* utf8 = rx_to_utf8(pattern);
  const char* message = nullptr;
  int offset = 0;
  r->compiled = pcre_compile(utf8, options | PCRE_UTF8 | PCRE_NO_UTF8_CHECK, &message, &offset, nullptr);
  std::free(utf8);
  if (!r->compiled) {
    rx_set_error(message);
    return 0;
  }
  int count = 0;
  pcre_fullinfo(r->compiled, nullptr, PCRE_INFO_CAPTURECOUNT, &count);
  r->capture_count = count;
  r->present = 1;
  return reinterpret_cast<ObjectId>(r);
}

std::int32_t rx_match(ObjectId object, CStr text) {
  if (!text) return 0;
  auto* r = static_cast<RegexObject*>(obj_lookup(g_rx.table, object));
  if (!r) return 0;
  char* utf8 = rx_to_utf8(text);
  int rc = pcre_exec(r->compiled, nullptr, utf8, static_cast<int>(std::strlen(utf8)), 0, PCRE_NO_UTF8_CHECK,
                     nullptr, 0);
  std::free(utf8);
  return rc >= 0 ? 1 : 0;
}

void rx_free(ObjectId object) {
  if (!g_rx.table) return;
  if (object == OBJ_ANY) obj_free_all(g_rx.table);
  else rx_release_one(object);
}

const char* rx_error_text() {
  RxErrorBlock* b = rx_error_block();
  return b && b->message ? b->message : "";
}

// The console device over the platform's console contract.
#include "console/con.h"

#include <atomic>
#include <cstring>

#include "core/rt.h"
#include "platform/os_console.h"
#include "platform/os_heap.h"
#include "platform/os_process.h"
#include "platform/os_time.h"

namespace {

constexpr std::int32_t LINE_UNITS = 4096;  // the line buffer, and the redirected read chunk
constexpr std::int32_t MIN_ROOM = 512;     // less room than this enlarges the buffer first
constexpr char16_t CR = 0x000D;
constexpr char16_t LF = 0x000A;
constexpr char16_t CTRL_Z = 0x001A;
// How long the close event waits for the main thread to leave the libraries'
// objects alone; Windows ends the process some five seconds after the event.
constexpr std::uint32_t CLOSE_WAIT_MS = 2000;

struct ConsoleState {
  OsConsole input;
  OsConsole output;
  std::uint16_t attribute;   // the current attribute
  std::int32_t last_raw_key;
  char16_t* pending;         // the pending input, on the main heap
  OsLock* input_lock;        // guards pending, after_cr and odd_byte
  bool after_cr;             // the last line ended at a CR that was the last unit read
  std::int32_t odd_byte;     // a byte read beyond the last whole unit, or -1
};
ConsoleState g_con = {0, 0, 0, 0, nullptr, nullptr, false, -1};

// The close event and the main thread: once the event has come, the main
// thread stops for good at its next console call, and the releases wait
// (a bounded time) until it has stopped there or waits in a console read,
// so that they do not free objects under its feet.
std::atomic<std::int32_t> g_closing{0};
std::atomic<std::int32_t> g_main_stopped{0};

[[noreturn]] void con_park() {
  g_main_stopped.store(1);
  for (;;) os_sleep(1000);
}

void con_checkpoint() {
  if (g_closing.load()) con_park();
}

// Marks a console read, during which the main thread touches no object.
class ConWaiting {
 public:
  ConWaiting() { g_main_stopped.store(1); }
  ~ConWaiting() {
    g_main_stopped.store(0);
    con_checkpoint();
  }
  ConWaiting(const ConWaiting&) = delete;
  ConWaiting& operator=(const ConWaiting&) = delete;
};

char16_t* con_tmp_copy(const char16_t* units, std::int32_t count) {
  char16_t* out = str_tmp_reserve(count);
  if (count > 0) std::memcpy(out, units, static_cast<std::size_t>(count) * 2);
  out[count] = 0;
  return out;
}

// A block of the main heap that is freed when it goes out of scope.
class ConBuffer {
 public:
  explicit ConBuffer(std::int32_t units)
      : p_(static_cast<char16_t*>(os_heap_alloc(rt_main_heap(), static_cast<std::size_t>(units) * 2 + 2))) {}
  ~ConBuffer() { os_heap_free(rt_main_heap(), p_); }
  ConBuffer(const ConBuffer&) = delete;
  ConBuffer& operator=(const ConBuffer&) = delete;
  char16_t* get() const { return p_; }
  bool grow(std::int32_t units) {
    void* q = os_heap_realloc(rt_main_heap(), p_, static_cast<std::size_t>(units) * 2 + 2);
    if (!q) return false;
    p_ = static_cast<char16_t*>(q);
    return true;
  }

 private:
  char16_t* p_;
};

// The console path: one edited line, or -1 when the input is not a console.
CStr con_read_console() {
  char16_t* buf = str_tmp_reserve(LINE_UNITS);
  os_console_set_line_mode(g_con.input);
  std::int32_t n;
  {
    ConWaiting waiting;
    n = os_console_read_line(g_con.input, buf, LINE_UNITS);
  }
  if (n < 0) return nullptr;
  if (n >= 2 && buf[n - 2] == CR) n -= 2;
  if (n == 1 && buf[0] == CTRL_Z) buf[0] = CON_END_OF_INPUT;
  buf[n] = 0;
  return buf;
}

// The redirected path; called under the input lock.
CStr con_read_redirected() {
  OsHeap heap = rt_main_heap();
  std::int32_t len = str_length(g_con.pending);
  std::int32_t cap = len > LINE_UNITS ? len : LINE_UNITS;
  ConBuffer buffer(cap);
  if (!buffer.get()) return con_tmp_copy(nullptr, 0);
  char16_t* buf = buffer.get();
  if (g_con.pending) {
    std::memcpy(buf, g_con.pending, static_cast<std::size_t>(len) * 2);
    os_heap_free(heap, g_con.pending);
    g_con.pending = nullptr;
  }
  // A pipe may hand over half a unit; its byte waits for the other half.
  bool have_odd = g_con.odd_byte >= 0;
  auto odd = static_cast<unsigned char>(g_con.odd_byte);
  g_con.odd_byte = -1;

  std::int32_t scan = 0;
  for (;;) {
    std::int32_t k = scan;
    while (k < len && buf[k] != CR && buf[k] != LF) ++k;
    if (k < len) {
      std::int32_t brk = 1;
      if (buf[k] == CR) {
        if (k + 1 < len && buf[k + 1] == LF) brk = 2;
        // A CR that ends the text read so far: an LF that the next read
        // brings belongs to the same break.
        if (k + 1 == len) g_con.after_cr = true;
      }
      std::int32_t rest = len - (k + brk);
      if (rest > 0) {
        auto* p = static_cast<char16_t*>(os_heap_alloc(heap, static_cast<std::size_t>(rest) * 2 + 2));
        if (p) std::memcpy(p, buf + k + brk, static_cast<std::size_t>(rest) * 2);
        g_con.pending = p;
      }
      if (have_odd) g_con.odd_byte = odd;
      return con_tmp_copy(buf, k);
    }
    scan = len;
    if (cap - len < MIN_ROOM) {
      if (!buffer.grow(len + LINE_UNITS)) return con_tmp_copy(buf, len);
      buf = buffer.get();
      cap = len + LINE_UNITS;
    }
    auto* at = reinterpret_cast<unsigned char*>(buf + len);
    if (have_odd) at[0] = odd;
    std::int32_t n;
    {
      ConWaiting waiting;
      n = os_console_read_bytes(g_con.input, at + (have_odd ? 1 : 0), (cap - len) * 2 - (have_odd ? 1 : 0));
    }
    if (n == 0) {  // end of input
      g_con.after_cr = false;
      if (len == 0) {
        const char16_t end = CON_END_OF_INPUT;
        return con_tmp_copy(&end, 1);
      }
      return con_tmp_copy(buf, len);
    }
    if (n < 0) return con_tmp_copy(buf, len);
    std::int32_t total = n + (have_odd ? 1 : 0);
    std::int32_t units = total / 2;
    have_odd = (total % 2) != 0;
    if (have_odd) odd = at[total - 1];
    if (g_con.after_cr && units > 0) {
      g_con.after_cr = false;
      if (buf[len] == LF) {
        std::memmove(buf + len, buf + len + 1, static_cast<std::size_t>(units - 1) * 2);
        --units;
      }
    }
    len += units;
  }
}

}  // namespace

std::int32_t con_open(CStr title) {
  g_con.input = os_console_std_input();
  g_con.output = os_console_std_output();
  std::uint16_t attribute = 0;
  g_con.attribute = os_console_attribute(g_con.output, &attribute) ? attribute : 0;
  os_console_set_ctrl_handler(con_ctrl_handler);
  if (title) os_console_set_title(title);
  if (!g_con.input_lock) g_con.input_lock = os_lock_create();
  // A device opened again starts afresh.
  os_lock_enter(g_con.input_lock);
  os_heap_free(rt_main_heap(), g_con.pending);
  g_con.pending = nullptr;
  g_con.after_cr = false;
  g_con.odd_byte = -1;
  os_lock_leave(g_con.input_lock);
  g_con.last_raw_key = 0;
  return 1;
}

void con_write(const char16_t* text, std::int32_t count) {
  if (count < 0) return;
  if (!os_console_write(g_con.output, text, count)) os_console_write_bytes(g_con.output, text, count * 2);
}

void con_print(CStr text) {
  con_checkpoint();
  if (!text) return;
  std::int32_t n = str_length(text);
  // A CR LF that ends one write is the device's own line end, which a
  // terminal keeps: text that merely ends with one (a file name) goes out in
  // two writes, so that the terminal shows its CR LF as it shows other
  // control characters. The bytes are the same.
  if (n >= 2 && text[n - 2] == CR && text[n - 1] == LF) {
    con_write(text, n - 1);
    con_write(text + n - 1, 1);
    return;
  }
  con_write(text, n);
}

void con_print_line(CStr text) {
  con_checkpoint();
  std::int32_t n = str_length(text);
  ConBuffer line(n + 2);
  if (!line.get()) return;
  if (n > 0) std::memcpy(line.get(), text, static_cast<std::size_t>(n) * 2);
  line.get()[n] = CR;
  line.get()[n + 1] = LF;
  con_write(line.get(), n + 2);
  os_console_flush(g_con.output);
}

void con_hold(bool hold) { os_console_hold(g_con.output, hold); }

void con_set_color(std::int32_t foreground, std::int32_t background) {
  con_checkpoint();
  if (foreground < 0 || foreground > 15 || background < 0 || background > 15) return;
  g_con.attribute = static_cast<std::uint16_t>(foreground + 16 * background);
  os_console_set_attribute(g_con.output, g_con.attribute);
}

CStr con_read_line() {
  con_checkpoint();
  if (CStr line = con_read_console()) return line;
  os_lock_enter(g_con.input_lock);
  CStr line = con_read_redirected();
  os_lock_leave(g_con.input_lock);
  return line;
}

CStr con_inkey() {
  con_checkpoint();
  g_con.last_raw_key = 0;
  char16_t* out = str_tmp_reserve(1);
  out[0] = 0;
  std::uint32_t count = 0;
  if (!os_console_input_events(g_con.input, &count)) return out;
  for (std::uint32_t i = 0; i < count; ++i) {
    OsKeyPress key{};
    if (os_console_read_input(g_con.input, &key)) {
      g_con.last_raw_key = key.virtual_key;
      out[0] = key.character;
      out[1] = 0;
      break;
    }
  }
  return out;
}

std::int32_t con_raw_key() { return g_con.last_raw_key; }

std::uint16_t con_attribute() { return g_con.attribute; }

std::int32_t con_ctrl_handler(std::uint32_t type) {
  if (type != OS_CTRL_CLOSE_EVENT) return 0;
  g_closing.store(1);
  std::uint32_t start = os_tick_count();
  while (!g_main_stopped.load() && os_tick_count() - start < CLOSE_WAIT_MS) os_sleep(10);
  rt_release_libraries();
  return 0;
}

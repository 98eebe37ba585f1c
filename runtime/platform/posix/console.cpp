// POSIX backend: the console as a terminal (UTF-8, ANSI SGR colours, the
// title sequence, canonical line input and key polling), and the standard
// descriptors as plain files and pipes when they are not a terminal.
#include "platform/os_seam.h"
#include "platform/os_console.h"
#include "platform/os_file.h"
#include "posix_keys.h"
#include "posix_terminal.h"
#include "posix_text.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <iterator>
#include <new>
#include <string>

namespace {

int posix_fd(OsConsole c) { return static_cast<int>(c); }

bool posix_is_terminal(OsConsole c) { return c >= 0 && posix_is_terminal_fd(posix_fd(c)); }

bool posix_write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A descriptor that a parent left non-blocking still takes the whole text.
      pollfd p = {fd, POLLOUT, 0};
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && ::poll(&p, 1, -1) >= 0) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A descriptor that a parent left non-blocking still gives a waiting read.
bool posix_wait_readable(int fd) {
  if (errno != EAGAIN && errno != EWOULDBLOCK) return errno == EINTR;
  pollfd p = {fd, POLLIN, 0};
  return ::poll(&p, 1, -1) >= 0 || errno == EINTR;
}

// The terminal as the device leaves it between calls. Key mode (no line
// editing, no echo) starts at the first key poll and lasts until the next
// line read or the end, so that keys typed between two polls are taken as
// key presses and never shown, as on a Windows console; a line read on a
// terminal that was not line-edited switches to line mode for that read.
// Whatever changed, the terminal's own mode and colours are put back on every
// way out: the normal end, a signal that ends or stops the process, and the
// close event. Signal handlers read this state, so it is plain data whose
// writes are ordered: g_saved and g_current are written only while
// g_changed is false, by the main thread.
std::atomic<bool> g_changed{false};
int g_changed_fd = -1;
termios g_saved;    // the terminal's own mode
termios g_current;  // the mode set in its place
bool g_key_mode = false;

// Where colours were set (-1: nowhere yet, or put back), and the last one.
std::atomic<int> g_coloured_fd{-1};
std::atomic<std::uint16_t> g_colour{7};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
                  std::atomic<std::uint16_t>::is_always_lock_free,
              "signal handlers read these");

constexpr char SGR_RESET[] = "\x1b[0m";

// Colours: the attribute's nibble has blue in bit 0 and red in bit 2, ANSI
// has them the other way round; bit 3 selects the bright colours.
int posix_ansi_colour(int nibble) { return ((nibble & 1) << 2) | (nibble & 2) | ((nibble & 4) >> 2); }

// Appends the decimal digits of 0 <= n < 1000.
int posix_put_number(char* out, int n) {
  int k = 0;
  if (n >= 100) out[k++] = static_cast<char>('0' + n / 100);
  if (n >= 10) out[k++] = static_cast<char>('0' + n / 10 % 10);
  out[k++] = static_cast<char>('0' + n % 10);
  return k;
}

// The SGR sequence of an attribute and its length, built without allocating
// so that a signal handler can build it too. Background 0 (black) is the
// terminal's own background.
int posix_sgr(std::uint16_t attribute, char (&out)[16]) {
  int fg = attribute & 15;
  int bg = (attribute >> 4) & 15;
  int k = 0;
  for (char c : {'\x1b', '[', '0', ';'}) out[k++] = c;
  k += posix_put_number(out + k, ((fg & 8) ? 90 : 30) + posix_ansi_colour(fg & 7));
  if (bg != 0) {
    out[k++] = ';';
    k += posix_put_number(out + k, ((bg & 8) ? 100 : 40) + posix_ansi_colour(bg & 7));
  }
  out[k++] = 'm';
  return k;
}

// Output that waits in the process to go out in one write: a colour set on
// a terminal waits for the text that follows it (a terminal wakes its
// reader for each write), and while a descriptor is held everything written
// to it waits for the release. Whatever else reaches a descriptor or reads
// from the console sends it first. Like every console write, only the main
// thread touches this.
constexpr std::size_t HELD_MOST = 65536;  // more than this waiting goes out at once
std::string g_held;       // the bytes waiting
int g_held_fd = -1;       // whose they are (-1: nothing waits)
int g_hold_fd = -1;       // the descriptor held (-1: none)
int g_held_failed = -1;   // redirected output whose held bytes could not be sent, until reported

// Sends what waits. A terminal's failure is ignored, as its direct writes'
// are; redirected output's is remembered for the next write or the release.
bool posix_send_held() {
  if (g_held_fd < 0) return true;
  int fd = g_held_fd;
  g_held_fd = -1;
  bool sent = posix_write_all(fd, g_held.data(), g_held.size());
  g_held.clear();
  if (!sent && !posix_is_terminal(fd)) g_held_failed = fd;
  return sent || posix_is_terminal(fd);
}

// Adds bytes for `fd` behind what waits and sends them at once, unless `fd`
// is held or `wait` keeps them for what follows, and the bound is not passed.
// False when bytes for `fd` could not be sent now.
bool posix_put(int fd, const char* bytes, std::size_t size, bool wait) {
  if (g_held_fd != fd) posix_send_held();
  try {
    g_held.append(bytes, size);
  } catch (const std::bad_alloc&) {
    // No room to wait in: what waits goes out, then these bytes by themselves.
    g_held_fd = fd;
    bool sent = posix_send_held();
    g_held_failed = -1;
    return posix_write_all(fd, bytes, size) && sent;
  }
  g_held_fd = fd;
  if ((wait || g_hold_fd == fd) && g_held.size() <= HELD_MOST) return true;
  if (posix_send_held()) return true;
  g_held_failed = -1;  // reported now
  return false;
}

// Puts the terminal's own mode and colours back. Async-signal-safe.
void posix_put_back() {
  if (g_changed.load()) ::tcsetattr(g_changed_fd, TCSANOW, &g_saved);
  int fd = g_coloured_fd.load();
  if (fd >= 0 && ::write(fd, SGR_RESET, sizeof SGR_RESET - 1) < 0) {
    // The terminal is gone: nothing left to put back.
  }
}

// Takes the device's mode and colour up again after a stop. Async-signal-safe.
void posix_take_up_again() {
  if (g_changed.load()) ::tcsetattr(g_changed_fd, TCSANOW, &g_current);
  int fd = g_coloured_fd.load();
  if (fd < 0) return;
  char sgr[16];
  int n = posix_sgr(g_colour.load(), sgr);
  if (::write(fd, sgr, static_cast<std::size_t>(n)) < 0) {
    // The terminal is gone.
  }
}

// Ctrl+C, Ctrl+\, a request to end and a crash (a fault, an abort, a trap):
// the files marked for the end go, the terminal is put back, then the
// signal's default action ends the process, with a core where the system
// keeps one (the handler was installed to reset itself and not to block its
// signal).
void posix_on_end_signal(int sig) {
  os_remove_marked_files();
  posix_put_back();
  ::raise(sig);
}

// Ctrl+Z: the terminal is put back for the shell and the process stops; on
// going on (SIGCONT) the device's mode and colour are taken up again.
void posix_on_stop_signal(int sig);

void posix_set_action(int sig, void (*handler)(int), unsigned flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = static_cast<int>(flags);
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
}

void posix_on_stop_signal(int sig) {
  int saved_errno = errno;
  posix_put_back();
  posix_set_action(sig, SIG_DFL, 0);
  ::raise(sig);  // stops here, unless the system drops the stop (an orphaned process group)
  posix_set_action(sig, posix_on_stop_signal, SA_RESTART | SA_NODEFER);
  posix_take_up_again();
  errno = saved_errno;
}

void posix_on_continue(int) {
  int saved_errno = errno;
  posix_take_up_again();
  errno = saved_errno;
}

void posix_at_exit() {
  posix_send_held();
  posix_put_back();
  g_changed.store(false);
  g_coloured_fd.store(-1);
}

// The normal end sends held output before it puts the colours back.
std::once_flag g_at_exit_once;
void posix_install_at_exit() {
  std::call_once(g_at_exit_once, [] { std::atexit(posix_at_exit); });
}

// A stack for the handlers of the thread that first changes the terminal
// (the main flow's): one whose own stack overflowed has no room left to run
// them on it. Kept where another already set one up.
alignas(16) char g_crash_stack[65536];
void posix_install_crash_stack() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE)) return;
  stack_t own{};
  own.ss_sp = g_crash_stack;
  own.ss_size = sizeof g_crash_stack;
  if (sigaltstack(&own, nullptr) != 0) {
    // Without it an overflow still ends the process, only with the terminal left as it is.
  }
}

struct Way {
  int sig;
  void (*handler)(int);
  unsigned flags;
};

// Installs handlers for the signals still at their default action. A signal
// that the process was started ignoring (or that someone else handles) is
// left as it is.
void posix_install_ways(const Way* ways, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    struct sigaction current {};
    if (sigaction(ways[i].sig, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
        !(current.sa_flags & SA_SIGINFO))
      posix_set_action(ways[i].sig, ways[i].handler, ways[i].flags);
  }
}

// The signals that end the process. SIGHUP is taken by the close watch
// where one runs (blocked everywhere else); this handler serves where none does.
constexpr Way END_WAYS[] = {{SIGINT, posix_on_end_signal, SA_RESETHAND | SA_NODEFER},
                            {SIGQUIT, posix_on_end_signal, SA_RESETHAND | SA_NODEFER},
                            {SIGTERM, posix_on_end_signal, SA_RESETHAND | SA_NODEFER},
                            {SIGHUP, posix_on_end_signal, SA_RESETHAND | SA_NODEFER}};

std::once_flag g_end_once;
void posix_install_end_ways() {
  std::call_once(g_end_once, [] { posix_install_ways(END_WAYS, std::size(END_WAYS)); });
}

// Installs the ways out once, before the terminal is first changed.
std::once_flag g_put_back_once;
void posix_install_put_back() {
  std::call_once(g_put_back_once, [] {
    posix_install_at_exit();
    posix_install_crash_stack();
    posix_install_end_ways();
    constexpr unsigned CRASH = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
    const Way ways[] = {{SIGTSTP, posix_on_stop_signal, SA_RESTART | SA_NODEFER},
                        {SIGCONT, posix_on_continue, SA_RESTART},
                        {SIGSEGV, posix_on_end_signal, CRASH},
                        {SIGBUS, posix_on_end_signal, CRASH},
                        {SIGABRT, posix_on_end_signal, CRASH},
                        {SIGFPE, posix_on_end_signal, CRASH},
                        {SIGILL, posix_on_end_signal, CRASH},
                        {SIGTRAP, posix_on_end_signal, CRASH},
                        {SIGSYS, posix_on_end_signal, CRASH},
                        {SIGXCPU, posix_on_end_signal, CRASH},
                        {SIGXFSZ, posix_on_end_signal, CRASH}};
    posix_install_ways(ways, std::size(ways));
  });
}

// Sets `mode` in place of the terminal's own mode `own`.
bool posix_change_mode(int fd, const termios& own, const termios& mode) {
  posix_install_put_back();
  g_changed_fd = fd;
  g_saved = own;
  g_current = mode;
  g_changed.store(true);
  if (::tcsetattr(fd, TCSANOW, &mode) == 0) return true;
  g_changed.store(false);
  return false;
}

// Puts the terminal's own mode back (the colours stay).
void posix_leave_mode() {
  g_key_mode = false;
  if (!g_changed.load()) return;
  ::tcsetattr(g_changed_fd, TCSANOW, &g_saved);
  g_changed.store(false);
}

// Key mode: no line editing, no echo, reads that never wait; Ctrl+C stays a
// signal. Set at the first poll and kept.
bool posix_key_mode(int fd) {
  if (g_key_mode && g_changed_fd == fd) return true;
  posix_leave_mode();
  termios own;
  if (::tcgetattr(fd, &own) != 0) return false;
  termios raw = own;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  g_key_mode = posix_change_mode(fd, own, raw);
  return g_key_mode;
}

// Takes one byte waiting at the terminal now, in key mode.
bool posix_waiting_byte(int fd, unsigned char* byte) {
  for (;;) {
    ssize_t n = ::read(fd, byte, 1);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

// Text shown on a terminal: a control character (C0 other than the device's
// own line end, DEL, C1) and a unit that stands for a byte outside UTF-8 or
// is half of a pair would drive the terminal or be shown as the terminal
// pleases (a file name holding an escape sequence retitles the window or
// clears the screen), so each such unit is shown as U+FFFD instead. With
// `line_end`, a CR LF at the very end is the device's own line end and kept.
std::string posix_terminal_bytes(std::u16string shown, bool line_end) {
  std::size_t end = shown.size();
  if (line_end && end >= 2 && shown[end - 2] == u'\r' && shown[end - 1] == u'\n') end -= 2;
  for (std::size_t i = 0; i < end; ++i) {
    char16_t u = shown[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < end && shown[i + 1] >= 0xDC00 && shown[i + 1] <= 0xDFFF) {
      ++i;  // a pair: one character beyond the BMP
      continue;
    }
    if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || (u >= 0xD800 && u <= 0xDFFF)) shown[i] = 0xFFFD;
  }
  return posix_to_bytes(shown);
}

// Keys typed ahead of a line read: what the program will read next.
std::string g_typed_ahead;

// Whether `c` is the terminal's key for the special character `index`.
bool posix_is_special(const termios& mode, int index, unsigned char c) {
  return mode.c_cc[index] != _POSIX_VDISABLE && c == mode.c_cc[index];
}

// Takes the typed-ahead keys up to and including the first line end (CR or
// LF) or end-of-input key into `line` (at most `room` bytes, with the erase
// key applied), as line editing would have; the count of keys taken.
std::size_t posix_typed_line(const termios& mode, char* line, std::size_t room, std::size_t* size, bool* ended) {
  std::size_t i = 0;
  *size = 0;
  *ended = false;
  while (i < g_typed_ahead.size() && *size < room) {
    auto c = static_cast<unsigned char>(g_typed_ahead[i++]);
    if (c == '\r' || c == '\n') {
      *ended = true;
      break;
    }
    if (posix_is_special(mode, VEOF, c)) break;
    if (posix_is_special(mode, VERASE, c) || c == 0x7F || c == 0x08) {
      // One character back: its continuation bytes, then its first byte.
      while (*size > 0 && (static_cast<unsigned char>(line[*size - 1]) & 0xC0) == 0x80) --*size;
      if (*size > 0) --*size;
      continue;
    }
    line[(*size)++] = static_cast<char>(c);
  }
  return i;
}

// The next key byte: typed ahead and left by a line read, or waiting at the terminal.
bool posix_next_byte(int fd, unsigned char* byte) {
  if (g_typed_ahead.empty()) return posix_waiting_byte(fd, byte);
  *byte = static_cast<unsigned char>(g_typed_ahead.front());
  g_typed_ahead.erase(0, 1);
  return true;
}

// Close event: the thread that waits for SIGHUP.
std::atomic<OsCtrlHandler> g_handler{nullptr};
std::once_flag g_watch_once;

void* posix_close_watch(void*) {
  sigset_t hup;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  for (;;) {
    int sig = 0;
    if (sigwait(&hup, &sig) != 0) continue;
    OsCtrlHandler handler = g_handler.load();
    if (handler && handler(OS_CTRL_CLOSE_EVENT)) continue;
    os_remove_marked_files();
    posix_put_back();
    // SIGHUP's default action, taken by this thread, ends the process.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGHUP, &dfl, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &hup, nullptr);
    pthread_kill(pthread_self(), SIGHUP);
    ::_exit(128 + SIGHUP);
  }
}

void posix_start_close_watch() {
  struct sigaction current {};
  sigaction(SIGHUP, nullptr, &current);
  if (current.sa_handler == SIG_IGN) return;  // nohup: the terminal's going away ends nothing
  sigset_t hup;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &hup, nullptr);
  // The watcher takes no asynchronous signal itself, so that the other
  // threads' choices decide where those go.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, posix_close_watch, nullptr) == 0) pthread_detach(thread);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

std::once_flag g_sigpipe_once;

}  // namespace

OsConsole os_console_std_input() { return 0; }

OsConsole os_console_std_output() { return 1; }

bool os_sys_console_write(OsConsole out, const char16_t* units, std::int32_t count) {
  if (!posix_is_terminal(out)) return false;
  // A terminal write counts as done even when it fails (a terminal that hung
  // up): the raw UTF-16 fallback is only for files and pipes.
  if (count > 0) {
    std::string bytes = posix_terminal_bytes(std::u16string(units, static_cast<std::size_t>(count)), true);
    posix_put(posix_fd(out), bytes.data(), bytes.size(), false);
  }
  return true;
}

std::int32_t os_sys_console_write_bytes(OsConsole out, const void* bytes, std::int32_t count) {
  // A reader that went away fails the write, as on Windows, instead of ending the process.
  std::call_once(g_sigpipe_once, [] {
    struct sigaction current {};
    sigaction(SIGPIPE, nullptr, &current);
    if (current.sa_handler != SIG_DFL) return;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
  });
  if (out < 0 || count < 0) return -1;
  if (g_held_failed == posix_fd(out)) {
    g_held_failed = -1;  // held bytes that were taken could not be sent: this write reports it and takes nothing
    return -1;
  }
  return posix_put(posix_fd(out), static_cast<const char*>(bytes), static_cast<std::size_t>(count), false) ? count
                                                                                                            : -1;
}

bool os_console_flush(OsConsole out) {
  // Held output stays held, unless it is a file's that is to be forced to disk.
  const bool held = out >= 0 && g_hold_fd == posix_fd(out);
  if (!held) posix_send_held();
  struct stat st;
  // A terminal (known without asking the system again) is never a file to sync.
  if (out < 0 || posix_is_terminal(out) || ::fstat(posix_fd(out), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (held && !posix_send_held()) return false;
  return ::fsync(posix_fd(out)) == 0;
}

bool os_console_attribute(OsConsole out, std::uint16_t* attribute) {
  if (!posix_is_terminal(out)) return false;
  *attribute = 7;
  return true;
}

bool os_console_set_attribute(OsConsole out, std::uint16_t attribute) {
  if (!posix_is_terminal(out)) return false;
  char sgr[16];
  int n = posix_sgr(attribute, sgr);
  posix_put(posix_fd(out), sgr, static_cast<std::size_t>(n), true);
  posix_install_put_back();
  g_colour.store(attribute);
  g_coloured_fd.store(posix_fd(out));
  return true;
}

bool os_console_set_title(const char16_t* title) {
  if (!posix_is_terminal(1)) return false;
  posix_send_held();
  // Control characters would end or change the sequence.
  std::string seq = "\x1b]0;";
  seq.append(posix_terminal_bytes(title ? title : u"", false));
  seq.push_back('\x07');
  return posix_write_all(1, seq.data(), seq.size());
}

bool os_console_hold(OsConsole out, bool hold) {
  if (out < 0) return false;
  const int fd = posix_fd(out);
  if (hold) {
    // One descriptor at a time: what another held goes out now.
    if (g_hold_fd != fd && g_hold_fd >= 0 && g_held_fd == g_hold_fd) posix_send_held();
    posix_install_at_exit();
    g_hold_fd = fd;
    return true;
  }
  if (g_hold_fd == fd) {
    g_hold_fd = -1;
    if (g_held_fd == fd) posix_send_held();
  }
  if (g_held_failed != fd) return true;
  g_held_failed = -1;  // reported now
  return false;
}

bool os_console_set_ctrl_handler(OsCtrlHandler handler) {
  g_handler.store(handler);
  std::call_once(g_watch_once, posix_start_close_watch);
  return true;
}

bool os_console_set_line_mode(OsConsole in) { return posix_is_terminal(in); }

std::int32_t os_console_read_line(OsConsole in, char16_t* buffer, std::int32_t capacity) {
  posix_send_held();  // what the terminal shows before the keys
  if (!posix_is_terminal(in) || capacity < 2) return -1;
  int fd = posix_fd(in);
  // Keys typed in key mode and not polled yet lead the line, as typed.
  unsigned char typed;
  while (g_key_mode && posix_waiting_byte(fd, &typed)) g_typed_ahead.push_back(static_cast<char>(typed));
  // The terminal's own mode for the line, or line mode when it has none;
  // the next key poll takes key mode up again.
  posix_leave_mode();
  termios own{};
  own.c_cc[VERASE] = 0x7F;
  own.c_cc[VEOF] = 0x04;
  if (::tcgetattr(fd, &own) == 0) {
    bool line_mode = (own.c_lflag & ICANON) && (own.c_lflag & ECHO) && (own.c_lflag & ISIG) && (own.c_iflag & ICRNL);
    if (!line_mode) {
      termios mode = own;
      mode.c_lflag |= ICANON | ECHO | ECHOE | ISIG;
      mode.c_iflag |= ICRNL;
      mode.c_iflag &= ~static_cast<tcflag_t>(INLCR | IGNCR);
      posix_change_mode(fd, own, mode);
    }
  }
  struct LeaveAfterRead {
    ~LeaveAfterRead() { posix_leave_mode(); }
  } leave_after_read;
  std::string bytes(static_cast<std::size_t>(capacity - 1), '\0');
  std::size_t size = 0;
  bool ended = false;
  bool typed_end = false;  // the end-of-input key, typed ahead on an empty line
  if (!g_typed_ahead.empty()) {
    std::size_t taken = posix_typed_line(own, bytes.data(), bytes.size(), &size, &ended);
    typed_end = !ended && size == 0 && taken > 0 &&
                posix_is_special(own, VEOF, static_cast<unsigned char>(g_typed_ahead[taken - 1]));
    g_typed_ahead.erase(0, taken);
    // Shown as the line's echo would have shown it.
    std::string echo = posix_terminal_bytes(posix_from_bytes(std::string_view(bytes.data(), size)), false);
    if (ended) echo.append("\r\n");
    posix_write_all(fd, echo.data(), echo.size());
  }
  // One canonical read gives at most one line. Text without a line end
  // (typed ahead, or sent with Ctrl+D) waits for the rest of its line.
  while (!ended && !typed_end && size < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + size, bytes.size() - size);
    if (n < 0 && posix_wait_readable(fd)) continue;
    if (n <= 0) break;  // end of input, or the terminal hung up
    size += static_cast<std::size_t>(n);
    if (bytes[size - 1] == '\n') {
      ended = true;
      --size;
      break;
    }
  }
  if (size == 0 && !ended) {
    buffer[0] = 0x1A;  // the end-of-input key on an empty line
    return 1;
  }
  std::u16string text = posix_from_bytes(std::string_view(bytes.data(), size));
  std::int32_t n = 0;
  for (char16_t u : text) buffer[n++] = u;
  if (ended) {
    buffer[n++] = u'\r';
    buffer[n++] = u'\n';
  }
  return n;
}

std::int32_t os_console_read_bytes(OsConsole in, void* buffer, std::int32_t count) {
  posix_send_held();  // what was written goes out before input is read
  if (in < 0 || count < 0) return -1;
  for (;;) {
    ssize_t n = ::read(posix_fd(in), buffer, static_cast<std::size_t>(count));
    if (n >= 0) return static_cast<std::int32_t>(n);
    if (!posix_wait_readable(posix_fd(in))) return -1;
  }
}

bool os_console_input_events(OsConsole in, std::uint32_t* count) {
  posix_send_held();  // what the terminal shows before the keys
  if (!posix_is_terminal(in)) return false;
  *count = 0;
  int waiting = 0;
  // Typed text becomes readable only outside line editing.
  if (posix_key_mode(posix_fd(in)) && ::ioctl(posix_fd(in), FIONREAD, &waiting) == 0 && waiting > 0)
    *count = static_cast<std::uint32_t>(waiting);
  *count += static_cast<std::uint32_t>(g_typed_ahead.size());
  return true;
}

std::int32_t os_console_read_input(OsConsole in, OsKeyPress* key) {
  posix_send_held();  // what the terminal shows before the keys
  if (!posix_is_terminal(in)) return 0;
  int fd = posix_fd(in);
  unsigned char first = 0;
  if (!posix_key_mode(fd) || !posix_next_byte(fd, &first)) return 0;
  *key = posix_read_key(first, [fd](unsigned char* b) { return posix_next_byte(fd, b); });
  return 1;
}

namespace {
// Whether a standard descriptor is a terminal does not change until it is
// replaced: asked once, not before every line printed.
std::atomic<signed char> g_std_terminal[3] = {-1, -1, -1};
}  // namespace

bool posix_is_terminal_fd(int fd) {
  if (fd < 0) return false;
  if (fd > 2) return ::isatty(fd) == 1;
  signed char known = g_std_terminal[fd].load(std::memory_order_relaxed);
  if (known < 0) {
    known = ::isatty(fd) == 1 ? 1 : 0;
    g_std_terminal[fd].store(known, std::memory_order_relaxed);
  }
  return known == 1;
}

void posix_terminal_changed(int fd) {
  if (fd >= 0 && fd <= 2) g_std_terminal[fd].store(-1, std::memory_order_relaxed);
}

void posix_install_end_signals() { posix_install_end_ways(); }

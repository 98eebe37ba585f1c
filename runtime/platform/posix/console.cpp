// POSIX backend: the console as a terminal (UTF-8, ANSI SGR colours, the
// title sequence, canonical line input and key polling), and the standard
// descriptors as plain files and pipes when they are not a terminal.
#include "platform/os_seam.h"
#include "platform/os_console.h"
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
#include <cstdlib>
#include <mutex>
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

// The terminal mode that a running call changed and must put back; the
// close-event thread puts it back too when the terminal goes away meanwhile.
std::atomic<bool> g_mode_changed{false};
int g_mode_fd = -1;
termios g_mode_saved;

void posix_restore_mode() {
  if (g_mode_changed.exchange(false)) ::tcsetattr(g_mode_fd, TCSANOW, &g_mode_saved);
}

// Switches a terminal to another mode for the life of the object. With
// `hold_signals` the signals that end or stop the process from the keyboard
// or by request wait until the mode is back, so that they never leave the
// terminal in the changed mode; they then take their default action.
class PosixModeWindow {
 public:
  PosixModeWindow(int fd, bool hold_signals) : fd_(fd), held_(hold_signals) {
    if (held_) {
      sigset_t block;
      sigemptyset(&block);
      for (int s : {SIGINT, SIGQUIT, SIGTSTP, SIGTERM}) sigaddset(&block, s);
      pthread_sigmask(SIG_BLOCK, &block, &old_mask_);
    }
    have_ = ::tcgetattr(fd, &saved_) == 0;
  }
  ~PosixModeWindow() {
    if (changed_) posix_restore_mode();
    if (held_) pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  PosixModeWindow(const PosixModeWindow&) = delete;
  PosixModeWindow& operator=(const PosixModeWindow&) = delete;

  bool have() const { return have_; }
  const termios& saved() const { return saved_; }

  bool set(const termios& mode) {
    g_mode_fd = fd_;
    g_mode_saved = saved_;
    g_mode_changed.store(true);
    changed_ = true;
    return ::tcsetattr(fd_, TCSANOW, &mode) == 0;
  }

 private:
  int fd_;
  bool held_;
  bool have_ = false;
  bool changed_ = false;
  termios saved_{};
  sigset_t old_mask_{};
};

// Key mode: no line editing, no echo, reads that never wait; Ctrl+C stays a signal.
bool posix_key_mode(PosixModeWindow& window) {
  if (!window.have()) return false;
  termios raw = window.saved();
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  return window.set(raw);
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

// Colours: the attribute's nibble has blue in bit 0 and red in bit 2, ANSI
// has them the other way round; bit 3 selects the bright colours.
int posix_ansi_colour(int nibble) { return ((nibble & 1) << 2) | (nibble & 2) | ((nibble & 4) >> 2); }

std::once_flag g_reset_once;
void posix_reset_colours() {
  if (posix_is_terminal_fd(1)) posix_write_all(1, "\x1b[0m", 4);
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
    posix_restore_mode();
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
    std::string bytes = posix_to_bytes(std::u16string_view(units, static_cast<std::size_t>(count)));
    posix_write_all(posix_fd(out), bytes.data(), bytes.size());
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
  return posix_write_all(posix_fd(out), static_cast<const char*>(bytes), static_cast<std::size_t>(count)) ? count
                                                                                                          : -1;
}

bool os_console_flush(OsConsole out) {
  struct stat st;
  if (out < 0 || ::fstat(posix_fd(out), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return ::fsync(posix_fd(out)) == 0;
}

bool os_console_attribute(OsConsole out, std::uint16_t* attribute) {
  if (!posix_is_terminal(out)) return false;
  *attribute = 7;
  return true;
}

bool os_console_set_attribute(OsConsole out, std::uint16_t attribute) {
  if (!posix_is_terminal(out)) return false;
  int fg = attribute & 15;
  int bg = (attribute >> 4) & 15;
  // Background 0 (black) is the terminal's own background.
  std::string sgr = "\x1b[0;";
  sgr.append(std::to_string(((fg & 8) ? 90 : 30) + posix_ansi_colour(fg & 7)));
  if (bg != 0) {
    sgr.push_back(';');
    sgr.append(std::to_string(((bg & 8) ? 100 : 40) + posix_ansi_colour(bg & 7)));
  }
  sgr.push_back('m');
  std::call_once(g_reset_once, [] { std::atexit(posix_reset_colours); });
  posix_write_all(posix_fd(out), sgr.data(), sgr.size());
  return true;
}

bool os_console_set_title(const char16_t* title) {
  if (!posix_is_terminal(1)) return false;
  std::u16string text;
  for (const char16_t* p = title; p && *p; ++p) {
    // Control characters would end or change the sequence.
    if (*p >= 0x20 && !(*p >= 0x7F && *p <= 0x9F)) text.push_back(*p);
  }
  std::string seq = "\x1b]0;";
  seq.append(posix_to_bytes(text));
  seq.push_back('\x07');
  return posix_write_all(1, seq.data(), seq.size());
}

bool os_console_set_ctrl_handler(OsCtrlHandler handler) {
  g_handler.store(handler);
  std::call_once(g_watch_once, posix_start_close_watch);
  return true;
}

bool os_console_set_line_mode(OsConsole in) { return posix_is_terminal(in); }

std::int32_t os_console_read_line(OsConsole in, char16_t* buffer, std::int32_t capacity) {
  if (!posix_is_terminal(in) || capacity < 2) return -1;
  int fd = posix_fd(in);
  PosixModeWindow window(fd, false);
  if (window.have()) {
    const termios& now = window.saved();
    bool line_mode = (now.c_lflag & ICANON) && (now.c_lflag & ECHO) && (now.c_lflag & ISIG) && (now.c_iflag & ICRNL);
    if (!line_mode) {
      termios mode = now;
      mode.c_lflag |= ICANON | ECHO | ECHOE | ISIG;
      mode.c_iflag |= ICRNL;
      mode.c_iflag &= ~static_cast<tcflag_t>(INLCR | IGNCR);
      window.set(mode);
    }
  }
  // One canonical read gives at most one line. Text without a line end
  // (left from key polling, or sent with Ctrl+D) waits for the rest of its line.
  std::string bytes(static_cast<std::size_t>(capacity - 1), '\0');
  std::size_t size = 0;
  bool ended = false;
  while (size < bytes.size()) {
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
  if (in < 0 || count < 0) return -1;
  for (;;) {
    ssize_t n = ::read(posix_fd(in), buffer, static_cast<std::size_t>(count));
    if (n >= 0) return static_cast<std::int32_t>(n);
    if (!posix_wait_readable(posix_fd(in))) return -1;
  }
}

bool os_console_input_events(OsConsole in, std::uint32_t* count) {
  if (!posix_is_terminal(in)) return false;
  *count = 0;
  PosixModeWindow window(posix_fd(in), true);
  int waiting = 0;
  // Typed text becomes readable only outside line editing.
  if (posix_key_mode(window) && ::ioctl(posix_fd(in), FIONREAD, &waiting) == 0 && waiting > 0)
    *count = static_cast<std::uint32_t>(waiting);
  return true;
}

std::int32_t os_console_read_input(OsConsole in, OsKeyPress* key) {
  if (!posix_is_terminal(in)) return 0;
  int fd = posix_fd(in);
  PosixModeWindow window(fd, true);
  unsigned char first = 0;
  if (!posix_key_mode(window) || !posix_waiting_byte(fd, &first)) return 0;
  *key = posix_read_key(first, [fd](unsigned char* b) { return posix_waiting_byte(fd, b); });
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

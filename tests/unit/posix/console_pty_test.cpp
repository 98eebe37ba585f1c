// The console device on a terminal: each case runs in a child process whose
// standard handles are a new pseudo-terminal; the test types into it, reads
// what the child shows and takes the child's results from a report pipe.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "console/con.h"
#include "core/rt.h"
#include "platform/os_process.h"
#include "platform/os_time.h"

namespace {

int g_report = -1;  // the child's end of the report pipe
int g_keys = 0;     // how many keys a key scenario waits for

void Report(const std::string& line) {
  std::string l = line + "\n";
  if (::write(g_report, l.data(), l.size()) < 0) std::_Exit(90);
}

std::string Hex(CStr s) {
  std::string out;
  char buf[8];
  for (; s && *s; ++s) {
    std::snprintf(buf, sizeof buf, "%04x", static_cast<unsigned>(*s));
    out += buf;
  }
  return out;
}

// Waits for a key press (con_inkey never waits) and reports "code char".
void ReportNextKey() {
  for (int i = 0; i < 5000; ++i) {
    CStr key = con_inkey();
    if (con_raw_key() != 0) {
      Report(std::to_string(con_raw_key()) + " " + Hex(key));
      return;
    }
    os_sleep(2);
  }
  Report("no key");
}

bool SameMode(const termios& a, const termios& b) {
  return a.c_lflag == b.c_lflag && a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
         a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

class PtyChild {
 public:
  // Starts `scenario` in a child on a new pseudo-terminal.
  explicit PtyChild(void (*scenario)()) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    std::fflush(stdout);
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      ::close(fds[0]);
      g_report = fds[1];
      scenario();
      std::_Exit(0);
    }
    ::close(fds[1]);
    report_ = fds[0];
  }
  ~PtyChild() {
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
    if (report_ >= 0) ::close(report_);
  }
  PtyChild(const PtyChild&) = delete;
  PtyChild& operator=(const PtyChild&) = delete;

  bool started() const { return pid_ > 0; }
  int master() const { return master_; }
  const std::string& shown() const { return shown_; }

  void Type(const std::string& keys) { ASSERT_EQ(::write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }

  // The next report line, taking what the terminal shows meanwhile; empty
  // when the child ends or nothing comes for a long time.
  std::string NextReport() {
    for (int rounds = 0; rounds < 300; ++rounds) {
      std::size_t nl = reports_.find('\n');
      if (nl != std::string::npos) {
        std::string line = reports_.substr(0, nl);
        reports_.erase(0, nl + 1);
        return line;
      }
      if (!Pump(100)) break;
    }
    return "";
  }

  // Takes what the terminal shows until `done()` holds; false when it never does.
  template <typename Done>
  bool WaitFor(Done done) {
    for (int rounds = 0; rounds < 300; ++rounds) {
      if (done()) return true;
      if (!Pump(10)) break;
    }
    return done();
  }

  void Signal(int sig) { ASSERT_EQ(::kill(pid_, sig), 0); }

  // Closes the terminal (the child's session then gets SIGHUP).
  void HangUp() {
    Pump(50);
    ::close(master_);
    master_ = -1;
  }

  // Waits for the child to end and returns its wait status.
  int Wait() {
    int status = 0;
    while (master_ >= 0 && Pump(50)) {
    }
    ::waitpid(pid_, &status, 0);
    waited_ = true;
    return status;
  }

 private:
  // Takes what is waiting on the report pipe and the terminal; false when
  // both are at their end. Only an end counts as one: a read or poll the
  // system interrupted, or one with nothing to give yet, is tried again on
  // the next round.
  bool Pump(int timeout_ms) {
    if (master_ < 0) master_ended_ = true;
    if (report_ended_ && master_ended_) return false;
    pollfd p[2] = {{report_ended_ ? -1 : report_, POLLIN, 0}, {master_ended_ ? -1 : master_, POLLIN, 0}};
    int n = ::poll(p, 2, timeout_ms);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    TakeFrom(p[0], reports_, report_ended_);
    TakeFrom(p[1], shown_, master_ended_);
    return !(report_ended_ && master_ended_);
  }

  // Appends what `p` has ready to `to`; `ended` once it is at its end.
  static void TakeFrom(const pollfd& p, std::string& to, bool& ended) {
    if (p.fd < 0 || p.revents == 0) return;
    char buf[4096];
    ssize_t k = ::read(p.fd, buf, sizeof buf);
    if (k > 0) to.append(buf, static_cast<std::size_t>(k));
    if (k == 0 || (k < 0 && errno != EINTR && errno != EAGAIN)) ended = true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  int report_ = -1;
  bool waited_ = false;
  bool report_ended_ = false;
  bool master_ended_ = false;
  std::string reports_;
  std::string shown_;
};

// Keys polled, then a line read, which puts the terminal's own mode back.
void KeysScenario() {
  termios before{};
  ::tcgetattr(0, &before);
  con_open(nullptr);
  CStr none = con_inkey();
  Report(std::to_string(con_raw_key()) + " " + Hex(none));
  for (int i = 0; i < g_keys; ++i) ReportNextKey();
  Report(Hex(con_read_line()));
  termios after{};
  ::tcgetattr(0, &after);
  Report(SameMode(before, after) ? "mode kept" : "mode changed");
}

// Keys and lines in turn, for keys typed ahead of a line read.
void TurnsScenario() {
  con_open(nullptr);
  ReportNextKey();
  Report(Hex(con_read_line()));
  ReportNextKey();
  Report(Hex(con_read_line()));
  Report(Hex(con_read_line()));
}

// A terminal that a program left without line editing: the editing keys
// reach the device too, and that mode is the one put back.
void UneditedKeysScenario() {
  termios mode{};
  ::tcgetattr(0, &mode);
  mode.c_lflag &= ~tcflag_t(ICANON | ECHO);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  ::tcsetattr(0, TCSANOW, &mode);
  KeysScenario();
}

void LineScenario() {
  con_open(nullptr);
  Report("ready");
  for (int i = 0; i < 3; ++i) Report(Hex(con_read_line()));
}

void ColourScenario() {
  con_open(u"T\u00e9st\x07");
  con_set_color(8, 0);
  con_print(u"A");
  con_set_color(12, 0);
  con_print(u"B");
  con_set_color(14, 0);
  con_print_line(u"C");
  con_set_color(15, 1);
  con_print(u"D\u00e9");
  con_set_color(16, 0);
  con_print(u"E");
  Report("done");
  std::exit(0);  // the normal way out, which puts the terminal's colours back
}

// Text with control characters, then a file name that ends in CR LF.
const char16_t CONTROLS[] = {u'a', 0x1B, u']', u'0', u';', u'T', 0x07, u'b', 0x1B, u'[', u'2', u'J', 0x7F, 0x9B,
                             0x08, u'\t', 0xDC9B, u'\r', u'\n', u'c', 0xD83D, 0xDE00, 0xD83D, u'd', 0};
void ControlsScenario() {
  con_open(nullptr);
  con_print_line(CONTROLS);
  con_print(u"name\r\n");
  Report("done");
}

// Held text and colours go out before a key poll and at the normal end,
// before the colours are put back.
void HeldScenario() {
  con_open(nullptr);
  con_hold(true);
  con_set_color(8, 0);
  con_print(u"A");
  con_set_color(10, 0);
  con_print_line(u"B");
  con_inkey();
  con_print(u"C");
  Report("done");
  std::exit(0);
}

// Programs whose close event is tested: the releases report themselves.
void ReportRelease() { Report("released"); }
void PollingLogic() {
  con_open(nullptr);
  Report("ready");
  for (;;) {
    con_inkey();
    os_sleep(5);
  }
}
void ReadingLogic() {
  con_open(nullptr);
  Report("ready");
  for (;;) con_read_line();
}
// Coloured text, then keys polled until a signal comes.
void ColouredPollingLogic() {
  con_open(nullptr);
  con_set_color(12, 0);
  con_print(u"red");
  con_inkey();
  Report("polling");
  for (;;) {
    con_inkey();
    os_sleep(5);
  }
}
// Coloured text and key polling, then a crash of its own on a key: "o"
// overflows the stack, "t" a started thread's stack, "a" aborts.
int Deeper(int n) {
  volatile char pad[512];
  pad[0] = static_cast<char>(n);
  return n > 0 ? Deeper(n - 1) + pad[0] : pad[0];
}
volatile int g_depth = 1 << 30;
void CrashingLogic() {
  con_open(nullptr);
  con_set_color(12, 0);
  con_print(u"red");
  con_inkey();
  Report("polling");
  for (;;) {
    CStr key = con_inkey();
    if (key && key[0] == u'o') Report(std::to_string(Deeper(g_depth)));
    if (key && key[0] == u't') std::thread([] {
        const OsCrashGuard guard;
        Report(std::to_string(Deeper(g_depth)));
      }).join();
    if (key && key[0] == u'a') std::abort();
    os_sleep(5);
  }
}
const RtProgram POLLING = {nullptr, nullptr, ReportRelease, PollingLogic};
const RtProgram COLOURED_POLLING = {nullptr, nullptr, ReportRelease, ColouredPollingLogic};
const RtProgram READING = {nullptr, nullptr, ReportRelease, ReadingLogic};
void PollingProgram() { rt_run(0, nullptr, POLLING); }
void ReadingProgram() { rt_run(0, nullptr, READING); }
void ColouredPollingProgram() { rt_run(0, nullptr, COLOURED_POLLING); }
const RtProgram CRASHING = {nullptr, nullptr, ReportRelease, CrashingLogic};
// Started with the system's own actions for the crash signals, as a program
// is (the test process's sanitizer may have put handlers there), and
// leaving no core behind.
void CrashingProgram() {
  const rlimit no_core = {0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) ::signal(sig, SIG_DFL);
  rt_run(0, nullptr, CRASHING);
}

// Whether the terminal (read through the master) echoes and edits lines.
bool Echoes(int master) {
  termios mode{};
  return ::tcgetattr(master, &mode) == 0 && (mode.c_lflag & (ICANON | ECHO)) == tcflag_t(ICANON | ECHO);
}

const char SGR_RESET[] = "\x1b[0m";

// Types each key and expects its report; then two keys typed before one
// call (the second waits for the next call). No key is echoed. Then a line
// is read, echoed and edited, and the terminal's own mode is back.
template <std::size_t N>
void ExpectKeys(PtyChild& child, const std::pair<std::string, std::string> (&keys)[N]) {
  for (const auto& [typed, expected] : keys) {
    EXPECT_FALSE(Echoes(child.master()));  // between two polls too
    child.Type(typed);
    EXPECT_EQ(child.NextReport(), expected) << "typed " << testing::PrintToString(typed);
  }
  child.Type("ab");
  EXPECT_EQ(child.NextReport(), "65 0061");
  EXPECT_EQ(child.NextReport(), "66 0062");
  ASSERT_TRUE(child.WaitFor([&] { return Echoes(child.master()); }));  // the line read has begun
  child.Type("ok\x7fK\r");
  EXPECT_EQ(child.NextReport(), "006f004b");
  EXPECT_EQ(child.NextReport(), "mode kept");
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(child.shown(), "ok\b \bK\r\n");  // the line's echo alone
}

}  // namespace

TEST(ConsolePty, KeysWithoutWaiting) {
  g_keys = 13;
  PtyChild child(KeysScenario);
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.NextReport(), "0 ");  // no key: the empty string and 0
  const std::pair<std::string, std::string> keys[] = {
      {"y", "89 0079"},      {"Y", "89 0059"},      {"\x1b", "27 001b"},   {"\r", "13 000d"},
      {"\x1b[A", "38 "},     {"\x1b[3~", "46 "},    {"\x1bOP", "112 "},    {"7", "55 0037"},
      {"\xc3\xa9", "231 00e9"}, {"\t", "9 0009"}, {"\x1b[1;5C", "39 "}};
  ExpectKeys(child, keys);
}

TEST(ConsolePty, EditingKeysOfAnUneditedTerminal) {
  g_keys = 14;
  PtyChild child(UneditedKeysScenario);
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.NextReport(), "0 ");
  const std::pair<std::string, std::string> keys[] = {
      {"\x7f", "8 0008"}, {"\x15", "85 0015"}, {"\x1b[15~", "116 "}, {"\x1b[5~", "33 "}, {"\x1b[H", "36 "},
      {"\x1by", "89 0079"}, {"\x1b\x1b", "27 001b"}, {"!", "49 0021"}, {"?", "191 003f"}, {"\x1b[99x", "255 "},
      {"\x1b[[B", "113 "}, {"\x1bOM", "13 000d"}};
  ExpectKeys(child, keys);
}

TEST(ConsolePty, LinesAreReadEdited) {
  PtyChild child(LineScenario);
  ASSERT_TRUE(child.started());
  ASSERT_EQ(child.NextReport(), "ready");
  child.Type("hello w\xc3\xb6rlx\x7f" "d\r");  // Backspace edits the line
  EXPECT_EQ(child.NextReport(), "00680065006c006c006f0020007700f60072006c0064");
  child.Type("\r");
  EXPECT_EQ(child.NextReport(), "");
  child.Type("\x04");  // Ctrl+D on an empty line: the end of input
  EXPECT_EQ(child.NextReport(), "0004");
  child.Wait();
  EXPECT_NE(child.shown().find("hello w\xc3\xb6rl"), std::string::npos);  // echoed
}

TEST(ConsolePty, KeysTypedAheadOfALineRead) {
  PtyChild child(TurnsScenario);
  ASSERT_TRUE(child.started());
  child.Type("xone\rztw\x7fwo\rth");  // one write while keys are polled
  EXPECT_EQ(child.NextReport(), "88 0078");
  EXPECT_EQ(child.NextReport(), "006f006e0065");
  EXPECT_EQ(child.NextReport(), "90 007a");
  EXPECT_EQ(child.NextReport(), "00740077006f");
  ASSERT_TRUE(child.WaitFor([&] { return Echoes(child.master()); }));
  child.Type("ree\r");
  EXPECT_EQ(child.NextReport(), "00740068007200650065");
  child.Wait();
}

TEST(ConsolePty, ColourAndTitleSequences) {
  PtyChild child(ColourScenario);
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.NextReport(), "done");
  child.Wait();
  const std::string& shown = child.shown();
  EXPECT_NE(shown.find("\x1b]0;T\xc3\xa9st\xEF\xBF\xBD\x07"), std::string::npos);
  std::size_t a = shown.find("\x1b[0;90mA"), b = shown.find("\x1b[0;91mB"), c = shown.find("\x1b[0;93mC\r");
  std::size_t d = shown.find("\x1b[0;97;44mD\xc3\xa9" "E"), reset = shown.rfind("\x1b[0m");
  EXPECT_NE(a, std::string::npos) << testing::PrintToString(shown);
  EXPECT_NE(b, std::string::npos);
  EXPECT_NE(c, std::string::npos);
  EXPECT_NE(d, std::string::npos);
  EXPECT_NE(reset, std::string::npos);
  EXPECT_TRUE(a < b && b < c && c < d && d < reset);
}

TEST(ConsolePty, HeldOutputKeepsItsBytes) {
  PtyChild child(HeldScenario);
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.NextReport(), "done");
  child.Wait();
  EXPECT_EQ(child.shown(), std::string("\x1b[0;90mA\x1b[0;92mB\r\r\nC") + SGR_RESET);
}

TEST(ConsolePty, CloseEventReleasesThenEnds) {
  for (void (*program)() : {PollingProgram, ReadingProgram}) {
    PtyChild child(program);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.NextReport(), "ready");
    child.HangUp();
    EXPECT_EQ(child.NextReport(), "released");
    EXPECT_EQ(child.NextReport(), "");  // once only
    int status = child.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
  }
}

TEST(ConsolePty, CtrlCKeepsItsDefaultAndTheMode) {
  PtyChild child(PollingProgram);
  ASSERT_TRUE(child.started());
  ASSERT_EQ(child.NextReport(), "ready");
  child.Type("\x03");
  int status = child.Wait();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  // The master reads the terminal's mode: line editing and echo are back on.
  termios after{};
  ASSERT_EQ(::tcgetattr(child.master(), &after), 0);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), tcflag_t(ICANON | ECHO));
}

TEST(ConsolePty, EndingSignalsPutModeAndColourBack) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    PtyChild child(ColouredPollingProgram);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.NextReport(), "polling");
    EXPECT_FALSE(Echoes(child.master())) << sig;
    child.Signal(sig);
    int status = child.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << " " << status;
    EXPECT_TRUE(Echoes(child.master())) << sig;
    const std::string& shown = child.shown();
    std::size_t red = shown.find("\x1b[0;91mred");
    EXPECT_NE(red, std::string::npos) << testing::PrintToString(shown);
    EXPECT_GT(shown.rfind(SGR_RESET), red) << sig;
  }
}

// A crash, sent or of the program's own making (an overflowed stack, an
// abort), leaves the terminal's mode and colours as they were found, and the
// process still ends by the crash's signal.
TEST(ConsolePty, CrashesPutModeAndColourBack) {
  struct Crash {
    const char* key;  // typed to crash, or null to send `sig`
    int sig;
  };
  const Crash crashes[] = {{nullptr, SIGSEGV}, {nullptr, SIGBUS}, {nullptr, SIGABRT}, {nullptr, SIGFPE},
                           {nullptr, SIGILL},  {nullptr, SIGTRAP}, {nullptr, SIGSYS}, {"o", SIGSEGV}, {"t", SIGSEGV},
                           {"a", SIGABRT}};
  for (const Crash& crash : crashes) {
    PtyChild child(CrashingProgram);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.NextReport(), "polling");
    EXPECT_FALSE(Echoes(child.master())) << crash.sig;
    if (crash.key) child.Type(crash.key);
    else child.Signal(crash.sig);
    int status = child.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == crash.sig) << crash.sig << " " << status;
    EXPECT_TRUE(Echoes(child.master())) << crash.sig;
    EXPECT_GT(child.shown().rfind(SGR_RESET), child.shown().find("\x1b[0;91mred")) << crash.sig;
  }
}

TEST(ConsolePty, ControlCharactersAreShownReplaced) {
  PtyChild child(ControlsScenario);
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.NextReport(), "done");
  child.Wait();
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  EXPECT_EQ(child.shown(), "a" + r + "]0;T" + r + "b" + r + "[2J" + r + r + r + r + r + r + r + "c\xF0\x9F\x98\x80" +
                               r + "d\r\r\n" + "name" + r + r);
}

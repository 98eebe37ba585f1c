// Quorith's per-file steps with the system calls failing under them: a
// failed write, read, close or allocation never yields "Saved as", the
// partial output is removed, the input stays as it was, and the next file
// is processed as usual. Also the output paths that are refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "common/tree.h"
#include "console/con.h"
#include "duplines/quorith.h"
#include "filesystem/fs.h"
#include "platform/os_seam.h"
#include "textfile/txt.h"
#include "quorith_capture.h"

namespace stdfs = std::filesystem;

namespace {

using namespace quorith_capture;

stdfs::path g_dir;
std::u16string g_inputs[2];

CStr Input(std::int32_t index) { return g_inputs[index].c_str(); }


// The faults. Each counts the calls it sees; `g_at` picks the one that fails.
int g_calls = 0;
int g_at = 0;
OsFile g_output = OS_NO_FILE;

OsFile RecordOutput(const char16_t* path, const char16_t* like, bool* exists) {
  g_output = os_system_calls().file_create_new(path, like, exists);
  return g_output;
}
OsFile CreateNewFails(const char16_t*, const char16_t*, bool* exists) {
  if (exists) *exists = false;
  return OS_NO_FILE;
}
OsFile CreateNewFailsAt(const char16_t* path, const char16_t* like, bool* exists) {
  if (++g_calls == g_at) return CreateNewFails(path, like, exists);
  return os_system_calls().file_create_new(path, like, exists);
}
// The bounded path from the first line on: the most partitions.
void Spill() { quorith_set_memory_budget(1); }
bool FlushFails(OsFile) { return false; }
bool ReplaceFails(const char16_t*, const char16_t*) { return false; }
std::int32_t WriteFails(OsFile f, const void* b, std::int32_t n) {
  return ++g_calls == g_at ? -1 : os_system_calls().file_write(f, b, n);
}
std::int32_t WriteComesShort(OsFile f, const void* b, std::int32_t n) {
  return ++g_calls == g_at ? os_system_calls().file_write(f, b, n - 1) : os_system_calls().file_write(f, b, n);
}
bool OutputCloseFails(OsFile f) {
  bool ok = os_system_calls().file_close(f);
  return f == g_output ? false : ok;
}
std::int32_t ReadFails(OsFile f, void* b, std::int32_t n) {
  return ++g_calls == g_at ? -1 : os_system_calls().file_read(f, b, n);
}
// Allocations of one size fail: the size picks the block (see the table).
std::size_t g_size_lo = 0, g_size_hi = 0;
bool Refused(std::size_t bytes) { return bytes >= g_size_lo && bytes <= g_size_hi; }
void* AllocOfSizeFails(OsHeap h, std::size_t bytes) {
  return Refused(bytes) ? nullptr : os_system_calls().heap_alloc(h, bytes);
}
void* ReallocOfSizeFails(OsHeap h, void* block, std::size_t bytes) {
  return Refused(bytes) ? nullptr : os_system_calls().heap_realloc(h, block, bytes);
}

constexpr int LONG_LINE = 5000;     // units; its string buffer is 2n + 10 bytes
constexpr int HUGE_LINE = 300000;   // bytes; crosses many refills of the file's buffer
constexpr int MANY_LINES = 110000;  // distinct lines: more than the tree's first array holds
constexpr int BLOCK_LINE = 40000;   // units: as the first line, more than the tree's first block of texts holds

// The text as UTF-16LE with its mark, for the lines that are copied as text.
std::string Utf16Le(const std::string& ascii) {
  std::string s = "\xFF\xFE";
  for (char c : ascii) s += std::string{c, '\0'};
  return s;
}

std::string Lines(int count, int repeat_every) {
  std::string s;
  for (int i = 0; i < count; ++i) s += std::to_string(repeat_every ? i % repeat_every : i) + "\n";
  return s;
}

class QuorithFaults : public testing::Test {
 protected:
  void SetUp() override {
    con_open(nullptr);
    txt_init();
    fs_init();
    tree_create(1, 10240);
    g_dir = stdfs::temp_directory_path() /
            ("quorith_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    stdfs::remove_all(g_dir);
    stdfs::create_directories(g_dir);
    g_inputs[0] = (g_dir / "in").u16string();
    g_inputs[1] = (g_dir / "next").u16string();
    Write(g_dir / "next", "x\nx\n");
    quorith_set_inputs(2, Input);
    g_console.clear();
    g_calls = 0;
    g_output = OS_NO_FILE;
    os_calls().console_write = CaptureUnits;
    os_calls().console_write_bytes = CaptureBytes;
  }
  void TearDown() override {
    os_calls_reset();
    quorith_set_memory_budget(0);
    quorith_set_inputs(0, nullptr);
    txt_close(TXT_ALL);
    stdfs::remove_all(g_dir);
  }
  // Runs the first file with the fault in place and the second without.
  void RunBoth() {
    quorith_file(0);
    OsCalls& calls = os_calls();
    auto write = calls.console_write;
    auto bytes = calls.console_write_bytes;
    os_calls_reset();
    calls.console_write = write;
    calls.console_write_bytes = bytes;
    quorith_file(1);
  }
};

struct Fault {
  const char* name;
  std::string input;
  void (*install)();
  const char16_t* message;  // followed by the input's or the output's path
  bool names_output;
};

const Fault FAULTS[] = {
    {"first write fails", Lines(6000, 3000), [] { g_at = 1, os_calls().file_write = WriteFails; },
     u"Cannot write out file: ", true},
    {"a later write fails", Lines(60000, 30000), [] { g_at = 2, os_calls().file_write = WriteFails; },
     u"Cannot write out file: ", true},
    {"a write comes short", Lines(6000, 3000), [] { g_at = 1, os_calls().file_write = WriteComesShort; },
     u"Cannot write out file: ", true},
    {"the last write fails", "a\na\n", [] { g_at = 1, os_calls().file_write = WriteFails; },
     u"Cannot write out file: ", true},
    {"closing the output fails", "a\na\n",
     [] { os_calls().file_create_new = RecordOutput, os_calls().file_close = OutputCloseFails; },
     u"Cannot write out file: ", true},
    {"forcing the output to the disk fails", "a\na\n", [] { os_calls().file_flush = FlushFails; },
     u"Cannot write out file: ", true},
    {"putting the output in its place fails", "a\na\n", [] { os_calls().file_replace = ReplaceFails; },
     u"Cannot write out file: ", true},
    // The bounded path (a budget of one byte) with its own data on disk.
    {"a write of partition data fails", Lines(6000, 3000),
     [] { Spill(), g_at = 1, os_calls().file_write = WriteFails; }, u"Cannot write out file: ", true},
    {"a write of kept line numbers fails", Lines(6000, 3000),
     [] { Spill(), g_at = 300, os_calls().file_write = WriteFails; }, u"Cannot write out file: ", true},
    {"a write of the bounded path's output fails", Lines(6000, 3000),
     [] { Spill(), g_at = 513, os_calls().file_write = WriteFails; }, u"Cannot write out file: ", true},
    {"a partition file cannot be created", Lines(6000, 3000),
     [] { Spill(), g_at = 3, os_calls().file_create_new = CreateNewFailsAt; }, u"Cannot write out file: ", true},
    {"a file of kept line numbers cannot be created", Lines(6000, 3000),
     [] { Spill(), g_at = 300, os_calls().file_create_new = CreateNewFailsAt; }, u"Cannot write out file: ", true},
    {"the output's temporary file cannot be created", "a\na\n", [] { os_calls().file_create_new = CreateNewFails; },
     u"Cannot create out file: ", true},
    {"a read fails mid-file", Lines(6000, 3000), [] { g_at = 3, os_calls().file_read = ReadFails; },
     u"Cannot read file: ", false},
    {"the tree's array can neither grow nor be made anew", Lines(MANY_LINES, 0) + "0\n",
     [] {  // its growth, and the fresh arrays of the bounded path
       g_size_lo = 1000000, g_size_hi = SIZE_MAX;
       os_calls().heap_alloc = AllocOfSizeFails, os_calls().heap_realloc = ReallocOfSizeFails;
     },
     u"Not enough memory: ", false},
    {"a node's text cannot be allocated", std::string(BLOCK_LINE, 'x') + "\na\na\n",
     [] {  // a block of its own: the units, a terminator and the block's header
       g_size_lo = 2 * BLOCK_LINE + 2, g_size_hi = 2 * BLOCK_LINE + 64, os_calls().heap_alloc = AllocOfSizeFails;
     },
     u"Not enough memory: ", false},
    {"the line cannot be assigned", Utf16Le("a\n" + std::string(LONG_LINE, 'x') + "\na\n"),
     [] { g_size_lo = g_size_hi = 2 * LONG_LINE + 10, os_calls().heap_realloc = ReallocOfSizeFails; },
     u"Not enough memory: ", false},
    {"the line buffer cannot grow", "a\n" + std::string(HUGE_LINE, 'y') + "\na\n",
     [] {
       g_size_lo = HUGE_LINE / 2, g_size_hi = 1000000;  // below the tree's first array
       os_calls().heap_alloc = AllocOfSizeFails, os_calls().heap_realloc = ReallocOfSizeFails;
     },
     u"Not enough memory: ", false},
};

}  // namespace

// The names in the test's directory, sorted.
std::set<std::string> Listing() {
  std::set<std::string> names;
  for (const auto& e : stdfs::directory_iterator(g_dir)) names.insert(e.path().filename().string());
  return names;
}

const std::string PREVIOUS = "an earlier run's output\r\n";

// Each fault, without an output of an earlier run and with one: the failed
// file leaves no output of its own and the earlier one byte for byte.
TEST_F(QuorithFaults, AFailedFileLeavesNoOutputAndTheNextGoesOn) {
  for (const Fault& f : FAULTS) {
    for (bool previous : {false, true}) {
      SCOPED_TRACE(std::string(f.name) + (previous ? ", over an earlier output" : ""));
      Write(g_dir / "in", f.input);
      stdfs::remove(g_dir / "next_new");
      stdfs::remove(g_dir / "in_new");
      if (previous) Write(g_dir / "in_new", PREVIOUS);
      g_console.clear();
      g_calls = 0;
      quorith_set_memory_budget(0);
      f.install();
      RunBoth();
      std::u16string path = f.names_output ? g_inputs[0] + u"_new" : g_inputs[0];
      EXPECT_NE(g_console.find(f.message + path + u"\r\n"), std::u16string::npos) << stdfs::path(g_console).string();
      std::size_t second = g_console.find(u"File 2 of 2");
      ASSERT_NE(second, std::u16string::npos);
      EXPECT_EQ(g_console.find(u"Saved as"), g_console.find(u"Saved as next_new"));
      EXPECT_EQ(g_console.find(u"DONE with", second), g_console.find(u"DONE with 2 strings", second));
      if (previous) {
        EXPECT_EQ(Read(g_dir / "in_new"), PREVIOUS);
      }
      std::set<std::string> expected = {"in", "next", "next_new"};
      if (previous) expected.insert("in_new");
      EXPECT_EQ(Listing(), expected);
      EXPECT_EQ(Read(g_dir / "in"), f.input);
      EXPECT_EQ(Read(g_dir / "next_new"), "x\r\n");
    }
  }
}

// ---- The end of the process at any moment ----

// The moments at which a run could be ended: before each call through the
// table, and at its end. At moment g_end_at the end happens: `g_end` runs
// as the end of the process would run it, and from then on what stands at
// the output path is checked at every call.
int g_moment = 0;
int g_end_at = 0;
void (*g_end)() = nullptr;
bool g_end_between_operations = false;  // g_end waits for the next console line
bool g_end_due = false;
bool g_in_end = false;
std::string g_expected_output;  // what the run is to write to in_new
bool g_had_output = false;      // whether in_new held PREVIOUS before the run
int g_bad_states = 0;

// Whether in_new is now what an end may leave: the earlier output whole (or
// none, when there was none), or the new output whole.
void CheckMoment(bool between_operations = false) {
  if (g_in_end) return;
  g_in_end = true;
  ++g_moment;
  if (g_moment == g_end_at && g_end) g_end_due = true;
  if (g_end_due && (!g_end_between_operations || between_operations)) {
    g_end_due = false;
    g_end();
  }
  std::error_code ec;
  bool there = stdfs::exists(g_dir / "in_new", ec);
  std::string now = there ? Read(g_dir / "in_new") : "";
  bool old_state = g_had_output ? there && now == PREVIOUS : !there;
  if (!old_state && !(there && now == g_expected_output)) ++g_bad_states;
  g_in_end = false;
}

std::int32_t MomentWrite(OsFile f, const void* b, std::int32_t n) {
  CheckMoment();
  return os_system_calls().file_write(f, b, n);
}
std::int32_t MomentRead(OsFile f, void* b, std::int32_t n) {
  CheckMoment();
  return os_system_calls().file_read(f, b, n);
}
bool MomentClose(OsFile f) {
  CheckMoment();
  return os_system_calls().file_close(f);
}
bool MomentFlush(OsFile f) {
  CheckMoment();
  return os_system_calls().file_flush(f);
}
OsFile MomentCreate(const char16_t* path, const char16_t* like, bool* exists) {
  CheckMoment();
  return os_system_calls().file_create_new(path, like, exists);
}
bool MomentReplace(const char16_t* from, const char16_t* to) {
  CheckMoment();
  return os_system_calls().file_replace(from, to);
}
bool MomentDelete(const char16_t* path) {
  CheckMoment();
  return os_system_calls().delete_file(path);
}
std::int32_t MomentConsole(OsConsole c, const void* bytes, std::int32_t count) {
  CheckMoment(true);
  return CaptureBytes(c, bytes, count);
}

void InstallMoments() {
  OsCalls& calls = os_calls();
  calls.file_write = MomentWrite;
  calls.file_read = MomentRead;
  calls.file_close = MomentClose;
  calls.file_flush = MomentFlush;
  calls.file_create_new = MomentCreate;
  calls.file_replace = MomentReplace;
  calls.delete_file = MomentDelete;
  calls.console_write_bytes = MomentConsole;
}

// Ctrl+C, SIGINT, SIGTERM, SIGQUIT: the marked files go, then the process ends.
void EndBySignal() { os_remove_marked_files(); }
// The console closing: the close event runs the library releases (the text
// files' among them) on its own thread, waiting for a text-file operation
// in progress; here it runs at the next console line of the main flow,
// where the main thread holds no lock.
void EndByClosing() { txt_shutdown(); }

// Runs `in` (a few dozen reads and writes, and progress lines)
// once for every moment at which it could be ended, with and without an
// earlier output, ended by a kill that no one sees (nothing runs: what the
// output path holds at each later moment is what a SIGKILL would leave), by
// a signal or by the console closing. The output path is never anything but
// the earlier output or the new one whole, and after a signal or the
// closing no temporary file is left.
TEST_F(QuorithFaults, AnEndAtAnyMomentLeavesTheEarlierOutputOrTheNewOne) {
  std::string in;
  for (int i = 0; i < 11000; ++i) in += "line " + std::to_string(i % 7000) + "\n";
  std::string expected;
  for (int i = 0; i < 7000; ++i) expected += "line " + std::to_string(i) + "\r\n";
  Write(g_dir / "in", in);
  struct Way {
    const char* name;
    void (*end)();
    bool between_operations;
  };
  const Way ways[] = {
      {"a kill", nullptr, false}, {"a signal", EndBySignal, false}, {"the console closing", EndByClosing, true}};
  g_expected_output = expected;
  // In memory, and the bounded path with its temporary files (which only
  // the ends that the process sees delete).
  for (std::int64_t budget : {0, 200000}) {
    SCOPED_TRACE("budget " + std::to_string(budget));
    quorith_set_memory_budget(budget);
    // The moments of one whole run.
    g_end_at = 0;
    g_moment = 0;
    InstallMoments();
    quorith_file(0);
    int moments = g_moment + 1;
    os_calls_reset();
    os_calls().console_write = CaptureUnits;
    ASSERT_EQ(Read(g_dir / "in_new"), expected);
    ASSERT_GT(moments, 12);
    for (const Way& way : ways) {
      if (budget && !way.end) continue;
      for (bool previous : {false, true}) {
        if (budget && !previous) continue;
        for (int at = 1; at <= moments; ++at) {
          SCOPED_TRACE(std::string(way.name) + " at moment " + std::to_string(at) +
                       (previous ? ", over an earlier output" : ""));
          stdfs::remove(g_dir / "in_new");
          if (previous) Write(g_dir / "in_new", PREVIOUS);
          g_had_output = previous;
          g_end_at = at;
          g_end = way.end;
          g_end_between_operations = way.between_operations;
          g_end_due = false;
          g_moment = 0;
          g_bad_states = 0;
          InstallMoments();
          quorith_file(0);
          CheckMoment(true);
          os_calls_reset();
          os_calls().console_write = CaptureUnits;
          txt_close(TXT_ALL);
          EXPECT_EQ(g_bad_states, 0);
          if (way.end) {
            std::set<std::string> names = Listing();
            names.erase("in_new");
            EXPECT_EQ(names, (std::set<std::string>{"in", "next"}));
          }
          if (HasFailure()) return;
        }
      }
    }
  }
}

// Output paths that would write an input, or a file of another name.
TEST_F(QuorithFaults, OutputPathsThatLeadToOtherFilesAreRefused) {
  struct Case {
    const char* name;
    void (*arrange)();
  };
  static const Case CASES[] = {
      {"a hard link to the input", [] { stdfs::create_hard_link(g_dir / "in", g_dir / "in_new"); }},
      {"a hard link to another file", [] { stdfs::create_hard_link(g_dir / "victim", g_dir / "in_new"); }},
      {"another input of the run", [] {
         stdfs::copy_file(g_dir / "victim", g_dir / "in_new");
         g_inputs[1] = (g_dir / "in_new").u16string();
       }},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    const std::string input = "a\na\nb\n";
    Write(g_dir / "in", input);
    Write(g_dir / "victim", "victim\n");
    stdfs::remove(g_dir / "in_new");
    g_inputs[1] = (g_dir / "next").u16string();
    c.arrange();
    quorith_set_inputs(2, Input);
    g_console.clear();
    quorith_file(0);
    EXPECT_NE(g_console.find(u"Cannot create out file: " + g_inputs[0] + u"_new\r\n"), std::u16string::npos);
    EXPECT_EQ(Read(g_dir / "in"), input);
    EXPECT_EQ(Read(g_dir / "victim"), "victim\n");
    EXPECT_EQ(Read(g_dir / "in_new"), stdfs::equivalent(g_dir / "in_new", g_dir / "in") ? input : "victim\n");
  }
}

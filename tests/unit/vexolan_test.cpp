// Vexolan's scan: files that share a fingerprint but not their contents are
// never deleted, and each deletion is confirmed at the moment of removal;
// faults are injected through the platform's table of system calls while
// the production pipeline runs.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>
#include <set>
#include <string>

#include "console/con.h"
#include "core/tm.h"
#include "dupfiles/engine.h"
#include "filesystem/fs.h"
#include "platform/os_seam.h"
#include "regex/rx.h"

namespace stdfs = std::filesystem;

namespace {

stdfs::path g_dir;

void Write(const stdfs::path& p, const std::string& data) {
  std::ofstream(p, std::ios::binary) << data;
}

// What a test does at one file's turn (by the file's name), once.
std::string g_turn_name;
void (*g_turn_action)() = nullptr;
void OnTurn(std::int32_t, CStr path) {
  if (g_turn_action && stdfs::path(std::u16string(path)).filename() == g_turn_name) {
    auto act = g_turn_action;
    g_turn_action = nullptr;
    act();
  }
}
void AtTurnOf(const std::string& name, void (*action)()) {
  g_turn_name = name;
  g_turn_action = action;
}

// One run below g_dir, as after the Y key.
void Scan() {
  const std::int32_t start_ms = tm_elapsed_ms();
  VexolanRun run(g_dir.u16string().c_str(), OnTurn);
  run.process(start_ms);
}

// What the scan printed.
std::u16string g_out;
bool Capture(OsConsole, const char16_t* units, std::int32_t count) {
  g_out.append(units, static_cast<std::size_t>(count));
  return true;
}

// Files opened by the fingerprint and the look-ahead go through the table's
// open; those held for a deletion's last comparison do not. A test acts on
// the reads of the latter.
std::mutex g_seam_lock;
std::set<OsFile> g_plain_files;
int g_held_reads = 0;
void (*g_on_held_read)(int nth) = nullptr;  // before the nth read of a held file (0-based)
bool g_fail_plain_reads = false;  // every read of a plain file after its first fails
std::set<OsFile> g_plain_read_once;

OsFile OpenPlain(const char16_t* path, bool share) {
  OsFile f = os_system_calls().file_open_read(path, share);
  std::lock_guard g(g_seam_lock);
  if (f != OS_NO_FILE) g_plain_files.insert(f);
  return f;
}
bool ClosePlain(OsFile f) {
  {
    std::lock_guard g(g_seam_lock);
    g_plain_files.erase(f);
    g_plain_read_once.erase(f);
  }
  return os_system_calls().file_close(f);
}
std::int32_t ReadWatched(OsFile f, void* buffer, std::int32_t bytes) {
  int nth = -1;
  {
    std::lock_guard g(g_seam_lock);
    if (!g_plain_files.count(f)) nth = g_held_reads++;
    else if (g_fail_plain_reads && !g_plain_read_once.insert(f).second) return -1;
  }
  if (nth >= 0 && g_on_held_read) g_on_held_read(nth);
  if (nth >= 0 && g_on_held_read == nullptr && nth >= 2) return -1;  // failing in the middle of the files
  return os_system_calls().file_read(f, buffer, bytes);
}
void WatchHeldReads(void (*on_read)(int), bool fail_plain_reads = false) {
  g_held_reads = 0;
  g_fail_plain_reads = fail_plain_reads;
  g_plain_read_once.clear();
  g_on_held_read = on_read;
  os_calls().file_open_read = OpenPlain;
  os_calls().file_close = ClosePlain;
  os_calls().file_read = ReadWatched;
}

bool Contains(const std::u16string& text, const std::u16string& part) { return text.find(part) != std::u16string::npos; }
std::u16string U16(const stdfs::path& p) { return p.u16string(); }

class VexolanScan : public testing::Test {
 protected:
  void SetUp() override {
    con_open(nullptr);
    fs_init();
    rx_init();
    g_dir = stdfs::temp_directory_path() / ("vexolan_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    stdfs::remove_all(g_dir);
    stdfs::create_directories(g_dir);
    g_out.clear();
    os_calls().console_write = Capture;
  }
  void TearDown() override {
    os_calls_reset();
    g_turn_action = nullptr;
    stdfs::remove_all(g_dir);
  }
};

}  // namespace

// The kept a.txt changes after its turn: c.txt had its contents then, so it
// meets its fingerprint, but is not its copy now.
TEST_F(VexolanScan, SharedFingerprintWithDifferentContentsKeepsBoth) {
  Write(g_dir / "a.txt", "one");
  Write(g_dir / "b.txt", "two");
  Write(g_dir / "c.txt", "one");
  Write(g_dir / "d.txt", "two");
  AtTurnOf("c.txt", [] { Write(g_dir / "a.txt", "one, then more"); });
  Scan();
  EXPECT_EQ(files_passed, 4);
  EXPECT_EQ(duplicates_removed, 1);  // d equals the kept b
  EXPECT_EQ(delete_failures, 0);
  EXPECT_TRUE(Contains(g_out, u"Hash collision, file kept: " + U16(g_dir / "c.txt")));
  EXPECT_TRUE(stdfs::exists(g_dir / "c.txt"));
  EXPECT_FALSE(stdfs::exists(g_dir / "d.txt"));
}

TEST_F(VexolanScan, AnUnconfirmedDuplicateCountsAsAFailedDeletion) {
  Write(g_dir / "a.txt", "one");
  Write(g_dir / "b.txt", "one");
  AtTurnOf("b.txt", [] { stdfs::remove(g_dir / "a.txt"); });
  Scan();
  EXPECT_EQ(files_passed, 2);
  EXPECT_EQ(duplicates_removed, 0);
  EXPECT_EQ(delete_failures, 1);
  EXPECT_TRUE(stdfs::exists(g_dir / "b.txt"));
}

// From a turn on, a is not opened (the look-ahead's threads read it meanwhile).
std::atomic<bool> g_a_unreadable{false};

// Files that change between the look-ahead and their turn are seen as they
// are at their turn, as if each file were read only then.
TEST_F(VexolanScan, EachFileIsTakenAsItStandsAtItsTurn) {
  struct Case {
    const char* name;
    const char* turn;  // the file at whose turn the change is made
    void (*change)();
    const char* line;  // printed for `lined`
    const char* lined;
    std::int32_t passed, removed;
    std::vector<const char*> left;
  } cases[] = {
      {"a kept file removed before its turn", "a", [] { stdfs::remove(g_dir / "a"); }, "File not found or invalid: ", "a",
       3, 0, {"b", "c", "d"}},
      {"a copy rewritten before its turn", "b", [] { Write(g_dir / "b", "rewritten"); }, nullptr, nullptr, 4, 0,
       {"a", "b", "c", "d"}},
      {"a copy rewritten as a later file", "b", [] { Write(g_dir / "b", "other"); }, " del '", "c", 4, 1, {"a", "b", "d"}},
      // c's contents are no other file's when planned, so its key waits for d to be met.
      {"a file rewritten as an earlier one that had no copy", "d", [] { Write(g_dir / "d", "other"); }, " del '", "d", 4,
       2, {"a", "c"}},
      // Read afresh, b can only be told apart from a by a's bytes.
      {"a kept file unreadable at a rewritten copy's turn", "b",
       [] {
         Write(g_dir / "b", "same");
         g_a_unreadable = true;
       },
       "Cannot build hash: ", "b", 3, 0, {"a", "b", "c", "d"}},
  };
  for (const Case& c : cases) {
    stdfs::remove_all(g_dir);
    stdfs::create_directories(g_dir);
    g_out.clear();
    Write(g_dir / "a", "same");
    Write(g_dir / "b", "same");
    Write(g_dir / "c", "other");
    Write(g_dir / "d", "dddd");
    AtTurnOf(c.turn, c.change);
    g_a_unreadable = false;
    os_calls().file_open_read = [](const char16_t* path, bool share) {
      return g_a_unreadable && stdfs::path(std::u16string(path)).filename() == "a"
                 ? OS_NO_FILE
                 : os_system_calls().file_open_read(path, share);
    };
    Scan();
    EXPECT_EQ(files_passed, c.passed) << c.name;
    EXPECT_EQ(duplicates_removed, c.removed) << c.name;
    EXPECT_EQ(delete_failures, 0) << c.name;
    EXPECT_FALSE(Contains(g_out, u"Hash collision")) << c.name;
    if (c.line) {
      const std::u16string lined = std::string(c.line) == " del '" ? u" del '" + U16(c.lined) : U16(c.line) + U16(g_dir / c.lined);
      EXPECT_TRUE(Contains(g_out, lined)) << c.name;
    }
    std::set<std::string> left;
    for (const auto& e : stdfs::directory_iterator(g_dir)) left.insert(e.path().filename().string());
    EXPECT_EQ(left, std::set<std::string>(c.left.begin(), c.left.end())) << c.name;
  }
}

// A deletion thread that is slow to finish, held by the test until a
// later moment of the run.
std::mutex g_hold_lock;
std::condition_variable g_hold_cv;
bool g_released = false;
void Release() {
  std::lock_guard g(g_hold_lock);
  g_released = true;
  g_hold_cv.notify_all();
}
void AwaitRelease() {
  std::unique_lock g(g_hold_lock);
  g_hold_cv.wait_for(g, std::chrono::seconds(20), [] { return g_released; });  // a guard against a hang only
}

// c is b under a second path (one entry reached twice, as through a bind
// mount): when b's deletion is still under way at c's turn, c is seen after
// it, gone, as the sequential flow would see it.
TEST_F(VexolanScan, AnotherPathOfAFileBeingDeletedIsSeenAfterTheDeletion) {
  Write(g_dir / "a", "same");
  Write(g_dir / "b", "same");
  stdfs::create_hard_link(g_dir / "b", g_dir / "c");
  g_released = false;
  os_calls().entry_delete = [](const char16_t* path, std::int32_t root, OsHeldEntry* e, bool force) {
    AwaitRelease();
    bool ok = os_system_calls().entry_delete(path, root, e, force);
    std::error_code ec;
    stdfs::remove(g_dir / "c", ec);
    return ok;
  };
  AtTurnOf("c", Release);
  Scan();
  EXPECT_TRUE(Contains(g_out, u"File not found or invalid: " + U16(g_dir / "c")));
  EXPECT_EQ(duplicates_removed, 1);
  EXPECT_EQ(delete_failures, 0);
}

// The lines come in list order whatever order the deletions end in.
TEST_F(VexolanScan, DeletionLinesFollowTheListOrder) {
  for (const char* name : {"a", "b", "c", "d"}) Write(g_dir / name, "same");
  g_released = false;
  os_calls().entry_delete = [](const char16_t* path, std::int32_t root, OsHeldEntry* e, bool force) {
    const bool first = stdfs::path(std::u16string(path)).filename() == "b";
    if (first) AwaitRelease();
    bool ok = os_system_calls().entry_delete(path, root, e, force);
    if (stdfs::path(std::u16string(path)).filename() == "d") Release();
    return ok;
  };
  Scan();
  EXPECT_EQ(duplicates_removed, 3);
  const std::size_t b = g_out.find(u" del 'b'"), c = g_out.find(u" del 'c'"), d = g_out.find(u" del 'd'");
  EXPECT_TRUE(b < c && c < d && d != std::u16string::npos) << std::string(g_out.begin(), g_out.end());
}

TEST_F(VexolanScan, RealFingerprintsDeleteTheLaterCopies) {
  stdfs::create_directories(g_dir / "a");
  stdfs::create_directories(g_dir / "B");
  Write(g_dir / "a" / "x.txt", "same");
  Write(g_dir / "B" / "x.txt", "same");
  Write(g_dir / "B" / "y.txt", "other");
  Scan();
  EXPECT_EQ(file_count, 3);
  EXPECT_EQ(duplicates_removed, 1);
  EXPECT_TRUE(stdfs::exists(g_dir / "a" / "x.txt"));
  EXPECT_FALSE(stdfs::exists(g_dir / "B" / "x.txt"));
  EXPECT_TRUE(stdfs::exists(g_dir / "B" / "y.txt"));
}

// The console is the only other writer: when it fails, the scan decides,
// deletes and counts as it would have.
TEST_F(VexolanScan, AFailingConsoleChangesNoDecision) {
  Write(g_dir / "a.txt", "same");
  Write(g_dir / "b.txt", "same");
  Write(g_dir / "c.txt", "other");
  os_calls().console_write = [](OsConsole, const char16_t*, std::int32_t) { return false; };
  os_calls().console_write_bytes = [](OsConsole, const void*, std::int32_t) { return -1; };
  Scan();
  EXPECT_EQ(files_passed, 3);
  EXPECT_EQ(duplicates_removed, 1);
  EXPECT_EQ(delete_failures, 0);
  EXPECT_TRUE(stdfs::exists(g_dir / "a.txt"));
  EXPECT_FALSE(stdfs::exists(g_dir / "b.txt"));
  EXPECT_TRUE(stdfs::exists(g_dir / "c.txt"));
}

// The list's names fill one block of the heap, and the next cannot be had:
// the run says so and deletes nothing from a list that is not the whole tree.
TEST_F(VexolanScan, AWalkShortOfMemoryDeletesNothing) {
  constexpr int FILES = 600;  // of names long enough to need a second block
  for (int k = 0; k < FILES; ++k) Write(g_dir / (std::to_string(1000 + k) + std::string(200, 'x')), "same");
  os_calls().heap_alloc = [](OsHeap h, std::size_t bytes) -> void* {
    static int blocks = 0;
    if (bytes == 16384 * sizeof(void*) && ++blocks == 2) return nullptr;
    return os_system_calls().heap_alloc(h, bytes);
  };
  Scan();
  EXPECT_TRUE(Contains(g_out, u"Not enough memory"));
  EXPECT_GT(file_count, 0);
  EXPECT_LT(file_count, FILES);
  EXPECT_EQ(duplicates_removed, 0);
  std::size_t left = 0;
  for (const auto& e : stdfs::directory_iterator(g_dir)) left += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(left, static_cast<std::size_t>(FILES));
}

TEST_F(VexolanScan, AFailedDeletionIsReportedAndCounted) {
  Write(g_dir / "a.txt", "same");
  Write(g_dir / "b.txt", "same");
  os_calls().entry_delete = [](const char16_t*, std::int32_t, OsHeldEntry*, bool) { return false; };
  Scan();
  EXPECT_TRUE(Contains(g_out, u" del 'b.txt' .. "));
  EXPECT_TRUE(Contains(g_out, u" FAILED"));
  EXPECT_TRUE(Contains(g_out, u"failed to delete file: " + U16(g_dir / "b.txt")));
  EXPECT_TRUE(Contains(g_out, u"2 files passed / 0 duplicates removed [+1 failed]"));
  EXPECT_EQ(delete_failures, 1);
  EXPECT_TRUE(stdfs::exists(g_dir / "b.txt"));
}

// Files beyond one read of the last comparison, whose reads fail part-way.
TEST_F(VexolanScan, AReadFailureInTheLastComparisonDeletesNothing) {
  const std::string big(600000, 'z');
  Write(g_dir / "a.bin", big);
  Write(g_dir / "b.bin", big);
  WatchHeldReads(nullptr);
  Scan();
  EXPECT_TRUE(stdfs::exists(g_dir / "b.bin"));
  EXPECT_EQ(duplicates_removed, 0);
  EXPECT_EQ(delete_failures, 1);
  EXPECT_TRUE(Contains(g_out, u"failed to delete file: " + U16(g_dir / "b.bin")));
}

// Every read by the fingerprints and the look-ahead fails after a file's
// first: nothing can be shown equal, so nothing is deleted.
TEST_F(VexolanScan, ReadFailuresInTheLookAheadDeleteNothing) {
  const std::string big(3 << 20, 'q');  // more than one read of the look-ahead
  Write(g_dir / "a.bin", big);
  Write(g_dir / "b.bin", big);
  Write(g_dir / "c.bin", big);
  WatchHeldReads([](int) {}, true);
  Scan();
  EXPECT_EQ(duplicates_removed, 0);
  for (const char* name : {"a.bin", "b.bin", "c.bin"}) EXPECT_TRUE(stdfs::exists(g_dir / name)) << name;
}

// The kept file is rewritten after the decision, just before the last
// comparison reads it: its former twin must stay. (Windows holds the kept
// file against writing meanwhile, so there the rewrite cannot happen and
// the copy is rightly deleted.)
bool g_rewritten = false;
TEST_F(VexolanScan, TheLastComparisonReadsTheKeptFileAsItIsThen) {
  Write(g_dir / "a.txt", "original contents");
  Write(g_dir / "b.txt", "original contents");
  g_rewritten = false;
  WatchHeldReads([](int nth) {
    if (nth != 0) return;
    std::ofstream f(g_dir / "a.txt", std::ios::binary | std::ios::in | std::ios::out);
    g_rewritten = f && (f << "changed!").flush();
  });
  Scan();
  EXPECT_EQ(files_passed, 2);
  EXPECT_GT(g_held_reads, 0);  // the deletion read both files once more
  if (g_rewritten) {
    EXPECT_TRUE(stdfs::exists(g_dir / "b.txt"));
    EXPECT_EQ(delete_failures, 1);
  } else {
    EXPECT_FALSE(stdfs::exists(g_dir / "b.txt"));
  }
}

// "/" sorts as "\" does on Windows, after the digits: photos2 comes first
// and its copy is kept on both systems.
TEST_F(VexolanScan, TheSeparatorSortsAsABackslash) {
  stdfs::create_directories(g_dir / "photos");
  stdfs::create_directories(g_dir / "photos2");
  Write(g_dir / "photos" / "img.jpg", "picture");
  Write(g_dir / "photos2" / "img.jpg", "picture");
  Scan();
  EXPECT_EQ(duplicates_removed, 1);
  EXPECT_TRUE(stdfs::exists(g_dir / "photos2" / "img.jpg"));
  EXPECT_FALSE(stdfs::exists(g_dir / "photos" / "img.jpg"));
}

// The deletion thread's own check, on both systems: another file, equal
// bytes, still reachable; read-only is forced.
TEST_F(VexolanScan, TheDeletionThreadConfirmsEachCopy) {
  Write(g_dir / "keep", "same");
  Write(g_dir / "copy", "same");
  Write(g_dir / "ro", "same");
  Write(g_dir / "other", "diff");
  stdfs::create_hard_link(g_dir / "keep", g_dir / "hard");
  stdfs::permissions(g_dir / "ro", stdfs::perms::owner_write | stdfs::perms::group_write | stdfs::perms::others_write,
                     stdfs::perm_options::remove);
  const std::int32_t root = static_cast<std::int32_t>(U16(g_dir).size()) + 1;
  struct Case {
    const char* path;
    const char* kept;
    std::int32_t deleted;
  } cases[] = {{"other", "keep", 0}, {"hard", "keep", 0}, {"copy", "missing", 0}, {"ro", "keep", 1}, {"copy", "keep", 1}};
  for (const Case& c : cases)
    EXPECT_EQ(deleter_confirm_and_delete(U16(g_dir / c.path).c_str(), U16(g_dir / c.kept).c_str(), root), c.deleted)
        << c.path;
  for (const char* left : {"keep", "hard", "other"}) EXPECT_TRUE(stdfs::exists(g_dir / left)) << left;
  EXPECT_FALSE(stdfs::exists(g_dir / "copy"));
  EXPECT_FALSE(stdfs::exists(g_dir / "ro"));
}

// Vexolan's main flow: banner, path check, warning, the Y prompt (or the
// prank), then collection, sort, fingerprints, deletion and the summary.
#include "dupfiles/vexolan.h"

#include <deque>
#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "common/status.h"
#include "common/tree.h"
#include "common/version_note.h"
#include "console/con.h"
#include "core/arr.h"
#include "core/tm.h"
#include "dupfiles/collect.h"
#include "dupfiles/deleter.h"
#include "dupfiles/plan.h"
#include "filesystem/fs.h"
#include "fingerprint/fp.h"
#include "regex/rx.h"

Str scan_path = nullptr;
Str* file_list = nullptr;
std::int32_t file_count = 0;
std::int32_t files_passed = 0;
std::int32_t duplicates_removed = 0;
std::int32_t delete_failures = 0;

namespace {

Str current_file = nullptr;
Str current_hash = nullptr;
std::int32_t start_ms = 0;
bool g_ahead = false;  // the look-ahead was started for this collection
std::int32_t g_root_length = 0;  // units of the scanned directory's path, separator included, in every collected path

constexpr std::int32_t KEY_Y = 89;
constexpr std::int32_t PROGRESS_EVERY = 10240;

CStr vexolan_md5(CStr path) { return fp_file_fingerprint(path, FP_PLUGIN_MD5); }
VexolanHashFn g_hash_fn = vexolan_md5;

// The first file kept for each fingerprint, and any kept after it because
// their contents differ though the fingerprint is the same.
std::unordered_map<std::u16string, std::vector<std::int32_t>> g_kept;

void vexolan_count_line(std::int32_t passed, std::int32_t removed, std::int32_t failed, CStr bracket) {
  StrBuild line;
  line << passed << u" files passed / " << removed << u" duplicates removed " << bracket << failed << u" failed]";
  print_status(line.c_str(), 1, 11);
}

enum class Verdict { Duplicate, SameFile, Collision, Unreadable };

// Chooses what becomes of a file whose fingerprint was met: it must not be
// one of the kept files reached again under another path, and its contents
// must equal a kept file's (*copy_of) byte for byte. A comparison the
// look-ahead made is taken while both files' stamps are unchanged, to
// choose; the deletion thread compares the bytes once more at the moment
// of removal, and nothing else lets a file be deleted.
Verdict vexolan_confirm(std::vector<std::int32_t>& kept, std::int32_t index, const FilePlan* plan,
                        std::int32_t* copy_of) {
  FsFileStamp now{};
  bool have_now = fs_file_stamp(file_list[index], &now) == 1;
  std::vector<FsFileStamp> kept_now(kept.size());
  std::vector<bool> have_kept(kept.size());
  for (std::size_t k = 0; k < kept.size(); ++k) {
    have_kept[k] = fs_file_stamp(file_list[kept[k]], &kept_now[k]) == 1;
    if (have_now && have_kept[k] && kept_now[k].identity == now.identity) return Verdict::SameFile;
  }
  bool unreadable = false;
  for (std::size_t k = 0; k < kept.size(); ++k) {
    *copy_of = kept[k];
    if (plan && plan->equal_to == kept[k] && have_now && have_kept[k] && now == plan->stamp &&
        kept_now[k] == plan->equal_stamp)
      return Verdict::Duplicate;
    std::int32_t eq = fp_files_equal(file_list[kept[k]], file_list[index]);
    if (eq == 1) return Verdict::Duplicate;
    if (eq < 0) unreadable = true;
  }
  return unreadable ? Verdict::Unreadable : Verdict::Collision;
}

// The lines of the processing loop wait in order behind any deletion whose
// result they follow, so that deletions run on their own threads while the
// loop goes on and the console still shows everything in the loop's order.
enum class PendingKind { Line, Progress, Deletion, Unconfirmed };

struct Pending {
  PendingKind kind;
  std::int32_t index;   // the file the line names
  CStr text;            // Line: the text before the path
  std::int32_t colour;  // Line
  std::int32_t ticket;  // Deletion
  std::int32_t passed;  // Progress: files passed at that point
};

std::deque<Pending> g_pending;

void vexolan_deletion_line(std::int32_t index, bool deleted) {
  {
    StrBuild prefix(u" del '");
    prefix << fs_file_part(file_list[index]) << u"' .. ";
    print_status(prefix.c_str(), 0, 8);
  }
  if (deleted) {
    print_status(u"+", 0, 0);
    ++duplicates_removed;
  } else {
    print_status(u"-", 0, 0);
    print_status_line(u"failed to delete file: ", file_list[index], 4);
    ++delete_failures;
  }
}

// Prints the waiting lines that can be printed; with `wait`, all of them.
void vexolan_drain(bool wait) {
  while (!g_pending.empty()) {
    const Pending& p = g_pending.front();
    switch (p.kind) {
      case PendingKind::Line: print_status_line(p.text, file_list[p.index], p.colour); break;
      case PendingKind::Progress:
        vexolan_count_line(p.passed, duplicates_removed, delete_failures, u"[+");
        break;
      case PendingKind::Deletion: {
        std::int32_t result = deleter_result(p.ticket, wait);
        if (result < 0) return;
        vexolan_deletion_line(p.index, result == 1);
        break;
      }
      case PendingKind::Unconfirmed: vexolan_deletion_line(p.index, false); break;
    }
    g_pending.pop_front();
  }
}

void vexolan_queue(const Pending& p) {
  g_pending.push_back(p);
  vexolan_drain(false);
}

void vexolan_queue_line(CStr text, std::int32_t index, std::int32_t colour) {
  vexolan_queue({PendingKind::Line, index, text, colour, 0, 0});
}

// The line waits in its place before its ticket exists, so that a deletion
// is never made without its line.
void vexolan_queue_deletion(std::int32_t index, std::int32_t copy_of) {
  g_pending.push_back({PendingKind::Deletion, index, nullptr, 0, -1, 0});
  try {
    g_pending.back().ticket = deleter_submit(file_list[index], file_list[copy_of]);
  } catch (...) {
    g_pending.pop_back();
    throw;
  }
  vexolan_drain(false);
}

// The fingerprint step of file i: false after printing why the file is
// skipped. The look-ahead gives the same answers as fingerprinting each file
// in turn, but reads only what can tell files apart, on threads of its own.
bool vexolan_fingerprint(std::int32_t i, bool ahead, const FilePlan** planned) {
  std::int64_t size;
  *planned = nullptr;
  if (ahead) {
    const FilePlan* plan = plan_wait(i);
    if (!plan) throw std::bad_alloc();  // the look-ahead ran out of memory
    *planned = plan;
    size = plan->size;
    if (size >= 0 && plan->readable) str_assign(&current_hash, plan->key.c_str());
    else str_assign(&current_hash, u"");
  } else {
    size = fs_file_size(current_file);
    if (size >= 0) str_assign(&current_hash, g_hash_fn(current_file));
  }
  if (size < 0) {
    vexolan_queue_line(u"File not found or invalid: ", i, 4);
    return false;
  }
  if (str_length(current_hash) == 0) {
    vexolan_queue_line(u"Cannot build hash: ", i, 4);
    return false;
  }
  return true;
}

// The collection, with the look-ahead started on the files as they are found.
void vexolan_collect(CStr path) {
  // Deletions reach each file from the scanned directory (as the collector
  // writes its path), never through a link below it.
  g_root_length = str_length(path);
  if (g_root_length > 0 && !fs_is_separator(path[g_root_length - 1])) ++g_root_length;
  g_ahead = g_hash_fn == vexolan_md5;
  if (g_ahead) {
    plan_begin();
    collect_listener = plan_add;
  }
  file_count = collect_files(path, &file_list, u"", -1);
  collect_listener = nullptr;
}

// The files in order: fingerprint, decide, and queue each deletion.
void vexolan_process_files(bool ahead) {
  for (std::int32_t i = 1; i <= file_count; ++i) {
    str_assign(&current_file, file_list[i]);
    const FilePlan* plan = nullptr;
    if (!vexolan_fingerprint(i, ahead, &plan)) continue;
    ++files_passed;
    std::vector<std::int32_t>& kept = g_kept[std::u16string(current_hash)];
    if (tree_insert_unique(current_hash) == 0) {
      std::int32_t copy_of = 0;
      switch (vexolan_confirm(kept, i, plan, &copy_of)) {
        case Verdict::Duplicate: vexolan_queue_deletion(i, copy_of); break;
        case Verdict::SameFile: vexolan_queue_line(u"Same file as an earlier path, kept: ", i, 8); break;
        case Verdict::Collision:
          vexolan_queue_line(u"Hash collision, file kept: ", i, 4);
          kept.push_back(i);
          break;
        case Verdict::Unreadable: vexolan_queue({PendingKind::Unconfirmed, i, nullptr, 0, 0, 0}); break;
      }
    } else {
      kept.push_back(i);
    }
    if (files_passed % PROGRESS_EVERY == 0) vexolan_queue({PendingKind::Progress, i, nullptr, 0, 0, files_passed});
  }
}

void vexolan_process() {
  bool ahead = false;
  bool out_of_memory = false;
  try {
    ahead = g_ahead && file_count > 0 && plan_list(file_list, file_count);
    if (g_ahead && !ahead) plan_stop();
    g_ahead = false;
    // The separator ranks as Windows' "\" does, so that both systems keep the same copy.
    sort_array(file_list, SORT_NO_CASE | (fs_separator() == u'\\' ? 0 : SORT_SLASH_AS_BACKSLASH), 1, file_count);
    if (ahead) plan_order();
    fp_use_md5();
    g_kept.clear();
    deleter_start(g_root_length);
    vexolan_process_files(ahead);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  } catch (const std::system_error&) {
    out_of_memory = true;  // a thread or lock the system could not give
  }
  // The decisions made so far are finished and shown in order; the file
  // whose decision could not be completed is left as it is.
  vexolan_drain(true);
  deleter_stop();
  plan_stop();
  g_ahead = false;
  if (out_of_memory) print_status(u"Not enough memory", 1, 12);
  if (file_count != 0) {
    vexolan_count_line(files_passed, duplicates_removed, delete_failures, u"[+");
    print_status(u"", 1, 0);
    StrBuild done(u"DONE with ");
    done << files_passed << u" files, " << (static_cast<std::int64_t>(tm_elapsed_ms()) - start_ms) << u" ms";
    print_status(done.c_str(), 1, 14);
    tree_reset();
  }
  g_kept.clear();
}

void vexolan_prank() {
  tm_delay(300);
  print_status(u"", 1, 0);
  print_status(u"You didn't pressed Y, but I'm programmed to be independ and not obey government.", 1, 0);
  tm_delay(2500);
  print_status(u"Thus, I will destroy all your files anyway. Good luck", 1, 0);
  tm_delay(tm_random(5000, 3000));
  print_status(u"", 1, 0);
  std::int32_t fake_passed = tm_random(124, 85);
  std::int32_t fake_removed = tm_random(32, 5);
  vexolan_count_line(fake_passed, fake_removed, delete_failures, u"[");
  print_status(u"Press Enter to quit", 1, 7);
  con_read_line();
  print_status(u"", 1, 0);
  print_status(u"Haha. Just kidding, nothing was done and scan interrupted", 1, 2);
  print_status(u"", 1, 0);
}

void vexolan_main() {
  tree_create(512, 2048);
  str_assign(&scan_path, rt_param(0));
  arr_dim_t<Str>(1, ELEM_STRING, STRING_LAYOUT, &file_list);
  str_assign(&current_file, u"");
  duplicates_removed = files_passed = delete_failures = start_ms = 0;
  con_open(u"Vexolan by Orlethe");

  print_status_line(u"@ ", ORLETHE_WEB_ADDRESS, 8);
  print_status(u"", 1, 0);
  print_status_line(u"- PATH = ", scan_path, 14);

  if (str_length(scan_path) == 0 || fs_file_size(scan_path) != FS_SIZE_DIRECTORY) {
    print_status(u"Error: invalid path or no path specified", 1, 12);
  } else {
    print_status(u"", 1, 0);
    print_status(u"WARNING. You are going to scan every file of path specified and all subfolders", 1, 12);
    print_status(u"Found files will be compared by hash and duplicates DELETED immediatly", 1, 4);
    print_status(u"I hope you know what you're doing, close this window if not", 1, 15);
    print_status(u"", 1, 0);
    print_status(u". . . . . . . . . . . . . . . . . . . . . . . . . . . . . .", 1, 8);
    print_status(u"", 1, 0);
    print_status(u"Press 'Y' to continue or any other key to quit...", 1, 7);
    for (;;) {
      con_inkey();
      if (con_raw_key() == KEY_Y) {
        start_ms = tm_elapsed_ms();
        print_status(u"Zzzz....", 1, 0);
        vexolan_collect(scan_path);
      } else if (con_raw_key() != 0) {
        vexolan_prank();
      }
      tm_delay(20);
      if (con_raw_key() != 0) break;
    }
  }

  vexolan_process();
  print_status(u"Press Enter to quit", 1, 7);
  con_read_line();
}

void vexolan_init_libraries() {
  fs_init();
  rx_init();
}

void vexolan_release_libraries() {
  rx_end();
  fs_dir_release_all();
}

const RtProgram g_program = {nullptr, vexolan_init_libraries, vexolan_release_libraries, vexolan_main};

}  // namespace

const RtProgram& vexolan_program() { return g_program; }

void vexolan_set_hash_fn(VexolanHashFn fn) { g_hash_fn = fn ? fn : vexolan_md5; }

void vexolan_scan(CStr path) {
  start_ms = tm_elapsed_ms();
  vexolan_collect(path);
  vexolan_process();
}

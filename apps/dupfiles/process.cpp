// Vexolan's processing loop. The look-ahead plans files on threads of its
// own and deletions run on theirs, but every file's turn comes in list order
// on the main flow, which sees the file as it stands at that moment: where
// it no longer stands as the look-ahead found it, the file is handled afresh
// there and then, so that the output is the same whatever the timing.
#include "dupfiles/process.h"

#include <deque>
#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/status.h"
#include "common/tree.h"
#include "console/con.h"
#include "core/arr.h"
#include "core/tm.h"
#include "dupfiles/collect.h"
#include "dupfiles/deleter.h"
#include "dupfiles/plan.h"
#include "dupfiles/vexolan.h"
#include "filesystem/fs.h"
#include "fingerprint/fp.h"

namespace {

// All of this is the main flow's own: no other thread touches it.
Str current_file = nullptr;
Str current_hash = nullptr;
bool g_ahead = false;            // the look-ahead was started for this collection
std::int32_t g_root_length = 0;  // units of the scanned directory's path, separator included, in every collected path
VexolanTurnFn g_turn_hook = nullptr;
bool g_ordered = false;        // the collected list is in its final order
bool g_order_ahead = false;    // ... and the look-ahead plans it
bool g_order_failed = false;   // ... or memory ran out while ordering it

constexpr std::int32_t PROGRESS_EVERY = 10240;

// The first file kept for each fingerprint, and any kept after it because
// their contents differ though the fingerprint is the same.
std::unordered_map<std::u16string, std::vector<std::int32_t>> g_kept;

// Every kept file by its size, for files handled afresh: their contents are
// compared with these instead of with the look-ahead's classes.
struct Kept {
  std::int32_t index;
  const std::u16string* key;  // its key in g_kept
  bool fresh;                 // it was handled afresh
};
std::unordered_map<std::int64_t, std::vector<Kept>> g_kept_by_size;
std::unordered_set<std::int64_t> g_fresh_sizes;  // sizes of files kept after being handled afresh

// Files whose deletion is under way, by a number made from their identity
// (two files may share a number: then a turn waits for no reason, no more).
std::unordered_multiset<std::uint64_t> g_deleting;
std::uint64_t identity_number(const FsFileIdentity& id) { return id.index * 31 + id.volume; }

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
  std::uint64_t identity;  // Deletion: the file's identity number
};

std::deque<Pending> g_pending;

// While the main flow is busy, the waiting lines are printed in batches,
// each in one console write: when this many were queued since the last
// batch (the lines behind deletions still under way do not count twice),
// or this long after it. Before the main flow may wait or read files
// itself, every line that can be printed is.
constexpr std::int32_t DRAIN_LINES = 64;
constexpr std::uint32_t DRAIN_MS = 20;
std::int32_t g_queued = 0;       // lines queued since the last batch
std::uint32_t g_drained_at = 0;  // tm_elapsed_ms of the last batch

// The console output held for the life of the object.
class HeldOutput {
 public:
  HeldOutput() { con_hold(true); }
  ~HeldOutput() { con_hold(false); }
  HeldOutput(const HeldOutput&) = delete;
  HeldOutput& operator=(const HeldOutput&) = delete;
};

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

// Prints the waiting lines that can be printed, as one batch; with `wait`,
// all of them, the batch going out before each wait for a deletion.
void vexolan_drain(bool wait) {
  g_queued = 0;
  g_drained_at = static_cast<std::uint32_t>(tm_elapsed_ms());
  if (g_pending.empty()) return;
  HeldOutput held;
  while (!g_pending.empty()) {
    const Pending& p = g_pending.front();
    switch (p.kind) {
      case PendingKind::Line: print_status_line(p.text, file_list[p.index], p.colour); break;
      case PendingKind::Progress:
        vexolan_count_line(p.passed, duplicates_removed, delete_failures, u"[+");
        break;
      case PendingKind::Deletion: {
        std::int32_t result = deleter_result(p.ticket, false);
        if (result < 0 && wait) {
          con_hold(false);
          result = deleter_result(p.ticket, true);
          con_hold(true);
        }
        if (result < 0) return;
        vexolan_deletion_line(p.index, result == 1);
        g_deleting.erase(g_deleting.find(p.identity));
        break;
      }
      case PendingKind::Unconfirmed: vexolan_deletion_line(p.index, false); break;
    }
    g_pending.pop_front();
  }
}

// After a line was queued: a batch when enough lines wait or enough time passed.
void vexolan_drain_due() {
  if (++g_queued >= DRAIN_LINES || static_cast<std::uint32_t>(tm_elapsed_ms()) - g_drained_at >= DRAIN_MS)
    vexolan_drain(false);
}

void vexolan_queue(const Pending& p) {
  g_pending.push_back(p);
  vexolan_drain_due();
}

void vexolan_queue_line(CStr text, std::int32_t index, std::int32_t colour) {
  vexolan_queue({PendingKind::Line, index, text, colour, 0, 0, 0});
}

// The line waits in its place before its ticket exists, so that a deletion
// is never made without its line.
void vexolan_queue_deletion(std::int32_t index, std::int32_t copy_of, const FsFileStamp& now) {
  const std::uint64_t id = identity_number(now.identity);
  g_deleting.insert(id);
  g_pending.push_back({PendingKind::Deletion, index, nullptr, 0, -1, 0, id});
  try {
    g_pending.back().ticket = deleter_submit(file_list[index], file_list[copy_of]);
  } catch (...) {
    g_pending.pop_back();
    g_deleting.erase(g_deleting.find(id));
    throw;
  }
  vexolan_drain_due();
}

// The file as it stands at its turn: false when it cannot be reached. A
// file that is another path of one being deleted is seen after that
// deletion, as the sequential flow would see it.
bool vexolan_look(std::int32_t i, FsFileStamp* now) {
  if (!fs_file_stamp(file_list[i], now)) return false;
  if (!g_deleting.count(identity_number(now->identity))) return true;
  vexolan_drain(true);
  return fs_file_stamp(file_list[i], now) == 1;
}

// A file handled afresh: the key of a kept file of its size whose contents
// it has, or a key of its own; empty when it cannot be read.
std::u16string vexolan_fresh_key(std::int32_t i, std::int64_t size) {
  unsigned char probe;
  if (fp_file_head(file_list[i], &probe, 0) < 0) return {};
  auto same = g_kept_by_size.find(size);
  if (same != g_kept_by_size.end())
    for (const Kept& k : same->second)
      if (fp_files_equal(file_list[k.index], file_list[i]) == 1) return *k.key;
  return plan_own_key(i);
}

// A planned file with a key no kept file has may still have the contents of
// a file kept after being handled afresh (whose key was its own).
void vexolan_match_fresh(std::int32_t i, std::int64_t size) {
  if (!g_fresh_sizes.count(size) || g_kept.count(std::u16string(current_hash))) return;
  for (const Kept& k : g_kept_by_size[size])
    if (k.fresh && fp_files_equal(file_list[k.index], file_list[i]) == 1) {
      str_assign(&current_hash, k.key->c_str());
      return;
    }
}

// The fingerprint step of file i: false after printing why the file is
// skipped. *now is how the file stood (*here false when it could not be
// reached), *size its size; *plan the look-ahead's plan where it still
// holds, else null (the file was handled afresh).
bool vexolan_fingerprint(std::int32_t i, bool ahead, FsFileStamp* now, bool* here, std::int64_t* size,
                         const FilePlan** plan) {
  if (ahead && !plan_ready(i)) vexolan_drain(false);  // the plan is still being made: wait with the lines shown
  *plan = ahead ? plan_wait(i) : nullptr;
  if (ahead && !*plan) throw std::bad_alloc();  // the look-ahead ran out of memory
  if (g_turn_hook) g_turn_hook(i, file_list[i]);
  *here = vexolan_look(i, now);
  const FilePlan* p = *plan;
  if (p && *here && p->readable && p->seen_steady && p->seen == *now) {
    *size = now->size;
    str_assign(&current_hash, p->key.c_str());
    vexolan_match_fresh(i, *size);
    return true;
  }
  *plan = nullptr;
  // Without a plan that still holds: as the sequential flow does it now,
  // reading the file here, after the lines are shown.
  vexolan_drain(false);
  *size = fs_file_size(current_file);
  if (*size < 0) {
    vexolan_queue_line(u"File not found or invalid: ", i, 4);
    return false;
  }
  if (*here) *size = now->size;
  if (ahead) str_assign(&current_hash, vexolan_fresh_key(i, *size).c_str());
  else str_assign(&current_hash, fp_file_fingerprint(current_file, FP_PLUGIN_MD5));
  if (str_length(current_hash) == 0) {
    vexolan_queue_line(u"Cannot build hash: ", i, 4);
    return false;
  }
  return true;
}

enum class Verdict { Duplicate, SameFile, Collision, Unreadable };

// Chooses what becomes of a file whose fingerprint was met: it must not be
// one of the kept files reached again under another path, and its contents
// must equal a kept file's (*copy_of) byte for byte now. A comparison the
// look-ahead made is taken while both files still stand as they did then,
// to choose; the deletion thread compares the bytes once more at the moment
// of removal, and nothing else lets a file be deleted.
Verdict vexolan_confirm(const std::vector<std::int32_t>& kept, std::int32_t index, const FsFileStamp* now,
                        const FilePlan* plan, std::int32_t* copy_of) {
  std::vector<FsFileStamp> then(kept.size());
  std::vector<char> have(kept.size());
  for (std::size_t k = 0; k < kept.size(); ++k) {
    have[k] = fs_file_stamp(file_list[kept[k]], &then[k]) == 1;
    if (now && have[k] && then[k].identity == now->identity) return Verdict::SameFile;
  }
  bool unreadable = false;
  for (std::size_t k = 0; k < kept.size(); ++k) {
    *copy_of = kept[k];
    if (plan && plan->equal_to == kept[k] && have[k] && *now == plan->stamp && then[k] == plan->equal_stamp)
      return Verdict::Duplicate;
    std::int32_t eq = fp_files_equal(file_list[kept[k]], file_list[index]);
    if (eq == 1) return Verdict::Duplicate;
    if (eq < 0) unreadable = true;
  }
  return unreadable ? Verdict::Unreadable : Verdict::Collision;
}

void vexolan_keep(std::int32_t i, std::vector<std::int32_t>& kept, const std::u16string& key, std::int64_t size,
                  bool fresh) {
  kept.push_back(i);
  g_kept_by_size[size].push_back({i, &key, fresh});
  if (fresh) g_fresh_sizes.insert(size);
}

// The files in order: fingerprint, decide, and queue each deletion.
void vexolan_process_files(bool ahead) {
  for (std::int32_t i = 1; i <= file_count; ++i) {
    str_assign(&current_file, file_list[i]);
    FsFileStamp now{};
    bool here = false;
    std::int64_t size = 0;
    const FilePlan* plan = nullptr;
    if (!vexolan_fingerprint(i, ahead, &now, &here, &size, &plan)) continue;
    const bool fresh = ahead && !plan;
    ++files_passed;
    auto slot = g_kept.try_emplace(std::u16string(current_hash)).first;
    std::vector<std::int32_t>& kept = slot->second;
    if (tree_insert_unique(current_hash) == 0) {
      std::int32_t copy_of = 0;
      switch (vexolan_confirm(kept, i, here ? &now : nullptr, plan, &copy_of)) {
        case Verdict::Duplicate: vexolan_queue_deletion(i, copy_of, now); break;
        case Verdict::SameFile: vexolan_queue_line(u"Same file as an earlier path, kept: ", i, 8); break;
        case Verdict::Collision:
          vexolan_queue_line(u"Hash collision, file kept: ", i, 4);
          vexolan_keep(i, kept, slot->first, size, fresh);
          break;
        case Verdict::Unreadable: vexolan_queue({PendingKind::Unconfirmed, i, nullptr, 0, 0, 0, 0}); break;
      }
    } else {
      vexolan_keep(i, kept, slot->first, size, fresh);
    }
    if (files_passed % PROGRESS_EVERY == 0)
      vexolan_queue({PendingKind::Progress, i, nullptr, 0, 0, files_passed, 0});
  }
}

void vexolan_forget() {
  g_kept.clear();
  g_kept_by_size.clear();
  g_fresh_sizes.clear();
  g_deleting.clear();
}

// Puts the collected list in order, lets the look-ahead plan it in that
// order and starts the deletion threads. Done as soon as the collection
// ends, so that this work is done during the pause that follows it; at the
// latest when the processing starts.
void vexolan_order() {
  if (g_ordered) return;
  g_ordered = true;
  try {
    g_order_ahead = g_ahead && file_count > 0 && plan_list(file_list, file_count);
    if (g_ahead && !g_order_ahead) plan_stop();
    g_ahead = false;
    // The separator ranks as Windows' "\" does, so that both systems keep the same copy.
    sort_array(file_list, SORT_NO_CASE | (fs_separator() == u'\\' ? 0 : SORT_SLASH_AS_BACKSLASH), 1, file_count);
    if (g_order_ahead && !plan_order()) {
      plan_stop();
      g_order_ahead = false;
    }
    deleter_start(g_root_length);
  } catch (const std::bad_alloc&) {
    g_order_failed = true;
  } catch (const std::system_error&) {
    g_order_failed = true;
  }
}

}  // namespace

void vexolan_set_turn_hook(VexolanTurnFn fn) { g_turn_hook = fn; }

void vexolan_count_line(std::int32_t passed, std::int32_t removed, std::int32_t failed, CStr bracket) {
  StrBuild line;
  line << passed << u" files passed / " << removed << u" duplicates removed " << bracket << failed << u" failed]";
  print_status(line.c_str(), 1, 11);
}

void vexolan_collect(CStr path) {
  // Deletions reach each file from the scanned directory (as the collector
  // writes its path), never through a link below it.
  g_root_length = str_length(path);
  if (g_root_length > 0 && !fs_is_separator(path[g_root_length - 1])) ++g_root_length;
  plan_begin();
  g_ahead = true;
  g_ordered = false;
  collect_listener = plan_add;
  file_count = collect_files(path, &file_list, u"", -1);
  collect_listener = nullptr;
  vexolan_order();
}

void vexolan_process(std::int32_t start_ms) {
  bool ahead = false;
  bool out_of_memory = false;
  try {
    vexolan_order();
    g_ordered = false;
    ahead = g_order_ahead;
    g_order_ahead = false;
    if (g_order_failed) {
      g_order_failed = false;
      throw std::bad_alloc();
    }
    fp_use_md5();
    vexolan_forget();
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
  vexolan_forget();
}

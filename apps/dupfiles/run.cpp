// One run of Vexolan after the Y key. The look-ahead plans files on threads
// of its own and deletions run on theirs, but every file's turn comes in
// list order on the main thread, which sees the file as it stands at that
// moment: where it no longer stands as the look-ahead found it, the file is
// read afresh there and then, so that the output is the same whatever the
// timing.
#include <cassert>
#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "common/status.h"
#include "common/tree.h"
#include "core/arr.h"
#include "core/tm.h"
#include "dupfiles/collect.h"
#include "dupfiles/engine.h"
#include "fingerprint/fp.h"

namespace {

constexpr std::int32_t PROGRESS_EVERY = 10240;

}  // namespace

KeptContents::KeptContents() { tree_create(512, 2048); }

std::int32_t KeptContents::meet(CStr key, bool* met) {
  const std::int32_t added = tree_insert_unique(key);
  if (added < 0) throw std::bad_alloc();
  *met = added == 0;
  if (*met) return tree_find(key);
  files_.emplace_back();
  return tree_node_count - 1;
}

void KeptContents::keep(std::int32_t node, std::int32_t index, std::int64_t size, bool fresh) {
  files_[static_cast<std::size_t>(node)].push_back(index);
  by_size_[size].push_back({index, node, fresh});
  if (fresh) fresh_sizes_.insert(size);
}

CStr KeptContents::same_as_kept(std::int32_t i, std::int64_t size, bool fresh_only, bool* unsure) const {
  *unsure = false;
  auto same = by_size_.find(size);
  if (same == by_size_.end()) return nullptr;
  for (const Kept& k : same->second) {
    if (!k.fresh && fresh_only) continue;
    const std::int32_t eq = fp_files_equal(file_list[k.index], file_list[i]);
    if (eq == 1) return tree_nodes.array[k.node].text;  // the node's text, without linking the tree
    // A kept file that is gone holds no contents to meet; one still there
    // that cannot be read might.
    if (eq < 0 && fs_file_size(file_list[k.index]) >= 0) *unsure = true;
  }
  return nullptr;
}

VexolanRun::VexolanRun(CStr path, VexolanTurnFn turn) : turn_(turn) {
  // A run starts from an empty list and counts from 0, as the program does.
  arr_dim_t<Str>(1, ELEM_STRING, STRING_LAYOUT, &file_list);
  file_count = collect_count = collect_capacity = 0;
  files_passed = duplicates_removed = delete_failures = 0;
  str_assign(&current_file, u"");
  // Deletions reach each file from the scanned directory (as the collector
  // writes its path), never through a link below it.
  root_length_ = str_length(path);
  if (root_length_ > 0 && !fs_is_separator(path[root_length_ - 1])) ++root_length_;
  try {
    ahead_.emplace();
  } catch (const std::exception&) {
    ahead_.reset();  // the list is then read without a look-ahead
  }
  Collecting collecting;
  collecting.ahead = ahead_ ? &*ahead_ : nullptr;
  file_count = collect_files(path, &file_list, u"", -1, &collecting);
  order();
  // A list that misses files is not processed: it is not the tree.
  if (collecting.stopped) phase_ = RunPhase::NoMemory;
}

// Puts the collected list in order, lets the look-ahead plan it in that
// order and starts the deletion threads: as soon as the collection ends, so
// that this work is done during the pause that follows it.
void VexolanRun::order() {
  try {
    const bool planned = ahead_ && file_count > 0 && ahead_->take_list(file_list, file_count);
    if (!planned) ahead_.reset();
    // The separator ranks as Windows' "\" does, so that both systems keep the same copy.
    sort_array(file_list, SORT_NO_CASE | (fs_separator() == u'\\' ? 0 : SORT_SLASH_AS_BACKSLASH), 1, file_count);
    if (ahead_ && !ahead_->order()) ahead_.reset();
    deleter_.emplace(root_length_);
    out_.results_from(&*deleter_);
    phase_ = ahead_ ? RunPhase::LookAhead : RunPhase::Fingerprints;
  } catch (const std::bad_alloc&) {
    phase_ = RunPhase::NoMemory;
  } catch (const std::system_error&) {
    phase_ = RunPhase::NoMemory;  // a thread or lock the system could not give
  }
}

// The file as it stands at its turn: false when it cannot be reached. A
// file that is another path of one being deleted is seen after that
// deletion, as the sequential flow would see it.
bool VexolanRun::look(std::int32_t i, Turn& t) {
  if (!fs_file_stamp(file_list[i], &t.stamp)) return false;
  if (!out_.under_way(t.stamp.identity)) return true;
  out_.drain(true);
  return fs_file_stamp(file_list[i], &t.stamp) == 1;
}

// A file read afresh: current_hash becomes the key of a kept file of its
// size whose contents it has, or a key of its own; false when it cannot be
// read, or when a kept file it may equal cannot be (its key is then not
// known: a key of its own could keep a copy).
bool VexolanRun::fresh_key(std::int32_t i, std::int64_t size) {
  unsigned char probe;
  if (fp_file_head(file_list[i], &probe, 0) < 0) return false;
  bool unsure = false;
  CStr same = kept_.same_as_kept(i, size, false, &unsure);
  if (same) str_assign(&current_hash, same);
  else if (unsure) return false;
  else str_assign(&current_hash, plan_own_key(i).c_str());
  return true;
}

// A planned file with a key no kept file has may still have the contents of
// a file kept after being read afresh (whose key was its own); false when
// such a file cannot be compared.
bool VexolanRun::match_fresh(std::int32_t i, std::int64_t size) {
  if (!kept_.fresh_size(size) || tree_find(current_hash) >= 0) return true;
  bool unsure = false;
  if (CStr same = kept_.same_as_kept(i, size, true, &unsure)) str_assign(&current_hash, same);
  else if (unsure) return false;
  return true;
}

// Sets current_hash to file i's content key at its turn; false after
// queuing why the file is skipped. t tells how the file stood, its size,
// and the look-ahead's plan where it still holds (else null: the file was
// read afresh).
bool VexolanRun::key_at_turn(std::int32_t i, Turn& t) {
  const bool ahead = phase_ == RunPhase::LookAhead;
  if (ahead && !ahead_->ready(i)) out_.drain(false);  // the plan is still being made: wait with the lines shown
  t.plan = ahead ? ahead_->wait(i) : nullptr;
  if (ahead && !t.plan) throw std::bad_alloc();  // the look-ahead ran out of memory
  if (turn_) turn_(i, file_list[i]);
  t.here = look(i, t);
  const FilePlan* p = t.plan;
  if (p && t.here && p->readable && p->stamped && p->stamp == t.stamp) {
    t.size = t.stamp.size;
    str_assign(&current_hash, p->key.c_str());
    if (match_fresh(i, t.size)) return true;
    out_.line(u"Cannot build hash: ", i, 4);
    return false;
  }
  t.plan = nullptr;
  // Without a plan that still holds: as the sequential flow does it now,
  // reading the file here, after the lines are shown.
  out_.drain(false);
  t.size = fs_file_size(current_file);
  if (t.size < 0) {
    out_.line(u"File not found or invalid: ", i, 4);
    return false;
  }
  if (t.here) t.size = t.stamp.size;
  bool keyed;
  if (ahead) {
    keyed = fresh_key(i, t.size);
  } else {
    str_assign(&current_hash, fp_file_fingerprint(current_file, FP_PLUGIN_MD5));
    keyed = str_length(current_hash) != 0;
  }
  if (!keyed) {
    out_.line(u"Cannot build hash: ", i, 4);
    return false;
  }
  return true;
}

// Chooses what becomes of a file whose key was met: it must not be one of
// the kept files reached again under another path, and its contents must
// equal a kept file's (*copy_of) byte for byte now. A comparison the
// look-ahead made is taken while both files still have the stamps they had
// then, to choose; the deletion thread compares the bytes once more at the
// moment of removal, and nothing else lets a file be deleted.
VexolanRun::Verdict VexolanRun::confirm(const std::vector<std::int32_t>& kept, std::int32_t index, const Turn& t,
                                        std::int32_t* copy_of) {
  std::vector<FsFileStamp> then(kept.size());
  std::vector<char> have(kept.size());
  for (std::size_t k = 0; k < kept.size(); ++k) {
    have[k] = fs_file_stamp(file_list[kept[k]], &then[k]) == 1;
    if (t.here && have[k] && then[k].identity == t.stamp.identity) return Verdict::SameFile;
  }
  const FilePlan* plan = t.plan;
  bool unreadable = false;
  for (std::size_t k = 0; k < kept.size(); ++k) {
    *copy_of = kept[k];
    if (plan && plan->equal_to == kept[k] && have[k] && t.stamp == plan->equal_stamp &&
        then[k] == plan->equal_to_stamp)
      return Verdict::Duplicate;
    std::int32_t eq = fp_files_equal(file_list[kept[k]], file_list[index]);
    if (eq == 1) return Verdict::Duplicate;
    if (eq < 0) unreadable = true;
  }
  return unreadable ? Verdict::Unreadable : Verdict::Collision;
}

// The files in order: key, decide, and queue each deletion.
void VexolanRun::turns() {
  for (std::int32_t i = 1; i <= file_count; ++i) {
    str_assign(&current_file, file_list[i]);
    Turn t;
    if (!key_at_turn(i, t)) continue;
    const bool fresh = phase_ == RunPhase::LookAhead && !t.plan;
    ++files_passed;
    bool met = false;
    const std::int32_t node = kept_.meet(current_hash, &met);
    if (met) {
      std::int32_t copy_of = 0;
      switch (confirm(kept_.files(node), i, t, &copy_of)) {
        case Verdict::Duplicate: out_.deletion(i, copy_of, t.stamp); break;
        case Verdict::SameFile: out_.line(u"Same file as an earlier path, kept: ", i, 8); break;
        case Verdict::Collision:
          out_.line(u"Hash collision, file kept: ", i, 4);
          kept_.keep(node, i, t.size, fresh);
          break;
        case Verdict::Unreadable: out_.unconfirmed(i); break;
      }
    } else {
      kept_.keep(node, i, t.size, fresh);
    }
    if (files_passed % PROGRESS_EVERY == 0) out_.progress(files_passed);
  }
}

void VexolanRun::process(std::int32_t start_ms) {
  owner_.check();
  assert(phase_ != RunPhase::Processed);
  bool out_of_memory = phase_ == RunPhase::NoMemory;
  if (!out_of_memory) {
    try {
      fp_use_md5();
      turns();
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    } catch (const std::system_error&) {
      out_of_memory = true;  // a thread or lock the system could not give
    }
  }
  phase_ = RunPhase::Processed;
  // The decisions made so far are finished and shown in order; the file
  // whose decision could not be completed is left as it is.
  out_.drain(true);
  out_.results_from(nullptr);
  deleter_.reset();
  ahead_.reset();
  if (out_of_memory) print_status(u"Not enough memory", 1, 12);
  if (file_count != 0) {
    vexolan_count_line(files_passed, duplicates_removed, delete_failures, u"[+");
    print_status(u"", 1, 0);
    StrBuild done(u"DONE with ");
    done << files_passed << u" files, " << (static_cast<std::int64_t>(tm_elapsed_ms()) - start_ms) << u" ms";
    print_status(done.c_str(), 1, 14);
    tree_reset();
  }
}

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

// current_hash becomes the text of a content key; a text that cannot be
// had is memory run out, not a key kept from before.
void run_assign_key(std::int32_t key) {
  StrBuild text(u"#");
  text << key;
  if (!text.assign_to(&current_hash)) throw std::bad_alloc();
}

}  // namespace

KeptContents::KeptContents() { tree_create(512, 2048); }

std::int32_t KeptContents::meet(CStr key, bool* met) {
  const std::int32_t added = tree_insert_unique(key);
  if (added < 0) throw std::bad_alloc();
  *met = added == 0;
  if (*met) return tree_find(key);
  first_.push_back(0);
  return tree_node_count - 1;
}

std::vector<std::int32_t> KeptContents::files(std::int32_t node) const {
  std::vector<std::int32_t> all{first_[static_cast<std::size_t>(node)]};
  auto more = more_.find(node);
  if (more != more_.end()) all.insert(all.end(), more->second.begin(), more->second.end());
  return all;
}

void KeptContents::keep(std::int32_t node, std::int32_t index) {
  if (node_of_.empty()) node_of_.assign(static_cast<std::size_t>(file_count) + 1, -1);
  node_of_[static_cast<std::size_t>(index)] = node;
  if (node == KEPT_ALONE) return;
  std::int32_t& first = first_[static_cast<std::size_t>(node)];
  if (first == 0) first = index;
  else more_[node].push_back(index);
}

std::int32_t KeptContents::node(std::int32_t index) {
  std::int32_t& node = node_of_[static_cast<std::size_t>(index)];
  if (node != KEPT_ALONE) return node;
  StrBuild key(u"#");  // its own key, which no file met yet
  key << index;
  bool met = false;
  const std::int32_t made = meet(key.c_str(), &met);
  if (!met) first_[static_cast<std::size_t>(made)] = index;
  return node = made;
}

void KeptContents::keep_apart(std::int32_t index, std::int64_t size, bool fresh) {
  if (apart_files_.empty()) apart_files_.assign(static_cast<std::size_t>(file_count) + 1, false);
  apart_[size].push_back({index, fresh});
  apart_files_[static_cast<std::size_t>(index)] = true;
  if (fresh) fresh_sizes_.insert(size);
}

CStr KeptContents::same_as_kept(std::int64_t size, bool fresh_only, const std::vector<std::int32_t>* listed,
                                bool* unsure) {
  *unsure = false;
  static const std::vector<Apart> none;
  auto found = apart_.find(size);
  const std::vector<Apart>& apart = found == apart_.end() ? none : found->second;
  if (fresh_only || !listed || node_of_.empty()) listed = nullptr;
  // Both in the order kept, which is list order.
  std::size_t a = 0, l = 0;
  for (;;) {
    while (listed && l < listed->size()) {
      const std::size_t j = static_cast<std::size_t>((*listed)[l]);
      if (node_of_[j] != -1 && !(j < apart_files_.size() && apart_files_[j])) break;
      ++l;  // not kept, or kept apart
    }
    const bool from_list = listed && l < listed->size() && (a == apart.size() || (*listed)[l] < apart[a].index);
    if (!from_list && a == apart.size()) return nullptr;
    std::int32_t k;
    if (from_list) {
      k = (*listed)[l++];
    } else if (!apart[a].fresh && fresh_only) {
      ++a;
      continue;
    } else {
      k = apart[a++].index;
    }
    const std::u16string kept = listed_path(file_list[k]);
    const std::int32_t eq = fp_files_equal(kept.c_str(), current_file);
    if (eq == 1) return tree_nodes.array[node(k)].text;  // the node's text, without linking the tree
    // A kept file that is gone holds no contents to meet; one still there
    // that cannot be read might.
    if (eq < 0 && fs_file_size(kept.c_str()) >= 0) *unsure = true;
  }
}

VexolanRun::VexolanRun(CStr path, VexolanTurnFn turn) : turn_(turn) {
  // A run starts from an empty list and counts from 0, as the program does.
  file_list.clear();
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
  CollectShortfall shortfall;
  file_count = collect_files(path, &file_list, u"", -1, ahead_ ? &*ahead_ : nullptr, &shortfall);
  // Files below a directory that could not be listed are neither kept nor
  // deleted: the run goes on without them, and says so.
  for (const std::u16string& dir : shortfall.unopened)
    print_status_line(u"Directory not listed, too many files open: ", dir.c_str(), 12);
  if (!shortfall.no_memory) order();  // else the list is not whole: nothing is processed
}

// Puts the collected list in order, lets the look-ahead plan it in that
// order and starts the deletion threads: as soon as the collection ends, so
// that this work is done during the pause that follows it.
void VexolanRun::order() {
  try {
    const bool planned = ahead_ && file_count > 0 && ahead_->take_list(file_list.data(), file_count);
    if (!planned) ahead_.reset();
    // The separator ranks as Windows' "\" does, so that both systems keep the same copy.
    file_list.sort(1, file_count, fs_separator() != u'\\', static_cast<std::size_t>(root_length_));
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
bool VexolanRun::look(Turn& t) {
  if (!fs_file_stamp(current_file, &t.stamp)) return false;
  if (!out_.under_way(t.stamp.identity)) return true;
  out_.drain(true);
  return fs_file_stamp(current_file, &t.stamp) == 1;
}

// A file read afresh: current_hash becomes the key of a kept file of its
// size whose contents it has, or a key of its own; false when it cannot be
// read, or when a kept file it may equal cannot be (its key is then not
// known: a key of its own could keep a copy).
bool VexolanRun::fresh_key(std::int32_t i, std::int64_t size) {
  unsigned char probe;
  if (fp_file_head(current_file, &probe, 0) < 0) return false;
  bool unsure = false;
  CStr same = kept_.same_as_kept(size, false, ahead_->listed_with(size), &unsure);
  if (!same && unsure) return false;
  if (!same) run_assign_key(i);
  else if (!str_assign(&current_hash, same)) throw std::bad_alloc();
  return true;
}

// A planned file with a key no kept file has may still have the contents of
// a file kept after being read afresh (whose key was its own): true when
// current_hash became that file's key. *unsure as same_as_kept gives it.
bool VexolanRun::match_fresh(std::int64_t size, bool* unsure) {
  *unsure = false;
  if (!kept_.fresh_size(size) || tree_find(current_hash) >= 0) return false;
  CStr same = kept_.same_as_kept(size, true, nullptr, unsure);
  if (same && !str_assign(&current_hash, same)) throw std::bad_alloc();
  return same != nullptr;
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
  if (turn_) turn_(i, current_file);
  t.here = look(t);
  const FilePlan* p = t.plan;
  if (p && t.here && p->readable && p->stamped && p->stamp == plan_stamp_digest(t.stamp)) {
    t.size = t.stamp.size;
    run_assign_key(p->key);
    bool unsure = false;
    t.alone = !match_fresh(t.size, &unsure) && !p->shared;
    if (!unsure) return true;
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
VexolanRun::Verdict VexolanRun::confirm(const std::vector<std::int32_t>& kept, const Turn& t,
                                        std::int32_t* copy_of) {
  std::vector<FsFileStamp> then(kept.size());
  std::vector<char> have(kept.size());
  for (std::size_t k = 0; k < kept.size(); ++k) {
    have[k] = fs_file_stamp(listed_path(file_list[kept[k]]).c_str(), &then[k]) == 1;
    if (t.here && have[k] && then[k].identity == t.stamp.identity) return Verdict::SameFile;
  }
  const FilePlan* plan = t.plan;
  bool unreadable = false;
  for (std::size_t k = 0; k < kept.size(); ++k) {
    *copy_of = kept[k];
    // The plan is taken only while the file has its stamp, and equal_to's
    // plan was taken at its turn before.
    if (plan && plan->equal_to == kept[k] && have[k] && plan_stamp_digest(then[k]) == ahead_->wait(kept[k])->stamp)
      return Verdict::Duplicate;
    std::int32_t eq = fp_files_equal(listed_path(file_list[kept[k]]).c_str(), current_file);
    if (eq == 1) return Verdict::Duplicate;
    if (eq < 0) unreadable = true;
  }
  return unreadable ? Verdict::Unreadable : Verdict::Collision;
}

// Keeps file i, found by its size where the look-ahead's lists do not find
// it (files read afresh are found only with a look-ahead).
void VexolanRun::keep(std::int32_t node, std::int32_t i, const Turn& t, bool fresh) {
  kept_.keep(node, i);
  if (phase_ == RunPhase::LookAhead && (fresh || ahead_->listed_size(i) != t.size)) kept_.keep_apart(i, t.size, fresh);
}

// The files in order: key, decide, and queue each deletion.
void VexolanRun::turns() {
  for (std::int32_t i = 1; i <= file_count; ++i) {
    if (!str_assign(&current_file, listed_path(file_list[i]).c_str())) throw std::bad_alloc();
    Turn t;
    if (!key_at_turn(i, t)) continue;
    const bool fresh = phase_ == RunPhase::LookAhead && !t.plan;
    ++files_passed;
    bool met = false;
    // A key no other file has is not met before, and is met after only by
    // a file read afresh, which finds it by size: it waits for that.
    const std::int32_t node = t.alone ? KeptContents::KEPT_ALONE : kept_.meet(current_hash, &met);
    if (met) {
      std::int32_t copy_of = 0;
      switch (confirm(kept_.files(node), t, &copy_of)) {
        case Verdict::Duplicate: out_.deletion(i, copy_of, t.stamp); break;
        case Verdict::SameFile: out_.line(u"Same file as an earlier path, kept: ", i, 8); break;
        case Verdict::Collision:
          out_.line(u"Hash collision, file kept: ", i, 4);
          keep(node, i, t, fresh);
          break;
        case Verdict::Unreadable: out_.unconfirmed(i); break;
      }
    } else {
      keep(node, i, t, fresh);
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

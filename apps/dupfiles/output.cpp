// Vexolan's ordered output: the lines of the turns, printed in their order
// and in batches, each deletion's line once its result is in.
#include "common/status.h"
#include "console/con.h"
#include "core/tm.h"
#include "dupfiles/engine.h"

namespace {

// While the main flow is busy, the waiting lines are printed in batches,
// each in one console write: when this many were queued since the last
// batch (the lines behind deletions still under way do not count twice),
// or this long after it. Before the main flow may wait or read files
// itself, every line that can be printed is.
constexpr std::int32_t DRAIN_LINES = 64;
constexpr std::uint32_t DRAIN_MS = 20;

// The console output held for the life of the object.
class HeldOutput {
 public:
  HeldOutput() { con_hold(true); }
  ~HeldOutput() { con_hold(false); }
  HeldOutput(const HeldOutput&) = delete;
  HeldOutput& operator=(const HeldOutput&) = delete;
};

}  // namespace

void OrderedOutput::deletion_line(std::int32_t index, bool deleted) {
  {
    StrBuild prefix(u" del '");
    prefix << listed_name(file_list[index]) << u"' .. ";  // the file part of its path
    print_status(prefix.c_str(), 0, 8);
  }
  if (deleted) {
    print_status(u"+", 0, 0);
    ++duplicates_removed;
  } else {
    print_status(u"-", 0, 0);
    print_status_line(u"failed to delete file: ", listed_path(file_list[index]).c_str(), 4);
    ++delete_failures;
  }
}

void OrderedOutput::drain(bool wait) {
  queued_ = 0;
  drained_at_ = static_cast<std::uint32_t>(tm_elapsed_ms());
  if (pending_.empty()) return;
  HeldOutput held;
  while (!pending_.empty()) {
    const Pending& p = pending_.front();
    switch (p.kind) {
      case Kind::Line: print_status_line(p.text, listed_path(file_list[p.index]).c_str(), p.colour); break;
      case Kind::Progress: vexolan_count_line(p.passed, duplicates_removed, delete_failures, u"[+"); break;
      case Kind::Deletion: {
        std::int32_t result = deleter_->result(p.ticket, false);
        if (result < 0 && wait) {
          con_hold(false);
          result = deleter_->result(p.ticket, true);
          con_hold(true);
        }
        if (result < 0) return;
        deletion_line(p.index, result == 1);
        deleting_.erase(deleting_.find(p.identity));
        break;
      }
      case Kind::Unconfirmed: deletion_line(p.index, false); break;
    }
    pending_.pop_front();
  }
}

void OrderedOutput::drain_due() {
  if (++queued_ >= DRAIN_LINES || static_cast<std::uint32_t>(tm_elapsed_ms()) - drained_at_ >= DRAIN_MS)
    drain(false);
}

void OrderedOutput::line(CStr text, std::int32_t index, std::int32_t colour) {
  pending_.push_back({Kind::Line, index, text, colour, 0, 0, 0});
  drain_due();
}

void OrderedOutput::progress(std::int32_t passed) {
  pending_.push_back({Kind::Progress, 0, nullptr, 0, 0, passed, 0});
  drain_due();
}

void OrderedOutput::unconfirmed(std::int32_t index) {
  pending_.push_back({Kind::Unconfirmed, index, nullptr, 0, 0, 0, 0});
  drain_due();
}

void OrderedOutput::deletion(std::int32_t index, std::int32_t copy_of, const FsFileStamp& stamp) {
  const std::uint64_t id = identity_number(stamp.identity);
  deleting_.insert(id);
  pending_.push_back({Kind::Deletion, index, nullptr, 0, -1, 0, id});
  try {
    pending_.back().ticket = deleter_->submit(file_list[index], file_list[copy_of]);
  } catch (...) {
    pending_.pop_back();
    deleting_.erase(deleting_.find(id));
    throw;
  }
  drain_due();
}

// Quorith's main flow: for each file named on the command line, the first
// occurrence of every distinct line goes, in order and with CR LF ends, to
// the input path + "_new"; the input is never changed.
#include "duplines/quorith.h"

#include <cstring>

#include "common/status.h"
#include "common/version_note.h"
#include "core/arr.h"
#include "console/con.h"
#include "core/tm.h"
#include "duplines/line_set.h"
#include "duplines/quorith_disk.h"
#include "filesystem/fs.h"
#include "platform/os_heap.h"
#include "platform/os_process.h"
#include "textfile/txt.h"

std::int64_t lines_read = 0;
std::int64_t lines_removed = 0;

namespace {

constexpr ObjectId INPUT_FILE = 1;
constexpr ObjectId OUTPUT_FILE = 2;
constexpr std::int32_t PROGRESS_EVERY = 10240;

std::int32_t param_count = 0;
Str input_path = nullptr;
Str output_path = nullptr;
// A line's own copy: its units and terminator in a main-heap block that
// only grows, so that an ordinary line costs one copy and no allocation.
struct LineCopy {
  char16_t* units;
  std::int32_t capacity;  // units the block holds, the terminator's included
};
// The current line, and the lines read ahead of it, oldest first; the
// slots past those in use hold spare blocks.
constexpr std::int32_t LINES_AHEAD = 3;
LineCopy current_line = {};
LineCopy lines_ahead[LINES_AHEAD] = {};

// Copies `units` units of text and a terminator into a line's block; false
// when the block cannot grow (it then keeps what it held).
bool quorith_hold(LineCopy* line, CStr text, std::int32_t units) {
  if (units >= line->capacity) {
    // As large as a string of that length: 2 bytes a unit and a little more.
    std::size_t bytes = static_cast<std::size_t>(units) * 2 + 10;
    void* p = line->units ? os_heap_realloc(rt_main_heap(), line->units, bytes) : os_heap_alloc(rt_main_heap(), bytes);
    if (!p) return false;
    line->units = static_cast<char16_t*>(p);
    line->capacity = static_cast<std::int32_t>(bytes / 2);
  }
  std::memcpy(line->units, text, static_cast<std::size_t>(units) * 2);
  line->units[units] = 0;
  return true;
}

void quorith_release(LineCopy* line) {
  os_heap_free(rt_main_heap(), line->units);
  *line = {};
}
TextFormat text_format = TextFormat::Ansi;
std::int32_t start_ms = 0;
// Where the current file's lines start, past its byte-order mark.
std::int64_t data_start = 0;

// Bytes the line set may take before the bounded path takes a file over:
// set by a test, or else half of what the process may use (the rest for
// the growth of its table and everything else).
std::int64_t memory_budget = 0;
// The current file's budget, taken before its line set grows: what the
// heap holds once the set is cleared is there for the bounded path again.
std::int64_t file_budget = 0;

std::int64_t quorith_budget() {
  if (memory_budget > 0) return memory_budget;
  std::int64_t limit = os_memory_limit();
  if (limit < 0) return INT64_MAX;
  return limit > 2 ? limit / 2 : 1;
}

CStr quorith_param(std::int32_t index) { return rt_param(index); }
QuorithInputFn g_input = quorith_param;

// What the run learnt of its inputs: the file each named, when it could be
// reached. Taken once, when an output path is first found taken.
struct InputIdentity {
  FsFileIdentity identity;
  std::int32_t known;
};
InputIdentity* input_ids = nullptr;

using Failure = QuorithFailure;

void quorith_counts(std::int32_t colour) {
  StrBuild line;
  line << lines_read << u" lines passed / " << lines_removed << u" strings removed";
  if (colour < 0) con_print_line(line.c_str());
  else print_status(line.c_str(), 1, colour);
}

// Whether the output path already leads to a file that the run names as an
// input (this one or another): writing it would destroy that input.
bool quorith_output_is_an_input() {
  FsFileIdentity out;
  if (!fs_file_identity(output_path, &out)) return false;  // nothing there yet
  if (!input_ids) {
    if (!arr_dim_t<InputIdentity>(param_count, ELEM_STRUCT, nullptr, &input_ids)) return true;  // cannot tell
    for (std::int32_t j = 0; j < param_count; ++j)
      input_ids[j].known = fs_file_identity(g_input(j), &input_ids[j].identity);
  }
  for (std::int32_t j = 0; j < param_count; ++j)
    if (input_ids[j].known && input_ids[j].identity == out) return true;
  return false;
}

// Whether the temporary file of an output may have this name: never the
// name of an input of the run, as the user spelt it (in any letter case).
bool quorith_name_is_free(CStr name) {
  for (std::int32_t j = 0; j < param_count; ++j)
    if (str_cmp_nocase_path(name, g_input(j)) == 0) return false;
  return true;
}

// A block on the main heap for the current file's lines, released on every
// way out of the file.
class ByteBlock {
 public:
  ByteBlock() = default;
  ByteBlock(const ByteBlock&) = delete;
  ByteBlock& operator=(const ByteBlock&) = delete;
  ~ByteBlock() { release(); }
  void release() {
    os_heap_free(rt_main_heap(), block.data);
    block = {};
  }
  TxtByteBlock block = {};
};

// What one file's line loop holds: the set of its distinct lines, the bytes
// of the lines read and those on their way to the output.
struct FileLines {
  FileLines() = default;
  FileLines(const FileLines&) = delete;
  FileLines& operator=(const FileLines&) = delete;
  ~FileLines() { release(); }
  void release() {
    set.clear();
    read.release();
    out.release();
    os_heap_free(rt_main_heap(), spans);
    spans = nullptr;
  }
  LineSet set;
  ByteBlock read;
  ByteBlock out;
  TxtLineSpan* spans = nullptr;  // where the lines of a batch lie in `read`
};

// Appends a kept line and CR LF to the output block; false when it cannot grow.
bool quorith_stage(TxtByteBlock* out, std::int32_t* used, const unsigned char* bytes, std::int32_t size) {
  const std::int64_t need = static_cast<std::int64_t>(*used) + size + 2;
  if (need > out->capacity) {
    if (need > INT32_MAX / 2) return false;
    std::int64_t cap = need * 2 > 8192 ? need * 2 : 8192;
    void* p = out->data ? os_heap_realloc(rt_main_heap(), out->data, static_cast<std::size_t>(cap))
                        : os_heap_alloc(rt_main_heap(), static_cast<std::size_t>(cap));
    if (!p) return false;
    out->data = static_cast<unsigned char*>(p);
    out->capacity = static_cast<std::int32_t>(cap);
  }
  if (size > 0) std::memcpy(out->data + *used, bytes, static_cast<std::size_t>(size));
  out->data[*used + size] = 0x0D;
  out->data[*used + size + 1] = 0x0A;
  *used += size + 2;
  return true;
}

Failure quorith_input_end() {
  switch (txt_error(INPUT_FILE)) {
    case 0:
      return Failure::None;
    case TXT_ERROR_MEMORY:
      return Failure::Memory;
    default:
      return Failure::Read;
  }
}

// Lines read at once as bytes at most: more than a large read holds of
// ordinary lines.
constexpr std::int32_t BATCH_LINES = 8192;
// Lines whose lookups are asked for together, ahead of their insertions.
constexpr std::int32_t LOOKAHEAD = 256;
// Output gathered before it is written: large writes bypass the file's buffer.
constexpr std::int32_t OUTPUT_BYTES = 64 * 1024;

// The line loop of a file whose lines are taken as their bytes: each batch
// of lines read goes to the set and, where new, to the output as it was
// read, with CR LF. Stops at the end of the input or at the first failure.
Failure quorith_byte_lines(FileLines& lines) {
  std::int32_t progress = PROGRESS_EVERY;
  const std::int64_t budget = file_budget;
  auto* spans = static_cast<TxtLineSpan*>(os_heap_alloc(rt_main_heap(), sizeof(TxtLineSpan) * BATCH_LINES));
  if (!spans) return Failure::Memory;
  lines.spans = spans;
  LineKey keys[LOOKAHEAD];
  std::int32_t used = 0;
  bool first = true;
  for (;;) {
    std::int32_t n = txt_read_byte_lines(INPUT_FILE, &lines.read.block, spans, BATCH_LINES);
    if (n == 0) {
      // A file without a byte is one empty line.
      if (!first || txt_error(INPUT_FILE) != 0) break;
      spans[0] = {0, 0};
      n = 1;
    }
    first = false;
    const unsigned char* base = lines.read.block.data;
    for (std::int32_t from = 0; from < n; from += LOOKAHEAD) {
      const std::int32_t count = n - from < LOOKAHEAD ? n - from : LOOKAHEAD;
      // The lookups of these lines are asked for at once, so that the
      // memory they read is on its way together.
      for (std::int32_t i = 0; i < count; ++i) {
        const TxtLineSpan& span = spans[from + i];
        keys[i] = line_key(base ? base + span.start : nullptr, static_cast<std::size_t>(span.size));
        lines.set.prefetch(keys[i]);
      }
      for (std::int32_t i = 0; i < count; ++i) lines.set.prefetch_line(keys[i]);
      for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t added = lines.set.insert(keys[i]);
        if (added > 0) {
          if (lines.set.bytes() > budget) return Failure::Spill;
          const auto size = static_cast<std::int32_t>(keys[i].size);
          if (!quorith_stage(&lines.out.block, &used, keys[i].bytes, size)) return Failure::Memory;
        } else if (added == 0) {
          ++lines_removed;
        } else {
          return Failure::Spill;
        }
        ++lines_read;
        if (--progress == 0) {
          progress = PROGRESS_EVERY;
          quorith_counts(-1);
        }
      }
    }
    if (used >= OUTPUT_BYTES) {
      if (txt_write_bytes(OUTPUT_FILE, lines.out.block.data, used) == 0) return Failure::Write;
      used = 0;
    }
  }
  if (used > 0 && txt_write_bytes(OUTPUT_FILE, lines.out.block.data, used) == 0) return Failure::Write;
  return quorith_input_end();
}

// The line loop of a file whose lines are compared as text (UTF-16LE, or
// a code page of more than one byte a character): each line read goes to
// the set as its code units and, when new, to the output. Stops at the end
// of the input or at the first failure.
Failure quorith_text_lines(FileLines& lines) {
  std::int32_t progress = PROGRESS_EVERY;
  const std::int64_t budget = file_budget;
  std::int32_t queued = 0;
  // Each line's length and hash, taken once for its announcement, its
  // lookup and its output.
  LineKey current_key;
  LineKey keys_ahead[LINES_AHEAD];
  const std::int32_t format = txt_format_code(text_format);
  const auto key_of = [](const LineCopy& line, std::int32_t units) {
    return line_key(line.units, static_cast<std::size_t>(units) * 2);
  };
  // A line that cannot be held would leave the previous line in its place.
  CStr first = txt_read_line(INPUT_FILE, text_format);
  std::int32_t units = str_length(first);
  if (!quorith_hold(&current_line, first, units)) return Failure::Memory;
  current_key = key_of(current_line, units);
  for (;;) {
    // Lines are read ahead and their lookups announced, so that the memory
    // each lookup needs is on its way while the lines before it are handled.
    for (; queued < LINES_AHEAD; ++queued) {
      CStr next = txt_read_next_line(INPUT_FILE, format);
      if (!next) break;
      units = str_length(next);
      if (!quorith_hold(&lines_ahead[queued], next, units)) return Failure::Memory;
      keys_ahead[queued] = key_of(lines_ahead[queued], units);
      lines.set.prefetch(keys_ahead[queued]);
    }
    if (queued > 0) lines.set.prefetch_line(keys_ahead[0]);
    std::int32_t added = lines.set.insert(current_key);
    const auto current_units = static_cast<std::int32_t>(current_key.size / 2);
    if (added > 0) {
      if (lines.set.bytes() > budget) return Failure::Spill;
      if (txt_write_line(OUTPUT_FILE, current_line.units, current_units, format) == 0) return Failure::Write;
    } else if (added == 0) {
      ++lines_removed;
    } else {
      return Failure::Spill;
    }
    ++lines_read;
    if (--progress == 0) {
      progress = PROGRESS_EVERY;
      quorith_counts(-1);
    }
    if (queued == 0) break;
    // The oldest line read ahead becomes the current one; the buffer done
    // with goes last, as a spare.
    LineCopy done = current_line;
    current_line = lines_ahead[0];
    current_key = keys_ahead[0];
    for (std::int32_t k = 1; k < LINES_AHEAD; ++k) {
      lines_ahead[k - 1] = lines_ahead[k];
      keys_ahead[k - 1] = keys_ahead[k];
    }
    lines_ahead[LINES_AHEAD - 1] = done;
    --queued;
  }
  // The end of the lines may be a failure of the input rather than its end.
  return quorith_input_end();
}

// Gives a file up: its partial output is removed (an output of an earlier
// run stays as it was), the lines released, and one line tells why. The
// input was only ever read.
void quorith_abandon(Failure failure, FileLines& lines) {
  // Memory first, so that the message itself can be built.
  lines.release();
  quorith_release(&current_line);
  for (LineCopy& line : lines_ahead) quorith_release(&line);
  txt_close(OUTPUT_FILE);
  if (failure == Failure::Write) print_status_line(u"Cannot write out file: ", output_path, 12);
  else if (failure == Failure::Read) print_status_line(u"Cannot read file: ", input_path, 12);
  else print_status_line(u"Not enough memory: ", input_path, 12);
  txt_close(INPUT_FILE);
}

// The file's distinct lines outgrow the memory: its line set and its output so
// far go (what was printed of it stays true), and the bounded path starts
// the file over.
Failure quorith_bounded(FileLines& lines) {
  const std::int64_t announced = lines_read;
  lines.release();
  txt_close(OUTPUT_FILE);
  if (data_start < 0) return Failure::Memory;  // the input cannot be read again
  if (txt_create_replacement(OUTPUT_FILE, output_path, INPUT_FILE, quorith_name_is_free) == 0) return Failure::Write;
  QuorithDiskJob job = {};
  job.input = INPUT_FILE;
  job.output = OUTPUT_FILE;
  job.output_path = output_path;
  job.usable = quorith_name_is_free;
  job.format = txt_format_code(text_format);
  job.bytes = txt_bytes_are_text(job.format);
  job.data_start = data_start;
  job.input_bytes = fs_file_size(input_path);
  job.budget = file_budget;
  job.announced = announced;
  job.progress = [] { quorith_counts(-1); };
  return quorith_disk_lines(job);
}

}  // namespace

void quorith_set_memory_budget(std::int64_t bytes) { memory_budget = bytes > 0 ? bytes : 0; }

void quorith_set_inputs(std::int32_t count, QuorithInputFn fn) {
  param_count = count;
  g_input = fn ? fn : quorith_param;
  arr_free(input_ids);
  input_ids = nullptr;
}

void quorith_file(std::int32_t i) {
  {
    StrBuild head(u". . . . . . .    File ");
    head << (i + 1) << u" of " << param_count;
    print_status(head.c_str(), 1, 14);
  }
  // A path that cannot be held would leave the previous file's in its place.
  if (str_assign(&input_path, g_input(i)) == 0) {
    print_status(u"Not enough memory", 1, 12);
    return;
  }
  {
    StrBuild out(input_path);
    out << u"_new";
    if (!out.assign_to(&output_path)) {
      print_status_line(u"Not enough memory: ", input_path, 12);
      return;
    }
  }
  // Each line's block is at hand before the first line: a line that does
  // not fit grows it.
  quorith_hold(&current_line, u"", 0);
  for (LineCopy& line : lines_ahead) quorith_hold(&line, u"", 0);
  lines_removed = 0;
  lines_read = 0;
  start_ms = tm_elapsed_ms();

  if (fs_file_size(input_path) < 0) {
    print_status_line(u"File not found or invalid: ", input_path, 12);
    return;
  }
  if (txt_open_read(INPUT_FILE, input_path, TXT_SHARE_READ) == 0) {
    print_status_line(u"Cannot read file: ", input_path, 12);
    return;
  }
  text_format = txt_detect_format(INPUT_FILE);
  data_start = txt_position(INPUT_FILE);
  if (text_format != TextFormat::Ansi && text_format != TextFormat::Utf8 && text_format != TextFormat::Utf16Le) {
    // UTF-16BE and UTF-32 are known by their marks only: read as ANSI they
    // would be "saved" as garbage, so the file is refused and nothing written.
    print_status_line(u"Cannot read file: ", input_path, 12);
    txt_close(INPUT_FILE);
    return;
  }
  // Never the input itself, another input of the run, or whatever a link
  // or a special file at the output path would lead to. The lines go to a
  // temporary file that takes the output's place only once complete, so
  // that a run that fails or is ended never costs an earlier output.
  if (quorith_output_is_an_input() ||
      txt_create_replacement(OUTPUT_FILE, output_path, INPUT_FILE, quorith_name_is_free) == 0) {
    print_status_line(u"Cannot create out file: ", output_path, 12);
    txt_close(INPUT_FILE);
    return;
  }

  file_budget = quorith_budget();
  // The lines are compared as the file holds them where that is the same
  // as comparing their text, and written back as they were read.
  FileLines lines;
  Failure failure = txt_bytes_are_text(txt_format_code(text_format)) ? quorith_byte_lines(lines)
                                                                      : quorith_text_lines(lines);
  if (failure == Failure::Spill) failure = quorith_bounded(lines);
  // The last output is written before the summary, so that a full disk
  // is told instead of it.
  if (failure == Failure::None && txt_flush(OUTPUT_FILE) == 0 && txt_error(OUTPUT_FILE) != 0) failure = Failure::Write;
  if (failure != Failure::None) {
    quorith_abandon(failure, lines);
    return;
  }

  lines.release();
  quorith_counts(11);
  {
    StrBuild done(u"DONE with ");
    done << lines_read << u" strings, " << (tm_elapsed_ms() - start_ms) << u" ms";
    print_status(done.c_str(), 1, 14);
  }
  if (lines_removed != 0) {
    if (txt_commit(OUTPUT_FILE) == 0) {
      quorith_abandon(Failure::Write, lines);
      return;
    }
    StrBuild saved(u"Saved as ");
    saved << fs_file_part(output_path);
    print_status(saved.c_str(), 1, 8);
  } else {
    // Nothing to keep: the temporary goes, and so does an output of an
    // earlier run, so that no output stands beside an input without duplicates.
    txt_close(OUTPUT_FILE);
    print_status(u"Nothing removed", 1, 8);
    fs_delete_file(output_path, 0);
  }
  txt_close(INPUT_FILE);
}

namespace {

void quorith_main() {
  quorith_set_inputs(rt_param_count(), nullptr);
  str_assign(&input_path, u"");
  str_assign(&output_path, u"");
  con_open(u"Quorith by Orlethe");

  print_status_line(u"@ ", ORLETHE_WEB_ADDRESS, 8);
  print_status(u"", 1, 0);
  if (param_count == 0) print_status(u"Error: no files specified", 1, 12);
  for (std::int32_t i = 0; i < param_count; ++i) {
    quorith_file(i);
    print_status(u"", 1, 0);
  }
  print_status(u"Press Enter to quit", 1, 7);
  con_read_line();
}

void quorith_init_libraries() {
  txt_init();
  fs_init();
}

void quorith_release_libraries() {
  fs_dir_release_all();
  txt_shutdown();
}

const RtProgram g_program = {quorith_init_libraries, nullptr, quorith_release_libraries, quorith_main};

}  // namespace

const RtProgram& quorith_program() { return g_program; }

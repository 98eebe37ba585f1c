// Quorith's main flow: for each file named on the command line, the first
// occurrence of every distinct line goes, in order and with CR LF ends, to
// the input path + "_new"; the input is never changed.
#include "duplines/quorith.h"

#include "common/status.h"
#include "common/tree.h"
#include "common/version_note.h"
#include "console/con.h"
#include "core/tm.h"
#include "filesystem/fs.h"
#include "textfile/txt.h"

namespace {

constexpr ObjectId INPUT_FILE = 1;
constexpr ObjectId OUTPUT_FILE = 2;
constexpr std::int32_t PROGRESS_EVERY = 10240;
constexpr std::int32_t TREE_STEP = 102400;

std::int32_t param_count = 0;
Str input_path = nullptr;
Str output_path = nullptr;
Str current_line = nullptr;
TextFormat text_format = TextFormat::Ansi;
std::int32_t lines_removed = 0;
std::int32_t lines_read = 0;
std::int32_t start_ms = 0;

void quorith_counts(std::int32_t colour) {
  StrBuild line;
  line << lines_read << u" lines passed / " << lines_removed << u" strings removed";
  if (colour < 0) con_print_line(line.c_str());
  else print_status(line.c_str(), 1, colour);
}

void quorith_file(std::int32_t i) {
  {
    StrBuild head(u". . . . . . .    File ");
    head << (i + 1) << u" of " << param_count;
    print_status(head.c_str(), 1, 14);
  }
  str_assign(&input_path, rt_param(i));
  {
    StrBuild out(input_path);
    out << u"_new";
    out.assign_to(&output_path);
  }
  str_assign(&current_line, u"");
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
  if (text_format != TextFormat::Ansi && text_format != TextFormat::Utf8 && text_format != TextFormat::Utf16Le) {
    // UTF-16BE and UTF-32 are known by their marks only: read as ANSI they
    // would be "saved" as garbage, so the file is refused and nothing written.
    print_status_line(u"Cannot read file: ", input_path, 12);
    txt_close(INPUT_FILE);
    return;
  }
  if (txt_create(OUTPUT_FILE, output_path) == 0) {
    print_status_line(u"Cannot create out file: ", output_path, 12);
    txt_close(INPUT_FILE);
    return;
  }

  tree_init(TREE_STEP);
  for (;;) {
    str_assign(&current_line, txt_read_line(INPUT_FILE, text_format));
    if (tree_insert_unique(current_line)) txt_write_line(OUTPUT_FILE, current_line, text_format);
    else ++lines_removed;
    ++lines_read;
    if (lines_read % PROGRESS_EVERY == 0) quorith_counts(-1);
    if (txt_eof(INPUT_FILE)) break;
  }

  quorith_counts(11);
  {
    StrBuild done(u"DONE with ");
    done << lines_read << u" strings, " << (tm_elapsed_ms() - start_ms) << u" ms";
    print_status(done.c_str(), 1, 14);
  }
  txt_close(OUTPUT_FILE);
  if (lines_removed != 0) {
    StrBuild saved(u"Saved as ");
    saved << fs_file_part(output_path);
    print_status(saved.c_str(), 1, 8);
  } else {
    print_status(u"Nothing removed", 1, 8);
    fs_delete_file(output_path, 0);
  }
  tree_clear();
  txt_close(INPUT_FILE);
}

void quorith_main() {
  tree_create(1, 10240);
  param_count = rt_param_count();
  str_assign(&input_path, u"");
  str_assign(&output_path, u"");
  str_assign(&current_line, u"");
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

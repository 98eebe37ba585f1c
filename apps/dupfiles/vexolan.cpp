// Vexolan's main flow: banner, path check, warning, the Y prompt (or the
// prank), then the work after the Y key.
#include "dupfiles/vexolan.h"

#include <optional>

#include "common/status.h"
#include "common/tree.h"
#include "common/version_note.h"
#include "console/con.h"
#include "core/arr.h"
#include "core/tm.h"
#include "dupfiles/engine.h"
#include "filesystem/fs.h"
#include "regex/rx.h"

Str scan_path = nullptr;
FileList file_list;
std::int32_t file_count = 0;
Str current_file = nullptr;
Str current_hash = nullptr;
std::int32_t files_passed = 0;
std::int32_t duplicates_removed = 0;
std::int32_t delete_failures = 0;

namespace {

constexpr std::int32_t KEY_Y = 89;

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
  file_list.clear();
  str_assign(&current_file, u"");
  duplicates_removed = files_passed = delete_failures = 0;
  std::int32_t start_ms = 0;
  // The run after the Y key: collected and ordered in the prompt loop, so
  // that its threads work through the pause there; processed after it.
  std::optional<VexolanRun> run;
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
        run.emplace(scan_path);
      } else if (con_raw_key() != 0) {
        vexolan_prank();
      }
      tm_delay(20);
      if (con_raw_key() != 0) break;
    }
  }

  // Without a run (an invalid path, the prank) there is nothing to process.
  if (run) run->process(start_ms);
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

void vexolan_count_line(std::int32_t passed, std::int32_t removed, std::int32_t failed, CStr bracket) {
  StrBuild line;
  line << passed << u" files passed / " << removed << u" duplicates removed " << bracket << failed << u" failed]";
  print_status(line.c_str(), 1, 11);
}

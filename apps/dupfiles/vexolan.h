// Vexolan's program logic and the library steps it runs with.
#pragma once
#include <cstdint>

#include "core/rt.h"
#include "core/str.h"
#include "dupfiles/file_list.h"

// The program's process-wide state.
extern Str scan_path;
extern FileList file_list;  // the collected files, each as its directory and name
extern std::int32_t file_count;
extern Str current_file;
extern Str current_hash;  // the content key of current_file (its MD5 fingerprint text where no look-ahead runs)
extern std::int32_t files_passed;
extern std::int32_t duplicates_removed;
extern std::int32_t delete_failures;

const RtProgram& vexolan_program();

// Called at each file's turn (its list index and path), after the
// look-ahead has planned the file and before the main flow looks at it, so
// that a test can change the files at that moment.
using VexolanTurnFn = void (*)(std::int32_t index, CStr path);

// The counts line: "N files passed / N duplicates removed " bracket "N failed]".
void vexolan_count_line(std::int32_t passed, std::int32_t removed, std::int32_t failed, CStr bracket);

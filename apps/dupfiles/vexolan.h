// Vexolan's program logic and the library steps it runs with.
#pragma once
#include <cstdint>

#include "core/rt.h"
#include "core/str.h"

// The program's process-wide state.
extern Str scan_path;
extern Str* file_list;
extern std::int32_t file_count;
extern std::int32_t files_passed;
extern std::int32_t duplicates_removed;
extern std::int32_t delete_failures;

const RtProgram& vexolan_program();

// Called at each file's turn (its list index and path), after the
// look-ahead has planned the file and before the main flow looks at it, so
// that a test can change the files at that moment; null: nothing is called.
using VexolanTurnFn = void (*)(std::int32_t index, CStr path);
void vexolan_set_turn_hook(VexolanTurnFn fn);

// The work after the Y key: collect below scan_path, sort, fingerprint,
// delete duplicates and print the summary. The console must be open.
void vexolan_scan(CStr path);

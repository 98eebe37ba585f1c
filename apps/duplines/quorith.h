// Quorith's program logic and the library steps it runs with.
#pragma once
#include <cstdint>

#include "core/rt.h"
#include "core/str.h"

// The counters of the current file. 64-bit, so that no file is long enough
// to wrap them into a wrong decision.
extern std::int64_t lines_read;
extern std::int64_t lines_removed;

const RtProgram& quorith_program();

// Where the input paths come from: the program parameters, or for tests a
// function that gives path `index` (0-based) of `count`. Null restores the
// parameters. Forgets what was learnt about the previous inputs.
using QuorithInputFn = CStr (*)(std::int32_t index);
void quorith_set_inputs(std::int32_t count, QuorithInputFn fn);

// Bytes the tree may take for a file's distinct lines before the file goes
// the bounded way through temporary files (for tests); 0 restores the
// budget taken from the memory the process may use.
void quorith_set_memory_budget(std::int64_t bytes);

// The steps for input `index`: reads it, writes its output, prints its
// lines. The console, the text files and the tree must be set up.
void quorith_file(std::int32_t index);

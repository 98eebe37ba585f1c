// Vexolan's work after the Y key: the collection with the look-ahead
// started on it, then each file's turn in list order, the deletions and
// their lines in that order.
#pragma once
#include <cstdint>

#include "core/str.h"

// Collects every file below path into file_list / file_count and sorts the
// list, so that the look-ahead plans it while the caller pauses.
void vexolan_collect(CStr path);

// Sorts the list where no collection did, gives each file its turn, finishes the deletions and
// prints the summary (from start_ms).
void vexolan_process(std::int32_t start_ms);

// The counts line: "N files passed / N duplicates removed " bracket "N failed]".
void vexolan_count_line(std::int32_t passed, std::int32_t removed, std::int32_t failed, CStr bracket);

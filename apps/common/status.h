// The coloured status printer of both programs: sets the console colour and
// writes a line or a line fragment. The texts "+" and "-" are result
// markers that finish a line with " Ok" in light green or " FAILED" in
// light red.
#pragma once
#include <cstdint>

#include "core/str.h"

// Writes `text` in `colour` (0 selects 7, light grey) on black, followed by
// a line end when `newline` is non-zero. For the markers "+" and "-" the
// flag and the colour are ignored and the marker always ends the line. The
// colour stays set afterwards.
void print_status(CStr text, std::int32_t newline, std::int32_t colour);

// Writes `first` followed by `second` as one line in `colour`. Both texts
// must be held by variables: a temporary result would be overwritten while
// the line is built.
void print_status_line(CStr first, CStr second, std::int32_t colour);

// The console device: the program's text terminal. Writes text in a chosen
// colour, reads a line, polls the keyboard without waiting, and copes with
// standard output and input redirected to a file or a pipe (output then
// goes out as raw UTF-16LE bytes, input is read as UTF-16LE units).
// Printed text is shown, never obeyed: where the console would act on a
// control character in it (a POSIX terminal), the character is shown as
// U+FFFD; redirected output keeps every unit as it is.
//
// Colour numbers are the console attribute nibble: 1 blue, 2 green, 4 red,
// 8 bright, added together; the attribute is foreground + 16 x background.
// Results that are strings are temporary results (core/str.h).
#pragma once
#include <cstdint>

#include "core/str.h"

// The end-of-input marker that con_read_line returns (Ctrl+Z or Ctrl+D at
// the console, the end of redirected input).
constexpr char16_t CON_END_OF_INPUT = 0x0004;

// Attaches the device to the standard handles, reads the console's
// attribute, installs the control handler and, when title is not null, sets
// the window title. Must run before any other operation here. Always 1.
std::int32_t con_open(CStr title);

// Writes the text (nothing for null) in the current colour; no line end.
void con_print(CStr text);

// Writes the text (null as empty) and CR LF in one write, then flushes the
// output. Writes nothing when the buffer cannot be allocated.
void con_print_line(CStr text);

// true: keeps what is printed from now on (text, colours) to send it in one
// write at the next con_hold(false), so that a batch of short lines costs
// the console one write. The bytes and their order are those printed
// unheld; kept output also goes out before any read or key poll and at the
// normal end. Holds do not nest: one release ends them. Failures are silent.
void con_hold(bool hold);

// Sets the colour of text written afterwards. Numbers above 15 or below 0
// change nothing.
void con_set_color(std::int32_t foreground, std::int32_t background);

// One line without its line break. At the console: an edited line, in
// pieces of at most 4096 units. Redirected: the next line of the input,
// where CR, LF and CR LF each end a line. CON_END_OF_INPUT alone at the end
// of input, and again on every call after it.
CStr con_read_line();

// The character of the first key press waiting, as a one-unit string, or
// the empty string when none waits or the key has no character. Never waits.
CStr con_inkey();

// The virtual-key code of the key press that the last con_inkey took (89 is
// Y in either case, 13 Enter, 27 Escape); 0 when it took none.
std::int32_t con_raw_key();

// The attribute that the last con_set_color recorded, or the console's own
// since con_open (0 when the output is not a console).
std::uint16_t con_attribute();

// Internal steps, public for the status printer's and the device's tests.
// Writes `count` units to the console, or their UTF-16LE bytes to redirected
// output; failures are silent.
void con_write(const char16_t* text, std::int32_t count);

// The control handler: on the close event (2) it runs the library releases
// first. Always 0 (FALSE), so that the system's default action follows.
std::int32_t con_ctrl_handler(std::uint32_t type);

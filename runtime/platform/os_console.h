// Platform contract: the console the program was started with.
//
// The console device reaches its standard handles only through these calls.
// A handle may be a console (a terminal on POSIX) or a redirected file or
// pipe; the console calls fail on a redirected handle, and the device then
// falls back to the byte calls, so that the same situation gives the same
// result on every system:
// - Console output takes UTF-16 text (POSIX: converted to UTF-8),
//   colours are the console attribute (POSIX: ANSI SGR sequences), the title
//   is the window's (POSIX: the terminal's title sequence).
// - Text is shown, never obeyed: the Windows console shows control
//   characters as glyphs; a POSIX terminal shows each control character
//   (U+0000-U+001F, U+007F, U+0080-U+009F) and each unit that is not a whole
//   character (a lone surrogate, among them U+DC80-U+DCFF, which stand for
//   bytes of a name that are not UTF-8) as U+FFFD, so that a file name
//   holding an escape sequence cannot drive the terminal. The one exception
//   is the device's own line end: a CR LF that ends one write.
// - Console input is read as an edited line ending in CR LF, with the single
//   unit U+001A for the end-of-input key (Ctrl+Z; Ctrl+D on POSIX) on an
//   empty line; key presses come one at a time as a virtual-key code and a
//   character, never waiting, and are never echoed (POSIX: the terminal is
//   in key mode, without echo or line editing, from the first key poll until
//   the next line read, which takes the keys typed meanwhile first, as
//   typed; escape sequences map to Windows virtual-key codes).
// - POSIX: whatever the device changed at the terminal (its mode, its
//   colours) is put back on every way out: the normal end, SIGINT (Ctrl+C),
//   SIGQUIT, SIGTERM and SIGHUP, a crash (SIGSEGV, also from an overflowed
//   stack, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGXCPU,
//   SIGXFSZ), which then take their default actions, and SIGTSTP (Ctrl+Z),
//   before the process stops; SIGCONT takes the device's mode and colour up
//   again. A signal that was ignored at the start stays ignored.
// - Redirected output takes the bytes unchanged; redirected input gives the
//   bytes as they come, with end of input and a vanished writer both seen
//   as end of input.
#pragma once
#include <cstdint>

// A standard handle. On Windows it is the system's handle, on POSIX the
// file descriptor, so that an OsFile (os_file.h) can serve where a test
// redirects a standard handle.
using OsConsole = std::intptr_t;

// Console control events, numbered as the system numbers them.
constexpr std::uint32_t OS_CTRL_C_EVENT = 0;
constexpr std::uint32_t OS_CTRL_BREAK_EVENT = 1;
constexpr std::uint32_t OS_CTRL_CLOSE_EVENT = 2;

// A handler of control events: non-zero when it handled the event, 0 to let
// the system's default action (ending the process) follow.
using OsCtrlHandler = std::int32_t (*)(std::uint32_t event);

// One key press: its Windows virtual-key code and its character (0 for a
// key without one: arrows, function keys, Shift, ...).
struct OsKeyPress {
  std::int32_t virtual_key;
  char16_t character;
};

// The process's standard input and output as they are now.
OsConsole os_console_std_input();
OsConsole os_console_std_output();

// Writes `count` UTF-16 units to a console. False, with nothing written,
// when the handle is not a console (or, on Windows, the console refused).
bool os_console_write(OsConsole out, const char16_t* units, std::int32_t count);

// Writes bytes unchanged to a redirected handle; the byte count written, or
// -1. A reader that went away only makes the call fail (POSIX never raises
// SIGPIPE for it).
std::int32_t os_console_write_bytes(OsConsole out, const void* bytes, std::int32_t count);

// Forces written output to its device: a file to disk (Windows: a pipe waits
// for its reader). False where there is nothing to force, such as a console.
// Held output (os_console_hold) stays held, except a file's, which is sent
// and then forced.
bool os_console_flush(OsConsole out);

// With `hold`, keeps what the console calls write to `out` from then on
// (text and colours on a console, the bytes of redirected output) in the
// process; without, sends what was kept in one write and ends the hold, so
// that many short writes reach the device at once, in the same order and
// with the same bytes. Kept output also goes out, first, before anything
// reads from the console or polls a key, before the title is set, as soon
// as more than 64 KiB are kept, and on the normal end of the process. One
// handle is held at a time: holding another sends the first's output and
// ends its hold. Not nested: one release ends any number of holds.
// A held write counts as done when it is kept. A failure found when kept
// output is sent is its writes': on a console it is ignored, as a console
// write's failure is; for redirected output the rest of what was kept is
// dropped and the failure is reported once, by whichever comes first: the
// next os_console_write_bytes to `out` (which then fails, -1, and takes
// nothing) or the release (false). True otherwise.
// Windows: a console's text is written at once (its colours are set apart
// from the text, so keeping it would save no write); redirected output is
// held as described.
bool os_console_hold(OsConsole out, bool hold);

// The text attribute of a console screen buffer (POSIX: 7, light grey on
// black, for a terminal, whose colours cannot be read). False when the
// handle is not a console.
bool os_console_attribute(OsConsole out, std::uint16_t* attribute);

// Sets the attribute (foreground + 16 x background, nibbles 1 blue, 2 green,
// 4 red, 8 bright) for text written afterwards. False when not a console.
bool os_console_set_attribute(OsConsole out, std::uint16_t attribute);

// Sets the console window's title (POSIX: when the output is a terminal).
bool os_console_set_title(const char16_t* title);

// Installs the handler for the life of the process; a later call replaces
// it. Windows calls it on a thread that the system creates for each event.
// POSIX delivers only the close event: when the terminal goes away (SIGHUP)
// a thread of its own, which waits for the signal with the signal blocked
// in every other thread from this call on, calls the handler with
// OS_CTRL_CLOSE_EVENT; unless the handler returns non-zero, the terminal's
// mode and colours are put back and the process ends by SIGHUP's default
// action. Ctrl+C and the other signals keep their default actions, after
// the terminal is put back. On both systems an event or signal that ends
// the process deletes the files marked for the end (os_file.h) first, once
// the handler has let it through. Where SIGHUP was
// ignored when this was first called (nohup), the terminal's going away
// ends nothing and the handler is never called.
bool os_console_set_ctrl_handler(OsCtrlHandler handler);

// Prepares console input for line reading: processed, line-edited and echoed
// input (Windows console mode 7). POSIX: key mode ends, and a terminal
// whose own mode is not canonical with echo is switched to that for each
// line read only. False when the handle is not a console.
bool os_console_set_line_mode(OsConsole in);

// Reads one edited line from a console into `buffer` (at most `capacity`
// units, capacity at least 2): the units as typed, ended by CR LF when the
// line was ended by Enter, or the single unit U+001A for the end-of-input
// key on an empty line (and when a terminal hangs up). A longer line comes
// in pieces. The unit count, or -1 when the handle is not a console.
std::int32_t os_console_read_line(OsConsole in, char16_t* buffer, std::int32_t capacity);

// Reads up to `count` bytes from a redirected handle: the byte count read
// (> 0), 0 at the end of input (including a pipe whose writer has gone), or
// -1 for any other failure.
std::int32_t os_console_read_bytes(OsConsole in, void* buffer, std::int32_t count);

// The number of input events waiting at a console, without waiting (POSIX:
// the bytes waiting at a terminal; each key takes at least one).
// False when the handle is not a console.
bool os_console_input_events(OsConsole in, std::uint32_t* count);

// Takes the next waiting input event; 1 when it is a key press, stored in
// *key; 0 for any other event (a key release, the mouse, focus, ...), for a
// failed read and when nothing is waiting. Call it only for events counted
// by os_console_input_events, so that it does not wait.
std::int32_t os_console_read_input(OsConsole in, OsKeyPress* key);

// For tests only: standard handles replaced for a while, and pipes.
enum OsStdStream : std::int32_t { OS_STD_INPUT = 0, OS_STD_OUTPUT = 1 };

// Makes `handle` (an OsFile or a pipe end) the standard input or output of
// the process. Returns what os_console_restore_std needs to put the previous
// one back, or -1 on failure. The caller still owns and closes `handle`,
// after restoring.
std::intptr_t os_console_redirect_std(OsStdStream which, std::intptr_t handle);
void os_console_restore_std(OsStdStream which, std::intptr_t saved);

// An anonymous pipe; its ends are used and closed like an OsFile (os_file.h).
bool os_console_create_pipe(std::intptr_t* read_end, std::intptr_t* write_end);

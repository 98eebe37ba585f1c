// Win32 backend, internal: the one conversion of every path that the file
// services are handed, as pure functions of the path and the current
// directory (no system call, no allocation), so that they can be checked
// anywhere.
//
// Windows hands a path to the file system only after making it full: it
// makes it absolute, turns "/" into "\", drops "." and resolves "..", and
// trims some dots and blanks. A program that is not declared long-path
// aware, on a system that does not allow it, gets "path not found" once that
// full path reaches MAX_PATH, unless the path is in the extended form
// ("\\?\C:\...", "\\?\UNC\server\share\..."), which the system takes as it
// is, up to 32,767 units. So a long path is made full here, as Windows would
// make it, and handed over in extended form; a shorter one is handed over as
// the caller gave it, for Windows to treat as it always has.
#pragma once
#include <cstddef>
#include <string_view>

// Full paths from this length on are handed over in extended form: the
// directory services stop at MAX_PATH (260, terminator included) less room
// for an 8.3 name (12), the other services at MAX_PATH.
constexpr std::size_t WIN_LONG_PATH = 248;

// How many units a conversion of `path` may write, terminator included.
std::size_t win_path_capacity(std::u16string_view path, std::u16string_view current_dir);

// The full path that Windows makes of `path`, written to `out` (of
// win_path_capacity units), zero-terminated; the result views `out`.
// `current_dir` is the directory a relative path starts from: the process's,
// or for a drive-relative path ("D:x") on another drive that drive's own;
// where it is not on the path's drive, that drive's root is taken. A path in
// extended form stays as it is; one that names nothing (empty, blanks only)
// becomes empty. With `pattern`, a last component that holds a wildcard
// ("*" or "?") is a search mask and is kept as it is after the full
// directory.
std::u16string_view win_full_path(std::u16string_view path, std::u16string_view current_dir, bool pattern,
                                  char16_t* out);

// The form of `path` handed to the file services, written to `out` as
// win_full_path writes: the path as it is while its full path is shorter
// than WIN_LONG_PATH; from there on the full path in extended form ("\\?\"
// before a drive path, "\\?\UNC\" for "\\server\share", "\\?\" for "\\.\").
std::u16string_view win_system_path(std::u16string_view path, std::u16string_view current_dir, bool pattern,
                                    char16_t* out);

// Whether the full path of `path` is had without a current directory: a
// drive path ("C:\x"), a share or device path, or one in extended form.
bool win_path_is_absolute(std::u16string_view path);

// The drive letter of a drive-relative path ("D:x", "D:") whose drive is
// not that of current_dir, whose own current directory the conversion then
// needs; 0 for any other path.
char16_t win_path_other_drive(std::u16string_view path, std::u16string_view current_dir);

// Platform layer, internal: what each backend gives the list of files that
// an interrupted process deletes (end_marks.cpp).
#pragma once

// A path in the form the system's deletion takes, made ahead so that the
// deletion needs nothing more; null when it cannot be made.
void* os_end_path_new(const char16_t* path);
void os_end_path_free(void* native);

// Deletes the file at a prepared path. Safe in a signal handler.
void os_end_path_delete(const void* native);

// Run at the first mark: makes sure that the ends of the process delete the
// marked files (installs the handlers that call os_remove_marked_files).
void os_end_marks_begin();

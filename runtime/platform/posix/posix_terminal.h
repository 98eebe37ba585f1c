// POSIX backend, internal: whether a descriptor is a terminal, remembered
// for the standard ones, which change only when they are replaced.
#pragma once

bool posix_is_terminal_fd(int fd);

// A standard descriptor was replaced: ask again next time.
void posix_terminal_changed(int fd);

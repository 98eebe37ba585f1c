// POSIX backend, internal: whether a descriptor is a terminal, remembered
// for the standard ones, which change only when they are replaced; and the
// handlers of the signals that end the process.
#pragma once

bool posix_is_terminal_fd(int fd);

// A standard descriptor was replaced: ask again next time.
void posix_terminal_changed(int fd);

// Installs, once, the handlers of the signals that end the process (SIGINT,
// SIGQUIT, SIGTERM, SIGHUP where no close watch takes it): each deletes the
// files marked for the end, puts the terminal back and then ends the
// process by the signal's default action.
void posix_install_end_signals();

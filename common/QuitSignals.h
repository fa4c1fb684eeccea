// Ending a program by signal as if its window were closed: SIGTERM (logout, shutdown, kill),
// SIGINT (Ctrl+C in a terminal) and SIGHUP (the terminal went away) close the given window
// through its own close handling, so recordings are finished and settings kept, instead of the
// process dying on the spot.
//
// The signal handler only writes the signal's number to a socket pair (async-signal-safe); the
// window thread reads it through a QSocketNotifier and calls Window->close() from the event
// loop. A second signal while the window is already closing is not acted on again.
#pragma once

class QWidget;

// GUI thread, once, after the window exists; the handlers stay for the life of the process.
// Returns false (and changes nothing) when the socket pair cannot be made.
bool installQuitSignals(QWidget *Window);

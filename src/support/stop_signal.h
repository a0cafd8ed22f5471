// A clean stop on SIGINT, SIGTERM or SIGHUP: the handler only records the signal; the walk asks
// between objects and stops there. A second signal ends the process at once (the handler is reset
// after the first), which still leaves no file under a final name that is not whole.
#pragma once

// Installs the handlers.
void install_stop_handlers();
// The signal that asked the run to stop, or 0.
int stop_requested();
// The signal's name ("SIGINT") and the exit status that reports it (128 + its number).
const char* stop_signal_name(int signal_number);
int stop_exit_status(int signal_number);

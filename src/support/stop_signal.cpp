// Signal handlers of the clean stop.
#include "support/stop_signal.h"

#include <csignal>
#include <initializer_list>

namespace {

volatile std::sig_atomic_t requested = 0;

extern "C" void record_stop(int signal_number) { requested = signal_number; }

}  // namespace

void install_stop_handlers() {
  struct sigaction action {};
  action.sa_handler = record_stop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // a second signal takes its default action
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

int stop_requested() { return requested; }

const char* stop_signal_name(int signal_number) {
  switch (signal_number) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

int stop_exit_status(int signal_number) { return 128 + signal_number; }

// What a cartridge's process says during a library job, brought to the library job's own output.
// The process's standard output and standard error go through pipes to the library job, which
// prints each of their lines with the cartridge's barcode before it (three jobs at once stay
// readable), above its status lines; the process's status line comes through a third pipe, one
// update a line, for the library's display of one line per drive.
#pragma once

#include <poll.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "support/unique_fd.h"

class CartridgeRelay {
 public:
  // Makes the pipes; false (errno set) when it cannot.
  bool open();
  // In the cartridge's process, just after it was made: its standard output and error become
  // the pipes and its status line feeds the third one.
  void attach_child();
  // In the library job, just after the process was made: the writing ends closed, the lines
  // relayed with `label` before them.
  void attach_parent(const std::string& label);
  // The reading ends still open, to wait for.
  void add_to(std::vector<pollfd>* fds) const;
  // Takes what the pipes hold without waiting and prints the whole lines among it.
  void pump();
  // The process ended: takes everything to the end of each pipe and prints it, the last line
  // even without its newline; then closes the pipes.
  void drain();
  // The last whole line of the status feed ("" before the first).
  const std::string& status() const { return status_; }

 private:
  struct Stream {
    support::UniqueFd read;
    support::UniqueFd write;
    std::string pending;  // read, not yet a whole line
  };
  // Reads once from `s`; false at its end or on an error.
  bool read_some(Stream& s);
  void deliver(size_t index, bool everything);

  std::array<Stream, 3> streams_;  // standard output, standard error, status feed
  std::string label_;
  std::string status_;
};

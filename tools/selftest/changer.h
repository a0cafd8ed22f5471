// tape_selftest's changer and library drive commands: the inventory of a library (READ ELEMENT
// STATUS with barcodes and drive identifiers, after the element address assignment page), a
// move, a drive's load and unload, and a drive's serial number, each printed as fields.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "spti_lib.h"

namespace selftest {

struct ChangerAnswer {
  BOOL good = 0;
  std::vector<std::pair<std::string, std::string>> fields;
};

// True when `name` is one of the commands below.
bool is_changer_command(const std::string& name);
// Sends the command `name` (move: `args` source and destination) on `device`.
ChangerAnswer ask_changer(SCSI_DEVICE_PARAM* device, const std::string& name,
                          const std::vector<int64_t>& args);

}  // namespace selftest

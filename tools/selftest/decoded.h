// tape_selftest's output for people: each command's answer decoded by the command layer's own
// decoders and printed in words, a heading line per command and its fields below it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "spti_lib.h"

namespace selftest {

// One command of the command line, with its numeric arguments.
struct Step {
  std::string name;
  std::vector<int64_t> args;
};

// Sends the step's command to `device` and prints "COMMAND ARGS: HOW IT ENDED", then the answer's
// fields one a line, then the sense data in words when the drive returned any. True when the
// command ended GOOD (a recovered error included).
bool run_decoded(SCSI_DEVICE_PARAM* device, const Step& step);

}  // namespace selftest

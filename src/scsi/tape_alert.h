// TapeAlert: the flags a drive raises when it or the cartridge needs attention (LOG SENSE page
// 2Eh, one parameter per flag, 0001h to 0040h). Reading the page clears the flags on most drives:
// it is read once, at the end of a job.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace scsi {

inline constexpr uint8_t kTapeAlertPage = 0x2E;

struct TapeAlert {
  uint8_t flag = 0;    // 01h to 40h
  std::string words;   // "clean now", or "flag 2Bh" for one without a name
  bool critical = false;
};

// The flags set in a TapeAlert page as received: a parameter counts when its code is 0001h to
// 0040h, it lies within the page's length and the bytes present, and bit 0 of its value is set.
// In the order of the flags.
std::vector<TapeAlert> tape_alerts(std::span<const uint8_t> page);

}  // namespace scsi

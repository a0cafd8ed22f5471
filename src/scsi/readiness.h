// Waiting for a drive to become ready after the device is opened. A drive that is loading a
// cartridge answers NOT READY, becoming ready, for 15 to 20 seconds; a drive calibrating a new
// cartridge on its first load answers NOT READY, operation in progress, for up to two hours. Both
// are waited for. A drive without a cartridge, or with one that is not loaded, will not
// become ready by itself: that ends the run at once.
#pragma once

#include <cstdint>

#include "scsi/retry_policy.h"
#include "spti_lib.h"

namespace scsi {

inline constexpr uint32_t kLoadWaitSeconds = 180;
inline constexpr unsigned kReadyAttempts = 4;

enum class Readiness {
  ready,
  loading,      // 2/04/01 becoming ready, 2/04/07 operation in progress, or unit attentions
                // beyond a command's retries
  no_medium,    // 2/3A/xx
  not_loaded,   // 2/04/02: a cartridge is present, not loaded
  other_sense,  // any other sense: the drive will not become ready by waiting
  no_sense,     // BUSY, a transport failure, a check without sense data: counted as an attempt
};

Readiness readiness_of(const Outcome& outcome);

// Sends TEST UNIT READY until the drive is ready: while it is loading, once a second for up to
// `wait_seconds` (said once, as a WARNING); for a failure without sense data, at most
// kReadyAttempts times with a WARNING and a second's pause each. Every other answer ends the run
// with a report naming `device`.
void wait_until_ready(void* scparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sense, const char* device,
                      uint32_t wait_seconds = kLoadWaitSeconds);

}  // namespace scsi

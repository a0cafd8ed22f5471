// The readiness wait at opening.
#include "scsi/readiness.h"

#include <string>

#include "output_level.h"
#include "scsi/command_table.h"
#include "scsi/scsi_command.h"
#include "tape_device.h"

namespace scsi {

namespace {

constexpr uint8_t kKeyNotReady = 0x2;
constexpr uint8_t kKeyUnitAttention = 0x6;
constexpr uint8_t kAscNotReady = 0x04;
constexpr uint8_t kAscqBecomingReady = 0x01;
constexpr uint8_t kAscqNotLoaded = 0x02;
constexpr uint8_t kAscqInProgress = 0x07;  // a long operation: a first load's calibration
constexpr uint8_t kAscNoMedium = 0x3A;
constexpr uint32_t kPollMs = 1000;

}  // namespace

Readiness readiness_of(const Outcome& o) {
  if (o.ending == Ending::good) return Readiness::ready;
  const SenseData& s = o.sense;
  if (o.ending != Ending::check_condition || !s.present) return Readiness::no_sense;
  if (s.key == kKeyUnitAttention && !s.deferred) return Readiness::loading;
  if (s.key == kKeyNotReady && s.asc == kAscNotReady &&
      (s.ascq == kAscqBecomingReady || s.ascq == kAscqInProgress)) {
    return Readiness::loading;
  }
  if (s.key == kKeyNotReady && s.asc == kAscNoMedium) return Readiness::no_medium;
  if (s.key == kKeyNotReady && s.asc == kAscNotReady && s.ascq == kAscqNotLoaded) {
    return Readiness::not_loaded;
  }
  return Readiness::other_sense;
}

void wait_until_ready(void* scparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sense, const char* device,
                      uint32_t wait_seconds) {
  const CommandOptions options{.report_check_condition = false, .return_transport_failures = true};
  const int fd = static_cast<SCSI_DEVICE_PARAM*>(scparam)->fd_scsidevice;
  unsigned failures = 0;
  uint32_t waited = 0;
  while (!test_unit_ready_command(scparam, sense, options)) {
    const Outcome& o = last_command_report().outcome;
    const std::string what = describe(o);
    switch (readiness_of(o)) {
      case Readiness::ready:
        return;
      case Readiness::loading:
        if (waited >= wait_seconds) {
          output_fatal(VL_MISC,
                       "The drive %s did not become ready within %u s: %s.\n%sA first load "
                       "may take longer: give --ready-wait more seconds.\n",
                       device, wait_seconds, what.c_str(), INDENT);
        }
        if (waited == 0) {
          output_accdg_to_vl(LV_WARNING, VL_MISC,
                             "The drive %s is not ready yet: %s. The program waits up to %u s "
                             "for it, asking once a second.\n",
                             device, what.c_str(), wait_seconds);
        }
        ++waited;
        break;
      case Readiness::no_medium:
        output_fatal(VL_MISC, "There is no cartridge in the drive %s: %s.\n", device, what.c_str());
      case Readiness::not_loaded:
        output_fatal(VL_MISC,
                     "The cartridge in the drive %s is present but not loaded: %s.\n%sLoad it "
                     "and run the program again.\n",
                     device, what.c_str(), INDENT);
      case Readiness::other_sense:
        output_fatal(VL_MISC, "The drive %s is not ready: %s.\n", device, what.c_str());
      case Readiness::no_sense:
        output_accdg_to_vl(LV_WARNING, VL_MISC, "Failed to test unit ready.\n");
        ++failures;
        break;
    }
    tape_device_pause(fd, kPollMs);
    if (failures >= kReadyAttempts) {
      output_fatal(VL_MISC, "Failed to open the device you specified.\n");
    }
  }
}

}  // namespace scsi

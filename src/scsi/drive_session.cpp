// The beginning and the end of a job on the drive: the cartridge kept in the drive while it is
// read, the drive's block mode told, what names the cartridge learnt, and at the end the
// drive's TapeAlert flags reported and the cartridge let go.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "output_level.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"
#include "scsi/tape_alert.h"
#include "scsi_util.h"
#include "support/run_record.h"
#include "tape_device.h"

namespace {

// A TapeAlert page holds 64 parameters of 5 bytes behind its 4-byte header.
constexpr uint32_t kTapeAlertLength = 4 + 64 * 5;
constexpr CommandOptions kQuiet{.report_check_condition = false};

}  // namespace

TapeDrive::~TapeDrive() {
  // A job that ended by a fatal error or a signal: the drive is still told. Nothing may leave a
  // destructor; a command that fails here has nothing more to spoil.
  if (job_begun_) {
    try {
      end_job();
    } catch (...) {
    }
  }
  if (param_.fd_scsidevice >= 0) tape_device_close(param_.fd_scsidevice);
}

void TapeDrive::begin_job() {
  job_begun_ = true;
  prevent_removal();
  note_mode();
  learn_identity();
}

void TapeDrive::end_job() {
  if (job_ended_) return;
  job_ended_ = true;
  report_tape_alerts();
  if (removal_prevented_) {
    removal_prevented_ = false;
    if (!prevent_allow_command(&param_, 0, &sense_, kQuiet)) {
      output_accdg_to_vl(LV_WARNING, VL_MISC,
                         "The drive did not let the cartridge go (ALLOW MEDIUM REMOVAL: %s); "
                         "it may have to be unloaded by hand.\n",
                         scsi::describe(scsi::last_command_report().outcome).c_str());
    }
  }
}

void TapeDrive::prevent_removal() {
  removal_prevented_ = prevent_allow_command(&param_, 1, &sense_, kQuiet) != 0;
  if (removal_prevented_) return;
  output_accdg_to_vl(LV_WARNING, VL_MISC,
                     "The drive did not take PREVENT MEDIUM REMOVAL (%s): the cartridge can be "
                     "taken out while it is read.\n",
                     scsi::describe(scsi::last_command_report().outcome).c_str());
}

void TapeDrive::note_mode() {
  std::array<uint8_t, MODE_SENSE6_ALLOCATION_LENGTH> data{};
  uint32_t received = 0;
  if (!mode_sense6_command(&param_, MODE_SENSE_ALL_PAGES, data.size(), data.data(), &received,
                           &sense_, kQuiet)) {
    output_accdg_to_vl(LV_DEBUG, VL_MISC, "MODE SENSE was not answered (%s).\n",
                       scsi::describe(scsi::last_command_report().outcome).c_str());
    return;
  }
  const ModeSense6Data mode =
      decode_mode_sense6(std::span<const uint8_t>(data.data(), std::min<size_t>(received, data.size())));
  if (!mode.has_block_descriptor) return;
  if (mode.block_length != 0) {
    output_accdg_to_vl(LV_DEBUG, VL_MISC,
                       "The drive is in fixed-block mode (block length %u), as another program "
                       "left it. Its setting is not changed: the reads ask for variable-length "
                       "blocks and see every record whole.\n",
                       mode.block_length);
  }
}

void TapeDrive::learn_identity() {
  identity_ = read_identity();
  identity_known_ = true;
  param_.medium_changed = false;
}

void TapeDrive::report_tape_alerts() {
  std::vector<uint8_t> page(kTapeAlertLength, 0);
  uint32_t received = 0;
  if (!log_sense_command(&param_, scsi::kTapeAlertPage, 0, kTapeAlertLength, page.data(),
                         &received, &sense_, kQuiet)) {
    return;  // a drive without TapeAlert: nothing to tell
  }
  page.resize(std::min<size_t>(received, page.size()));
  std::string noted;
  for (const scsi::TapeAlert& alert : scsi::tape_alerts(page)) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON, "TapeAlert %02Xh%s: %s.\n", alert.flag,
                       alert.critical ? " (critical)" : "", alert.words.c_str());
    char code[8];
    std::snprintf(code, sizeof(code), "%02Xh ", alert.flag);
    noted += (noted.empty() ? "" : "; ") + std::string(code) + alert.words;
  }
  if (!noted.empty()) run_record::note_drive("tape_alerts", noted);
}

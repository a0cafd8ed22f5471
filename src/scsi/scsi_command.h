// What the command sources share: the build-send-decode sequence of one command with its bounded
// retries, what the last command met, big-endian CDB fields, and the device a self-test entry
// point opens for its one command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "scsi/retry_policy.h"
#include "spti_lib.h"

struct CommandOptions {
  // false: a CHECK CONDITION is shown only at the highest verbosity, the caller reporting the
  // sense in its own words.
  bool report_check_condition = true;
  // true: a transport failure that a second try may mend is returned (as for every command that
  // moves the tape) instead of being retried once here.
  bool return_transport_failures = false;
  // READ: SILI set, a record shorter than asked for ends GOOD. Clear, it ends in a check with ILI
  // that tells its length; a record longer than asked for is then always told (with SILI set, a
  // drive in variable-block mode may cut it silently).
  bool suppress_incorrect_length = true;
};

// init_sg_io_hdr, run_scsi_command, destroy_sg_io_hdr, as often as the retry policy grants: each
// retry is reported (a WARNING; a deferred error an ERROR), a transport failure that cannot be
// retried ends the run, except a transient one of a command that moves the tape (or with
// return_transport_failures), which is reported as a WARNING and returned as a failure. A
// recovered error counts as GOOD, with a WARNING. `resid` receives the bytes transferred.
BOOL issue_scsi_command(void* scparam, std::span<unsigned char> cdb, int dxfer_direction,
                        uint32_t dxfer_len, void* dxferp, uint32_t* resid,
                        ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, const CommandOptions& options = {});

// READ(6) of one variable-length block with options; spti_read_data sends it with the default
// ones (SILI set).
BOOL read_block_command(void* scparam, uint32_t dxfer_len, void* dxferp, uint32_t* resid,
                        ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, const CommandOptions& options);

// The cartridge memory attributes of `partition` from identifier `first_id` on, as one READ
// ATTRIBUTE returns them (as many as fit in an attribute list), read without a report: nothing
// when the drive refuses. The value of attribute `id` alone: nothing as well when the drive or
// the cartridge does not keep it.
struct AttributeValue {
  uint16_t id = 0;
  std::vector<uint8_t> value;
};
std::optional<std::vector<AttributeValue>> read_attributes_from(void* scparam, uint8_t partition,
                                                               uint16_t first_id);
std::optional<std::vector<uint8_t>> read_one_attribute(void* scparam, uint8_t partition,
                                                       uint16_t id);

// LOG SENSE, MODE SENSE(6) and PREVENT ALLOW MEDIUM REMOVAL with options: the drive's own
// checks at the beginning and the end of a job report a refusal in their own words.
BOOL log_sense_command(void* scparam, uint32_t page_code, uint32_t parameter, uint32_t dxfer_len,
                       void* dxferp, uint32_t* resid, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                       const CommandOptions& options);
BOOL mode_sense6_command(void* scparam, uint32_t page_code, uint32_t dxfer_len, void* dxferp,
                         uint32_t* resid, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                         const CommandOptions& options);
BOOL prevent_allow_command(void* scparam, int prevent, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                           const CommandOptions& options);

// TEST UNIT READY with options: the readiness wait reports the sense in its own words.
BOOL test_unit_ready_command(void* scparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                             const CommandOptions& options);

// run_scsi_command with the choice of CommandOptions::report_check_condition.
BOOL send_scsi_command(const void* scparam, sg_io_hdr_t* hdr, uint32_t* resid,
                       bool report_check_condition);

// How the last request sent by this thread ended.
const scsi::Outcome& last_outcome();

namespace scsi {

// What the last command this thread issued through issue_scsi_command met, over all its
// attempts. Each thread that drives a tape reads the report of its own commands.
struct CommandReport {
  uint8_t opcode = 0;
  Outcome outcome;                // of the last attempt
  bool unit_attention = false;    // one came on the way: a reset may have moved the tape
  bool transport_failed = false;  // the last attempt failed in transport: no data, tape unknown
  Outcome trouble;                // the last unit attention or transport failure met
  bool medium_changed = false;    // a unit attention 6/28/00: the cartridge may have changed
  bool cleaning = false;          // done, but the drive asks to be cleaned
};
const CommandReport& last_command_report();

// Grows with every request of this thread that did not simply end GOOD: a tape position learnt at
// an earlier count may no longer hold.
uint64_t position_epoch();

}  // namespace scsi

// Stores the low `size` bytes of `value` big-endian at cdb[offset].
inline void put_be(std::span<unsigned char> cdb, size_t offset, size_t size, uint64_t value) {
  for (size_t i = 0; i < size; ++i) {
    cdb[offset + size - 1 - i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

// The device of one self-test: opened with init_scsi_device_param, zeroed sense and error
// records, closed with destroy_scsi_device_param when it goes out of scope.
class SelfTestDevice {
 public:
  explicit SelfTestDevice(const char* path) : param_(init_scsi_device_param(path)) {}
  ~SelfTestDevice() { destroy_scsi_device_param(param_); }
  SelfTestDevice(const SelfTestDevice&) = delete;
  SelfTestDevice& operator=(const SelfTestDevice&) = delete;

  void* param() const { return param_; }
  ST_SPTI_REQUEST_SENSE_RESPONSE* sense() { return &sense_; }
  ST_SYSTEM_ERRORINFO* error() { return &error_; }

 private:
  SCSI_DEVICE_PARAM* param_;
  ST_SPTI_REQUEST_SENSE_RESPONSE sense_{};
  ST_SYSTEM_ERRORINFO error_{};
};

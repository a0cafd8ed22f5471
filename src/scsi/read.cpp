// READ(6): one variable-length block. Called once per tape block, so it traces nothing itself.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "output_level.h"
#include "scsi/scsi_command.h"
#include "scsi/transfer_limits.h"

namespace {
constexpr unsigned char kOpRead6 = 0x08;
constexpr unsigned char kSili = 0x02;  // SILI 1, FIXED 0: a shorter block is no error
}  // namespace

BOOL read_block_command(void* scparam, uint32_t dxfer_len, void* dxferp, uint32_t* resid,
                        ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, const CommandOptions& options) {
  unsigned char cdb[6] = {};
  cdb[0] = kOpRead6;
  cdb[1] = options.suppress_incorrect_length ? kSili : 0;
  // A buffer of 16 MiB or more asks for the longest block the field can name (no block is
  // longer) instead of letting the length wrap to a small or zero request.
  put_be(cdb, 2, 3, std::min(dxfer_len, scsi::kReadMaxLength));
  return issue_scsi_command(scparam, cdb, SG_DXFER_FROM_DEV, dxfer_len, dxferp, resid, sbp,
                            options);
}

BOOL spti_read_data(void* scparam, uint32_t dxfer_len, void* dxferp, uint32_t* resid,
                    ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* /*syserr*/) {
  return read_block_command(scparam, dxfer_len, dxferp, resid, sbp, {});
}

// Asks for as much as the adapter and the drive allow, so that a record of any length they can
// carry is read whole (SILI set: a shorter one ends GOOD).
BOOL test_read_data(const char* path) {
  SelfTestDevice device(path);
  const uint32_t length = scsi::query_transfer_limits(device.param()).whole_record_read();
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[length]());
  if (!buffer) {
    output_fatal(VL_MISC, "Failed to allocate memory for test_read_data.\n");
    return 0;
  }
  uint32_t transferred = 0;
  const BOOL result = spti_read_data(device.param(), length, buffer.get(), &transferred,
                                     device.sense(), device.error());
  // Printed whatever the outcome: the result and the count are what the operator checks.
  std::printf("read: %d, %d, %d\n", 0, result, static_cast<int>(transferred));
  return result;
}

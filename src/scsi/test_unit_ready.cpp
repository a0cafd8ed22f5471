// TEST UNIT READY: is the drive ready with a cartridge loaded.
#include <cstdio>

#include "output_level.h"
#include "scsi/scsi_command.h"

namespace {
constexpr unsigned char kOpTestUnitReady = 0x00;
}

BOOL test_unit_ready_command(void* scparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                             const CommandOptions& options) {
  unsigned char cdb[6] = {};
  cdb[0] = kOpTestUnitReady;
  uint32_t transferred = 0;
  return issue_scsi_command(scparam, cdb, SG_DXFER_NONE, 0, nullptr, &transferred, sbp, options);
}

BOOL spti_test_unit_ready(void* scparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                          ST_SYSTEM_ERRORINFO* /*syserr*/) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:spti_test_unit_ready\n");
  const BOOL result = test_unit_ready_command(scparam, sbp, CommandOptions{});
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_test_unit_ready\n");
  return result;
}

BOOL test_test_unit_ready(const char* path) {
  SelfTestDevice device(path);
  const BOOL result = spti_test_unit_ready(device.param(), device.sense(), device.error());
  if (result) std::printf("Test Unit Ready: OK");
  return result;
}

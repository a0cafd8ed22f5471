// REWIND: back to the beginning of the current partition.
#include <cstdio>

#include "output_level.h"
#include "scsi/scsi_command.h"

namespace {
constexpr unsigned char kOpRewind = 0x01;
}

BOOL spti_rewind(void* scparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                 ST_SYSTEM_ERRORINFO* /*syserr*/) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:spti_rewind\n");
  unsigned char cdb[6] = {};
  cdb[0] = kOpRewind;
  cdb[1] = 0;  // IMMED 0: the command completes when the tape is rewound
  uint32_t transferred = 0;
  const BOOL result =
      issue_scsi_command(scparam, cdb, SG_DXFER_NONE, 0, nullptr, &transferred, sbp);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_rewind\n");
  return result;
}

BOOL test_rewind(const char* path) {
  SelfTestDevice device(path);
  const BOOL result = spti_rewind(device.param(), device.sense(), device.error());
  if (result) std::printf("Rewind: OK");
  return result;
}

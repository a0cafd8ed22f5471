// SPACE(6): move over blocks or filemarks, forward or backward, or to the end of data.
#include <cstdio>

#include "output_level.h"
#include "scsi/scsi_command.h"

namespace {
constexpr unsigned char kOpSpace6 = 0x11;
}

BOOL spti_space(void* scparam, uint8_t code, uint32_t block_address,
                ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* /*syserr*/) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:spti_space: code=0x%X, block=%d(0x%X)\n", code,
                     static_cast<int>(block_address), block_address);
  unsigned char cdb[6] = {};
  cdb[0] = kOpSpace6;
  cdb[1] = code & 0x07;
  // A negative count arrives as its two's complement; its low 24 bits read as backwards.
  put_be(cdb, 2, 3, block_address);
  uint32_t transferred = 0;
  const BOOL result =
      issue_scsi_command(scparam, cdb, SG_DXFER_NONE, 0, nullptr, &transferred, sbp);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_space\n");
  return result;
}

BOOL test_space(const char* path, uint8_t code, uint32_t block_address) {
  SelfTestDevice device(path);
  const BOOL result =
      spti_space(device.param(), code, block_address, device.sense(), device.error());
  if (result) std::printf("Space: OK");
  return result;
}

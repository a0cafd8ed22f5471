// LOCATE(16): position before a logical object of 64 bits, optionally in another partition. Small
// blocks on a large tape number more logical objects than LOCATE(10)'s 32 bits can name.
#include "output_level.h"
#include "scsi/scsi_command.h"

namespace {
constexpr unsigned char kOpLocate16 = 0x92;
constexpr unsigned char kChangePartition = 0x02;  // CP; DEST_TYPE 0 (logical object), IMMED 0
}  // namespace

BOOL spti_locate16(void* scparam, uint32_t partition, uint64_t block_address,
                   ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* /*syserr*/) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:spti_locate16: partition=%X, block=%llu(0x%llX)\n",
                     partition, static_cast<unsigned long long>(block_address),
                     static_cast<unsigned long long>(block_address));
  unsigned char cdb[16] = {};
  cdb[0] = kOpLocate16;
  if (partition != INVALID_PARTITION_NUMBER) {
    cdb[1] = kChangePartition;
    cdb[3] = static_cast<unsigned char>(partition & 0xFF);
  }
  put_be(cdb, 4, 8, block_address);
  uint32_t transferred = 0;
  const BOOL result =
      issue_scsi_command(scparam, cdb, SG_DXFER_NONE, 0, nullptr, &transferred, sbp);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_locate16\n");
  return result;
}

BOOL test_locate16(const char* path, uint64_t block_address, int change_partition,
                   uint32_t partition) {
  SelfTestDevice device(path);
  return spti_locate16(device.param(), change_partition != 0 ? partition : INVALID_PARTITION_NUMBER,
                       block_address, device.sense(), device.error());
}

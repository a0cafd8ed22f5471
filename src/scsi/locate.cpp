// LOCATE(10): position before a logical object, optionally in another partition.
#include "output_level.h"
#include "scsi/scsi_command.h"

namespace {
constexpr unsigned char kOpLocate10 = 0x2B;
constexpr unsigned char kChangePartition = 0x02;  // CP; BT 0 (logical object identifier), IMMED 0
}  // namespace

BOOL spti_locate_partition(void* scparam, uint32_t partition, uint32_t block_address,
                           ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* /*syserr*/) {
  output_accdg_to_vl(LV_TRACE, VL_MISC,
                     "start:spti_locate_partition: partition=%X, block=%d(0x%X)\n", partition,
                     static_cast<int>(block_address), block_address);
  unsigned char cdb[10] = {};
  cdb[0] = kOpLocate10;
  if (partition != INVALID_PARTITION_NUMBER) {
    cdb[1] = kChangePartition;
    cdb[8] = static_cast<unsigned char>(partition & 0xFF);
  }
  put_be(cdb, 3, 4, block_address);
  uint32_t transferred = 0;
  const BOOL result =
      issue_scsi_command(scparam, cdb, SG_DXFER_NONE, 0, nullptr, &transferred, sbp);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_locate_partition\n");
  return result;
}

BOOL spti_locate(void* scparam, uint32_t block_address, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                 ST_SYSTEM_ERRORINFO* syserr) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:spti_locate\n");
  const BOOL result =
      spti_locate_partition(scparam, INVALID_PARTITION_NUMBER, block_address, sbp, syserr);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_locate\n");
  return result;
}

BOOL test_locate(const char* path, uint32_t block_address, int change_partition,
                 uint32_t partition) {
  SelfTestDevice device(path);
  if (change_partition != 0) {
    return spti_locate_partition(device.param(), partition, block_address, device.sense(),
                                 device.error());
  }
  return spti_locate(device.param(), block_address, device.sense(), device.error());
}

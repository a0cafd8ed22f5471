// READ POSITION(10), long form: where the tape is (partition, logical object, logical file).
#include <cstdio>

#include "output_level.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"

namespace {

constexpr unsigned char kOpReadPosition10 = 0x34;
constexpr unsigned char kLongForm = 0x06;
constexpr size_t kLongFormLength = 32;

// Long-form position data.
constexpr size_t kFlags = 0;
constexpr size_t kPartition = 4;
constexpr size_t kLogicalObject = 8;
constexpr size_t kLogicalFile = 16;

uint64_t be_at(std::span<const uint8_t> data, size_t offset, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) {
    value = (value << 8) | (offset + i < data.size() ? data[offset + i] : 0);
  }
  return value;
}

}  // namespace

void decode_position_data(std::span<const uint8_t> data, ST_SPTI_CMD_POSITIONDATA* pos) {
  if (pos == nullptr) return;
  const uint8_t flags = static_cast<uint8_t>(be_at(data, kFlags, 1));
  pos->bop = (flags >> 7) & 1;
  pos->eop = (flags >> 6) & 1;
  pos->mpu = (flags >> 3) & 1;
  pos->bpu = (flags >> 2) & 1;
  pos->partitionNumber = static_cast<uint32_t>(be_at(data, kPartition, 4));
  pos->blockNumber = be_at(data, kLogicalObject, 8);
  pos->fileNumber = be_at(data, kLogicalFile, 8);
}

BOOL spti_read_position(void* scparam, ST_SPTI_CMD_POSITIONDATA* pos,
                        ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* /*syserr*/) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:spti_read_position\n");
  unsigned char cdb[10] = {};
  cdb[0] = kOpReadPosition10;
  cdb[1] = kLongForm;
  unsigned char data[kLongFormLength] = {};
  uint32_t transferred = 0;
  const BOOL result =
      issue_scsi_command(scparam, cdb, SG_DXFER_FROM_DEV, sizeof(data), data, &transferred, sbp);
  if (result) decode_position_data(std::span<const uint8_t>(data, sizeof(data)), pos);
  const ST_SPTI_CMD_POSITIONDATA shown = pos != nullptr ? *pos : ST_SPTI_CMD_POSITIONDATA{};
  output_accdg_to_vl(LV_TRACE, VL_MISC,
                     "end  :spti_read_position: partition=%d, block=%d(0x%X),file=%d(0x%X), "
                     "bop=%d, eop=%d, mpu=%d, bpu=%d\n",
                     static_cast<int>(shown.partitionNumber), static_cast<int>(shown.blockNumber),
                     static_cast<unsigned>(shown.blockNumber), static_cast<int>(shown.fileNumber),
                     static_cast<unsigned>(shown.fileNumber), shown.bop, shown.eop, shown.mpu,
                     shown.bpu);
  return result;
}

BOOL test_read_position(const char* path) {
  SelfTestDevice device(path);
  ST_SPTI_CMD_POSITIONDATA pos{};
  const BOOL result = spti_read_position(device.param(), &pos, device.sense(), device.error());
  if (result) {
    std::printf("Partition Number: 0x%X\n", pos.partitionNumber);
    std::printf("Block Number: 0x%lx\n", pos.blockNumber);
    std::printf("File Number: 0x%lx\n", pos.fileNumber);
    std::printf("BOP: %d\n", pos.bop);
    std::printf("EOP: %d\n", pos.eop);
    std::printf("MPU: %d\n", pos.mpu);
    std::printf("LONU: %d\n", pos.bpu);
  }
  return result;
}

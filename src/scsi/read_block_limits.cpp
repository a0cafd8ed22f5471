// READ BLOCK LIMITS: the shortest and the longest block the drive reads in one command.
#include <cstdio>

#include "output_level.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"
#include "scsi/transfer_limits.h"

namespace {
constexpr unsigned char kOpReadBlockLimits = 0x05;
constexpr size_t kBlockLimitsLength = 6;
}  // namespace

void decode_block_limits(std::span<const uint8_t> data, ST_SPTI_BLOCK_LIMITS* limits) {
  if (limits == nullptr) return;
  const auto at = [&](size_t i) -> uint32_t { return i < data.size() ? data[i] : 0; };
  limits->granularity = static_cast<uint8_t>(at(0) & 0x1F);
  limits->max_block_length = at(1) << 16 | at(2) << 8 | at(3);
  limits->min_block_length = static_cast<uint16_t>(at(4) << 8 | at(5));
}

BOOL spti_read_block_limits(void* scparam, ST_SPTI_BLOCK_LIMITS* limits,
                            ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* /*syserr*/) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:spti_read_block_limits\n");
  unsigned char cdb[6] = {};
  cdb[0] = kOpReadBlockLimits;
  unsigned char data[kBlockLimitsLength] = {};
  uint32_t received = 0;
  const BOOL result =
      issue_scsi_command(scparam, cdb, SG_DXFER_FROM_DEV, sizeof(data), data, &received, sbp);
  if (result) decode_block_limits(std::span<const uint8_t>(data, received), limits);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_read_block_limits\n");
  return result;
}

BOOL test_read_block_limits(const char* path) {
  SelfTestDevice device(path);
  ST_SPTI_BLOCK_LIMITS limits{};
  const BOOL result =
      spti_read_block_limits(device.param(), &limits, device.sense(), device.error());
  if (result) {
    std::printf("Maximum Block Length: %u\n", limits.max_block_length);
    std::printf("Minimum Block Length: %u\n", limits.min_block_length);
    std::printf("Granularity: %u\n", limits.granularity);
  }
  // What one command may carry between the host and the drive, whatever the drive answered.
  const scsi::TransferLimits adapter = scsi::query_adapter_limits(device.param());
  std::printf("Adapter: %s\n", scsi::describe_adapter(adapter).c_str());
  return result;
}

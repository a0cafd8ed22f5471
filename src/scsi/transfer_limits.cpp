// The limits of one transfer, and the check of a tape's block size against them.
#include "scsi/transfer_limits.h"

#include <scsi/sg.h>

#include <algorithm>
#include <cinttypes>

#include "output_level.h"
#include "spti_lib.h"
#include "tape_device.h"

namespace scsi {

namespace {

int descriptor(void* scparam) { return static_cast<SCSI_DEVICE_PARAM*>(scparam)->fd_scsidevice; }

}  // namespace

uint64_t TransferLimits::largest_read() const {
  uint64_t limit = 0;
  for (const uint64_t known : {adapter_bytes, static_cast<uint64_t>(drive_max_block)}) {
    if (known != 0) limit = limit == 0 ? known : std::min(limit, known);
  }
  return limit;
}

uint32_t TransferLimits::whole_record_read() const {
  const uint64_t limit = largest_read();
  return static_cast<uint32_t>(limit == 0 ? kReadMaxLength
                                          : std::min<uint64_t>(limit, kReadMaxLength));
}

TransferLimits query_adapter_limits(void* scparam) {
  TransferLimits limits;
  const int fd = descriptor(scparam);
  limits.adapter_bytes = tape_device_max_transfer(fd);
  int value = 0;
  if (tape_device_control(fd, SG_GET_RESERVED_SIZE, &value) == 0 && value >= 0) {
    limits.reserved_bytes = value;
  }
  return limits;
}

TransferLimits query_transfer_limits(void* scparam) {
  TransferLimits limits = query_adapter_limits(scparam);
  ST_SPTI_BLOCK_LIMITS block{};
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ST_SYSTEM_ERRORINFO error{};
  if (spti_read_block_limits(scparam, &block, &sense, &error)) {
    limits.drive_max_block = block.max_block_length;
    limits.drive_min_block = block.min_block_length;
  }
  return limits;
}

std::string describe_adapter(const TransferLimits& limits) {
  const std::string transfer = limits.adapter_bytes != 0
                                   ? std::to_string(limits.adapter_bytes) + " bytes"
                                   : std::string("not known");
  const std::string reserved = limits.reserved_bytes >= 0
                                   ? std::to_string(limits.reserved_bytes) + " bytes"
                                   : std::string("not known");
  return "largest transfer " + transfer + ", reserved buffer " + reserved;
}

std::string describe_limits(const TransferLimits& limits) {
  return describe_adapter(limits) + ", longest block the drive reads " +
         (limits.drive_max_block != 0 ? std::to_string(limits.drive_max_block) + " bytes"
                                      : std::string("not known"));
}

void prepare_block_reads(void* scparam, TransferLimits* limits, uint32_t block_size) {
  if (limits->adapter_bytes != 0 && block_size > limits->adapter_bytes) {
    output_fatal(VL_MISC,
                 "The tape's block size of %u bytes is more than the host adapter transfers in "
                 "one command (%" PRIu64 " bytes).\n%sAn administrator can raise the adapter's "
                 "transfer limit (an option of its driver, such as max_sectors) or connect the "
                 "drive to another adapter.\n",
                 block_size, limits->adapter_bytes, INDENT);
  }
  if (limits->drive_max_block != 0 && block_size > limits->drive_max_block) {
    output_fatal(VL_MISC,
                 "The tape's block size of %u bytes is more than the drive reads in one block "
                 "(%u bytes, READ BLOCK LIMITS).\n%sAn administrator can update the drive's "
                 "firmware or read the tape in a drive that takes such blocks.\n",
                 block_size, limits->drive_max_block, INDENT);
  }
  // One command's data passes through the sg driver's reserved buffer when it is large enough;
  // the driver keeps less than asked when the adapter or the kernel's memory does not allow it.
  const int fd = descriptor(scparam);
  int value = static_cast<int>(std::min<uint32_t>(block_size, INT32_MAX));
  if (tape_device_control(fd, SG_SET_RESERVED_SIZE, &value) != 0) return;
  if (tape_device_control(fd, SG_GET_RESERVED_SIZE, &value) != 0) return;
  limits->reserved_bytes = value;
  // A smaller reserved buffer does not stop a read: the driver then takes memory for each command,
  // which may fail when memory is short (a READ that failed so is checked and sent again).
  if (static_cast<uint64_t>(value) < block_size) {
    output_accdg_to_vl(LV_WARNING, VL_MISC,
                       "The SCSI generic driver keeps only %d bytes for one command of the drive, "
                       "less than the tape's block size of %u bytes: each READ takes memory of "
                       "its own.\n%sAn administrator can raise the adapter's transfer limit (an "
                       "option of its driver, such as max_sectors) or make more memory free for "
                       "the driver.\n",
                       value, block_size, INDENT);
  }
}

}  // namespace scsi

// How much one READ may transfer: the host adapter's limit (asked of the sg driver), the sg
// driver's reserved buffer, and the longest block the drive reads (READ BLOCK LIMITS). A block
// beyond either limit cannot be read whole, so a tape of such blocks is refused before anything
// is written from it.
#pragma once

#include <cstdint>
#include <string>

namespace scsi {

// The longest block READ(6) can ask for: its TRANSFER LENGTH has 24 bits.
inline constexpr uint32_t kReadMaxLength = 0xFFFFFF;

struct TransferLimits {
  uint64_t adapter_bytes = 0;     // the adapter's largest transfer (BLKSECTGET); 0 not known
  int64_t reserved_bytes = -1;    // SG_GET_RESERVED_SIZE; -1 not known
  uint32_t drive_max_block = 0;   // READ BLOCK LIMITS maximum; 0 not known
  uint32_t drive_min_block = 0;   // READ BLOCK LIMITS minimum

  // The most one READ may ask for: the smaller of the known limits, 0 when none is known.
  uint64_t largest_read() const;
  // What a READ asks for to take a record of any length whole: largest_read(), at most
  // kReadMaxLength (kReadMaxLength when no limit is known).
  uint32_t whole_record_read() const;
};

// Asks the node behind `scparam` for the adapter's limits (those it does not answer stay
// unknown); query_transfer_limits sends READ BLOCK LIMITS as well.
TransferLimits query_adapter_limits(void* scparam);
TransferLimits query_transfer_limits(void* scparam);

// "largest transfer 16777216 bytes, reserved buffer 32768 bytes" (what is known of them), and
// with ", longest block the drive reads 8388608 bytes".
std::string describe_adapter(const TransferLimits& limits);
std::string describe_limits(const TransferLimits& limits);

// Makes ready to read blocks of `block_size` bytes: a block size beyond what the adapter or the
// drive transfers in one command ends the run, naming both sizes and what an administrator can
// change. Otherwise the sg driver's reserved buffer is raised to the block size and read back; a
// driver that keeps less gets a WARNING (each command then takes memory of its own). `limits`
// receives the reserved size.
void prepare_block_reads(void* scparam, TransferLimits* limits, uint32_t block_size);

}  // namespace scsi

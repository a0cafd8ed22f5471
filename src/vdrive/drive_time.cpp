#include "vdrive/drive_time.h"

#include <algorithm>

namespace vdrive {

void DriveTime::reposition(uint64_t bytes) {
  ++figures_.stops;
  figures_.seconds +=
      kStopSeconds + kFullWindSeconds * std::min(1.0, static_cast<double>(bytes) / kFullWindBytes);
}

void DriveTime::position(const TapePlace& from, const TapePlace& to) {
  const bool same_partition = from.partition == to.partition;
  if (same_partition && from.object == to.object) {
    figures_.seconds += kCommandSeconds;
    return;
  }
  const uint64_t distance = to.byte > from.byte ? to.byte - from.byte : from.byte - to.byte;
  const bool forward = to.object > from.object;
  if (same_partition && forward && distance <= kReadAheadBytes) {
    figures_.seconds += static_cast<double>(distance) / kStreamingBytesPerSecond;
    return;
  }
  reposition(distance);
  if (same_partition && !forward) ++figures_.backward;
  if (!same_partition) {
    ++figures_.partition_changes;
    figures_.seconds += kPartitionChangeSeconds;
  }
}

void DriveTime::rewind(const TapePlace& from) { reposition(from.byte); }

}  // namespace vdrive

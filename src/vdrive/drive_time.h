// The estimated drive time of a virtual drive: the seconds a full-height LTO-9 drive would spend
// on the commands received, from a coarse model. A read streams at the native rate; a positioning
// that stays near, forward in the same partition, is paid as if read (the drive reads ahead);
// any other move stops the tape, repositions it and starts it again: a stop. It exists so that a
// benchmark can count what a real drive would pay for each stop and reposition.
#pragma once

#include <cstdint>

namespace vdrive {

// A place on the tape: the partition and the bytes of records before it in that partition.
struct TapePlace {
  uint32_t partition = 0;
  uint64_t byte = 0;
  uint64_t object = 0;  // its logical object number, to know a move that goes nowhere
};

struct DriveTimeFigures {
  double seconds = 0;
  uint64_t stops = 0;              // positionings that stopped and repositioned the tape
  uint64_t backward = 0;           // of them, those that went back within a partition
  uint64_t partition_changes = 0;  // positionings into the other partition
};

class DriveTime {
 public:
  static constexpr double kStreamingBytesPerSecond = 400e6;
  static constexpr uint64_t kReadAheadBytes = 64ULL << 20;
  static constexpr double kStopSeconds = 3;
  static constexpr double kFullWindSeconds = 60;
  static constexpr double kFullWindBytes = 9e12;
  static constexpr double kPartitionChangeSeconds = 20;
  static constexpr double kCommandSeconds = 0.001;

  // A READ that transferred `bytes` (0 for a filemark or an error).
  void read(uint64_t bytes) {
    figures_.seconds += static_cast<double>(bytes) / kStreamingBytesPerSecond;
  }
  // A LOCATE or SPACE that took the tape from `from` to `to`.
  void position(const TapePlace& from, const TapePlace& to);
  // A REWIND from `from` to the beginning of its partition.
  void rewind(const TapePlace& from);
  // Any other command.
  void other() { figures_.seconds += kCommandSeconds; }
  // The drive stopped and started again for a host that took its records too slowly.
  void host_stop() { figures_.seconds += kStopSeconds; }

  const DriveTimeFigures& figures() const { return figures_; }

 private:
  // A stop and a reposition over `bytes`.
  void reposition(uint64_t bytes);
  DriveTimeFigures figures_;
};

}  // namespace vdrive

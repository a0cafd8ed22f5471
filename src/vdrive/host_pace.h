// The host's pace, as the drive would feel it: the drive reads ahead into its buffer while the
// host takes the records out. Within a run of reads (between two positionings) the drive keeps
// streaming while the host takes, over the last buffer's worth of bytes, at least the drive's
// slowest streaming rate; a slower host fills the buffer, and the drive stops and starts again
// when half of it has been taken: a host stop. The host's time is the wall-clock time from the
// answer to a READ to the arrival of the next command.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

namespace vdrive {

class HostPace {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr double kSlowestBytesPerSecond = 177e6;
  static constexpr uint64_t kBufferBytes = 1ULL << 30;

  // A command arrives: the time since the last READ's answer, within a run, is the host's. A
  // positioning ends the run (the buffer starts empty).
  void command(bool positions, Clock::time_point now);
  // A READ answered with `bytes`; true when the drive had to stop for the host.
  bool read(uint64_t bytes, Clock::time_point now);

  uint64_t stops() const { return stops_; }
  uint64_t host_microseconds() const { return host_microseconds_; }
  uint64_t bytes() const { return bytes_; }

 private:
  void end_run();

  bool in_run_ = false;
  Clock::time_point answered_;
  double gap_ = 0;  // the host's seconds before the READ in hand
  std::deque<std::pair<uint64_t, double>> window_;  // bytes of each READ, the host's seconds before it
  uint64_t window_bytes_ = 0;
  double window_seconds_ = 0;
  uint64_t stops_ = 0;
  uint64_t host_microseconds_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace vdrive

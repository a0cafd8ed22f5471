#include "vdrive/host_pace.h"

namespace vdrive {

void HostPace::end_run() {
  in_run_ = false;
  window_.clear();
  window_bytes_ = 0;
  window_seconds_ = 0;
}

void HostPace::command(bool positions, Clock::time_point now) {
  gap_ = 0;
  if (in_run_) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now - answered_);
    host_microseconds_ += static_cast<uint64_t>(micros.count());
    gap_ = static_cast<double>(micros.count()) / 1e6;
  }
  if (positions) end_run();
}

bool HostPace::read(uint64_t bytes, Clock::time_point now) {
  answered_ = now;
  in_run_ = true;
  bytes_ += bytes;
  window_.emplace_back(bytes, gap_);
  window_bytes_ += bytes;
  window_seconds_ += gap_;
  gap_ = 0;
  // The last buffer's worth of bytes, and the host's time over them.
  while (window_.size() > 1 && window_bytes_ - window_.front().first >= kBufferBytes) {
    window_bytes_ -= window_.front().first;
    window_seconds_ -= window_.front().second;
    window_.pop_front();
  }
  const bool slow = window_bytes_ >= kBufferBytes && window_seconds_ > 0 &&
                    static_cast<double>(window_bytes_) / window_seconds_ < kSlowestBytesPerSecond;
  if (!slow) return false;
  ++stops_;
  // The drive starts again when the host has taken half of its buffer.
  while (!window_.empty() && window_bytes_ > kBufferBytes / 2) {
    window_bytes_ -= window_.front().first;
    window_seconds_ -= window_.front().second;
    window_.pop_front();
  }
  return true;
}

}  // namespace vdrive

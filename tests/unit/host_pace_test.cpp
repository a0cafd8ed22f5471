// The drive's answer to the host's pace: streaming while the host keeps up, a stop each time a
// slower host lets the buffer fill, none across a positioning that empties it.
#include <gtest/gtest.h>

#include "vdrive/host_pace.h"

namespace {

using vdrive::HostPace;

struct Case {
  const char* name;
  double host_mb_per_second;  // the pace of the host between reads of 1 MiB
  int reads;
  int position_every;  // a positioning after this many reads (0: none)
  uint64_t stops;
};

TEST(HostPace, StopsOnlyForAHostSlowerThanTheSlowestStreamingRate) {
  const Case cases[] = {
      {"fast host", 1000, 4096, 0, 0},
      {"just fast enough", 180, 4096, 0, 0},
      {"slow host", 100, 4096, 0, 7},  // a full buffer, then every half buffer
      {"slow host, short runs", 100, 4096, 512, 0},
  };
  for (const Case& c : cases) {
    HostPace pace;
    HostPace::Clock::time_point now{};
    const uint64_t read = 1 << 20;
    for (int i = 0; i < c.reads; ++i) {
      now += std::chrono::microseconds(static_cast<int64_t>(read / c.host_mb_per_second));
      pace.command(c.position_every != 0 && i % c.position_every == 0, now);
      pace.read(read, now);
    }
    EXPECT_EQ(pace.stops(), c.stops) << c.name;
    EXPECT_EQ(pace.bytes(), uint64_t{4096} << 20) << c.name;
  }
}

}  // namespace

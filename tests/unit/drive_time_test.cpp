// The estimated drive time of the virtual drive: what each kind of command adds.
#include "vdrive/drive_time.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vdrive::DriveTime;
using vdrive::TapePlace;

TEST(DriveTime, EachKindOfCommandAddsWhatTheModelSays) {
  constexpr uint64_t kMiB = 1ULL << 20;
  struct Case {
    std::string what;
    TapePlace from, to;
    double seconds;
    uint64_t stops, backward, partition_changes;
  };
  const std::vector<Case> cases = {
      {"no move", {1, 500, 7}, {1, 500, 7}, 0.001, 0, 0, 0},
      {"forward near: as if read", {1, 0, 0}, {1, 64 * kMiB, 9}, 64.0 * kMiB / 400e6, 0, 0, 0},
      {"forward far: a stop",
       {1, 0, 0},
       {1, 64 * kMiB + 1, 9},
       3 + 60 * (64.0 * kMiB + 1) / 9e12,
       1,
       0,
       0},
      {"backward by one object", {1, 4096, 2}, {1, 0, 1}, 3 + 60 * 4096 / 9e12, 1, 1, 0},
      {"across the whole tape", {1, 20'000'000'000'000, 9}, {1, 0, 0}, 63, 1, 1, 0},
      {"to the other partition", {0, 1000, 3}, {1, 0, 0}, 3 + 60 * 1000 / 9e12 + 20, 1, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DriveTime t;
    t.position(c.from, c.to);
    EXPECT_DOUBLE_EQ(t.figures().seconds, c.seconds);
    EXPECT_EQ(t.figures().stops, c.stops);
    EXPECT_EQ(t.figures().backward, c.backward);
    EXPECT_EQ(t.figures().partition_changes, c.partition_changes);
  }
  DriveTime t;
  t.read(400'000'000);
  t.read(0);
  t.other();
  t.rewind({0, 4'500'000'000'000, 5});
  EXPECT_DOUBLE_EQ(t.figures().seconds, 1 + 0.001 + 3 + 30);
  EXPECT_EQ(t.figures().stops, 1u);
}

}  // namespace

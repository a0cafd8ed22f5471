// How the jobs move the tape, counted by the virtual drive and read from the report: the stops
// and the moves back of a dump and of a list run do not grow with the markers of a tape, and a
// retrieval of several versions goes forward only.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "e2e/reader_fixture.h"

namespace {

using testutil::RunResult;

struct Motion {
  uint64_t stops = 0;
  uint64_t backward = 0;
  uint64_t partition_changes = 0;
};

// A cartridge of `objects` small objects of one bucket, each in its own packed object and commit
// marker: markers are what could cost stops.
vtape::Description marker_heavy(size_t objects) {
  vtape::Description d;
  d.block_size = 4096;
  d.buckets = {{"bucket", {}}};
  d.grouping = {1, 1, 4};
  for (size_t i = 0; i < objects; ++i) {
    vtape::ObjectEntry o;
    o.key = "k" + std::to_string(i);
    o.data = vtape::ObjectData::pattern(100 + i, i);
    d.objects.push_back(o);
  }
  return d;
}

class TapeMotionTest : public e2e::ReaderTest {
 protected:
  // Runs the program with a report and returns what the virtual drive counted.
  Motion run(std::vector<std::string> args) {
    const std::string report = work() + "/report.json";
    args.insert(args.end(), {"--report", report});
    const RunResult r = reader(args);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string text = testutil::read_file(report);
    return Motion{figure(text, "stops"), figure(text, "backward"),
                  figure(text, "partition_changes")};
  }

  static uint64_t figure(const std::string& report, const std::string& name) {
    const std::string tag = "\"" + name + "\":";
    const size_t at = report.find(tag, report.find("\"virtual_drive\""));
    EXPECT_NE(at, std::string::npos) << name;
    return at == std::string::npos ? 0 : std::stoull(report.substr(at + tag.size()));
  }

  // The motion of a full dump and of a list run of a fresh copy of `d`.
  std::pair<Motion, Motion> dump_and_list(const vtape::Description& d) {
    for (const std::string& dir : {cart(), work(), save()}) e2e::fs::remove_all(dir);
    build(d);
    const Motion dump = run({"-f"});
    const Motion list = run({"-l"});
    return {dump, list};
  }
};

TEST_F(TapeMotionTest, StopsOfADumpAndAListRunDoNotGrowWithTheMarkers) {
  const auto [few_dump, few_list] = dump_and_list(marker_heavy(4));
  const auto [many_dump, many_list] = dump_and_list(marker_heavy(120));
  for (const auto& [few, many] : {std::pair{few_dump, many_dump}, {few_list, many_list}}) {
    EXPECT_EQ(many.stops, few.stops);
    EXPECT_EQ(many.backward, few.backward);
    EXPECT_LE(many.stops, 8u);
    // Into the data partition once; the reference partition is not gone back to.
    EXPECT_EQ(many.partition_changes, 1u);
  }
}

TEST_F(TapeMotionTest, RetrievalOfAllVersionsGoesForwardOnly) {
  // Three versions of one key spread over the tape, the latest first on tape and the oldest
  // in the middle: the lists name them in another order than the tape's.
  vtape::Description d = marker_heavy(30);
  const char* times[] = {"2024-03-01T00:00:00.000000Z", "2024-01-01T00:00:00.000000Z",
                         "2024-02-01T00:00:00.000000Z"};
  for (size_t n = 0; n < 3; ++n) {
    vtape::ObjectEntry& o = d.objects[n * 12];
    o.key = "spread.txt";
    o.last_modified = times[n];
    o.version = "v" + std::to_string(n);
  }
  build(d);
  run({"-l"});
  const Motion one = run({"-b", "bucket", "-o", "spread.txt"});
  const Motion all = run({"-b", "bucket", "-o", "spread.txt", "-O", "all"});
  EXPECT_EQ(all.backward, one.backward);
  EXPECT_EQ(all.stops, one.stops);
}

}  // namespace

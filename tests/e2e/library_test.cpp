// A library job end to end on a virtual library: every cartridge with a barcode that a drive of
// the job reads is read once, on the drives at once, and goes back to its slot; the journal lets
// a second run skip what is done.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cartridge/library_builder.h"
#include "common/test_util.h"
#include "e2e/reader_fixture.h"

namespace {

namespace fs = std::filesystem;
using testutil::RunResult;

class LibraryTest : public ::testing::Test {
 public:
  void SetUp() override {
    vtape::LibraryDescription d;
    d.cartridges = {{"c1", 8, "LIB001L8", false, 1},
                    {"c2", 9, "LIB002L9", false, 2},
                    {"c3", 7, "LIB003L7", false, 3},
                    {"c4", 8, "", false, 4},
                    {"c5", 8, "LIB005L8", true, 5},
                    {"c6", 8, "../LIB6", false, 6}};  // a barcode that would leave SAVE
    d.drives = {9, 8};
    d.move_errors = {{2, {0x4, 0x15, 0x01}}};  // the third move fails once
    fs::create_directories(lib());
    fs::create_directories(work());
    vtape::build_library(d, lib());
  }

  RunResult library(const std::string& job, const std::string& extra = "--no-progress") const {
    return testutil::run({testutil::bin("object_reader"), "--changer", lib(), "-d",
                          lib() + "/drive0", "-d", "../lib/drive1", job, "-F", "-s", save(),
                          "--report", work() + "/library.json", extra},
                         work());
  }

  std::string lib() const { return tmp_ / "lib"; }
  std::string work() const { return tmp_ / "work"; }
  std::string save() const { return tmp_ / "save"; }
  testutil::TempDir tmp_;
};

TEST_F(LibraryTest, EveryReadableCartridgeOnceThenNothingAgain) {
  const RunResult r = library("-f", "--progress");
  EXPECT_EQ(r.status, 2) << r.err;  // the damaged cartridge lost objects
  EXPECT_TRUE(e2e::has_line(r.err, "The cartridge in slot 4 has no barcode: it is left in its "
                                   "slot."))
      << r.err;
  EXPECT_TRUE(e2e::has_line(r.err, "The cartridge in slot 6 has a barcode (../LIB6) that cannot "
                                   "name a directory: it is left in its slot."))
      << r.err;
  EXPECT_FALSE(fs::exists(tmp_ / "LIB6"));
  EXPECT_NE(r.out.find("Library: 3 cartridges complete, 1 with objects lost, 0 failed, 0 "
                       "interrupted, 0 left in their slots."),
            std::string::npos)
      << r.out;
  for (const char* barcode : {"LIB001L8", "LIB002L9", "LIB003L7", "LIB005L8"}) {
    EXPECT_TRUE(fs::exists(save() + "/" + barcode + "/photos")) << barcode;
    EXPECT_TRUE(fs::exists(work() + "/" + barcode + "/history.log")) << barcode;
  }
  // The report names every cartridge with its state and its own totals.
  const std::string report = testutil::read_file(work() + "/library.json");
  EXPECT_EQ(testutil::count(report, "\"state\":\"complete\""), 3u) << report;
  EXPECT_EQ(testutil::count(report, "\"state\":\"lost\""), 1u) << report;
  // Each cartridge's own drive figures, and the library's: the changer's moves, the unloads.
  EXPECT_EQ(testutil::count(report, "\"drive_seconds\""), 5u) << report;
  EXPECT_NE(r.out.find("Library objects (this run): 105 written, 3 lost;"), std::string::npos)
      << r.out;
  // Each cartridge's own lines come with its barcode; the display shows a line per drive, the
  // second drive as it was named (relative to the working directory, which its jobs leave).
  EXPECT_NE(r.out.find("LIB002L9: "), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("\r../lib/drive1: "), std::string::npos) << r.err;
  // The estimated time: each drive's share, the busiest drive's time for the library.
  EXPECT_NE(r.out.find("Library time (estimated): "), std::string::npos) << r.out;
  // Host pace: each cartridge's, each drive's, and the library job's own drive figures.
  EXPECT_EQ(testutil::count(report, "\"host_bytes_per_second\""), 4u + 2u + 1u) << report;
  EXPECT_NE(report.find("\"estimated_seconds\""), std::string::npos) << report;
  EXPECT_EQ(testutil::read_file(work() + "/library.journal"),
            "LIB001L8\tcomplete\nLIB002L9\tcomplete\nLIB003L7\tcomplete\nLIB005L8\tlost\n");
  // Every cartridge is back in its slot: the drives are empty.
  const RunResult inventory =
      testutil::run({testutil::bin("tape_selftest"), lib(), "inventory"});
  EXPECT_NE(inventory.out.find("drive 0100h:        empty"), std::string::npos) << inventory.out;
  EXPECT_NE(inventory.out.find("drive 0101h:        empty"), std::string::npos) << inventory.out;
  // Run again with -r: nothing is read again.
  const RunResult again = library("-r");
  EXPECT_EQ(again.status, 2) << again.err;
  EXPECT_EQ(testutil::count(again.out, "is done: it is not read again."), 4u) << again.out;
  EXPECT_EQ(again.out.find("is read in the drive"), std::string::npos) << again.out;
}

}  // namespace

namespace {

// A cartridge's job stopped by a signal half-way (SIGKILL leaves its cartridge's removal
// prevented): the library goes on with the others and ends with status 1; run again with -r,
// that cartridge alone is read again, from where its dump stood, and comes out whole.
void stop_and_resume(const LibraryTest& t, int signal_number) {
  const std::string cartridge = t.lib() + "/c1";
  std::string error;
  std::optional<vdrive::Manifest> manifest =
      vdrive::parse_manifest(testutil::read_file(cartridge + "/cartridge.json"), &error);
  ASSERT_TRUE(manifest) << error;
  const vdrive::Manifest sound = *manifest;
  manifest->faults.signal = vtape::SignalFault{90, signal_number};
  vtape::write_manifest(*manifest, cartridge);
  const RunResult first = t.library("-f");
  EXPECT_EQ(first.status, 1) << first.err;
  EXPECT_TRUE(e2e::has_line(first.err, "The cartridge LIB001L8 (slot 1): failed: its job ended "
                                       "with status " +
                                           std::to_string(128 + signal_number) + "."))
      << first.err;
  vtape::write_manifest(sound, cartridge);
  const RunResult again = t.library("-r");
  EXPECT_EQ(again.status, 2) << again.err;
  EXPECT_NE(again.out.find("The cartridge LIB001L8 (slot 1) is resumed in the drive"),
            std::string::npos)
      << again.out;
  EXPECT_EQ(testutil::count(again.out, "is done: it is not read again."), 3u) << again.out;
  size_t objects = 0;
  for (const auto& [path, content] : e2e::files_below(t.save() + "/LIB001L8")) {
    objects += path.ends_with(".data");
  }
  EXPECT_EQ(objects, 27u);
}

TEST_F(LibraryTest, ACartridgeStoppedBySigtermIsResumed) { stop_and_resume(*this, SIGTERM); }
TEST_F(LibraryTest, ACartridgeKilledIsResumed) { stop_and_resume(*this, SIGKILL); }

}  // namespace

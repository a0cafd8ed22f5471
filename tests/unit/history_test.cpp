// Progress history: the section-and-key updater of "history.log", reading the counters back for a
// resume, and when the walk writes them (interval, low disk space).
#include "walk/history.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "common/test_util.h"
#include "output_level.h"
#include "support/file_helpers.h"
#include "vexa_format_checker.h"

namespace {

constexpr char kHistory[] = "./history.log";
constexpr char kOneTape[] = "[TAPE01L8]\nPR=3\nOCM=10\nPO=250\nObject number=9000\n";

class HistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_vl(verbosity_);
    ASSERT_NE(getcwd(old_cwd_, sizeof(old_cwd_)), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    clock_.save_path = dir_.path();
    clock_.interval = 0;
    clock_.lap_start = std::time(nullptr);
    set_force_flag(1);
  }
  void TearDown() override {
    set_force_flag(0);
    ASSERT_EQ(chdir(old_cwd_), 0);
  }

  static int write_key(const char* section, const char* key, const char* value) {
    char buffer[256];
    std::snprintf(buffer, sizeof(buffer), "%s", value);
    return read_or_write_ini(1, kHistory, section, key, buffer);
  }
  static std::string history() { return testutil::read_file(kHistory); }
  // One packed object completed `seconds` after the start of the lap.
  int packed_object_after(long seconds, uint64_t po) {
    clock_.lap_start = std::time(nullptr) - seconds;
    return output_history(clock_, "TAPE01L8", 1, 2, po, 4);
  }

  HistoryClock clock_;
  testutil::TempDir dir_;
  char old_cwd_[4096] = "";
  char verbosity_[1] = "";
};

TEST_F(HistoryTest, NewSectionIsAppendedAndKeysReplacedInPlace) {
  testutil::write_file(kHistory, kOneTape);
  EXPECT_EQ(write_key("TAPE02L8", "PR", "1"), 0);
  EXPECT_EQ(history(), std::string(kOneTape) + "[TAPE02L8]\nPR=1\n");
  EXPECT_EQ(write_key("TAPE01L8", "PO", "251"), 0);
  EXPECT_EQ(history(), "[TAPE01L8]\nPR=3\nOCM=10\nPO=251\nObject number=9000\n[TAPE02L8]\nPR=1\n");
  EXPECT_FALSE(testutil::exists("./history.log_temp"));
}

TEST_F(HistoryTest, FirstWriteCreatesTheFile) {
  EXPECT_EQ(write_key("TAPE01L8", "PR", "7"), 0);
  EXPECT_EQ(history(), "[TAPE01L8]\nPR=7\n");
}

TEST_F(HistoryTest, MissingKeyIsAddedAtTheEndOfItsSection) {
  testutil::write_file(kHistory, "[TAPE01L8]\nPR=3\nPO=250\n[TAPE02L8]\nPR=1\n");
  EXPECT_EQ(write_key("TAPE01L8", "OCM", "10"), 0);
  EXPECT_EQ(history(), "[TAPE01L8]\nPR=3\nPO=250\nOCM=10\n[TAPE02L8]\nPR=1\n");
  EXPECT_EQ(write_key("TAPE02L8", "OCM", "5"), 0);
  EXPECT_EQ(history(), "[TAPE01L8]\nPR=3\nPO=250\nOCM=10\n[TAPE02L8]\nPR=1\nOCM=5\n");
}

TEST_F(HistoryTest, EmptyLinesDisappearAndKeyPrefixesDoNotMatch) {
  testutil::write_file(kHistory, "\n[TAPE01L8]\n\nPR=3\nPRX=9\n\n[OTHER001]\n\nPR=1\n");
  EXPECT_EQ(write_key("TAPE01L8", "PR", "4"), 0);
  EXPECT_EQ(history(), "[TAPE01L8]\nPR=4\nPRX=9\n[OTHER001]\nPR=1\n");
}

// A tape whose identifier begins another tape's (six characters when the drive gives no
// generation) has a section of its own.
TEST_F(HistoryTest, SectionNamesMatchExactly) {
  testutil::write_file(kHistory, "[TAPE01L8]\nPR=3\n");
  EXPECT_EQ(write_key("TAPE01", "PR", "4"), 0);
  EXPECT_EQ(history(), "[TAPE01L8]\nPR=3\n[TAPE01]\nPR=4\n");
}

TEST_F(HistoryTest, ReadTakesTheRestOfTheLineAndChangesNothing) {
  testutil::write_file(kHistory, kOneTape);
  char value[256] = {};
  EXPECT_EQ(read_or_write_ini(0, kHistory, "TAPE01L8", "Object number", value), 0);
  EXPECT_STREQ(value, "9000\n");
  char untouched[256] = "as left";
  read_or_write_ini(0, kHistory, "TAPE01L8", "Missing", untouched);
  read_or_write_ini(0, kHistory, "TAPE09L8", "PR", untouched);
  EXPECT_STREQ(untouched, "as left");
  EXPECT_EQ(history(), kOneTape);
  EXPECT_FALSE(testutil::exists("./history.log_temp"));
}

TEST_F(HistoryTest, LongLinesAreCutToTheValueBuffer) {
  testutil::write_file(kHistory, "[T]\nPR=" + std::string(1000, '7') + "\n");
  char value[256] = {};
  read_or_write_ini(0, kHistory, "T", "PR", value);
  EXPECT_EQ(std::string(value), std::string(255, '7'));
}

// The history is rewritten under a temporary name of its own: whatever stands at the old fixed
// name, a link to a victim file included, is neither written nor in the way.
TEST_F(HistoryTest, PlantedTemporaryNamesAreNotWrittenThrough) {
  testutil::write_file(kHistory, kOneTape);
  testutil::write_file("victim", "untouched");
  std::filesystem::create_symlink("victim", "./history.log_temp");
  mk_a_dir("./history.log.tmp");
  EXPECT_EQ(write_key("TAPE01L8", "PR", "4"), 0);
  EXPECT_EQ(testutil::read_file("victim"), "untouched");
  EXPECT_EQ(history().substr(0, 16), "[TAPE01L8]\nPR=4\n");
}

TEST_F(HistoryTest, AHistoryThatIsALinkIsRefused) {
  testutil::write_file("victim", kOneTape);
  std::filesystem::create_symlink("victim", kHistory);
  EXPECT_EXIT(RUN_ENDS(write_key("TAPE01L8", "PR", "4")), ::testing::ExitedWithCode(1),
              "is a symbolic link");
  EXPECT_EQ(testutil::read_file("victim"), kOneTape);
}

TEST_F(HistoryTest, CountersAreReadBack) {
  testutil::write_file(kHistory, std::string("[TAPE00L8]\nPR=1\n") + kOneTape);
  uint64_t pr = 0, ocm = 0, po = 0, obj = 0;
  EXPECT_EQ(get_history("TAPE01L8", &pr, &ocm, &po, &obj), 0);
  EXPECT_EQ(pr, 3U);
  EXPECT_EQ(ocm, 10U);
  EXPECT_EQ(po, 250U);
  EXPECT_EQ(obj, 9000U);
}

TEST_F(HistoryTest, NoHistoryToResumeFrom) {
  uint64_t pr = 77, ocm = 77, po = 77, obj = 77;
  EXPECT_EQ(get_history("TAPE01L8", &pr, &ocm, &po, &obj), 1);  // no file
  // Guards against resuming with counters of 0 from an incomplete history.
  const std::string incomplete[] = {
      "[TAPE02L8]\nPR=3\nOCM=10\nPO=250\nObject number=9000\n",  // no section for the tape
      "[TAPE01L8]\nPR=3\nOCM=10\nObject number=9000\n",          // a key missing
      "[TAPE01L8]\nPR=3\nOCM=0\nPO=250\nObject number=9000\n",   // a counter of 0
      "[TAPE01L8]\nPR=3\nOCM=x\nPO=250\nObject number=9000\n",   // no number
      "[TAPE01L8]\nPR=3\nOCM=-4\nPO=250\nObject number=9000\n",
      "[TAPE01L8]\nPR=3\nOCM=10\nPO=99999999999999999999999\nObject number=9000\n",
      "[TAPE01L8]\nPR=1junk\nOCM=10\nPO=250\nObject number=9000\n",  // digits only
      "[TAPE01L8X]\nPR=3\nOCM=10\nPO=250\nObject number=9000\n",     // another tape's
  };
  for (const std::string& text : incomplete) {
    testutil::write_file(kHistory, text);
    EXPECT_EQ(get_history("TAPE01L8", &pr, &ocm, &po, &obj), 1) << text;
  }
  EXPECT_EQ(pr + ocm + po + obj, 4U * 77U);
}

TEST_F(HistoryTest, WrittenCountersAreReadBack) {
  EXPECT_EQ(output_history(clock_, "TAPE01L8", 5, 6, 7, 8), 0);
  EXPECT_EQ(history(), "[TAPE01L8]\nPR=5\nOCM=6\nPO=7\nObject number=8\n");
  uint64_t pr = 0, ocm = 0, po = 0, obj = 0;
  EXPECT_EQ(get_history("TAPE01L8", &pr, &ocm, &po, &obj), 0);
  EXPECT_EQ(pr + ocm + po + obj, 26U);
}

TEST_F(HistoryTest, IntervalWritesOnlyWhenTheLapHasRun) {
  clock_.interval = 60;
  EXPECT_EQ(packed_object_after(10, 1), 0);
  EXPECT_EQ(packed_object_after(30, 2), 0);
  EXPECT_FALSE(testutil::exists(kHistory));
  EXPECT_EQ(packed_object_after(70, 3), 0);
  EXPECT_EQ(history(), "[TAPE01L8]\nPR=1\nOCM=2\nPO=3\nObject number=4\n");
  long interval = -1;
  get_interval(clock_, &interval);  // a new lap started at the write
  EXPECT_LE(interval, 1);
}

TEST_F(HistoryTest, IntervalReachedExactlyWritesWithoutNewLap) {
  clock_.interval = 60;
  // Measured within one second of the clock, so that the lap is exactly 60 s long.
  for (int attempt = 0; attempt < 5; ++attempt) {
    const time_t before = std::time(nullptr);
    EXPECT_EQ(packed_object_after(60, 3), 0);
    if (std::time(nullptr) == before) break;
  }
  EXPECT_TRUE(testutil::exists(kHistory));
  long interval = 0;
  get_interval(clock_, &interval);
  EXPECT_GE(interval, 60);
}

TEST_F(HistoryTest, LowDiskSpaceWritesAndEndsTheRun) {
  clock_.interval = 60;
  set_force_flag(0);
  clock_.save_path = "/proc";  // a file system without free space
  EXPECT_EXIT(RUN_ENDS(packed_object_after(30, 9)), ::testing::ExitedWithCode(1),
              "\\[SYS_ERR\\] \\[COMMON\\] No disk space\\(/proc\\)\\.");
  EXPECT_EQ(history(), "[TAPE01L8]\nPR=1\nOCM=2\nPO=9\nObject number=4\n");
}

TEST_F(HistoryTest, ForceSkipsTheDiskSpaceCheck) {
  clock_.interval = 60;
  clock_.save_path = "/proc";
  set_force_flag(1);
  EXPECT_EQ(check_disk_space("/proc", 0), 0);
  EXPECT_EQ(packed_object_after(30, 9), 0);
  EXPECT_FALSE(testutil::exists(kHistory));
  set_force_flag(0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(check_disk_space("/proc", 0), 1);
  testing::internal::GetCapturedStderr();
}

TEST_F(HistoryTest, WithoutIntervalEveryPackedObjectWritesAndDiskIsNotChecked) {
  set_force_flag(0);
  clock_.save_path = "/proc";
  EXPECT_EQ(packed_object_after(0, 1), 0);
  EXPECT_EQ(packed_object_after(0, 2), 0);
  EXPECT_EQ(history(), "[TAPE01L8]\nPR=1\nOCM=2\nPO=2\nObject number=4\n");
}

}  // namespace

// Local file helpers: directory numbering per bucket, directory creation, the two-slot opener,
// the appending writer, the tree copy and the free-space check.
#include "support/file_helpers.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "common/test_util.h"
#include "output_level.h"
#include "vexa_format_checker.h"
#include "walk/numbering.h"
#include "support/file_failure.h"
#include "driver/free_space.h"
#include "walk/history.h"

namespace fs = std::filesystem;

namespace {

class FileHelpers : public ::testing::Test {
 protected:
  void SetUp() override {
    set_vl(verbosity_);
    set_force_flag(0);
  }
  void TearDown() override {
    free_bucket_info_4_obj_reader(&buckets_);
    set_force_flag(0);
  }
  // Places the next `n` objects of a bucket and returns the directory numbers of the last one.
  std::pair<int, int> place(const char* bucket, long n) {
    int dir = -1;
    int sub = -1;
    for (long i = 0; i < n; ++i) get_bucket_info_4_obj_reader(&buckets_, bucket, &dir, &sub);
    return {dir, sub};
  }
  testutil::TempDir tmp_;
  BucketInfo4ObjReader* buckets_ = nullptr;
  char verbosity_[8] = "";
};

TEST_F(FileHelpers, NumberingFillsSubDirectoriesOfAThousand) {
  add_bucket_info_4_obj_reader(&buckets_, "photos", 0, 1, 1);
  EXPECT_EQ(place("photos", 1000), std::make_pair(1, 1));
  EXPECT_EQ(place("photos", 1), std::make_pair(1, 2));
  EXPECT_EQ(place("photos", 999'000), std::make_pair(2, 1));  // the 1,000,001st object
}

TEST_F(FileHelpers, SecondRegistrationOfABucketChangesNothing) {
  add_bucket_info_4_obj_reader(&buckets_, "photos", 0, 1, 1);
  place("photos", 5);
  add_bucket_info_4_obj_reader(&buckets_, "photos", 0, 1, 1);
  EXPECT_EQ(buckets_->obj_reader_saved_counter, 5);
  EXPECT_EQ(buckets_->next, nullptr);
  int dir = 7;
  int sub = 7;
  get_bucket_info_4_obj_reader(&buckets_, "unknown", &dir, &sub);
  EXPECT_EQ(dir, 7);
  EXPECT_EQ(sub, 7);
}

TEST_F(FileHelpers, FullBucketReportsOnceAndStaysFull) {
  add_bucket_info_4_obj_reader(&buckets_, "full", 1000, 1000, 1000);
  testing::internal::CaptureStderr();
  EXPECT_EQ(place("full", 1), std::make_pair(1001, 1000));
  EXPECT_EQ(place("full", 3), std::make_pair(1001, 1000));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(testutil::count(err,
                            "The maximum number of files that can be saved in the "
                            "bucket(full) has been exceeded.\n"),
            1u);
}

TEST_F(FileHelpers, ScanContinuesAfterTheHighestSubDirectory) {
  fs::create_directories(tmp_ / "alpha/0003/0017");
  fs::create_directories(tmp_ / "alpha/0001/0999");
  fs::create_directories(tmp_ / "beta/0002/1000");
  fs::create_directories(tmp_ / "gamma/0004");  // no sub-directory: not registered
  fs::create_directories(tmp_ / "TAPE01L8");
  testutil::write_file(tmp_ / "0123.pack", "x");
  initialize_bucket_info_4_obj_reader(&buckets_, tmp_.path().c_str());
  EXPECT_EQ(place("alpha", 1), std::make_pair(3, 18));
  EXPECT_EQ(place("beta", 1), std::make_pair(3, 1));
  int dir = 0;
  int sub = 0;
  get_bucket_info_4_obj_reader(&buckets_, "gamma", &dir, &sub);
  EXPECT_EQ(dir, 0);
  int count = 0;
  for (auto* b = buckets_; b != nullptr; b = b->next) ++count;
  EXPECT_EQ(count, 2);
}

TEST_F(FileHelpers, ScanOfMissingRootIsReported) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(initialize_bucket_info_4_obj_reader(&buckets_, (tmp_ / "none").c_str()), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("scandir error("), std::string::npos);
}

TEST_F(FileHelpers, DeepDirectoryCreationStopsBeforeTheFileName) {
  const std::string file = tmp_ / "x/y/z/f.data";
  EXPECT_EQ(mk_deep_dir(file.c_str()), 0);
  EXPECT_TRUE(fs::is_directory(tmp_ / "x/y/z"));
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(FileHelpers, DirectoryPartOfAPath) {
  std::string dir;
  EXPECT_EQ(extract_dir_path("/a/b/c.txt", dir), 0);
  EXPECT_EQ(dir, "/a/b");
  testing::internal::CaptureStderr();
  EXPECT_EQ(extract_dir_path("c.txt", dir), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("filename only.\n"), std::string::npos);
}

TEST_F(FileHelpers, SlotOpenerReturnsTheSameStreamForTheSameName) {
  const std::string a = tmp_ / "a";
  testutil::write_file(a, "0123456789abcdef");
  FILE* first = clf_open_file(a.c_str(), "rb");
  char buf[10];
  ASSERT_EQ(clf_read_file(buf, 1, 10, first), 10u);
  FILE* again = clf_open_file(a.c_str(), "rb");
  EXPECT_EQ(first, again);
  EXPECT_EQ(std::ftell(again), 10);
  // The other slot is independent.
  FILE* alt = clf_open_alt_file(a.c_str(), "rb");
  EXPECT_NE(alt, first);
  EXPECT_EQ(std::ftell(alt), 0);
}

TEST_F(FileHelpers, ShortReadOfRequiredDataEndsTheRun) {
  EXPECT_EXIT(RUN_ENDS(clf_check_read_data(79, 80, "Vol1 Label", "reference_partition/VOL1Label")),
              ::testing::ExitedWithCode(1),
              "Failed to read Vol1 Label from file reference_partition/VOL1Label\\.");
  EXPECT_EQ(clf_check_read_data(80, 80, "Vol1 Label", "f"), 0);
}

TEST_F(FileHelpers, OpeningAMissingFileEndsTheRun) {
  const std::string missing = tmp_ / "missing";
  EXPECT_EXIT(RUN_ENDS(clf_open_file(missing.c_str(), "rb")), ::testing::ExitedWithCode(1),
              "Failed to open file\\. path=.*missing, mode=rb, error=");
}

TEST_F(FileHelpers, WriterAppendsAndCreatesEmptyFiles) {
  const std::string path = tmp_ / "bucket/0001/0001/key.data";
  fs::create_directories(tmp_ / "bucket/0001/0001");
  const std::string data = "hello world";
  write_object_and_meta_to_file(path.c_str(), data.data(), 6, 5);
  write_object_and_meta_to_file(path.c_str(), data.data(), 0, 5);
  EXPECT_EQ(testutil::read_file(path), "worldhello");
  const std::string empty = tmp_ / "bucket/0001/0001/empty.data";
  write_object_and_meta_to_file(empty.c_str(), data.data(), 0, 0);
  EXPECT_TRUE(fs::exists(empty));
  EXPECT_EQ(fs::file_size(empty), 0u);
}

TEST_F(FileHelpers, WriterCreatesOneMissingDirectoryLevel) {
  const std::string path = tmp_ / "new/file.meta";
  write_object_and_meta_to_file(path.c_str(), "{}", 0, 2);
  EXPECT_EQ(testutil::read_file(path), "{}");
}

TEST_F(FileHelpers, WriterFailureEndsTheRun) {
  EXPECT_EXIT(RUN_ENDS(write_object_and_meta_to_file("/dev/full", "abc", 0, 3)),
              ::testing::ExitedWithCode(1),
              "Failed to output /dev/full\\.Disk space is likely to insufficient\\.");
}

TEST_F(FileHelpers, CopyOfDirectoryContents) {
  fs::create_directories(tmp_ / "saved/reference_partition/sub");
  testutil::write_file(tmp_ / "saved/reference_partition/QRTLabel", "label");
  testutil::write_file(tmp_ / "saved/reference_partition/sub/PR_0", "pr");
  fs::create_directories(tmp_ / "work");
  testutil::write_file(tmp_ / "work/QRTLabel", "old");
  const std::string from = tmp_ / "saved/reference_partition/*";
  const std::string to = tmp_ / "work/";
  EXPECT_EQ(cp_dir(from.c_str(), to.c_str()), 0);
  EXPECT_EQ(testutil::read_file(tmp_ / "work/QRTLabel"), "label");
  EXPECT_EQ(testutil::read_file(tmp_ / "work/sub/PR_0"), "pr");
}

TEST_F(FileHelpers, FailedCopyEndsTheRun) {
  const std::string from = tmp_ / "nothing/*";
  const std::string to = tmp_ / "work/";
  EXPECT_EXIT(RUN_ENDS(cp_dir(from.c_str(), to.c_str())), ::testing::ExitedWithCode(1),
              "Failed to copy \\(.*nothing/\\*\\) to \\(.*work/\\)\\.");
}

TEST_F(FileHelpers, ForceSkipsTheDiskSpaceCheck) {
  set_force_flag(1);
  EXPECT_EQ(check_disk_space("/nonexistent/path", UINT64_MAX / 2), 0);
}

TEST_F(FileHelpers, DiskSpaceMarginIsDemanded) {
  // No file system here has an exabyte free: the margin check fails with its message.
  testing::internal::CaptureStderr();
  EXPECT_EQ(check_disk_space(tmp_.path().c_str(), 1ULL << 60), 1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Disk space is not large enough: "), std::string::npos);
  EXPECT_NE(err.find("(GiB).\n                   Specify --Force option or keep >100 GiB disk "
                     "space.\n"),
            std::string::npos);
}

TEST_F(FileHelpers, DiskSpaceOfAPathNotYetCreatedIsItsParentsFileSystem) {
  testing::internal::CaptureStderr();
  check_disk_space((tmp_ / "not/yet/made").c_str(), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("commmand"), std::string::npos);
  EXPECT_EQ(err.find("zero"), std::string::npos);
}

TEST_F(FileHelpers, StringHelpers) {
  char* sub = str_substring("abc", 1, 5);
  EXPECT_STREQ(sub, "bc");
  free_safely(&sub);
  EXPECT_EQ(sub, nullptr);
  char* beyond = str_substring("abc", 7, 2);
  EXPECT_STREQ(beyond, "");
  free_safely(&beyond);
  char out[64];
  str_replace("{\"a\":\"b\"}", "\"", "'", out);
  EXPECT_STREQ(out, "{'a':'b'}");
}

}  // namespace

namespace {

TEST(FileSlots, AFileWrittenAgainUnderTheSameNameIsOpenedAfresh) {
  testutil::TempDir tmp;
  const std::string path = tmp / "RCM_1";
  testutil::write_file(path, "first");
  FILE* first = clf_open_file(path.c_str(), "rb");
  char buf[6] = {};
  ASSERT_EQ(clf_read_file(buf, 1, 5, first), 5u);
  std::remove(path.c_str());
  testutil::write_file(path, "again");
  FILE* again = clf_open_file(path.c_str(), "rb");
  std::fseek(again, 0, SEEK_SET);
  char text[6] = {};
  ASSERT_EQ(clf_read_file(text, 1, 5, again), 5u);
  EXPECT_STREQ(text, "again");
}

}  // namespace

namespace {

// A job that does not fit on the save path's file system ends naming how much is free there and
// how much it needs; -F lets it go on.
TEST(FreeSpace, JobsThatDoNotFitEndSayingHowMuch) {
  object_list huge{};
  huge.size = uint64_t{1} << 62;
  EXPECT_EXIT(RUN_ENDS(check_space_for_retrieval("/tmp", &huge, false)),
              testing::ExitedWithCode(1),
              "Disk space is not large enough: [0-9.]+ [GM]iB free on the file system of /tmp, the "
              "objects asked for need 4294967296.0 GiB.\n +Free space there, or give another "
              "--save-path");
  EXPECT_EXIT(RUN_ENDS(check_space_for_list("/tmp/not/made/yet", huge.size, false)),
              testing::ExitedWithCode(1), "the list files need");
  check_space_for_retrieval("/tmp", &huge, true);
  check_space_for_list("/tmp", huge.size, true);
  check_space_for_list("/tmp", 1, false);
}

// A dump into a store writes no object on the save path: it needs room there for the copy of the
// marker cache and for its history and lists, not the dumps' margin of 100 GiB.
TEST(FreeSpace, ADumpIntoAStoreNeedsRoomForTheCacheAndItsHistoryOnly) {
  constexpr uint64_t kCache = 3 << 20;
  constexpr uint64_t kNeeded = kCache + kStoreRunRoomBytes;
  const struct {
    std::optional<uint64_t> free;
    bool force;
    bool ends;
  } cases[] = {
      {kNeeded, false, false},
      {kNeeded - 1, false, true},
      {uint64_t{99} << 30, false, false},
      {0, true, false},
      {std::nullopt, false, false},  // not known: the dump goes on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.free.value_or(UINT64_MAX));
    if (c.ends) {
      EXPECT_EXIT(RUN_ENDS(check_space_for_store_run("/srv/save", c.free, kCache, c.force)),
                  testing::ExitedWithCode(1),
                  "Disk space is not large enough: 19.0 MiB free on the .* of /srv/save, the marker "
                  "cache and the history need 19.0 MiB.\n");
    } else {
      check_space_for_store_run("/srv/save", c.free, kCache, c.force);
    }
  }
}

TEST(FileFailure, TheDetailNamesTheDirectoryTheReasonAndAFullFileSystem) {
  EXPECT_EQ(file_failure_detail("/srv/save/a.meta", EACCES),
            std::string(INDENT) + "In /srv/save: Permission denied.\n");
  const std::string full = file_failure_detail("/tmp/a.data", ENOSPC);
  EXPECT_NE(full.find("The file system of /tmp is full ("), std::string::npos) << full;
  EXPECT_NE(full.find("run the job again; a dump goes on where it stopped with -r."),
            std::string::npos)
      << full;
}

}  // namespace

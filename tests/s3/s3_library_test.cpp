// A library job restoring into a store: the buckets of several tapes meet there. Each tape's
// versions of a key arrive once, beside the other tape's; the same job run again adds nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cartridge/library_builder.h"
#include "common/test_util.h"
#include "s3/store_reader.h"

namespace {

namespace fs = std::filesystem;

class S3LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    endpoint_ = s3test::environment("OR_S3_ENDPOINT");
    if (endpoint_.empty()) GTEST_SKIP() << "OR_S3_ENDPOINT is not set";
    std::string problem;
    credentials_ = s3::credentials_from_environment(&problem);
    ASSERT_EQ(problem, "");
    prefix_ = "or-lib-" + std::to_string(getpid()) + "-";
    vtape::LibraryDescription d;
    d.cartridges = {{"c1", 8, "LIBS01L8", false, 1}, {"c2", 8, "LIBS02L8", false, 2}};
    d.drives = {8, 8};
    fs::create_directories(tmp_ / "lib");
    fs::create_directories(tmp_ / "work");
    vtape::build_library(d, tmp_ / "lib");
  }

  testutil::RunResult restore(const std::string& job) const {
    const std::string lib = tmp_ / "lib";
    return testutil::run({testutil::bin("object_reader"), "--changer", lib, "-d",
                          lib + "/drive0", "-d", lib + "/drive1", job, "-F", "-s",
                          tmp_ / "save", "--s3", endpoint_, "--s3-bucket-prefix", prefix_},
                         tmp_ / "work");
  }

  // The number of versions of each key of the bucket, delete markers included.
  std::map<std::string, int> versions_by_key(const std::string& tape_bucket) const {
    const s3test::StoreReader store{endpoint_, credentials_, tmp_.path()};
    std::map<std::string, int> count;
    for (const s3test::Listed& v : store.versions(prefix_ + tape_bucket)) ++count[v.key];
    return count;
  }

  testutil::TempDir tmp_;
  std::string endpoint_;
  s3::Credentials credentials_;
  std::string prefix_;
};

TEST_F(S3LibraryTest, EveryTapesVersionsArriveOnceAndARerunAddsNothing) {
  const testutil::RunResult first = restore("-f");
  ASSERT_EQ(first.status, 0) << first.err;
  const std::map<std::string, int> photos = versions_by_key("photos");
  ASSERT_FALSE(photos.empty());
  // The two tapes hold the same keys with versions of their own: two versions a key (three
  // for a key with versions on each tape would show a version sent twice).
  for (const auto& [key, versions] : photos) EXPECT_EQ(versions, 2) << key;
  const std::map<std::string, int> logs = versions_by_key("logs.2024");
  const testutil::RunResult again = restore("-f");
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(versions_by_key("photos"), photos);
  EXPECT_EQ(versions_by_key("logs.2024"), logs);
  EXPECT_NE(again.out.find("LIBS02L8: "), std::string::npos) << again.out;
}

}  // namespace

// Identifier and time stamp checks, and the bucket and pool-group name rules: one report per
// broken rule, in order, with the severity that the location decides.
#include <gtest/gtest.h>

#include <string>

#include "common/test_util.h"
#include "output_level.h"
#include "support/file_helpers.h"
#include "vexa_format_checker.h"

namespace {

class Validation : public ::testing::Test {
 protected:
  void SetUp() override {
    set_vl(verbosity_);
    set_top_verbose(nullptr);
    testing::internal::CaptureStderr();
  }
  void TearDown() override {
    if (!taken_) testing::internal::GetCapturedStderr();
  }
  std::string err() {
    taken_ = true;
    return testutil::strip_headers(testing::internal::GetCapturedStderr());
  }
  char verbosity_[8] = "";
  bool taken_ = false;
};

constexpr const char* kTape = "PO Header";
constexpr const char* kMam = "Medium Auxiliary Memory Host-type Attribute";

TEST_F(Validation, WellFormedUuidPasses) {
  EXPECT_EQ(check_uuid_format("00000000-0000-4000-8000-000000000000", "Object", kTape), 0);
  EXPECT_EQ(err(), "");
}

TEST_F(Validation, VersionAndVariantOnTapeAreErrors) {
  EXPECT_EQ(check_uuid_format("00000000-0000-5000-c000-000000000000", "Pack", kTape), 1);
  EXPECT_EQ(err(),
            "[ERROR  ] [UNKNOWN] Pack UUID (00000000-0000-5000-c000-000000000000) version 5 in PO "
            "Header should be 4.\n"
            "[ERROR  ] [UNKNOWN] Pack UUID (00000000-0000-5000-c000-000000000000) value c which "
            "include variants in PO Header should be one of \"89ABab\".\n");
}

TEST_F(Validation, SameDeviationsInCartridgeMemoryAreWarnings) {
  EXPECT_EQ(check_uuid_format("00000000-0000-5000-c000-000000000000", "System", kMam), 0);
  const std::string text = err();
  EXPECT_EQ(testutil::count(text, "[WARNING] "), 2u);
  EXPECT_EQ(testutil::count(text, "[ERROR  ] "), 0u);
}

TEST_F(Validation, CharacterCheckReportsEveryBadCharacter) {
  // A hex digit where a hyphen belongs is accepted; a hyphen elsewhere is not.
  EXPECT_EQ(check_uuid_character("00000000a0000-4000-8000-000000000000", "O", kTape), 0);
  EXPECT_EQ(check_uuid_character("000000000-000-4000-8000-000000000000", "O", kTape), 1);
  EXPECT_EQ(check_uuid_character("0000000g-0000-4000-8000-0000000zz000", "O", kTape), 1);
  const std::string text = err();
  EXPECT_EQ(testutil::count(text, "You can not use character '-'"), 1u);
  EXPECT_EQ(testutil::count(text, "You can not use character 'g'"), 1u);
  EXPECT_EQ(testutil::count(text, "You can not use character 'z'"), 2u);
  EXPECT_NE(text.find("O UUID (0000000g-0000-4000-8000-0000000zz000) format in PO Header is not "
                      "correct.\n                   You can not use character 'g'.\n"),
            std::string::npos);
}

TEST_F(Validation, ShortUuidIsNeverReadPastItsEnd) {
  // A text taken straight from JSON may be short: the missing characters are reported once.
  EXPECT_EQ(check_uuid_format("1234", "Bucket", "Reference Commit Marker Bucket List"), 1);
  const std::string text = err();
  EXPECT_EQ(testutil::count(text, "version"), 1u);
  EXPECT_EQ(testutil::count(text, "variants"), 1u);
  EXPECT_EQ(testutil::count(text, "You can not use character"), 1u);
}

TEST_F(Validation, OptionalPoolGroupUuid) {
  char empty[37] = {};
  EXPECT_EQ(check_optional_uuid_format(empty, "Pool Group", kMam), 1);
  std::string text = err();
  EXPECT_EQ(testutil::count(text,
                            "[ERROR  ] [UNKNOWN] The format of Pool Group ID is not "
                            "correct.It can not be zero filled.\n"),
            1u);
  // Followed by the version, variant and character reports (warnings in the cartridge memory).
  EXPECT_EQ(testutil::count(text, "[WARNING] "), 3u);

  testing::internal::CaptureStderr();
  taken_ = false;
  EXPECT_EQ(check_optional_uuid_format(NIL_UUID, "Pool Group", kMam), 1);
  text = err();
  EXPECT_EQ(testutil::count(text, "zero filled"), 1u);
  EXPECT_EQ(testutil::count(text, "[WARNING] "), 0u);
}

TEST_F(Validation, UtcTimeStamps) {
  EXPECT_EQ(check_utc_format("2019-04-01T12:34:56.123456Z"), 0);
  EXPECT_EQ(check_utc_format("2019-04-01T12:34:56.12345Z"), 1);
  EXPECT_EQ(check_utc_format("x019/04-01T12:34:56.123456Z"), 1);
  EXPECT_EQ(check_utc_format("2019-04-01 12:34:56.123456Z"), 1);
  EXPECT_EQ(check_utc_format("2019-04-01T12:34:56.123456X"), 1);
  EXPECT_EQ(err(),
            "[ERROR  ] [LABEL ] Length of Time format is not correct.\n"
            "                   Actual value  : 26\n"
            "                   Expected value: 27\n"
            "[ERROR  ] [LABEL ] No digit [x] is found at Byte 0.\n"
            "[ERROR  ] [LABEL ] \"T\" does not exist at Byte 10.\n"
            "[ERROR  ] [LABEL ] \"Z\" does not exist at Byte 26.\n");
}

TEST_F(Validation, TimeComparisonIgnoresFractions) {
  EXPECT_EQ(compare_time_string("2020-01-01T00:00:00.999999Z", "2020-01-01T00:00:00.000001Z"), 0.0);
  EXPECT_EQ(compare_time_string("2020-01-01T00:00:00.999999Z", "2019-12-31T23:59:59.000000Z"), 1.0);
  EXPECT_LT(compare_time_string("2020-01-01T10:00:00.000000Z", "2020-01-01T12:00:00.000000Z"), 0);
}

TEST_F(Validation, NullFilled) {
  const uint8_t zeros[4] = {};
  const uint8_t other[4] = {0, 0, 1, 0};
  EXPECT_EQ(is_null_filled(zeros, 4), 1);
  EXPECT_EQ(is_null_filled(other, 4), 0);
  EXPECT_EQ(is_null_filled(other, 0), 1);
}

TEST_F(Validation, BucketNameRules) {
  EXPECT_EQ(check_bucket_name("my-bucket.01"), 0);
  EXPECT_EQ(check_bucket_name("ab"), 1);
  EXPECT_EQ(check_bucket_name("-ab"), 1);
  EXPECT_EQ(check_bucket_name("a..b"), 1);
  EXPECT_EQ(check_bucket_name("a.-b"), 1);
  EXPECT_EQ(check_bucket_name("aB3"), 1);
  EXPECT_EQ(check_bucket_name("192.168.0.1"), 1);
  EXPECT_EQ(check_bucket_name("1.2.3"), 0);
  EXPECT_EQ(check_bucket_name("1.2.3.x"), 0);
  EXPECT_EQ(
      err(),
      "[ERROR  ] [RCM   ] Word count of bucket name is not correct.\n"
      "                   Actual value  :2\n"
      "                   Expected value:3~63\n"
      "[ERROR  ] [RCM   ] Bucket name format is not correct.\n"
      "                   Bucket name must start with lowercase alphanumeric.\n"
      "                   Actual value  :-\n"
      "[ERROR  ] [RCM   ] Bucket name format is not correct.\n"
      "                   Bucket name cannot have consecutive periods.\n"
      "                   Actual name   :a..b\n"
      "[ERROR  ] [RCM   ] Bucket name format is not correct.\n"
      "                   Bucket name cannot use dashes adjacent to periods.\n"
      "                   Actual name   :a.-b\n"
      "[ERROR  ] [RCM   ] Bucket name format is not correct.\n"
      "                   Bucket name must consist of lowercase alphanumeric, hyphen or dot.\n"
      "                   You can not use 'B'.\n"
      "[ERROR  ] [RCM   ] Bucket name format is not correct.\n"
      "                   Bucket name cannot be formatted as an IP address.\n"
      "                   Actual name   :192.168.0.1\n");
}

TEST_F(Validation, BucketNameBreakingSeveralRulesReportsEachInOrder) {
  EXPECT_EQ(check_bucket_name("A.-"), 1);
  const std::string text = err();
  const size_t start = text.find("must start");
  const size_t end = text.find("must end");
  const size_t dash = text.find("dashes adjacent");
  const size_t chars = text.find("You can not use 'A'");
  ASSERT_NE(start, std::string::npos);
  EXPECT_LT(start, end);
  EXPECT_LT(end, dash);
  EXPECT_LT(dash, chars);
  EXPECT_EQ(testutil::count(text, "[ERROR  ] "), 4u);
}

TEST_F(Validation, IpAddressForm) {
  EXPECT_EQ(is_ip_address_format("10.0.0.255"), 1);
  EXPECT_EQ(is_ip_address_format("10..0.0.255"), 1);  // empty parts are ignored
  EXPECT_EQ(is_ip_address_format("10.0.0.256"), 0);
  EXPECT_EQ(is_ip_address_format("10.0.0.1.2"), 0);
  EXPECT_EQ(is_ip_address_format("1000.0.0.1"), 0);
  err();
}

TEST_F(Validation, PoolGroupNameRules) {
  EXPECT_EQ(check_pool_group_name("Pool-1"), 1);
  EXPECT_EQ(check_pool_group_name("pool-"), 1);
  EXPECT_EQ(check_pool_group_name("pool_1"), 1);
  EXPECT_EQ(check_pool_group_name("pool-Group-7"), 0);
  const std::string text = err();
  EXPECT_NE(text.find("Pool group name must start with lowercase alphabets.\n"
                      "                   Actual value  :P\n"),
            std::string::npos);
  EXPECT_NE(text.find("Pool group name must end with alphabets or numbers.\n"
                      "                   Actual value  :-\n"),
            std::string::npos);
  EXPECT_NE(text.find("You can not use '_'.\n"), std::string::npos);
  EXPECT_EQ(testutil::count(text, "[ERROR  ] "), 3u);
}

}  // namespace

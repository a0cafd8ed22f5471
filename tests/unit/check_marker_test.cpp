// Marker header and directory rules, and the reference commit marker with its bucket list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "format_check_fixture.h"
#include "support/file_helpers.h"

namespace {

using fmtest::Bytes;
using fmtest::count;
using fmtest::FormatCheckTest;
using fmtest::in_order;

// ---------------------------------------------------------------------------------------------
// Header and directory

class MarkerHeaderTest : public FormatCheckTest {
 protected:
  struct Result {
    fmtest::Output out;
    uint64_t position = 0;
    uint64_t number = 0;
    uint64_t data_length = 99;
  };
  Result header(const char* identifier, const Bytes& b, const char* top, int info_flag = 0,
                const MamHta* hta = nullptr) {
    Result r;
    set_top_verbose(top);
    r.out = capture([&] {
      return clf_header(identifier, b.span(), hta, info_flag, &r.position, &r.number,
                        &r.data_length);
    });
    return r;
  }
  Bytes level3(uint64_t directory_offset, uint64_t data_offset, uint64_t number) {
    Bytes b;
    b.identifier(LEVEL3_IDENTIFIER).u64(directory_offset).u64(data_offset).u64(number);
    return b;
  }
};

TEST_F(MarkerHeaderTest, Level4WithThreePartialReferences) {
  const Bytes b = fmtest::rcm_marker({30, 20, 10}, "{}");
  auto r = header(LEVEL4_IDENTIFIER, b, VL_RCM);
  EXPECT_EQ(r.out.ret, 0) << r.out.text;
  EXPECT_EQ(r.number, 3u);
  EXPECT_EQ(r.data_length, 2u);
  EXPECT_EQ(r.position, 112u);
  EXPECT_NE(r.out.text.find("[INFO   ] [RCM   ] directory offset:80\n" + std::string(INDENT) +
                            "data offset:104\n"),
            std::string::npos);

  Bytes bad = b;
  bad.v[47] = 96;  // data offset 96 for 3 entries
  r = header(LEVEL4_IDENTIFIER, bad, VL_RCM);
  EXPECT_EQ(r.out.ret, 1);
  EXPECT_NE(r.out.text.find("Actual value(Data offset)       :96\n"), std::string::npos);
  EXPECT_NE(r.out.text.find("Expected value:(Data offset) = (Directory offset) + 8 * (Number of "
                            "markers)\n"),
            std::string::npos);
}

TEST_F(MarkerHeaderTest, Level3WithTwoOcmInfos) {
  const auto r = header(LEVEL3_IDENTIFIER, level3(24, 56, 2), VL_PR);
  EXPECT_EQ(r.out.ret, 0) << r.out.text;
  EXPECT_EQ(r.number, 2u);
  EXPECT_EQ(r.data_length, 0u);
  EXPECT_EQ(r.position, 56u);
  EXPECT_NE(r.out.text.find("[INFO   ] [PR    ] " + std::string(LEVEL3_IDENTIFIER) + "\n"),
            std::string::npos);

  const auto wrong = header(LEVEL3_IDENTIFIER, level3(32, 64, 2), VL_PR);
  EXPECT_EQ(wrong.out.ret, 1);
  EXPECT_NE(wrong.out.text.find("Directory_offset is not correct.\n" + std::string(INDENT) +
                                "Actual value  :32\n" + INDENT + "Expected value:24\n"),
            std::string::npos);
}

TEST_F(MarkerHeaderTest, ZeroPoolGroupIsNotValidAndNotCompared) {
  MamHta hta{};
  hta.is_valid = 1;
  std::strcpy(hta.Data.system_id, fmtest::kUuid1);
  std::strcpy(hta.Data.pool_id, fmtest::kUuid2);
  std::strcpy(hta.Data.pool_group_id, fmtest::kUuid4);
  const Bytes zero = fmtest::rcm_marker({}, "", nullptr);
  auto r = header(LEVEL4_IDENTIFIER, zero, VL_RCM, 0, &hta);
  EXPECT_EQ(r.out.ret, 1);
  EXPECT_EQ(count(r.out.text, "The format of pool group ID at RCM is not valid.\n"), 1u);
  EXPECT_EQ(count(r.out.text, "Pool Group"), 0u);

  // A nil pool group in the cartridge memory is never compared; another one is.
  std::strcpy(hta.Data.pool_group_id, NIL_UUID);
  r = header(LEVEL4_IDENTIFIER, fmtest::rcm_marker({}, ""), VL_RCM, 0, &hta);
  EXPECT_EQ(r.out.ret, 0) << r.out.text;
  EXPECT_EQ(r.out.text.find("[WARNING"), std::string::npos);
  std::strcpy(hta.Data.pool_group_id, fmtest::kUuid4);
  std::strcpy(hta.Data.pool_id, "6BA7B810-9DAD-41D1-80B4-00C04FD430C8");  // case is ignored
  r = header(LEVEL4_IDENTIFIER, fmtest::rcm_marker({}, ""), VL_RCM, 0, &hta);
  EXPECT_EQ(r.out.ret, 0);
  EXPECT_EQ(count(r.out.text, "[WARNING]"), 1u);
  EXPECT_NE(r.out.text.find("Pool Group ID in header is different from one in MAM Host-type "
                            "Attributes.\n"),
            std::string::npos);
}

TEST_F(MarkerHeaderTest, Level4OutsideReferenceCommitMarkerCheck) {
  const auto r = header(LEVEL4_IDENTIFIER, fmtest::rcm_marker({5}, "{}"), VL_PR);
  EXPECT_EQ(r.out.ret, 1);
  EXPECT_NE(r.out.text.find("Identifier format is not correct.\n" + std::string(INDENT) +
                            "Actual format  :" + LEVEL4_IDENTIFIER + "\n"),
            std::string::npos);
  EXPECT_EQ(r.data_length, 99u);  // not read, untouched
  EXPECT_EQ(r.position, 56u);
}

TEST_F(MarkerHeaderTest, UnknownAndWrongIdentifiers) {
  Bytes b = level3(24, 24, 0);
  std::memcpy(b.v.data(), "Garbage", 7);
  auto r = header(LEVEL3_IDENTIFIER, b, VL_PR);
  EXPECT_EQ(r.out.ret, 1);
  EXPECT_NE(r.out.text.find("Expected format:UNKNOWN\n"), std::string::npos);
  // A Level2 marker where a Level3 one was expected is read field by field all the same.
  Bytes l2;
  l2.identifier(LEVEL2_IDENTIFIER).u64(24).u64(40).u64(1);
  r = header(LEVEL3_IDENTIFIER, l2, VL_PR);
  EXPECT_EQ(r.out.ret, 1);
  EXPECT_EQ(r.number, 1u);
  EXPECT_EQ(r.data_length, 0u);
}

TEST_F(MarkerHeaderTest, LargerLevel4DirectoryOffsetIsSkipped) {
  Bytes b;
  b.identifier(LEVEL4_IDENTIFIER).u64(88).u64(88).u64(0).u64(0);
  b.uuid(fmtest::kUuid1).uuid(fmtest::kUuid2).uuid(fmtest::kUuid3).zeros(8);
  const auto r = header(LEVEL4_IDENTIFIER, b, VL_RCM);
  EXPECT_EQ(r.out.ret, 1);
  EXPECT_EQ(r.position, 120u);
}

TEST_F(MarkerHeaderTest, ShortAndHostileHeadersEndCleanly) {
  Bytes b = level3(24, 56, 2);
  b.v.resize(40);
  auto r = header(LEVEL3_IDENTIFIER, b, VL_PR);
  EXPECT_EQ(r.out.ret, 1);
  EXPECT_NE(r.out.text.find("Marker header is shorter than its format.\n" + std::string(INDENT) +
                            "Actual size  :40\n" + INDENT + "Expected size:56\n"),
            std::string::npos);
  EXPECT_EQ(r.position, 56u);

  // An OCM info of no bytes at all, and a Level4 directory offset at the top of the range.
  r = header(LEVEL2_IDENTIFIER, Bytes{}, VL_PR, 1);
  EXPECT_EQ(r.out.ret, 1);
  Bytes huge;
  huge.identifier(LEVEL4_IDENTIFIER).u64(UINT64_MAX).u64(UINT64_MAX).u64(0).u64(UINT64_MAX);
  huge.uuid(fmtest::kUuid1).uuid(fmtest::kUuid2).uuid(fmtest::kUuid3);
  r = header(LEVEL4_IDENTIFIER, huge, VL_RCM);
  EXPECT_EQ(r.out.ret, 1);
  EXPECT_EQ(r.position, UINT64_MAX);
  EXPECT_EQ(r.number, UINT64_MAX);
}

TEST_F(MarkerHeaderTest, NullArgumentsEndRun) {
  quiet();
  const Bytes b = level3(24, 24, 0);
  uint64_t n = 0;
  uint64_t length = 0;
  EXPECT_EXIT(RUN_ENDS(clf_header(LEVEL3_IDENTIFIER, b.span(), nullptr, 0, nullptr, &n, &length)),
              ::testing::ExitedWithCode(1), "Invalid arguments at clf_header");
}

class MarkerDirectoryTest : public FormatCheckTest {
 protected:
  fmtest::Output directory(const std::vector<std::pair<uint64_t, uint64_t>>& entries,
                           uint64_t number) {
    Bytes b;
    for (const auto& [length, block] : entries) b.u64(length).u64(block);
    lengths_.assign(entries.size(), 0);
    blocks_.assign(entries.size(), 0);
    position_ = 0;
    set_top_verbose(VL_PR);
    return capture([&] {
      return clf_directory(LEVEL3_IDENTIFIER, b.span(), &position_, number, lengths_, blocks_);
    });
  }
  std::vector<uint64_t> lengths_;
  std::vector<uint64_t> blocks_;
  uint64_t position_ = 0;
};

TEST_F(MarkerDirectoryTest, EqualBlockOffsetsBreakBothRulesAtThirdEntry) {
  const auto out = directory({{1, 10}, {1, 7}, {1, 7}}, 3);
  EXPECT_EQ(out.ret, 1);
  const std::string i(INDENT);
  EXPECT_EQ(count(out.text, "Block offsets must be in descending order."), 1u);
  EXPECT_EQ(count(out.text, "Adjacent markers overlap."), 1u);
  EXPECT_TRUE(in_order(
      out.text,
      "[ERROR  ] [PR    ] Block offsets must be in descending order.\n" + i +
          "Previous block offset :7\n" + i + "Present block offset  :7\n",
      "Difference between block offsets:0\n" + i + "The size of the marker          :1\n"));
  EXPECT_EQ(position_, 48u);
  EXPECT_EQ(blocks_, (std::vector<uint64_t>{10, 7, 7}));
}

TEST_F(MarkerDirectoryTest, OverlapRuleCountsBlocksAsOneMebibyte) {
  EXPECT_EQ(directory({{3145727, 10}, {2097152, 7}, {0, 3}}, 3).ret, 0);
  const auto out = directory({{3145728, 10}, {2097152, 7}, {0, 3}}, 3);
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("Difference between block offsets:3145728\n"), std::string::npos);
  EXPECT_EQ(lengths_, (std::vector<uint64_t>{3145728, 2097152, 0}));
}

TEST_F(MarkerDirectoryTest, CountLargerThanDirectoryReadsOnlyEntriesPresent) {
  const auto out = directory({{1, 10}, {1, 5}}, uint64_t{1} << 60);
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("Number of markers does not fit in the directory.\n"), std::string::npos);
  EXPECT_EQ(count(out.text, "block offset:"), 2u);
  EXPECT_EQ(position_, UINT64_MAX);  // the declared end, held instead of wrapping
}

TEST_F(MarkerDirectoryTest, UnknownIdentifierEndsRun) {
  quiet();
  uint64_t position = 0;
  EXPECT_EXIT(RUN_ENDS(clf_directory(LEVEL1_IDENTIFIER, {}, &position, 0, {}, {})),
              ::testing::ExitedWithCode(1), "Unknown identifier\\.");
}

// ---------------------------------------------------------------------------------------------
// Reference commit marker

constexpr char kBucketList[] =
    "{\"PoolGroupName\": \"archive-pool\", \"BucketList\": [{\"BucketID\": "
    "\"9b2f6a3c-1d4e-4f5a-b6c7-d8e9f0a1b2c3\", \"BucketName\": \"photos.2021\", \"VendorTag\": "
    "\"x\"}]}";

class RcmTest : public FormatCheckTest {
 protected:
  void SetUp() override {
    FormatCheckTest::SetUp();
    vci_.is_valid = 1;
    hta_.is_valid = 1;
    std::strcpy(hta_.Data.system_id, fmtest::kUuid1);
    std::strcpy(hta_.Data.pool_id, fmtest::kUuid2);
    std::strcpy(hta_.Data.pool_group_id, fmtest::kUuid3);
  }
  fmtest::Output check(int which, const Bytes& marker, uint64_t pr_number = 0) {
    write("reference_partition/RCM_" + std::to_string(which), marker);
    return capture([&] { return clf_reference_commit_marker(which, &vci_, &hta_, pr_number); });
  }
  MamVci vci_{};
  MamHta hta_{};
};

TEST_F(RcmTest, FirstMarkerWithEmptyBucketListPasses) {
  const auto out = check(0, fmtest::rcm_marker({}, ""));
  EXPECT_EQ(out.ret, 0) << out.text;
  EXPECT_TRUE(in_order(out.text, "[INFO   ] [RCM   ] Bucket list is empty.\n",
                       "[INFO   ] [RCM   ] [SUCCESS] Reference commit marker is correct.\n"));
  EXPECT_NE(
      out.text.find("[TRACE  ] [MISC  ] start:clf_reference_commit_marker: Level 4 (First)\n"),
      std::string::npos);
  EXPECT_STREQ(get_top_verbose(), VL_DEFAULT);
}

TEST_F(RcmTest, FirstMarkerMustListNoPartialReference) {
  const auto out = check(0, fmtest::rcm_marker({3}, ""));
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(
      out.text.find("[ERROR  ] [RCM   ] Number of partial reference of first rcm is not "
                    "correct.\n" +
                    std::string(INDENT) + "Actual value  :1\n" + INDENT + "Expected value:0\n"),
      std::string::npos);
  EXPECT_EQ(out.text.find("[SUCCESS]"), std::string::npos);
}

TEST_F(RcmTest, LastMarkerCountDifferingFromCartridgeMemoryIsOnlyAWarning) {
  vci_.Data.pr_count = 4;
  const auto out = check(1, fmtest::rcm_marker({50, 40, 30, 20, 10}, kBucketList), 5);
  EXPECT_EQ(out.ret, 0) << out.text;
  EXPECT_NE(out.text.find("[WARNING] [RCM   ] Number of Partial Reference is inconsistent. RCM: 5, "
                          "MAM: 4\n"),
            std::string::npos);
  EXPECT_EQ(out.text.find("[ERROR"), std::string::npos);
  EXPECT_NE(out.text.find("[SUCCESS]"), std::string::npos);
}

TEST_F(RcmTest, BucketElementRules) {
  const auto out = check(
      0, fmtest::rcm_marker({},
                            "{'BucketList': [{'BucketID': '9b2f6a3c-1d4e-4f5a-b6c7-d8e9f0a1b2c3'}, "
                            "'photos', {'BucketID': '9b2f6a3c-1d4e-4f5a-b6c7-d8e9f0a1b2c3', "
                            "'BucketName': 'abc', 'VendorX': 1, 'Owner': 'me'}]}"));
  EXPECT_EQ(out.ret, 1);
  EXPECT_EQ(count(out.text, "Required elements of the bucket list are missing.\n"), 2u);
  EXPECT_EQ(count(out.text, "Undefined key :"), 1u);
  EXPECT_NE(out.text.find("[ERROR  ] [RCM   ] Undefined key :Owner\n"), std::string::npos);
  EXPECT_TRUE(in_order(out.text, "Undefined key :Owner", "Bucket list format is not correct.\n"));
}

TEST_F(RcmTest, BucketNamesAndIdentifiersAreChecked) {
  const auto out = check(0, fmtest::rcm_marker({},
                                               "{\"PoolGroupName\": \"9pool\", \"BucketList\": "
                                               "[{\"BucketID\": \"1234\", \"BucketName\": "
                                               "\"AB\"}]}"));
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("Pool group name must start with lowercase alphabets"),
            std::string::npos);
  EXPECT_NE(out.text.find("Bucket UUID (1234) version"), std::string::npos);
  EXPECT_NE(out.text.find("Word count of bucket name is not correct."), std::string::npos);
}

TEST_F(RcmTest, UnparsableBucketListIsReportedNotWalked) {
  const auto out = check(0, fmtest::rcm_marker({}, "{\"BucketList\": [ oops"));
  EXPECT_EQ(out.ret, 1);
  EXPECT_TRUE(in_order(out.text,
                       "[ERROR  ] [RCM   ] Bucket list is not complying with JSON format.\n",
                       "[ERROR  ] [RCM   ] Bucket list format is not correct.\n"));
}

TEST_F(RcmTest, DataLengthMustMatchBytesAfterDirectory) {
  Bytes b = fmtest::rcm_marker({}, "{}");
  b.text("xyz");
  const auto out = check(0, b);
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("Data length defined at rcm header is not the same as actual size of "
                          "System info.\n" +
                          std::string(INDENT) + "Actual size(data length) :2\n" + INDENT +
                          "Actual size(bucket list) :5\n"),
            std::string::npos);
}

TEST_F(RcmTest, HostileCountsAndLengthsEndCleanly) {
  // A count that the file cannot hold: reported, no allocation for it, the run goes on.
  Bytes b = fmtest::rcm_marker({}, "");
  Bytes huge;
  huge.identifier(LEVEL4_IDENTIFIER).u64(80).u64(80).u64(1u << 30).u64(uint64_t{1} << 61);
  huge.uuid(fmtest::kUuid1).uuid(fmtest::kUuid2).uuid(fmtest::kUuid3).u64(9).u64(3);
  auto out = check(1, huge, uint64_t{1} << 61);
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("Number of markers does not fit in the directory."), std::string::npos);
  EXPECT_NE(out.text.find("Actual size(data length) :1073741824\n"), std::string::npos);
  EXPECT_EQ(count(out.text, "block offset:"), 2u);

  // A file shorter than its header; and an empty file.
  out = check(0, Bytes().identifier(LEVEL4_IDENTIFIER).u64(80));
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("Marker header is shorter than its format."), std::string::npos);
  out = check(0, Bytes());
  EXPECT_EQ(out.ret, 1);
}

TEST_F(RcmTest, NullCartridgeMemoryEndsRun) {
  quiet();
  write("reference_partition/RCM_0", fmtest::rcm_marker({}, ""));
  EXPECT_EXIT(RUN_ENDS(clf_reference_commit_marker(0, nullptr, &hta_, 0)),
              ::testing::ExitedWithCode(1),
              "Null pointer is detected at clf_reference_commit_marker");
}

TEST_F(RcmTest, CountRulesRejectUnknownMarker) {
  quiet();
  const uint64_t n = 0;
  EXPECT_STREQ(get_rcm_name(2), "Unknown");
  EXPECT_EXIT(RUN_ENDS(check_num_of_pr(2, &n)), ::testing::ExitedWithCode(1),
              "Invalid arguments at check_num_of_pr: which_rcm = 2");
  EXPECT_EXIT(RUN_ENDS(check_data_length_of_bucket_list(-1, 0, &n, 0)),
              ::testing::ExitedWithCode(1),
              "Invalid arguments at check_data_length_of_bucket_list: which_rcm = -1");
}

}  // namespace

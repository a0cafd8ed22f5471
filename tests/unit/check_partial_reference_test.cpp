// Partial reference and OCM info checks, and the packed object info and object metadata checks
// that they reach.
#include <gtest/gtest.h>

#include <random>
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
using fmtest::metadata;

void set_u64(Bytes& b, size_t position, uint64_t value) {
  Bytes v;
  v.u64(value);
  std::copy(v.v.begin(), v.v.end(), b.v.begin() + static_cast<long>(position));
}

// A metadata text padded with blanks to exactly `size` bytes.
std::string sized(std::string meta, size_t size) {
  meta.insert(meta.size() - 1, size - meta.size(), ' ');
  return meta;
}

// ---------------------------------------------------------------------------------------------
// Packed object info and metadata

class PackedObjectInfoTest : public FormatCheckTest {
 protected:
  fmtest::Output check(const Bytes& b, uint64_t po_info_length) {
    set_top_verbose(VL_PR);
    position_ = 0;
    return capture(
        [&] { return clf_packed_objects_info("", b.span(), &position_, po_info_length); });
  }
  fmtest::Output check(const Bytes& b) { return check(b, b.size()); }
  uint64_t position_ = 0;
};

TEST_F(PackedObjectInfoTest, OneObjectWithHundredByteMetadataPasses) {
  const Bytes b = fmtest::po_info({sized(metadata(), 100)});
  ASSERT_EQ(b.size(), 236u);
  const auto out = check(b);
  EXPECT_EQ(out.ret, 0) << out.text;
  EXPECT_EQ(position_, 236u);
  const std::string i(INDENT);
  EXPECT_TRUE(in_order(out.text, "[INFO   ] [PR    ] LEVEL 2\n",
                       "[INFO   ] [POINFO] PO Header is correct.\n"));
  EXPECT_NE(out.text.find("metadata_size=100, data_offset=236, metadata_offset=136\n"),
            std::string::npos);
  EXPECT_NE(out.text.find("Objects Directory is correct.\n" + i + "Last Data Offset  : 246\n"),
            std::string::npos);
  EXPECT_NE(
      out.text.find("[INFO   ] [PR    ] Object Meta data is correct.\n" + i + "Sequence ID : 1\n" +
                    i + "MetadataVersion  : 1\n" + i + "Key  : a.txt\n" + i + "Size  : 5\n" + i +
                    "LastModifiedTime  : 2021-02-03T04:05:06.123456Z\n"),
      std::string::npos);
}

TEST_F(PackedObjectInfoTest, ZeroObjectsGivesOnlyTheCountMessage) {
  const auto out = check(fmtest::po_info({}));
  EXPECT_EQ(out.ret, 1);
  EXPECT_EQ(count(out.text, "[ERROR"), 2u) << out.text;
  EXPECT_NE(out.text.find("Number of Objects is not correct.\n" + std::string(INDENT) +
                          "Actual value  : 0\n" + INDENT +
                          "Expected value: Objects number should be greater than 0.\n"),
            std::string::npos);
  EXPECT_NE(out.text.find("PO header format is not correct.\n"), std::string::npos);
  EXPECT_EQ(count(out.text, "UUID"), 0u);
}

TEST_F(PackedObjectInfoTest, HeaderReportsOnlyFirstBrokenRule) {
  Bytes b = fmtest::po_info({metadata()});
  set_u64(b, 0, 64);
  set_u64(b, 16, 0);
  const auto out = check(b);
  EXPECT_EQ(out.ret, 1);
  EXPECT_EQ(count(out.text, "Data length of Directory Offset is not correct."), 1u);
  EXPECT_EQ(count(out.text, "Number of Objects is not correct."), 0u);
}

TEST_F(PackedObjectInfoTest, PackedObjectSizeBound) {
  Bytes b = fmtest::po_info({metadata()});
  set_u64(b, 72 + 32 + 16, 5497558138880);
  set_u64(b, 72 + 32 + 24, 5497558138880);
  EXPECT_EQ(check(b).ret, 0);
  set_u64(b, 72 + 32 + 16, 5497558138881);
  set_u64(b, 72 + 32 + 24, 5497558138881);
  const auto out = check(b);
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("Packed Object size is not correct.\n" + std::string(INDENT) +
                          "Actual value  : Packed Object size = 5497558138881\n"),
            std::string::npos);
}

TEST_F(PackedObjectInfoTest, DirectoryRulesAndByteSize) {
  Bytes b = fmtest::po_info({metadata(), metadata()});
  const size_t second = 72 + 32;
  set_u64(b, second + 24, 150);  // second object's data offset before its metadata
  auto out = check(b);
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("Object Data Offset should be greater than Meta Data Offset."),
            std::string::npos);
  EXPECT_NE(out.text.find("Byte size of Packed Object Info is not correct."), std::string::npos);
  // The closing entry must carry the nil identifier.
  b = fmtest::po_info({metadata()});
  b.v[72 + 32] = 0x12;
  out = check(b);
  EXPECT_NE(out.text.find("Object ID of the last Objects Directory is not correct.\n"),
            std::string::npos);
  EXPECT_EQ(out.text.find("Objects Directory is correct."), std::string::npos);
}

TEST_F(PackedObjectInfoTest, MetadataVersionRules) {
  auto out = check(fmtest::po_info({metadata("", "2")}));
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("\"MetadataVersion\" is not 1(Number 0 Object).\n"), std::string::npos);
  out = check(fmtest::po_info({metadata("", "\"1\"")}));
  EXPECT_NE(out.text.find("\"MetadataVersion\" is not an integer(Number 0 Object).\n"),
            std::string::npos);
  EXPECT_EQ(count(out.text, "is not 1"), 0u);
}

TEST_F(PackedObjectInfoTest, UnusableAndVendorKeys) {
  const auto out = check(fmtest::po_info({metadata(", \"Owner\": \"me\", \"VendorNote\": [1]")}));
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("The key(\"Owner\") is unusable(Number 0 Object).\n"), std::string::npos);
  EXPECT_EQ(count(out.text, "is unusable"), 1u);
}

TEST_F(PackedObjectInfoTest, OnlyTheBadObjectIsMarkedNotCorrect) {
  const auto out = check(fmtest::po_info({metadata("", "2"), metadata()}));
  EXPECT_EQ(out.ret, 1);
  const std::string i(INDENT);
  EXPECT_TRUE(in_order(out.text, "Object Meta data is not correct.\n" + i + "Sequence ID : 1\n",
                       "Object Meta data is correct.\n" + i + "Sequence ID : 2\n"));
  EXPECT_NE(out.text.find("At least one of Objects has an invalid Meta data.\n"),
            std::string::npos);
}

TEST_F(PackedObjectInfoTest, SizeIsSixtyFourBits) {
  auto out = check(fmtest::po_info({metadata("", "1", "5497558138880")}));
  EXPECT_EQ(out.ret, 0) << out.text;
  EXPECT_NE(out.text.find("Size  : 5497558138880\n"), std::string::npos);
  out = check(fmtest::po_info({metadata("", "1", "-1")}));
  EXPECT_NE(out.text.find("\"Size\" is less than 0(Number 0 Object).\n"), std::string::npos);
  out = check(fmtest::po_info({metadata("", "1", "1.5")}));
  EXPECT_NE(out.text.find("\"Size\" is not an integer(Number 0 Object).\n"), std::string::npos);
}

TEST_F(PackedObjectInfoTest, MemberTypes) {
  const auto out = check(fmtest::po_info(
      {metadata(", \"IsDeleted\": \"no\", \"UserMetadata\": {\"a\": \"x\", \"b\": 2}, "
                "\"ContentType\": 5, \"Version\": null"),
       metadata(", \"UserMetadata\": 7")}));
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("\"IsDeleted\" is not a boolean(Number 0 Object).\n"), std::string::npos);
  EXPECT_NE(out.text.find("\"b\" is not a string(Number 0 Object).\n"), std::string::npos);
  EXPECT_EQ(count(out.text, "\"a\" is not a string"), 0u);
  EXPECT_NE(out.text.find("\"ContentType\" is not a string(Number 0 Object).\n"),
            std::string::npos);
  EXPECT_NE(out.text.find("\"Version\" is not a string(Number 0 Object).\n"), std::string::npos);
  EXPECT_NE(out.text.find("\"UserMetadata\" is not an object(Number 1 Object).\n"),
            std::string::npos);
}

TEST_F(PackedObjectInfoTest, UnparsableMetadataIsNotWalked) {
  for (const char* text : {"{\"Owner\": oops", "[\"Owner\"]"}) {
    const auto out = check(fmtest::po_info({text}));
    EXPECT_EQ(out.ret, 1);
    EXPECT_NE(out.text.find("Meta data in Number 0 Object is not complying with JSON format.\n"),
              std::string::npos);
    EXPECT_EQ(count(out.text, "was not found(Number 0 Object)"), 4u);
    EXPECT_EQ(count(out.text, "unusable"), 0u);
    EXPECT_NE(out.text.find("Object Meta data is not correct."), std::string::npos);
  }
}

TEST_F(PackedObjectInfoTest, HostileCountsAndOffsetsEndCleanly) {
  // A number of objects that no buffer could hold.
  Bytes b = fmtest::po_info({metadata()});
  set_u64(b, 16, uint64_t{1} << 60);
  auto out = check(b);
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("Objects Directory is shorter than its number of objects."),
            std::string::npos);

  // Metadata said to run far past the end of the buffer.
  b = fmtest::po_info({metadata()});
  set_u64(b, 72 + 24, 1000000000000);
  out = check(b);
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("Meta data is shorter than its size(Number 0 Object).\n"),
            std::string::npos);

  // Offsets in reverse: a negative metadata size, never a huge copy.
  b = fmtest::po_info({metadata()});
  set_u64(b, 72 + 24, 100);
  out = check(b);
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("metadata_size=-36,"), std::string::npos);
  EXPECT_NE(out.text.find("Meta data size is less than 0(Number 0 Object).\n"), std::string::npos);

  // A position past the end of the buffer, and a truncated header.
  set_top_verbose(VL_PR);
  position_ = 1000;
  out = capture([&] { return clf_packed_objects_info("", b.span(), &position_, 236); });
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("PO Header is shorter than its format."), std::string::npos);
  b.v.resize(50);
  EXPECT_EQ(check(b, 236).ret, 1);
}

TEST_F(PackedObjectInfoTest, NullPathEndsRun) {
  quiet();
  const Bytes b = fmtest::po_info({metadata()});
  uint64_t position = 0;
  EXPECT_EXIT(RUN_ENDS(clf_packed_objects_info(nullptr, b.span(), &position, b.size())),
              ::testing::ExitedWithCode(1), "Null pointer is detected at clf_packed_objects_info");
}

// ---------------------------------------------------------------------------------------------
// Partial reference

class PartialReferenceTest : public FormatCheckTest {
 protected:
  fmtest::Output check(const Bytes& b) {
    write("PR_0", b);
    return capture([] { return check_partial_reference("PR_0"); });
  }
};

TEST_F(PartialReferenceTest, EmptyPartialReferencePasses) {
  const Bytes b = fmtest::partial_reference({});
  ASSERT_EQ(b.size(), 56u);
  const auto out = check(b);
  EXPECT_EQ(out.ret, 0) << out.text;
  EXPECT_EQ(out.text.find("check_ocm_info"), std::string::npos);
  EXPECT_TRUE(in_order(out.text, "[TRACE  ] [PR    ] start:check_partial_reference: PR_0\n",
                       "[TRACE  ] [PR    ] end  :check_partial_reference: PR_0\n"));
  EXPECT_STREQ(get_top_verbose(), VL_DEFAULT);
}

TEST_F(PartialReferenceTest, OcmInfoLengthRule) {
  const Bytes info = fmtest::ocm_info({fmtest::po_info({sized(metadata(), 100)})});
  EXPECT_EQ(check(fmtest::partial_reference({info, info})).ret, 0);

  Bytes longer = info;
  longer.zeros(1);  // the directory's length says one byte more than the OCM info holds
  const auto out = check(fmtest::partial_reference({longer}));
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(
      out.text.find("[ERROR  ] [OCM   ] OCM Info length is not correct.\n" + std::string(INDENT) +
                    "(Data offset:40) + (Sum of packed object info length:236) = (OCM Info "
                    "length:277)\n"),
      std::string::npos);
}

TEST_F(PartialReferenceTest, OcmDirectoryOffsetsMustDescend) {
  const Bytes info = fmtest::ocm_info({fmtest::po_info({metadata()})});
  Bytes b = fmtest::partial_reference({info, info});
  set_u64(b, 56 + 8, 100);
  set_u64(b, 56 + 16 + 8, 100);
  const auto out = check(b);
  EXPECT_EQ(out.ret, 1);
  EXPECT_TRUE(
      in_order(out.text, "[ERROR  ] [PR    ] Block offsets must be in descending order.\n",
               "[ERROR  ] [PR    ] Object commit marker directory format is not correct.\n"));
}

// The header of an OCM info inside a partial reference reports as the partial reference: a wrong
// directory offset and the consistency error that follows it carry the PR tag.
TEST_F(PartialReferenceTest, OcmInfoHeaderReportsAsThePartialReference) {
  Bytes info = fmtest::ocm_info({fmtest::po_info({metadata()})});
  set_u64(info, 0, 7);  // the OCM info's directory offset
  const auto out = check(fmtest::partial_reference({info}));
  EXPECT_EQ(out.ret, 1);
  const std::string consistency =
      "[ERROR  ] [PR    ] Data offset, directory_offset and number of markers are not "
      "consistent.\n";
  EXPECT_TRUE(
      in_order(out.text, "[ERROR  ] [PR    ] Directory_offset is not correct.\n", consistency))
      << out.text;
  EXPECT_TRUE(
      in_order(out.text, consistency, "[ERROR  ] [OCM   ] OCM header format is not correct.\n"))
      << out.text;
}

TEST_F(PartialReferenceTest, ShortFilesEndRunWithReadFailure) {
  quiet();
  const Bytes info = fmtest::ocm_info({fmtest::po_info({metadata()})});
  Bytes b = fmtest::partial_reference({info, info});
  b.v.resize(56 + 20);
  write("PR_0", b);
  EXPECT_EXIT(RUN_ENDS(check_partial_reference("PR_0")), ::testing::ExitedWithCode(1),
              "Failed to read OCM Directory from file PR_0\\.");
  b.v.resize(30);
  write("PR_0", b);
  EXPECT_EXIT(RUN_ENDS(check_partial_reference("PR_0")), ::testing::ExitedWithCode(1),
              "Failed to read Partial Reference Header from file PR_0\\.");
}

TEST_F(PartialReferenceTest, HugeCountsAndLengthsEndWithReadFailureNotAllocation) {
  quiet();
  Bytes b = fmtest::partial_reference({});
  set_u64(b, 48, uint64_t{1} << 60);
  write("PR_0", b);
  EXPECT_EXIT(RUN_ENDS(check_partial_reference("PR_0")), ::testing::ExitedWithCode(1),
              "Failed to read OCM Directory from file PR_0\\.");

  b = fmtest::partial_reference({fmtest::ocm_info({})});
  set_u64(b, 56, uint64_t{1} << 62);
  write("PR_0", b);
  EXPECT_EXIT(RUN_ENDS(check_partial_reference("PR_0")), ::testing::ExitedWithCode(1),
              "Failed to read OCM Info from file PR_0\\.");
}

TEST_F(PartialReferenceTest, OcmInfoCountLargerThanItsBytes) {
  Bytes info = fmtest::ocm_info({fmtest::po_info({metadata()})});
  set_u64(info, 16, UINT64_MAX);
  const auto out = check(fmtest::partial_reference({info, Bytes().zeros(3)}));
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("[ERROR  ] [OCM   ] OCM header format is not correct.\n"),
            std::string::npos);
  EXPECT_NE(out.text.find("Number of markers does not fit in the directory."), std::string::npos);
  EXPECT_NE(out.text.find("OCM Info length is not correct."), std::string::npos);
  // The second OCM info, three bytes long, is checked too.
  EXPECT_NE(out.text.find("end  :check_ocm_info: OCM Info 1\n"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Damaged markers: random bytes overwritten, or the marker cut short, must only ever give
// reports. Run under the sanitizers this also proves that nothing is read outside the buffer.

Bytes damaged(const Bytes& sound, std::mt19937& random) {
  Bytes b = sound;
  const int changes = 1 + static_cast<int>(random() % 4);
  for (int k = 0; k < changes; ++k) {
    // Half of the changes land among the headers and directories, where counts and offsets are.
    const size_t range = random() % 2 == 0 ? std::min<size_t>(b.v.size(), 160) : b.v.size();
    b.v[random() % range] = static_cast<uint8_t>(random());
  }
  if (random() % 4 == 0) b.v.resize(random() % b.v.size());
  return b;
}

TEST_F(PartialReferenceTest, DamagedOcmInfosOnlyGiveReports) {
  quiet();
  const Bytes sound =
      fmtest::ocm_info({fmtest::po_info({metadata(), metadata(", \"IsDeleted\": true")}),
                        fmtest::po_info({metadata()})});
  std::mt19937 random(20260512);
  for (int round = 0; round < 300; ++round) {
    const Bytes b = damaged(sound, random);
    uint64_t position = 0;
    set_top_verbose(VL_PR);
    const auto out = capture([&] { return check_ocm_info(b.span(), &position, sound.size(), 0); });
    EXPECT_TRUE(out.ret == 0 || out.ret == 1);
  }
}

TEST_F(PartialReferenceTest, DamagedReferenceCommitMarkersOnlyGiveReports) {
  quiet();
  MamVci vci{};
  MamHta hta{};
  const Bytes sound =
      fmtest::rcm_marker({30, 20, 10},
                         "{\"PoolGroupName\": \"pool-a\", \"BucketList\": [{\"BucketID\": "
                         "\"9b2f6a3c-1d4e-4f5a-b6c7-d8e9f0a1b2c3\", \"BucketName\": \"abc\"}]}");
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    write("reference_partition/RCM_1", damaged(sound, random));
    const auto out = capture([&] { return clf_reference_commit_marker(1, &vci, &hta, 3); });
    EXPECT_TRUE(out.ret == 0 || out.ret == 1);
  }
}

}  // namespace

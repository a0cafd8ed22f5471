// VOL1 label and format label checks on hand-written cached label files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/test_util.h"
#include "format_check_fixture.h"
#include "support/file_helpers.h"

namespace {

using fmtest::count;
using fmtest::FormatCheckTest;
using fmtest::in_order;

// ---------------------------------------------------------------------------------------------
// VOL1 label

std::string vol1(std::string_view volume = "ABC123", std::string_view owner = "") {
  std::string label = "VOL1";
  label += volume;
  label += std::string(1 + 13, ' ');
  label += "Quorrant";
  label += std::string(5, ' ');
  std::string owner_field(owner);
  owner_field.resize(14, ' ');
  label += owner_field;
  label += std::string(28, ' ');
  label += "4";
  return label;
}

class Vol1LabelTest : public FormatCheckTest {
 protected:
  fmtest::Output check(const std::string& label) {
    write("reference_partition/VOL1Label", label);
    return capture([] { return clf_vol1_label(); });
  }
};

TEST_F(Vol1LabelTest, SoundLabelWithBlankOwnerPasses) {
  const std::string label = vol1();
  ASSERT_EQ(label.size(), 80u);
  const auto out = check(label);
  EXPECT_EQ(out.ret, 0);
  EXPECT_EQ(out.text, "[TRACE  ] [LABEL ] start:clf_vol1_label\n[INFO   ] [LABEL ] " + label +
                          "\n[TRACE  ] [LABEL ] end  :clf_vol1_label\n");
}

TEST_F(Vol1LabelTest, LowerCaseVolumeIdentifierReportsFirstCharacterOnce) {
  const auto out = check(vol1("abc123"));
  EXPECT_EQ(out.ret, 1);
  EXPECT_EQ(count(out.text, "Volume identifier format is not correct."), 1u);
  EXPECT_NE(out.text.find("[ERROR  ] [LABEL ] Volume identifier format is not correct.\n" +
                          std::string(INDENT) + "You can not use character 'a'.\n"),
            std::string::npos);
}

TEST_F(Vol1LabelTest, Hdr1ReportsIdentifierAndScansOnlyFirstVolumeCharacter) {
  std::string label = vol1("Abc123");
  label.replace(0, 3, "HDR");
  const auto out = check(label);
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("Label identifier format is not correct.\n" + std::string(INDENT) +
                          "Actual format  :HDR\n" + INDENT + "Expected format:VOL\n"),
            std::string::npos);
  // The label number of "HDR1" is the 1 at offset 3, which is what it must be.
  EXPECT_EQ(count(out.text, "Label number"), 0u);
  // 'A' is sound and the earlier failure stops the scan before 'b'.
  EXPECT_EQ(count(out.text, "Volume identifier"), 0u);
}

// The second check reads the same file name again after it was rewritten: it must see the new
// bytes, not what the file slot buffered for the first check.
// The character is shown escaped: a label is text from the tape.
TEST_F(Vol1LabelTest, TabInOwnerIsReportedTildeIsNot) {
  EXPECT_EQ(check(vol1("ABC123", "owner~name")).ret, 0);
  const auto out = check(vol1("ABC123", "own\ter"));
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("Owner identifier format is not correct.\n" + std::string(INDENT) +
                          "You can not use character '\\x09'.\n"),
            std::string::npos);
}

TEST_F(Vol1LabelTest, EveryFieldReportedInLabelOrderWithActualAndExpected) {
  std::string label = vol1();
  label[3] = '2';
  label[10] = 'X';
  label[12] = '#';
  label.replace(24, 8, "Quorrent");
  label[33] = '*';
  label[60] = '.';
  label[79] = '3';
  const auto out = check(label);
  EXPECT_EQ(out.ret, 1);
  const std::string i(INDENT);
  const std::vector<std::string> expected = {
      "Label number format is not correct.\n" + i + "Actual format  :2\n",
      "Volume accessibility format is not correct.\n" + i + "Actual format  :X\n" + i +
          "Expected format: \n",
      "Reserved spaces format is not correct.\n" + i + "Actual format  : #" + std::string(11, ' ') +
          "\n",
      "Implementation identifier format is not correct.\n" + i + "Actual format  :Quorrent\n",
      "Implementation identifier format is not correct.\n" + i + "Actual format  : *   \n",
      "Reserved spaces format is not correct.\n" + i + "Actual format  :" + std::string(9, ' ') +
          ".",
      "Label standard version format is not correct.\n" + i + "Actual format  :3\n" + i +
          "Expected format:4\n"};
  size_t at = 0;
  for (const std::string& message : expected) {
    const size_t found = out.text.find(message, at);
    ASSERT_NE(found, std::string::npos) << message << "\n---\n" << out.text;
    at = found + message.size();
  }
}

TEST_F(Vol1LabelTest, ShortFileEndsRunBeforeAnyFieldCheck) {
  quiet();
  const std::string label = vol1().substr(0, 79);
  write("reference_partition/VOL1Label", label);
  EXPECT_EXIT(RUN_ENDS(clf_vol1_label()), ::testing::ExitedWithCode(1),
              "Failed to read Vol1 Label from file reference_partition/VOL1Label\\.\n$");
}

TEST_F(Vol1LabelTest, MissingFileEndsRun) {
  quiet();
  EXPECT_EXIT(RUN_ENDS(clf_vol1_label()), ::testing::ExitedWithCode(1), "Failed to open file");
}

// ---------------------------------------------------------------------------------------------
// Format label

std::string format_label(std::string_view members) {
  return std::string("{\"QuorrantLabel\": {") + std::string(members) + "}}";
}

constexpr char kSoundMembers[] =
    "\"Version\": \"2.0.0\", \"FormatTime\": \"2021-02-03T04:05:06.123456Z\", "
    "\"VolumeUuid\": \"3f2504e0-4f89-41d3-9a0c-0305e82c3301\", \"Creator\": \"ACMEsoft archiver\"";

class FormatLabelTest : public FormatCheckTest {
 protected:
  void SetUp() override {
    FormatCheckTest::SetUp();
    vci_.is_valid = 1;
    std::strcpy(vci_.Data.uuid, "3F2504E0-4F89-41D3-9A0C-0305E82C3301");
    hta_.is_valid = 1;
    std::memcpy(hta_.Data.application_vendor, "ACMEsoft", 8);
    std::memcpy(hta_.Data.application_version, "2.0.0   ", 8);
  }
  fmtest::Output check(const std::string& text) {
    write("reference_partition/QRTLabel", text);
    return capture([this] { return clf_vexa_label(&vci_, &hta_, &block_size_); });
  }
  MamVci vci_{};
  MamHta hta_{};
  uint32_t block_size_ = 777;
};

TEST_F(FormatLabelTest, SoundLabelPassesAndLeavesBlockSizeAlone) {
  const auto out = check(format_label(kSoundMembers));
  EXPECT_EQ(out.ret, 0) << out.text;
  EXPECT_EQ(out.text.find("[ERROR"), std::string::npos);
  EXPECT_EQ(out.text.find("[WARNING"), std::string::npos);
  EXPECT_EQ(block_size_, 777u);
  EXPECT_TRUE(in_order(out.text, "[INFO   ] [LABEL ] QuorrantLabel\n",
                       "[INFO   ] [LABEL ] { \"Version\": \"2.0.0\""));
}

// A creator with an apostrophe once made a sound label unreadable after the quote replacement.
TEST_F(FormatLabelTest, ApostropheInAValueStillParses) {
  const auto out =
      check(format_label("\"Version\": \"2.0.0\", \"FormatTime\": \"2021-02-03T04:05:06.123456Z\", "
                         "\"VolumeUuid\": \"3f2504e0-4f89-41d3-9a0c-0305e82c3301\", \"Creator\": "
                         "\"ACMEsoft O'Brien\""));
  EXPECT_EQ(out.ret, 0) << out.text;
  EXPECT_EQ(out.text.find("[ERROR"), std::string::npos) << out.text;
}

TEST_F(FormatLabelTest, BlockSizeRule) {
  const auto accepted = check(format_label(std::string(kSoundMembers) + ", \"BlockSize\": 4096"));
  EXPECT_EQ(accepted.ret, 0);
  EXPECT_EQ(block_size_, 4096u);
  // A number and a text of the same digits are the same to the rule.
  EXPECT_EQ(check(format_label(std::string(kSoundMembers) + ", \"BlockSize\": \"1048576\"")).ret,
            0);
  EXPECT_EQ(block_size_, 1048576u);

  // Rejected, and nothing stored: a run of digits larger than a 32-bit integer is not cut down to
  // a small value (2^32 + 4096 would otherwise read as 4096).
  for (const char* text : {"4095", "4k", "", "-8192", "4294971392", "99999999999999999999"}) {
    uint32_t stored = 1234;
    const auto out = capture([&] { return check_block_size(text, &stored); });
    EXPECT_EQ(out.ret, 1) << text;
    EXPECT_EQ(stored, 1234u) << text;
    EXPECT_NE(out.text.find("BlockSize of Quorrant Label is not correct.\n" + std::string(INDENT) +
                            "Actual format  : " + text + "\n" + INDENT +
                            "Expected format: Integer (4096 or greater)\n"),
              std::string::npos)
        << out.text;
  }
  const auto in_label = check(format_label(std::string(kSoundMembers) + ", \"BlockSize\": -8192"));
  EXPECT_EQ(in_label.ret, 1);
  EXPECT_EQ(block_size_, 1048576u);
}

TEST_F(FormatLabelTest, MisspeltTopLevelKeyStillChecksInnerMembers) {
  const auto out = check("{\"QuorantLabel\": {\"Version\": \"1.0.0\"}}");
  EXPECT_EQ(out.ret, 1);
  const std::string i(INDENT);
  EXPECT_TRUE(in_order(out.text,
                       "First layer key of Quorrant Label is invalid.\n" + i +
                           "Actual format  :QuorantLabel\n" + i + "Expected format:QuorrantLabel\n",
                       "Version format is not correct.\n" + i + "Actual format  :1.0.0\n"));
  EXPECT_EQ(count(out.text, "At least one of required elements is not described"), 1u);
}

TEST_F(FormatLabelTest, VersionPaddingInCartridgeMemory) {
  std::memcpy(hta_.Data.application_version, "2.0.0abc", 8);
  const auto out = check(format_label(kSoundMembers));
  EXPECT_EQ(out.ret, 0);  // a warning does not fail the check
  EXPECT_NE(out.text.find("[WARNING] [LABEL ] Application version \"2.0.0abc\" should be padded by "
                          "space from offset 5 and later.\n"),
            std::string::npos);
  EXPECT_EQ(count(out.text, "[WARNING]"), 1u);
}

TEST_F(FormatLabelTest, VendorKeyWithUnderscore) {
  const auto out =
      check(format_label(std::string(kSoundMembers) + ", \"Vendor_1\": 7, \"VendorX\": 1"));
  EXPECT_EQ(out.ret, 1);
  const std::string i(INDENT);
  EXPECT_TRUE(in_order(
      out.text,
      "Vendor defined KEY and VALUE are found.\n" + i + "KEY    : Vendor_1\n" + i + "VALUE  : 7\n",
      "Vendor defined KEY of Quorrant Label is including an invalid "
      "character(s).\n" +
          i + "Actual format  : 0x5F\n" + i + "Expected format: Digits or Alphabets\n"));
  EXPECT_EQ(count(out.text, "including an invalid"), 1u);
}

TEST_F(FormatLabelTest, LongCreatorIsReportedAndStillComparedWithVendor) {
  const std::string creator(1025, 'C');
  std::string members = kSoundMembers;
  members.replace(members.find("ACMEsoft archiver"), 17, creator);
  const auto out = check(format_label(members));
  EXPECT_EQ(out.ret, 1);
  const std::string i(INDENT);
  EXPECT_TRUE(in_order(out.text,
                       "Creator of Quorrant Label whose length is longer than 1024 bytes.\n" + i +
                           "Creator of Quorrant Label: " + creator + "\n",
                       "[WARNING] [LABEL ] Creator of Quorrant Label is different from APPLICATION "
                       "VENDOR in MAM Host-type Attributes.\n"));
}

TEST_F(FormatLabelTest, MissingFormatTimeReportedOnce) {
  std::string members = kSoundMembers;
  members.erase(members.find("\"FormatTime\""),
                std::strlen("\"FormatTime\": \"2021-02-03T04:05:06.123456Z\", "));
  const auto out = check(format_label(members));
  EXPECT_EQ(out.ret, 1);
  EXPECT_EQ(count(out.text,
                  "[ERROR  ] [LABEL ] At least one of required elements is not described "
                  "in Quorrant Label.\n"),
            1u);
}

TEST_F(FormatLabelTest, MemberRules) {
  const auto out = check(format_label(
      "\"Version\": \"2.0.0\", \"FormatTime\": \"2021/02/03T04:05:06.123456Z\", "
      "\"VolumeUuid\": \"6ba7b810-9dad-41d1-80b4-00c04fd430c8\", \"Creator\": \"Other\", "
      "\"Compression\": \"yes\", \"Owner\": \"me\""));
  EXPECT_EQ(out.ret, 1);
  const std::string i(INDENT);
  EXPECT_NE(out.text.find("UTC format is not correct.\n" + i +
                          "Actual format  :2021/02/03T04:05:06.123456Z\n" + i +
                          "Expected format:YYYY-MM-DDThh:mm:ss.mmmmmmZ\n"),
            std::string::npos);
  EXPECT_NE(out.text.find("[WARNING] [LABEL ] VolumeUuid of Quorrant Label is not same as the MAM "
                          "data.\n"),
            std::string::npos);
  EXPECT_NE(out.text.find("Creator of Quorrant Label is different from APPLICATION VENDOR"),
            std::string::npos);
  EXPECT_NE(out.text.find("Compression of Quorrant Label is not correct.\n" + i +
                          "Expected format:Boolean (true or false)\n"),
            std::string::npos);
  EXPECT_NE(out.text.find("Undefined KEY and VALUE are found.\n" + i + "KEY    : Owner\n" + i +
                          "VALUE  : me\n"),
            std::string::npos);
  EXPECT_EQ(count(out.text, "At least one of required"), 0u);
}

TEST_F(FormatLabelTest, CartridgeMemoryComparedOnlyWhenValid) {
  vci_.is_valid = 0;
  hta_.is_valid = 0;
  std::memcpy(hta_.Data.application_version, "9.9.9xyz", 8);
  const auto out =
      check(format_label(std::string(kSoundMembers)
                             .replace(std::string(kSoundMembers).find("3f2504e0"), 8, "aaaaaaaa")));
  EXPECT_EQ(out.ret, 0);
  EXPECT_EQ(out.text.find("[WARNING"), std::string::npos);
}

TEST_F(FormatLabelTest, UnparsableOrMisshapenLabelIsNotWalked) {
  for (const char* text :
       {"", "not json at all", "[1, 2]", "\x01\x02\xff{", "{\"QuorrantLabel\": "}) {
    const auto out = check(text);
    EXPECT_EQ(out.ret, 1);
    EXPECT_NE(
        out.text.find("[ERROR  ] [LABEL ] Quorrant Label is not complying with JSON format.\n"),
        std::string::npos);
  }
  const auto out = check("{\"QuorrantLabel\": 5}");
  EXPECT_EQ(out.ret, 1);
  EXPECT_NE(out.text.find("Value of \"QuorrantLabel\" in Quorrant Label is not a JSON object.\n"),
            std::string::npos);
}

TEST_F(FormatLabelTest, NullCartridgeMemoryEndsRun) {
  quiet();
  write("reference_partition/QRTLabel", format_label(kSoundMembers));
  EXPECT_EXIT(RUN_ENDS(clf_vexa_label(nullptr, &hta_, &block_size_)), ::testing::ExitedWithCode(1),
              "Null pointer is detected at clf_vexa_label");
}

}  // namespace

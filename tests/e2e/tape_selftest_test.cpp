// build/tape_selftest run on virtual cartridges: what it prints for each command, its exit
// status, its usage errors, and a damaged or malformed cartridge.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cartridge/cartridge_writer.h"
#include "common/test_util.h"

namespace {

class TapeSelftestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vtape::PartitionWriter p0(dir_ / "p0.tap");
    p0.record(bytes("VOL1LABEL"));
    p0.filemark();
    p0.record(bytes("first"));
    p0.record(bytes("second block"));
    p0.filemark();
    p0.close();
    vtape::PartitionWriter p1(dir_ / "p1.tap");
    p1.record(bytes("data partition"));
    p1.filemark();
    p1.close();
    manifest_.volume_personality = "Ultrium-8";
    manifest_.set_attribute(0, 0x0009, 0, {0, 0, 0, 7});
    manifest_.set_attribute_text(0, 0x0800, "VENDOR", 8);
    manifest_.set_attribute_text(0, 0x0806, "QRT001L8", 32);
    manifest_.set_attribute(0, 0x080C, 0, {0, 8, 0, 0, 0, 0, 0, 0, 0, 7, 1, 2, 3});
    vtape::write_manifest(manifest_, dir_.path());
  }
  static std::vector<uint8_t> bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
  }
  testutil::RunResult selftest(std::vector<std::string> args) {
    args.insert(args.begin(), testutil::bin("tape_selftest"));
    return testutil::run(args);
  }

  testutil::TempDir dir_;
  vtape::Manifest manifest_;
};

TEST_F(TapeSelftestTest, PrintsInquiryAndPosition) {
  const testutil::RunResult r =
      selftest({dir_.path(), "test_unit_ready", "inquiry", "read_position"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Test Unit Ready: OK\n"
            "Vendor ID: _VIRTUAL _\n"
            "Product ID: _VIRTUAL LTO     _\n"
            "Revision Level: _0001_\n"
            "resid: _36_\n"
            "Partition Number: 0x0\n"
            "Block Number: 0x0\n"
            "File Number: 0x0\n"
            "BOP: 1\n"
            "EOP: 0\n"
            "MPU: 0\n"
            "LONU: 0\n");
  EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(TapeSelftestTest, CommandsShareTheDrivePosition) {
  const testutil::RunResult r =
      selftest({dir_.path(), "locate", "3", "read", "read", "space", "1", "-2", "space", "1", "1",
                "read", "locate", "0", "1", "read", "read_position"});
  EXPECT_EQ(r.status, 1);  // the second read meets the filemark
  EXPECT_EQ(r.out,
            "read: 0, 1, 12\n"
            "read: 0, 0, 0\n"
            "Space: OK\n"
            "Space: OK\n"
            "read: 0, 1, 5\n"
            "read: 0, 1, 14\n"
            "Partition Number: 0x1\n"
            "Block Number: 0x1\n"
            "File Number: 0x0\n"
            "BOP: 0\n"
            "EOP: 0\n"
            "MPU: 0\n"
            "LONU: 0\n");
}

TEST_F(TapeSelftestTest, BlockLimitsAdapterLimitsAndLocate16) {
  manifest_.faults.block_limits = 65536;
  manifest_.faults.max_transfer = 1 << 20;
  vtape::write_manifest(manifest_, dir_.path());
  const testutil::RunResult r =
      selftest({dir_.path(), "read_block_limits", "locate16", "0", "1", "read", "locate16",
                "4294967296", "read_position"});
  EXPECT_EQ(r.status, 1);  // the last locate lies beyond the end of data: the tape stops there
  EXPECT_EQ(r.out,
            "Maximum Block Length: 65536\n"
            "Minimum Block Length: 1\n"
            "Granularity: 0\n"
            "Adapter: largest transfer 1048576 bytes, reserved buffer 32768 bytes\n"
            "read: 0, 1, 14\n"
            "Partition Number: 0x1\n"
            "Block Number: 0x2\n"
            "File Number: 0x1\n"
            "BOP: 0\n"
            "EOP: 0\n"
            "MPU: 0\n"
            "LONU: 0\n");
}

TEST_F(TapeSelftestTest, PrintsTheCartridgeMemory) {
  testutil::RunResult r = selftest({dir_.path(), "read_attribute"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string expected =
      "dxferp[0]: 0\nmam_page: data: 0x00000012, id: 0x080C, format: 0x00, "
      "length: 0x000D\n";
  const int value[] = {0, 8, 0, 0, 0, 0, 0, 0, 0, 7, 1, 2, 3};
  for (int i = 0; i < 13; ++i) {
    char line[64];
    std::snprintf(line, sizeof(line), "i: 0x%02X, buf: 0x%02X\n", i, value[i]);
    expected += line;
  }
  EXPECT_EQ(r.out, expected);

  r = selftest({dir_.path(), "read_drive_attribute"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("volume_id: \nvolume_change_reference: 0x00000007\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("totalbytes_read_last_load: 0x0000000000000000\nread_drive_attribute: OK\n"),
            std::string::npos);

  r = selftest({dir_.path(), "read_drive_host_type_attribute"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("application_vendor: VENDOR  \n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("barcode: QRT001L8                        \n"), std::string::npos);
  EXPECT_NE(r.out.find("system_globally_unique_identifier: \n"), std::string::npos);
}

TEST_F(TapeSelftestTest, VerbosityShowsTracesAndSense) {
  const testutil::RunResult r = selftest({"-v", "vvvvvv", dir_.path(), "space", "3", "0", "read"});
  EXPECT_EQ(r.status, 1);
  const std::string out = testutil::strip_headers(r.out);
  EXPECT_NE(out.find("[TRACE  ] [MISC  ] start:spti_space: code=0x3, block=0(0x0)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[TRACE  ] [MISC  ] start SCSI_COMMAND:(8)\n"), std::string::npos);
  EXPECT_NE(testutil::strip_headers(r.err).find("[WARNING] [MISC  ] Sense Key 8 (Blank Check)\n"),
            std::string::npos)
      << r.err;
}

TEST_F(TapeSelftestTest, UsageErrors) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {dir_.path()},
                                             {dir_.path(), "format"},
                                             {dir_.path(), "locate"},
                                             {dir_.path(), "locate", "1", "2", "3"},
                                             {dir_.path(), "locate", "1", "256"},
                                             {dir_.path(), "space", "1"},
                                             {dir_.path(), "space", "1", "0x800000"},
                                             {dir_.path(), "read", "5"},
                                             {"-v"}}) {
    const testutil::RunResult r = selftest(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_NE(r.err.find("Usage: "), std::string::npos);
    EXPECT_TRUE(r.out.empty());
  }
  const testutil::RunResult help = selftest({"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("read_drive_host_type_attribute"), std::string::npos);
}

// A damaged partition file is served up to the damage, which reads as an unreadable record; a
// manifest that does not parse refuses the cartridge.
TEST_F(TapeSelftestTest, DamagedPartitionIsServedAndMalformedManifestRefused) {
  testutil::write_bytes(dir_ / "p1.tap", {5, 0, 0, 0, 'a', 'b'});
  const testutil::RunResult r = selftest({dir_.path(), "locate", "0", "1", "read"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("read: 0, 0, 0\n"), std::string::npos) << r.out;
  const std::string err = testutil::strip_headers(r.err);
  EXPECT_EQ(testutil::count(err, "[WARNING] [MISC  ] Virtual cartridge file " + (dir_ / "p1.tap") +
                                     " is damaged at byte offset 0 (the file ends inside a "
                                     "record of 5 bytes)"),
            1u)
      << err;
  EXPECT_NE(err.find("Sense Key 3"), std::string::npos) << err;

  testutil::write_file(dir_ / "cartridge.json", "{\"vtape\": 1,");
  const testutil::RunResult refused = selftest({dir_.path(), "test_unit_ready"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(refused.out.empty());
  EXPECT_NE(testutil::strip_headers(refused.err)
                .find("[ERROR  ] [MISC  ] Virtual cartridge file " + (dir_ / "cartridge.json") +
                      ": does not parse"),
            std::string::npos)
      << refused.err;
}

TEST_F(TapeSelftestTest, MissingDeviceFails) {
  const testutil::RunResult r = selftest({dir_ / "no-such-device", "test_unit_ready"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
}

}  // namespace

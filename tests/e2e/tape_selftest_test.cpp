// build/tape_selftest run on virtual cartridges: what it prints for each command, its exit
// status, its usage errors, and a damaged or malformed cartridge.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cartridge/cartridge_writer.h"
#include "cartridge/library_builder.h"
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
  // The command layer's own output, undecoded.
  testutil::RunResult selftest_raw(std::vector<std::string> args) {
    args.insert(args.begin(), "--raw");
    return selftest(std::move(args));
  }

  testutil::TempDir dir_;
  vtape::Manifest manifest_;
};

TEST_F(TapeSelftestTest, RawPrintsInquiryAndPosition) {
  const testutil::RunResult r =
      selftest_raw({dir_.path(), "test_unit_ready", "inquiry", "read_position"});
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
      selftest_raw({dir_.path(), "locate", "3", "read", "read", "space", "1", "-2", "space", "1",
                    "1", "read", "locate", "0", "1", "read", "read_position"});
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
      selftest_raw({dir_.path(), "read_block_limits", "locate16", "0", "1", "read", "locate16",
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

TEST_F(TapeSelftestTest, RawPrintsTheCartridgeMemory) {
  testutil::RunResult r = selftest_raw({dir_.path(), "read_attribute"});
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

  r = selftest_raw({dir_.path(), "read_drive_attribute"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("volume_id: \nvolume_change_reference: 0x00000007\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("totalbytes_read_last_load: 0x0000000000000000\nread_drive_attribute: OK\n"),
            std::string::npos);

  r = selftest_raw({dir_.path(), "read_drive_host_type_attribute"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("application_vendor: VENDOR  \n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("barcode: QRT001L8                        \n"), std::string::npos);
  EXPECT_NE(r.out.find("system_globally_unique_identifier: \n"), std::string::npos);
}

// Without --raw every answer is decoded: a line per command with how it ended, then its fields
// in words, the sense data among them. One case per run of several commands.
TEST_F(TapeSelftestTest, DecodedAnswers) {
  manifest_.faults.block_limits = 65536;
  manifest_.faults.max_transfer = 1 << 20;
  // Volume change reference 7 (8 bytes), coherency count 2, set 5, 3 bytes of the application's.
  manifest_.set_attribute(0, 0x080C, 0, {8, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0,   0,   0,
                                         0, 2, 0, 0, 0, 0, 0, 0, 0, 5, 0, 3, 'Q', 'R', 'T'});
  vtape::write_manifest(manifest_, dir_.path());
  struct Case {
    std::vector<std::string> commands;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {{"test_unit_ready", "inquiry", "read_position", "read_block_limits"},
       0,
       "test_unit_ready: GOOD\n"
       "inquiry: GOOD\n"
       "  Device type:     sequential-access device (01h)\n"
       "  Vendor:          VIRTUAL\n"
       "  Product:         VIRTUAL LTO\n"
       "  Revision:        0001\n"
       "  Version:         SPC-4 (06h)\n"
       "read_position: GOOD\n"
       "  Partition:       0\n"
       "  Block:           0\n"
       "  File:            0\n"
       "  Flags:           BOP (beginning of partition)\n"
       "read_block_limits: GOOD\n"
       "  Longest block:   65536 bytes\n"
       "  Shortest block:  1 byte\n"
       "  Granularity:     0: block lengths are multiples of 1 byte\n"
       "  Adapter:         largest transfer 1048576 bytes, reserved buffer 32768 bytes\n"},
      {{"locate", "3", "read", "read", "space", "1", "-2", "space", "3", "0", "read", "locate16",
        "1", "1", "read_position"},
       1,
       "locate 3: GOOD\n"
       "read: GOOD\n"
       "  Bytes read:      12\n"
       "read: CHECK CONDITION\n"
       "  Sense key:       No Sense (0h)\n"
       "  ASC/ASCQ:        00h/01h filemark detected\n"
       "  Flags:           FILEMARK (a filemark was met)\n"
       "  Information:     65536 (bytes asked for and not read)\n"
       "space 1 -2: GOOD\n"
       "space 3 0: GOOD\n"
       "read: CHECK CONDITION\n"
       "  Sense key:       Blank Check (8h)\n"
       "  ASC/ASCQ:        00h/05h end of data detected\n"
       "  Information:     65536 (bytes asked for and not read)\n"
       "locate16 1 1: GOOD\n"
       "read_position: GOOD\n"
       "  Partition:       1\n"
       "  Block:           1\n"
       "  File:            0\n"
       "  Flags:           none\n"},
      {{"read_attribute", "read_drive_attribute", "read_drive_host_type_attribute"},
       0,
       "read_attribute: GOOD\n"
       "  080Ch Volume Coherency Information: change reference 7, count 2, set 5, application "
       "information (3 bytes): 515254\n"
       "read_drive_attribute: GOOD\n"
       "  0009h Volume Change Reference: 00000007 (7)\n"
       "read_drive_host_type_attribute: GOOD\n"
       "  0800h Application Vendor:           VENDOR\n"
       "  0806h Barcode:                      QRT001L8\n"
       "  080Ch Volume Coherency Information: change reference 7, count 2, set 5, application "
       "information (3 bytes): 515254\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {dir_.path()};
    args.insert(args.end(), c.commands.begin(), c.commands.end());
    const testutil::RunResult r = selftest(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
  }
}

// MODE SENSE and PREVENT / ALLOW MEDIUM REMOVAL, decoded and through the self-test entry points.
TEST_F(TapeSelftestTest, ModeSenseAndMediumRemoval) {
  manifest_.density = 0x5E;
  manifest_.faults.fixed_block_length = 262144;
  vtape::write_manifest(manifest_, dir_.path());
  const testutil::RunResult r =
      selftest({dir_.path(), "mode_sense", "prevent", "allow", "mode_sense", "0x10"});
  EXPECT_EQ(r.status, 1);  // page 10h is not served
  EXPECT_EQ(r.out,
            "mode_sense: GOOD\n"
            "  Write protected: yes\n"
            "  Density:         LTO-8 (5Eh)\n"
            "  Block length:    262144 bytes: fixed-length blocks\n"
            "prevent: GOOD\n"
            "allow: GOOD\n"
            "mode_sense 16: CHECK CONDITION\n"
            "  Sense key:       Illegal Request (5h)\n"
            "  ASC/ASCQ:        24h/00h invalid field in the command\n");
  const testutil::RunResult raw =
      selftest_raw({dir_.path(), "mode_sense", "0", "prevent", "allow"});
  EXPECT_EQ(raw.status, 0) << raw.err;
  EXPECT_EQ(raw.out,
            "Density Code: 0x5E\n"
            "Block Length: 262144\n"
            "Write Protected: 1\n"
            "Prevent Medium Removal: OK\n"
            "Allow Medium Removal: OK\n");
}

// A READ takes a record of 1 MiB (block 6 of the data partition of make_cartridge's cartridge)
// whole, asking for what the adapter and the drive allow; a drive whose longest block is shorter
// reads its start and tells the rest as a negative INFORMATION.
TEST(TapeSelftestRead, ReadsABlockOfOneMebibyteWhole) {
  testutil::TempDir work;
  std::filesystem::create_directories(work / "objs/bucket-a");
  testutil::write_file(work / "objs/bucket-a/big", std::string(3 << 20, 'x'));
  ASSERT_EQ(testutil::run({testutil::bin("make_cartridge"), work / "objs", work / "cart"}).status,
            0);
  const struct {
    uint32_t block_limits;  // 0: the virtual drive's own
    int status;
    std::string out;
  } cases[] = {
      {0, 0, "locate 6 1: GOOD\nread: GOOD\n  Bytes read:      1048576\n"},
      {65536, 1,
       "locate 6 1: GOOD\n"
       "read: CHECK CONDITION\n"
       "  Bytes read:      65536\n"
       "  Sense key:       No Sense (0h)\n"
       "  ASC/ASCQ:        00h/00h no additional sense\n"
       "  Flags:           ILI (the block was not of the length asked for)\n"
       "  Information:     -983040 (bytes of the record beyond those asked for)\n"},
  };
  for (const auto& c : cases) {
    std::string error;
    std::optional<vdrive::Manifest> manifest =
        vdrive::parse_manifest(testutil::read_file(work / "cart/cartridge.json"), &error);
    ASSERT_TRUE(manifest) << error;
    if (c.block_limits != 0) manifest->faults.block_limits = c.block_limits;
    vtape::write_manifest(*manifest, work / "cart");
    const testutil::RunResult r =
        testutil::run({testutil::bin("tape_selftest"), work / "cart", "locate", "6", "1", "read"});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
  }
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
                                             {dir_.path(), "mode_sense", "64"},
                                             {dir_.path(), "prevent", "1"},
                                             {"--raw", dir_.path()},
                                             {"--decoded", dir_.path(), "read"},
                                             {"-v"}}) {
    const testutil::RunResult r = selftest(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_NE(r.err.find("Usage: "), std::string::npos);
    EXPECT_TRUE(r.out.empty());
  }
  const testutil::RunResult help = selftest({"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("read_drive_host_type_attribute"), std::string::npos);
  EXPECT_NE(help.out.find("mode_sense [PAGE]"), std::string::npos);
  EXPECT_NE(help.out.find("--raw"), std::string::npos);
}

// A damaged partition file is served up to the damage, which reads as an unreadable record; a
// manifest that does not parse refuses the cartridge.
TEST_F(TapeSelftestTest, DamagedPartitionIsServedAndMalformedManifestRefused) {
  testutil::write_bytes(dir_ / "p1.tap", {5, 0, 0, 0, 'a', 'b'});
  const testutil::RunResult r = selftest_raw({dir_.path(), "locate", "0", "1", "read"});
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

namespace {

// A library in separate processes: the changer's inventory and moves in one run, the drive that
// follows them in another, the state each run leaves for the next.
TEST(TapeSelftestLibrary, InventoryMoveLoadAndUnloadAcrossRuns) {
  testutil::TempDir lib;
  vtape::LibraryDescription d;
  d.cartridges = {{"c1", 8, "LIB001L8"}, {"c2", 8, ""}};
  d.drives = {8};
  d.move_errors = {{1, {0x4, 0x15, 0x01}}};
  vtape::build_library(d, lib.path());
  const auto run = [](std::vector<std::string> args) {
    args.insert(args.begin(), testutil::bin("tape_selftest"));
    return testutil::run(args);
  };
  testutil::RunResult r = run({lib.path(), "inventory", "move", "0x1000", "0x100", "move",
                               "0x1001", "0x100"});
  EXPECT_EQ(r.status, 1);  // the second move fails, as injected
  // The values start in one column, after the longest label.
  for (const char* line : {"Storage slots:      2 from 1000h",
                           "drive 0100h:        empty, identifier drive0",
                           "storage slot 1000h: full, barcode LIB001L8",
                           "storage slot 1001h: full, no barcode", "move 4096 256: GOOD",
                           "move 4097 256: CHECK CONDITION"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  EXPECT_NE(r.out.find("15h/01h"), std::string::npos) << r.out;  // the injected failure first
  r = run({lib / "drive0", "test_unit_ready", "test_unit_ready", "test_unit_ready", "read",
           "unload", "test_unit_ready"});
  EXPECT_EQ(testutil::count(r.out, "04h/01h becoming ready"), 2u) << r.out;
  EXPECT_NE(r.out.find("Bytes read:      80"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("unload: GOOD"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("04h/02h the cartridge is not loaded"), std::string::npos) << r.out;
  r = run({lib.path(), "move", "0x100", "0x1000", "inventory"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("storage slot 1000h: full, barcode LIB001L8, from 1000h"),
            std::string::npos)
      << r.out;
  // A job of one tape on the drive of a library, after a move by hand, as on any drive.
  ASSERT_EQ(run({lib.path(), "move", "0x1000", "0x100"}).status, 0);
  testutil::TempDir work;
  r = testutil::run({testutil::bin("object_reader"), "-d", lib / "drive0", "-f", "-F", "-s",
                     work / "save", "--no-progress"},
                    work.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(work / "save/photos")) << r.out;
}

}  // namespace

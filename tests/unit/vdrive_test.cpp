// The virtual drive against hand-made cartridges: every command's data, status, sense and residue,
// the injected faults, refused writes, damaged partition files and malformed cartridges. Answers
// are read with the same decoders that read a real drive, and checked against the byte layouts the
// drive must produce.
#include "vdrive/vdrive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <random>

#include "endian_utils.h"
#include "scsi/scsi_decode.h"
#include "unit/cartridge_fixture.h"

namespace {

using namespace cartridge_test;

std::vector<uint8_t> locate_cdb(uint32_t object, int partition = -1) {
  std::vector<uint8_t> cdb = {0x2B, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  if (partition >= 0) {
    cdb[1] = 0x02;
    cdb[8] = static_cast<uint8_t>(partition);
  }
  for (int i = 0; i < 4; ++i) cdb[3 + i] = static_cast<uint8_t>(object >> (24 - 8 * i));
  return cdb;
}
std::vector<uint8_t> locate16_cdb(uint64_t object, int partition = -1) {
  std::vector<uint8_t> cdb(16, 0);
  cdb[0] = 0x92;
  if (partition >= 0) {
    cdb[1] = 0x02;
    cdb[3] = static_cast<uint8_t>(partition);
  }
  for (int i = 0; i < 8; ++i) cdb[4 + i] = static_cast<uint8_t>(object >> (56 - 8 * i));
  return cdb;
}
std::vector<uint8_t> space_cdb(uint8_t code, int32_t count) {
  const uint32_t c = static_cast<uint32_t>(count);
  return {0x11,
          code,
          static_cast<uint8_t>(c >> 16),
          static_cast<uint8_t>(c >> 8),
          static_cast<uint8_t>(c),
          0};
}
std::vector<uint8_t> read_cdb(uint32_t length, bool sili = true) {
  return {0x08,
          static_cast<uint8_t>(sili ? 0x02 : 0x00),
          static_cast<uint8_t>(length >> 16),
          static_cast<uint8_t>(length >> 8),
          static_cast<uint8_t>(length),
          0};
}
std::vector<uint8_t> read_attribute_cdb(uint8_t partition, uint16_t first, uint32_t length) {
  std::vector<uint8_t> cdb(16, 0);
  cdb[0] = 0x8C;
  cdb[7] = partition;
  cdb[8] = static_cast<uint8_t>(first >> 8);
  cdb[9] = static_cast<uint8_t>(first);
  for (int i = 0; i < 4; ++i) cdb[10 + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
  return cdb;
}
std::vector<uint8_t> log_sense_cdb(uint8_t page, uint16_t pointer, uint16_t length) {
  return {0x4D,
          0,
          static_cast<uint8_t>(0x40 | page),
          0,
          0,
          static_cast<uint8_t>(pointer >> 8),
          static_cast<uint8_t>(pointer),
          static_cast<uint8_t>(length >> 8),
          static_cast<uint8_t>(length),
          0};
}

std::vector<uint8_t> mode_sense_cdb(uint8_t page, uint8_t allocation) {
  return {0x1A, 0, page, 0, allocation, 0};
}
std::vector<uint8_t> prevent_allow_cdb(uint8_t byte4) { return {0x1E, 0, 0, 0, byte4, 0}; }
const std::vector<uint8_t> kTestUnitReady = {0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kInquiry = {0x12, 0, 0, 0, 36, 0};

ST_SPTI_REQUEST_SENSE_RESPONSE decoded(const Response& r) {
  ST_SPTI_REQUEST_SENSE_RESPONSE s{};
  decode_sense_data(r.sense, &s);
  return s;
}

// "check K/AA/QQ": CHECK CONDITION with the sense fields the drive must report.
::testing::AssertionResult is_check(const Response& r, int key, int asc, int ascq) {
  const ST_SPTI_REQUEST_SENSE_RESPONSE s = decoded(r);
  if (r.rc != 0 || r.hdr.status != 0x02 || r.hdr.masked_status != 0x01 ||
      r.hdr.driver_status != 0x08 || r.sense.size() < 22 || (r.sense[0] & 0x7F) != 0x70 ||
      s.sense_key != key || s.asc != asc || s.ascq != ascq) {
    return ::testing::AssertionFailure()
           << "rc " << r.rc << " status " << int(r.hdr.status) << " sense " << int(s.sense_key)
           << "/" << std::hex << int(s.asc) << "/" << int(s.ascq) << " length " << std::dec
           << r.sense.size();
  }
  return ::testing::AssertionSuccess();
}
::testing::AssertionResult is_good(const Response& r) {
  if (r.rc != 0 || r.hdr.status != 0 || r.hdr.masked_status != 0 || r.hdr.driver_status != 0 ||
      r.hdr.sb_len_wr != 0) {
    const ST_SPTI_REQUEST_SENSE_RESPONSE s = decoded(r);
    return ::testing::AssertionFailure()
           << "status " << int(r.hdr.status) << " sense " << int(s.sense_key) << "/" << std::hex
           << int(s.asc) << "/" << int(s.ascq);
  }
  return ::testing::AssertionSuccess();
}

ST_SPTI_CMD_POSITIONDATA position(int fd) {
  const Response r = send(fd, {0x34, 0x06, 0, 0, 0, 0, 0, 0, 0, 0}, 32);
  EXPECT_TRUE(is_good(r));
  EXPECT_EQ(r.data.size(), 32u);
  ST_SPTI_CMD_POSITIONDATA pos{};
  decode_position_data(r.data, &pos);
  return pos;
}

#define EXPECT_POSITION(fd, part, object, file)                 \
  do {                                                          \
    const ST_SPTI_CMD_POSITIONDATA p_ = position(fd);           \
    EXPECT_EQ(p_.partitionNumber, static_cast<uint32_t>(part)); \
    EXPECT_EQ(p_.blockNumber, static_cast<uint64_t>(object));   \
    EXPECT_EQ(p_.fileNumber, static_cast<uint64_t>(file));      \
    EXPECT_EQ(p_.bop, (object) == 0 ? 1 : 0);                   \
  } while (0)

class VirtualDriveTest : public CartridgeTest {
 protected:
  // Partition 0: three files of records, the last closed by a filemark:
  // 0 rec80 | 1 FM | 2 rec10 | 3 rec11 | 4 FM | 5 rec12 | 6 FM | end of data at 7.
  void standard() {
    make({rec(80, 1), fm(), rec(10, 2), rec(11, 3), fm(), rec(12, 4), fm()},
         {rec(5, 9), fm(), rec(6, 8), fm()});
  }
};

TEST_F(VirtualDriveTest, StartsReadyAtTheBeginningOfPartitionZero) {
  standard();
  const int fd = open_drive();
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(is_good(send(fd, {0, 0, 0, 0, 0, 0})));
  const Response r = send(fd, {0x34, 0x06, 0, 0, 0, 0, 0, 0, 0, 0}, 32);
  ASSERT_TRUE(is_good(r));
  std::vector<uint8_t> expected(32, 0);
  expected[0] = 0x80;  // BOP
  EXPECT_EQ(r.data, expected);
}

TEST_F(VirtualDriveTest, ReadOfExactLengthTransfersTheRecordAndMovesPastIt) {
  standard();
  const int fd = open_drive();
  const Response r = send(fd, read_cdb(80), 80);
  EXPECT_TRUE(is_good(r));
  EXPECT_EQ(r.hdr.resid, 0);
  EXPECT_EQ(r.data, pattern(80, 1));
  EXPECT_POSITION(fd, 0, 1, 0);
}

TEST_F(VirtualDriveTest, ShorterRecordWithSiliIsGoodAndResidueIsTheRest) {
  standard();
  const int fd = open_drive();
  const Response r = send(fd, read_cdb(4096), 4096);
  EXPECT_TRUE(is_good(r));
  EXPECT_EQ(r.hdr.resid, 4096 - 80);
  EXPECT_EQ(r.data, pattern(80, 1));
}

TEST_F(VirtualDriveTest, ShorterRecordWithoutSiliReportsIncorrectLength) {
  standard();
  const int fd = open_drive();
  const Response r = send(fd, read_cdb(100, false), 100);
  ASSERT_TRUE(is_check(r, 0, 0, 0));
  EXPECT_EQ(decoded(r).ili, 1);
  EXPECT_EQ(decoded(r).infomation, 20u);
  EXPECT_EQ(r.data, pattern(80, 1));
  EXPECT_POSITION(fd, 0, 1, 0);
}

// A record longer than asked for gives its first bytes and is passed over. SILI hides the
// incorrect length only in variable-block mode: without SILI, or with a block length left in the
// mode parameters, it is reported, INFORMATION the requested minus the actual length (negative).
// A shorter record with SILI stays GOOD in either mode.
TEST_F(VirtualDriveTest, IncorrectLengthWithAndWithoutSili) {
  const struct {
    uint32_t length;
    bool sili;
    std::optional<uint32_t> fixed_block_length;
    bool reported;
  } cases[] = {{50, false, std::nullopt, true},
               {50, true, std::nullopt, false},
               {50, true, 512, true},
               {100, true, 512, false}};
  const std::vector<uint8_t> record = pattern(80, 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " SILI " << c.sili << " fixed "
                                    << c.fixed_block_length.value_or(0));
    manifest.faults.fixed_block_length = c.fixed_block_length;
    standard();
    const int fd = open_drive();
    const Response r = send(fd, read_cdb(c.length, c.sili), c.length);
    if (c.reported) {
      ASSERT_TRUE(is_check(r, 0, 0, 0));
      EXPECT_EQ(decoded(r).ili, 1);
      EXPECT_EQ(decoded(r).infomation, static_cast<uint32_t>(c.length - 80));
    } else {
      EXPECT_TRUE(is_good(r));
    }
    const size_t taken = std::min<size_t>(c.length, 80);
    EXPECT_EQ(r.data, std::vector<uint8_t>(record.begin(), record.begin() + taken));
    EXPECT_EQ(r.hdr.resid, static_cast<int>(c.length - taken));
    EXPECT_POSITION(fd, 0, 1, 0);  // the rest of the record is passed over
    close_drive(fd);
  }
}

TEST_F(VirtualDriveTest, ReadAtFilemarkMovesPastItWithoutData) {
  standard();
  const int fd = open_drive();
  send(fd, read_cdb(4096), 4096);
  const Response r = send(fd, read_cdb(4096), 4096);
  ASSERT_TRUE(is_check(r, 0, 0, 1));
  EXPECT_EQ(decoded(r).filemark, 1);
  EXPECT_TRUE(r.data.empty());
  EXPECT_EQ(r.hdr.resid, 4096);
  EXPECT_POSITION(fd, 0, 2, 1);
}

TEST_F(VirtualDriveTest, ReadAtEndOfDataDoesNotMove) {
  standard();
  const int fd = open_drive();
  ASSERT_TRUE(is_good(send(fd, locate_cdb(7))));
  const Response r = send(fd, read_cdb(4096), 4096);
  EXPECT_TRUE(is_check(r, 8, 0, 5));
  EXPECT_TRUE(r.data.empty());
  EXPECT_POSITION(fd, 0, 7, 3);
}

TEST_F(VirtualDriveTest, UnreadableRecordIsAMediumErrorAndIsPassed) {
  make({rec(10), bad(20), rec(30, 5)});
  const int fd = open_drive();
  send(fd, read_cdb(4096), 4096);
  const Response r = send(fd, read_cdb(4096), 4096);
  EXPECT_TRUE(is_check(r, 3, 0x11, 0));
  EXPECT_TRUE(r.data.empty());
  const Response next = send(fd, read_cdb(4096), 4096);
  EXPECT_TRUE(is_good(next));
  EXPECT_EQ(next.data, pattern(30, 5));
}

TEST_F(VirtualDriveTest, FixedBlockReadIsRefusedAndZeroLengthReadDoesNothing) {
  standard();
  const int fd = open_drive();
  std::vector<uint8_t> fixed = read_cdb(80);
  fixed[1] = 0x01;
  EXPECT_TRUE(is_check(send(fd, fixed, 80), 5, 0x24, 0));
  EXPECT_TRUE(is_good(send(fd, read_cdb(0))));
  EXPECT_POSITION(fd, 0, 0, 0);
}

TEST_F(VirtualDriveTest, ReadNeverWritesPastTheHostBuffer) {
  standard();
  const int fd = open_drive();
  // The CDB asks for more than the request's buffer holds: only the buffer is filled.
  const Response r = send(fd, read_cdb(4096), 16);
  const std::vector<uint8_t> record = pattern(80, 1);
  EXPECT_EQ(r.data, std::vector<uint8_t>(record.begin(), record.begin() + 16));
}

TEST_F(VirtualDriveTest, LocateWithinAndAcrossPartitions) {
  standard();
  const int fd = open_drive();
  EXPECT_TRUE(is_good(send(fd, locate_cdb(5))));
  EXPECT_POSITION(fd, 0, 5, 2);
  EXPECT_TRUE(is_good(send(fd, locate_cdb(2, 1))));
  EXPECT_POSITION(fd, 1, 2, 1);
  const Response r = send(fd, read_cdb(100), 100);
  EXPECT_EQ(r.data, pattern(6, 8));
  EXPECT_TRUE(is_good(send(fd, locate_cdb(0, 0))));
  EXPECT_POSITION(fd, 0, 0, 0);
}

TEST_F(VirtualDriveTest, LocateToEndOfDataIsGoodAndBeyondItStopsThere) {
  standard();
  const int fd = open_drive();
  EXPECT_TRUE(is_good(send(fd, locate_cdb(7))));
  EXPECT_POSITION(fd, 0, 7, 3);
  EXPECT_TRUE(is_check(send(fd, locate_cdb(1000, 1)), 8, 0, 5));
  EXPECT_POSITION(fd, 1, 4, 2);
}

TEST_F(VirtualDriveTest, LocateToMissingPartitionOrByBlockTypeChangesNothing) {
  standard();
  const int fd = open_drive();
  ASSERT_TRUE(is_good(send(fd, locate_cdb(3))));
  EXPECT_TRUE(is_check(send(fd, locate_cdb(0, 2)), 5, 0x24, 0));
  std::vector<uint8_t> bt = locate_cdb(1, 1);
  bt[1] |= 0x04;
  EXPECT_TRUE(is_check(send(fd, bt), 5, 0x24, 0));
  EXPECT_POSITION(fd, 0, 3, 1);
}

TEST_F(VirtualDriveTest, RewindReturnsToTheStartOfTheCurrentPartition) {
  standard();
  const int fd = open_drive();
  send(fd, locate_cdb(3, 1));
  EXPECT_TRUE(is_good(send(fd, {0x01, 0, 0, 0, 0, 0})));
  EXPECT_POSITION(fd, 1, 0, 0);
}

TEST_F(VirtualDriveTest, SpaceFilemarksForward) {
  standard();
  const int fd = open_drive();
  EXPECT_TRUE(is_good(send(fd, space_cdb(1, 1))));
  EXPECT_POSITION(fd, 0, 2, 1);
  EXPECT_TRUE(is_good(send(fd, space_cdb(1, 2))));
  EXPECT_POSITION(fd, 0, 7, 3);
  send(fd, locate_cdb(0));
  EXPECT_TRUE(is_check(send(fd, space_cdb(1, 4)), 8, 0, 5));
  EXPECT_POSITION(fd, 0, 7, 3);
}

TEST_F(VirtualDriveTest, BackTwoForwardOneFindsTheLastFileOfThePartition) {
  standard();
  const int fd = open_drive();
  ASSERT_TRUE(is_good(send(fd, space_cdb(3, 0))));
  EXPECT_POSITION(fd, 0, 7, 3);
  ASSERT_TRUE(is_good(send(fd, space_cdb(1, -2))));
  EXPECT_POSITION(fd, 0, 4, 1);  // on the beginning side of the second-last filemark
  ASSERT_TRUE(is_good(send(fd, space_cdb(1, 1))));
  EXPECT_POSITION(fd, 0, 5, 2);
  EXPECT_EQ(send(fd, read_cdb(100), 100).data, pattern(12, 4));
}

TEST_F(VirtualDriveTest, SpaceFilemarksBackwardPastTheBeginning) {
  standard();
  const int fd = open_drive();
  send(fd, locate_cdb(3));
  const Response r = send(fd, space_cdb(1, -2));
  EXPECT_TRUE(is_check(r, 0, 0, 4));
  EXPECT_EQ(decoded(r).eom, 1);
  EXPECT_POSITION(fd, 0, 0, 0);
}

TEST_F(VirtualDriveTest, SpaceBlocksStopsAtFilemarks) {
  standard();
  const int fd = open_drive();
  send(fd, locate_cdb(2));
  EXPECT_TRUE(is_good(send(fd, space_cdb(0, 2))));
  EXPECT_POSITION(fd, 0, 4, 1);
  Response r = send(fd, space_cdb(0, 3));  // meets the filemark at 4 first
  EXPECT_TRUE(is_check(r, 0, 0, 1));
  EXPECT_EQ(decoded(r).filemark, 1);
  EXPECT_POSITION(fd, 0, 5, 2);
  r = send(fd, space_cdb(0, -1));  // the filemark just behind stops the move before it
  EXPECT_TRUE(is_check(r, 0, 0, 1));
  EXPECT_POSITION(fd, 0, 4, 1);
  send(fd, locate_cdb(4));
  r = send(fd, space_cdb(0, -3));  // crosses 3 and 2, then meets the filemark at 1
  EXPECT_TRUE(is_check(r, 0, 0, 1));
  EXPECT_EQ(decoded(r).filemark, 1);
  EXPECT_POSITION(fd, 0, 1, 0);
}

TEST_F(VirtualDriveTest, SpaceBlocksToTheEndsOfThePartition) {
  make({rec(1), rec(2), rec(3)});
  const int fd = open_drive();
  EXPECT_TRUE(is_check(send(fd, space_cdb(0, 5)), 8, 0, 5));
  EXPECT_POSITION(fd, 0, 3, 0);
  const Response r = send(fd, space_cdb(0, -5));
  EXPECT_TRUE(is_check(r, 0, 0, 4));
  EXPECT_EQ(decoded(r).eom, 1);
  EXPECT_POSITION(fd, 0, 0, 0);
}

TEST_F(VirtualDriveTest, SpaceCountZeroAndUnknownCodes) {
  standard();
  const int fd = open_drive();
  send(fd, locate_cdb(3));
  EXPECT_TRUE(is_good(send(fd, space_cdb(1, 0))));
  EXPECT_TRUE(is_good(send(fd, space_cdb(0, 0))));
  EXPECT_TRUE(is_check(send(fd, space_cdb(2, 1)), 5, 0x24, 0));
  EXPECT_POSITION(fd, 0, 3, 1);
}

TEST_F(VirtualDriveTest, ReadPositionRefusesOtherForms) {
  standard();
  const int fd = open_drive();
  EXPECT_TRUE(is_check(send(fd, {0x34, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}, 20), 5, 0x24, 0));
  const Response cut = send(fd, {0x34, 0x06, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
  EXPECT_TRUE(is_good(cut));
  EXPECT_EQ(cut.data.size(), 8u);
}

TEST_F(VirtualDriveTest, InquiryReturnsStandardDataCutToTheAllocationLength) {
  standard();
  const int fd = open_drive();
  Response r = send(fd, {0x12, 0, 0, 0, 0xFF, 0}, 4096);
  ASSERT_TRUE(is_good(r));
  ASSERT_EQ(r.data.size(), 36u);
  EXPECT_EQ(r.data[0], 0x01);
  EXPECT_EQ(r.data[2], 0x06);
  EXPECT_EQ(r.data[3], 0x02);
  EXPECT_EQ(r.data[4], 31);
  EXPECT_EQ(std::string(r.data.begin() + 8, r.data.end()), "VIRTUAL VIRTUAL LTO     0001");
  r = send(fd, {0x12, 0, 0, 0, 10, 0}, 4096);
  EXPECT_EQ(r.data.size(), 10u);
  EXPECT_TRUE(is_check(send(fd, {0x12, 1, 0x80, 0, 0xFF, 0}, 255), 5, 0x24, 0));
}

TEST_F(VirtualDriveTest, InquiryTextsComeFromTheManifestBlankPadded) {
  manifest.inquiry = vtape::Inquiry{"ACME", "TAPE", "7"};
  standard();
  const int fd = open_drive();
  const Response r = send(fd, {0x12, 0, 0, 0, 0xFF, 0}, 255);
  EXPECT_EQ(std::string(r.data.begin() + 8, r.data.end()), "ACME    TAPE            7   ");
}

TEST_F(VirtualDriveTest, LogSenseReturnsTheVolumePersonality) {
  manifest.volume_personality = "Ultrium-8";
  standard();
  const int fd = open_drive();
  Response r = send(fd, log_sense_cdb(0x17, 0x45, 0x8000), 0x8000);
  ASSERT_TRUE(is_good(r));
  const std::vector<uint8_t> expected = {0x17, 0x00, 0x00, 0x0D, 0x00, 0x45, 0x03, 0x09, 'U',
                                         'l',  't',  'r',  'i',  'u',  'm',  '-',  '8'};
  EXPECT_EQ(r.data, expected);
  r = send(fd, log_sense_cdb(0x17, 0x46, 0x8000), 0x8000);
  EXPECT_EQ(r.data, (std::vector<uint8_t>{0x17, 0, 0, 0}));
  r = send(fd, log_sense_cdb(0x17, 0, 6), 0x8000);
  EXPECT_EQ(r.data.size(), 6u);
  EXPECT_TRUE(is_check(send(fd, log_sense_cdb(0x0C, 0, 100), 100), 5, 0x24, 0));
}

// A header (mode data length, medium type 0, write protected, one block descriptor) and the
// block descriptor: the medium's density, 0 blocks, the block length of the mode parameters.
TEST_F(VirtualDriveTest, ModeSenseGivesTheHeaderAndBlockDescriptor) {
  standard();
  int fd = open_drive();
  const Response all = send(fd, mode_sense_cdb(0x3F, 255), 255);
  ASSERT_TRUE(is_good(all));
  EXPECT_EQ(all.data, (std::vector<uint8_t>{11, 0, 0x80, 8, 0x60, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(send(fd, mode_sense_cdb(0x00, 4), 255).data, (std::vector<uint8_t>{11, 0, 0x80, 8}));
  EXPECT_TRUE(is_check(send(fd, mode_sense_cdb(0x10, 255), 255), 5, 0x24, 0));
  close_drive(fd);

  manifest.density = 0x5E;
  manifest.faults.fixed_block_length = 0x040000;
  standard();
  fd = open_drive();
  const Response fixed = send(fd, mode_sense_cdb(0x00, 255), 255);
  ASSERT_TRUE(is_good(fixed));
  const ModeSense6Data d = decode_mode_sense6(fixed.data);
  EXPECT_TRUE(d.write_protected);
  ASSERT_TRUE(d.has_block_descriptor);
  EXPECT_EQ(d.density_code, 0x5E);
  EXPECT_EQ(d.blocks, 0u);
  EXPECT_EQ(d.block_length, 0x040000u);
}

// PREVENT ALLOW MEDIUM REMOVAL: bit 0 of byte 4 decides; the drive keeps the last state and
// counts each kind.
TEST_F(VirtualDriveTest, PreventAllowMediumRemovalKeepsTheLastState) {
  standard();
  const int fd = open_drive();
  const auto counters = [&] {
    vdrive::Counters c;
    EXPECT_TRUE(vdrive::drive_counters(fd, &c));
    return c;
  };
  EXPECT_FALSE(counters().removal_prevented);
  const struct {
    uint8_t byte4;
    bool prevented;
  } steps[] = {{0x01, true}, {0x02, false}, {0x03, true}, {0x00, false}, {0x01, true}};
  for (const auto& step : steps) {
    EXPECT_TRUE(is_good(send(fd, prevent_allow_cdb(step.byte4))));
    EXPECT_EQ(counters().removal_prevented, step.prevented) << int(step.byte4);
  }
  EXPECT_EQ(counters().prevent_removal, 3u);
  EXPECT_EQ(counters().allow_removal, 2u);
  EXPECT_FALSE(vdrive::total_counters().removal_prevented);  // a state, not summed
}

class ReadAttributeTest : public VirtualDriveTest {
 protected:
  void SetUp() override {
    VirtualDriveTest::SetUp();
    manifest.set_attribute(0, 0x0009, 0, {0, 0, 0, 7});
    manifest.set_attribute_text(0, 0x0800, "VENDOR", 8);
    manifest.set_attribute(0, 0x080C, 0, std::vector<uint8_t>(52, 0x11));
    manifest.set_attribute(1, 0x080C, 0, std::vector<uint8_t>(52, 0x22));
    manifest.find_attribute(0, 0x0800)->read_only = true;
    standard();
  }
};

TEST_F(ReadAttributeTest, ListsThePartitionsAttributesFromTheFirstIdentifier) {
  const int fd = open_drive();
  const Response r = send(fd, read_attribute_cdb(0, 0x0800, 4096), 4096);
  ASSERT_TRUE(is_good(r));
  std::vector<uint8_t> expected = {0, 0, 0, 13 + 57, 0x08, 0x00, 0x81, 0, 8};
  for (char c : std::string("VENDOR  ")) expected.push_back(static_cast<uint8_t>(c));
  for (uint8_t b : {0x08, 0x0C, 0x00, 0x00, 52}) expected.push_back(b);
  expected.insert(expected.end(), 52, 0x11);
  EXPECT_EQ(r.data, expected);
}

TEST_F(ReadAttributeTest, TruncatedListStillAnnouncesAllAvailableData) {
  const int fd = open_drive();
  const Response r = send(fd, read_attribute_cdb(0, 0, 20), 4096);
  ASSERT_TRUE(is_good(r));
  ASSERT_EQ(r.data.size(), 20u);
  EXPECT_EQ(be32(r.data.data()), 9u + 13u + 57u);
  EXPECT_EQ(r.hdr.resid, 4096 - 20);
  // The 61-byte read of the volume coherency information of partition 1.
  const Response vci = send(fd, read_attribute_cdb(1, 0x080C, 61), 61);
  ASSERT_EQ(vci.data.size(), 61u);
  EXPECT_EQ(vci.data[60], 0x22);
}

TEST_F(ReadAttributeTest, PartitionWithoutAttributesAndMissingPartition) {
  const int fd = open_drive();
  const Response r = send(fd, read_attribute_cdb(1, 0x0900, 100), 100);
  EXPECT_TRUE(is_good(r));
  EXPECT_EQ(r.data, (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_TRUE(is_check(send(fd, read_attribute_cdb(2, 0, 100), 100), 5, 0x24, 0));
  std::vector<uint8_t> other_action = read_attribute_cdb(0, 0, 100);
  other_action[1] = 0x01;
  EXPECT_TRUE(is_check(send(fd, other_action, 100), 5, 0x24, 0));
}

TEST_F(VirtualDriveTest, WriteCommandsAreRefusedAndTheCartridgeIsUnchanged) {
  standard();
  const std::vector<uint8_t> before = testutil::read_bytes(file("p0.tap"));
  const int fd = open_drive();
  std::vector<uint8_t> payload(512, 0x55);
  const std::vector<std::vector<uint8_t>> writes = {
      {0x0A, 0, 0, 2, 0, 0},                                // WRITE(6)
      {0x10, 0, 0, 0, 1, 0},                                // WRITE FILEMARKS(6)
      {0x19, 0, 0, 0, 0, 0},                                // ERASE(6)
      {0x04, 0, 0, 0, 0, 0},                                // FORMAT MEDIUM
      {0x8D, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0},  // WRITE ATTRIBUTE
      {0x15, 0x10, 0, 0, 12, 0},                            // MODE SELECT(6)
      {0x91, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // SPACE(16), not served
  };
  for (const auto& cdb : writes) {
    sg_io_hdr_t hdr{};
    std::vector<uint8_t> command = cdb;
    uint8_t sense[64] = {};
    hdr.interface_id = 'S';
    hdr.dxfer_direction = SG_DXFER_TO_DEV;
    hdr.cmd_len = static_cast<unsigned char>(command.size());
    hdr.cmdp = command.data();
    hdr.dxfer_len = static_cast<unsigned>(payload.size());
    hdr.dxferp = payload.data();
    hdr.mx_sb_len = sizeof(sense);
    hdr.sbp = sense;
    ASSERT_EQ(tape_device_sg_io(fd, &hdr), 0);
    EXPECT_EQ(hdr.status, 0x02) << std::hex << int(cdb[0]);
    EXPECT_EQ(sense[2] & 0x0F, 5);
    EXPECT_EQ(sense[12], 0x20);
    EXPECT_EQ(sense[13], 0x00);
  }
  vdrive::Counters counters;
  ASSERT_TRUE(vdrive::drive_counters(fd, &counters));
  EXPECT_EQ(counters.refused, writes.size());
  EXPECT_POSITION(fd, 0, 0, 0);
  EXPECT_EQ(testutil::read_bytes(file("p0.tap")), before);
}

TEST_F(VirtualDriveTest, RequestsTheKernelWouldRefuseFailTheCall) {
  standard();
  const int fd = open_drive();
  std::vector<uint8_t> cdb = {0, 0, 0, 0, 0, 0};
  sg_io_hdr_t hdr{};
  hdr.interface_id = 'Q';
  hdr.cmd_len = 6;
  hdr.cmdp = cdb.data();
  errno = 0;
  EXPECT_EQ(tape_device_sg_io(fd, &hdr), -1);
  EXPECT_EQ(errno, EINVAL);
  hdr.interface_id = 'S';
  hdr.cmdp = nullptr;
  EXPECT_EQ(tape_device_sg_io(fd, &hdr), -1);
  EXPECT_EQ(errno, EFAULT);
}

TEST_F(VirtualDriveTest, SenseIsCutToTheRequestsSenseLength) {
  standard();
  const int fd = open_drive();
  const Response r = send(fd, space_cdb(2, 1), 0, SG_DXFER_NONE, 14);
  EXPECT_EQ(r.hdr.sb_len_wr, 14);
  EXPECT_EQ(r.sense[2] & 0x0F, 5);
  EXPECT_EQ(r.sense[12], 0x24);
  EXPECT_EQ(r.sense[7], 14);  // the drive's own sense is 22 bytes
}

TEST_F(VirtualDriveTest, DataBehindTheEndOfMediumWordIsIgnored) {
  write_partition(file("p0.tap"), {rec(4), fm()});
  std::vector<uint8_t> bytes = testutil::read_bytes(file("p0.tap"));
  bytes.insert(bytes.end(), {1, 2, 3});  // garbage after the end-of-medium word
  testutil::write_bytes(file("p0.tap"), bytes);
  manifest.partitions = {"p0.tap"};
  vtape::write_manifest(manifest, path());
  const int fd = open_drive();
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(is_good(send(fd, space_cdb(3, 0))));
  EXPECT_POSITION(fd, 0, 2, 1);
}

TEST_F(VirtualDriveTest, CartridgeWithoutEndOfMediumWordEndsAtTheEndOfTheFile) {
  write_partition(file("p0.tap"), {rec(4), fm(), rec(3)});
  std::vector<uint8_t> bytes = testutil::read_bytes(file("p0.tap"));
  bytes.resize(bytes.size() - 4);
  testutil::write_bytes(file("p0.tap"), bytes);
  manifest.partitions = {"p0.tap"};
  vtape::write_manifest(manifest, path());
  const int fd = open_drive();
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(is_check(send(fd, locate_cdb(9)), 8, 0, 5));
  EXPECT_POSITION(fd, 0, 3, 1);
}

// ---------------------------------------------------------------------------------------------
// Injected faults.

TEST_F(VirtualDriveTest, NotReadyForTheFirstTestUnitReadies) {
  manifest.faults.not_ready = 2;
  standard();
  const int fd = open_drive();
  EXPECT_TRUE(is_check(send(fd, {0, 0, 0, 0, 0, 0}), 2, 4, 1));
  EXPECT_TRUE(is_good(send(fd, read_cdb(80), 80)));  // only TEST UNIT READY is affected
  EXPECT_TRUE(is_check(send(fd, {0, 0, 0, 0, 0, 0}), 2, 4, 1));
  EXPECT_TRUE(is_good(send(fd, {0, 0, 0, 0, 0, 0})));
}

TEST_F(VirtualDriveTest, AttributeFaults) {
  manifest.set_attribute(1, 0x080C, 0, std::vector<uint8_t>(52, 1));
  manifest.set_attribute(0, 0x0009, 0, {0, 0, 0, 1});
  manifest.faults.read_attribute = {1};
  manifest.faults.device_attributes = false;
  standard();
  const int fd = open_drive();
  EXPECT_TRUE(is_check(send(fd, read_attribute_cdb(1, 0x080C, 61), 61), 3, 0x11, 0));
  EXPECT_TRUE(is_check(send(fd, read_attribute_cdb(0, 0x0000, 4096), 4096), 5, 0x24, 0));
  EXPECT_TRUE(is_good(send(fd, read_attribute_cdb(0, 0x0800, 4096), 4096)));
}

TEST_F(VirtualDriveTest, LogSenseFault) {
  manifest.faults.log_sense = false;
  standard();
  const int fd = open_drive();
  EXPECT_TRUE(is_check(send(fd, log_sense_cdb(0x17, 0x45, 100), 100), 5, 0x24, 0));
}

TEST_F(VirtualDriveTest, StatusFaultAnswersOneCommandWithoutDoingAnything) {
  manifest.faults.status = {{0x08, 1, 0x08}, {0x2B, 0, 0x18}};
  standard();
  const int fd = open_drive();
  EXPECT_TRUE(is_good(send(fd, read_cdb(80), 80)));
  const Response busy = send(fd, read_cdb(80), 80);
  EXPECT_EQ(busy.rc, 0);
  EXPECT_EQ(busy.hdr.status, 0x08);
  EXPECT_EQ(busy.hdr.sb_len_wr, 0);
  EXPECT_TRUE(busy.data.empty());
  EXPECT_POSITION(fd, 0, 1, 0);
  EXPECT_TRUE(is_check(send(fd, read_cdb(80), 80), 0, 0, 1));  // the third READ works again
  EXPECT_EQ(send(fd, locate_cdb(0)).hdr.status, 0x18);
  EXPECT_POSITION(fd, 0, 2, 1);
}

volatile std::sig_atomic_t signals_seen = 0;
extern "C" void count_signal(int) { signals_seen = signals_seen + 1; }

// The test hook of interrupted runs: the signal comes before the (K+1)-th command of any kind
// since the load, and a command whose signal the process survives is served as usual.
TEST_F(VirtualDriveTest, SignalHookComesBeforeTheChosenCommand) {
  manifest.faults.signal = vtape::SignalFault{3, SIGINT};
  standard();
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = count_signal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGINT, &action, &previous), 0);
  signals_seen = 0;
  const int fd = open_drive();
  EXPECT_TRUE(is_good(send(fd, {0, 0, 0, 0, 0, 0})));
  EXPECT_TRUE(is_good(send(fd, locate_cdb(2))));
  EXPECT_EQ(send(fd, read_cdb(10), 10).data, pattern(10, 2));
  EXPECT_EQ(signals_seen, 0);
  EXPECT_EQ(send(fd, read_cdb(11), 11).data, pattern(11, 3));
  EXPECT_EQ(signals_seen, 1);
  EXPECT_TRUE(is_check(send(fd, read_cdb(11), 11), 0, 0, 1));
  EXPECT_EQ(signals_seen, 1);
  sigaction(SIGINT, &previous, nullptr);
}

TEST_F(VirtualDriveTest, ReadBlockLimitsAndLocate16) {
  manifest.faults.block_limits = 65536;
  standard();
  const int fd = open_drive();
  const Response limits = send(fd, {0x05, 0, 0, 0, 0, 0}, 6);
  EXPECT_TRUE(is_good(limits));
  EXPECT_EQ(limits.data, (std::vector<uint8_t>{0, 0x01, 0x00, 0x00, 0, 1}));
  EXPECT_TRUE(is_good(send(fd, locate16_cdb(5))));
  EXPECT_POSITION(fd, 0, 5, 2);
  EXPECT_TRUE(is_good(send(fd, locate16_cdb(1, 1))));
  EXPECT_POSITION(fd, 1, 1, 0);
  // An address beyond 32 bits is taken whole: beyond the end of data, the tape stops there.
  EXPECT_TRUE(is_check(send(fd, locate16_cdb((uint64_t{1} << 32) + 3)), 8, 0, 5));
  EXPECT_POSITION(fd, 1, 4, 2);
  EXPECT_TRUE(is_check(send(fd, locate16_cdb(0, 2)), 5, 0x24, 0));
  EXPECT_POSITION(fd, 1, 4, 2);
}

TEST_F(VirtualDriveTest, AdapterRequestsAreAnsweredAsTheSgDriverDoes) {
  manifest.faults.max_transfer = 1 << 20;
  standard();
  int fd = open_drive();
  const auto ask = [&](unsigned long request, int value) {
    errno = 0;
    EXPECT_EQ(tape_device_control(fd, request, &value), 0) << request;
    return value;
  };
  EXPECT_EQ(ask(BLKSECTGET, 0), 1 << 20);  // bytes, as the sg driver answers
  EXPECT_EQ(tape_device_max_transfer(fd), 1u << 20);
  EXPECT_EQ(ask(SG_GET_RESERVED_SIZE, 0), 32768);
  ask(SG_SET_RESERVED_SIZE, 65536);
  EXPECT_EQ(ask(SG_GET_RESERVED_SIZE, 0), 65536);
  ask(SG_SET_RESERVED_SIZE, 4 << 20);  // more than the adapter takes
  EXPECT_EQ(ask(SG_GET_RESERVED_SIZE, 0), 1 << 20);
  EXPECT_EQ(ask(SG_GET_VERSION_NUM, 0), 30536);
  int value = 0;
  EXPECT_EQ(tape_device_control(fd, SG_GET_TIMEOUT, &value), -1);
  EXPECT_EQ(errno, ENOTTY);
  // A transfer beyond the adapter's limit fails the request itself.
  const Response refused = send(fd, read_cdb(80), (1u << 20) + 1);
  EXPECT_EQ(refused.rc, -1);
  EXPECT_EQ(refused.err, EINVAL);
  EXPECT_TRUE(is_good(send(fd, read_cdb(80), 80)));
  // Without the fault: 16 MiB.
  close_drive(fd);
  manifest.faults = {};
  vtape::write_manifest(manifest, path());
  fd = open_drive();
  EXPECT_EQ(ask(BLKSECTGET, 0), 16 << 20);
  EXPECT_EQ(tape_device_max_transfer(fd), 16u << 20);
}

TEST_F(VirtualDriveTest, TransportFaultsAreReportedAsTheKernelReportsThem) {
  manifest.faults.transport = {{0x08, 1, 0x03}, {0x2B, 0, 0x03}, {0x08, 2, 0x08}};
  standard();
  const int fd = open_drive();
  EXPECT_TRUE(is_good(send(fd, read_cdb(80), 80)));
  // A timed-out READ: no status, no sense, no data, not executed.
  const Response timed_out = send(fd, read_cdb(4096), 4096);
  EXPECT_EQ(timed_out.rc, 0);
  EXPECT_EQ(timed_out.hdr.status, 0);
  EXPECT_EQ(timed_out.hdr.host_status, 0x03);
  EXPECT_EQ(timed_out.hdr.driver_status, 0);
  EXPECT_EQ(timed_out.hdr.sb_len_wr, 0);
  EXPECT_EQ(timed_out.hdr.resid, 4096);
  EXPECT_POSITION(fd, 0, 1, 0);
  // A timed-out LOCATE leaves the tape at the beginning of the partition.
  EXPECT_EQ(send(fd, locate_cdb(5)).hdr.host_status, 0x03);
  EXPECT_POSITION(fd, 0, 0, 0);
  // After a bus reset every command but INQUIRY meets the unit attention 6/29/00, once.
  EXPECT_EQ(send(fd, read_cdb(4096), 4096).hdr.host_status, 0x08);
  EXPECT_TRUE(is_good(send(fd, {0x12, 0, 0, 0, 36, 0}, 36)));
  EXPECT_TRUE(is_check(send(fd, {0, 0, 0, 0, 0, 0}), 6, 0x29, 0));
  EXPECT_TRUE(is_good(send(fd, {0, 0, 0, 0, 0, 0})));
}

TEST_F(VirtualDriveTest, UnitAttentionsRecoveredAndDeferredErrors) {
  manifest.faults.unit_attention = {{0x28, 0x00}, {0x29, 0x00}};
  manifest.faults.recovered = {{0x08, 1}};
  manifest.faults.deferred = {{0x2B, 0}};
  manifest.faults.medium_error = {{0x08, 2}};
  standard();
  const int fd = open_drive();
  EXPECT_TRUE(is_good(send(fd, {0x12, 0, 0, 0, 36, 0}, 36)));  // INQUIRY takes none
  EXPECT_TRUE(is_check(send(fd, {0, 0, 0, 0, 0, 0}), 6, 0x28, 0));
  EXPECT_TRUE(is_check(send(fd, read_cdb(4096), 4096), 6, 0x29, 0));  // not executed
  EXPECT_POSITION(fd, 0, 0, 0);
  // The second READ is done in full and reports the recovered error with its data.
  const Response recovered = send(fd, read_cdb(4096), 4096);
  EXPECT_TRUE(is_check(recovered, 1, 0x17, 0x01));
  EXPECT_EQ(recovered.data, pattern(80, 1));
  EXPECT_POSITION(fd, 0, 1, 0);
  // A deferred error: response code 71h, the LOCATE not executed.
  const Response deferred = send(fd, locate_cdb(5));
  EXPECT_EQ(deferred.hdr.status, 0x02);
  const scsi::SenseData sense = scsi::parse_sense(deferred.sense);
  EXPECT_EQ(sense.response_code, 0x71);
  EXPECT_EQ(sense.key, 3);
  EXPECT_EQ(sense.asc, 0x0C);
  EXPECT_POSITION(fd, 0, 1, 0);
  EXPECT_TRUE(is_good(send(fd, locate_cdb(2))));
  // A medium error that a second try does not meet: nothing moves, the block reads then.
  EXPECT_TRUE(is_check(send(fd, read_cdb(4096), 4096), 3, 0x11, 0));
  EXPECT_POSITION(fd, 0, 2, 1);
  EXPECT_EQ(send(fd, read_cdb(10), 10).data, pattern(10, 2));
}

TEST_F(VirtualDriveTest, NoCartridgeOrOneNotLoaded) {
  const struct {
    bool vdrive::Faults::*member;
    int asc;
    int ascq;
  } cases[] = {{&vdrive::Faults::no_medium, 0x3A, 0}, {&vdrive::Faults::needs_load, 0x04, 0x02}};
  for (const auto& c : cases) {
    manifest.faults = {};
    manifest.faults.*c.member = true;
    standard();
    const int fd = open_drive();
    EXPECT_TRUE(is_check(send(fd, {0, 0, 0, 0, 0, 0}), 2, c.asc, c.ascq));
    EXPECT_TRUE(is_check(send(fd, read_cdb(80), 80), 2, c.asc, c.ascq));
    EXPECT_TRUE(is_good(send(fd, {0x12, 0, 0, 0, 36, 0}, 36)));
    close_drive(fd);
  }
}

TEST_F(VirtualDriveTest, DescriptorSenseCarriesTheSameFields) {
  manifest.faults.descriptor_sense = true;
  manifest.faults.deferred = {{0x2B, 0}};
  standard();
  const int fd = open_drive();
  // A record of 80 bytes read with 50 (SILI clear): ILI, INFORMATION -30 in eight bytes.
  const Response longer = send(fd, read_cdb(50, false), 50);
  EXPECT_EQ(longer.hdr.status, 0x02);
  EXPECT_EQ(longer.sense,
            (std::vector<uint8_t>{0x72, 0,    0,    0,    0,    0,    0,    16,  // header
                                  0x00, 0x0A, 0x80, 0,    0xFF, 0xFF, 0xFF, 0xFF,
                                  0xFF, 0xFF, 0xFF, 0xE2,     // information
                                  0x04, 0x02, 0,    0x20}));  // stream: ILI
  const scsi::SenseData filemark = scsi::parse_sense(send(fd, read_cdb(50), 50).sense);
  EXPECT_TRUE(filemark.filemark);
  EXPECT_EQ(filemark.ascq, 1);
  const scsi::SenseData deferred = scsi::parse_sense(send(fd, locate_cdb(0)).sense);
  EXPECT_EQ(deferred.response_code, 0x73);
  EXPECT_EQ(deferred.key, 3);
  EXPECT_EQ(deferred.asc, 0x0C);
}

// From the (K+1)-th command of any kind on, a command that would end GOOD is done in full and
// asks for cleaning instead, with its data and residue; one that fails keeps its own sense.
TEST_F(VirtualDriveTest, CleaningRequestFromTheChosenCommandOn) {
  manifest.faults.cleaning_request = 2;
  standard();
  const int fd = open_drive();
  EXPECT_TRUE(is_good(send(fd, kInquiry, 36)));
  EXPECT_TRUE(is_good(send(fd, kTestUnitReady)));
  const Response read = send(fd, read_cdb(4096), 4096);
  EXPECT_TRUE(is_check(read, 0, 0x82, 0x82));
  EXPECT_EQ(read.data, pattern(80, 1));
  EXPECT_EQ(read.hdr.resid, 4096 - 80);
  EXPECT_TRUE(is_check(send(fd, read_cdb(4096), 4096), 0, 0, 1));  // the filemark
  EXPECT_TRUE(is_check(send(fd, kTestUnitReady), 0, 0x82, 0x82));
  const Response where = send(fd, {0x34, 0x06, 0, 0, 0, 0, 0, 0, 0, 0}, 32);
  EXPECT_TRUE(is_check(where, 0, 0x82, 0x82));
  ST_SPTI_CMD_POSITIONDATA pos{};
  decode_position_data(where.data, &pos);
  EXPECT_EQ(pos.blockNumber, 2u);
}

// Records of the partition from the chosen object on cannot be decrypted: no data, no move,
// check 7/74/ASCQ. Filemarks, records before it and other partitions read as usual.
TEST_F(VirtualDriveTest, EncryptedRecordsAreNotReadAndTheTapeStays) {
  manifest.faults.encrypted = vtape::EncryptedFault{0, 2, 0x05};
  standard();
  const int fd = open_drive();
  EXPECT_EQ(send(fd, read_cdb(4096), 4096).data, pattern(80, 1));
  ASSERT_TRUE(is_good(send(fd, locate_cdb(2))));
  for (int i = 0; i < 2; ++i) {
    const Response r = send(fd, read_cdb(4096), 4096);
    EXPECT_TRUE(is_check(r, 7, 0x74, 0x05));
    EXPECT_TRUE(r.data.empty());
    EXPECT_POSITION(fd, 0, 2, 1);
  }
  ASSERT_TRUE(is_good(send(fd, locate_cdb(4))));
  EXPECT_TRUE(is_check(send(fd, read_cdb(4096), 4096), 0, 0, 1));
  EXPECT_TRUE(is_check(send(fd, read_cdb(4096), 4096), 7, 0x74, 0x05));
  ASSERT_TRUE(is_good(send(fd, locate_cdb(2, 1))));
  EXPECT_EQ(send(fd, read_cdb(4096), 4096).data, pattern(6, 8));
}

TEST_F(VirtualDriveTest, HardwareErrorAnswersOneCommandWithoutDoingIt) {
  manifest.faults.hardware_error = {{0x2B, 1}};
  standard();
  const int fd = open_drive();
  ASSERT_TRUE(is_good(send(fd, locate_cdb(2))));
  EXPECT_TRUE(is_check(send(fd, locate_cdb(5)), 4, 0x44, 0));
  EXPECT_POSITION(fd, 0, 2, 1);
  EXPECT_TRUE(is_good(send(fd, locate_cdb(5))));
  EXPECT_POSITION(fd, 0, 5, 2);
}

// After the (K+1)-th command the cartridge is swapped: INQUIRY is answered, the next command
// meets the unit attention 6/28/00 once, and then the drive serves the other cartridge (or the
// same one again, ".") from the beginning of partition 0, with its cartridge memory, volume
// personality and density. The drive keeps its own faults.
TEST_F(VirtualDriveTest, CartridgeChangeServesTheOtherCartridgeFromItsBeginning) {
  const std::string next_dir = file("next");
  std::filesystem::create_directory(next_dir);
  write_partition(next_dir + "/p0.tap", {rec(3, 7), fm()});
  write_partition(next_dir + "/p1.tap", {});
  vtape::Manifest next;
  next.volume_personality = "Ultrium-9";
  next.density = 0x60;
  next.set_attribute(0, 0x0009, 0, {0, 0, 0, 2});
  next.faults.log_sense = false;  // not the drive's: not used
  vtape::write_manifest(next, next_dir);
  manifest.set_attribute(0, 0x0009, 0, {0, 0, 0, 1});
  manifest.density = 0x5E;
  const struct {
    const char* cartridge;
    std::vector<uint8_t> first_record;
    const char* personality;
    uint8_t reference;
    uint8_t density;
  } cases[] = {{"next", pattern(3, 7), "Ultrium-9", 2, 0x60},
               {".", pattern(80, 1), "Ultrium-8", 1, 0x5E}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cartridge);
    manifest.faults.cartridge_change = vtape::CartridgeChange{1, c.cartridge};
    standard();
    const int fd = open_drive();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(is_good(send(fd, locate_cdb(5))));
    EXPECT_EQ(send(fd, read_cdb(4096), 4096).data, pattern(12, 4));  // the second command
    EXPECT_TRUE(is_good(send(fd, kInquiry, 36)));
    EXPECT_TRUE(is_check(send(fd, kTestUnitReady), 6, 0x28, 0));
    EXPECT_POSITION(fd, 0, 0, 0);
    EXPECT_EQ(send(fd, read_cdb(4096), 4096).data, c.first_record);
    const Response log = send(fd, log_sense_cdb(0x17, 0x45, 100), 100);
    ASSERT_TRUE(is_good(log));
    const std::span<const uint8_t> text = find_log_parameter(log.data, 0x0045);
    EXPECT_EQ(std::string(text.begin(), text.end()), c.personality);
    const Response attribute = send(fd, read_attribute_cdb(0, 0x0009, 100), 100);
    EXPECT_EQ(attribute.data.back(), c.reference);
    EXPECT_EQ(decode_mode_sense6(send(fd, mode_sense_cdb(0, 255), 255).data).density_code,
              c.density);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(is_good(send(fd, kTestUnitReady)));  // once only
    close_drive(fd);
  }
}

// ---------------------------------------------------------------------------------------------
// Sharing, counters, the last command.

TEST_F(VirtualDriveTest, DescriptorsOnOneCartridgeShareTheDriveAndItsPosition) {
  standard();
  const int first = open_drive();
  const int second = open_drive();
  ASSERT_NE(first, second);
  send(first, locate_cdb(5));
  EXPECT_POSITION(second, 0, 5, 2);
  close_drive(first);
  EXPECT_POSITION(second, 0, 5, 2);
}

TEST_F(VirtualDriveTest, CountersTellBlocksReadAndPositioningCommands) {
  standard();
  vdrive::reset_total_counters();
  const int fd = open_drive();
  send(fd, read_cdb(4096), 4096);
  send(fd, read_cdb(4096), 4096);
  send(fd, locate_cdb(2));
  send(fd, space_cdb(1, 1));
  send(fd, {0x01, 0, 0, 0, 0, 0});
  vdrive::Counters c;
  ASSERT_TRUE(vdrive::drive_counters(fd, &c));
  EXPECT_EQ(c.read, 2u);
  EXPECT_EQ(c.blocks_read, 1u);
  EXPECT_EQ(c.bytes_read, 80u);
  EXPECT_EQ(c.filemarks_read, 1u);
  EXPECT_EQ(c.positioning(), 3u);
  EXPECT_EQ(c.commands, 5u);
  close_drive(fd);
  EXPECT_EQ(vdrive::total_counters().blocks_read, 1u);
  EXPECT_FALSE(vdrive::drive_counters(fd, &c));
}

// ---------------------------------------------------------------------------------------------
// Positioning over many objects, compared with a plain object-by-object model of the medium.

struct Model {
  std::vector<bool> filemark;
  uint64_t pos = 0;
  uint64_t files_before(uint64_t at) const {
    uint64_t n = 0;
    for (uint64_t i = 0; i < at; ++i) n += filemark[i];
    return n;
  }
  // Returns the sense "key/asc/ascq" the drive must report, or "good".
  std::string space(int code, int64_t count) {
    const uint64_t end = filemark.size();
    if (code == 0) {
      for (int64_t i = 0; i < std::abs(count); ++i) {
        if (count > 0) {
          if (pos == end) return "8/0/5";
          if (filemark[pos++]) return "0/0/1";
        } else {
          if (pos == 0) return "0/0/4";
          if (filemark[pos - 1]) {
            --pos;
            return "0/0/1";
          }
          --pos;
        }
      }
      return "good";
    }
    int64_t left = std::abs(count);
    while (left > 0) {
      if (count > 0) {
        if (pos == end) return "8/0/5";
        if (filemark[pos++]) --left;
      } else {
        if (pos == 0) return "0/0/4";
        if (filemark[--pos]) --left;
      }
    }
    return "good";
  }
};

std::string outcome(const Response& r) {
  if (r.hdr.status == 0) return "good";
  const ST_SPTI_REQUEST_SENSE_RESPONSE s = decoded(r);
  return std::to_string(s.sense_key) + "/" + std::to_string(s.asc) + "/" + std::to_string(s.ascq);
}

// Run with the whole partition checked at open, with none of it, and with a part of it.
class PositioningModelTest : public VirtualDriveTest,
                             public ::testing::WithParamInterface<uint64_t> {
 protected:
  void SetUp() override {
    VirtualDriveTest::SetUp();
    vdrive::set_objects_checked_at_open(GetParam());
  }
  void TearDown() override {
    VirtualDriveTest::TearDown();
    vdrive::set_objects_checked_at_open(vdrive::kObjectsCheckedAtOpen);
  }
};

INSTANTIATE_TEST_SUITE_P(CheckedAtOpen, PositioningModelTest,
                         ::testing::Values(vdrive::kObjectsCheckedAtOpen, 0, 700));

TEST_P(PositioningModelTest, PositioningAcrossIndexBlocksMatchesAnObjectByObjectModel) {
  std::mt19937 random(12345);
  std::vector<Obj> objects;
  Model model;
  for (int i = 0; i < 3000; ++i) {
    // Long stretches without filemarks as well as dense ones.
    const bool dense = (i / 400) % 2 == 1;
    const bool mark = random() % (dense ? 3 : 60) == 0;
    objects.push_back(mark ? fm() : rec(1 + random() % 40, static_cast<uint8_t>(i)));
    model.filemark.push_back(mark);
  }
  make(objects);
  const int fd = open_drive();
  ASSERT_GE(fd, 0);
  for (int step = 0; step < 600; ++step) {
    const int what = static_cast<int>(random() % 4);
    std::string expected;
    Response r;
    if (what == 0) {
      const uint64_t target = random() % (objects.size() + 5);
      model.pos = std::min<uint64_t>(target, objects.size());
      expected = target > objects.size() ? "8/0/5" : "good";
      r = send(fd, locate_cdb(static_cast<uint32_t>(target)));
    } else if (what == 1 || what == 2) {
      const int code = what == 1 ? 0 : 1;
      const int64_t count = static_cast<int64_t>(random() % 601) - 300;
      expected = count == 0 ? "good" : model.space(code, count);
      r = send(fd, space_cdb(static_cast<uint8_t>(code), static_cast<int32_t>(count)));
    } else {
      r = send(fd, read_cdb(4096), 4096);
      if (model.pos == objects.size()) {
        expected = "8/0/5";
      } else if (model.filemark[model.pos++]) {
        expected = "0/0/1";
      } else {
        expected = "good";
        const Obj& o = objects[model.pos - 1];
        EXPECT_EQ(r.data, pattern(o.size, o.tag)) << "step " << step;
      }
    }
    ASSERT_EQ(outcome(r), expected) << "step " << step;
    const ST_SPTI_CMD_POSITIONDATA p = position(fd);
    ASSERT_EQ(p.blockNumber, model.pos) << "step " << step;
    ASSERT_EQ(p.fileNumber, model.files_before(model.pos)) << "step " << step;
  }
}

TEST_F(VirtualDriveTest, RecordsBeyondFourGibibytesArePositionedAndRead) {
  // A sparse partition file of 300 records of 16 MiB - 1 bytes (about 5 GiB on paper): only the
  // length words and the last record's first bytes are written.
  constexpr uint32_t kLength = 0xFFFFFF;
  constexpr int kRecords = 300;
  const int out = ::open(file("p0.tap").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(out, 0);
  const uint8_t word[4] = {0xFF, 0xFF, 0xFF, 0x00};
  uint64_t offset = 0;
  for (int i = 0; i < kRecords; ++i) {
    ASSERT_EQ(::pwrite(out, word, 4, static_cast<off_t>(offset)), 4);
    if (i == kRecords - 1) {
      ASSERT_EQ(::pwrite(out, "LAST", 4, static_cast<off_t>(offset + 4)), 4);
    }
    offset += 4 + kLength + 1;
    ASSERT_EQ(::pwrite(out, word, 4, static_cast<off_t>(offset)), 4);
    offset += 4;
  }
  ::close(out);
  manifest.partitions = {"p0.tap"};
  vtape::write_manifest(manifest, path());
  const int fd = open_drive();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(is_good(send(fd, locate_cdb(kRecords - 1))));
  const Response r = send(fd, read_cdb(4), 4);
  EXPECT_TRUE(is_good(r));  // a longer record than asked for: its first bytes
  EXPECT_EQ(std::string(r.data.begin(), r.data.end()), "LAST");
  EXPECT_POSITION(fd, 0, kRecords, 0);
}

// ---------------------------------------------------------------------------------------------
// Damaged partition files: served up to the damage, which reads as one unreadable record and then
// the end of data, whether the damage lies among the objects checked at the open or beyond them.

std::vector<uint8_t> le_word(uint32_t w) {
  return {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w >> 16),
          static_cast<uint8_t>(w >> 24)};
}
std::vector<uint8_t> joined(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class DamagedPartitionTest : public VirtualDriveTest,
                             public ::testing::WithParamInterface<uint64_t> {
 protected:
  void SetUp() override {
    VirtualDriveTest::SetUp();
    vdrive::set_objects_checked_at_open(GetParam());
    manifest.partitions = {"p0.tap"};
    vtape::write_manifest(manifest, path());
  }
  void TearDown() override {
    VirtualDriveTest::TearDown();
    vdrive::set_objects_checked_at_open(vdrive::kObjectsCheckedAtOpen);
  }
};

INSTANTIATE_TEST_SUITE_P(CheckedAtOpen, DamagedPartitionTest,
                         ::testing::Values(vdrive::kObjectsCheckedAtOpen, 0, 1));

TEST_P(DamagedPartitionTest, ServedUpToTheDamageWhichIsSaidOnce) {
  // A record "ok" and a filemark (14 bytes), then the damage.
  const std::vector<uint8_t> sound = joined({le_word(2), {'o', 'k'}, le_word(2), le_word(0)});
  const struct {
    std::vector<uint8_t> damage;
    const char* says;
  } cases[] = {
      {joined({le_word(5), {1, 2, 3}}), "the file ends inside a record of 5 bytes"},
      {joined({le_word(3), {1, 2, 3, 0}, le_word(4)}),
       "the record's closing length word 00000004h differs from its opening one 00000003h"},
      {joined({le_word(0x01000000), std::vector<uint8_t>(16, 0)}),
       "its length word 01000000h gives a record of 16 MiB or more"},
      {joined({le_word(0x40000002), {1, 2}, le_word(0x40000002)}),
       "its length word 40000002h gives a record of 16 MiB or more"},
      {le_word(0x80000000), "it holds a record of length 0"},
      {{0, 0}, "the file ends inside a length word"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    testutil::write_bytes(file("p0.tap"), joined({sound, c.damage}));
    testing::internal::CaptureStderr();
    const int fd = open_drive();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(send(fd, read_cdb(10), 10).data, (std::vector<uint8_t>{'o', 'k'}));
    EXPECT_TRUE(is_check(send(fd, read_cdb(10), 10), 0, 0, 1));
    EXPECT_TRUE(is_check(send(fd, read_cdb(10), 10), 3, 0x11, 0));
    EXPECT_TRUE(is_check(send(fd, read_cdb(10), 10), 8, 0, 5));
    EXPECT_POSITION(fd, 0, 3, 1);
    EXPECT_TRUE(is_check(send(fd, locate_cdb(4)), 8, 0, 5));
    EXPECT_TRUE(is_good(send(fd, locate_cdb(2))));
    EXPECT_TRUE(is_good(send(fd, space_cdb(0, 1))));
    EXPECT_TRUE(is_good(send(fd, space_cdb(3, 0))));
    EXPECT_POSITION(fd, 0, 3, 1);
    EXPECT_EQ(testutil::strip_headers(testing::internal::GetCapturedStderr()),
              "[WARNING] [MISC  ] Virtual cartridge file " + file("p0.tap") +
                  " is damaged at byte offset 14 (" + c.says +
                  "): it is served up to there, where one unreadable record and the end of data "
                  "follow.\n");
    close_drive(fd);
  }
}

// Erase gaps, as other tools write them, are passed over and take no object number.
TEST_P(DamagedPartitionTest, EraseGapsTakeNoObjectNumber) {
  const std::vector<uint8_t> gap = le_word(0xFFFFFFFE);
  testutil::write_bytes(file("p0.tap"), joined({gap,
                                                le_word(1),
                                                {'a', 0},
                                                le_word(1),
                                                gap,
                                                gap,
                                                le_word(0),
                                                gap,
                                                le_word(1),
                                                {'b', 0},
                                                le_word(1),
                                                gap}));
  const int fd = open_drive();
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(is_good(send(fd, locate_cdb(2))));
  EXPECT_EQ(send(fd, read_cdb(10), 10).data, (std::vector<uint8_t>{'b'}));
  EXPECT_TRUE(is_good(send(fd, locate_cdb(0))));
  EXPECT_EQ(send(fd, read_cdb(10), 10).data, (std::vector<uint8_t>{'a'}));
  EXPECT_TRUE(is_good(send(fd, space_cdb(3, 0))));
  EXPECT_POSITION(fd, 0, 3, 1);
}

// ---------------------------------------------------------------------------------------------
// Malformed cartridges: a clear error naming the file, the usual failure path, never a crash.

class MalformedCartridgeTest : public CartridgeTest {
 protected:
  // Opens the cartridge expecting the failure; returns the error output.
  std::string rejected() {
    testing::internal::CaptureStderr();
    errno = 0;
    const int fd = open_drive();
    const int error = errno;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(error, EINVAL);
    EXPECT_EQ(testutil::count(err, "[ERROR  ] "), 1u) << err;
    return err;
  }
  void good_partitions() {
    write_partition(file("p0.tap"), {rec(10), fm()});
    write_partition(file("p1.tap"), {rec(10), fm()});
  }
  void manifest_text(const std::string& text) {
    good_partitions();
    testutil::write_file(file("cartridge.json"), text);
  }
};

// What the cartridge writer writes, the drive's parser reads back member for member.
TEST(ManifestTest, WrittenManifestParsesToTheSameRecords) {
  vtape::Manifest written;
  written.partitions = {"p0.tap", "p1.tap", "p2.tap"};
  written.volume_personality = "Ultrium-9";
  written.inquiry = vtape::Inquiry{"VENDOR", "PRODUCT", "0002"};
  written.set_attribute(2, 0x0009, 0, {0, 0, 0, 7});
  written.find_attribute(2, 0x0009)->read_only = true;
  written.set_attribute_text(0, 0x0800, "VENDOR", 8);
  written.set_attribute(0, 0x0801, 2, {'t', 'e', 'x', 't'});
  written.set_attribute(1, 0x1607, 3, {});
  written.faults.not_ready = uint64_t{1} << 33;
  written.faults.read_attribute = {1, 2};
  written.faults.device_attributes = false;
  written.faults.log_sense = false;
  written.faults.status = {{0x08, uint64_t{1} << 40, 0x08}, {0x2B, 0, 0x18}};
  written.faults.transport = {{0x08, 3, 0x03}, {0x92, 0, 0x08}};
  written.faults.unit_attention = {{0x28, 0x00}, {0x29, 0x00}};
  written.faults.no_medium = true;
  written.faults.needs_load = true;
  written.faults.recovered = {{0x08, 7}};
  written.faults.deferred = {{0x2B, 1}, {0x11, 2}};
  written.faults.medium_error = {{0x08, 4}};
  written.faults.block_limits = 65536;
  written.faults.max_transfer = 1 << 20;
  written.faults.descriptor_sense = true;
  written.faults.signal = vtape::SignalFault{uint64_t{1} << 35, 9};
  written.faults.hardware_error = {{0x12, 0}, {0x1A, 3}};
  written.faults.cleaning_request = uint64_t{1} << 36;
  written.faults.encrypted = vtape::EncryptedFault{2, uint64_t{1} << 37, 0x05};
  written.faults.cartridge_change = vtape::CartridgeChange{9, "../other cartridge"};
  written.faults.fixed_block_length = 0xFFFFFF;
  written.density = 0x5A;
  written.unreadable = {{1, 5}, {2, uint64_t{1} << 40}, {1, 4}};
  std::string error;
  const std::optional<vdrive::Manifest> parsed =
      vdrive::parse_manifest(vtape::to_json(written), &error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_TRUE(*parsed == written) << vtape::to_json(*parsed);
}

TEST(ManifestTest, MembersLeftOutTakeTheirDefaults) {
  std::string error;
  const std::optional<vdrive::Manifest> parsed = vdrive::parse_manifest(
      R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
          "faults": {"encrypted": {"partition": 0, "from": 3}}})",
      &error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(parsed->density, 0x60);
  EXPECT_EQ(parsed->faults.encrypted, (vdrive::EncryptedFault{0, 3, 0x01}));
}

TEST_F(MalformedCartridgeTest, ManifestProblemsNameTheManifest) {
  const std::string manifest_path = file("cartridge.json");
  const struct {
    const char* text;
    const char* says;
  } cases[] = {
      {"{\"vtape\": 1, ", "does not parse"},
      {"[1, 2]", "must hold a JSON object"},
      {"{} trailing", "does not parse"},
      {R"({"partitions": ["p0.tap"], "volume_personality": "x", "attributes": []})",
       "member \"vtape\" is missing"},
      {R"({"vtape": 2, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": []})",
       "member \"vtape\" is out of range"},
      {R"({"vtape": 1, "partitions": "p0.tap", "volume_personality": "x", "attributes": []})",
       "member \"partitions\" must be an array"},
      {R"({"vtape": 1, "partitions": [], "volume_personality": "x", "attributes": []})",
       "must name 1 to 256 partition files"},
      {R"({"vtape": 1, "partitions": ["../p0.tap"], "volume_personality": "x",
           "attributes": []})",
       "must be a plain file name"},
      {R"({"vtape": 1, "partitions": ["/etc/passwd"], "volume_personality": "x",
           "attributes": []})",
       "must be a plain file name"},
      {R"({"vtape": 1, "partitions": ["sub/p0.tap"], "volume_personality": "x",
           "attributes": []})",
       "partition file name \"sub/p0.tap\" must be a plain file name"},
      {R"({"vtape": 1, "partitions": [".."], "volume_personality": "x", "attributes": []})",
       "must be a plain file name"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"sense_format": "terse"}})",
       "member \"sense_format\" in \"faults\" must be \"fixed\" or \"descriptor\""},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"unit_attention": [[40]]}})",
       "entry 0 of \"unit_attention\" in \"faults\" must be a pair [ASC, ASCQ] of bytes"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"transport": [{"opcode": 8, "after": 0}]}})",
       "member \"host_status\" is missing in \"transport\" entry 0 of \"faults\""},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"block_limits": 16777216}})",
       "member \"block_limits\" in \"faults\" is out of range"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "attributes": []})",
       "member \"volume_personality\" is missing"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": 8, "attributes": []})",
       "member \"volume_personality\" must be a text"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x"})",
       "member \"attributes\" is missing"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x",
           "attributes": [{"partition": 0, "id": 2048, "format": 1, "hex": "ABC"}]})",
       "must be hexadecimal digits"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x",
           "attributes": [{"partition": 0, "id": 70000, "format": 1, "hex": ""}]})",
       "member \"id\" in attribute 0 is out of range"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x",
           "attributes": [{"partition": 1, "id": 1, "format": 1, "hex": ""}]})",
       "member \"partition\" in attribute 0 is out of range"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x",
           "attributes": [{"partition": 0, "id": 1, "format": 0, "hex": "00"},
                          {"partition": 0, "id": 1, "format": 0, "hex": "01"}]})",
       "attribute 0001h of partition 0 is listed twice"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x",
           "attributes": [{"partition": 0, "id": 1, "format": 0}]})",
       "member \"hex\" is missing in attribute 0"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"status": [{"opcode": 8, "after": -1, "value": 8}]}})",
       "member \"after\" in \"status\" entry 0 of \"faults\" is out of range"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"signal": {"after": 3, "number": 65}}})",
       "member \"number\" in \"signal\" of \"faults\" is out of range"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "unreadable": [{"partition": 0, "object": 7}, {"partition": 0, "object": 7}]})",
       "record 7 of partition 0 is listed twice in \"unreadable\""},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "unreadable": [{"partition": 1, "object": 7}]})",
       "member \"partition\" in entry 0 of \"unreadable\" is out of range"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "inquiry": {"vendor": "TOO LONG VENDOR"}})",
       "member \"vendor\" in \"inquiry\" is longer than 8 characters"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "density": 256})",
       "member \"density\" is out of range (0 to 255)"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"cleaning_request": -1}})",
       "member \"cleaning_request\" in \"faults\" is out of range"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"fixed_block_length": 0}})",
       "member \"fixed_block_length\" in \"faults\" is out of range (1 to 16777215)"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"hardware_error": [{"opcode": 8}]}})",
       "member \"after\" is missing in \"hardware_error\" entry 0 of \"faults\""},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"encrypted": {"partition": 1, "from": 0}}})",
       "member \"partition\" in \"encrypted\" of \"faults\" is out of range (0 to 0)"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"encrypted": {"partition": 0, "from": 0, "ascq": 256}}})",
       "member \"ascq\" in \"encrypted\" of \"faults\" is out of range"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"cartridge_change": {"after": 1}}})",
       "member \"cartridge\" is missing in \"cartridge_change\" of \"faults\""},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"cartridge_change": {"after": 1, "cartridge": "/tmp/other"}}})",
       "member \"cartridge\" in \"cartridge_change\" of \"faults\" must name a directory "
       "relative to the cartridge directory"},
      {R"({"vtape": 1, "partitions": ["p0.tap"], "volume_personality": "x", "attributes": [],
           "faults": {"cartridge_change": {"after": 1, "cartridge": ""}}})",
       "must name a directory relative to the cartridge directory"},
  };
  for (const auto& c : cases) {
    manifest_text(c.text);
    const std::string err = rejected();
    EXPECT_NE(err.find("Virtual cartridge file " + manifest_path + ": "), std::string::npos) << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << c.text << "\n" << err;
  }
}

// The cartridge a cartridge change names is loaded with this one: anything but a cartridge
// directory, reached without a link, refuses this cartridge, naming what is wrong.
TEST_F(MalformedCartridgeTest, CartridgeChangeMustNameACartridgeDirectory) {
  const std::string refused =
      ": is not a cartridge directory (named by \"cartridge_change\" in \"faults\"): ";
  std::filesystem::create_directory(file("good"));
  write_partition(file("good") + "/p0.tap", {rec(1)});
  write_partition(file("good") + "/p1.tap", {});
  vtape::write_manifest(vtape::Manifest{}, file("good"));
  std::filesystem::create_directory(file("empty"));
  std::filesystem::create_directory(file("broken"));
  testutil::write_file(file("broken") + "/cartridge.json", "{");
  testutil::write_file(file("plain"), "not a directory");
  std::filesystem::create_directory_symlink(file("good"), file("link"));
  const struct {
    const char* cartridge;
    std::string says;
  } cases[] = {
      {"missing", file("missing") + refused + "\"missing\" on its way does not exist"},
      {"plain", file("plain") + refused + "\"plain\" on its way is not a directory"},
      {"empty", file("empty") + refused + "it holds no cartridge.json"},
      {"link", file("link") + refused + "\"link\" on its way is a symbolic link"},
      {"link/../good", file("link/../good") + refused + "\"link\" on its way is a symbolic link"},
      {"broken", file("broken") + "/cartridge.json: does not parse"},
  };
  good_partitions();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cartridge);
    manifest.faults.cartridge_change = vtape::CartridgeChange{0, c.cartridge};
    vtape::write_manifest(manifest, path());
    const std::string err = rejected();
    EXPECT_NE(err.find("Virtual cartridge file " + c.says), std::string::npos) << err;
  }
  manifest.faults.cartridge_change = vtape::CartridgeChange{0, "empty/../good"};
  vtape::write_manifest(manifest, path());
  EXPECT_GE(open_drive(), 0);
}

TEST_F(MalformedCartridgeTest, MissingPartitionFile) {
  write_partition(file("p0.tap"), {rec(10)});
  vtape::write_manifest(manifest, path());
  const std::string err = rejected();
  EXPECT_NE(err.find(file("p1.tap") + ": cannot be opened: No such file or directory"),
            std::string::npos)
      << err;
}

// Files that are not what a cartridge holds are refused before they are read: a FIFO (whose open
// would wait for a writer for ever), a link (which reaches a file anywhere), a manifest larger
// than any real one.
TEST_F(MalformedCartridgeTest, CartridgeFilesAreRegularFilesOfTheDirectory) {
  testutil::TempDir elsewhere;
  testutil::write_file(elsewhere / "secret", "not a partition");
  const auto fifo = [](const std::string& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); };
  const auto link = [&](const std::string& at) {
    std::filesystem::create_symlink(elsewhere / "secret", at);
  };
  const struct {
    const char* name;
    std::function<void(const std::string&)> plant;
    const char* says;
  } cases[] = {
      {"cartridge.json", fifo, "is not a regular file"},
      {"p1.tap", fifo, "is not a regular file"},
      {"cartridge.json", link, "is a symbolic link; a cartridge holds regular files only"},
      {"p1.tap", link, "is a symbolic link; a cartridge holds regular files only"},
      {"cartridge.json",
       [](const std::string& at) { testutil::write_file(at, std::string((4 << 20) + 1, ' ')); },
       "is larger than 4 MiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": " + c.says);
    good_partitions();
    vtape::write_manifest(manifest, path());
    std::filesystem::remove(file(c.name));
    c.plant(file(c.name));
    const std::string err = rejected();
    EXPECT_NE(err.find("Virtual cartridge file " + file(c.name) + ": " + c.says), std::string::npos)
        << err;
    std::filesystem::remove(file(c.name));
  }
}

TEST_F(MalformedCartridgeTest, DirectoryWithoutManifestIsNotACartridge) {
  EXPECT_FALSE(is_virtual_cartridge(path().c_str()));
  EXPECT_FALSE(is_virtual_cartridge(file("nothing").c_str()));
  vtape::write_manifest(manifest, path());
  EXPECT_TRUE(is_virtual_cartridge(path().c_str()));
  EXPECT_FALSE(is_virtual_cartridge(file("cartridge.json").c_str()));
}

}  // namespace

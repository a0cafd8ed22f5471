// The command layer end to end through the SG_IO seam: the exact CDB bytes of every command (as
// the virtual drive received them), the transport's status table, reports and levels, the bytes
// received, the facade's results and the tape generation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <vector>

#include "common/test_util.h"
#include "scsi/changer.h"
#include "scsi/command_table.h"
#include "scsi_util.h"
#include "unit/cartridge_fixture.h"
#include "vdrive/vdrive.h"
#include "vexa_format_checker.h"

namespace {

using namespace cartridge_test;
using Bytes = std::vector<uint8_t>;

class CommandTest : public CartridgeTest {
 protected:
  void open_standard() {
    make({rec(80, 1), fm(), rec(10, 2), bad(20), rec(100, 3), fm()}, {rec(5), fm()});
    open_param();
  }
  void open_param() {
    param_.fd_scsidevice = open_drive();
    ASSERT_GE(param_.fd_scsidevice, 0);
  }
  vdrive::LastCommand last() {
    vdrive::LastCommand c;
    EXPECT_TRUE(vdrive::last_command(param_.fd_scsidevice, &c));
    return c;
  }
  Bytes last_cdb() { return last().cdb; }
  void* dev() { return &param_; }

  SCSI_DEVICE_PARAM param_{-1};
  ST_SPTI_REQUEST_SENSE_RESPONSE sense_{};
  ST_SYSTEM_ERRORINFO err_{};
};

// ---------------------------------------------------------------------------------------------
// CDBs byte for byte.

TEST_F(CommandTest, LocateCdbs) {
  open_standard();
  testing::internal::CaptureStderr();  // the refused ones warn
  EXPECT_TRUE(spti_locate_partition(dev(), 1, 0, &sense_, &err_));
  EXPECT_EQ(last_cdb(), (Bytes{0x2B, 0x02, 0, 0, 0, 0, 0, 0, 0x01, 0}));
  EXPECT_FALSE(spti_locate(dev(), 100, &sense_, &err_));  // beyond the end of data
  EXPECT_EQ(last_cdb(), (Bytes{0x2B, 0x00, 0, 0, 0, 0, 0x64, 0, 0, 0}));
  spti_locate(dev(), 0x01020304, &sense_, &err_);
  EXPECT_EQ(last_cdb(), (Bytes{0x2B, 0x00, 0, 0x01, 0x02, 0x03, 0x04, 0, 0, 0}));
  EXPECT_EQ(last().dxfer_direction, SG_DXFER_NONE);
  // LOCATE(16): the partition in byte 3, 64 bits of address in bytes 4 to 11.
  spti_locate16(dev(), 1, 0x0000000123456789ull, &sense_, &err_);
  EXPECT_EQ(last_cdb(),
            (Bytes{0x92, 0x02, 0, 0x01, 0, 0, 0, 0x01, 0x23, 0x45, 0x67, 0x89, 0, 0, 0, 0}));
  spti_locate16(dev(), INVALID_PARTITION_NUMBER, 2, &sense_, &err_);
  EXPECT_EQ(last_cdb(), (Bytes{0x92, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0}));
  testing::internal::GetCapturedStderr();
}

TEST_F(CommandTest, SpaceCdbs) {
  open_standard();
  testing::internal::CaptureStderr();  // the refused ones warn
  spti_space(dev(), 1, static_cast<uint32_t>(-2), &sense_, &err_);
  EXPECT_EQ(last_cdb(), (Bytes{0x11, 0x01, 0xFF, 0xFF, 0xFE, 0x00}));
  EXPECT_TRUE(spti_space(dev(), 3, 0, &sense_, &err_));
  EXPECT_EQ(last_cdb(), (Bytes{0x11, 0x03, 0, 0, 0, 0}));
  spti_space(dev(), 0x0F, 0x12345678, &sense_, &err_);  // code and count are cut to their fields
  EXPECT_EQ(last_cdb(), (Bytes{0x11, 0x07, 0x34, 0x56, 0x78, 0}));
  testing::internal::GetCapturedStderr();
}

TEST_F(CommandTest, ReadCdbs) {
  open_standard();
  std::vector<uint8_t> buffer(1 << 24);
  uint32_t received = 0;
  spti_read_data(dev(), 524288, buffer.data(), &received, &sense_, &err_);
  EXPECT_EQ(last_cdb(), (Bytes{0x08, 0x02, 0x08, 0x00, 0x00, 0x00}));
  EXPECT_EQ(last().dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(last().dxfer_len, 524288u);
  // A buffer of 16 MiB asks for the longest block, not for a length wrapped to 0.
  spti_read_data(dev(), 1 << 24, buffer.data(), &received, &sense_, &err_);
  EXPECT_EQ(last_cdb(), (Bytes{0x08, 0x02, 0xFF, 0xFF, 0xFF, 0x00}));
}

TEST_F(CommandTest, OtherCommandCdbs) {
  open_standard();
  testing::internal::CaptureStderr();  // the refused ones warn
  std::vector<uint8_t> buffer(32768);
  uint32_t received = 0;
  spti_test_unit_ready(dev(), &sense_, &err_);
  EXPECT_EQ(last_cdb(), (Bytes{0, 0, 0, 0, 0, 0}));
  ST_SPTI_BLOCK_LIMITS limits{};
  EXPECT_TRUE(spti_read_block_limits(dev(), &limits, &sense_, &err_));
  EXPECT_EQ(last_cdb(), (Bytes{0x05, 0, 0, 0, 0, 0}));
  EXPECT_EQ(last().dxfer_len, 6u);
  EXPECT_EQ(limits.max_block_length, 8388608u);
  EXPECT_EQ(limits.min_block_length, 1u);
  spti_rewind(dev(), &sense_, &err_);
  EXPECT_EQ(last_cdb(), (Bytes{0x01, 0, 0, 0, 0, 0}));
  ST_SPTI_CMD_POSITIONDATA pos{};
  spti_read_position(dev(), &pos, &sense_, &err_);
  EXPECT_EQ(last_cdb(), (Bytes{0x34, 0x06, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(last().dxfer_len, 32u);
  spti_log_sense(dev(), 0x17, 0x45, 32768, buffer.data(), &received, &sense_, &err_);
  EXPECT_EQ(last_cdb(), (Bytes{0x4D, 0x00, 0x57, 0x00, 0x00, 0x00, 0x45, 0x80, 0x00, 0x00}));
  spti_inquiry(dev(), 0x21, 262144, buffer.data(), &received, &sense_, &err_);
  EXPECT_EQ(last_cdb(), (Bytes{0x12, 0x00, 0x01, 0x00, 0xFF, 0x00}));
  spti_read_attribute(dev(), 1, 0, 0x080C, 61, buffer.data(), &received, &sense_, &err_);
  EXPECT_EQ(last_cdb(), (Bytes{0x8C, 0x00, 0, 0, 0, 0, 0, 0x01, 0x08, 0x0C, 0, 0, 0, 0x3D, 0, 0}));
  spti_read_attribute(dev(), 0, 0x21, 0x0800, 0x01020304, buffer.data(), &received, &sense_, &err_);
  EXPECT_EQ(last_cdb(), (Bytes{0x8C, 0x01, 0, 0, 0, 0, 0, 0, 0x08, 0x00, 1, 2, 3, 4, 0, 0}));
  testing::internal::GetCapturedStderr();
}

// MODE SENSE(6): current values (PC 00b) of the page, the block descriptor asked for (DBD 0), the
// allocation length of the buffer up to the one-byte field. PREVENT ALLOW MEDIUM REMOVAL: the
// PREVENT field 01b or 00b, no data.
TEST_F(CommandTest, ModeSenseAndPreventAllowCdbs) {
  open_standard();
  std::vector<uint8_t> buffer(4096);
  uint32_t received = 0;
  EXPECT_TRUE(spti_mode_sense6(dev(), 0x3F, 4096, buffer.data(), &received, &sense_, &err_));
  EXPECT_EQ(last_cdb(), (Bytes{0x1A, 0x00, 0x3F, 0x00, 0xFF, 0x00}));
  EXPECT_EQ(last().dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(received, 12u);
  spti_mode_sense6(dev(), 0xC0, 8, buffer.data(), &received, &sense_, &err_);
  EXPECT_EQ(last_cdb(), (Bytes{0x1A, 0x00, 0x00, 0x00, 0x08, 0x00}));
  EXPECT_EQ(received, 8u);
  for (const auto& [prevent, byte4] : {std::pair{1, 0x01}, std::pair{-7, 0x01}, std::pair{0, 0}}) {
    EXPECT_TRUE(spti_prevent_allow_medium_removal(dev(), prevent, &sense_, &err_));
    EXPECT_EQ(last_cdb(), (Bytes{0x1E, 0, 0, 0, static_cast<uint8_t>(byte4), 0})) << prevent;
    EXPECT_EQ(last().dxfer_direction, SG_DXFER_NONE);
  }
}

// Every command the program sends, with the time the kernel gives it before it aborts it: the
// worst case of an LTO-9 drive.
TEST_F(CommandTest, EveryCommandCarriesItsTimeout) {
  open_standard();
  testing::internal::CaptureStderr();  // the refused ones warn
  std::vector<uint8_t> buffer(32768);
  uint32_t received = 0;
  ST_SPTI_CMD_POSITIONDATA pos{};
  ST_SPTI_BLOCK_LIMITS limits{};
  const struct {
    const char* command;
    std::function<void()> send;
    unsigned seconds;
  } commands[] = {
      {"LOCATE(10)", [&] { spti_locate(dev(), 1, &sense_, &err_); }, 3000},
      {"LOCATE(16)", [&] { spti_locate16(dev(), 0, 1, &sense_, &err_); }, 3000},
      {"SPACE(6)", [&] { spti_space(dev(), 1, 1, &sense_, &err_); }, 3000},
      {"REWIND", [&] { spti_rewind(dev(), &sense_, &err_); }, 3000},
      {"READ(6)", [&] { spti_read_data(dev(), 4096, buffer.data(), &received, &sense_, &err_); },
       2400},
      {"TEST UNIT READY", [&] { spti_test_unit_ready(dev(), &sense_, &err_); }, 60},
      {"READ POSITION", [&] { spti_read_position(dev(), &pos, &sense_, &err_); }, 60},
      {"READ BLOCK LIMITS", [&] { spti_read_block_limits(dev(), &limits, &sense_, &err_); }, 60},
      {"INQUIRY", [&] { spti_inquiry(dev(), 0, 255, buffer.data(), &received, &sense_, &err_); },
       60},
      {"LOG SENSE",
       [&] { spti_log_sense(dev(), 0x17, 0x45, 4096, buffer.data(), &received, &sense_, &err_); },
       60},
      {"READ ATTRIBUTE",
       [&] {
         spti_read_attribute(dev(), 0, 0, 0x080C, 4096, buffer.data(), &received, &sense_, &err_);
       },
       60},
      {"MODE SENSE(6)",
       [&] { spti_mode_sense6(dev(), 0x3F, 255, buffer.data(), &received, &sense_, &err_); }, 5},
      {"PREVENT ALLOW MEDIUM REMOVAL",
       [&] { spti_prevent_allow_medium_removal(dev(), 1, &sense_, &err_); }, 5},
      // A cartridge's drive refuses the library's commands; their timeouts are sent all the same.
      {"LOAD UNLOAD", [&] { scsi::changer::load_unload(dev(), false, &sense_); }, 3000},
      {"MOVE MEDIUM", [&] { scsi::changer::move_medium(dev(), 0, 0x1000, 0x100, &sense_); }, 600},
      {"READ ELEMENT STATUS",
       [&] {
         std::string error;
         scsi::changer::read_element_status(dev(), {}, &sense_, &error);
       },
       600},
  };
  for (const auto& c : commands) {
    c.send();
    EXPECT_EQ(last().timeout, c.seconds * 1000) << c.command;
  }
  testing::internal::GetCapturedStderr();
  // No command of the program's table is left out here.
  EXPECT_EQ(std::size(commands), scsi::command_table().size());
}

// ---------------------------------------------------------------------------------------------
// The transport.

TEST(SgIoHeader, IsSetForOneCommand) {
  unsigned char cdb[6] = {0x08};
  unsigned char data[16];
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  sg_io_hdr_t* hdr = init_sg_io_hdr(6, cdb, SG_DXFER_FROM_DEV, sizeof(data), data, &sense);
  ASSERT_NE(hdr, nullptr);
  EXPECT_EQ(hdr->interface_id, 'S');
  EXPECT_EQ(hdr->dxfer_direction, -3);
  EXPECT_EQ(hdr->cmd_len, 6);
  EXPECT_EQ(hdr->mx_sb_len, 44);
  EXPECT_EQ(hdr->dxfer_len, 16u);
  EXPECT_EQ(hdr->dxferp, data);
  EXPECT_EQ(hdr->cmdp, cdb);
  EXPECT_EQ(hdr->sbp, reinterpret_cast<unsigned char*>(&sense));
  EXPECT_EQ(hdr->flags, 0u);  // indirect I/O through the driver's buffers
  EXPECT_EQ(hdr->timeout, 2400000u);  // a READ may wait 40 minutes
  EXPECT_EQ(hdr->iovec_count, 0);
  destroy_sg_io_hdr(hdr);
}

TEST_F(CommandTest, GoodCommandPrintsOnlyItsTraceLines) {
  open_standard();
  verbosity("vvvvvv");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(spti_test_unit_ready(dev(), &sense_, &err_), 1);
  const std::string out = testutil::strip_headers(testing::internal::GetCapturedStdout());
  EXPECT_TRUE(testing::internal::GetCapturedStderr().empty());
  EXPECT_EQ(out,
            "[TRACE  ] [MISC  ] start:spti_test_unit_ready\n"
            "[TRACE  ] [MISC  ] start SCSI_COMMAND:(0)\n"
            "[TRACE  ] [MISC  ] end SCSI_COMMAND:(0)\n"
            "[TRACE  ] [MISC  ] end  :spti_test_unit_ready\n");
}

TEST_F(CommandTest, FilemarkReadIsInformationWithTheDecodedSense) {
  open_standard();
  std::vector<uint8_t> buffer(4096);
  uint32_t received = 99;
  ASSERT_EQ(spti_read_data(dev(), 4096, buffer.data(), &received, &sense_, &err_), 1);
  EXPECT_EQ(received, 80u);  // 4096 asked, an 80-byte block received
  verbosity("vvvvvv");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(spti_read_data(dev(), 4096, buffer.data(), &received, &sense_, &err_), 0);
  const std::string out = testutil::strip_headers(testing::internal::GetCapturedStdout());
  EXPECT_TRUE(testing::internal::GetCapturedStderr().empty());
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(sense_.filemark, 1);
  EXPECT_EQ(sense_.sense_key, 0);
  EXPECT_EQ(sense_.asc, 0);
  EXPECT_EQ(sense_.ascq, 1);
  EXPECT_EQ(sense_.scsi_status, 0x02);
  EXPECT_NE(out.find("[INFO   ] [MISC  ] CHECK CONDITION: A problem occurred during command "
                     "processing.\n[INFO   ] [MISC  ] Sense Key 0 (No Sense)\n[INFO   ] [MISC  ] "
                     "ASC ASCQ: 00 01 (cdb: 0x08)\n"),
            std::string::npos)
      << out;
}

TEST_F(CommandTest, NonZeroSenseKeyIsAWarningAtAnyVerbosity) {
  open_standard();
  spti_locate(dev(), 3, &sense_, &err_);
  std::vector<uint8_t> buffer(4096);
  uint32_t received = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(spti_read_data(dev(), 4096, buffer.data(), &received, &sense_, &err_), 0);
  const std::string err = testutil::strip_headers(testing::internal::GetCapturedStderr());
  EXPECT_EQ(err,
            "[WARNING] [MISC  ] CHECK CONDITION: A problem occurred during command processing.\n"
            "[WARNING] [MISC  ] Sense Key 3 (Medium Error)\n"
            "[WARNING] [MISC  ] ASC ASCQ: 11 00 (cdb: 0x08)\n");
}

TEST_F(CommandTest, BusyAndTaskSetFullAreSentAgainAfterAPauseAtMostFiveTimes) {
  // The first TEST UNIT READY meets BUSY, then TASK SET FULL, then is done; the second meets BUSY
  // six times and fails with it.
  manifest.faults.status = {{0x00, 0, 0x08}, {0x00, 1, 0x28}};
  for (uint64_t k = 3; k < 9; ++k) manifest.faults.status.push_back({0x00, k, 0x08});
  open_standard();
  testing::internal::CaptureStderr();
  EXPECT_EQ(spti_test_unit_ready(dev(), &sense_, &err_), 1);
  EXPECT_EQ(spti_test_unit_ready(dev(), &sense_, &err_), 0);
  EXPECT_EQ(sense_.scsi_status, 0x08);
  const std::string err = testutil::strip_headers(testing::internal::GetCapturedStderr());
  const std::string busy =
      "[WARNING] [MISC  ] BUSY: The drive is unable to accept the command at this time.\n";
  EXPECT_EQ(testutil::count(err, busy), 7u);
  EXPECT_NE(err.find("[WARNING] [MISC  ] QUEUE FULL\n[WARNING] [MISC  ] TEST UNIT READY: the drive "
                     "answered TASK SET FULL. It is sent again in 1000 ms (2 of 5).\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("It is sent again in 1000 ms (5 of 5).\n" + busy), std::string::npos) << err;
  vdrive::Counters counters;
  ASSERT_TRUE(vdrive::drive_counters(param_.fd_scsidevice, &counters));
  EXPECT_EQ(counters.pauses, 7u);  // one second before each of the seven retries
  EXPECT_EQ(counters.paused_ms, 7000u);
}

TEST_F(CommandTest, ReservationConflictEndsTheRun) {
  manifest.faults.status = {{0x00, 0, 0x18}};
  open_standard();
  EXPECT_EXIT(RUN_ENDS(spti_test_unit_ready(dev(), &sense_, &err_)), testing::ExitedWithCode(1),
              "\\[SYS_ERR\\] \\[MISC  \\] RESERVATION CONFLICT: The drive is reserved.\n");
}

TEST_F(CommandTest, UndefinedStatusEndsTheRun) {
  manifest.faults.status = {{0x00, 0, 0x22}};
  open_standard();
  EXPECT_EXIT(RUN_ENDS(spti_test_unit_ready(dev(), &sense_, &err_)), testing::ExitedWithCode(1),
              "Undefined status: 0x22\n");
}

// TASK ABORTED and ACA ACTIVE (another initiator's trouble on a shared bus): sent once more, as
// after a transport failure; a second one ends the run naming it.
TEST_F(CommandTest, AbortedCommandsAreSentOnceMore) {
  manifest.faults.status = {{0x00, 0, 0x40}, {0x00, 2, 0x30}, {0x00, 3, 0x40}};
  open_standard();
  EXPECT_EQ(spti_test_unit_ready(dev(), &sense_, &err_), 1);
  EXPECT_EXIT(RUN_ENDS(spti_test_unit_ready(dev(), &sense_, &err_)), testing::ExitedWithCode(1),
              "SCSI command TEST UNIT READY failed: TASK ABORTED.\n");
}

TEST_F(CommandTest, NullArgumentsEndTheRun) {
  open_standard();
  uint32_t received = 0;
  EXPECT_EXIT(RUN_ENDS(run_scsi_command(dev(), nullptr, &received)), testing::ExitedWithCode(1),
              "Invalid argument @ run_scsi_command\n");
  EXPECT_EXIT(RUN_ENDS(spti_test_unit_ready(nullptr, &sense_, &err_)), testing::ExitedWithCode(1),
              "Invalid argument @ run_scsi_command\n");
}

TEST(Transport, FailedRequestEndsTheRun) {
  // Not an sg node: the kernel refuses SG_IO.
  SCSI_DEVICE_PARAM param{::open("/dev/null", O_RDWR)};
  ASSERT_GE(param.fd_scsidevice, 0);
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ST_SYSTEM_ERRORINFO err{};
  // The report names the command and the system's reason.
  EXPECT_EXIT(RUN_ENDS(spti_test_unit_ready(&param, &sense, &err)), testing::ExitedWithCode(1),
              "Sending SCSI Command failed.\n +TEST UNIT READY: errno = 25: Inappropriate ioctl "
              "for device\n");
  ::close(param.fd_scsidevice);
}

TEST(Transport, ANodeIsOpenedForReadingAndWritingAndThenBlocks) {
  // A FIFO stands for a device node: its open does not wait, and what is left is a descriptor
  // that reads and writes, blocks on its requests and is not inherited.
  testutil::TempDir dir;
  const std::string node = dir / "node";
  ASSERT_EQ(::mkfifo(node.c_str(), 0600), 0);
  for (const TapeAccess access : {TapeAccess::shared, TapeAccess::exclusive}) {
    const int fd = tape_device_open(node.c_str(), access);
    ASSERT_GE(fd, 0);
    const int flags = ::fcntl(fd, F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
    EXPECT_EQ(flags & O_NONBLOCK, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    tape_device_close(fd);
  }
}

TEST_F(CommandTest, FailedReadPositionLeavesThePositionAndStillTraces) {
  manifest.faults.no_medium = true;
  open_standard();
  ST_SPTI_CMD_POSITIONDATA pos{};
  pos.blockNumber = 77;
  pos.partitionNumber = 5;
  verbosity("vvvvvv");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(spti_read_position(dev(), &pos, &sense_, &err_), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(pos.blockNumber, 77u);
  EXPECT_EQ(pos.partitionNumber, 5u);
  EXPECT_NE(out.find("end  :spti_read_position: partition=5, block=77(0x4D),file=0(0x0), bop=0, "
                     "eop=0, mpu=0, bpu=0\n"),
            std::string::npos)
      << out;
}

TEST_F(CommandTest, RecordReadersParseWhatTheDriveSent) {
  manifest.set_attribute(0, 0x0007, 0, {0x01, 0x02});
  manifest.set_attribute(0, 0x0009, 0, {0, 0, 0, 9});
  manifest.set_attribute_text(0, 0x0800, "VENDOR", 8);
  manifest.set_attribute_text(0, 0x0806, "BARCODE1", 32);
  open_standard();
  ST_SPTI_DEVICE_TYPE_ATTRIBUTE device{};
  EXPECT_EQ(spti_read_drive_attribute(dev(), 0, 0, &device, &sense_, &err_), 1);
  EXPECT_EQ(device.initialization_count, 258);
  EXPECT_EQ(device.volume_change_reference, 9u);
  ST_SPTI_HOST_TYPE_ATTRIBUTE host{};
  EXPECT_EQ(spti_read_drive_host_type_attribute(dev(), 0, 0x0800, &host, &sense_, &err_), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(host.application_vendor), 8), "VENDOR  ");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(host.barcode), 8), "BARCODE1");
}

TEST_F(CommandTest, FailedRecordReadLeavesTheRecordAsItWas) {
  manifest.set_attribute(0, 0x0009, 0, {0, 0, 0, 9});
  manifest.faults.read_attribute = {0};
  open_standard();
  ST_SPTI_DEVICE_TYPE_ATTRIBUTE device{};
  testing::internal::CaptureStderr();
  EXPECT_EQ(spti_read_drive_attribute(dev(), 0, 0, &device, &sense_, &err_), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(device.volume_change_reference, 0u);
}

// ---------------------------------------------------------------------------------------------
// The facade.

class FacadeTest : public CommandTest {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    make({rec(80, 1), fm(), rec(10, 2), bad(20), rec(100, 3), fm()}, {rec(5), fm()});
    drive_ = open_tape_drive();
    ASSERT_NE(drive_, nullptr);
  }
  TapeCursor& cursor() { return drive_->cursor(); }
  std::unique_ptr<TapeDrive> drive_;
  uint32_t received_ = 0;
};

TEST_F(FacadeTest, ReadsBlocksUntilTheFilemark) {
  EXPECT_EQ(cursor().read(4096, &received_), 0);
  EXPECT_EQ(received_, 80u);
  testing::internal::CaptureStdout();
  EXPECT_EQ(cursor().read(4096, &received_), 1);
  EXPECT_EQ(received_, 0u);
  EXPECT_TRUE(testing::internal::GetCapturedStdout().empty());  // only at the highest verbosity
  cursor().locate(1);
  verbosity("vvvvvv");
  testing::internal::CaptureStdout();
  EXPECT_EQ(cursor().read(4096, &received_), 1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "[INFO   ] [MISC  ] Filemark detected during reading data.\n"),
            std::string::npos);
}

TEST_F(FacadeTest, ReadErrorsGiveTheSameResultWithAnError) {
  cursor().locate(3);  // the unreadable record
  testing::internal::CaptureStderr();
  EXPECT_EQ(cursor().read(4096, &received_), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "[ERROR  ] [MISC  ] Failed to Read data: 3/11/00.\n"),
            std::string::npos);
  // A record longer than the buffer (the drive's reads clear SILI, so every drive reports it):
  // none of it is taken, and the error names both lengths.
  cursor().locate(4);
  testing::internal::CaptureStderr();
  EXPECT_EQ(cursor().read(50, &received_), 1);
  EXPECT_EQ(received_, 0u);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "[ERROR  ] [MISC  ] Block 4 is 100 bytes long, longer than the 50 bytes read: its "
                "data is not used.\n"),
            std::string::npos);
  cursor().space(SPACE_END_OF_DATA, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(cursor().read(4096, &received_), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to Read data: 8/00/05.\n"),
            std::string::npos);
}

TEST_F(FacadeTest, PositioningCommands) {
  ST_SPTI_CMD_POSITIONDATA pos{};
  cursor().head(1);
  cursor().read_position(&pos);
  EXPECT_EQ(pos.partitionNumber, 1u);
  EXPECT_EQ(pos.blockNumber, 0u);
  EXPECT_EQ(pos.bop, 1);
  cursor().head(0);
  cursor().space(SPACE_END_OF_DATA, 0);
  cursor().space(SPACE_FILEMARKS, static_cast<uint32_t>(-2));
  cursor().space(SPACE_FILEMARKS, 1);
  cursor().read_position(&pos);
  EXPECT_EQ(pos.blockNumber, 2u);
  EXPECT_EQ(pos.fileNumber, 1u);
  cursor().locate(4);
  EXPECT_EQ(cursor().read(4096, &received_), 0);
  EXPECT_EQ(received_, 100u);
}

TEST_F(FacadeTest, PositioningFailuresEndTheRun) {
  EXPECT_EXIT(RUN_ENDS(cursor().locate(99)), testing::ExitedWithCode(1),
              "Failed to locate to Block address: 99.\n");
  EXPECT_EXIT(RUN_ENDS(cursor().head(2)), testing::ExitedWithCode(1),
              "Failed to locate partition 2.\n");
  EXPECT_EXIT(RUN_ENDS(cursor().space(SPACE_FILEMARKS, 5)), testing::ExitedWithCode(1),
              "Failed to move on tape.\n");
  // An address beyond 32 bits goes out whole (LOCATE(16)), never cut to block 0.
  EXPECT_EXIT(RUN_ENDS(cursor().locate(uint64_t{1} << 32)), testing::ExitedWithCode(1),
              "Failed to locate to Block address: 4294967296.\n");
}

// Two drives in one process, each with its own object: reads of one never move the other's
// cursor, and each reads its own cartridge.
TEST_F(FacadeTest, TwoDrivesReadInterleaved) {
  testutil::TempDir other_dir;
  vtape::PartitionWriter p0(other_dir / "p0.tap");
  for (uint8_t tag : {7, 8, 9}) p0.record(pattern(30, tag));
  p0.filemark();
  p0.close();
  vtape::PartitionWriter p1(other_dir / "p1.tap");
  p1.filemark();
  p1.close();
  vtape::write_manifest(manifest, other_dir.path());
  TapeDrive other(tape_device_open(other_dir.path().c_str()));
  ASSERT_GE(other.fd(), 0);
  TapeCursor& mine = cursor();
  TapeCursor& theirs = other.cursor();
  mine.head(0);
  theirs.head(0);
  uint32_t count = 0;
  ASSERT_EQ(mine.read(4096, &count), 0);
  EXPECT_EQ(count, 80u);
  ASSERT_EQ(theirs.read(4096, &count), 0);
  EXPECT_EQ(count, 30u);
  EXPECT_EQ(theirs.block()[0], pattern(30, 7)[0]);
  ASSERT_EQ(mine.read(4096, &count), 1);  // the filemark of this cartridge
  ASSERT_EQ(theirs.read(4096, &count), 0);
  EXPECT_EQ(theirs.block()[0], pattern(30, 8)[0]);
  EXPECT_EQ(mine.position(), 2u);
  EXPECT_EQ(theirs.position(), 2u);
  ASSERT_EQ(mine.read(4096, &count), 0);
  EXPECT_EQ(count, 10u);
  EXPECT_TRUE(mine.holds_block(2));
  EXPECT_TRUE(theirs.holds_block(1));
}

// ---------------------------------------------------------------------------------------------
// Tape generation from the volume personality.

class GenerationTest : public CommandTest {
 protected:
  std::string generation_of(const std::string& personality) {
    manifest.volume_personality = personality;
    open_standard();
    char gen[2] = {'?', '?'};
    EXPECT_EQ(get_tape_generation(dev(), gen), 0);
    return std::string(gen, 2);
  }
};

TEST_F(GenerationTest, UltriumPersonality) { EXPECT_EQ(generation_of("Ultrium-5"), "L5"); }

TEST_F(GenerationTest, LtoPersonality) { EXPECT_EQ(generation_of("LTOM8"), "M8"); }

TEST_F(GenerationTest, ShortLtoPersonalityEndsAtTheZeroByte) {
  EXPECT_EQ(generation_of("LTO"), std::string(2, '\0'));
}

TEST_F(GenerationTest, OtherPersonalityEndsTheRun) {
  manifest.volume_personality = "DAT-72 and more";
  open_standard();
  char gen[2];
  EXPECT_EXIT(RUN_ENDS(get_tape_generation(dev(), gen)), testing::ExitedWithCode(1),
              "Volume personality is not correct.\\(DAT-72 an\\)\n");
}

TEST_F(GenerationTest, FailedLogSenseLeavesAnEmptyPersonality) {
  manifest.faults.log_sense = false;
  open_standard();
  char gen[2];
  EXPECT_EXIT(RUN_ENDS(get_tape_generation(dev(), gen)), testing::ExitedWithCode(1),
              "Volume personality is not correct.\\(\\)\n");
}

}  // namespace

// The virtual library through the SG_IO seam: the changer's answers read with the command layer's
// own decoders, moves and their errors, drives that follow the changer's moves (loading, not
// ready, unloading, incompatible cartridges), the drive time of moves, loads and unloads, and the
// library's files refused when they break their rules.
#include <gtest/gtest.h>

#include <array>
#include <tuple>

#include "cartridge/library_builder.h"
#include "scsi/changer.h"
#include "scsi/scsi_decode.h"
#include "unit/cartridge_fixture.h"
#include "vdrive/library_state.h"

namespace {

using namespace cartridge_test;
using scsi::changer::ElementType;

constexpr uint16_t kSlot = 0x1000;
constexpr uint16_t kDrive = 0x0100;
constexpr uint16_t kImportExport = 0x0010;

// "K/AA/QQ" of a reply, "GOOD" when it ended so.
std::string outcome(const Response& r) {
  if (r.rc != 0) return "rc " + std::to_string(r.rc);
  if (r.hdr.status == 0) return "GOOD";
  const scsi::SenseData s = scsi::parse_sense(r.sense);
  char text[16];
  std::snprintf(text, sizeof(text), "%X/%02X/%02X", s.key, s.asc, s.ascq);
  return text;
}

template <size_t N>
std::vector<uint8_t> bytes(const std::array<uint8_t, N>& cdb) {
  return {cdb.begin(), cdb.end()};
}

class LibraryTest : public ::testing::Test {
 protected:
  // Slots 1000h..1003h: an LTO-8 cartridge "AAA001L8", an LTO-7 one without a barcode, an LTO-9
  // one, an empty slot; drive 0 of generation 8, drive 1 of generation 9; one import/export slot;
  // the third MOVE MEDIUM fails with 4/15/01.
  void SetUp() override {
    set_vl(verbosity_);
    vtape::LibraryDescription d;
    d.cartridges = {{"c1", 8, "AAA001L8"}, {"c2", 7, ""}, {"c3", 9, "CCC003L9"}};
    d.empty_slots = 1;
    d.drives = {8, 9};
    d.import_export = 1;
    d.move_errors = {{2, {0x4, 0x15, 0x01}}};
    vtape::build_library(d, dir_.path());
    changer_ = open(dir_.path());
  }
  void TearDown() override {
    for (int fd : open_) tape_device_close(fd);
  }
  int open(const std::string& path) {
    const int fd = tape_device_open(path.c_str());
    EXPECT_GE(fd, 0) << path;
    open_.push_back(fd);
    return fd;
  }
  int drive(int k) { return open(dir_ / ("drive" + std::to_string(k))); }
  std::string move(uint16_t from, uint16_t to) {
    return outcome(send(changer_, bytes(scsi::changer::move_medium_cdb(0, from, to))));
  }
  scsi::changer::ElementReport inventory() {
    const Response r =
        send(changer_, bytes(scsi::changer::read_element_status_cdb({}, 4096)), 4096);
    EXPECT_EQ(outcome(r), "GOOD");
    std::string error;
    const auto report = scsi::changer::decode_element_status(r.data, &error);
    EXPECT_TRUE(report && report->complete) << error;
    return report.value_or(scsi::changer::ElementReport{});
  }
  vdrive::Counters counters(int fd) {
    vdrive::Counters c;
    EXPECT_TRUE(vdrive::drive_counters(fd, &c));
    return c;
  }

  testutil::TempDir dir_;
  int changer_ = -1;
  std::vector<int> open_;
  char verbosity_[8] = "";
};

const std::vector<uint8_t> kTestUnitReady = {0, 0, 0, 0, 0, 0};

TEST_F(LibraryTest, ChangerReportsItsElementsBarcodesAndDriveIdentifiers) {
  const Response inquiry = send(changer_, {0x12, 0, 0, 0, 36, 0}, 36);
  const InquiryIdentity identity = decode_inquiry(inquiry.data);
  EXPECT_EQ(identity.device_type, 0x08);
  EXPECT_EQ(identity.product, "VIRTUAL LIBRARY ");
  const Response mode = send(changer_, {0x1A, 0, 0x1D, 0, 255, 0}, 255);
  const auto assignment = scsi::changer::decode_element_assignment(mode.data);
  ASSERT_TRUE(assignment);
  EXPECT_EQ(std::tie(assignment->robot.first, assignment->robot.count), std::tuple(0, 1));
  EXPECT_EQ(std::tie(assignment->storage.first, assignment->storage.count), std::tuple(kSlot, 4));
  EXPECT_EQ(std::tie(assignment->import_export.first, assignment->import_export.count),
            std::tuple(kImportExport, 1));
  EXPECT_EQ(std::tie(assignment->drive.first, assignment->drive.count), std::tuple(kDrive, 2));

  const scsi::changer::ElementReport report = inventory();
  ASSERT_EQ(report.elements.size(), 8u);  // in address order: robot, import/export, drives, slots
  const std::vector<std::tuple<ElementType, uint16_t, bool, std::string, std::string>> expected = {
      {ElementType::robot, 0, false, "", ""},
      {ElementType::import_export, kImportExport, false, "", ""},
      {ElementType::drive, kDrive, false, "", "drive0"},
      {ElementType::drive, kDrive + 1, false, "", "drive1"},
      {ElementType::storage, kSlot, true, "AAA001L8", ""},
      {ElementType::storage, kSlot + 1, true, "", ""},  // no barcode: a blank label
      {ElementType::storage, kSlot + 2, true, "CCC003L9", ""},
      {ElementType::storage, kSlot + 3, false, "", ""}};
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto& e = report.elements[i];
    EXPECT_EQ(std::tuple(e.type, e.address, e.full, e.volume_tag.value_or("?"), e.identifier),
              expected[i])
        << i;
  }
  // One type from a starting address, and a start beyond every slot.
  const Response slots = send(
      changer_,
      bytes(scsi::changer::read_element_status_cdb({ElementType::storage, kSlot + 2}, 512)), 512);
  std::string error;
  EXPECT_EQ(scsi::changer::decode_element_status(slots.data, &error)->elements.size(), 2u);
  EXPECT_EQ(outcome(send(changer_,
                         bytes(scsi::changer::read_element_status_cdb(
                             {ElementType::storage, kSlot + 9}, 512)),
                         512)),
            "5/21/01");
}

TEST_F(LibraryTest, MovesAndTheirErrors) {
  const struct {
    uint16_t from, to;
    const char* outcome;
  } moves[] = {
      {kSlot, kDrive, "GOOD"},
      {kSlot, kDrive + 1, "5/3B/0E"},      // the source is empty
      {kSlot + 1, kDrive, "4/15/01"},      // the third move fails as injected, moving nothing
      {kSlot + 1, kDrive, "5/3B/0D"},      // the destination is full
      {kSlot + 9, kDrive + 1, "5/21/01"},  // no element there
      {kSlot + 1, 0, "5/21/01"},           // the robot holds nothing
      {kSlot + 2, kImportExport, "GOOD"},
      {kImportExport, kSlot + 3, "GOOD"},
  };
  for (const auto& m : moves) EXPECT_EQ(move(m.from, m.to), m.outcome) << m.from << " " << m.to;
  const scsi::changer::ElementReport report = inventory();
  EXPECT_EQ(report.elements[2].volume_tag, "AAA001L8");  // drive 0
  EXPECT_EQ(report.elements[2].source, kSlot);
  EXPECT_EQ(report.elements[7].volume_tag, "CCC003L9");  // the last slot, by way of 0010h
  EXPECT_EQ(report.elements[7].source, kImportExport);
  const vdrive::Counters c = counters(changer_);
  EXPECT_EQ(c.moves, 3u);
  EXPECT_EQ(c.drive_microseconds, 30'000'000u);  // 10 s a move
}

TEST_F(LibraryTest, DriveFollowsTheChangerLoadsAndUnloads) {
  const int d0 = drive(0);
  EXPECT_EQ(outcome(send(d0, kTestUnitReady)), "2/3A/00");
  ASSERT_EQ(move(kSlot, kDrive), "GOOD");
  // Loaded by the move: two TEST UNIT READYs while it becomes ready, then the cartridge's own
  // answers.
  EXPECT_EQ(outcome(send(d0, kTestUnitReady)), "2/04/01");
  EXPECT_EQ(outcome(send(d0, kTestUnitReady)), "2/04/01");
  EXPECT_EQ(outcome(send(d0, kTestUnitReady)), "GOOD");
  const Response read = send(d0, {0x08, 0x02, 0, 0x10, 0, 0}, 4096);
  EXPECT_EQ(outcome(read), "GOOD");
  EXPECT_EQ(read.data.size(), 80u);                             // the VOL1 label
  EXPECT_EQ(outcome(send(d0, {0x1E, 0, 0, 0, 1, 0})), "GOOD");  // prevent removal
  EXPECT_EQ(move(kDrive, kSlot), "5/53/02");
  EXPECT_EQ(outcome(send(d0, bytes(scsi::changer::load_unload_cdb(false)))), "5/53/02");
  EXPECT_EQ(outcome(send(d0, {0x1E, 0, 0, 0, 0, 0})), "GOOD");
  EXPECT_EQ(outcome(send(d0, bytes(scsi::changer::load_unload_cdb(false)))), "GOOD");
  EXPECT_EQ(outcome(send(d0, kTestUnitReady)), "2/04/02");
  EXPECT_EQ(outcome(send(d0, bytes(scsi::changer::load_unload_cdb(true)))), "GOOD");
  EXPECT_EQ(outcome(send(d0, kTestUnitReady)), "GOOD");
  EXPECT_EQ(outcome(send(d0, bytes(scsi::changer::load_unload_cdb(false)))), "GOOD");
  EXPECT_EQ(move(kDrive, kSlot), "4/15/01");  // the third move fails once, as injected
  EXPECT_EQ(outcome(send(d0, kTestUnitReady)), "2/04/02");
  EXPECT_EQ(move(kDrive, kSlot), "GOOD");
  EXPECT_EQ(outcome(send(d0, kTestUnitReady)), "2/3A/00");
  EXPECT_EQ(outcome(send(d0, {0x12, 0, 0, 0, 36, 0}, 36)), "GOOD");  // INQUIRY: always
  const vdrive::Counters c = counters(d0);
  EXPECT_EQ(std::tie(c.loads, c.unloads), std::tuple(2u, 2u));
  EXPECT_TRUE(c.bytes_read == 80u && c.read == 1u);  // the cartridge's counts go on
  // Two loads (16 s), two unloads (a rewind: 3 s, and 20 s), six other commands of 1 ms.
  EXPECT_NEAR(static_cast<double>(c.drive_microseconds) / 1e6,
              2 * 16 + 2 * 23 + 0.000001 * 80 / 400 + 0.006, 0.01);
  EXPECT_FALSE(c.removal_prevented);
}

TEST_F(LibraryTest, DriveRefusesAGenerationItCannotReadAndTheChangerSaysSo) {
  const int d1 = drive(1);
  ASSERT_EQ(move(kSlot + 1, kDrive + 1), "GOOD");  // LTO-7 into an LTO-9 drive
  EXPECT_EQ(outcome(send(d1, kTestUnitReady)), "2/30/00");
  EXPECT_EQ(outcome(send(d1, bytes(scsi::changer::load_unload_cdb(false)))), "2/30/00");
  const scsi::changer::ElementStatus held = inventory().elements[3];  // drive 1
  EXPECT_TRUE(held.full && held.except);
  EXPECT_EQ(std::tie(held.asc, held.ascq), std::tuple(0x30, 0x00));
  // Taken out without an unload (the changer pays for it), and into a drive of generation 8.
  ASSERT_EQ(move(kDrive + 1, kSlot + 1), "GOOD");
  ASSERT_EQ(move(kSlot + 1, kDrive), "4/15/01");
  ASSERT_EQ(move(kSlot + 1, kDrive), "GOOD");
  const int d0 = drive(0);
  for (int i = 0; i < 2; ++i) send(d0, kTestUnitReady);
  EXPECT_EQ(outcome(send(d0, kTestUnitReady)), "GOOD");
  EXPECT_EQ(counters(changer_).unloads, 1u);
}

TEST(LibraryFilesTest, BrokenLibraryAndStateFilesAreRefusedWithWhatIsWrong) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {R"({"slots": [], "drives": []})", "member \"vlibrary\" is missing"},
      {R"({"vlibrary": 1, "slots": ["a", "a"], "drives": []})",
       "slot 2 of \"slots\" names \"a\", which another slot holds already"},
      {R"({"vlibrary": 1, "slots": ["/abs"], "drives": []})",
       "slot 1 of \"slots\" must be null or a cartridge directory relative to the library"},
      {R"({"vlibrary": 1, "slots": [], "drives": [{"generation": 0}]})",
       "member \"generation\" in drive 0 of \"drives\" is out of range (1 to 99)"},
      {R"({"vlibrary": 1, "slots": [], "drives": [], "faults": {"move_error": [{"after": 0, "sense": [16, 0, 0]}]}})",
       "member \"sense\" in entry 0 of \"move_error\" in \"faults\" must be [KEY, ASC, ASCQ]"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(vdrive::parse_library(c.text, &error));
    EXPECT_EQ(error, c.error);
  }
  std::string error;
  const auto config = vdrive::parse_library(
      R"({"vlibrary": 1, "slots": ["a", null], "drives": [{"generation": 8}]})", &error);
  ASSERT_TRUE(config) << error;
  vdrive::LibraryState state = vdrive::initial_state(*config);
  EXPECT_EQ(vdrive::parse_state(vdrive::state_json(state), *config, &error), state);
  state.slots[1].cartridge = "a";  // placed twice
  EXPECT_FALSE(vdrive::parse_state(vdrive::state_json(state), *config, &error));
  EXPECT_EQ(error,
            "\"a\" in entry 1 of \"slots\" is no cartridge of the library, or one placed twice");
}

TEST(LibraryFilesTest, GenerationsAndElementAddresses) {
  EXPECT_EQ(vdrive::cartridge_generation("Ultrium-8"), 8u);
  EXPECT_EQ(vdrive::cartridge_generation("LTO10"), 10u);
  EXPECT_FALSE(vdrive::cartridge_generation("Ultrium"));
  EXPECT_TRUE(vdrive::drive_reads(9, 8));
  EXPECT_FALSE(vdrive::drive_reads(9, 7));
  EXPECT_FALSE(vdrive::drive_reads(8, 9));
  vdrive::LibraryConfig config;
  config.slots.resize(3);
  config.drives = {8};
  EXPECT_EQ(vdrive::element_at(config, 0x1002), (vdrive::Element{vdrive::ElementType::storage, 2}));
  EXPECT_FALSE(vdrive::element_at(config, 0x1003));
  EXPECT_FALSE(vdrive::element_at(config, 0x0010));  // no import/export slot
  EXPECT_EQ(vdrive::element_at(config, 0x0100), (vdrive::Element{vdrive::ElementType::drive, 0}));
}

}  // namespace

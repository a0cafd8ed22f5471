// Opening the drive and checking the cartridge memory, run end to end on virtual cartridges: what
// a sound cartridge prints at every verbosity, each cartridge-memory finding with its exact
// warning, the drive that needs several TEST UNIT READY attempts, names that are no tape device,
// broken cartridges, and the free-space margin.
#include <sys/statvfs.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "e2e/reader_e2e.h"

namespace {

using e2e::kIndent;
using e2e::Tape;
using e2e::Workspace;
using testutil::RunResult;
using testutil::strip_headers;

constexpr uint16_t kVci = 0x080C;
constexpr uint16_t kApplicationName = 0x0801;
constexpr uint16_t kMediaPool = 0x0821;

class DriveAndMam : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sound_ = e2e::build_tape(e2e::small_description()).release(); }
  static void TearDownTestSuite() {
    delete sound_;
    sound_ = nullptr;
  }

  // A sound tape whose cartridge memory (or drive) a test changes.
  static std::unique_ptr<Tape> tape_with(const vtape::Deviations& deviations) {
    return e2e::build_tape(e2e::small_description(), deviations);
  }

  // The value of the volume coherency information the builder wrote for `partition`.
  static std::vector<uint8_t> sound_vci(int partition) {
    return sound_->manifest.find_attribute(partition, kVci)->value;
  }

  static Tape* sound_;
  Workspace ws_;
};

Tape* DriveAndMam::sound_ = nullptr;

// What the SCSI layer reports for a command that ends in CHECK CONDITION with a sense key.
std::string check_condition(const std::string& key, const std::string& asc_ascq,
                            const std::string& opcode) {
  return "[WARNING] [MISC  ] CHECK CONDITION: A problem occurred during command processing.\n"
         "[WARNING] [MISC  ] Sense Key " +
         key + "\n[WARNING] [MISC  ] ASC ASCQ: " + asc_ascq + " (cdb: 0x" + opcode + ")\n";
}
const std::string kMediumErrorOnReadAttribute = check_condition("3 (Medium Error)", "11 00", "8C");
const std::string kNotReady = check_condition("2 (Not Ready)", "04 01", "00");
const std::string kBusy =
    "[WARNING] [MISC  ] BUSY: The drive is unable to accept the command at this time.\n";

// The lines of a run's output between the trace lines that open and close the cartridge memory
// check.
std::string mam_check_lines(const std::string& out) {
  const std::string text = strip_headers(out);
  const size_t start = text.find("start:clf_check_mam_coherency\n");
  const size_t end = text.find("end  :clf_check_mam_coherency\n");
  if (start == std::string::npos || end == std::string::npos || end < start) return "";
  const size_t line_start = text.rfind('\n', start) + 1;
  return text.substr(line_start, text.find('\n', end) + 1 - line_start);
}

TEST_F(DriveAndMam, SoundCartridgePrintsOnlyTracesAtEveryVerbosity) {
  for (const std::string& verbose : e2e::all_verbosities()) {
    SCOPED_TRACE("-v '" + verbose + "'");
    const RunResult r = e2e::dump(ws_, sound_->path(), verbose);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string device_line =
        "[INFO   ] [MISC  ] Device: " + sound_->path() + " is opened.\n";
    if (verbose == "vvvvvv") {
      EXPECT_NE(strip_headers(r.out).find(device_line), std::string::npos);
      const std::string check = mam_check_lines(r.out);
      ASSERT_NE(check, "");
      // Every line of the cartridge memory check is a trace line.
      for (size_t at = 0; at < check.size(); at = check.find('\n', at) + 1) {
        EXPECT_EQ(check.compare(at, 19, "[TRACE  ] [MISC  ] "), 0) << check.substr(at, 80);
      }
    } else {
      EXPECT_EQ(r.out.find("Device: "), std::string::npos);
      EXPECT_EQ(r.out.find("clf_check_mam_coherency"), std::string::npos);
    }
  }
}

TEST_F(DriveAndMam, VolumeChangeReferenceOfFourBytesIsNotTakenButTheCountsAre) {
  // The reference partition's VCI says its volume change reference is 4 bytes long and counts 5
  // partial references (the tape and the other VCI hold 3).
  std::vector<uint8_t> vci = sound_vci(0);
  vci[0] = 4;
  vci[9 + 7] = 5;  // low byte of the volume coherency count
  vtape::Deviations dev;
  dev.attributes.push_back(e2e::attribute_value(0, kVci, vci));
  const auto tape = tape_with(dev);
  const RunResult r = e2e::dump(ws_, tape->path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(strip_headers(r.err),
            "[WARNING] [MISC  ] MAM VCI VCR size 4 should be 8\n"
            "[WARNING] [MISC  ] MAM VCI Partial Reference number mismatch RP[5] DP[3]\n"
            "[WARNING] [MISC  ] MAM VCR mismatch.\n" +
                kIndent + "VCI[RP] [0]\n" + kIndent + "VCI[DP] [1]\n" + kIndent +
                "VCR     [1]\n"
                // The last reference commit marker is checked by the run preparation and again by
                // the walk.
                "[WARNING] [RCM   ] Number of Partial Reference is inconsistent. RCM: 3, MAM: 5\n"
                "[WARNING] [RCM   ] Number of Partial Reference is inconsistent. RCM: 3, MAM: 5\n");
}

TEST_F(DriveAndMam, OnlyTheDataPartitionVciReadable) {
  // Every READ ATTRIBUTE of partition 0 fails: its VCI, the volume change reference and the
  // host-type attributes are each reported once, and nothing is compared with them.
  vtape::Deviations dev;
  dev.faults.read_attribute = {0};
  const auto tape = tape_with(dev);
  const RunResult r = e2e::dump(ws_, tape->path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(strip_headers(r.err),
            kMediumErrorOnReadAttribute +
                "[WARNING] [MISC  ] Failed to access Medium Auxiliary Memory Volume Coherency "
                "Information in Cartridge Memory.\n" +
                kMediumErrorOnReadAttribute +
                "[WARNING] [MISC  ] Failed to access Medium Auxiliary Memory Volume Change "
                "Reference in Cartridge Memory.\n" +
                kMediumErrorOnReadAttribute +
                "[WARNING] [MISC  ] Failed to access Medium Auxiliary Memory Host-type Attribute "
                "in Cartridge Memory.\n");
}

TEST_F(DriveAndMam, VolumeChangeReferenceComparedWithTheReadableVciAlone) {
  // Only the READ ATTRIBUTE of the reference partition's VCI (the second one: the first learns
  // what names the cartridge) fails: the drive stays BUSY through the five retries. The data
  // partition's VCI agrees with the drive's volume change reference, so no mismatch is reported
  // although the unread VCI holds 0.
  vtape::Deviations dev;
  std::string busy;
  for (uint64_t k = 0; k < 6; ++k) {
    dev.faults.status.push_back({.opcode = 0x8C, .after = k + 1, .value = 0x08});
    busy += kBusy;
    if (k < 5) {
      busy += "[WARNING] [MISC  ] READ ATTRIBUTE: the drive answered BUSY. It is sent again in "
              "1000 ms (" +
              std::to_string(k + 1) + " of 5).\n";
    }
  }
  const auto tape = tape_with(dev);
  RunResult r = e2e::dump(ws_, tape->path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(strip_headers(r.err), busy +
                                      "[WARNING] [MISC  ] Failed to access Medium Auxiliary "
                                      "Memory Volume Coherency Information in Cartridge Memory.\n");

  // With a data partition VCI that disagrees, the mismatch names it and the drive's value.
  std::vector<uint8_t> vci = sound_vci(1);
  vci[8] = 7;  // low byte of the volume change reference value
  dev.attributes.push_back(e2e::attribute_value(1, kVci, vci));
  const auto other = tape_with(dev);
  r = e2e::dump(ws_, other->path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(strip_headers(r.err),
            busy +
                "[WARNING] [MISC  ] Failed to access Medium Auxiliary Memory Volume Coherency "
                "Information in Cartridge Memory.\n"
                "[WARNING] [MISC  ] MAM VCR mismatch.\n" +
                kIndent + "VCI[RP] [0]\n" + kIndent + "VCI[DP] [7]\n" + kIndent + "VCR     [1]\n");
}

TEST_F(DriveAndMam, ApplicationNameRules) {
  // 28 characters and 4 zero bytes: one warning per zero byte.
  std::vector<uint8_t> name(32, 0);
  const std::string text = "Quorrant Archive Writer 2024";
  ASSERT_EQ(text.size(), 28u);
  std::memcpy(name.data(), text.data(), text.size());
  vtape::Deviations dev;
  dev.attributes.push_back(e2e::attribute_value(0, kApplicationName, name));
  auto tape = tape_with(dev);
  RunResult r = e2e::dump(ws_, tape->path());
  EXPECT_EQ(r.status, 0);
  std::string expected;
  for (int pos = 28; pos < 32; ++pos) {
    expected +=
        "[WARNING] [MISC  ] Application name in Medium Auxiliary Memory Host-type "
        "Attributes has invalid value 0x00 at " +
        std::to_string(pos) + ".\n";
  }
  EXPECT_EQ(strip_headers(r.err), expected);

  // Another application's name, blank-padded.
  std::string other = "Archiver";
  other.resize(32, ' ');
  dev.attributes[0].value = std::vector<uint8_t>(other.begin(), other.end());
  tape = tape_with(dev);
  r = e2e::dump(ws_, tape->path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(strip_headers(r.err), "[WARNING] [MISC  ] Application name \"" + other +
                                      "\" in Medium Auxiliary Memory Host-type Attributes should "
                                      "start with \"Quorrant \"\n");
}

TEST_F(DriveAndMam, VolumeUuidOfTheDataPartitionVciDiffers) {
  std::vector<uint8_t> vci = sound_vci(1);
  const vtape::Uuid other = vtape::derived_uuid(99, vtape::UuidDomain::volume, 0);
  std::copy(other.begin(), other.end(), vci.begin() + 36);
  vtape::Deviations dev;
  dev.attributes.push_back(e2e::attribute_value(1, kVci, vci));
  const auto tape = tape_with(dev);
  const RunResult r = e2e::dump(ws_, tape->path());
  EXPECT_EQ(r.status, 0);
  const std::string mine = vtape::uuid_text(tape->layout.volume_uuid);
  const std::string theirs = vtape::uuid_text(other);
  EXPECT_EQ(strip_headers(r.err),
            "[WARNING] [MISC  ] MAM VCI Volume UUID mismatch RP[" + mine + "] DP[" + theirs +
                "]\n"
                "[WARNING] [MISC  ] Volume UUID is inconsistent in Medium Auxiliary Memory\n" +
                kIndent + "Volume Coherency Information of Data Partition:      " + theirs + "\n" +
                kIndent + "Host-type Attributes:                                " + mine + "\n");
}

TEST_F(DriveAndMam, AllZeroPoolGroupEndsTheRun) {
  std::vector<uint8_t> pool = sound_->manifest.find_attribute(0, kMediaPool)->value;
  std::fill(pool.begin() + 16, pool.begin() + 32, 0);
  vtape::Deviations dev;
  dev.attributes.push_back(e2e::attribute_value(0, kMediaPool, pool));
  const auto tape = tape_with(dev);
  const RunResult r = e2e::dump(ws_, tape->path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(strip_headers(r.err),
            "[ERROR  ] [MISC  ] The format of Pool Group ID is not correct.It can not be zero "
            "filled.\n"
            "[ERROR  ] [MISC  ] MAM Check Error\n"
            "[SYS_ERR] [COMMON] Tape Drive is not accessible.\n");
  // The run ended before the reference partition was read.
  EXPECT_FALSE(testutil::exists(ws_.cache("VOL1Label")));
}

// What the drive answers TEST UNIT READY at opening, and what the run makes of it: a drive that
// is loading is waited for (said once), unit attentions are sent again without counting as
// attempts, no cartridge or an unloaded one ends the run at once, and a drive that stays BUSY gets
// the four attempts.
TEST_F(DriveAndMam, ReadinessAtOpening) {
  const auto tape_path = [](const Tape& t) { return t.path(); };
  const std::string waits = "[WARNING] [MISC  ] The drive %s is not ready yet: check condition "
                            "2/04/01 (becoming ready). The program waits up to 180 s for it, "
                            "asking once a second.\n";
  const auto ua = [](int n, const std::string& sense) {
    return "[WARNING] [MISC  ] TEST UNIT READY met a unit attention " + sense +
           ". It was not executed and is sent again (" + std::to_string(n) + " of 3).\n";
  };
  const auto faults = [](const std::function<void(vtape::Faults&)>& set) {
    vtape::Faults f;
    set(f);
    return f;
  };
  const struct {
    const char* what;
    vtape::Faults faults;
    int status;
    std::string err;  // %s stands for the cartridge
  } cases[] = {
      {"loading for two seconds", faults([](vtape::Faults& f) { f.not_ready = 2; }), 0, waits},
      {"loading for longer than 180 s", faults([](vtape::Faults& f) { f.not_ready = 181; }), 1,
       waits + "[SYS_ERR] [MISC  ] The drive %s did not become ready within 180 s: check "
               "condition 2/04/01 (becoming ready).\n" + kIndent +
           "A first load may take longer: give --ready-wait more seconds.\n"},
      {"two unit attentions",
       faults([](vtape::Faults& f) { f.unit_attention = {{0x28, 0x00}, {0x29, 0x00}}; }), 0,
       ua(1, "6/28/00 (the cartridge may have changed)") +
           ua(2, "6/29/00 (power on, reset or bus reset)")},
      {"no cartridge", faults([](vtape::Faults& f) { f.no_medium = true; }), 1,
       "[SYS_ERR] [MISC  ] There is no cartridge in the drive %s: check condition 2/3A/00 (no "
       "cartridge in the drive).\n"},
      {"a cartridge not loaded", faults([](vtape::Faults& f) { f.needs_load = true; }), 1,
       "[SYS_ERR] [MISC  ] The cartridge in the drive %s is present but not loaded: check "
       "condition 2/04/02 (the cartridge is not loaded).\n" +
           kIndent + "Load it and run the program again.\n"},
      {"BUSY for ever",
       faults([](vtape::Faults& f) {
         for (uint64_t k = 0; k < 24; ++k) f.status.push_back({0x00, k, 0x08});
       }),
       1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vtape::Deviations dev;
    dev.faults = c.faults;
    const auto tape = tape_with(dev);
    const RunResult r = e2e::dump(ws_, tape_path(*tape));
    EXPECT_EQ(r.status, c.status);
    std::string expected = c.err;
    for (size_t at; (at = expected.find("%s")) != std::string::npos;) {
      expected.replace(at, 2, tape->path());
    }
    const std::string err = strip_headers(r.err);
    if (!c.err.empty()) {
      EXPECT_EQ(err, expected);
      continue;
    }
    // Four attempts of six BUSY answers each, a second apart, then the end of the run.
    EXPECT_EQ(testutil::count(err, kBusy), 24u) << err;
    EXPECT_EQ(testutil::count(err, "[WARNING] [MISC  ] Failed to test unit ready.\n"), 4u);
    EXPECT_TRUE(err.ends_with("[WARNING] [MISC  ] Failed to test unit ready.\n"
                              "[SYS_ERR] [MISC  ] Failed to open the device you specified.\n"))
        << err;
  }
}

// Each name that is no drive is told apart: missing, a directory that is no cartridge, a file, a
// device of another driver, no name.
TEST_F(DriveAndMam, NamesThatAreNeitherTapeDevicesNorCartridges) {
  testutil::TempDir dir;
  testutil::write_file(dir / "file", "not a tape");
  const std::pair<std::string, std::string> cases[] = {
      {dir / "missing", "it cannot be found (No such file or directory)"},
      {dir / "file", "it is neither a SCSI generic node nor a virtual cartridge"},
      {dir.path(), "it is a directory without cartridge.json, no virtual cartridge"},
      {"/dev/null", "it is a character device of no SCSI tape or SCSI generic driver"},
      {"", "no name was given"},
  };
  for (const auto& [name, why] : cases) {
    SCOPED_TRACE(name);
    const RunResult r = e2e::dump(ws_, name);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(strip_headers(r.err), "[SYS_ERR] [MISC  ] Can't find tape device(" + name + ").\n" +
                                        kIndent + "Check option '-d': " + why + ".\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(DriveAndMam, BrokenCartridgesAreRefusedWithoutACrash) {
  struct Case {
    const char* what;
    std::string manifest;  // empty: keep the sound one
    bool remove_p0;        // the partition file p0.tap is missing
    std::string message;   // what the refusal must mention
  };
  const std::vector<Case> cases = {
      {"manifest that does not parse", "{\"vtape\": 1, \"partitions\": [", false,
       "cartridge.json"},
      {"manifest of another version", "{\"vtape\": 2}", false, "cartridge.json"},
      {"manifest that is not an object", "[]", false, "cartridge.json"},
      {"missing partition file", "", true, "p0.tap"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testutil::TempDir dir;
    for (const char* name : {"cartridge.json", "p0.tap", "p1.tap"}) {
      std::filesystem::copy_file(sound_->dir / name, dir / name);
    }
    if (!c.manifest.empty()) testutil::write_file(dir / "cartridge.json", c.manifest);
    if (c.remove_p0) std::filesystem::remove(dir / "p0.tap");
    const RunResult r = e2e::dump(ws_, dir.path());
    EXPECT_EQ(r.status, 1);
    const std::string err = strip_headers(r.err);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_NE(err.find("[SYS_ERR] [MISC  ] Can't open file: " + dir.path() + "\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(DriveAndMam, FreeSpaceMarginUnlessForced) {
  struct statvfs fs {};
  ASSERT_EQ(statvfs(ws_.save().c_str(), &fs), 0);
  const uint64_t free_bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  if (free_bytes >= 107374182400ULL) GTEST_SKIP() << "more than 100 GiB free here";

  for (const std::vector<std::string>& mode : {std::vector<std::string>{"-f"}, {"-r"}}) {
    const RunResult r = ws_.run(sound_->path(), mode);
    EXPECT_EQ(r.status, 1);
    // The free space is measured again by the run: only the message around the number is fixed.
    const std::string err = strip_headers(r.err);
    const std::string head = "[ERROR  ] [MISC  ] Disk space is not large enough: ";
    const std::string tail = " (GiB).\n" + kIndent +
                             "Specify --Force option or keep >100 GiB disk space.\n"
                             "[SYS_ERR] [COMMON] Failed to check the disk space.\n";
    ASSERT_GT(err.size(), head.size() + tail.size()) << err;
    EXPECT_EQ(err.substr(0, head.size()), head);
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
    const std::string gib = err.substr(head.size(), err.size() - head.size() - tail.size());
    EXPECT_LE(std::stoull(gib), 100u) << gib;
    // The drive was not opened.
    EXPECT_FALSE(testutil::exists(ws_.cache("VOL1Label")));
  }
  // A list run is not held to the margin: it needs room for its list files only.
  const RunResult list = ws_.run(sound_->path(), {"-l"});
  EXPECT_EQ(list.status, 0) << list.err;
  const RunResult forced = ws_.run(sound_->path(), {"-f", "-F"});
  EXPECT_EQ(forced.status, 0);
  EXPECT_EQ(forced.err, "");
}

}  // namespace

// What a real drive answers besides data, played by the virtual drive's faults: a cleaning
// request, TASK ABORTED, a cartridge reloaded or changed, fixed-block mode, a long first load,
// encryption without a key, a hardware error, a drive that does not tell the volume personality.
// A dump either gives every file a sound drive gives, or ends with one SYS_ERR that names the
// cause, every file already written whole; the cartridge is kept in the drive for the job and
// let go on every way out.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "e2e/reader_fixture.h"

namespace {

using testutil::RunResult;

constexpr uint8_t kRead = 0x08;

vtape::Faults faults(const std::function<void(vtape::Faults&)>& set) {
  vtape::Faults f;
  set(f);
  return f;
}

class DriveAnswersTest : public e2e::ReaderTest {
 protected:
  struct Outcome {
    RunResult run;
    std::string report;
  };

  // A full dump of a fresh small tape with `faults` and `args`, with a report.
  Outcome dump(const vtape::Faults& faults, std::vector<std::string> args = {}) {
    for (const std::string& dir : {cart(), work(), save()}) e2e::fs::remove_all(dir);
    vtape::Deviations deviations;
    deviations.faults = faults;
    build(e2e::small_description(), deviations);
    const std::string report = work() + "/report.json";
    args.insert(args.begin(), {"-f", "--report", report});
    Outcome o{reader(args), ""};
    o.report = testutil::read_file(report);
    return o;
  }

  static uint64_t figure(const std::string& report, const std::string& name) {
    const std::string tag = "\"" + name + "\":";
    const size_t at = report.find(tag, report.find("\"virtual_drive\""));
    EXPECT_NE(at, std::string::npos) << name;
    return at == std::string::npos ? 0 : std::stoull(report.substr(at + tag.size()));
  }

  // What a sound dump of the small tape costs: its commands and its READs.
  void count_sound_commands() {
    const Outcome sound = dump({});
    ASSERT_EQ(sound.run.status, 0) << sound.run.err;
    commands_ = figure(sound.report, "commands");
    reads_ = figure(sound.report, "reads");
  }

  uint64_t commands_ = 0;
  uint64_t reads_ = 0;
};

size_t lines_with(const std::string& err, const std::string& text) {
  size_t n = 0;
  for (const std::string& line : e2e::report_lines(err)) n += line.find(text) != std::string::npos;
  return n;
}

TEST_F(DriveAnswersTest, AnswersThatLetTheJobGoOn) {
  count_sound_commands();
  const struct {
    const char* what;
    vtape::Faults faults;
    std::vector<std::string> args;
    const char* said;  // the one WARNING line that must say it
    size_t errors = 0;
  } cases[] = {
      {"a cleaning request from the first command on", faults([](vtape::Faults& f) { f.cleaning_request = 0; }), {},
       "The drive asks to be cleaned (0/82/82 (the drive requires cleaning), with TEST UNIT "
       "READY)"},
      {"TASK ABORTED on a READ in the middle", faults([&](vtape::Faults& f) { f.status = {{kRead, reads_ / 2, 0x40}}; }), {},
       "READ(6) failed: TASK ABORTED."},
      {"the same cartridge reloaded in the middle",
       faults([&](vtape::Faults& f) { f.cartridge_change = {commands_ / 2, "."}; }), {},
       "it is the same cartridge, reloaded. The job goes on from where it stood."},
      {"a first load of 200 s with --ready-wait 300", faults([](vtape::Faults& f) { f.not_ready = 200; }), {"--ready-wait", "300"},
       "The program waits up to 300 s for it"},
      {"a drive left in fixed-block mode", faults([](vtape::Faults& f) { f.fixed_block_length = 4096; }), {}, nullptr},
      {"a READ that failed twice (deferred errors) is read again, not taken for a filemark",
       faults([](vtape::Faults& f) { f.deferred = {{kRead, 0}, {kRead, 1}}; }),
       {}, "was read on try 2.", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = dump(c.faults, c.args);
    EXPECT_EQ(o.run.status, 0) << o.run.err;
    e2e::expect_same_files(saved(), e2e::expected_dump(desc_, layout_));
    if (c.said != nullptr) {
      EXPECT_EQ(lines_with(o.run.err, c.said), 1u) << o.run.err;
    }
    EXPECT_EQ(lines_with(o.run.err, "[ERROR  ]"), c.errors) << o.run.err;
    EXPECT_EQ(lines_with(o.run.err, "[SYS_ERR]"), 0u) << o.run.err;
    EXPECT_EQ(figure(o.report, "prevent_removal"), 1u + (c.faults.cartridge_change ? 1u : 0u));
    EXPECT_EQ(figure(o.report, "allow_removal"), 1u);
  }
}

TEST_F(DriveAnswersTest, AnswersThatEndTheJobLeaveWholeFiles) {
  count_sound_commands();
  // Another cartridge, beside this one.
  vtape::Description other = e2e::small_description(3, 2);
  other.volume_id = "QT0002";
  e2e::fs::create_directories(tmp_ / "other");
  vtape::build_cartridge(other, tmp_ / "other", {});
  const uint64_t third_object = layout_.objects.at(2).meta_block;
  const struct {
    const char* what;
    vtape::Faults faults;
    int status;
    const char* said;  // the SYS_ERR line says it (nullptr: no SYS_ERR)
  } cases[] = {
      {"encryption without a key",
       faults([&](vtape::Faults& f) { f.encrypted = {1, third_object, 0x01}; }), 1,
       "was written with drive encryption, and the drive holds no key for it (7/74/01 (unable to "
       "decrypt the data))"},
      {"a hardware error on a READ", faults([&](vtape::Faults& f) { f.hardware_error = {{kRead, reads_ / 2}}; }), 1,
       "The drive reports a hardware failure reading block"},
      {"another cartridge loaded in the middle",
       faults([&](vtape::Faults& f) { f.cartridge_change = {commands_ / 2, "../other"}; }), 1,
       "The cartridge in the drive was changed during the job (unit attention 6/28/00): its "
       "cartridge memory names barcode \"QT0002L8\", the job's cartridge \"QT0001L8\"."},
      {"SIGTERM in the middle", faults([&](vtape::Faults& f) { f.signal = {commands_ / 2, SIGTERM}; }), 143,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = dump(c.faults);
    EXPECT_EQ(o.run.status, c.status) << o.run.err;
    EXPECT_EQ(lines_with(o.run.err, "[SYS_ERR]"), c.said != nullptr ? 1u : 0u) << o.run.err;
    if (c.said != nullptr) {
      EXPECT_EQ(lines_with(o.run.err, c.said), 1u) << o.run.err;
    }
    // No cascade of format errors, and no file of another cartridge or cut short.
    EXPECT_EQ(lines_with(o.run.err, "[ERROR  ]"), 0u) << o.run.err;
    const auto expected = e2e::expected_dump(desc_, layout_);
    for (const auto& [path, content] : saved()) {
      const auto it = expected.find(path);
      EXPECT_TRUE(it != expected.end() && it->second == content) << path;
    }
    EXPECT_EQ(figure(o.report, "allow_removal"), 1u);
  }
}

TEST_F(DriveAnswersTest, GenerationFromTheCartridgeMemoryWhenTheDriveDoesNotTellIt) {
  vtape::Deviations deviations;
  deviations.faults.log_sense = false;
  deviations.attributes.push_back(e2e::attribute_value(0, 0x0405, {0x5A}));
  build(e2e::small_description(), deviations);
  RunResult r = reader({"-l"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(e2e::has_line(r.err, "the generation L6 is taken from the cartridge memory's "
                                   "density code 5Ah.")) << r.err;
  EXPECT_TRUE(e2e::fs::is_directory(save() + "/" + desc_.volume_id + "L6")) << r.err;

  // Neither the drive nor the cartridge memory: the run ends as before.
  deviations.attributes.back().drop = true;
  e2e::fs::remove_all(cart());
  build(e2e::small_description(), deviations);
  r = reader({"-l"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(e2e::has_line(r.err, "[SYS_ERR] [MISC  ] Volume personality is not correct.()"))
      << r.err;
}

}  // namespace

namespace {

// A cartridge may be reloaded or changed at any command. Reloaded, the dump gives every file.
// Changed before the job began, the job is the other cartridge's, whole; changed while the job
// reads, the run ends with one SYS_ERR and every file written is one of the job's cartridge,
// whole; changed once the last block was read, the job is done.
TEST_F(DriveAnswersTest, AReloadOrAChangeAtAnyCommand) {
  vtape::Description other = e2e::small_description(2, 2);
  other.volume_id = "QT0002";
  e2e::fs::create_directories(tmp_ / "other");
  const vtape::Layout other_layout = vtape::build_cartridge(other, tmp_ / "other", {}).layout;
  count_sound_commands();
  enum Phase { before, reading, done } phase = before;
  uint64_t ended = 0;  // changes that ended the run
  for (uint64_t k = 0; k < commands_; ++k) {
    SCOPED_TRACE("after command " + std::to_string(k + 1));
    Outcome o = dump(faults([&](vtape::Faults& f) { f.cartridge_change = {k, "."}; }));
    EXPECT_EQ(o.run.status, 0) << o.run.err;
    const auto mine = e2e::expected_dump(desc_, layout_);
    e2e::expect_same_files(saved(), mine);
    EXPECT_EQ(lines_with(o.run.err, "[ERROR  ]") + lines_with(o.run.err, "[SYS_ERR]"), 0u)
        << o.run.err;

    o = dump(faults([&](vtape::Faults& f) { f.cartridge_change = {k, "../other"}; }));
    if (o.run.status == 0 && phase == before &&
        e2e::files_below(save(), other.volume_id + "L8") ==
            e2e::expected_dump(other, other_layout)) {
      continue;
    }
    if (o.run.status == 0) {
      phase = done;
      e2e::expect_same_files(saved(), mine);
      continue;
    }
    EXPECT_NE(phase, done) << o.run.err;
    phase = reading;
    ++ended;
    EXPECT_EQ(o.run.status, 1) << o.run.err;
    EXPECT_EQ(lines_with(o.run.err, "[SYS_ERR]"), 1u) << o.run.err;
    EXPECT_EQ(lines_with(o.run.err, "was changed during the job"), 1u) << o.run.err;
    for (const auto& [path, content] : saved()) {
      const auto it = mine.find(path);
      EXPECT_TRUE(it != mine.end() && it->second == content) << path;
    }
  }
  EXPECT_EQ(phase, done);
  EXPECT_GT(ended, commands_ / 2);
}

}  // namespace

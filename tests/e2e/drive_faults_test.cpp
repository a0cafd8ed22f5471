// A faulty drive under a full dump, a list run and a retrieval. Where the drive can be brought
// back (a READ timed out or reset in the middle of an object's data, unit attentions, BUSY on a
// LOCATE, a deferred error, a recovered error, descriptor sense throughout), every file is the
// one a sound drive gives, and the WARNINGs say what happened. Where it cannot (no cartridge, a
// cartridge not loaded, a block larger than the adapter or the drive transfers, a drive gone),
// the run ends with one SYS_ERR and every file written is whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "e2e/reader_fixture.h"

namespace {

namespace fs = std::filesystem;
using testutil::RunResult;

constexpr uint8_t kRead = 0x08;
constexpr uint8_t kLocate = 0x2B;
constexpr uint8_t kSpace = 0x11;
constexpr size_t kBig = 4;  // the object of many blocks

// The sample tape with one object of 401 blocks among the others, so that a READ in the middle
// of a run that reads it falls in its data.
vtape::Description big_description() {
  vtape::Description d = vtape::sample_description();
  vtape::ObjectEntry big;
  big.bucket = 0;
  big.key = "big/object";
  big.data = vtape::ObjectData::pattern(400 * 4096 + 321, 77);
  d.objects.insert(d.objects.begin() + kBig, std::move(big));
  return d;
}

struct Job {
  const char* name;
  std::vector<std::string> args;
};

// Each reads the big object's blocks.
const std::vector<Job>& jobs() {
  static const std::vector<Job> kJobs = {
      {"full dump", {"-f"}},
      {"list run", {"-l"}},
      {"retrieval", {"-b", "photos", "-o", "big/object"}},
  };
  return kJobs;
}

class DriveFaultsTest : public e2e::ReaderTest {
 protected:
  // Runs the program on the cartridge in a working directory and save path of their own.
  RunResult run_in(const std::string& name, const std::vector<std::string>& args) {
    const std::string dir = tmp_ / name;
    fs::create_directories(dir + "/work");
    fs::create_directories(dir + "/save");
    std::vector<std::string> argv = {
        testutil::bin("object_reader"), "-d", cart(), "-F", "-s", dir + "/save"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::run(argv, dir + "/work");
  }

  // A list run first when the job is a retrieval (in the fixture's save path and in `other`).
  void list_first(const Job& job, const std::string& other) {
    if (job.args.front() != "-b") return;
    fs::create_directories(save());
    ASSERT_EQ(reader({"-l"}).status, 0);
    ASSERT_EQ(run_in(other, {"-l"}).status, 0);
  }

  // What a sound drive gives for `job`: the files under the save path of a run in `name`, and
  // how many READ and LOCATE(10) commands it sent.
  struct Sound {
    std::map<std::string, std::string> files;
    size_t reads = 0;
    size_t locates = 0;
  };
  Sound sound_run(const std::string& name, const Job& job) {
    std::vector<std::string> args = job.args;
    args.insert(args.end(), {"-v", "vvvvvv"});
    const RunResult r = run_in(name, args);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string out = testutil::strip_headers(r.out);
    return Sound{e2e::files_below(tmp_ / name + "/save", tape_id_),
                 testutil::count(out, "start SCSI_COMMAND:(8)\n"),
                 testutil::count(out, "start SCSI_COMMAND:(2b)\n")};
  }

  // The block number that a report line of `err` names after `before`.
  static uint64_t block_after(const std::string& err, const std::string& before) {
    const size_t at = err.find(before);
    return at == std::string::npos ? UINT64_MAX : std::stoull(err.substr(at + before.size()));
  }

  // The data blocks of the big object on the data partition.
  bool in_big_object_data(uint64_t block) const {
    const vtape::ObjectLayout& o = layout_.objects[kBig];
    const vtape::PoLayout& po = layout_.pos[o.po];
    return block > o.meta_block && block < po.place.block + po.place.records;
  }
};

TEST_F(DriveFaultsTest, RecoverableFaultsLeaveEveryFileAsASoundDriveGivesIt) {
  const vtape::Description d = big_description();
  for (const Job& job : jobs()) {
    SCOPED_TRACE(job.name);
    fs::remove_all(tmp_.path());
    fs::create_directories(tmp_.path());
    build(d);
    list_first(job, "sound");
    const Sound sound = sound_run("sound", job);
    ASSERT_GE(sound.locates, 4u);

    vtape::Deviations faults;
    vtape::Faults& f = faults.faults;
    f.descriptor_sense = true;
    f.unit_attention = {{0x28, 0x00}, {0x29, 0x00}};  // met at opening
    f.transport = {{kRead, 0, 0x08},                  // the first READ: a bus reset
                   {kRead, sound.reads / 2, 0x03},    // one in the middle: timed out
                   {kSpace, 2, 0x03},    // a SPACE by a count timed out, the tape rewound
                   {kLocate, 3, 0x08}};  // a LOCATE reset
    f.recovered = {{kRead, sound.reads / 2 + 5}};
    f.status = {{kLocate, 1, 0x08}};  // BUSY
    f.deferred = {{kLocate, 2}};
    build(d, faults);
    const RunResult r = reader(job.args);
    EXPECT_EQ(r.status, 0) << r.err;

    // The same files, byte for byte; for a dump, the objects as the source holds them.
    const std::map<std::string, std::string> files = saved();
    e2e::expect_same_files(files, sound.files);
    if (job.args.front() == "-f") {
      e2e::expect_same_files(files, e2e::expected_dump(desc_, layout_));
    }

    const std::string err = testutil::strip_headers(r.err);
    for (const std::string& said : {
             std::string("[WARNING] [MISC  ] TEST UNIT READY met a unit attention 6/28/00"),
             std::string("[WARNING] [MISC  ] READ(6) failed: reset (host status 08h).\n"),
             std::string("met a unit attention 6/29/00 (power on, reset or bus reset)"),
             std::string("[WARNING] [MISC  ] READ(6) failed: timed out (host status 03h).\n"),
             std::string("It is located back and the block is read again.\n"),
             std::string("[WARNING] [MISC  ] SPACE(6) failed: timed out (host status 03h).\n"),
             std::string("; the tape stands at block 0 of partition 0. The move is made again "
                         "from where it started.\n"),
             std::string("[WARNING] [MISC  ] LOCATE(10) failed: reset (host status 08h).\n"),
             std::string("[WARNING] [MISC  ] The locate to block "),
             std::string("[WARNING] [MISC  ] READ(6): the drive recovered an error by its own "
                         "retries (1/17/01 (recovered data with retries))"),
             std::string("[WARNING] [MISC  ] LOCATE(10): the drive answered BUSY. It is sent "
                         "again in 1000 ms (1 of 5).\n"),
             std::string("[ERROR  ] [MISC  ] LOCATE(10) reported a deferred error 3/0C/00 (write "
                         "error), the error of an earlier command. LOCATE(10) was not executed and "
                         "is sent again.\n"),
         }) {
      EXPECT_NE(err.find(said), std::string::npos) << said << "\n" << err;
    }
    // Nothing ends the run, and the deferred error is the one ERROR.
    EXPECT_EQ(testutil::count(err, "[SYS_ERR]"), 0u) << err;
    EXPECT_EQ(testutil::count(err, "[ERROR  ]"), 1u) << err;
    // The timed-out READ fell in the big object's data.
    const uint64_t timed_out =
        block_after(err, "(host status 03h).\n[WARNING] [MISC  ] The READ of block ");
    EXPECT_TRUE(in_big_object_data(timed_out)) << "block " << timed_out;
  }
}

// Sense in descriptor format, on a tape with an unreadable block in an object's data: every line
// printed (the sense reports at the highest verbosity included) and every file is the same as
// with fixed-format sense.
TEST_F(DriveFaultsTest, DescriptorSenseGivesExactlyTheResultOfFixedSense) {
  const vtape::Description d = big_description();
  vtape::Deviations deviations;
  deviations.unreadable = {{1, vtape::plan_cartridge(d).objects[kBig].meta_block + 9}};
  std::map<std::string, std::string> files[2];
  RunResult runs[2];
  for (const bool descriptor : {false, true}) {
    deviations.faults.descriptor_sense = descriptor;
    build(d, deviations);
    const std::string name = descriptor ? "descriptor" : "fixed";
    runs[descriptor] = run_in(name, {"-f", "-v", "vvvvvv"});
    files[descriptor] = e2e::files_below(tmp_ / name + "/save", tape_id_);
  }
  EXPECT_NE(runs[0].err.find(" of the data partition cannot be read (3 tries)."), std::string::npos)
      << runs[0].err;
  EXPECT_EQ(runs[1].status, runs[0].status);
  // The summary's time and rate are the only lines that may differ.
  const auto timeless = [](const std::string& text) {
    std::string kept;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
      end = std::min(text.find('\n', at), text.size());
      const std::string line = text.substr(at, end - at);
      // The run's temporary directory is named by its process number.
      const std::regex run_directory("object_reader-[0-9]+/[0-9]+/");
      if (line.find("[COMMON] Time: ") == std::string::npos) {
        kept += std::regex_replace(line, run_directory, "object_reader-U/P/") + "\n";
      }
    }
    return kept;
  };
  EXPECT_EQ(testutil::strip_headers(runs[1].err), testutil::strip_headers(runs[0].err));
  EXPECT_EQ(timeless(testutil::strip_headers(runs[1].out)),
            timeless(testutil::strip_headers(runs[0].out)));
  e2e::expect_same_files(files[1], files[0]);
}

TEST_F(DriveFaultsTest, UnrecoverableFaultsEndTheRunWithOneReportAndWholeFiles) {
  vtape::Description small_blocks = big_description();
  vtape::Description large_blocks = big_description();
  large_blocks.block_size = 65536;
  const auto with = [](const std::function<void(vtape::Faults&)>& set) {
    vtape::Faults f;
    set(f);
    return f;
  };
  const std::string adapter =
      "[SYS_ERR] [MISC  ] The tape's block size of 65536 bytes is more than the host adapter "
      "transfers in one command (32768 bytes).\n";
  const std::string drive =
      "[SYS_ERR] [MISC  ] The tape's block size of 65536 bytes is more than the drive reads in "
      "one block (32768 bytes, READ BLOCK LIMITS).\n";
  const std::string gone =
      "[SYS_ERR] [MISC  ] SCSI command READ(6) failed: the drive is gone (no connection) (host "
      "status 01h).\n";
  const struct {
    const char* what;
    const vtape::Description& description;
    size_t job;
    std::function<vtape::Faults(size_t reads)> faults;
    std::string report;  // the start of the one line reported
  } cases[] = {
      {"no cartridge", small_blocks, 0,
       [&](size_t) { return with([](vtape::Faults& f) { f.no_medium = true; }); },
       "[SYS_ERR] [MISC  ] There is no cartridge in the drive "},
      {"a cartridge not loaded", small_blocks, 0,
       [&](size_t) { return with([](vtape::Faults& f) { f.needs_load = true; }); },
       "[SYS_ERR] [MISC  ] The cartridge in the drive "},
      {"blocks larger than the adapter's limit", large_blocks, 0,
       [&](size_t) { return with([](vtape::Faults& f) { f.max_transfer = 32768; }); }, adapter},
      {"blocks larger than the drive reads", large_blocks, 0,
       [&](size_t) { return with([](vtape::Faults& f) { f.block_limits = 32768; }); }, drive},
      {"the drive gone during a dump", small_blocks, 0,
       [&](size_t reads) {
         return with([&](vtape::Faults& f) { f.transport = {{kRead, reads / 2, 0x01}}; });
       },
       gone},
      {"the drive gone during a retrieval", small_blocks, 2,
       [&](size_t reads) {
         return with([&](vtape::Faults& f) { f.transport = {{kRead, reads / 2, 0x01}}; });
       },
       gone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Job& job = jobs()[c.job];
    fs::remove_all(tmp_.path());
    fs::create_directories(tmp_.path());
    build(c.description);
    list_first(job, "sound");
    const Sound sound = sound_run("sound", job);
    vtape::Deviations deviations;
    deviations.faults = c.faults(sound.reads);
    build(c.description, deviations);
    const RunResult r = reader(job.args);
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> reported = e2e::report_lines(r.err);
    ASSERT_EQ(reported.size(), 1u) << r.err;
    EXPECT_EQ(reported[0].rfind(c.report.substr(0, c.report.size() - 1), 0), 0u) << r.err;
    // Whatever was written is whole: each file is the one the sound run wrote.
    for (const auto& [path, content] : saved()) {
      const auto it = sound.files.find(path);
      if (it == sound.files.end()) {
        ADD_FAILURE() << "unexpected: " << path;
      } else {
        EXPECT_EQ(content, it->second) << path;
      }
    }
    if (c.job == 2) {
      EXPECT_TRUE(e2e::files_below(save() + "/photos").empty());
    }
  }
}

}  // namespace

// A library job end to end on a virtual library of twelve cartridges of three generations and
// three drives: every cartridge with a barcode that a drive of the job reads is read once, on a
// drive that reads its generation, and goes back to its slot; the journal lets a run with -r skip
// what is done, after a stop of one cartridge's job or a kill of the whole job at any moment.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cartridge/library_builder.h"
#include "common/test_util.h"
#include "e2e/reader_fixture.h"

namespace {

namespace fs = std::filesystem;
using testutil::RunResult;
using Files = std::map<std::string, std::string>;

// Storage slot i + 1 holds kCartridges[i]. Drive 0 (generation 9) alone reads the generation 9
// cartridges and cannot read those of generation 7; no drive reads generation 6.
const std::vector<vtape::LibraryCartridge> kCartridges = {
    {"c1", 8, "LIB001L8", false, 1},   {"c2", 9, "LIB002L9", false, 2},
    {"c3", 7, "LIB003L7", false, 3},   {"c4", 8, "", false, 4},
    {"c5", 8, "LIB005L8", true, 5},    {"c6", 8, "../LIB6", false, 6},  // would leave SAVE
    {"c7", 9, "LIB007L9", false, 7},   {"c8", 7, "LIB008L7", false, 8},
    {"c9", 8, "LIB009L8", false, 9},   {"c10", 6, "LIB010L6", false, 10},
    {"c11", 9, "LIB011L9", false, 11}, {"c12", 7, "LIB012L7", false, 12}};

bool readable(const vtape::LibraryCartridge& c) {
  return !c.barcode.empty() && c.barcode[0] != '.' && c.generation >= 7;
}

// The object files (".meta", ".data") below a cartridge's save path.
Files objects_below(const std::string& root) {
  Files objects;
  for (auto& [path, content] : e2e::files_below(root)) {
    if (path.ends_with(".meta") || path.ends_with(".data")) objects[path] = std::move(content);
  }
  return objects;
}

class LibraryTest : public ::testing::Test {
 public:
  void SetUp() override {
    vtape::LibraryDescription d;
    d.cartridges = kCartridges;
    d.drives = {9, 8, 8};
    d.move_errors = {{2, {0x4, 0x15, 0x01}}};  // the third move fails once
    fs::create_directories(lib());
    built_ = vtape::build_library(d, lib());
  }

  // The job on every drive, with `options`; its working directory and save path named by `area`.
  RunResult library(const std::string& job, const std::vector<std::string>& options = {},
                    const std::string& area = "", const testutil::RunHooks& hooks = {}) const {
    fs::create_directories(work(area));
    std::vector<std::string> argv = {
        testutil::bin("object_reader"), "--changer", lib(), job, "-F", "-s", save(area), "--report",
        work(area) + "/library.json"};
    // The second drive as named relative to the working directory, which the cartridges' jobs
    // leave.
    for (const std::string& drive :
         {lib() + "/drive0", std::string("../lib/drive1"), lib() + "/drive2"}) {
      argv.insert(argv.end(), {"-d", drive});
    }
    argv.insert(argv.end(), options.begin(), options.end());
    return testutil::run(argv, work(area), hooks);
  }

  // The objects of slot i + 1 that a dump loses: those with bytes in the damaged block, the
  // first of its first packed object.
  std::vector<size_t> lost(size_t i) const {
    const vtape::Layout& layout = built_[i].layout;
    std::vector<size_t> found;
    const uint64_t bs = layout.block_size;
    const uint64_t block = layout.pos.front().place.block;
    for (size_t o = 0; kCartridges[i].damaged && o < layout.objects.size(); ++o) {
      const vtape::ObjectLayout& ob = layout.objects[o];
      const uint64_t base = ob.po_block * bs + 32;
      if ((base + ob.meta_offset) / bs <= block &&
          block <= (base + ob.data_offset + ob.data_size - 1) / bs) {
        found.push_back(o);
      }
    }
    return found;
  }

  // The object files a dump of slot i + 1 writes: every object but those it loses.
  Files expected_objects(size_t i) const {
    const vtape::Description d = vtape::sample_description();
    Files files = e2e::expected_dump(d, built_[i].layout);
    for (const size_t o : lost(i)) {
      for (const auto& [path, content] : e2e::expected_dump(d, built_[i].layout, o, o + 1)) {
        files.erase(path);
      }
    }
    return files;
  }

  // The lines that say the job of slot i + 1 begins (afresh or resumed) in `out`.
  static size_t reads_of(const std::string& out, size_t i) {
    const std::string line =
        "The cartridge " + kCartridges[i].barcode + " (slot " + std::to_string(i + 1) + ") is ";
    return testutil::count(out, line + "read in the drive ") +
           testutil::count(out, line + "resumed in the drive ");
  }

  std::string lib() const { return tmp_ / "lib"; }
  std::string work(const std::string& area = "") const { return tmp_ / ("work" + area); }
  std::string save(const std::string& area = "") const { return tmp_ / ("save" + area); }
  testutil::TempDir tmp_;
  std::vector<vtape::BuildResult> built_;
};

// Each cartridge the job reads: its objects, read once, on a drive that reads its generation,
// the damaged one's lost objects named.
void expect_cartridges_read_once(const LibraryTest& t, const RunResult& r) {
  for (size_t i = 0; i < kCartridges.size(); ++i) {
    const vtape::LibraryCartridge& c = kCartridges[i];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LibraryTest::reads_of(r.out, i), readable(c) ? 1u : 0u) << r.out;
    if (!readable(c)) continue;
    e2e::expect_same_files(objects_below(t.save() + "/" + c.barcode), t.expected_objects(i));
    const bool in_drive0 = r.out.find("(slot " + std::to_string(i + 1) + ") is read in the drive " +
                                      t.lib() + "/drive0.") != std::string::npos;
    if (c.generation != 8) {
      EXPECT_EQ(in_drive0, c.generation == 9) << r.out;
    }
    const std::string own_report = testutil::read_file(t.work() + "/" + c.barcode + "/report.json");
    EXPECT_NE(own_report.find(c.damaged ? "\"exit_status\":2" : "\"exit_status\":0"),
              std::string::npos);
    for (const size_t o : t.lost(i)) {
      const vtape::ObjectLayout& ob = t.built_[i].layout.objects[o];
      EXPECT_NE(r.err.find(ob.bucket_name + "/" + ob.key + " (object id " + ob.list_id),
                std::string::npos)
          << r.err;
    }
  }
}

std::string expected_journal() {
  std::map<std::string, std::string> states;
  for (const vtape::LibraryCartridge& c : kCartridges) {
    if (readable(c)) states[c.barcode] = c.damaged ? "lost" : "complete";
  }
  std::string text;
  for (const auto& [barcode, state] : states) text += barcode + "\t" + state + "\n";
  return text;
}

TEST_F(LibraryTest, EveryReadableCartridgeOnceThenNothingAgain) {
  const RunResult r = library("-f", {"--progress"});
  EXPECT_EQ(r.status, 1) << r.err;  // a cartridge that no drive reads is left in its slot
  for (const char* line :
       {"The cartridge in slot 4 has no barcode: it is left in its slot.",
        "The cartridge in slot 6 has a barcode (../LIB6) that cannot name a directory: it is left "
        "in its slot.",
        "No drive of the job reads the cartridge LIB010L6 (slot 10): it is left in its slot.",
        "failed (sense 4/15/01): it is tried once more.",
        "3 objects could not be read from the tape:"}) {
    // Found anywhere: the display of the drives goes before them on the same line.
    EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
  }
  EXPECT_FALSE(fs::exists(tmp_ / "LIB6"));
  expect_cartridges_read_once(*this, r);
  EXPECT_NE(r.out.find("Library: 8 cartridges complete, 1 with objects lost, 0 failed, 0 "
                       "interrupted, 1 left in their slots."),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Library objects (this run): 240 written, 3 lost;"), std::string::npos)
      << r.out;
  // The report names every cartridge with its state and its own totals, and the library's drive
  // figures: the changer's moves, the unloads.
  const std::string report = testutil::read_file(work() + "/library.json");
  EXPECT_EQ(testutil::count(report, "\"state\":\"complete\""), 8u) << report;
  EXPECT_EQ(testutil::count(report, "\"state\":\"lost\""), 1u) << report;
  EXPECT_EQ(testutil::count(report, "\"drive_seconds\""), 10u) << report;
  // Each cartridge's own lines come with its barcode; the display shows a line per drive, the
  // second drive as it was named.
  EXPECT_NE(r.out.find("LIB002L9: "), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("\r../lib/drive1: "), std::string::npos) << r.err;
  // The estimated time: each drive's share, the busiest drive's time for the library.
  EXPECT_NE(r.out.find("Library time (estimated): "), std::string::npos) << r.out;
  // Host pace: each cartridge's, each drive's, and the library job's own drive figures.
  EXPECT_EQ(testutil::count(report, "\"host_bytes_per_second\""), 9u + 3u + 1u) << report;
  EXPECT_NE(report.find("\"estimated_seconds\""), std::string::npos) << report;
  EXPECT_EQ(testutil::read_file(work() + "/library.journal"), expected_journal());
  // Every cartridge is back in its slot, those left out included: the drives are empty.
  const RunResult inventory = testutil::run({testutil::bin("tape_selftest"), lib(), "inventory"});
  EXPECT_EQ(testutil::count(inventory.out, ": full"), 12u) << inventory.out;
  EXPECT_EQ(testutil::count(inventory.out, "h:        empty, identifier drive"), 3u)
      << inventory.out;
  // Run again with -r: nothing is read again.
  const RunResult again = library("-r");
  EXPECT_EQ(again.status, 1) << again.err;
  EXPECT_EQ(testutil::count(again.out, "is done: it is not read again."), 9u) << again.out;
  EXPECT_EQ(again.out.find("in the drive"), std::string::npos) << again.out;
  EXPECT_NE(again.out.find("Library objects (this run): 0 written, 0 lost;"), std::string::npos)
      << again.out;
}

}  // namespace

namespace {

// A cartridge's job stopped by a signal half-way (SIGKILL leaves its cartridge's removal
// prevented): the library goes on with the others and ends with status 1; run again with -r,
// that cartridge alone is read again, from where its dump stood, and comes out whole. The job
// takes the cartridges of slots 1 to 3 only (one of each generation).
void stop_and_resume(const LibraryTest& t, int signal_number) {
  const std::string cartridge = t.lib() + "/c1";
  std::string error;
  std::optional<vdrive::Manifest> manifest =
      vdrive::parse_manifest(testutil::read_file(cartridge + "/cartridge.json"), &error);
  ASSERT_TRUE(manifest) << error;
  const vdrive::Manifest sound = *manifest;
  manifest->faults.signal = vtape::SignalFault{90, signal_number};
  vtape::write_manifest(*manifest, cartridge);
  const std::vector<std::string> slots = {"--slots", "1-3"};
  const RunResult first = t.library("-f", slots);
  EXPECT_EQ(first.status, 1) << first.err;
  EXPECT_TRUE(e2e::has_line(first.err,
                            "The cartridge LIB001L8 (slot 1): failed: its job ended "
                            "with status " +
                                std::to_string(128 + signal_number) + "."))
      << first.err;
  EXPECT_FALSE(fs::exists(t.save() + "/LIB005L8"));  // outside the slots chosen
  vtape::write_manifest(sound, cartridge);
  const RunResult again = t.library("-r", slots);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("The cartridge LIB001L8 (slot 1) is resumed in the drive"),
            std::string::npos)
      << again.out;
  EXPECT_EQ(testutil::count(again.out, "is done: it is not read again."), 2u) << again.out;
  EXPECT_EQ(testutil::count(again.out, "in the drive "), 1u) << again.out;
  e2e::expect_same_files(objects_below(t.save() + "/LIB001L8"), t.expected_objects(0));
}

TEST_F(LibraryTest, ACartridgeStoppedBySigtermIsResumed) { stop_and_resume(*this, SIGTERM); }
TEST_F(LibraryTest, ACartridgeKilledIsResumed) { stop_and_resume(*this, SIGKILL); }

}  // namespace

namespace {

// The slots (from 0) of the cartridges that the journal records done: complete, or complete with
// objects lost.
std::set<size_t> done_in_journal(const std::string& path) {
  const std::string journal = "\n" + testutil::read_file(path);
  std::set<size_t> done;
  for (size_t i = 0; i < kCartridges.size(); ++i) {
    const std::string line = "\n" + kCartridges[i].barcode + "\t";
    if (readable(kCartridges[i]) && (journal.find(line + "complete\n") != std::string::npos ||
                                     journal.find(line + "lost\n") != std::string::npos)) {
      done.insert(i);
    }
  }
  return done;
}

constexpr uint64_t kKillSeed = 29;  // OR_LIBRARY_KILL_SEED replaces it, to try other moments
constexpr size_t kKilledRuns = 5;

// The whole job killed (every process of it, as by a cut of power) at moments drawn from a seeded
// sequence over the time one run takes, each time run again with -r, until a run ends by itself:
// the save path then holds the files of one run that was never stopped, the journal says the same,
// and no cartridge that a journal recorded done is read by a later run.
TEST_F(LibraryTest, KilledAtAnyMomentAndRunAgainGivesTheFilesOfOneRun) {
  const auto begin = std::chrono::steady_clock::now();
  const RunResult reference = library("-f", {}, "-reference");
  const auto one_run = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - begin)
                           .count();
  const char* seed_text = std::getenv("OR_LIBRARY_KILL_SEED");
  const uint64_t seed = seed_text != nullptr ? std::strtoull(seed_text, nullptr, 10) : kKillSeed;
  std::mt19937_64 random(seed);
  std::uniform_int_distribution<int> moment(0, static_cast<int>(one_run / 2));
  std::vector<int> delays;
  std::ostringstream trace;
  trace << "seed " << seed << ", one run " << one_run << " ms, kills after (ms):";
  for (size_t k = 0; k < kKilledRuns; ++k) {
    delays.push_back(moment(random));
    trace << " " << delays.back();
  }
  SCOPED_TRACE(trace.str());
  std::set<size_t> done;  // slots (from 0) that the journals of the runs so far record done
  RunResult last;
  for (size_t k = 0; k <= kKilledRuns; ++k) {
    testutil::RunHooks hooks;
    if (k < kKilledRuns) hooks.kill_after_ms = delays[k];
    last = library(k == 0 ? "-f" : "-r", {}, "", hooks);
    for (size_t i = 0; i < kCartridges.size(); ++i) {
      EXPECT_LE(reads_of(last.out, i), done.count(i) != 0 ? 0u : 1u)
          << "run " << k << ", slot " << i + 1 << ":\n"
          << last.out;
    }
    const std::set<size_t> now_done = done_in_journal(work() + "/library.journal");
    done.insert(now_done.begin(), now_done.end());
    if (last.status != 128 + SIGKILL) break;
  }
  EXPECT_EQ(last.status, reference.status) << last.err;
  e2e::expect_same_files(e2e::files_below(save()), e2e::files_below(save("-reference")));
  EXPECT_EQ(testutil::read_file(work() + "/library.journal"), expected_journal());
  const RunResult inventory = testutil::run({testutil::bin("tape_selftest"), lib(), "inventory"});
  EXPECT_EQ(testutil::count(inventory.out, "h:        empty, identifier drive"), 3u)
      << inventory.out;
}

}  // namespace

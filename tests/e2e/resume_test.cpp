// Runs that can be trusted: a dump interrupted anywhere (a killed process, a signal, a full disk)
// and resumed leaves exactly one whole copy of every object; a resume keeps to its dump's save
// path.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "e2e/reader_fixture.h"

namespace {

namespace fs = std::filesystem;
using e2e::has_line;
using testutil::RunResult;

class ResumeTest : public e2e::ReaderTest {
 protected:
  // The objects below `root` by bucket, key, object identifier and suffix (the numbered
  // directories may differ from an uninterrupted dump's), each once: a second copy of one, or a
  // file under a temporary name, is a failure.
  static std::map<std::string, std::string> objects_below(const std::string& root,
                                                          const std::string& skip) {
    std::map<std::string, std::string> objects;
    for (const auto& [path, content] : e2e::files_below(root, skip)) {
      EXPECT_EQ(path.find(".tmp."), std::string::npos) << path << " left behind";
      const size_t first = path.find('/');
      const std::string identity = path.substr(0, first) + path.substr(first + 10);
      EXPECT_TRUE(objects.emplace(identity, content).second) << identity << " stored twice";
    }
    return objects;
  }

  void expect_whole_dump(const std::string& root) const {
    std::map<std::string, std::string> want;
    for (const auto& [path, content] : e2e::expected_dump(desc_, layout_)) {
      const size_t first = path.find('/');
      want[path.substr(0, first) + path.substr(first + 10)] = content;
    }
    e2e::expect_same_files(objects_below(root, tape_id_), want);
  }
};

// A resume writes into the save path of its dump, or not at all.
TEST_F(ResumeTest, AResumeKeepsToTheSavePathOfItsDump) {
  build(vtape::sample_description());
  ASSERT_EQ(reader({"-f"}).status, 0);
  testutil::write_file(work() + "/history.log", [&] {
    std::string h = testutil::read_file(work() + "/history.log");
    h.replace(h.find("Complete=1"), 10, "Complete=0");
    return h;
  }());
  const std::string other = tmp_ / "other";
  fs::create_directories(other);
  // Refused before anything is made: not even the temporary directory.
  fs::remove_all(testutil::program_temporary_directory());
  const RunResult r = testutil::run(
      {testutil::bin("object_reader"), "-d", cart(), "-F", "-s", other, "-r"}, work());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(testutil::strip_headers(r.err),
            "[SYS_ERR] [COMMON] No dump recorded in history.log of this working directory was "
            "made into " + fs::canonical(other).string() +
                ". Resume with -s and the save path of the tape's dump:\n" + e2e::kIndent +
                "the tape " + tape_id_ + " into " + fs::canonical(save()).string() + "\n");
  EXPECT_TRUE(fs::is_empty(other));
  EXPECT_FALSE(fs::exists(testutil::program_temporary_directory()));
}

// A save path on a file system that fills up: the dump stops, space is freed, the resume makes
// progress until the dump is whole.
TEST_F(ResumeTest, AFullDiskThenAResumeAfterSpaceIsFreedCompletesTheDump) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  vtape::Description d = vtape::sample_description();
  for (vtape::ObjectEntry& o : d.objects) o.data = vtape::ObjectData::pattern(40000, o.key.size());
  build(d);
  fs::create_directories(save());
  if (mount("tmpfs", save().c_str(), "tmpfs", 0, "size=1600k") != 0) {
    GTEST_SKIP() << "no tmpfs here";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{save()};
  testutil::write_file(save() + "/filler", std::string(700 * 1024, 'f'));
  const RunResult full = reader({"-f"});
  EXPECT_EQ(full.status, 1);
  EXPECT_TRUE(has_line(full.err, "Disk space is likely to insufficient")) << full.err;
  fs::remove(save() + "/filler");
  const RunResult resumed = reader({"-r"});
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(resumed.err, "");
  expect_whole_dump(save());
}

// A run stopped by the virtual drive's test hook: `signal` before its command `after` + 1.
struct Stop {
  uint64_t after;
  int signal = SIGKILL;
};

// A dump stopped by the first stop, each resume by the next one, then resumed until it completes.
struct Interruption {
  std::string name;
  std::vector<Stop> stops;
  std::vector<std::string> options;  // given to every run
};

// Kills a dump at chosen SCSI commands and resumes it, and compares the save path with the one an
// uninterrupted dump writes. The commands are found by bisection over killed dumps, so that each
// place (inside a packed object, between two, inside an object of many blocks) stays where it is
// meant to be when the program sends other commands.
class KillAndResumeTest : public ResumeTest {
 protected:
  void fresh() const {
    fs::remove_all(save());
    fs::remove_all(work());
    fs::create_directories(save());
    fs::create_directories(work());
  }

  // A fresh full dump, killed before command `after` + 1.
  RunResult killed_dump(uint64_t after) const {
    fresh();
    signal_at(after, SIGKILL);
    return reader({"-f"});
  }

  // The fewest commands in (lo, hi] after which a killed dump has done what `done` asks, where a
  // dump killed after `lo` commands has not.
  uint64_t commands_until(uint64_t lo, uint64_t hi, const std::function<bool()>& done) const {
    while (hi - lo > 1) {
      const uint64_t mid = lo + (hi - lo) / 2;
      const RunResult r = killed_dump(mid);
      (r.status == 0 || done() ? hi : lo) = mid;
    }
    return hi;
  }

  // Whether object `i` stands whole under its final name.
  bool whole(size_t i) const {
    const vtape::ObjectLayout& o = layout_.objects[i];
    const std::string data = o.bucket_name + "/" + o.key + "/" + o.list_id + ".data";
    const std::map<std::string, std::string> files = e2e::without_numbers(saved());
    const std::vector<uint8_t> bytes = desc_.objects[i].data.read_all();
    const auto it = files.find(data);
    return it != files.end() && it->second == std::string(bytes.begin(), bytes.end());
  }

  // No file under a temporary name in the save path or the working directory.
  void expect_no_temporary_file() const {
    for (const std::string& root : {save(), work()}) {
      for (const auto& [path, content] : e2e::files_below(root)) {
        EXPECT_EQ(path.find(".tmp."), std::string::npos) << root << "/" << path << " left behind";
      }
    }
  }

  // What a run stopped by SIGINT leaves: one line that says how to continue, status 130, a
  // history that a resume continues from, no temporary file.
  void expect_clean_stop(const RunResult& r) const {
    EXPECT_EQ(r.status, 128 + SIGINT);
    const std::vector<std::string> lines = e2e::report_lines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0],
              "[WARNING] [COMMON] Interrupted by SIGINT. The objects written so far are "
              "whole; to continue, run again with -r from the working directory " +
                  fs::canonical(work()).string() + " and with -s " + save() + ".");
    EXPECT_NE(testutil::read_file(work() + "/history.log").find("\nComplete=0\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("[COMMON] Objects: "), std::string::npos) << r.out;  // the summary
    expect_no_temporary_file();
  }

  // Runs the dump and its resumes as `c` says, to the end. A dump stopped before it identified
  // the tape has written nothing, and a resume says that there is no history: the dump is started
  // again.
  void interrupt_and_resume(const Interruption& c) const {
    fresh();
    std::string job = "-f";
    for (size_t run = 0;; ++run) {
      SCOPED_TRACE("run " + std::to_string(run));
      const bool stopped = run < c.stops.size();
      signal_at(stopped ? c.stops[run].after : 0, stopped ? c.stops[run].signal : 0);
      std::vector<std::string> args = {job};
      args.insert(args.end(), c.options.begin(), c.options.end());
      const RunResult r = reader(args);
      if (r.status == 1 && has_line(r.err, "There is no history file.") && job == "-r") {
        EXPECT_TRUE(saved().empty());
        job = "-f";
        continue;
      }
      if (r.status == 0 && run > 0) break;  // the last run, or one that needed fewer commands
      if (!stopped) {
        ADD_FAILURE() << "the last resume did not complete the dump:\n" << r.err;
        return;
      }
      if (c.stops[run].signal == SIGINT) {
        expect_clean_stop(r);
      } else {
        ASSERT_EQ(r.status, 128 + SIGKILL) << r.err;
      }
      job = "-r";
    }
    expect_no_temporary_file();
  }
};

TEST_F(KillAndResumeTest, EveryInterruptedDumpResumesToTheFilesOfOneDump) {
  build(vtape::sample_description());
  ASSERT_EQ(desc_.grouping.objects_per_po, 3u);
  // Object 6 is the first of packed object 2 and runs over four blocks.
  ASSERT_EQ(layout_.objects[6].data_size, 3u * layout_.block_size + 17);
  fresh();
  signal_at(0, 0);
  ASSERT_EQ(reader({"-f"}).status, 0);
  const std::map<std::string, std::string> uninterrupted = objects_below(save(), tape_id_);
  ASSERT_EQ(uninterrupted.size(), 2 * layout_.objects.size());

  uint64_t all = 64;  // the commands of a whole dump
  while (killed_dump(all).status != 0) all *= 2;
  all = commands_until(0, all, [] { return false; });
  const uint64_t po0 = commands_until(0, all, [&] { return whole(2); });
  const uint64_t before6 = commands_until(po0, all, [&] { return whole(5); });
  const uint64_t after6 = commands_until(before6, all, [&] { return whole(6); });
  ASSERT_GT(after6 - before6, 2u) << "object 6 is read in several commands";
  const uint64_t inside6 = (before6 + after6) / 2;

  const std::vector<Interruption> cases = {
      {"inside the first packed object, then every resume killed",
       {{po0 - 1}, {all / 2}, {3 * all / 4}},
       {}},
      {"between packed objects", {{po0}}, {}},
      {"inside an object of many blocks, with -i 60, the resume killed",
       {{inside6}, {all / 2}},
       {"-i", "60"}},
      {"a quarter of the commands (the reference partition)", {{all / 4}}, {}},
      {"half of the commands (before the walk)", {{all / 2}}, {}},
      {"before the last command", {{all - 1}}, {}},
      {"SIGINT inside an object of many blocks, then a killed resume",
       {{inside6, SIGINT}, {3 * all / 4}},
       {}},
      {"SIGINT between packed objects, then in the resume", {{po0, SIGINT}, {all / 2, SIGINT}}, {}},
  };

  for (const Interruption& c : cases) {
    SCOPED_TRACE(c.name);
    interrupt_and_resume(c);
    e2e::expect_same_files(objects_below(save(), tape_id_), uninterrupted);
  }
}

}  // namespace

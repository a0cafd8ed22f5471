// Hostile input, and files written where another user can reach: the lost-objects list and the
// temporary directory never written through a link or into another user's directory, a forged
// numbering refused, tape text that never reaches the terminal as a control character, an image
// directory whose files have other names, and a long TMPDIR.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/reader_fixture.h"

namespace {

namespace fs = std::filesystem;
using e2e::has_line;
using testutil::RunResult;

class HostileFilesTest : public e2e::ReaderTest {
 protected:
  // A directory outside everything the program may write, and what it holds.
  std::string victim() const { return tmp_ / "victim"; }
  void make_victim() {
    fs::create_directories(victim());
    testutil::write_file(victim() + "/lost_objects.txt", "victim's own");
    before_ = e2e::files_below(victim());
  }
  void expect_victim_untouched() const { EXPECT_EQ(e2e::files_below(victim()), before_); }

  std::map<std::string, std::string> before_;
};

// A tape of 25 objects in one packed object whose block is damaged: more lost objects than the
// messages name, so they are listed in a file. Its barcode is not its tape identifier, so the
// list's directory is not entered before.
vtape::Description lost_description() {
  vtape::Description d;
  d.block_size = 65536;
  d.barcode = "BARCODE1";
  d.buckets = {{"alpha", {}}};
  d.grouping = {25, 1, 1};
  for (uint64_t i = 0; i < 25; ++i) {
    vtape::ObjectEntry o;
    o.key = "k" + std::to_string(i);
    o.data = vtape::ObjectData::pattern(10, i);
    d.objects.push_back(std::move(o));
  }
  return d;
}

TEST_F(HostileFilesTest, LostListIsNeverWrittenThroughALinkOrIntoAForeignDirectory) {
  const vtape::Description d = lost_description();
  vtape::Deviations deviations;
  deviations.unreadable.push_back({1, vtape::plan_cartridge(d).pos[0].place.block});
  build(d, deviations);
  make_victim();
  fs::create_directories(save());
  fs::create_directory_symlink(victim(), tape_dir());
  RunResult r = reader({"-f"});
  EXPECT_EQ(r.status, 2) << r.err;  // the objects are lost, whatever becomes of their list
  EXPECT_TRUE(has_line(r.err, "25 objects could not be read from the tape. Their list (" +
                                  tape_dir() + "/lost_objects.txt) could not be written: " +
                                  tape_dir() + " is a symbolic link"))
      << r.err;
  expect_victim_untouched();
  if (geteuid() != 0) return;  // giving a directory away needs root
  fs::remove(tape_dir());
  fs::create_directory(tape_dir());
  ASSERT_EQ(chown(tape_dir().c_str(), 65534, 65534), 0);
  r = reader({"-f"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(has_line(r.err, tape_dir() + " belongs to another user")) << r.err;
  EXPECT_TRUE(fs::is_empty(tape_dir()));
}

// The temporary directory is swapped for a link while the run stands still (after it was checked,
// before the partial references are copied): the copies still go into the directory checked.
TEST_F(HostileFilesTest, TemporaryDirectorySwappedForALinkAfterItsCheckIsNotFollowed) {
  build(vtape::sample_description());
  make_victim();
  const std::string temporary = testutil::program_temporary_directory();
  const std::string moved = temporary + ".moved";
  signal_at(1, SIGSTOP);
  testutil::RunHooks hooks;
  hooks.when_stopped = [&] {
    fs::rename(temporary, moved);
    fs::create_directory_symlink(victim(), temporary);
  };
  const RunResult r = testutil::run({testutil::bin("object_reader"), "-d", cart(), "-F", "-s",
                                     save(), "-f"},
                                    work(), hooks);
  EXPECT_EQ(r.status, 0) << r.err;
  expect_victim_untouched();
  // The copies went into the directory checked, and went with the run.
  EXPECT_TRUE(fs::is_empty(moved));
  fs::remove(temporary);
  fs::remove_all(moved);
}

// A long TMPDIR: the copies of the partial references stay in the private directory.
TEST_F(HostileFilesTest, LongTemporaryPathKeepsEveryCopyInThePrivateDirectory) {
  build(vtape::sample_description());
  std::string base = tmp_ / "t";
  while (base.size() < 240) base += "/" + std::string(40, 'd');
  fs::create_directories(base);
  testutil::RunHooks hooks;
  hooks.env = {{"TMPDIR", base}};
  const RunResult r = testutil::run({testutil::bin("object_reader"), "-d", cart(), "-F", "-s",
                                     save(), "-f"},
                                    work(), hooks);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string private_dir = base + "/object_reader-" + std::to_string(geteuid());
  std::vector<std::string> beside;
  for (const auto& e : fs::directory_iterator(base)) beside.push_back(e.path().string());
  EXPECT_EQ(beside, std::vector<std::string>{private_dir});
  EXPECT_TRUE(fs::is_empty(private_dir));  // the run's copies went with it
}

// A numbering beyond any a dump writes refuses the history: nothing is resumed, nothing recorded.
TEST_F(HostileFilesTest, ForgedNumberingRefusesTheHistory) {
  build(vtape::sample_description());
  fs::create_directories(save());
  const std::string history = e2e::history_at(layout_, tape_id_, 1) +
                              "Save path=" + fs::canonical(save()).string() +
                              "\nComplete=0\nNumbering photos=2147483647 1 10\n";
  testutil::write_file(work() + "/history.log", history);
  const RunResult r = reader({"-r"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(has_line(r.err, "[SYS_ERR] [COMMON] The history of the tape " + tape_id_ +
                                  " in history.log records a numbering no dump writes (Numbering "
                                  "photos=2147483647 1 10). It is not resumed from."))
      << r.err;
  EXPECT_EQ(testutil::read_file(work() + "/history.log"), history);
  EXPECT_TRUE(saved().empty());
}

// Keys with escape sequences, a bell, a carriage return and a line feed, at the highest verbosity:
// no byte of them reaches the output as a control character, and no line is faked.
TEST_F(HostileFilesTest, TapeTextNeverReachesTheTerminalAsControlCharacters) {
  vtape::Description d = vtape::sample_description();
  d.objects[0].key = "a\x1b[2K\r\x1b]0;owned\x07/b";
  d.objects[1].key = "c\n2026/01/01 00:00:00.000 [INFO   ] [COMMON] Full dump is complete.";
  build(d);
  const RunResult r = reader({"-f", "-v", "vvvvvv"});
  for (const std::string* stream : {&r.out, &r.err}) {
    for (const char c : *stream) {
      const auto byte = static_cast<unsigned char>(c);
      EXPECT_TRUE(byte == '\n' || byte == '\t' || (byte >= 0x20 && byte != 0x7f))
          << "control byte " << static_cast<int>(byte);
    }
  }
  // The key's line feed is escaped: its text stays inside the line that shows the key.
  const std::string lines = "\n" + testutil::strip_headers(r.out);
  EXPECT_EQ(testutil::count(lines, "\n[INFO   ] [COMMON] Full dump is complete.\n"), 1u);
}

// An image directory planted by another user, or a partition file hard-linked to another file: the
// imaging refuses it, and the other file keeps its bytes.
TEST_F(HostileFilesTest, ImageFileWithAnotherNameIsNotWritten) {
  build(vtape::sample_description());
  const std::string image = tmp_ / "image";
  signal_at(20, SIGKILL);
  testutil::run({testutil::bin("tape_image"), cart(), image});
  signal_at(0, 0);
  std::string partial = image + "/p1.tap";
  if (!fs::exists(partial)) partial = image + "/p0.tap";
  ASSERT_TRUE(fs::exists(image + "/imaging.json"));
  const std::string linked = tmp_ / "linked.tap";
  fs::copy_file(partial, linked);
  fs::remove(partial);
  fs::create_hard_link(linked, partial);
  const std::string before = testutil::read_file(linked);
  RunResult r = testutil::run({testutil::bin("tape_image"), cart(), image});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(has_line(r.err, partial + " has more than one link")) << r.err;
  EXPECT_TRUE(testutil::read_file(linked) == before) << "the linked file changed";
  if (geteuid() != 0) return;  // giving a directory away needs root
  fs::remove(partial);
  ASSERT_EQ(chown(image.c_str(), 65534, 65534), 0);
  r = testutil::run({testutil::bin("tape_image"), cart(), image});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(has_line(r.err, image + ") belongs to another user")) << r.err;
}

}  // namespace

namespace {

// --report names a file: a directory or an empty name is refused at once with one line, a path
// through ".." is written where it points. A refused manifest says which rule it breaks.
TEST_F(HostileFilesTest, ReportPathsAndRefusedManifestsSayWhatIsWrong) {
  build(vtape::sample_description());
  RunResult r = reader({"-f", "--report", tmp_.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has_line(r.err, "The report (" + tmp_.path() + ") could not be created: Is a "
                                                              "directory"))
      << r.err;
  r = reader({"-f", "--report="});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has_line(r.err, "The option (--report) needs a value.")) << r.err;
  r = reader({"-f", "--report", "../report.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(testutil::exists(tmp_ / "report.json"));
  vtape::Manifest bad = manifest_;
  bad.partitions[1] = "../p1.tap";
  vtape::write_manifest(bad, cart());
  r = reader({"-f"});
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(e2e::report_lines(r.err).size(), 1u) << r.err;
  EXPECT_NE(r.err.find("is refused: partition file name \"../p1.tap\" must be a plain file name"),
            std::string::npos)
      << r.err;
}

}  // namespace

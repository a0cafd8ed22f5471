// Hostile tapes and shared save paths: links and foreign directories planted below the save path
// and in the working directory, crafted keys, offsets and histories. Nothing outside the save
// path may change, and one bad object or marker costs only itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e/reader_fixture.h"

namespace {

namespace fs = std::filesystem;
using e2e::has_line;
using testutil::RunResult;

class HostileTest : public e2e::ReaderTest {
 protected:
  // A directory outside the save path that a planted link points at, with a file in it.
  std::string victim() const { return tmp_ / "victim"; }
  void make_victim() {
    fs::create_directories(victim() + "/" + MARKER_DIR);
    testutil::write_file(victim() + "/file", "victim");
    testutil::write_file(victim() + "/" + MARKER_DIR + "QRTLabel", "victim label");
    before_ = e2e::files_below(victim());
  }
  void expect_victim_untouched() const { EXPECT_EQ(e2e::files_below(victim()), before_); }
  static constexpr char MARKER_DIR[] = "reference_partition/";

  std::map<std::string, std::string> before_;
};

// Each place a second user could plant a link, or the cartridge memory could name one: the run
// ends with one SYS_ERR naming it, before anything is written or deleted there.
TEST_F(HostileTest, LinksBelowTheSavePathAreRefusedBeforeAnythingIsWrittenThere) {
  build(vtape::sample_description());
  struct Case {
    std::string link;    // below the save path
    std::string target;  // what it points at
    std::string message;
  } cases[] = {
      {"photos", victim(), "photos) is a symbolic link"},
      {tape_id_, victim(), tape_id_ + ") is a symbolic link"},
      {tape_id_ + "/reference_partition/QRTLabel", victim() + "/file",
       "holds something that is not a plain file (QRTLabel)"},
  };
  for (const Case& c : cases) {
    fs::remove_all(save());
    fs::remove_all(victim());
    make_victim();
    fs::create_directories(fs::path(save() + "/" + c.link).parent_path());
    fs::create_symlink(c.target, save() + "/" + c.link);
    const RunResult r = reader({"-f"});
    EXPECT_EQ(r.status, 1) << c.link << r.err;
    EXPECT_TRUE(has_line(r.err, c.message)) << r.err;
    EXPECT_EQ(e2e::report_lines(r.err).back().rfind("[SYS_ERR]", 0), 0u) << r.err;
    expect_victim_untouched();
  }
}

TEST_F(HostileTest, ADirectoryOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "changing a directory's owner needs root";
  build(vtape::sample_description());
  fs::create_directories(save() + "/photos");
  ASSERT_EQ(chown((save() + "/photos").c_str(), 65534, 65534), 0);
  const RunResult r = reader({"-f"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has_line(r.err, "photos) belongs to another user")) << r.err;
  EXPECT_TRUE(fs::is_empty(save() + "/photos"));
}

// A saved cache is used only where every file holds the tape's bytes; links at the temporary
// names of the history and of a pack file are never written through.
TEST_F(HostileTest, PlantedCacheAndTemporaryNamesChangeNothingOutsideTheSavePath) {
  build(vtape::sample_description());
  make_victim();
  ASSERT_EQ(reader({"-f"}).status, 0);
  const std::string saved_pr = tape_dir() + "/reference_partition/PR_1";
  std::string planted = testutil::read_file(saved_pr);
  planted[100] ^= 0x5a;
  testutil::write_file(saved_pr, planted);
  fs::remove_all(work());
  fs::create_directories(work());
  for (const auto& e : fs::directory_iterator(save())) {
    if (e.path().filename() != tape_id_) fs::remove_all(e.path());
  }
  fs::create_symlink(victim() + "/file", work() + "/history.log_temp");

  const RunResult r = reader({"-f"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.err, "does not match this tape. It is not used.")) << r.err;
  e2e::expect_same_files(saved(), e2e::expected_dump(desc_, layout_));
  EXPECT_NE(testutil::read_file(saved_pr), planted);  // saved again from the tape
  ASSERT_EQ(reader({"-l"}).status, 0);
  const std::string pack = vtape::uuid_text(layout_.pos[0].pack_id) + ".pack";
  fs::create_symlink(victim() + "/file", save() + "/" + pack + ".tmp");
  const RunResult pack_run =
      reader({"-b", layout_.objects[0].bucket_name, "-o", layout_.objects[0].key, "-L", "1"});
  EXPECT_EQ(pack_run.status, 0) << pack_run.err;
  EXPECT_EQ(testutil::read_file(save() + "/" + pack), e2e::packed_object_bytes(cart(), layout_, 0));
  expect_victim_untouched();
}

// Keys that would land in the numbered directory itself, hold a zero byte, run into another
// object's file, or carry terminal escape sequences; a packed object placed a million blocks
// away. Each is reported and skipped, every other object is written, and no escape sequence
// reaches the terminal.
TEST_F(HostileTest, HostileKeysAndPlacesCostOnlyThemselves) {
  vtape::Description d = vtape::sample_description();
  d.objects[0].key = "";
  d.objects[1].key = ".";
  d.objects[2].key = "/\x1b[2K\r2026/01/01 [INFO   ] [COMMON] Full dump is complete.\n";
  // Object `twin`, of the bucket of object 4, keys a directory below object 4's data file.
  size_t twin = 5;
  while (d.objects[twin].bucket != d.objects[4].bucket) ++twin;
  d.objects[4].key = "k";
  {
    const vtape::Layout plan = vtape::plan_cartridge(d);
    d.objects[twin].key = "k/" + plan.objects[4].list_id + ".data/z";
    std::string m = plan.objects[3].metadata;
    const std::string key = "\"Key\":\"" + plan.objects[3].key + "\"";
    m.replace(m.find(key), key.size(), "\"Key\":\"ok\\u0000/../x\"");
    d.objects[3].metadata = m;
  }
  // The packed object of objects 15 to 17, a million blocks behind its commit marker.
  const vtape::Layout plan = vtape::plan_cartridge(d);
  const size_t po = plan.objects[16].po;
  vtape::Deviations deviations;
  deviations.patches.push_back(
      vtape::u64_patch({vtape::MarkerKind::ocm, plan.pos[po].ocm}, vtape::kAllCopies,
                       32 + 24 + 16 * plan.pos[po].index_in_ocm + 8, 1000000));
  build(d, deviations);
  const RunResult r = reader({"-f"});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const std::string& text :
       {std::string("The object key () of bucket (photos) names no directory of its own"),
        std::string("The object key (.) of bucket (photos) names no directory of its own"),
        std::string("The object key (ok\\x00/../x) of bucket (photos) holds a zero byte"),
        std::string("runs into the file (") + save() + "/" + layout_.objects[4].bucket_name +
            "/0001/0001/k/" + layout_.objects[4].list_id + ".data) of another object",
        std::string("The po #") + std::to_string(po + 1) + " would lie at block"}) {
    EXPECT_TRUE(has_line(r.err, text)) << text << "\n" << r.err;
  }
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
  EXPECT_NE(r.err.find("(/\\x1b[2K\\x0d2026/01/01 [INFO   ] [COMMON] Full dump is complete.\\x0a)"),
            std::string::npos)
      << r.err;
  std::map<std::string, std::string> want;
  for (size_t i = 0; i < layout_.objects.size(); ++i) {
    const bool lost = i <= 3 || i == twin || layout_.objects[i].po == po;
    if (!lost) want.merge(e2e::expected_dump(d, layout_, i, i + 1));
  }
  e2e::expect_same_files(saved(), want);
}

// A retrieval whose list entry points at another object's metadata writes nothing.
TEST_F(HostileTest, RetrievalWritesOnlyTheObjectItsListEntryNames) {
  build(vtape::sample_description());
  ASSERT_EQ(reader({"-l"}).status, 0);
  const vtape::ObjectLayout& a = layout_.objects[0];
  const vtape::ObjectLayout& b = layout_.objects[1];
  const std::string list = tape_dir() + "/" + a.bucket_name + "_0001.lst";
  std::string text = testutil::read_file(list);
  const std::string offset = "\"offset\":" + std::to_string(a.list_offset) + ",";
  ASSERT_NE(text.find(offset), std::string::npos);
  text.replace(text.find(offset), offset.size(),
               "\"offset\":" + std::to_string(b.list_offset) + ",");
  testutil::write_file(list, text);
  const RunResult r = reader({"-b", a.bucket_name, "-o", a.key});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(has_line(r.err, "is not the one it names: found key (" + b.key + ")")) << r.err;
  EXPECT_TRUE(saved().empty());
}

// A history that another tape wrote, or that was edited, is not resumed from.
TEST_F(HostileTest, ResumeRefusesAHistoryThatDoesNotFitTheTape) {
  build(vtape::sample_description());
  for (const std::string counters :
       {"PR=1\nOCM=1\nPO=9999\nObject number=1\n", "PR=1\nOCM=1\nPO=5\nObject number=1\n"}) {
    testutil::write_file(work() + "/history.log", "[" + tape_id_ + "]\n" + counters);
    const RunResult r = reader({"-r"});
    EXPECT_EQ(r.status, 1) << counters;
    EXPECT_TRUE(has_line(r.err, "in history.log does not fit this tape")) << r.err;
    EXPECT_TRUE(saved().empty());
  }
}

// Object commit marker infos of length 0 all stand at one offset: the index refuses them, and the
// run ends with a handful of reports instead of millions of objects.
TEST_F(HostileTest, OverlappingInfosCostBoundedWork) {
  vtape::Description d = vtape::sample_description();
  const vtape::Layout plan = vtape::plan_cartridge(d);
  vtape::Deviations deviations;
  for (size_t j = 0; j < plan.prs[0].ocm_count; ++j) {
    deviations.patches.push_back(
        vtape::u64_patch({vtape::MarkerKind::pr, 0}, vtape::kBothCopies, 56 + 16 * j, 0));
  }
  build(d, deviations);
  const RunResult r = reader({"-l"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.err, "does not fit between its header size")) << r.err;
  EXPECT_LT(e2e::report_lines(r.err).size(), 40u) << r.err;
}

}  // namespace

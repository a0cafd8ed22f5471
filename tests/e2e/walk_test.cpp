// The walk over the data partition run by the real program on builder cartridges: full dumps
// byte for byte, list files byte for byte, resumes from the progress history, the reports of
// every data-partition deviation, hostile keys and metadata, and the tape motion of a dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/reader_fixture.h"

namespace {

namespace fs = std::filesystem;
using e2e::has_line;
using e2e::history_at;
using e2e::history_section;
using e2e::pad_metadata;
using e2e::ReaderTest;
using e2e::without_numbers;
using testutil::RunResult;

class WalkTest : public ReaderTest {
 protected:
  // Indexes of the objects whose metadata runs past the end of its first block.
  std::vector<size_t> straddling_metadata() const {
    std::vector<size_t> found;
    for (size_t i = 0; i < layout_.objects.size(); ++i) {
      const vtape::ObjectLayout& o = layout_.objects[i];
      if (o.meta_block_offset + (o.data_offset - o.meta_offset) > layout_.block_size) {
        found.push_back(i);
      }
    }
    return found;
  }

  void expect_full_dump() {
    const RunResult r = reader({"-f"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Full dump is complete."), std::string::npos);
    e2e::expect_same_files(saved(), e2e::expected_dump(desc_, layout_));
  }
};

// The sample tape: two buckets, objects of 0 bytes, one byte, one block, many blocks, several
// objects per packed object, several packed objects per commit marker, several partial
// references, at block size 4096.
TEST_F(WalkTest, FullDumpWritesEveryObjectByteForByte) {
  vtape::Description d = vtape::sample_description();
  // User metadata sized so that the metadata of object 4 runs 100 bytes into the next block, and
  // that of object 7 spans three blocks.
  pad_metadata(d, 4, d.block_size + 100);
  pad_metadata(d, 7, 2 * d.block_size + 500);
  build(d);
  ASSERT_GE(layout_.prs.size(), 2u);
  ASSERT_GE(layout_.bucket_names.size(), 2u);
  ASSERT_FALSE(straddling_metadata().empty());
  expect_full_dump();
}

// At 1 MiB: an object of several blocks, an object ending exactly at the end of its block, and
// metadata that crosses a block boundary.
TEST_F(WalkTest, FullDumpAtOneMebibyteBlocks) {
  constexpr uint64_t kMiB = 1048576;
  vtape::Description d;
  d.block_size = kMiB;
  d.buckets = {{"alpha", {}}, {"beta.two", {}}};
  d.grouping = {3, 2, 1};
  const uint64_t sizes[] = {0, 1, 2 * kMiB + 5, kMiB - 700, 300, 12345};
  for (int i = 0; i < 6; ++i) {
    vtape::ObjectEntry o;
    o.bucket = static_cast<size_t>(i / 3);
    o.key = "k/" + std::to_string(i);
    o.data = vtape::ObjectData::pattern(sizes[i], 77 + static_cast<uint64_t>(i));
    o.last_modified = vtape::utc_text(1700000000 + i, 5);
    d.objects.push_back(std::move(o));
  }
  // The third object's data ends exactly at the end of a block (nothing to check for padding);
  // the fourth object's data ends 40 bytes before the end of the first block of the next packed
  // object, so the metadata of the fifth crosses the boundary.
  vtape::Layout plan = vtape::plan_cartridge(d);
  d.objects[2].data = vtape::ObjectData::pattern(3 * kMiB - 32 - plan.objects[2].data_offset, 79);
  const uint64_t end_of_fourth = 32 + plan.objects[3].data_offset + sizes[3];
  ASSERT_LT(end_of_fourth, kMiB);
  d.objects[3].data = vtape::ObjectData::pattern(sizes[3] + (kMiB - end_of_fourth) - 40, 80);
  plan = vtape::plan_cartridge(d);
  ASSERT_EQ(plan.pos[0].place.length, 3 * kMiB);
  build(d);
  ASSERT_FALSE(straddling_metadata().empty());
  expect_full_dump();
}

TEST_F(WalkTest, SoundTapeGivesNoReportAtAnyVerbosity) {
  build(vtape::sample_description());
  const std::string levels[] = {"", "v", "vv", "vvv", "vvvv", "vvvvv", "vvvvvv"};
  for (const std::string& v : levels) {
    for (const char* job : {"-f", "-l"}) {
      if (job[1] == 'l' && v != "" && v != "vvvvvv") continue;
      const std::string save = tmp_ / ("save_" + std::string(job + 1) + v);
      fs::create_directories(save);
      std::vector<std::string> argv = {
          testutil::bin("object_reader"), "-d", cart(), "-F", "-s", save, job};
      if (!v.empty()) argv.insert(argv.end(), {"-v", v});
      const RunResult r = testutil::run(argv, work());
      EXPECT_EQ(r.status, 0) << job << " -v " << v << "\n" << r.err;
      EXPECT_EQ(r.err, "") << job << " -v " << v;
    }
  }
}

// A second dump into the same save path takes the marker cache saved by the first, locates
// the first packed object directly, and writes into new sub-directories.
TEST_F(WalkTest, SecondDumpUsesTheSavedCacheAndNewSubDirectories) {
  build(vtape::sample_description());
  expect_full_dump();
  const std::string cache = tape_dir() + "/reference_partition/";
  EXPECT_EQ(testutil::read_bytes(cache + "RCM_1"), vtape::rcm_bytes(layout_, true));
  EXPECT_EQ(testutil::read_bytes(cache + "RCM_0"), vtape::rcm_bytes(layout_, false));
  for (size_t k = 0; k < layout_.prs.size(); ++k) {
    EXPECT_EQ(testutil::read_bytes(cache + "PR_" + std::to_string(k)), vtape::pr_bytes(layout_, k));
  }
  EXPECT_EQ(testutil::read_file(cache + "VOL1Label"), layout_.vol1);
  EXPECT_EQ(testutil::read_file(cache + "QRTLabel"), layout_.format_label);

  const RunResult r = reader({"-f", "-v", "vvvvvv"});
  EXPECT_EQ(r.status, 0) << r.err;
  // A repeated dump writes the objects again, and says from which directories on.
  EXPECT_EQ(testutil::strip_headers(r.err),
            "[WARNING] [COMMON] The save path already holds objects of this tape's buckets. This "
            "dump writes them again, in new directories:\n" +
                std::string(19, ' ') + "logs.2024: from 0001/0002\n" + std::string(19, ' ') +
                "photos: from 0001/0002\n");
  std::map<std::string, std::string> want = e2e::expected_dump(desc_, layout_);
  for (const auto& [path, content] : e2e::expected_dump(desc_, layout_, 0, SIZE_MAX, 2)) {
    want[path] = content;
  }
  e2e::expect_same_files(saved(), want);
  const std::string trace = testutil::strip_headers(r.out);
  EXPECT_NE(trace.find("start:spti_locate_partition: partition=FFFFFFFF, block=" +
                       std::to_string(layout_.pos[0].place.block) + "("),
            std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// List files

// The objects of each bucket in tape order, as the list run lists them.
std::map<std::string, std::vector<size_t>> objects_per_bucket(const vtape::Layout& layout) {
  std::map<std::string, std::vector<size_t>> per_bucket;
  for (size_t i = 0; i < layout.objects.size(); ++i) {
    per_bucket[layout.objects[i].bucket_name].push_back(i);
  }
  return per_bucket;
}

TEST_F(WalkTest, ListFilesMatchTheLayoutByteForByte) {
  vtape::Description d = vtape::sample_description();
  d.objects[3].key = "John's notes.txt";  // an apostrophe in a key is listed as it stands
  d.objects[5].members.push_back({"ContentType", "\"text/plain; charset='utf-8'\""});
  pad_metadata(d, 8, d.block_size + 100);
  build(d);
  fs::create_directories(save());
  const RunResult r = reader({"-l"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("Making and output the list file is complete."), std::string::npos);

  std::map<std::string, std::string> expected;
  for (const auto& [bucket, objects] : objects_per_bucket(layout_)) {
    expected[bucket + "_0001.lst"] = e2e::list_file(layout_, objects);
  }
  std::map<std::string, std::string> lists;
  for (const auto& [path, content] : e2e::files_below(tape_dir(), "reference_partition")) {
    lists[path] = content;
  }
  EXPECT_EQ(lists, expected);
  EXPECT_TRUE(saved().empty()) << "a list run writes no object files";

  // A second list run replaces the lists instead of adding to them.
  const RunResult again = reader({"-l"});
  EXPECT_EQ(again.status, 0) << again.err;
  for (const auto& [name, content] : expected) {
    EXPECT_EQ(testutil::read_file(tape_dir() + "/" + name), content) << name;
  }
}

// ---------------------------------------------------------------------------------------------
// Progress history and resume

TEST_F(WalkTest, FullDumpLeavesTheLastPackedObjectInTheHistory) {
  build(vtape::sample_description());
  const RunResult r = reader({"-f"});
  ASSERT_EQ(r.status, 0) << r.err;
  // The counters of the last packed object, then the save path, completion and numbering.
  EXPECT_EQ(testutil::read_file(work() + "/history.log"),
            history_at(layout_, tape_id_, layout_.pos.size() - 1) +
                "Save path=" + fs::canonical(save()).string() +
                "\nComplete=1\nNumbering photos=1 1 14\nNumbering logs.2024=1 1 13\n");
}

// An interrupted dump wrote the objects before packed object m; the resume from the history
// written while m was checked completes the save path to what a full dump writes.
TEST_F(WalkTest, ResumeCompletesAnInterruptedDump) {
  const vtape::Description d = vtape::sample_description();
  build(d);
  const RunResult full = reader({"-f"});
  ASSERT_EQ(full.status, 0) << full.err;
  const std::map<std::string, std::string> full_files = saved();

  // Packed objects in the middle of an object commit marker, and first in one.
  for (const size_t m : {size_t{4}, size_t{5}, size_t{7}}) {
    SCOPED_TRACE("resume at packed object " + std::to_string(m));
    const std::string resumed = tmp_ / ("resumed" + std::to_string(m));
    const size_t first = layout_.pos[m].first_object;
    for (const auto& [path, content] : e2e::expected_dump(d, layout_, 0, first)) {
      fs::create_directories(fs::path(resumed + "/" + path).parent_path());
      testutil::write_file(resumed + "/" + path, content);
    }
    testutil::write_file(work() + "/history.log", history_section("OTHER1L8", 9, 9, 9, 9) +
                                                      history_at(layout_, tape_id_, m));
    const RunResult r = testutil::run(
        {testutil::bin("object_reader"), "-d", cart(), "-F", "-s", resumed, "-r", "-v", "vvvvvv"},
        work());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Resume dump is complete."), std::string::npos);
    e2e::expect_same_files(without_numbers(e2e::files_below(resumed, tape_id_)),
                           without_numbers(full_files));
    // Nothing before packed object m is visited again: the walk starts there with a locate.
    const std::string trace = testutil::strip_headers(r.out);
    EXPECT_EQ(testutil::count(trace, "[TRACE  ] [MISC  ] po:"), layout_.pos.size() - m);
    const size_t first_po = trace.find("[TRACE  ] [MISC  ] po:");
    ASSERT_NE(first_po, std::string::npos);
    EXPECT_EQ(trace.substr(first_po + 22, trace.find(',', first_po) - first_po - 22),
              std::to_string(layout_.pos[m].place.block));
    // The other tape's section is kept; this tape's now holds the last packed object.
    const std::string history = testutil::read_file(work() + "/history.log");
    EXPECT_EQ(history.substr(0, history.find("Save path=")),
              history_section("OTHER1L8", 9, 9, 9, 9) +
                  history_at(layout_, tape_id_, layout_.pos.size() - 1));
    EXPECT_NE(history.find("\nComplete=1\n"), std::string::npos);
  }
}

// The history says where an interrupted dump resumes; a list run in between must not move it,
// or the resume would skip the objects between and report the dump complete.
TEST_F(WalkTest, ListRunLeavesTheHistoryOfAnInterruptedDump) {
  build(vtape::sample_description());
  const std::string history = history_at(layout_, tape_id_, 4);
  testutil::write_file(work() + "/history.log", history);
  fs::create_directories(save());
  const RunResult r = reader({"-l"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testutil::read_file(work() + "/history.log"), history);
  const RunResult resumed = reader({"-r"});
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  e2e::expect_same_files(saved(), e2e::expected_dump(desc_, layout_, layout_.pos[4].first_object));
}

TEST_F(WalkTest, ResumeWithoutHistoryOfTheTapeTellsToDumpInFull) {
  build(vtape::sample_description());
  const std::string message = std::string("[SYS_ERR] [COMMON] There is no history file.\n") +
                              std::string(19, ' ') + "Try full dump.\n";
  const std::string resume = ": resume from the working directory of this tape's dump.\n";
  // No history file at all.
  RunResult r = reader({"-r"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(testutil::strip_headers(r.err), message + std::string(19, ' ') +
                                                "The working directory holds no history.log" +
                                                resume);
  // A history of other tapes only.
  testutil::write_file(work() + "/history.log", history_section("QT0002L8", 1, 2, 3, 4));
  r = reader({"-r"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(testutil::strip_headers(r.err),
            message + std::string(19, ' ') +
                "history.log of the working directory records the tapes QT0002L8, not QT0001L8" +
                resume);
  EXPECT_TRUE(saved().empty());
  EXPECT_EQ(testutil::read_file(work() + "/history.log"), history_section("QT0002L8", 1, 2, 3, 4));
}

// ---------------------------------------------------------------------------------------------
// Deviations of the data partition

// The sample tape has, among others: packed object 2 (objects 5, 6, 7 of bucket "logs.2024",
// of 4097, 12305 and 9000 bytes) and packed object 3 (objects 8 and 9) under object commit
// marker 1, in partial reference 0.
class DeviationTest : public WalkTest {
 protected:
  void SetUp() override {
    d_ = vtape::sample_description();
    plan_ = vtape::plan_cartridge(d_);
    ASSERT_EQ(plan_.pos[2].first_object, 5u);
    ASSERT_EQ(plan_.pos[2].object_count, 3u);
    ASSERT_EQ(plan_.pos[3].ocm, 1u);
    ASSERT_EQ(plan_.ocms[1].pr, 0u);
  }

  // Builds with the deviations, runs a full dump and checks what every such run must give.
  RunResult dump(const vtape::Deviations& deviations, int status) {
    build(d_, deviations);
    const RunResult r = reader({"-f"});
    EXPECT_EQ(r.status, status) << r.err;
    if (status == 0) {
      EXPECT_NE(r.out.find("Full dump is complete."), std::string::npos);
    }
    for (const auto& [path, content] : e2e::files_below(save())) {
      EXPECT_EQ(path.find(".tmp"), std::string::npos) << path << " left behind";
    }
    std::set<std::string> top;
    for (const auto& e : fs::directory_iterator(tmp_.path())) top.insert(e.path().filename());
    EXPECT_EQ(top, (std::set<std::string>{"cart", "save", "work"}));
    return r;
  }

  std::map<std::string, std::string> expected(size_t from = 0, size_t to = SIZE_MAX) const {
    return e2e::expected_dump(d_, layout_, from, to);
  }

  static constexpr char kInconsistent[] = "The data partition is inconsistent with marker file(";

  vtape::Description d_;
  vtape::Layout plan_;
};

TEST_F(DeviationTest, MarkerDifferentInTheDataPartitionOnly) {
  struct Case {
    vtape::MarkerRef marker;
    uint64_t offset;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{vtape::MarkerKind::ocm, 1}, 60, "4:reference_partition/PR_0)."},
      {{vtape::MarkerKind::po, 2}, 56, "5:reference_partition/PR_0)."},
      {{vtape::MarkerKind::pr, 1}, 60, "3:reference_partition/PR_1)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    vtape::Deviations deviations;
    deviations.patches.push_back({c.marker, vtape::kDataCopy, c.offset, {0xFF}});
    const RunResult r = dump(deviations, 0);
    EXPECT_TRUE(has_line(r.err, std::string(kInconsistent) + c.message)) << r.err;
    EXPECT_TRUE(has_line(r.err, "Some error has occurred at check_integrity.")) << r.err;
    // Only the marker differs: every object is still written whole.
    e2e::expect_same_files(saved(), expected());
    fs::remove_all(save());
    fs::remove_all(cart());
  }
}

TEST_F(DeviationTest, MetadataDifferentOnTapeIsReportedAndWrittenAsTheTapeHoldsIt) {
  const std::string& meta = plan_.objects[5].metadata;
  const size_t at = meta.find("\"ObjectId\":\"") + 12;
  vtape::Deviations deviations;
  deviations.patches.push_back(
      vtape::text_patch({vtape::MarkerKind::meta, 5}, vtape::kDataCopy, at, "f"));
  const RunResult r = dump(deviations, 0);
  EXPECT_TRUE(has_line(r.err, std::string(kInconsistent) + "6:reference_partition/PR_0)."))
      << r.err;
  std::map<std::string, std::string> files = saved();
  std::map<std::string, std::string> want = expected();
  const std::string dir = "logs.2024/0001/0001/" + plan_.objects[5].key + "/";
  want.erase(dir + plan_.objects[5].list_id + ".meta");
  want.erase(dir + plan_.objects[5].list_id + ".data");
  std::string patched = meta;
  patched[at] = 'f';
  size_t found = 0;
  for (auto it = files.begin(); it != files.end();) {
    if (it->first.rfind(dir, 0) == 0) {
      if (it->first.ends_with(".meta")) {
        EXPECT_EQ(it->second, patched);
      }
      ++found;
      it = files.erase(it);
    } else {
      ++it;
    }
  }
  EXPECT_EQ(found, 2u);
  e2e::expect_same_files(files, want);
}

TEST_F(DeviationTest, CommitMarkerLongerOnTapeThanItsDirectoryLength) {
  vtape::Deviations deviations;
  deviations.resizes.push_back(
      {{vtape::MarkerKind::ocm, 1}, vtape::kDataCopy, plan_.ocms[1].place.length + 8});
  const RunResult r = dump(deviations, 0);
  EXPECT_TRUE(has_line(r.err, std::string(kInconsistent) + "4:reference_partition/PR_0)."))
      << r.err;
  e2e::expect_same_files(saved(), expected());
}

TEST_F(DeviationTest, MissingFilemarks) {
  using Side = vtape::FilemarkEdit::Side;
  using Action = vtape::FilemarkEdit::Action;
  struct Case {
    vtape::FilemarkEdit edit;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{1, {vtape::MarkerKind::ocm, 1}, Side::before, Action::drop, 1},
       "[ERROR  ] [PR    ] There is no file mark just before the object commit marker."},
      {{1, {vtape::MarkerKind::ocm, 1}, Side::after, Action::drop, 1},
       "[ERROR  ] [RCM   ] There is no file mark at the end of the object commit marker."},
      // The partial reference is read on to the next filemark, behind the packed objects of
      // the next commit marker.
      {{1, {vtape::MarkerKind::pr, 0}, Side::after, Action::drop, 1},
       "The size is different between the marker on the data partition and the marker "
       "file(reference_partition/PR_0)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    vtape::Deviations deviations;
    deviations.filemarks.push_back(c.edit);
    const RunResult r = dump(deviations, 0);
    EXPECT_TRUE(has_line(r.err, c.message)) << r.err;
    // One filemark fewer moves the last commit marker, from which every position is reckoned.
    EXPECT_TRUE(has_line(r.err, "[ERROR  ] [MISC  ] Total number of filemarks is not correct."));
    fs::remove_all(save());
    fs::remove_all(cart());
  }
}

TEST_F(DeviationTest, ExtraFilemarkBeforeThePackedObjects) {
  vtape::Deviations deviations;
  deviations.filemarks.push_back({1,
                                  {vtape::MarkerKind::first_rcm, 0},
                                  vtape::FilemarkEdit::Side::after,
                                  vtape::FilemarkEdit::Action::add,
                                  1});
  const RunResult r = dump(deviations, 0);
  const std::string err = testutil::strip_headers(r.err);
  // Reported by the count and again by the walk.
  EXPECT_EQ(testutil::count(err, "[ERROR  ] [MISC  ] Total number of filemarks is not correct.\n"),
            2u)
      << err;
  EXPECT_TRUE(has_line(r.err, "The actual position " + std::to_string(plan_.pos[0].place.block) +
                                  " of the po on the data partition is different from expected "
                                  "value " +
                                  std::to_string(plan_.pos[0].place.block + 1) + "."))
      << err;
  // Every position is reckoned back from the last commit marker: every object is still found,
  // in its own bucket although the header of the first packed object was not read.
  e2e::expect_same_files(saved(), expected());
}

// Object 7, the last of packed object 2, says in every copy of its metadata that it is 1000
// bytes long, not 9000: it is written with 1000 bytes, and the rest of its place is not taken
// for the padding after the packed object.
TEST_F(DeviationTest, ObjectShorterThanItsPlaceIsNotTakenForPadding) {
  const std::string& meta = plan_.objects[7].metadata;
  const size_t at = meta.find("\"Size\":9000,");
  ASSERT_NE(at, std::string::npos);
  vtape::Deviations deviations;
  deviations.patches.push_back(
      vtape::text_patch({vtape::MarkerKind::meta, 7}, vtape::kAllCopies, at + 7, "1"));
  // The commit marker on the data partition holds a copy of the metadata too.
  const vtape::OcmLayout& ocm = plan_.ocms[plan_.objects[7].ocm];
  deviations.patches.push_back(
      vtape::text_patch({vtape::MarkerKind::ocm, plan_.objects[7].ocm}, vtape::kDataCopy,
                        32 + plan_.objects[7].meta_info_offset - ocm.info_offset + at + 7, "1"));
  const RunResult r = dump(deviations, 0);
  EXPECT_EQ(r.err, "");
  std::map<std::string, std::string> want = expected();
  for (const auto& [path, content] : expected(7, 8)) want.erase(path);
  std::string patched = meta;
  patched[at + 7] = '1';
  const std::string base =
      "logs.2024/0001/0001/" + plan_.objects[7].key + "/" + vtape::list_object_id(patched);
  want[base + ".meta"] = patched;
  want[base + ".data"] = expected(7, 8).begin()->second.substr(0, 1000);  // ".data" sorts first
  e2e::expect_same_files(saved(), want);
}

TEST_F(DeviationTest, NonZeroPaddingAfterThePackedObjectsIsReportedAndTheDumpGoesOn) {
  vtape::Deviations deviations;
  deviations.patches.push_back(
      {{vtape::MarkerKind::po, 3}, vtape::kDataCopy, plan_.pos[3].place.length + 10, {0x01}});
  const RunResult r = dump(deviations, 0);
  EXPECT_EQ(e2e::report_lines(r.err),
            (std::vector<std::string>{
                "[ERROR  ] [UNKNOWN] The end of the packed objects must be zero-padded.",
                "[ERROR  ] [MISC  ] Some error has occurred at check_integrity."}));
  // A stray byte in the padding loses nothing: every object is written.
  e2e::expect_same_files(saved(), expected());

  // A resume does not check the padding.
  testutil::write_file(work() + "/history.log", history_at(layout_, tape_id_, 3));
  fs::remove_all(save());
  const RunResult resumed = reader({"-r"});
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(resumed.err, "");
  e2e::expect_same_files(saved(), expected(plan_.pos[3].first_object));
}

TEST_F(DeviationTest, UnreadableBlockInsideAnObjectLosesThatObjectOnly) {
  const vtape::ObjectLayout& o = plan_.objects[6];
  const uint64_t last_block = o.po_block + (32 + o.data_offset + o.data_size) / plan_.block_size;
  ASSERT_LT(o.meta_block + 1, last_block);
  vtape::Deviations deviations;
  deviations.unreadable.push_back({1, o.meta_block + 1});
  const RunResult r = dump(deviations, 2);
  EXPECT_TRUE(has_line(r.err, "Block " + std::to_string(o.meta_block + 1) +
                                  " of the data partition cannot be read (3 tries). The objects "
                                  "with bytes in it are not written:"))
      << r.err;
  std::map<std::string, std::string> want = expected();
  const std::map<std::string, std::string> lost = expected(6, 7);
  for (const auto& [path, content] : lost) want.erase(path);
  e2e::expect_same_files(saved(), want);
  std::cerr << r.out << r.err;
}

TEST_F(DeviationTest, ObjectsCutShortByAFilemarkAreNotWritten) {
  // Objects 7 and 9 end their packed objects (2 and 3, the last two of commit marker 1) 10 bytes
  // before the end of a block. Each then says, in every copy of its metadata and in the end of
  // the data area that the partial references give, that it is many blocks longer: the reading
  // of object 7 runs through packed object 3 to the filemark, that of object 9 to the filemark.
  const uint64_t bs = d_.block_size;
  for (const size_t i : {size_t{7}, size_t{9}}) {
    for (int pass = 0; pass < 2; ++pass) {  // the metadata grows with the digits of the size
      const vtape::PoLayout& po = plan_.pos[plan_.objects[i].po];
      const uint64_t size = d_.objects[i].data.size() + po.place.records * bs - po.place.length;
      d_.objects[i].data = vtape::ObjectData::pattern(size - 10, 500 + i);
      plan_ = vtape::plan_cartridge(d_);
    }
  }
  vtape::Deviations deviations;
  for (const size_t i : {size_t{7}, size_t{9}}) {
    const vtape::ObjectLayout& o = plan_.objects[i];
    const std::string size = std::to_string(o.data_size);
    ASSERT_NE(size[0], '9');
    const uint64_t more = (9 - static_cast<uint64_t>(size[0] - '0')) *
                          static_cast<uint64_t>(std::pow(10, size.size() - 1));
    ASSERT_GT(more, bs);
    const size_t at = o.metadata.find("\"Size\":" + size + ",");
    ASSERT_NE(at, std::string::npos);
    deviations.patches.push_back(
        vtape::text_patch({vtape::MarkerKind::meta, i}, vtape::kAllCopies, at + 7, "9"));
    const vtape::PoLayout& po = plan_.pos[o.po];
    const uint64_t closing = 32 + vtape::kPoHeaderSize + vtape::kPoEntrySize * po.object_count;
    for (const uint64_t field : {closing + 16, closing + 24}) {
      deviations.patches.push_back(vtape::u64_patch({vtape::MarkerKind::po, o.po},
                                                    vtape::kReferenceCopy | vtape::kDataPrCopy,
                                                    field, po.last_data_offset + more));
    }
  }
  const RunResult r = dump(deviations, 0);
  for (const size_t i : {size_t{7}, size_t{9}}) {
    EXPECT_TRUE(has_line(r.err, "The object (" + plan_.objects[i].key +
                                    ") is cut short by a filemark. The object is not written."))
        << r.err;
  }
  std::map<std::string, std::string> want = expected();
  for (const size_t i : {size_t{7}, size_t{9}}) {
    for (const auto& [path, content] : expected(i, i + 1)) want.erase(path);
  }
  // Packed object 3 is reached again after object 7, and the walk goes on after object 9
  // without a false report about the commit marker.
  e2e::expect_same_files(saved(), want);
  EXPECT_FALSE(has_line(r.err, "The actual position")) << r.err;
  EXPECT_FALSE(has_line(r.err, "file mark just before the object commit marker")) << r.err;
}

// ---------------------------------------------------------------------------------------------
// Keys, bucket names and metadata from the tape

TEST_F(WalkTest, HostileKeysAndMetadataAreReportedAndTheNextObjectsWritten) {
  const std::string unique = fs::path(tmp_.path()).filename().string();
  vtape::Description d = vtape::sample_description();
  std::map<size_t, std::string> refused = {
      {1, "../../../../../" + unique + "-escape"},  // would land in /tmp
      {2, "/" + unique + "-absolute/key"},
      {3, "a/../../b"},
      {7, "../sideways"},  // the last, multi-block object of packed object 2
  };
  for (const auto& [i, key] : refused) d.objects[i].key = key;
  d.objects[4].key = "John's notes.txt";
  d.objects[6].metadata = "{\"MetadataVersion\":1,\"Key\":\"broken\",";
  {
    // Object 9 (1 byte, the last of packed object 3) says it is 9 bytes long.
    const vtape::Layout plan = vtape::plan_cartridge(d);
    std::string m = plan.objects[9].metadata;
    const size_t at = m.find("\"Size\":1,");
    ASSERT_NE(at, std::string::npos);
    m[at + 7] = '9';
    d.objects[9].metadata = m;
  }
  // Objects 13 and 14 have the same metadata, so the same files: the second is not written.
  const vtape::Layout plan = vtape::plan_cartridge(d);
  d.objects[14].metadata = plan.objects[13].metadata;
  build(d);

  const RunResult r = reader({"-f"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Full dump is complete."), std::string::npos);
  for (const auto& [i, key] : refused) {
    EXPECT_TRUE(has_line(r.err, "[ERROR  ] [COMMON] The object key (" + key + ") of bucket (" +
                                    layout_.objects[i].bucket_name +
                                    ") would be written outside the save path. The object is not "
                                    "written."))
        << key;
  }
  EXPECT_TRUE(has_line(r.err,
                       "[ERROR  ] [COMMON] The metadata of an object on the data partition could "
                       "not be parsed. The object is skipped."));
  EXPECT_TRUE(has_line(r.err,
                       "[ERROR  ] [COMMON] The size 9 of the object (dir0/file-9) does not fit in "
                       "its packed object. The object is not written."));
  const std::string twin = save() + "/photos/0001/0001/" + layout_.objects[13].key + "/" +
                           layout_.objects[13].list_id + ".meta";
  EXPECT_TRUE(has_line(r.err, "[WARNING] [COMMON] The object file (" + twin +
                                  ") already exists. The object is not written."))
      << r.err;

  std::map<std::string, std::string> want = e2e::expected_dump(d, layout_);
  for (const size_t i : {1, 2, 3, 6, 7, 9, 14}) {
    for (const auto& [path, content] : e2e::expected_dump(d, layout_, i, i + 1)) want.erase(path);
  }
  e2e::expect_same_files(saved(), want);
  EXPECT_FALSE(fs::exists("/tmp/" + unique + "-escape"));
  EXPECT_FALSE(fs::exists("/" + unique + "-absolute"));
  std::set<std::string> top;
  for (const auto& e : fs::directory_iterator(tmp_.path())) top.insert(e.path().filename());
  EXPECT_EQ(top, (std::set<std::string>{"cart", "save", "work"}));
  std::set<std::string> buckets;
  for (const auto& e : fs::directory_iterator(save())) buckets.insert(e.path().filename());
  EXPECT_EQ(buckets, (std::set<std::string>{"logs.2024", "photos", tape_id_}));

  // The list run lists every object but the one whose metadata does not parse and the one that
  // does not fit (a retrieval through the list would copy what follows it as its data).
  const RunResult list = reader({"-l"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_TRUE(has_line(list.err, "does not fit in its packed object")) << list.err;
  vtape::Layout listed = layout_;  // the second twin is listed as its metadata says
  listed.objects[14].key = layout_.objects[13].key;
  listed.objects[14].data_size = layout_.objects[13].data_size;
  listed.objects[14].last_modified = layout_.objects[13].last_modified;
  listed.objects[14].list_id = layout_.objects[13].list_id;
  for (auto& [bucket, objects] : objects_per_bucket(layout_)) {
    std::erase_if(objects, [](size_t i) { return i == 6 || i == 9; });
    EXPECT_EQ(testutil::read_file(tape_dir() + "/" + bucket + "_0001.lst"),
              e2e::list_file(listed, objects))
        << bucket;
  }
}

// The walk takes the bucket names from the last commit marker of the data partition: there
// they may differ from the checked copy of the reference partition.
TEST_F(WalkTest, BucketNamesThatAreNotADirectoryNameAreNotWrittenTo) {
  vtape::Description d;
  d.block_size = 4096;
  d.buckets = {{"abc", {}}, {"xyz", {}}, {"good", {}}};
  for (size_t i = 0; i < 3; ++i) {
    vtape::ObjectEntry o;
    o.bucket = i;
    o.key = "k" + std::to_string(i);
    o.data = vtape::ObjectData::text("data " + std::to_string(i));
    d.objects.push_back(std::move(o));
  }
  const std::vector<uint8_t> rcm = vtape::rcm_bytes(vtape::plan_cartridge(d), true);
  const std::string text(rcm.begin(), rcm.end());
  vtape::Deviations deviations;
  deviations.patches.push_back(vtape::text_patch({vtape::MarkerKind::last_rcm, 0}, vtape::kDataCopy,
                                                 text.find("\"abc\"") + 1, "..\" "));
  deviations.patches.push_back(vtape::text_patch({vtape::MarkerKind::last_rcm, 0}, vtape::kDataCopy,
                                                 text.find("\"xyz\"") + 1, "a/b"));
  build(d, deviations);
  fs::create_directories(save());
  const RunResult r = reader({"-f"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.err,
                       "The data partition is inconsistent with marker "
                       "file(reference_partition/RCM_1)."))
      << r.err;
  // The names are refused once, where the list is read; their objects go under the bucket ID.
  EXPECT_TRUE(has_line(r.err, "The bucket name (..) of the bucket (" +
                                  vtape::uuid_text(layout_.bucket_ids[0]) +
                                  ") cannot name a directory."))
      << r.err;
  EXPECT_TRUE(has_line(r.err, "The bucket name (a/b) of the bucket (" +
                                  vtape::uuid_text(layout_.bucket_ids[1]) +
                                  ") cannot name a directory."))
      << r.err;
  std::map<std::string, std::string> expected = e2e::expected_dump(d, layout_);
  for (size_t i = 0; i < 2; ++i) {
    const vtape::ObjectLayout& o = layout_.objects[i];
    const std::string base = o.bucket_name + "/0001/0001/" + o.key + "/" + o.list_id;
    const std::string moved =
        vtape::uuid_text(layout_.bucket_ids[i]) + "/0001/0001/" + o.key + "/" + o.list_id;
    for (const char* suffix : {".meta", ".data"}) {
      expected[moved + suffix] = expected[base + suffix];
      expected.erase(base + suffix);
    }
  }
  e2e::expect_same_files(saved(), expected);
  std::set<std::string> top;
  for (const auto& e : fs::directory_iterator(tmp_.path())) top.insert(e.path().filename());
  EXPECT_EQ(top, (std::set<std::string>{"cart", "save", "work"}));

  // Nor do they name list files: the lists go under the bucket ID too.
  const RunResult list = reader({"-l"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_FALSE(has_line(list.err, "cannot name a list file."));
  std::set<std::string> lists;
  for (const auto& e : fs::directory_iterator(tape_dir())) lists.insert(e.path().filename());
  EXPECT_EQ(lists, (std::set<std::string>{vtape::uuid_text(layout_.bucket_ids[0]) + "_0001.lst",
                                          vtape::uuid_text(layout_.bucket_ids[1]) + "_0001.lst",
                                          "good_0001.lst", "reference_partition"}));
}

TEST_F(WalkTest, MetadataLargerThanItsBufferIsReportedAndTheObjectSkipped) {
  vtape::Description d;
  d.block_size = 4096;
  d.buckets = {{"big-meta", {}}};
  d.grouping = {3, 1, 1};
  for (size_t i = 0; i < 3; ++i) {
    vtape::ObjectEntry o;
    o.key = "k" + std::to_string(i);
    o.data = vtape::ObjectData::pattern(5000 + i, 60 + i);
    d.objects.push_back(std::move(o));
  }
  d.objects[1].members.push_back(
      {"UserMetadata", "{\"note\":\"" + std::string(2097152, 'x') + "\"}"});
  build(d);
  const uint64_t length = layout_.objects[1].data_offset - layout_.objects[1].meta_offset;
  const RunResult r = reader({"-f"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.err, "The metadata of the object is " + std::to_string(length) +
                                  " bytes long, more than 2097152 bytes. The object is skipped."))
      << r.err;
  std::map<std::string, std::string> want = e2e::expected_dump(d, layout_, 0, 1);
  for (const auto& [path, content] : e2e::expected_dump(d, layout_, 2, 3)) {
    want["big-meta/0001/0001/" + path.substr(path.find("k2"))] = content;
  }
  e2e::expect_same_files(saved(), want);
}

// ---------------------------------------------------------------------------------------------
// Tape motion

struct Segment {
  std::string kind;  // "po", "meta", "ocm", "pr"
  size_t reads = 0;
  size_t locates = 0;
};

// The walk over the data partition, from the first packed object to its end, cut into the
// checks of its markers, with the READ and LOCATE commands each issued.
std::vector<Segment> walk_segments(const std::string& trace) {
  std::vector<Segment> segments;
  std::istringstream in(trace);
  std::string line;
  bool started = false;
  while (std::getline(in, line)) {
    if (line.find("start:check_part_of_pr_integrity") != std::string::npos ||
        (started && line.find("start:check_pr_integrity: 1") != std::string::npos)) {
      started = true;
      segments.push_back({line.find("check_pr_integrity") != std::string::npos ? "pr" : ""});
      continue;
    }
    if (!started) continue;
    if (line.find("end  :check_integrity") != std::string::npos) break;
    Segment& s = segments.back();
    for (const char* kind : {"po", "meta", "ocm"}) {
      if (s.kind.empty() && line.rfind("[TRACE  ] [MISC  ] " + std::string(kind) + ":", 0) == 0) {
        s.kind = kind;
      }
    }
    if (line.find("start SCSI_COMMAND:(8)") != std::string::npos) ++s.reads;
    if (line.find("start SCSI_COMMAND:(2b)") != std::string::npos) ++s.locates;
  }
  return segments;
}

// A full dump reads every record and filemark of the data partition once, in one forward pass:
// the read that meets a filemark proves it, and the walk never locates.
TEST_F(WalkTest, FullDumpReadsTheDataPartitionOnceWithoutLocating) {
  vtape::Description d = vtape::sample_description();
  pad_metadata(d, 4, d.block_size + 100);
  pad_metadata(d, 7, 2 * d.block_size + 500);
  build(d);
  const RunResult r = reader({"-f", "-v", "vvvvvv"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<Segment> segments = walk_segments(testutil::strip_headers(r.out));
  size_t reads = 0;
  std::map<std::string, size_t> per_kind;
  for (const Segment& s : segments) {
    ++per_kind[s.kind];
    reads += s.reads;
    EXPECT_EQ(s.locates, 0u) << s.kind;
  }
  EXPECT_EQ(per_kind["po"], layout_.pos.size());
  EXPECT_EQ(per_kind["meta"], layout_.objects.size());
  EXPECT_EQ(per_kind["ocm"], layout_.ocms.size());
  EXPECT_EQ(per_kind["pr"], layout_.prs.size());
  // Every block once, with the filemarks before and after each commit marker and after each
  // partial reference.
  size_t blocks = 0;
  for (const vtape::PoLayout& po : layout_.pos) blocks += po.place.records;
  for (const vtape::OcmLayout& ocm : layout_.ocms) blocks += ocm.place.records + 2;
  for (const vtape::Place& pr : layout_.partitions[1].prs) blocks += pr.records + 1;
  EXPECT_EQ(reads, blocks);

  // Over the whole run, labels and commit markers included, every record of the data partition
  // is read once, and the filemark behind each marker that is read to its end.
  std::istringstream in(testutil::strip_headers(r.out));
  std::string line;
  std::string partition = "0";
  size_t data_partition_reads = 0;
  while (std::getline(in, line)) {
    const std::string tag = "start:spti_locate_partition: partition=";
    const size_t at = line.find(tag);
    if (at != std::string::npos) {
      const std::string p = line.substr(at + tag.size(), line.find(',', at) - at - tag.size());
      if (p != "FFFFFFFF") partition = p;
    }
    if (partition == "1" && line.find("start SCSI_COMMAND:(8)") != std::string::npos) {
      ++data_partition_reads;
    }
  }
  const vtape::PartitionLayout& p1 = layout_.partitions[1];
  EXPECT_EQ(data_partition_reads, blocks + p1.vol1.records + p1.label.records +
                                      p1.first_rcm.records + p1.last_rcm.records + 4);
}

}  // namespace

// Damaged tapes: blocks the drive cannot read, in object data, in packed objects, in commit markers
// and partial references of either partition. Every job recovers each object outside the damage
// byte for byte, names each one lost, publishes nothing partial and ends with status 2 when it
// lost objects, 0 when it lost none.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "e2e/reader_fixture.h"

namespace {

namespace fs = std::filesystem;
using e2e::has_line;
using testutil::RunResult;

// A place on the tape to damage, chosen from the layout.
struct Damage {
  int partition;
  uint64_t block;
};

struct Case {
  std::string name;
  std::vector<Damage> damage;
  std::string message;  // a WARNING or ERROR line the damage gives
  // The data partition file cut in the middle of this block: nothing from there on is read.
  uint64_t cut = UINT64_MAX;
};

class DamageTest : public e2e::ReaderTest {
 protected:
  void SetUp() override {
    d_ = vtape::sample_description();
    plan_ = vtape::plan_cartridge(d_);
    ASSERT_EQ(plan_.block_size, 4096u);
  }

  // The objects with bytes (metadata or data) in block `b` of the data partition.
  std::set<size_t> objects_in_block(uint64_t b) const {
    std::set<size_t> found;
    const uint64_t bs = plan_.block_size;
    for (size_t i = 0; i < plan_.objects.size(); ++i) {
      const vtape::ObjectLayout& o = plan_.objects[i];
      const uint64_t base = o.po_block * bs + 32;
      const uint64_t end = base + o.data_offset + o.data_size;
      if ((base + o.meta_offset) / bs <= b && b <= (end - 1) / bs) found.insert(i);
    }
    return found;
  }

  // The last block of object `i`, which holds its data only when it runs over many blocks.
  uint64_t last_block_of(size_t i) const {
    const vtape::ObjectLayout& o = plan_.objects[i];
    return (o.po_block * plan_.block_size + 32 + o.data_offset + o.data_size - 1) /
           plan_.block_size;
  }

  std::vector<Case> cases() const {
    const vtape::PartitionLayout& rp = plan_.partitions[0];
    const vtape::PartitionLayout& dp = plan_.partitions[1];
    return {
        {"object data", {{1, plan_.objects[6].meta_block + 1}}, ""},
        {"packed object header", {{1, plan_.pos[2].place.block}}, ""},
        {"object commit marker",
         {{1, plan_.ocms[1].place.block}},
         "The object commit marker on the data partition cannot be compared with its copy"},
        {"partial reference on the data partition",
         {{1, dp.prs[0].block}},
         "The partial reference on the data partition cannot be compared with its copy"},
        {"reference partition",
         {{0, rp.prs[1].block}, {0, rp.vol1.block}, {0, rp.label.block}, {0, rp.last_rcm.block}},
         "Block " + std::to_string(rp.prs[1].block) +
             " of the reference partition cannot be read (3 tries): the copy of partial "
             "reference 1 on the data partition is used."},
        {"two regions", {{1, last_block_of(2)}, {1, last_block_of(9)}}, ""},
        {"data partition file cut",
         {},
         "The data partition ends at block " + std::to_string(last_block_of(6) + 1) +
             ", before its last reference commit marker",
         last_block_of(6)},
    };
  }

  // The objects a job loses: those with bytes in a damaged block of the data partition (a list
  // run reads every object whole, as a dump does).
  std::set<size_t> lost(const Case& c) const {
    std::set<size_t> found;
    for (const Damage& d : c.damage) {
      if (d.partition != 1) continue;
      const std::set<size_t> in = objects_in_block(d.block);
      found.insert(in.begin(), in.end());
    }
    for (size_t i = 0; i < plan_.objects.size(); ++i) {
      if (last_block_of(i) >= c.cut) found.insert(i);
    }
    return found;
  }

  // The files a dump writes, without those of the lost objects.
  std::map<std::string, std::string> recovered(const std::set<size_t>& lost) const {
    std::map<std::string, std::string> files = e2e::expected_dump(d_, layout_);
    for (const size_t i : lost) {
      for (const auto& [path, content] : e2e::expected_dump(d_, layout_, i, i + 1)) {
        files.erase(path);
      }
    }
    return files;
  }

  // What every job on a damaged tape must give: its status, each lost object named in its last
  // lines, nothing partial left behind.
  void expect_outcome(const RunResult& r, const std::set<size_t>& lost, const Case& c) {
    EXPECT_EQ(r.status, lost.empty() ? 0 : 2) << r.err;
    if (!c.message.empty()) {
      EXPECT_TRUE(has_line(r.err, c.message)) << r.err;
    }
    // The last lines name them, or the file that lists them when there are more than 20.
    std::string tail = r.err.substr(r.err.rfind("could not be read from the tape") + 1);
    if (testutil::exists(tape_dir() + "/lost_objects.txt")) {
      tail += testutil::read_file(tape_dir() + "/lost_objects.txt");
    }
    EXPECT_EQ(r.err.find("could not be read from the tape") != std::string::npos, !lost.empty());
    for (const size_t i : lost) {
      const vtape::ObjectLayout& o = plan_.objects[i];
      EXPECT_NE(tail.find(o.bucket_name + "/" + o.key + " (object id " + o.list_id),
                std::string::npos)
          << i << "\n"
          << r.err;
    }
    for (const auto& [path, content] : e2e::files_below(save())) {
      EXPECT_EQ(path.find(".tmp"), std::string::npos) << path << " left behind";
    }
  }

  // The list files of a list run that lost `lost`: the readable objects of each bucket.
  void expect_lists(const std::set<size_t>& lost) {
    std::map<std::string, std::vector<size_t>> per_bucket;
    for (size_t i = 0; i < layout_.objects.size(); ++i) {
      if (lost.count(i) == 0) per_bucket[layout_.objects[i].bucket_name].push_back(i);
    }
    std::map<std::string, std::string> expected;
    for (const auto& [bucket, objects] : per_bucket) {
      expected[bucket + "_0001.lst"] = e2e::list_file(layout_, objects);
    }
    std::map<std::string, std::string> lists;
    for (const auto& [path, content] : e2e::files_below(tape_dir(), "reference_partition")) {
      if (path.ends_with(".lst")) lists[path] = content;
    }
    EXPECT_EQ(lists, expected);
  }

  // Cuts the data partition file 100 bytes into block `block`.
  void cut_data_partition(uint64_t block) const {
    const std::string file = cart() + "/p1.tap";
    const uint64_t offset = simh::byte_offset(simh::read_partition(file), block) + 100;
    testutil::write_file(file, testutil::read_file(file).substr(0, offset));
  }

  vtape::Description d_;
  vtape::Layout plan_;
};

// Each damage, for a full dump, a list run and a resume from the packed object before it.
TEST_F(DamageTest, EveryObjectOutsideTheDamageIsRecoveredAndEveryLostOneNamed) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    vtape::Deviations deviations;
    for (const Damage& d : c.damage) deviations.unreadable.push_back({d.partition, d.block});
    build(d_, deviations);
    if (c.cut != UINT64_MAX) cut_data_partition(c.cut);

    const std::set<size_t> lost_in_dump = lost(c);
    RunResult r = reader({"-f"});
    expect_outcome(r, lost_in_dump, c);
    e2e::expect_same_files(saved(), recovered(lost_in_dump));

    fs::remove_all(save());
    fs::create_directories(save());
    r = reader({"-l"});
    expect_outcome(r, lost_in_dump, c);
    expect_lists(lost_in_dump);

    // A resume from the history of a dump interrupted at packed object 1, with the objects
    // before it written.
    fs::remove_all(save());
    const size_t first = layout_.pos[1].first_object;
    for (const auto& [path, content] : e2e::expected_dump(d_, layout_, 0, first)) {
      fs::create_directories(fs::path(save() + "/" + path).parent_path());
      testutil::write_file(save() + "/" + path, content);
    }
    testutil::write_file(work() + "/history.log", e2e::history_at(layout_, tape_id_, 1));
    r = reader({"-r"});
    std::set<size_t> lost_in_resume;
    for (const size_t i : lost_in_dump) {
      if (i >= first) lost_in_resume.insert(i);
    }
    expect_outcome(r, lost_in_resume, c);
    e2e::expect_same_files(e2e::without_numbers(saved()),
                           e2e::without_numbers(recovered(lost_in_resume)));

    fs::remove_all(save());
    fs::remove_all(work());
    fs::remove_all(cart());
  }
}

// A dump stopped after it lost objects, by SIGTERM or killed at once, then resumed: the resume
// does not read those objects again, yet names them and ends with status 2, and so does a resume
// of the dump once it is complete.
TEST_F(DamageTest, AResumeNamesTheObjectsTheInterruptedDumpLost) {
  const Case c{"first packed object", {{1, plan_.pos[0].place.block}}, ""};
  for (const int signal_number : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal_number);
    vtape::Deviations deviations;
    deviations.unreadable.push_back({1, plan_.pos[0].place.block});
    build(d_, deviations);
    signal_at(90, signal_number);  // past the damage, before the end
    RunResult r = reader({"-f"});
    ASSERT_EQ(r.status, 128 + signal_number) << r.err;
    ASSERT_TRUE(has_line(r.err, "Block " + std::to_string(plan_.pos[0].place.block) +
                                    " of the data partition cannot be read"))
        << r.err;
    signal_at(0, 0);
    for (int run = 0; run < 2; ++run) {
      r = reader({"-r"});
      expect_outcome(r, lost(c), c);
    }
    e2e::expect_same_files(saved(), recovered(lost(c)));
    fs::remove_all(save());
    fs::remove_all(work());
    fs::remove_all(cart());
  }
}

// A record of lost objects ahead of the history (a dump stops after it recorded a loss, before
// its history moved past it): the resume meets those objects again, and on a cartridge read well
// this time writes them, names none of them lost, ends with status 0, and the record lets go.
TEST_F(DamageTest, AResumeThatWritesAnObjectRecordedLostDoesNotNameIt) {
  vtape::Deviations deviations;
  deviations.unreadable.push_back({1, plan_.pos[0].place.block});
  build(d_, deviations);
  ASSERT_EQ(reader({"-f"}).status, 2);
  const std::string record = tape_dir() + "/lost_places.jsonl";
  ASSERT_TRUE(fs::exists(record));
  fs::remove_all(cart());
  build(d_);
  testutil::write_file(work() + "/history.log", e2e::history_at(layout_, tape_id_, 0));
  const RunResult r = reader({"-r"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("could not be read from the tape by the dump"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(record));
  e2e::expect_same_files(e2e::without_numbers(saved()), e2e::without_numbers(recovered({})));
}

}  // namespace

// More than 20 objects lost: the last line names the file that lists them, one per line.
TEST_F(DamageTest, ManyLostObjectsAreListedInAFile) {
  vtape::Description d;
  d.block_size = 65536;
  d.buckets = {{"alpha", {}}};
  d.grouping = {25, 1, 1};
  for (uint64_t i = 0; i < 25; ++i) {
    vtape::ObjectEntry o;
    o.key = "k" + std::to_string(i);
    o.data = vtape::ObjectData::pattern(10, i);
    o.last_modified = vtape::utc_text(1700000000, 0);
    d.objects.push_back(std::move(o));
  }
  const vtape::Layout plan = vtape::plan_cartridge(d);
  vtape::Deviations deviations;
  deviations.unreadable.push_back({1, plan.pos[0].place.block});
  build(d, deviations);
  const RunResult r = reader({"-f"});
  EXPECT_EQ(r.status, 2) << r.err;
  const std::string list = tape_dir() + "/lost_objects.txt";
  EXPECT_TRUE(has_line(r.err,
                       "[ERROR  ] [COMMON] 25 objects could not be read from the tape. "
                       "They are listed in " +
                           list + "."))
      << r.err;
  std::string expected;
  for (const vtape::ObjectLayout& o : layout_.objects) {
    expected += "alpha/" + o.key + " (object id " + o.list_id + ")\n";
  }
  EXPECT_EQ(testutil::read_file(list), expected);
  EXPECT_TRUE(saved().empty());
}

// A marker that neither partition gives whole: the tape cannot be walked.
TEST_F(DamageTest, AMarkerUnreadableOnBothPartitionsEndsTheRun) {
  vtape::Deviations deviations;
  deviations.unreadable.push_back({0, plan_.partitions[0].prs[0].block});
  deviations.unreadable.push_back({1, plan_.partitions[1].prs[0].block});
  build(d_, deviations);
  const RunResult r = reader({"-f"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has_line(r.err,
                       "[SYS_ERR] [COMMON] Partial reference 0 cannot be read on either "
                       "partition: block " +
                           std::to_string(plan_.partitions[1].prs[0].block) +
                           " of the data partition cannot be read (3 tries)."))
      << r.err;
  EXPECT_TRUE(saved().empty());
}

constexpr uint8_t kRead6 = 0x08;

// A block that fails once and reads on the next try: nothing is lost, and one WARNING names the
// block and the try. The failing READ is chosen by its number among the run's READ commands: the
// first one, on the reference partition, and one of the walk, on a block of objects.
TEST_F(DamageTest, ABlockThatReadsOnTheSecondTryLosesNothing) {
  const struct {
    uint64_t read;  // READ commands served before the one that fails
    int partition;
  } cases[] = {{0, 0}, {51, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.read);
    vtape::Deviations deviations;
    deviations.faults.medium_error = {{kRead6, c.read}};
    build(d_, deviations);
    const RunResult r = reader({"-f"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = e2e::report_lines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    const std::string prefix = "[WARNING] [COMMON] Block ";
    const std::string suffix = std::string(" of the ") + (c.partition == 0 ? "reference" : "data") +
                               " partition was read on try 2.";
    ASSERT_TRUE(lines[0].starts_with(prefix) && lines[0].ends_with(suffix)) << lines[0];
    const uint64_t block = std::stoull(lines[0].substr(prefix.size()));
    if (c.partition == 1) {
      EXPECT_FALSE(objects_in_block(block).empty()) << block;
    }
    e2e::expect_same_files(saved(), e2e::expected_dump(d_, layout_));
    fs::remove_all(save());
    fs::remove_all(work());
    fs::remove_all(cart());
  }
}

// build/tape_image run on builder cartridges through the virtual drive: a sound cartridge is given
// back byte for byte; unreadable records are imaged as unreadable records named in the manifest,
// and a dump of the image recovers what a dump of the tape recovers; an imaging killed or stopped
// part-way continues, when started again, to the files of one pass; a cut partition file is
// imaged up to the cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cartridge/cartridge_builder.h"
#include "common/simh_image.h"
#include "common/test_util.h"
#include "e2e/reader_fixture.h"
#include "vdrive/manifest.h"

namespace {

namespace fs = std::filesystem;
using testutil::RunResult;

const char* const kFiles[] = {"p0.tap", "p1.tap", "cartridge.json"};

class TapeImageTest : public e2e::ReaderTest {
 protected:
  std::string image() const { return tmp_ / "image"; }

  RunResult tape_image(const std::string& to, std::vector<std::string> args = {}) const {
    args.insert(args.begin(), testutil::bin("tape_image"));
    args.push_back(cart());
    args.push_back(to);
    return testutil::run(args);
  }

  static vdrive::Manifest manifest_of(const std::string& dir) {
    std::string error;
    const std::optional<vdrive::Manifest> m =
        vdrive::parse_manifest(testutil::read_file(dir + "/cartridge.json"), &error);
    EXPECT_TRUE(m) << dir << ": " << error;
    return m.value_or(vdrive::Manifest{});
  }

  // The exit status of a full dump of `cartridge` and the object files it leaves.
  std::pair<int, std::map<std::string, std::string>> dump(const std::string& cartridge,
                                                          const std::string& name) const {
    const std::string work = tmp_ / (name + "-work");
    const std::string save = tmp_ / (name + "-save");
    fs::create_directories(work);
    const RunResult r = testutil::run(
        {testutil::bin("object_reader"), "-d", cartridge, "-F", "-s", save, "-f"}, work);
    return {r.status, e2e::files_below(save, tape_id_)};
  }
};

std::vector<vdrive::Attribute> sorted(std::vector<vdrive::Attribute> attributes) {
  std::sort(attributes.begin(), attributes.end(), [](const auto& a, const auto& b) {
    return std::make_pair(a.partition, a.id) < std::make_pair(b.partition, b.id);
  });
  return attributes;
}

// Where object `object` of a partition file begins.
TEST_F(TapeImageTest, SoundCartridgeIsImagedByteForByte) {
  build(vtape::sample_description());
  const RunResult r = tape_image(image(), {"--progress"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(e2e::report_lines(r.err).empty()) << r.err;
  // The status line, drawn at once: no totals, since the end of a tape is not known before.
  EXPECT_NE(r.err.find("\r0 objects, 0.0 MiB, 0.0 MiB/s: partition 0, object 0"), std::string::npos)
      << r.err;
  for (const char* name : {"p0.tap", "p1.tap"}) {
    EXPECT_EQ(testutil::read_file(image() + "/" + name), testutil::read_file(cart() + "/" + name))
        << name;
  }
  const vdrive::Manifest tape = manifest_of(cart());
  const vdrive::Manifest copy = manifest_of(image());
  EXPECT_EQ(sorted(copy.attributes), sorted(tape.attributes));
  EXPECT_EQ(copy.volume_personality, tape.volume_personality);
  EXPECT_EQ(copy.inquiry, vdrive::Inquiry{});  // the virtual drive's identity
  EXPECT_TRUE(copy.unreadable.empty());
  EXPECT_FALSE(testutil::exists(image() + "/imaging.json"));

  const RunResult again = tape_image(image());
  EXPECT_EQ(again.status, 1);
  EXPECT_TRUE(e2e::has_line(again.err, "already holds a virtual cartridge")) << again.err;
}

// Unreadable records (the drive's retries bounded by -R) are imaged as unreadable records of the
// tape's block size, or of the longest record read before them when the label gives none.
TEST_F(TapeImageTest, UnreadableRecordsAreImagedNamedAndDumpedAsOnTheTape) {
  const struct {
    const char* what;
    vtape::BlockSizeMember member;
    std::vector<vtape::UnreadableBlock> (*where)(const vtape::Layout&);
  } cases[] = {
      {"a block of an object's data", vtape::BlockSizeMember::number,
       [](const vtape::Layout& l) {
         return std::vector<vtape::UnreadableBlock>{{1, l.objects[6].meta_block + 1}};
       }},
      {"a partial reference and the end of a commit marker, no block size in the label",
       vtape::BlockSizeMember::absent,
       [](const vtape::Layout& l) {
         const vtape::Place& ocm = l.ocms[1].place;
         return std::vector<vtape::UnreadableBlock>{{0, l.partitions[0].prs[0].block},
                                                    {1, ocm.block + ocm.records - 1}};
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vtape::Description d = vtape::sample_description();
    d.block_size_member = c.member;
    vtape::Deviations deviations;
    deviations.unreadable = c.where(vtape::plan_cartridge(d));
    build(d, deviations);
    fs::remove_all(image());
    const RunResult r = tape_image(image(), {"-R", "1"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(testutil::count(r.err, ") in 2 tries: the image holds an unreadable record"),
              deviations.unreadable.size())
        << r.err;
    std::vector<vdrive::RecordRef> named;
    for (const vtape::UnreadableBlock& u : deviations.unreadable) {
      named.push_back({static_cast<uint32_t>(u.partition), u.block});
    }
    EXPECT_EQ(manifest_of(image()).unreadable, named);

    size_t longest = 0;
    for (const char* name : {"p0.tap", "p1.tap"}) {
      const simh::Partition tape = simh::read_partition(cart() + "/" + name);
      const simh::Partition copy = simh::read_partition(image() + "/" + name);
      ASSERT_EQ(copy.size(), tape.size());
      for (size_t i = 0; i < tape.size(); ++i) {
        const size_t length = c.member == vtape::BlockSizeMember::absent ? longest : d.block_size;
        EXPECT_EQ(copy[i].filemark, tape[i].filemark) << name << " " << i;
        EXPECT_EQ(copy[i].unreadable, tape[i].unreadable) << name << " " << i;
        EXPECT_EQ(copy[i].data, tape[i].unreadable ? std::vector<uint8_t>(length, 0) : tape[i].data)
            << name << " " << i;
        if (!tape[i].unreadable) longest = std::max(longest, tape[i].data.size());
      }
    }
    const std::string n = std::to_string(&c - cases);
    const auto [tape_status, tape_files] = dump(cart(), "tape-" + n);
    const auto [image_status, image_files] = dump(image(), "image-" + n);
    EXPECT_EQ(image_status, tape_status);
    e2e::expect_same_files(image_files, tape_files);
    if (c.member == vtape::BlockSizeMember::number) {
      EXPECT_FALSE(tape_files.empty());
    }
  }
}

// Killed (the process loses what it had not written) or stopped by SIGINT at chosen commands, and
// started again until it completes, the imaging gives the files of one pass, the unreadable
// record met before a stop among them.
TEST_F(TapeImageTest, InterruptedImagingContinuesToTheFilesOfOnePass) {
  const vtape::Description d = vtape::sample_description();
  vtape::Deviations deviations;
  deviations.unreadable = {{1, vtape::plan_cartridge(d).objects[3].meta_block}};
  build(d, deviations);
  ASSERT_EQ(tape_image(image()).status, 2);
  const struct {
    int signal;
    uint64_t after;
  } cases[] = {{SIGKILL, 20}, {SIGKILL, 45}, {SIGINT, 30}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.signal) + " after " + std::to_string(c.after));
    signal_at(c.after, c.signal);
    const std::string again =
        tmp_ / ("again-" + std::to_string(c.signal) + "-" + std::to_string(c.after));
    RunResult r;
    int runs = 0;
    do {
      r = tape_image(again);
      ++runs;
      if (r.status == 128 + SIGINT) {
        EXPECT_TRUE(e2e::has_line(r.err, "[WARNING] [COMMON] Interrupted by SIGINT")) << r.err;
      }
    } while (r.status == 128 + c.signal && runs < 100);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_GT(runs, 2);
    for (const char* name : kFiles) {
      EXPECT_EQ(testutil::read_file(again + "/" + name), testutil::read_file(image() + "/" + name))
          << name;
    }
  }
}

// What a process killed while it wrote leaves - a partition file that ends inside a record or a
// length word, or after a whole object without the end-of-medium word - is cut to its complete
// objects, and the imaging continues from there to the files of one pass.
TEST_F(TapeImageTest, PartialFileIsCutToItsCompleteObjectsAndContinued) {
  build(vtape::sample_description());
  ASSERT_EQ(tape_image(image()).status, 0);
  const struct {
    uint32_t partition;
    uint64_t object;  // the first object not whole in the file
    uint64_t into;    // bytes of it in the file
  } cases[] = {{0, 2, 30}, {1, 7, 2}, {1, 9, 0}};
  for (const auto& c : cases) {
    const std::string name = "p" + std::to_string(c.partition) + ".tap";
    SCOPED_TRACE(name + " object " + std::to_string(c.object));
    const std::string again = tmp_ / ("again-" + name + std::to_string(c.object));
    fs::create_directories(again);
    fs::copy_file(image() + "/cartridge.json", again + "/imaging.json");
    if (c.partition == 1) fs::copy_file(image() + "/p0.tap", again + "/p0.tap");
    const uint64_t cut =
        simh::byte_offset(simh::read_partition(image() + "/" + name), c.object) + c.into;
    testutil::write_file(again + "/" + name,
                         testutil::read_file(image() + "/" + name).substr(0, cut));
    const RunResult r = tape_image(again);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Partition " + std::to_string(c.partition) + " continues at object " +
                         std::to_string(c.object) + "."),
              std::string::npos)
        << r.out;
    for (const char* file : kFiles) {
      EXPECT_EQ(testutil::read_file(again + "/" + file), testutil::read_file(image() + "/" + file))
          << file;
    }
  }
}

// An imaging in progress continues only with its own cartridge: one written since (its volume
// change reference moved on) is refused.
TEST_F(TapeImageTest, ImagingContinuesOnlyWithItsCartridge) {
  vtape::Description d = vtape::sample_description();
  build(d);
  signal_at(20, SIGKILL);
  ASSERT_EQ(tape_image(image()).status, 128 + SIGKILL);
  d.volume_change_reference = 2;
  build(d);
  const RunResult r = tape_image(image());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(e2e::has_line(r.err,
                            "holds the imaging of another cartridge (attribute 0009h of "
                            "partition 0 differs)"))
      << r.err;
  EXPECT_FALSE(testutil::exists(image() + "/cartridge.json"));
}

// A partition file cut in the middle of a record is served up to the cut: the image holds the
// objects before it and one unreadable record in its place.
TEST_F(TapeImageTest, CutPartitionFileIsImagedUpToTheCut) {
  build(vtape::sample_description());
  const simh::Partition tape = simh::read_partition(cart() + "/p1.tap");
  const uint64_t cut = layout_.objects[6].meta_block + 1;
  const uint64_t offset = simh::byte_offset(tape, cut);
  const std::string bytes = testutil::read_file(cart() + "/p1.tap");
  testutil::write_file(cart() + "/p1.tap", bytes.substr(0, offset + 100));
  const RunResult r = tape_image(image(), {"-R", "0"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(
      testutil::count(r.err, "[WARNING] [MISC  ] Virtual cartridge file " + cart() +
                                 "/p1.tap is damaged at byte offset " + std::to_string(offset) +
                                 " (the file ends inside a record of 4096 bytes)"),
      1u)
      << r.err;
  const simh::Partition copy = simh::read_partition(image() + "/p1.tap");
  ASSERT_EQ(copy.size(), cut + 1);
  for (uint64_t i = 0; i < cut; ++i) EXPECT_EQ(copy[i].data, tape[i].data) << i;
  EXPECT_TRUE(copy[cut].unreadable);
  EXPECT_EQ(manifest_of(image()).unreadable, (std::vector<vdrive::RecordRef>{{1, cut}}));
}

// A drive that asks to be cleaned, reloads the cartridge in the middle and was left in
// fixed-block mode gives the same image; the image keeps the cartridge's density. A record longer
// than one READ transfers is never cut: the imaging ends, naming both lengths.
TEST_F(TapeImageTest, DriveAnswersGiveTheSameImageOrNone) {
  vtape::Deviations deviations;
  vtape::Faults& f = deviations.faults;
  f.cleaning_request = 5;
  f.cartridge_change = vtape::CartridgeChange{40, "."};
  f.fixed_block_length = 512;
  build(vtape::sample_description(), deviations);
  manifest_.density = 0x5E;
  vtape::write_manifest(manifest_, cart());
  RunResult r = tape_image(image());
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* name : {"p0.tap", "p1.tap"}) {
    EXPECT_EQ(testutil::read_file(image() + "/" + name), testutil::read_file(cart() + "/" + name))
        << name;
  }
  EXPECT_EQ(manifest_of(image()).density, 0x5E);
  EXPECT_TRUE(e2e::has_line(r.err, "it is the same cartridge, reloaded")) << r.err;

  deviations.faults = {};
  deviations.faults.block_limits = 1024;
  fs::remove_all(cart());
  fs::remove_all(image());
  build(vtape::sample_description(), deviations);
  r = tape_image(image());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(e2e::has_line(r.err, "is longer than the 1024 bytes one READ transfers here (it is "))
      << r.err;
}

TEST_F(TapeImageTest, UsageErrorsEndTheRunAtOnce) {
  build(vtape::sample_description());
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {testutil::bin("tape_image")},
           {testutil::bin("tape_image"), cart()},
           {testutil::bin("tape_image"), "-R", "101", cart(), image()},
           {testutil::bin("tape_image"), "--speed", cart(), image()}}) {
    const RunResult r = testutil::run(args);
    EXPECT_EQ(r.status, 1) << testing::PrintToString(args);
    EXPECT_NE(r.err.find("(see tape_image --help)"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(testutil::exists(image()));
  const RunResult help = testutil::run({testutil::bin("tape_image"), "-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: tape_image [options] DEVICE CARTRIDGE_DIR"), std::string::npos);
}

}  // namespace

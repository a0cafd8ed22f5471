// The walk's helpers: the save layout's path rules, the atomic file, the cache reader, the marker
// index built from cached markers, and the tape cursor that the facade keeps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cartridge/cartridge_builder.h"
#include "cartridge_fixture.h"
#include "common/test_util.h"
#include "output_level.h"
#include "scsi_util.h"
#include "support/atomic_file.h"
#include "vexa_format_checker.h"
#include "walk/cache_file.h"
#include "walk/list_files.h"
#include "walk/marker_index.h"
#include "walk/save_layout.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(SaveLayout, PathPartsThatCouldLeaveTheSavePathAreRefused) {
  const std::string long_part(256, 'k');
  struct Case {
    std::string text;
    bool as_key;     // a key may hold "/"
    bool as_bucket;  // a bucket is one name
  } cases[] = {
      {"a/b.txt", true, false},
      {"plain", true, true},
      {"/abs", false, false},
      {"a/../b", false, false},
      {"..", false, false},
      {"./x", true, false},
      {".", true, false},
      {long_part, false, false},
      {"a/" + long_part, false, false},
      {std::string(255, 'k'), true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(walk::safe_path_part(c.text, true), c.as_key) << c.text;
    EXPECT_EQ(walk::safe_path_part(c.text, false), c.as_bucket) << c.text;
  }
}

TEST(SaveLayout, PathsAndModeNames) {
  EXPECT_EQ(walk::object_path("/s", "b", 1, 23, "k/x", "id", ".data"),
            "/s/b/0001/0023/k/x/id.data");
  EXPECT_EQ(walk::list_file_path("/s", "QRT001L8", "b", 7), "/s/QRT001L8/b_0007.lst");
  for (walk::Mode m : {walk::Mode::full_dump, walk::Mode::resume_dump, walk::Mode::output_list,
                       walk::Mode::output_objects_in_object_list}) {
    EXPECT_EQ(walk::mode_from_name(walk::mode_name(m)), m);
  }
  EXPECT_EQ(walk::mode_from_name("full"), walk::Mode::unknown);
  EXPECT_FALSE(walk::writes_objects(walk::Mode::output_list));
}

class AtomicFileTest : public ::testing::Test {
 protected:
  testutil::TempDir tmp_;
};

TEST_F(AtomicFileTest, AppearsOnlyWhenCommittedAndNeverLeavesItsTemporaryName) {
  const std::string path = tmp_ / "object.data";
  {
    AtomicFile file;
    ASSERT_TRUE(file.open(path));
    ASSERT_TRUE(file.write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("abc"), 3)));
    EXPECT_FALSE(testutil::exists(path));
    EXPECT_EQ(file.temp_path().rfind(temporary_name_prefix(path), 0), 0u);
    // A second writer of the same name gets a temporary file of its own.
    AtomicFile other;
    ASSERT_TRUE(other.open(path));
    EXPECT_NE(other.temp_path(), file.temp_path());
    ASSERT_TRUE(file.commit());
  }  // `other` is discarded
  EXPECT_EQ(testutil::read_file(path), "abc");
  EXPECT_EQ(names_in(tmp_.path()), std::vector<std::string>{"object.data"});
}

TEST_F(AtomicFileTest, CopiesOnlyPlainFiles) {
  testutil::write_file(tmp_ / "a", "bytes");
  fs::create_symlink(tmp_ / "a", tmp_ / "link");
  EXPECT_TRUE(copy_file_atomically(tmp_ / "a", tmp_ / "b"));
  EXPECT_EQ(testutil::read_file(tmp_ / "b"), "bytes");
  EXPECT_FALSE(copy_file_atomically(tmp_ / "link", tmp_ / "c"));
  EXPECT_FALSE(copy_file_atomically(tmp_.path(), tmp_ / "c"));
  EXPECT_EQ(names_in(tmp_.path()), (std::vector<std::string>{"a", "b", "link"}));
}

TEST(CacheFileTest, ReadsWithinTheFileAndTheFileWrittenAgain) {
  testutil::TempDir tmp;
  const std::string path = tmp / "PR_0";
  testutil::write_bytes(path, {0, 0, 0, 0, 0, 0, 0, 9, 1, 2});
  walk::CacheFiles files;
  const walk::CacheFile& first = files.open(path);
  EXPECT_EQ(first.u64(0), 9u);
  EXPECT_EQ(first.u64(4), 0x0000000901020000u);  // zero beyond the end
  uint8_t out[4] = {7, 7, 7, 7};
  EXPECT_EQ(first.read_some(8, out), 2u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 2, 7, 7}));
  // Removed and written again: once the writer says so, the new bytes are read.
  fs::remove(path);
  testutil::write_bytes(path, {0, 0, 0, 0, 0, 0, 0, 5});
  files.changed();
  EXPECT_EQ(files.open(path).u64(0), 5u);
}

// A marker cache in a fresh working directory, written from a builder layout.
class MarkerIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_vl(verbosity_);
    old_cwd_ = fs::current_path();
    fs::current_path(tmp_.path());
    fs::create_directory(MARKER_CACHE_DIR);
    layout_ = vtape::plan_cartridge(vtape::sample_description());
    testutil::write_bytes(rcm_cache_file(1), vtape::rcm_bytes(layout_, true));
    for (size_t k = 0; k < layout_.prs.size(); ++k) {
      testutil::write_bytes(pr_cache_file(k), vtape::pr_bytes(layout_, k));
    }
  }
  void TearDown() override { fs::current_path(old_cwd_); }

  testutil::TempDir tmp_;
  fs::path old_cwd_;
  vtape::Layout layout_;
  walk::CacheFiles files_;
  char verbosity_[8] = "";
};

TEST_F(MarkerIndexTest, HoldsEveryMarkerWhereTheLayoutPutsIt) {
  walk::MarkerIndex index(files_);
  index.build(layout_.prs.size());
  ASSERT_EQ(index.prs().size(), layout_.prs.size());
  ASSERT_EQ(index.ocms().size(), layout_.ocms.size());
  ASSERT_EQ(index.pos().size(), layout_.pos.size());
  EXPECT_EQ(index.object_count(), layout_.objects.size());
  for (size_t k = 0; k < layout_.prs.size(); ++k) {
    EXPECT_EQ(index.pr_block_offset(k), layout_.prs[k].block_offset);
  }
  EXPECT_FALSE(index.pr_block_offset(layout_.prs.size()).has_value());
  for (size_t j = 0; j < layout_.ocms.size(); ++j) {
    EXPECT_EQ(index.ocms()[j].info_offset, layout_.ocms[j].info_offset) << j;
    EXPECT_EQ(index.ocms()[j].block_offset, layout_.ocms[j].block_offset) << j;
  }
  for (size_t m = 0; m < layout_.pos.size(); ++m) {
    const walk::PoEntry& po = index.pos()[m];
    EXPECT_EQ(po.info_offset, layout_.pos[m].info_offset) << m;
    EXPECT_EQ(po.data_offset, layout_.pos[m].data_offset) << m;
    EXPECT_EQ(po.first_meta, layout_.pos[m].first_object) << m;
  }
  for (size_t r = 0; r < layout_.objects.size(); ++r) {
    const vtape::ObjectLayout& object = layout_.objects[r];
    const uint64_t p = index.po_of_meta(r);
    EXPECT_EQ(p, object.po) << r;
    const walk::PoDirectory& dir = index.po_directory(p);
    const size_t i = r - index.pos()[p].first_meta;
    EXPECT_EQ(dir.meta_offset[i], object.meta_offset) << r;
    EXPECT_EQ(dir.copy_position[i], object.meta_info_offset) << r;
  }
}

// What a partial reference file cannot hold is not indexed: infos that run past the file, and
// infos shorter than their header, which would otherwise all stand at one offset and make the
// index grow with the square of the file.
TEST_F(MarkerIndexTest, InfosThatDoNotFitAreReportedAndNotIndexed) {
  std::vector<uint8_t> cut = vtape::pr_bytes(layout_, 0);
  cut.resize(layout_.pos[0].info_offset + 100);  // inside the first PO info's directory
  std::vector<uint8_t> overlapping = vtape::pr_bytes(layout_, 0);
  const size_t ocms = layout_.prs[0].ocm_count;
  for (size_t j = 0; j < ocms; ++j) {
    for (size_t b = 0; b < 8; ++b) overlapping[56 + 16 * j + b] = 0;  // every length 0
  }
  for (const std::vector<uint8_t>& pr : {cut, overlapping}) {
    testutil::write_bytes(pr_cache_file(0), pr);
    testing::internal::CaptureStderr();
    files_.changed();
    walk::MarkerIndex index(files_);
    index.build(1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("does not fit"), std::string::npos);
    EXPECT_LT(index.pos().size(), layout_.pos.size());
    for (const walk::OcmEntry& ocm : index.ocms()) {
      EXPECT_LE(ocm.info_offset + ocm.length, pr.size()) << "an info reaches past the file";
    }
  }
}

// The drive keeps the cursor: a locate or a read needs no READ POSITION to be known.
class TapeCursorTest : public cartridge_test::CartridgeTest {};

TEST_F(TapeCursorTest, FollowsEveryFacadeCallAndForgetsAfterASpace) {
  using cartridge_test::fm;
  using cartridge_test::rec;
  make({rec(10, 1), rec(10, 2), fm(), rec(10, 3)});
  const std::unique_ptr<TapeDrive> drive = open_tape_drive();
  TapeCursor& cursor = drive->cursor();
  EXPECT_FALSE(cursor.position_known());
  cursor.head(0);
  ASSERT_TRUE(cursor.position_known());
  uint32_t count = 0;
  ASSERT_EQ(cursor.read(16, &count), 0);
  EXPECT_EQ(count, 10u);
  EXPECT_EQ(cursor.position(), 1u);
  EXPECT_TRUE(cursor.holds_block(0));
  // A record read into another buffer leaves the cursor's block behind.
  std::vector<uint8_t> other(16);
  ASSERT_EQ(drive->read_record(16, other.data()).kind, RecordRead::Kind::record);
  EXPECT_EQ(cursor.position(), 2u);
  EXPECT_FALSE(cursor.holds_block(1));
  cursor.space(SPACE_FILEMARKS, 1);
  EXPECT_FALSE(cursor.position_known());
  EXPECT_EQ(cursor.position(), 3u);  // asked of the drive
  cursor.locate(1);
  EXPECT_TRUE(cursor.position_known());
  EXPECT_EQ(cursor.position(), 1u);
}

}  // namespace

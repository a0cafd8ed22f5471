// The walk's handle: a Walk built directly from a setup, and two of them in one process over two
// tapes of different block sizes. Everything a walk knows is in its handle: the second walk finds
// nothing of the first (a module variable left behind by the first would change its block size,
// its counters or where its objects go).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "cartridge/cartridge_builder.h"
#include "common/test_util.h"
#include "output_level.h"
#include "scsi_util.h"
#include "tape_device.h"
#include "vexa_format_checker.h"
#include "walk/walk.h"

namespace fs = std::filesystem;

namespace {

// One tape with its drive, its walk and the working directory the walk's cache lives in.
struct TapeRun {
  TapeRun(uint32_t block_size, const std::string& volume_id) {
    vtape::Description d = vtape::sample_description();
    d.block_size = block_size;
    d.volume_id = volume_id;
    fs::create_directories(root / "cartridge");
    fs::create_directories(root / "work");
    layout = vtape::build_cartridge(d, root / "cartridge").layout;
    drive = std::make_unique<TapeDrive>(tape_device_open((root / "cartridge").c_str()));
    walk::Setup setup;
    setup.mode = walk::Mode::full_dump;
    setup.save_path = root / "save";
    fs::create_directories(setup.save_path);
    walk = std::make_unique<Walk>(*drive, setup);
  }
  // The steps run in the tape's own working directory (the marker cache and the history).
  template <typename Step>
  int in_work_directory(Step step) {
    const fs::path before = fs::current_path();
    fs::current_path(root / "work");
    const int ret = step();
    fs::current_path(before);
    return ret;
  }
  int prepare() {
    return in_work_directory([&] {
      int ret = clf_check_mam_coherency(drive->param(), mamvci, &mamhta);
      uint64_t filemarks = 0;
      ret |= check_reference_partition_lable(*walk, mamvci, &mamhta, &filemarks);
      return ret;
    });
  }
  int dump() {
    return in_work_directory([&] { return check_integrity(*walk, mamvci, &mamhta); });
  }
  // The data files written under the save path, and their bytes.
  std::pair<size_t, uintmax_t> data_files() const {
    size_t count = 0;
    uintmax_t bytes = 0;
    for (const auto& e : fs::recursive_directory_iterator(root / "save")) {
      if (e.path().extension() != ".data") continue;
      ++count;
      bytes += fs::file_size(e.path());
    }
    return {count, bytes};
  }

  testutil::TempDir dir;
  fs::path root = dir.path();
  vtape::Layout layout;
  std::unique_ptr<TapeDrive> drive;
  std::unique_ptr<Walk> walk;
  MamVci mamvci[2]{};
  MamHta mamhta{};
};

uintmax_t object_bytes(const vtape::Layout& layout) {
  uintmax_t bytes = 0;
  for (const vtape::ObjectLayout& object : layout.objects) bytes += object.data_size;
  return bytes;
}

TEST(WalkHandle, TwoWalksInOneProcessEachDumpTheirOwnTape) {
  char quiet[] = "";
  set_vl(quiet);
  TapeRun small(4096, "SMALL1");
  TapeRun large(16384, "LARGE2");
  // Interleaved: both reference partitions first, then both dumps.
  EXPECT_EQ(small.prepare(), 0);
  EXPECT_EQ(large.prepare(), 0);
  EXPECT_EQ(small.walk->tape.block_size, 4096u);
  EXPECT_EQ(large.walk->tape.block_size, 16384u);
  EXPECT_EQ(small.dump(), 0);
  EXPECT_EQ(large.dump(), 0);
  for (const TapeRun* run : {&small, &large}) {
    const auto [count, bytes] = run->data_files();
    EXPECT_EQ(count, run->layout.objects.size());
    EXPECT_EQ(bytes, object_bytes(run->layout));
    EXPECT_EQ(run->walk->counts.objects_met, run->layout.objects.size());
    EXPECT_EQ(run->walk->counts.object_errors, 0);
  }
  EXPECT_STREQ(small.walk->tape.barcode_id, "SMALL1L8");
  EXPECT_STREQ(large.walk->tape.barcode_id, "LARGE2L8");
}

}  // namespace

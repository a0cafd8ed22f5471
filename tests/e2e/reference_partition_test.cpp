// The reference-partition walk, the marker file cache and the run preparation, run end to end on
// virtual cartridges: the cache a sound tape leaves, each deviation of a label or marker with its
// summary and exit status, the filemark and partial-reference counts, the saved cache of a tape
// (restored, refused when it belongs to another tape), the temporary directory behind a link, and
// two runs in one working directory.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/simh_image.h"
#include "e2e/reader_e2e.h"

namespace fs = std::filesystem;

namespace {

using e2e::kIndent;
using e2e::Tape;
using e2e::text_of;
using e2e::Workspace;
using testutil::RunResult;
using testutil::strip_headers;

const std::string kTmpDir = testutil::program_temporary_directory();
constexpr char kNotQuorrant[] = "[SYS_ERR] [COMMON] This tape is not formatted in Quorrant.\n";
constexpr char kRcmBlockWarning[] =
    "[WARNING] [RCM   ] The position of the last reference commit marker in the reference "
    "partition is inconsistent with rcm_block in mam.\n";

std::vector<std::string> file_names(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The marker files a tape of `layout` must leave in a cache directory, by name.
std::vector<std::pair<std::string, std::string>> expected_cache(const vtape::Layout& layout) {
  std::vector<std::pair<std::string, std::string>> files = {
      {"QRTLabel", layout.format_label},
      {"RCM_0", text_of(vtape::rcm_bytes(layout, false))},
      {"RCM_1", text_of(vtape::rcm_bytes(layout, true))},
      {"VOL1Label", layout.vol1},
  };
  for (size_t k = 0; k < layout.prs.size(); ++k) {
    files.emplace_back("PR_" + std::to_string(k), text_of(vtape::pr_bytes(layout, k)));
  }
  std::sort(files.begin(), files.end());
  return files;
}

// `dir` holds exactly the marker files of the tape, byte for byte.
void expect_cache_of(const std::string& dir, const vtape::Layout& layout) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : expected_cache(layout)) {
    names.push_back(name);
    EXPECT_EQ(testutil::read_file(dir + name), bytes) << dir << name;
  }
  EXPECT_EQ(file_names(dir), names) << dir;
}

// The run's copies of the partial references are gone with its temporary directory.
void expect_temporary_prs_removed() { EXPECT_EQ(file_names(kTmpDir), std::vector<std::string>{}); }

std::string saved_cache(const Workspace& ws, const std::string& barcode = "QT0001L8") {
  return ws.save() + "/" + barcode + "/reference_partition/";
}

// `lines` appear in `text` in this order.
void expect_in_order(const std::string& text, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = text.find(line, at);
    EXPECT_NE(found, std::string::npos) << "missing or out of order: " << line << "\nin:\n" << text;
    if (found != std::string::npos) at = found + line.size();
  }
}

// The last reference commit marker of `layout` rewritten to list `count` partial references: the
// first entries of its directory, and made-up ones below the last when it lists more.
vtape::Deviations rcm_listing(const vtape::Layout& layout, size_t count) {
  const std::vector<uint8_t> sound = vtape::rcm_bytes(layout, true);
  const size_t listed = layout.prs.size();
  std::vector<uint8_t> rcm(sound.begin(), sound.begin() + 112);
  uint64_t offset = 0;
  for (size_t i = 0; i < count; ++i) {
    if (i < listed) {
      offset = 0;
      for (size_t b = 0; b < 8; ++b) offset = offset << 8 | sound[112 + 8 * i + b];
    } else {
      offset -= 1;
    }
    vtape::append_u64(rcm, offset);
  }
  rcm.insert(rcm.end(), sound.begin() + 112 + 8 * listed, sound.end());
  vtape::store_u64(rcm.data() + 40, 80 + 8 * count);  // data offset
  vtape::store_u64(rcm.data() + 56, count);           // number of partial references
  vtape::Deviations dev;
  const vtape::MarkerRef last_rcm{vtape::MarkerKind::last_rcm, 0};
  dev.resizes.push_back({last_rcm, vtape::kBothCopies, rcm.size()});
  dev.patches.push_back({last_rcm, vtape::kBothCopies, 0, rcm});
  return dev;
}

class ReferencePartition : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sound_ = e2e::build_tape(e2e::small_description()).release(); }
  static void TearDownTestSuite() {
    delete sound_;
    sound_ = nullptr;
  }
  static std::unique_ptr<Tape> tape_with(const vtape::Deviations& deviations) {
    return e2e::build_tape(e2e::small_description(), deviations);
  }

  static Tape* sound_;
  Workspace ws_;
};

Tape* ReferencePartition::sound_ = nullptr;

TEST_F(ReferencePartition, SoundTapeFillsTheCacheWithoutAnError) {
  for (const std::string& verbose : e2e::all_verbosities()) {
    SCOPED_TRACE("-v '" + verbose + "'");
    const Workspace ws;  // a first run each time
    const RunResult r = e2e::dump(ws, sound_->path(), verbose);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string out = strip_headers(r.out);
    if (verbose == "vvvvvv") {
      // The run's own temporary directory, named by its process number.
      const size_t digits = out.find(kTmpDir + "/") + kTmpDir.size() + 1;
      const std::string run_dir =
          kTmpDir + "/" + out.substr(digits, out.find('/', digits) - digits) + "/";
      expect_in_order(out,
                      {
                          "[TRACE  ] [MISC  ] start:check_reference_partition_lable\n",
                          "[TRACE  ] [MISC  ] start:write_markers_to_file(reference_partition/"
                          "QRTLabel)\n",
                          "[TRACE  ] [MISC  ] start:write_markers_to_file(reference_partition/"
                          "RCM_1)\n",
                          "[TRACE  ] [MISC  ] start:write_markers_to_file(reference_partition/"
                          "VOL1Label)\n",
                          "[TRACE  ] [MISC  ] start:write_markers_to_file(reference_partition/"
                          "RCM_0)\n",
                          "[TRACE  ] [MISC  ] end  :check_reference_partition_lable\n",
                          "[DEBUG  ] [PR    ] main: pr_num=3\n",
                          "[TRACE  ] [MISC  ] start:write_markers_to_file(" + run_dir + "PR_0)\n",
                          "[TRACE  ] [MISC  ] start:write_markers_to_file(" + run_dir + "PR_2)\n",
                      });
    } else {
      EXPECT_EQ(out.find("[MISC  ]"), std::string::npos);
    }
    if (verbose.size() >= 3) {
      EXPECT_NE(out.find("main: pr_num=3\n"), std::string::npos);
    }
    expect_cache_of(ws.cache(), sound_->layout);
    expect_temporary_prs_removed();
    expect_cache_of(saved_cache(ws), sound_->layout);
  }
}

TEST_F(ReferencePartition, ThreePartialReferencesAndSevenFilemarks) {
  const simh::Partition p0 = simh::read_partition(sound_->dir / "p0.tap");
  ASSERT_EQ(simh::filemark_count(p0), 7u);
  ASSERT_EQ(sound_->layout.prs.size(), 3u);
  const RunResult r = e2e::dump(ws_, sound_->path(), "vvv");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.find("filemark"), std::string::npos) << r.err;
  EXPECT_NE(strip_headers(r.out).find("[DEBUG  ] [PR    ] main: pr_num=3\n"), std::string::npos);
}

struct MarkerDeviation {
  const char* what;
  vtape::BytePatch patch;
  int status;
  std::vector<std::string> lines;  // in this order in the error output
};

TEST_F(ReferencePartition, EachLabelAndMarkerDeviationGivesItsSummary) {
  using vtape::MarkerKind;
  const std::string& label = sound_->layout.format_label;
  const size_t version_at = label.find("2.0.0");
  ASSERT_NE(version_at, std::string::npos);
  const std::vector<uint8_t> zero_uuid(16, 0);
  const std::vector<MarkerDeviation> cases = {
      {"VOL1 label standard version",
       vtape::text_patch({MarkerKind::vol1, 0}, vtape::kReferenceCopy, 79, "3"),
       1,
       {"[ERROR  ] [LABEL ] Label standard version format is not correct.\n" + kIndent +
            "Actual format  :3\n" + kIndent + "Expected format:4\n",
        "[ERROR  ] [LABEL ] Format violation is detected at vol1 label on Reference "
        "Partition.\n",
        "[ERROR  ] [LABEL ] Vol1 Label format is not correct.\n", kNotQuorrant}},
      {"format label version",
       vtape::text_patch({MarkerKind::label, 0}, vtape::kReferenceCopy, version_at, "2.0.1"),
       1,
       {"[ERROR  ] [LABEL ] Version format is not correct.\n",
        "[ERROR  ] [LABEL ] Format violation is detected at QRT label on Reference Partition.\n",
        "[ERROR  ] [LABEL ] QRT Label format is not correct.\n",
        "[ERROR  ] [LABEL ] Can't get the block size.\n",
        // Checked again after the VOL1 label.
        "[ERROR  ] [LABEL ] Format violation is detected at QRT label on Reference Partition.\n",
        "[ERROR  ] [LABEL ] QRT Label format is not correct.\n", kNotQuorrant}},
      {"first reference commit marker with a zero pool group",
       {{MarkerKind::first_rcm, 0}, vtape::kReferenceCopy, 96, zero_uuid},
       1,
       {"[ERROR  ] [RCM   ] The format of pool group ID at RCM is not valid.\n",
        "[ERROR  ] [RCM   ] Reference commit marker header format is not correct.\n",
        "[ERROR  ] [RCM   ] Format violation is detected at the first reference commit marker on "
        "Reference Partition.\n",
        "[ERROR  ] [RCM   ] The first reference commit marker format is not correct.\n",
        kNotQuorrant}},
      {"last reference commit marker with a zero pool group",
       {{MarkerKind::last_rcm, 0}, vtape::kReferenceCopy, 96, zero_uuid},
       1,
       {"[ERROR  ] [RCM   ] The format of pool group ID at RCM is not valid.\n",
        "[ERROR  ] [RCM   ] Reference commit marker header format is not correct.\n",
        "[ERROR  ] [RCM   ] Format violation is detected at the last reference commit marker on "
        "Reference Partition.\n",
        "[ERROR  ] [RCM   ] The last reference commit marker format is not correct.\n",
        kNotQuorrant}},
      {"partial reference 1 of another level",
       vtape::text_patch({MarkerKind::pr, 1}, vtape::kReferenceCopy, 18, "5"),
       0,
       {"[ERROR  ] [PR    ] Partial reference header format is not correct.\n",
        "[ERROR  ] [PR    ] Format violation is detected at Partial Reference #1 on Reference "
        "Partition.\n",
        "[ERROR  ] [PR    ] Partial reference format is not correct.\n"}},
  };
  for (const MarkerDeviation& c : cases) {
    SCOPED_TRACE(c.what);
    vtape::Deviations dev;
    dev.patches.push_back(c.patch);
    const auto tape = tape_with(dev);
    const Workspace ws;
    const RunResult r = e2e::dump(ws, tape->path());
    EXPECT_EQ(r.status, c.status);
    const std::string err = strip_headers(r.err);
    expect_in_order(err, c.lines);
    if (c.status == 1) {
      // The run ends with the summary; nothing is saved.
      EXPECT_TRUE(err.ends_with(kNotQuorrant)) << err;
      EXPECT_FALSE(testutil::exists(ws.save() + "/QT0001L8"));
    } else {
      EXPECT_NE(r.out.find("Full dump is complete.\n"), std::string::npos);
    }
  }
}

TEST_F(ReferencePartition, LastCommitMarkerListingTooFewPartialReferences) {
  const auto tape = e2e::build_tape(e2e::small_description(), rcm_listing(sound_->layout, 2));
  const RunResult r = e2e::dump(ws_, tape->path());
  EXPECT_EQ(r.status, 0);
  const std::string err = strip_headers(r.err);
  const std::string mam_count =
      "[WARNING] [RCM   ] Number of Partial Reference is inconsistent. RCM: 2, MAM: 3\n";
  expect_in_order(err, {mam_count, mam_count,
                        "[ERROR  ] [PR    ] The position of just after the last pr is not the same "
                        "as that of the top of the last reference commit marker.\n" +
                            kIndent +
                            "The block number of just after the last pr                      : "
                            "10\n" +
                            kIndent +
                            "The block number of the top of the last reference commit marker : "
                            "12\n",
                        "[ERROR  ] [MISC  ] Total number of filemarks is not correct.\n",
                        "[ERROR  ] [MISC  ] Total number of filemarks is not correct.\n"});
  // Only the listed partial references were copied, and the copies are gone with the run.
  EXPECT_EQ(r.out.find("/PR_2)"), std::string::npos);
  expect_temporary_prs_removed();
}

TEST_F(ReferencePartition, LastCommitMarkerListingMorePartialReferencesThanTheTapeHolds) {
  // Five listed, three on tape: the fourth read takes the last commit marker, the fifth meets the
  // end of data, where no filemark ends a marker.
  const auto tape = e2e::build_tape(e2e::small_description(), rcm_listing(sound_->layout, 5));
  const RunResult r = e2e::dump(ws_, tape->path());
  EXPECT_EQ(r.status, 1);
  const std::string err = strip_headers(r.err);
  EXPECT_TRUE(
      err.ends_with("[ERROR  ] [UNKNOWN] There is no file mark next to the marker.\n"
                    "[SYS_ERR] [MISC  ] Failed to read the reference partition.\n"))
      << err;
}

TEST_F(ReferencePartition, RcmBlockInTheCartridgeMemoryDiffersOnlyWarns) {
  for (int partition = 0; partition < 2; ++partition) {
    SCOPED_TRACE(partition);
    std::vector<uint8_t> vci = sound_->manifest.find_attribute(partition, 0x080C)->value;
    const uint64_t tape_block = sound_->layout.partitions[partition].last_rcm.block;
    vtape::store_u64(vci.data() + 17, tape_block + 5);
    vtape::Deviations dev;
    dev.attributes.push_back(e2e::attribute_value(partition, 0x080C, vci));
    const auto tape = tape_with(dev);
    const Workspace ws;
    const RunResult r = e2e::dump(ws, tape->path());
    EXPECT_EQ(r.status, 0);
    const std::string warning =
        std::string("[WARNING] [RCM   ] The position of the last reference commit marker in the ") +
        (partition == 0 ? "reference" : "data") +
        " partition is inconsistent with rcm_block in mam.\n" + kIndent +
        "The position of the last reference commit marker : " + std::to_string(tape_block) + "\n" +
        kIndent +
        "rcm_block in mam                                 : " + std::to_string(tape_block + 5) +
        "\n";
    const std::string err = strip_headers(r.err);
    // Every look for the last commit marker warns; nothing else is reported.
    EXPECT_GE(testutil::count(err, warning), 1u);
    EXPECT_EQ(testutil::count(err, warning) * warning.size(), err.size()) << err;
    if (partition == 0) {
      // Preparation, the walk's pass over the reference partition, and the check after the last
      // partial reference.
      EXPECT_EQ(testutil::count(err, warning), 3u);
    }
  }
}

TEST_F(ReferencePartition, MarkerWithoutItsFilemark) {
  {
    SCOPED_TRACE("the VOL1 label is unreadable on both partitions");
    vtape::Deviations dev;
    dev.unreadable.push_back({0, 0});
    dev.unreadable.push_back({1, 0});
    const auto tape = tape_with(dev);
    const RunResult r = e2e::dump(ws_, tape->path());
    EXPECT_EQ(r.status, 1);
    const std::string err = strip_headers(r.err);
    EXPECT_TRUE(err.ends_with(
        "[WARNING] [COMMON] Block 0 of the reference partition cannot be read (3 tries): the copy "
        "of the VOL1 label on the data partition is used.\n"
        "[SYS_ERR] [COMMON] The VOL1 label cannot be read on either partition: block 0 of the "
        "data partition cannot be read (3 tries).\n"))
        << err;
  }
  {
    SCOPED_TRACE("the first commit marker runs into the first partial reference");
    vtape::Deviations dev;
    vtape::FilemarkEdit drop;
    drop.partition = 0;
    drop.marker = {vtape::MarkerKind::first_rcm, 0};
    dev.filemarks.push_back(drop);
    const auto tape = tape_with(dev);
    const Workspace ws;
    const RunResult r = e2e::dump(ws, tape->path());
    EXPECT_EQ(r.status, 1);
    const std::string err = strip_headers(r.err);
    expect_in_order(err, {kRcmBlockWarning,
                          "[ERROR  ] [RCM   ] Data length defined at rcm header is not the same as "
                          "actual size of System info.\n",
                          "[ERROR  ] [RCM   ] Format violation is detected at the first reference "
                          "commit marker on Reference Partition.\n",
                          "[ERROR  ] [RCM   ] The first reference commit marker format is not "
                          "correct.\n",
                          kNotQuorrant});
    // The cached first commit marker holds both markers.
    EXPECT_EQ(
        testutil::read_file(ws.cache("RCM_0")),
        text_of(vtape::rcm_bytes(tape->layout, false)) + text_of(vtape::pr_bytes(tape->layout, 0)));
  }
}

TEST_F(ReferencePartition, TapeWithoutPartialReferences) {
  const auto tape = e2e::build_tape(e2e::small_description(0));
  ASSERT_TRUE(tape->layout.prs.empty());
  const RunResult r = e2e::dump(ws_, tape->path(), "vvv");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(strip_headers(r.out).find("[DEBUG  ] [PR    ] main: pr_num=0\n"), std::string::npos);
  expect_cache_of(ws_.cache(), tape->layout);
  expect_temporary_prs_removed();
}

TEST_F(ReferencePartition, SecondRunRestoresTheSavedCache) {
  RunResult r = e2e::dump(ws_, sound_->path());
  ASSERT_EQ(r.status, 0);
  ASSERT_EQ(r.err, "");
  // The working cache goes; the saved one under the barcode brings it back.
  fs::remove_all(ws_.cache());
  r = e2e::dump(ws_, sound_->path(), "vvvvvv");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  expect_cache_of(ws_.cache(), sound_->layout);
  expect_temporary_prs_removed();
  // The tape is still read marker by marker, but nothing is appended to the cache.
  EXPECT_NE(r.out.find("start:write_markers_to_file(reference_partition/RCM_1)"),
            std::string::npos);
  // A third run with the restored working cache in place leaves it as it is.
  r = e2e::dump(ws_, sound_->path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  expect_cache_of(ws_.cache(), sound_->layout);
  expect_cache_of(saved_cache(ws_), sound_->layout);
}

TEST_F(ReferencePartition, SavedCacheOfAnotherTapeUnderTheSameBarcodeIsNotUsed) {
  // Same volume identifier and barcode, other identities: another tape.
  const auto other = e2e::build_tape(e2e::small_description(3, 2));
  ASSERT_EQ(other->layout.barcode, sound_->layout.barcode);
  ASSERT_EQ(other->layout.vol1, sound_->layout.vol1);
  ASSERT_NE(vtape::rcm_bytes(other->layout, true), vtape::rcm_bytes(sound_->layout, true));
  ASSERT_EQ(e2e::dump(ws_, sound_->path()).status, 0);

  RunResult r = e2e::dump(ws_, other->path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(strip_headers(r.err), "[WARNING] [COMMON] The saved reference partition (" +
                                      saved_cache(ws_) +
                                      ") does not match this tape. It is not used.\n");
  // A first run: the cache is read from this tape and saved in place of the other one.
  expect_cache_of(ws_.cache(), other->layout);
  expect_temporary_prs_removed();
  expect_cache_of(saved_cache(ws_), other->layout);

  // Now the saved cache is this tape's.
  r = e2e::dump(ws_, other->path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  expect_temporary_prs_removed();
}

TEST_F(ReferencePartition, IncompleteSavedCacheIsNotUsed) {
  ASSERT_EQ(e2e::dump(ws_, sound_->path()).status, 0);
  fs::remove(saved_cache(ws_) + "PR_1");
  fs::remove_all(ws_.cache());
  const RunResult r = e2e::dump(ws_, sound_->path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(strip_headers(r.err), "[WARNING] [COMMON] The saved reference partition (" +
                                      saved_cache(ws_) +
                                      ") does not match this tape. It is not used.\n");
  expect_cache_of(ws_.cache(), sound_->layout);
  expect_temporary_prs_removed();
  expect_cache_of(saved_cache(ws_), sound_->layout);
}

TEST_F(ReferencePartition, StaleWorkingCacheIsNotMixedIntoARestoredOne) {
  ASSERT_EQ(e2e::dump(ws_, sound_->path()).status, 0);
  // A cache file of a tape with more partial references is still in the working directory.
  testutil::write_file(ws_.cache("PR_3"), "stale");
  testutil::write_file(ws_.cache("PR_0"), "stale");
  const RunResult r = e2e::dump(ws_, sound_->path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  expect_cache_of(ws_.cache(), sound_->layout);
  expect_temporary_prs_removed();
}

TEST_F(ReferencePartition, BarcodeNamesTheSavedCacheDirectory) {
  struct Case {
    std::string barcode;  // the attribute's 32 bytes, zero-filled behind
    std::string directory;
  };
  const std::vector<Case> cases = {
      {"QT0001L8EXTRA", "QT0001L8"},  // its first 8 characters
      {"  QT0001", "null"},           // a leading blank
      {"", ""},                       // never filled: directly under the save path
      {"AB1", "AB1"},
      {"..", "__"},  // never a directory outside the save path
      {"a/../..", "a_.._.."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("barcode '" + c.barcode + "'");
    std::vector<uint8_t> barcode(32, 0);
    std::copy(c.barcode.begin(), c.barcode.end(), barcode.begin());
    vtape::Deviations dev;
    dev.attributes.push_back(e2e::attribute_value(0, 0x0806, barcode));
    const auto tape = tape_with(dev);
    const Workspace ws;
    const RunResult r = e2e::dump(ws, tape->path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // Nothing next to the save path.
    EXPECT_EQ(file_names(fs::path(ws.save()).parent_path()),
              (std::vector<std::string>{"save", "work"}));
    expect_cache_of(saved_cache(ws, c.directory), tape->layout);
  }
}

// Removes the programs' temporary directory before and after a test that plants something there.
class TemporaryDirectoryGuard {
 public:
  TemporaryDirectoryGuard() { clear(); }
  ~TemporaryDirectoryGuard() { clear(); }
  TemporaryDirectoryGuard(const TemporaryDirectoryGuard&) = delete;
  TemporaryDirectoryGuard& operator=(const TemporaryDirectoryGuard&) = delete;

 private:
  static void clear() {
    std::error_code ec;
    fs::remove_all(kTmpDir, ec);  // a link is removed, not followed
  }
};

std::string temporary_directory_refused(const std::string& why) {
  return "[SYS_ERR] [COMMON] The temporary directory (" + kTmpDir + "/) " + why +
         ". It is not used.\n";
}

TEST_F(ReferencePartition, TemporaryDirectoryBehindALinkIsLeftAlone) {
  const TemporaryDirectoryGuard guard;
  testutil::TempDir target;
  testutil::write_file(target / "PR_0", "somebody's file");
  fs::create_directory_symlink(target.path(), kTmpDir);
  const RunResult r = e2e::dump(ws_, sound_->path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(strip_headers(r.err), temporary_directory_refused("is a symbolic link"));
  EXPECT_EQ(testutil::read_file(target / "PR_0"), "somebody's file");
  EXPECT_EQ(file_names(target.path()), std::vector<std::string>{"PR_0"});
  EXPECT_TRUE(fs::is_symlink(kTmpDir));
}

TEST_F(ReferencePartition, OnlyPlainFilesOfTheTemporaryDirectoryAreRemoved) {
  const TemporaryDirectoryGuard guard;
  testutil::TempDir outside;
  testutil::write_file(outside / "kept", "outside");
  fs::create_directory(kTmpDir);
  testutil::write_file(kTmpDir + "/PR_7", "stale");
  fs::create_directory(kTmpDir + "/subdir");
  testutil::write_file(kTmpDir + "/subdir/inner", "inner");
  fs::create_symlink(outside / "kept", kTmpDir + "/link");
  // The directory of a run that was killed goes; that of a run still going (this one) stays.
  const std::string ended = kTmpDir + "/999999999";
  const std::string running = kTmpDir + "/" + std::to_string(getpid());
  for (const std::string& dir : {ended, running}) {
    fs::create_directory(dir);
    testutil::write_file(dir + "/PR_0", "copy");
  }
  const RunResult r = e2e::dump(ws_, sound_->path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(testutil::exists(ended));
  EXPECT_EQ(testutil::read_file(running + "/PR_0"), "copy");
  EXPECT_FALSE(testutil::exists(kTmpDir + "/PR_7"));
  EXPECT_EQ(testutil::read_file(kTmpDir + "/subdir/inner"), "inner");
  EXPECT_TRUE(fs::is_symlink(kTmpDir + "/link"));
  EXPECT_EQ(testutil::read_file(outside / "kept"), "outside");
}

TEST_F(ReferencePartition, TemporaryDirectoryOfAnotherUserIsLeftAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the directory away";
  const TemporaryDirectoryGuard guard;
  fs::create_directory(kTmpDir);
  testutil::write_file(kTmpDir + "/PR_0", "theirs");
  ASSERT_EQ(chown(kTmpDir.c_str(), 65534, 65534), 0);
  const RunResult r = e2e::dump(ws_, sound_->path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(strip_headers(r.err), temporary_directory_refused("belongs to another user"));
  EXPECT_EQ(testutil::read_file(kTmpDir + "/PR_0"), "theirs");
}

TEST_F(ReferencePartition, SecondRunInTheSameWorkingDirectoryEndsAtOnce) {
  const TemporaryDirectoryGuard guard;
  fs::create_directory(kTmpDir);
  testutil::write_file(kTmpDir + "/PR_0", "of the first run");
  // The first run holds the lock of the working directory.
  const std::string lock_path = ws_.cwd() + "/object_reader.lock";
  const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  RunResult r = e2e::dump(ws_, sound_->path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(strip_headers(r.err), "[SYS_ERR] [COMMON] The working directory (" +
                                      fs::canonical(ws_.cwd()).string() +
                                      ") is in use by another run of the program.\n");
  EXPECT_EQ(r.out, "");
  // Nothing of the first run was touched.
  EXPECT_EQ(testutil::read_file(kTmpDir + "/PR_0"), "of the first run");
  EXPECT_FALSE(testutil::exists(ws_.cache()));

  // Another working directory is free, and so is this one once the first run ends.
  const Workspace elsewhere;
  EXPECT_EQ(e2e::dump(elsewhere, sound_->path()).status, 0);
  close(fd);
  r = e2e::dump(ws_, sound_->path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST_F(ReferencePartition, LockFileThatCannotBeOpenedIsNamed) {
  // A link in place of the lock file is never followed.
  testutil::TempDir elsewhere;
  fs::create_symlink(elsewhere / "target", ws_.cwd() + "/object_reader.lock");
  const RunResult r = e2e::dump(ws_, sound_->path());
  EXPECT_EQ(r.status, 1);
  const std::string err = strip_headers(r.err);
  EXPECT_TRUE(err.starts_with("[SYS_ERR] [COMMON] The lock file (" +
                              fs::canonical(ws_.cwd()).string() +
                              "/object_reader.lock) could not be opened: "))
      << err;
  EXPECT_FALSE(testutil::exists(elsewhere / "target"));
}

}  // namespace

// The reference partition: every marker copied from the tape into the marker file cache (or, with
// a cache restored from the save path, compared with it) and checked, the filemarks between them,
// the place of the last reference commit marker; and the per-marker steps that, on the data
// partition, compare the copies of the labels and commit markers with the cache. A marker whose
// block cannot be read is taken from its copy on the other partition.
#include <fcntl.h>
#include <sys/stat.h>

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "endian_utils.h"
#include "marker_layout.h"
#include "output_level.h"
#include "support/atomic_file.h"
#include "support/file_helpers.h"
#include "support/safe_dir.h"
#include "walk/walk.h"
#include "walk/walk_steps.h"

namespace ml = marker_layout;
using namespace walk;

namespace {
std::string capitalized(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
    text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text;
}

// A block of a marker that could not be read, and the tries made (0: known unreadable, not read).
struct Unreadable {
  uint64_t block = 0;
  int tries = 0;
};

// Reads the marker at the current tape position of `partition` up to its filemark, passing every
// block to `keep`, and checks that a filemark ended it; a marker without one ends the run. A
// block that cannot be read ends the reading: it is returned, and the marker is incomplete.
template <typename Keep>
std::optional<Unreadable> read_marker_to_filemark(Walk& w, int partition, Keep keep) {
  uint32_t count = 0;
  const uint64_t start = w.cursor().position();
  uint64_t records = 0;
  for (;;) {
    const uint64_t at = w.cursor().position();
    if (partition == 0 && w.tape.reference_damage.contains(at)) return Unreadable{at, 0};
    int tries = 0;
    const Got got = read_with_retries(w, partition, &count, &tries);
    if (got == Got::damage) {
      if (partition == 0) w.tape.reference_damage.add(at);
      return Unreadable{at, tries};
    }
    if (got != Got::block) break;
    ++records;
    keep(w.cursor().block().first(count));
  }
  // A read that meets a filemark leaves the tape past it. One that left the tape where it was met
  // the end of data: no filemark ends this marker, and the object in front of the tape, which the
  // filemark check would look at, belongs to the marker before.
  ST_SPTI_CMD_POSITIONDATA after{};
  w.cursor().read_position(&after);
  int missing_filemark = 0;
  if (after.blockNumber == start + records) {
    missing_filemark =
        output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "There is no file mark next to the marker.\n");
  } else {
    missing_filemark = check_fm_next_to_marker(w, 1, 1);
  }
  if (missing_filemark != 0) output_fatal(VL_MISC, "Failed to read the reference partition.\n");
  return std::nullopt;
}

// A marker of the reference partition, known by the name of its cache file.
struct ReferenceMarker {
  enum class Kind { vol1, label, first_rcm, last_rcm, partial_reference, other } kind;
  uint64_t number = 0;  // of a partial reference
};

ReferenceMarker reference_marker(const std::string& filepath) {
  using Kind = ReferenceMarker::Kind;
  const std::string name = filepath.substr(filepath.rfind('/') + 1);
  if (name == CACHE_VOL1_LABEL) return {Kind::vol1};
  if (name == CACHE_FORMAT_LABEL) return {Kind::label};
  if (name == CACHE_FIRST_RCM) return {Kind::first_rcm};
  if (name == CACHE_LAST_RCM) return {Kind::last_rcm};
  const std::string_view digits = std::string_view(name).substr(std::strlen(CACHE_PR_PREFIX));
  uint64_t k = 0;
  if (name.starts_with(CACHE_PR_PREFIX) && !digits.empty() &&
      std::from_chars(digits.data(), digits.data() + digits.size(), k).ptr ==
          digits.data() + digits.size()) {
    return {Kind::partial_reference, k};
  }
  return {Kind::other};
}

// How messages name the marker whose cache file is `filepath`.
std::string marker_description(const std::string& filepath) {
  using Kind = ReferenceMarker::Kind;
  const ReferenceMarker marker = reference_marker(filepath);
  switch (marker.kind) {
    case Kind::vol1:
      return "the VOL1 label";
    case Kind::label:
      return "the format label";
    case Kind::first_rcm:
      return "the first reference commit marker";
    case Kind::last_rcm:
      return "the last reference commit marker";
    case Kind::partial_reference:
      return "partial reference " + std::to_string(marker.number);
    case Kind::other:
      break;
  }
  return "the marker (" + filepath + ")";
}

// Places the tape at the copy on the data partition of the marker whose cache file is `filepath`
// (the labels and the first reference commit marker open the partition after 0, 1 and 2
// filemarks, the last one ends it, and the last one's directory places the partial references).
// False when the marker has no copy there.
bool locate_data_partition_copy(Walk& w, const std::string& filepath) {
  using Kind = ReferenceMarker::Kind;
  const ReferenceMarker marker = reference_marker(filepath);
  switch (marker.kind) {
    case Kind::vol1:
    case Kind::label:
    case Kind::first_rcm:
      w.cursor().head(1);
      if (marker.kind != Kind::vol1) {
        w.cursor().space(SPACE_FILEMARKS, marker.kind == Kind::label ? 1 : 2);
      }
      return true;
    case Kind::last_rcm:
      move_to_last_rcm(w, nullptr, 1, nullptr);
      return true;
    case Kind::partial_reference:
      break;
    case Kind::other:
      return false;
  }
  char offset[ml::kFieldSize] = {};
  read_marker_file(w, sizeof(offset), ml::kRcmHeaderSize + ml::kRcmEntrySize * marker.number,
                   rcm_cache_file(1).c_str(), offset);
  if (w.tape.dp_rcm_block_number == 0) move_to_last_rcm(w, nullptr, 1, nullptr);
  const uint64_t back = be64(reinterpret_cast<const uint8_t*>(offset));
  if (back == 0 || back > w.tape.dp_rcm_block_number) return false;
  w.cursor().head(1);
  w.cursor().locate(w.tape.dp_rcm_block_number - back);
  return true;
}

// Reads the marker at the tape position of the reference partition, whose cache file is
// `filepath`: `begin` starts the copy, `keep` takes every block. When a block of it cannot be
// read, its copy on the data partition is read instead (said in a WARNING; `begin` starts the
// copy again), and the tape is left past the marker's filemark on the reference partition, where
// the next marker starts. A marker that neither partition gives whole ends the run.
template <typename Begin, typename Keep>
void read_reference_marker(Walk& w, const std::string& filepath, Begin begin, Keep keep) {
  begin();
  const std::optional<Unreadable> damaged = read_marker_to_filemark(w, 0, keep);
  if (!damaged) return;
  const std::string marker = marker_description(filepath);
  if (!locate_data_partition_copy(w, filepath)) {
    output_accdg_to_vl(LV_ERROR, VL_COMMON,
                       "Block %" PRIu64
                       " of the reference partition cannot be read (%d tries), "
                       "and %s has no copy on the data partition.\n",
                       damaged->block, damaged->tries, marker.c_str());
    output_fatal(VL_MISC, "Failed to read the reference partition.\n");
  }
  if (damaged->tries > 0) {  // else said when the block was first met
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "Block %" PRIu64
                       " of the reference partition cannot be read (%d tries): "
                       "the copy of %s on the data partition is used.\n",
                       damaged->block, damaged->tries, marker.c_str());
  }
  begin();
  if (const std::optional<Unreadable> again = read_marker_to_filemark(w, 1, keep)) {
    output_fatal(VL_COMMON,
                 "%s cannot be read on either partition: block %" PRIu64
                 " of the data partition cannot be read (%d tries).\n",
                 capitalized(marker).c_str(), again->block, again->tries);
  }
  w.cursor().head(0);
  w.cursor().locate(damaged->block + 1);
  w.cursor().space(SPACE_FILEMARKS, 1);
}

// With a restored cache, a cache file is not written but compared with the tape: a cache saved by
// an earlier run is trusted only where it holds the tape's own bytes. A file that differs (or is
// missing) takes the tape's bytes, and the difference is remembered.
void compare_with_restored_file(Walk& w, const char* filepath) {
  std::string tape_bytes;
  read_reference_marker(
      w, filepath, [&] { tape_bytes.clear(); },
      [&](std::span<const uint8_t> bytes) {
        tape_bytes.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      });
  const SafeDir dir = SafeDir::parent_of(filepath);
  const std::string name = std::string(filepath).substr(std::string(filepath).rfind('/') + 1);
  std::string cached;
  if (read_plain_file(dir, name, &cached) && cached == tape_bytes) return;
  w.cache.restored_differs = true;
  AtomicFile file;
  if (!file.open(dir, name)) output_fatal(VL_MISC, "Failed to open file.\n");
  if (!file.write(
          std::span(reinterpret_cast<const uint8_t*>(tape_bytes.data()), tape_bytes.size()))) {
    output_fatal(VL_MISC, "Failed to write marker file(%s).\n", filepath);
  }
  if (!file.commit()) output_fatal(VL_MISC, "Failed to close file.\n");
  w.cache.files.changed();
}

}  // namespace

namespace {

// Copies the marker at the tape position into the file `name` of `dir` (`shown` names it in
// messages). The copy is written whole under a temporary name and takes its name only once the
// marker's filemark has been seen. Without writing, the file is only created when missing.
void copy_marker(Walk& w, const SafeDir& dir, const std::string& name, const std::string& shown,
                 int write_flg) {
  AtomicFile file;
  struct stat status {};
  const bool copy =
      write_flg == 1 || fstatat(dir.fd(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0;
  const auto begin = [&] {
    file.discard();
    if (copy && !file.open(dir, name)) output_fatal(VL_MISC, "Failed to open file.\n");
  };
  read_reference_marker(w, shown, begin, [&](std::span<const uint8_t> bytes) {
    if (write_flg == 1 && !file.write(bytes)) {
      output_fatal(VL_MISC, "Failed to write marker file(%s).\n", shown.c_str());
    }
  });
  if (copy && !file.commit()) output_fatal(VL_MISC, "Failed to close file.\n");
  w.cache.files.changed();
}

}  // namespace

int write_markers_to_file(Walk& w, const char* filepath, int write_flg) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:write_markers_to_file(%s)\n", filepath);
  if (w.cache.marker_file_flg == 1 && std::string_view(filepath).starts_with(MARKER_CACHE_DIR)) {
    compare_with_restored_file(w, filepath);
    output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :write_markers_to_file(%s)\n", filepath);
    return 0;
  }
  if (w.cache.marker_file_flg == 1) write_flg = 0;
  make_parent_dir(filepath);
  const std::string path(filepath);
  copy_marker(w, SafeDir::parent_of(path), path.substr(path.rfind('/') + 1), path, write_flg);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :write_markers_to_file(%s)\n", filepath);
  return 0;
}

int write_markers_into(Walk& w, const SafeDir& dir, const std::string& name, int write_flg) {
  const std::string shown = dir.path() + name;
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:write_markers_to_file(%s)\n", shown.c_str());
  copy_marker(w, dir, name, shown, w.cache.marker_file_flg == 1 ? 0 : write_flg);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :write_markers_to_file(%s)\n", shown.c_str());
  return 0;
}

int read_marker_file(Walk& w, uint64_t str_size, uint64_t str_offset, const char* filepath,
                     char* str) {
  output_accdg_to_vl(LV_TRACE, VL_MISC,
                     "start:read_marker_file(%s) size=%" PRIu64 " offset=%" PRIu64 "\n", filepath,
                     str_size, str_offset);
  const walk::CacheFile& file = w.cache.files.open(filepath);
  if (str_offset > static_cast<uint64_t>(INT64_MAX)) {
    output_fatal(VL_MISC, "Failed at fseek() while reading file(%s).\n", filepath);
  }
  if (str_size > 0) {
    file.read_some(str_offset, std::span<uint8_t>(reinterpret_cast<uint8_t*>(str), str_size));
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :read_marker_file(%s)\n", filepath);
  return 0;
}

int check_fm_next_to_marker(Walk& w, int pos, int own_flag) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:check_fm_next_to_marker\n");
  // On a sound tape the read that ended the marker met its filemark, or the next read meets it:
  // the tape is then where a space over it leaves it, and it never moves back. Only where no
  // filemark is met is the check made by spacing, from where the tape stood.
  const bool read_already =
      std::exchange(w.cache.filemark_read_at, UINT64_MAX) == w.cursor().position();
  const bool proved =
      pos == 1 && (own_flag == 1 || read_already ? w.cursor().filemark_before_here()
                                                 : w.cursor().filemark_next(w.tape.block_size));
  if (proved) {
    output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_fm_next_to_marker\n");
    return 0;
  }
  ST_SPTI_CMD_POSITIONDATA p{};
  if (own_flag == 1) {
    w.cursor().read_position(&p);
    w.cursor().locate(p.blockNumber == 0 ? 0 : p.blockNumber - 1);
  }
  w.cursor().read_position(&p);
  w.cursor().space(SPACE_FILEMARKS, static_cast<uint32_t>(pos));
  ST_SPTI_CMD_POSITIONDATA q{};
  w.cursor().read_position(&q);
  int ret = 0;
  if (p.blockNumber + static_cast<uint64_t>(pos) != q.blockNumber) {
    ret = output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "There is no file mark next to the marker.\n");
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_fm_next_to_marker\n");
  return ret;
}

namespace {

// The data partition ends before the place where its last reference commit marker must begin:
// its end is lost (a cut image, a tape that breaks off). The markers are placed by the cache,
// and nothing from the end of data on is read.
void data_partition_ends_early(Walk& w, uint64_t end, uint64_t last_rcm) {
  w.data.damage.ends_at(end);
  output_accdg_to_vl(LV_ERROR, VL_COMMON,
                     "The data partition ends at block %" PRIu64
                     ", before its last reference commit marker (block %" PRIu64
                     " by the partial references): nothing from there on can be read, and the "
                     "objects there are not written.\n",
                     end, last_rcm);
}

// The position of the last reference commit marker against the cartridge memory's rcm_block.
int compare_rcm_block_with_mam(const MamVci* mamvci, int which_partition, uint64_t block) {
  if (mamvci == nullptr || !mamvci[which_partition].is_valid ||
      mamvci[which_partition].Data.rcm_block == block) {
    return 0;
  }
  return output_accdg_to_vl(
      LV_WARNING, VL_RCM,
      "The position of the last reference commit marker in the %s is inconsistent with "
      "rcm_block in mam.\n%sThe position of the last reference commit marker : %" PRIu64
      "\n%srcm_block in mam                                 : %" PRIu64 "\n",
      get_partition_name(which_partition), INDENT, block, INDENT,
      mamvci[which_partition].Data.rcm_block);
}

}  // namespace

int move_to_last_rcm(Walk& w, const MamVci* mamvci, int which_partition, uint64_t* fileNumber) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:move_to_last_rcm\n");
  LastRcmPlace& place = w.tape.last_rcm[which_partition == 1 ? 1 : 0];
  if (place.known) {
    // Found before: the tape goes there directly, forward from where a walk stands.
    if (!w.cursor().position_known() || w.cursor().position() != place.block ||
        !w.cursor().on_partition(which_partition)) {
      w.cursor().head(which_partition);
      if (place.block != 0) w.cursor().locate(place.block);
    }
  } else {
    // The end of data is found from anywhere in the partition.
    if (!w.cursor().on_partition(which_partition)) w.cursor().head(which_partition);
    w.cursor().space(SPACE_END_OF_DATA, 0);
    ST_SPTI_CMD_POSITIONDATA end{};
    w.cursor().read_position(&end);
    w.cursor().space(SPACE_FILEMARKS, static_cast<uint32_t>(-2));
    w.cursor().space(SPACE_FILEMARKS, 1);
    ST_SPTI_CMD_POSITIONDATA top{};
    w.cursor().read_position(&top);
    place = {true, top.blockNumber, end.fileNumber};
    const std::optional<uint64_t> expected =
        which_partition == 1 ? last_rcm_block_by_cache(w) : std::nullopt;
    if (expected && end.blockNumber <= *expected) {
      data_partition_ends_early(w, end.blockNumber, *expected);
      place.block = *expected;
    }
  }
  if (fileNumber != nullptr) *fileNumber = place.filemarks;
  const int ret = compare_rcm_block_with_mam(mamvci, which_partition, place.block);
  if (which_partition == 1) w.tape.dp_rcm_block_number = place.block;
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :move_to_last_rcm\n");
  return ret;
}

int check_fm_num(uint64_t total_fm_num, uint64_t num_of_pr, uint64_t num_of_ocm) {
  const uint64_t expected = num_of_pr + 2 * num_of_ocm + 4;
  if (total_fm_num == expected) return 0;
  return output_accdg_to_vl(LV_ERROR, VL_MISC, "Total number of filemarks is not correct.\n");
}

int get_pr_num(Walk& w, uint64_t* pr_number) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_pr_num\n");
  if (pr_number == nullptr) return 1;
  char header[ml::kRcmMarkerCount + ml::kFieldSize] = {};
  read_marker_file(w, sizeof(header), 0, rcm_cache_file(1).c_str(), header);
  *pr_number = be64(reinterpret_cast<const uint8_t*>(header) + ml::kRcmMarkerCount);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :get_pr_num\n");
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Per-marker steps. On the reference partition each copies its marker into the cache and checks
// it; on the data partition each compares the marker there with the cache.

namespace walk {

int compare_on_data_partition(Walk& w, MARKER_TYPE m_type, const std::string& file,
                              uint64_t read_size, const char* verbose, const char* missing_filemark,
                              bool inconsistency_is_fatal) {
  int ret = 0;
  w.in_hand.marker_damaged = false;
  if (check_diff_btwn_file_and_tape(w, m_type, file.c_str(), read_size, 0, 0) != 0) {
    constexpr char kInconsistent[] = "The data partition is inconsistent with marker file(%s).\n";
    if (inconsistency_is_fatal) output_fatal(verbose, kInconsistent, file.c_str());
    ret |= output_accdg_to_vl(LV_ERROR, verbose, kInconsistent, file.c_str());
  }
  // Damage in the marker makes its filemark impossible to check: the next marker is located.
  if (!w.in_hand.marker_damaged && check_fm_next_to_marker(w, 1, 0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, verbose, "%s", missing_filemark);
  }
  return ret;
}

}  // namespace walk

int check_vol1_label_integrity(Walk& w, int which_partition) {
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "start:check_vol1_label_integrity\n");
  int ret = 0;
  w.cursor().head(which_partition);
  const std::string file = marker_cache_file(CACHE_VOL1_LABEL);
  if (which_partition == 0) {
    write_markers_to_file(w, file.c_str(), 1);
    if (clf_vol1_label() != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                                "Format violation is detected at vol1 label on Reference "
                                "Partition.\n");
    }
  } else {
    char missing[128];
    std::snprintf(missing, sizeof(missing),
                  "There is no file mark at the end of vol1 label of the %s.\n",
                  get_partition_name(which_partition));
    ret |= compare_on_data_partition(w, VOL1_LABEL, file, 80, VL_LABEL, missing, false);
  }
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "end  :check_vol1_label_integrity\n");
  return ret;
}

int check_qrt_label_integrity(Walk& w, int which_partition, const MamVci* mamvci,
                              const MamHta* mamhta, int write_flg) {
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "start:check_qrt_label_integrity\n");
  int ret = 0;
  const std::string file = marker_cache_file(CACHE_FORMAT_LABEL);
  if (which_partition == 0) {
    write_markers_to_file(w, file.c_str(), write_flg);
    uint32_t found = w.tape.block_size;
    if (clf_vexa_label(mamvci, mamhta, &found) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                                "Format violation is detected at QRT label on Reference "
                                "Partition.\n");
    }
    if (found > kMaxReadableBlockSize) {
      // A block this large cannot be requested by a READ: the walk keeps the size it had.
      ret |= output_accdg_to_vl(
          LV_ERROR, VL_LABEL, "BlockSize of Quorrant Label is too large to be read: %u.\n", found);
    } else {
      w.tape.block_size = found;
      // Before anything is read in blocks of this size: a drive that cannot transfer them ends
      // the run here.
      w.drive().require_block_reads(w.tape.block_size);
    }
  } else {
    ret |= compare_on_data_partition(w, QRT_LABEL, file, kUnbounded, VL_LABEL,
                                     "There is no file mark at the end of qrt label.\n", false);
  }
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "end  :check_qrt_label_integrity\n");
  return ret;
}

int check_first_rcm_integrity(Walk& w, int which_partition, const MamVci* mamvci,
                              const MamHta* mamhta) {
  output_accdg_to_vl(LV_TRACE, VL_RCM, "start:check_first_rcm_integrity\n");
  int ret = 0;
  const std::string file = rcm_cache_file(0);
  if (which_partition == 0) {
    write_markers_to_file(w, file.c_str(), 1);
    if (clf_reference_commit_marker(0, mamvci, mamhta, w.tape.pr_num) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                                "Format violation is detected at the first reference commit "
                                "marker on Reference Partition.\n");
    }
  } else {
    ret |= compare_on_data_partition(
        w, RCM, file, kUnbounded, VL_RCM,
        "There is no file mark at the end of the first reference commit marker.\n", true);
  }
  output_accdg_to_vl(LV_TRACE, VL_RCM, "end  :check_first_rcm_integrity\n");
  return ret;
}

int check_last_rcm_integrity(Walk& w, int which_partition, const MamVci* mamvci,
                             const MamHta* mamhta, uint64_t* fileNumber) {
  output_accdg_to_vl(LV_TRACE, VL_RCM, "start:check_last_rcm_integrity\n");
  int ret = 0;
  ret |= move_to_last_rcm(w, mamvci, which_partition, fileNumber);
  const std::string file = rcm_cache_file(1);
  if (which_partition == 0) {
    write_markers_to_file(w, file.c_str(), 1);
    get_pr_num(w, &w.tape.pr_num);
    if (clf_reference_commit_marker(1, mamvci, mamhta, w.tape.pr_num) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                                "Format violation is detected at the last reference commit marker "
                                "on Reference Partition.\n");
    }
  } else if (w.data.damage.beyond_end(w.tape.dp_rcm_block_number)) {
    // Lost with the end of the partition, as said when that was found: the bucket list is the
    // reference partition's.
    take_bucket_list(w, cached_last_rcm(w));
    ret = 1;
  } else {
    ret |= compare_on_data_partition(
        w, RCM, file, kUnbounded, VL_RCM,
        "There is no file mark at the end of the last reference commit marker.\n", false);
  }
  output_accdg_to_vl(LV_TRACE, VL_RCM, "end  :check_last_rcm_integrity\n");
  return ret;
}

int check_pr_integrity(Walk& w, int which_partition, const MamVci* mamvci, int target_pr_num,
                       int last_flag) {
  output_accdg_to_vl(LV_TRACE, VL_PR, "start:check_pr_integrity: %d\n", which_partition);
  int ret = 0;
  const std::string file = pr_cache_file(static_cast<uint64_t>(target_pr_num));
  if (which_partition == 0) {
    write_markers_to_file(w, file.c_str(), 1);
    if (check_partial_reference(file.c_str()) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                                "Format violation is detected at Partial Reference #%d on "
                                "Reference Partition.\n",
                                target_pr_num);
    }
  } else {
    struct stat status {};
    if (stat(file.c_str(), &status) != 0) {
      output_fatal(VL_PR, "Failed to get the file(%s) size.\n", file.c_str());
    }
    ret |= compare_on_data_partition(w, PR, file, static_cast<uint64_t>(status.st_size), VL_PR,
                                     "There is no file mark at the end of partial reference.\n",
                                     false);
  }
  // Damage in the last partial reference of the data partition leaves no place to compare.
  if (last_flag == 1 &&
      !(which_partition == 1 &&
        (w.in_hand.marker_damaged || w.data.damage.beyond_end(w.tape.dp_rcm_block_number)))) {
    ST_SPTI_CMD_POSITIONDATA after_pr{};
    w.cursor().read_position(&after_pr);
    ret |= move_to_last_rcm(w, mamvci, which_partition, nullptr);
    ST_SPTI_CMD_POSITIONDATA rcm_top{};
    w.cursor().read_position(&rcm_top);
    if (after_pr.blockNumber != rcm_top.blockNumber) {
      ret |= output_accdg_to_vl(
          LV_ERROR, VL_PR,
          "The position of just after the last pr is not the same as that of the top of the last "
          "reference commit marker.\n%sThe block number of just after the last pr               "
          "       : %" PRIu64
          "\n%sThe block number of the top of the last reference commit "
          "marker : %" PRIu64 "\n",
          INDENT, after_pr.blockNumber, INDENT, rcm_top.blockNumber);
    }
  }
  output_accdg_to_vl(LV_TRACE, VL_PR, "end  :check_pr_integrity: %d\n", which_partition);
  return ret;
}

int set_block_size(Walk& w, const MamVci* mamvci, const MamHta* mamhta) {
  w.cursor().head(0);
  w.cursor().space(SPACE_FILEMARKS, 1);
  int ret = check_qrt_label_integrity(w, 0, mamvci, mamhta, 1);
  if (ret != 0) ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL, "QRT Label format is not correct.\n");
  return ret;
}

int check_reference_partition_lable(Walk& w, const MamVci* mamvci, const MamHta* mamhta,
                                    uint64_t* total_fm_num_of_rp) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:check_reference_partition_lable\n");
  int ret = 0;
  initialize_marker_files(w);
  if (set_block_size(w, mamvci, mamhta) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL, "Can't get the block size.\n");
  }
  if (check_last_rcm_integrity(w, 0, mamvci, mamhta, total_fm_num_of_rp) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "The last reference commit marker format is not correct.\n");
  }
  if (check_vol1_label_integrity(w, 0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL, "Vol1 Label format is not correct.\n");
  }
  if (check_qrt_label_integrity(w, 0, mamvci, mamhta, 0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL, "QRT Label format is not correct.\n");
  }
  if (check_first_rcm_integrity(w, 0, mamvci, mamhta) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "The first reference commit marker format is not correct.\n");
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_reference_partition_lable\n");
  return ret;
}

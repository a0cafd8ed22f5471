// The tape walk: the marker file cache and the walk over the reference partition, the addressing
// of every marker on the data partition, the comparison of the data partition with the cache,
// the extraction of objects and list entries, and the walk driver. The helpers it stands on live
// in src/walk/: the cache reader, the marker index and the save layout.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "endian_utils.h"
#include "marker_layout.h"
#include "object_reader.h"
#include "output_level.h"
#include "scsi_util.h"
#include "support/atomic_file.h"
#include "support/printable.h"
#include "support/run_record.h"
#include "support/safe_dir.h"
#include "support/status_line.h"
#include "support/stop_signal.h"
#include "vexa_format_checker.h"
#include "walk/bucket_names.h"
#include "walk/cache_file.h"
#include "walk/damage.h"
#include "walk/list_writer.h"
#include "walk/marker_index.h"
#include "walk/object_sink.h"
#include "walk/progress.h"
#include "walk/save_layout.h"
#include "support/file_helpers.h"
#include "walk/history.h"
#include "walk/list_files.h"
#include "walk/numbering.h"
#include "walk/walk.h"

namespace ml = marker_layout;

// =============================================================================================
// Module state shared by the whole walk
// =============================================================================================

namespace {

constexpr uint32_t kDefaultBlockSize = 1048576;
// READ(6) carries a 24-bit transfer length: no larger block can be read.
constexpr uint32_t kMaxReadableBlockSize = 0xFFFFFF;
constexpr uint64_t kUnbounded = UINT64_MAX;

uint32_t block_size = kDefaultBlockSize;
int read_marker_file_flag = 1;
int sequential_read_flag = 1;
int savepath_dir_number = 1;
int savepath_sub_dir_number = 1;
char barcode_id[9] = "null";
uint64_t pr_num = 0;
uint64_t dp_rcm_block_number = 0;
uint64_t ocm_num = 0;
uint64_t po_num = 0;
uint64_t meta_num = 0;
uint64_t last_data_offset = 0;
uint64_t last_meta_data_offset = 0;
uint64_t num_of_meta = 0;
uint64_t num_of_meta_cnt = 0;
uint64_t po_block_address = 0;
int marker_file_flg = 0;
int skip_0_padding_check_flag = 0;
[[maybe_unused]] FILE* fp_list = nullptr;  // list files now go through walk_state.lists
int pre_savepath_dir_number = 0;
std::string pre_bucket_name_for_obj_r;
char obj_r_mode[30] = "";
char obj_reader_saveroot[4097] = "";
char bucket_id_for_obj_r[37] = "";
std::string bucket_name_for_obj_r;
std::string bucket_list_for_obj_r;
BucketInfo4ObjReader* bucket_infos = nullptr;
SCSI_DEVICE_PARAM scparam{0};
std::string object_meta_for_json;
object_list* objects = nullptr;

// What the walk keeps beyond the variables above, reset in one place when a walk starts.
struct WalkState {
  walk::Mode mode = walk::Mode::unknown;
  walk::MarkerIndex index;
  // The pre_* variables describe a list entry already written in this walk.
  bool has_pre_list_entry = false;
  // Where the metadata being processed lies in its packed object (from byte 32 of its first
  // block), when the walk knows it: the data of the object may not run past the data area.
  bool meta_offset_known = false;
  uint64_t current_meta_offset = 0;
  // The data of the last object was not read to its end, so the tape does not stand at the end of
  // its packed object when the next packed object or commit marker is due.
  bool po_tail_unread = false;
  // Findings about an object itself (as opposed to differences between the tape and the cache)
  // count in the walk's result, not in the comparison's.
  int object_errors = 0;
  uint64_t chosen_count[7] = {};  // markers chosen so far per kind, for the trace
  // The save path, and the numbered directory of the current bucket that objects go to.
  SafeDir save_root;
  std::string numbered_name;
  SafeDir numbered;
  walk::ListWriter lists;
  // The bucket names of the bucket list, and the list entry a retrieval is reading.
  walk::BucketNames buckets;
  const object_list* expected = nullptr;
  // The object being processed (its metadata's block and offset), and the progress of the walk.
  uint64_t object_block = 0;
  uint64_t object_offset = 0;
  uint64_t objects_met = 0;
  uint64_t objects_total = 0;
  uint64_t bytes_met = 0;
  uint64_t bytes_total = 0;
  // Damage on the data partition: the blocks that could not be read, where the packed objects lie
  // (for naming what a damaged block cost), and whether the marker being compared met damage.
  walk::DamageMap damage;
  std::vector<walk::PackedObjectPlace> places;
  bool marker_damaged = false;
  bool object_damaged = false;         // the object being processed met damage
  bool record_later = false;           // its sink records the object when the store answers
  uint64_t current_meta = UINT64_MAX;  // the object being visited, 0-based over the tape
  // A dump's save path as the history records it, and the place it recorded last (the counters
  // of a packed object about to be checked, and the numbering of the buckets then), for a stop.
  std::string save_path;
  bool recorded = false;
  uint64_t recorded_counters[4] = {};
  HistoryKeys recorded_numbering;
};
WalkState walk_state;
int read_retries = 2;  // tries of an unreadable block after the first (set_read_retries)

void reset_walk_state(walk::Mode mode) {
  walk_state = WalkState{};
  walk_state.mode = mode;
}

bool mode_is(walk::Mode mode) { return walk_state.mode == mode; }

TapeDrive* walk_drive = nullptr;
HistoryClock history_clock;
TapeCursor& cursor() { return walk_drive->cursor(); }

}  // namespace

uint32_t get_block_size() { return block_size; }

void set_walk_drive(TapeDrive* drive) { walk_drive = drive; }
HistoryClock& walk_history_clock() { return history_clock; }

const char* get_marker_name(MARKER_TYPE m_type) {
  switch (m_type) {
    case OCM:
      return "ocm";
    case PO:
      return "po";
    case META:
      return "meta";
    default:
      return "unknown";
  }
}

const char* get_partition_name(int which_partition) {
  switch (which_partition) {
    case 0:
      return "reference partition";
    case 1:
      return "data partition";
    default:
      return "unknown";
  }
}

// =============================================================================================
// Marker file cache and the reference partition
// =============================================================================================

void set_marker_file_flg(int mf_flg) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:set_marker_file_flg\n");
  marker_file_flg = mf_flg;
}

int get_marker_file_flg() {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_marker_file_flg\n");
  return marker_file_flg;
}

int delete_files_in_directory(const char* directory_path, const char* ext) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:delete_files_in_directory\n");
  // The directory is opened without following a link (trailing slashes would make the last
  // component resolve, so they are dropped), and only a directory of the running user is
  // emptied: a link, or a directory of somebody else in a shared place, is never touched.
  std::string dir_name(directory_path);
  while (dir_name.size() > 1 && dir_name.back() == '/') dir_name.pop_back();
  const int dir_fd = open(dir_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir_fd < 0 && errno == ENOENT) return 0;
  struct stat dir_status {};
  if (dir_fd < 0 || fstat(dir_fd, &dir_status) != 0 || dir_status.st_uid != geteuid()) {
    if (dir_fd >= 0) close(dir_fd);
    return output_accdg_to_vl(LV_ERROR, VL_MISC, "Failed to open directory(%s).\n", directory_path);
  }
  DIR* dir = fdopendir(dir_fd);
  if (dir == nullptr) {
    close(dir_fd);
    return output_accdg_to_vl(LV_ERROR, VL_MISC, "Failed to open directory(%s).\n", directory_path);
  }
  const size_t ext_length = ext == nullptr ? 0 : std::strlen(ext);
  for (const dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (ext != nullptr &&
        (name.size() < ext_length || name.substr(name.size() - ext_length) != ext)) {
      continue;
    }
    struct stat status {};
    if (fstatat(dir_fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(status.st_mode)) continue;  // only plain files are removed
    if (unlinkat(dir_fd, entry->d_name, 0) != 0) {
      closedir(dir);
      output_fatal(VL_MISC, "Failed to remove file(%s%s).\n", directory_path, entry->d_name);
    }
  }
  closedir(dir);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :delete_files_in_directory\n");
  return 0;
}

// A cache directory that holds anything but plain files (a link planted there, a directory) is
// not used: the run ends.
void require_plain_cache(const SafeDir& dir) {
  std::string other;
  if (!holds_only_plain_files(dir, &other)) {
    output_fatal(VL_COMMON,
                 "The marker cache directory (%s) holds something that is not a plain file (%s). "
                 "It is not used.\n",
                 dir.path().c_str(), printable(other).c_str());
  }
}

int initialize_marker_files() {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:initialize_marker_files\n");
  if (get_marker_file_flg() == 0 && delete_files_in_directory(MARKER_CACHE_DIR, nullptr) != 0) {
    // Stale cache files would be compared against: the walk cannot go on.
    output_fatal(VL_MISC, "Marker files could not be deleted at %s.\n", MARKER_CACHE_DIR);
  }
  require_plain_cache(SafeDir::root(".").enter(MARKER_CACHE_DIR, true));
  walk::marker_cache_changed();
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :initialize_marker_files\n");
  return 0;
}

namespace {

// What a read at the tape position met. A filemark stands also for whatever else ended the
// reading of a marker (end of data, a failed READ), which its filemark check then reports.
enum class Got { block, filemark, damage };

// Reads the block at the tape position of `partition` into the cursor's buffer, reading an
// unreadable block again (located between tries) up to the bound of --read-retries; a block read
// on a later try is said in a WARNING. A block that stays unreadable leaves the tape just past
// it, with the tries made in `*tries`.
Got read_with_retries(int partition, uint32_t* count, int* tries) {
  const uint64_t at = cursor().position();
  cursor().caller_reports_unreadable(true);
  Got got = Got::damage;
  // The sense data of a medium error are shown with -v only: the caller reports the block.
  for (*tries = 1;; ++*tries) {
    cursor().quiet_sense(true);
    const int ret = cursor().read(block_size, count);
    cursor().quiet_sense(false);
    if (ret == 0 || cursor().last_read() != TapeCursor::Read::unreadable) {
      got = ret == 0 ? Got::block : Got::filemark;
      break;
    }
    if (*tries > read_retries) break;
    cursor().locate(at);
  }
  cursor().caller_reports_unreadable(false);
  if (got == Got::block && *tries > 1) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON, "Block %" PRIu64 " of the %s was read on try %d.\n",
                       at, get_partition_name(partition), *tries);
  }
  if (got == Got::damage) cursor().locate(at + 1);
  return got;
}

// Blocks of the reference partition found unreadable: a second reading of the partition goes
// straight to the copies on the data partition, without trying them again.
walk::DamageMap reference_damage;

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
std::optional<Unreadable> read_marker_to_filemark(int partition, Keep keep) {
  uint32_t count = 0;
  const uint64_t start = cursor().position();
  uint64_t records = 0;
  for (;;) {
    const uint64_t at = cursor().position();
    if (partition == 0 && reference_damage.contains(at)) return Unreadable{at, 0};
    int tries = 0;
    const Got got = read_with_retries(partition, &count, &tries);
    if (got == Got::damage) {
      if (partition == 0) reference_damage.add(at);
      return Unreadable{at, tries};
    }
    if (got != Got::block) break;
    ++records;
    keep(cursor().block().first(count));
  }
  // A read that meets a filemark leaves the tape past it. One that left the tape where it was met
  // the end of data: no filemark ends this marker, and the object in front of the tape, which the
  // filemark check would look at, belongs to the marker before.
  ST_SPTI_CMD_POSITIONDATA after{};
  cursor().read_position(&after);
  int missing_filemark = 0;
  if (after.blockNumber == start + records) {
    missing_filemark =
        output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "There is no file mark next to the marker.\n");
  } else {
    missing_filemark = check_fm_next_to_marker(1, 1);
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
bool locate_data_partition_copy(const std::string& filepath) {
  using Kind = ReferenceMarker::Kind;
  const ReferenceMarker marker = reference_marker(filepath);
  switch (marker.kind) {
    case Kind::vol1:
    case Kind::label:
    case Kind::first_rcm:
      cursor().head(1);
      if (marker.kind != Kind::vol1) {
        cursor().space(SPACE_FILEMARKS, marker.kind == Kind::label ? 1 : 2);
      }
      return true;
    case Kind::last_rcm:
      move_to_last_rcm(nullptr, 1, nullptr);
      return true;
    case Kind::partial_reference:
      break;
    case Kind::other:
      return false;
  }
  char offset[ml::kFieldSize] = {};
  read_marker_file(sizeof(offset), ml::kRcmHeaderSize + ml::kRcmEntrySize * marker.number,
                   rcm_cache_file(1).c_str(), offset);
  if (dp_rcm_block_number == 0) move_to_last_rcm(nullptr, 1, nullptr);
  const uint64_t back = be64(reinterpret_cast<const uint8_t*>(offset));
  if (back == 0 || back > dp_rcm_block_number) return false;
  cursor().head(1);
  cursor().locate(dp_rcm_block_number - back);
  return true;
}

// Reads the marker at the tape position of the reference partition, whose cache file is
// `filepath`: `begin` starts the copy, `keep` takes every block. When a block of it cannot be
// read, its copy on the data partition is read instead (said in a WARNING; `begin` starts the
// copy again), and the tape is left past the marker's filemark on the reference partition, where
// the next marker starts. A marker that neither partition gives whole ends the run.
template <typename Begin, typename Keep>
void read_reference_marker(const std::string& filepath, Begin begin, Keep keep) {
  begin();
  const std::optional<Unreadable> damaged = read_marker_to_filemark(0, keep);
  if (!damaged) return;
  const std::string marker = marker_description(filepath);
  if (!locate_data_partition_copy(filepath)) {
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
  if (const std::optional<Unreadable> again = read_marker_to_filemark(1, keep)) {
    output_fatal(VL_COMMON,
                 "%s cannot be read on either partition: block %" PRIu64
                 " of the data partition cannot be read (%d tries).\n",
                 capitalized(marker).c_str(), again->block, again->tries);
  }
  cursor().head(0);
  cursor().locate(damaged->block + 1);
  cursor().space(SPACE_FILEMARKS, 1);
}

bool path_exists(const char* path) {
  struct stat status {};
  return lstat(path, &status) == 0;
}

// Whether a marker read from the tape differed from the restored cache file it was compared with.
bool restored_cache_differs = false;

// With a restored cache, a cache file is not written but compared with the tape: a cache saved by
// an earlier run is trusted only where it holds the tape's own bytes. A file that differs (or is
// missing) takes the tape's bytes, and the difference is remembered.
void compare_with_restored_file(const char* filepath) {
  std::string tape_bytes;
  read_reference_marker(
      filepath, [&] { tape_bytes.clear(); },
      [&](std::span<const uint8_t> bytes) {
        tape_bytes.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      });
  const SafeDir dir = SafeDir::parent_of(filepath);
  const std::string name = std::string(filepath).substr(std::string(filepath).rfind('/') + 1);
  std::string cached;
  if (read_plain_file(dir, name, &cached) && cached == tape_bytes) return;
  restored_cache_differs = true;
  AtomicFile file;
  if (!file.open(dir, name)) output_fatal(VL_MISC, "Failed to open file.\n");
  if (!file.write(
          std::span(reinterpret_cast<const uint8_t*>(tape_bytes.data()), tape_bytes.size()))) {
    output_fatal(VL_MISC, "Failed to write marker file(%s).\n", filepath);
  }
  if (!file.commit()) output_fatal(VL_MISC, "Failed to close file.\n");
  walk::marker_cache_changed();
}

}  // namespace

bool restored_marker_cache_differs() { return restored_cache_differs; }

void set_read_retries(int retries) { read_retries = retries; }

int write_markers_to_file(const char* filepath, int write_flg) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:write_markers_to_file(%s)\n", filepath);
  if (marker_file_flg == 1 && std::string_view(filepath).starts_with(MARKER_CACHE_DIR)) {
    compare_with_restored_file(filepath);
    output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :write_markers_to_file(%s)\n", filepath);
    return 0;
  }
  if (marker_file_flg == 1) write_flg = 0;
  make_parent_dir(filepath);
  // The copy is written whole under a temporary name and takes the cache file's name only once
  // the marker's filemark has been seen. Without writing, the file is only created when missing.
  AtomicFile file;
  const bool copy = write_flg == 1 || !path_exists(filepath);
  const auto begin = [&] {
    file.discard();
    if (copy && !file.open(filepath)) output_fatal(VL_MISC, "Failed to open file.\n");
  };
  read_reference_marker(filepath, begin, [&](std::span<const uint8_t> bytes) {
    if (write_flg == 1 && !file.write(bytes)) {
      output_fatal(VL_MISC, "Failed to write marker file(%s).\n", filepath);
    }
  });
  if (copy && !file.commit()) output_fatal(VL_MISC, "Failed to close file.\n");
  walk::marker_cache_changed();
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :write_markers_to_file(%s)\n", filepath);
  return 0;
}

int read_marker_file(uint64_t str_size, uint64_t str_offset, const char* filepath, char* str) {
  output_accdg_to_vl(LV_TRACE, VL_MISC,
                     "start:read_marker_file(%s) size=%" PRIu64 " offset=%" PRIu64 "\n", filepath,
                     str_size, str_offset);
  const walk::CacheFile& file = walk::open_cache_file(filepath);
  if (str_offset > static_cast<uint64_t>(INT64_MAX)) {
    output_fatal(VL_MISC, "Failed at fseek() while reading file(%s).\n", filepath);
  }
  if (str_size > 0) {
    file.read_some(str_offset, std::span<uint8_t>(reinterpret_cast<uint8_t*>(str), str_size));
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :read_marker_file(%s)\n", filepath);
  return 0;
}

namespace {
// Where the tape stood after the filemark that ended a label or commit marker, read by the
// comparison: the check of that filemark that follows at once finds it proved.
uint64_t filemark_read_at = UINT64_MAX;
}  // namespace

int check_fm_next_to_marker(int pos, int own_flag) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:check_fm_next_to_marker\n");
  // On a sound tape the read that ended the marker met its filemark, or the next read meets it:
  // the tape is then where a space over it leaves it, and it never moves back. Only where no
  // filemark is met is the check made by spacing, from where the tape stood.
  const bool read_already = std::exchange(filemark_read_at, UINT64_MAX) == cursor().position();
  const bool proved =
      pos == 1 && (own_flag == 1 || read_already ? cursor().filemark_before_here()
                                                 : cursor().filemark_next(block_size));
  if (proved) {
    output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_fm_next_to_marker\n");
    return 0;
  }
  ST_SPTI_CMD_POSITIONDATA p{};
  if (own_flag == 1) {
    cursor().read_position(&p);
    cursor().locate(p.blockNumber == 0 ? 0 : p.blockNumber - 1);
  }
  cursor().read_position(&p);
  cursor().space(SPACE_FILEMARKS, static_cast<uint32_t>(pos));
  ST_SPTI_CMD_POSITIONDATA q{};
  cursor().read_position(&q);
  int ret = 0;
  if (p.blockNumber + static_cast<uint64_t>(pos) != q.blockNumber) {
    ret = output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "There is no file mark next to the marker.\n");
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_fm_next_to_marker\n");
  return ret;
}

namespace {

// Where the last reference commit marker of each partition was found: its first block and the
// filemarks of the partition. It does not move while the run goes on.
struct LastRcmPlace {
  bool known = false;
  uint64_t block = 0;
  uint64_t filemarks = 0;
};
LastRcmPlace last_rcm_places[2];

std::optional<uint64_t> last_rcm_block_by_cache();
void take_bucket_list(const std::string& rcm);
std::string cached_last_rcm();

// The data partition ends before the place where its last reference commit marker must begin:
// its end is lost (a cut image, a tape that breaks off). The markers are placed by the cache,
// and nothing from the end of data on is read.
void data_partition_ends_early(uint64_t end, uint64_t last_rcm) {
  walk_state.damage.ends_at(end);
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

int move_to_last_rcm(const MamVci* mamvci, int which_partition, uint64_t* fileNumber) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:move_to_last_rcm\n");
  LastRcmPlace& place = last_rcm_places[which_partition == 1 ? 1 : 0];
  if (place.known) {
    // Found before: the tape goes there directly, forward from where a walk stands.
    if (!cursor().position_known() || cursor().position() != place.block ||
        !cursor().on_partition(which_partition)) {
      cursor().head(which_partition);
      if (place.block != 0) cursor().locate(place.block);
    }
  } else {
    // The end of data is found from anywhere in the partition.
    if (!cursor().on_partition(which_partition)) cursor().head(which_partition);
    cursor().space(SPACE_END_OF_DATA, 0);
    ST_SPTI_CMD_POSITIONDATA end{};
    cursor().read_position(&end);
    cursor().space(SPACE_FILEMARKS, static_cast<uint32_t>(-2));
    cursor().space(SPACE_FILEMARKS, 1);
    ST_SPTI_CMD_POSITIONDATA top{};
    cursor().read_position(&top);
    place = {true, top.blockNumber, end.fileNumber};
    const std::optional<uint64_t> expected =
        which_partition == 1 ? last_rcm_block_by_cache() : std::nullopt;
    if (expected && end.blockNumber <= *expected) {
      data_partition_ends_early(end.blockNumber, *expected);
      place.block = *expected;
    }
  }
  if (fileNumber != nullptr) *fileNumber = place.filemarks;
  const int ret = compare_rcm_block_with_mam(mamvci, which_partition, place.block);
  if (which_partition == 1) dp_rcm_block_number = place.block;
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :move_to_last_rcm\n");
  return ret;
}

int check_fm_num(uint64_t total_fm_num, uint64_t num_of_pr, uint64_t num_of_ocm) {
  const uint64_t expected = num_of_pr + 2 * num_of_ocm + 4;
  if (total_fm_num == expected) return 0;
  return output_accdg_to_vl(LV_ERROR, VL_MISC, "Total number of filemarks is not correct.\n");
}

int get_pr_num(uint64_t* pr_number) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_pr_num\n");
  if (pr_number == nullptr) return 1;
  char header[ml::kRcmMarkerCount + ml::kFieldSize] = {};
  read_marker_file(sizeof(header), 0, rcm_cache_file(1).c_str(), header);
  *pr_number = be64(reinterpret_cast<const uint8_t*>(header) + ml::kRcmMarkerCount);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :get_pr_num\n");
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Per-marker steps. On the reference partition each copies its marker into the cache and checks
// it; on the data partition each compares the marker there with the cache.

int check_diff_btwn_file_and_tape(MARKER_TYPE m_type, const char* filepath, uint64_t read_size,
                                  uint64_t offset, uint64_t pr_file_offset);

namespace {

// Compares the data-partition copy of a label or commit marker with its cache file and checks
// the filemark behind it.
int compare_on_data_partition(MARKER_TYPE m_type, const std::string& file, uint64_t read_size,
                              const char* verbose, const char* missing_filemark,
                              bool inconsistency_is_fatal) {
  int ret = 0;
  walk_state.marker_damaged = false;
  if (check_diff_btwn_file_and_tape(m_type, file.c_str(), read_size, 0, 0) != 0) {
    constexpr char kInconsistent[] = "The data partition is inconsistent with marker file(%s).\n";
    if (inconsistency_is_fatal) output_fatal(verbose, kInconsistent, file.c_str());
    ret |= output_accdg_to_vl(LV_ERROR, verbose, kInconsistent, file.c_str());
  }
  // Damage in the marker makes its filemark impossible to check: the next marker is located.
  if (!walk_state.marker_damaged && check_fm_next_to_marker(1, 0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, verbose, "%s", missing_filemark);
  }
  return ret;
}

}  // namespace

int check_vol1_label_integrity(int which_partition) {
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "start:check_vol1_label_integrity\n");
  int ret = 0;
  cursor().head(which_partition);
  const std::string file = marker_cache_file(CACHE_VOL1_LABEL);
  if (which_partition == 0) {
    write_markers_to_file(file.c_str(), 1);
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
    ret |= compare_on_data_partition(VOL1_LABEL, file, 80, VL_LABEL, missing, false);
  }
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "end  :check_vol1_label_integrity\n");
  return ret;
}

int check_qrt_label_integrity(int which_partition, const MamVci* mamvci, const MamHta* mamhta,
                              int write_flg) {
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "start:check_qrt_label_integrity\n");
  int ret = 0;
  const std::string file = marker_cache_file(CACHE_FORMAT_LABEL);
  if (which_partition == 0) {
    write_markers_to_file(file.c_str(), write_flg);
    uint32_t found = block_size;
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
      block_size = found;
      // Before anything is read in blocks of this size: a drive that cannot transfer them ends
      // the run here.
      walk_drive->require_block_reads(block_size);
    }
  } else {
    ret |= compare_on_data_partition(QRT_LABEL, file, kUnbounded, VL_LABEL,
                                     "There is no file mark at the end of qrt label.\n", false);
  }
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "end  :check_qrt_label_integrity\n");
  return ret;
}

int check_first_rcm_integrity(int which_partition, const MamVci* mamvci, const MamHta* mamhta) {
  output_accdg_to_vl(LV_TRACE, VL_RCM, "start:check_first_rcm_integrity\n");
  int ret = 0;
  const std::string file = rcm_cache_file(0);
  if (which_partition == 0) {
    write_markers_to_file(file.c_str(), 1);
    if (clf_reference_commit_marker(0, mamvci, mamhta, pr_num) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                                "Format violation is detected at the first reference commit "
                                "marker on Reference Partition.\n");
    }
  } else {
    ret |= compare_on_data_partition(
        RCM, file, kUnbounded, VL_RCM,
        "There is no file mark at the end of the first reference commit marker.\n", true);
  }
  output_accdg_to_vl(LV_TRACE, VL_RCM, "end  :check_first_rcm_integrity\n");
  return ret;
}

int check_last_rcm_integrity(int which_partition, const MamVci* mamvci, const MamHta* mamhta,
                             uint64_t* fileNumber) {
  output_accdg_to_vl(LV_TRACE, VL_RCM, "start:check_last_rcm_integrity\n");
  int ret = 0;
  ret |= move_to_last_rcm(mamvci, which_partition, fileNumber);
  const std::string file = rcm_cache_file(1);
  if (which_partition == 0) {
    write_markers_to_file(file.c_str(), 1);
    get_pr_num(&pr_num);
    if (clf_reference_commit_marker(1, mamvci, mamhta, pr_num) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                                "Format violation is detected at the last reference commit marker "
                                "on Reference Partition.\n");
    }
  } else if (walk_state.damage.beyond_end(dp_rcm_block_number)) {
    // Lost with the end of the partition, as said when that was found: the bucket list is the
    // reference partition's.
    take_bucket_list(cached_last_rcm());
    ret = 1;
  } else {
    ret |= compare_on_data_partition(
        RCM, file, kUnbounded, VL_RCM,
        "There is no file mark at the end of the last reference commit marker.\n", false);
  }
  output_accdg_to_vl(LV_TRACE, VL_RCM, "end  :check_last_rcm_integrity\n");
  return ret;
}

int check_pr_integrity(int which_partition, const MamVci* mamvci, int target_pr_num,
                       int last_flag) {
  output_accdg_to_vl(LV_TRACE, VL_PR, "start:check_pr_integrity: %d\n", which_partition);
  int ret = 0;
  const std::string file = pr_cache_file(static_cast<uint64_t>(target_pr_num));
  if (which_partition == 0) {
    write_markers_to_file(file.c_str(), 1);
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
    ret |= compare_on_data_partition(PR, file, static_cast<uint64_t>(status.st_size), VL_PR,
                                     "There is no file mark at the end of partial reference.\n",
                                     false);
  }
  // Damage in the last partial reference of the data partition leaves no place to compare.
  if (last_flag == 1 &&
      !(which_partition == 1 &&
        (walk_state.marker_damaged || walk_state.damage.beyond_end(dp_rcm_block_number)))) {
    ST_SPTI_CMD_POSITIONDATA after_pr{};
    cursor().read_position(&after_pr);
    ret |= move_to_last_rcm(mamvci, which_partition, nullptr);
    ST_SPTI_CMD_POSITIONDATA rcm_top{};
    cursor().read_position(&rcm_top);
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

int set_block_size(const MamVci* mamvci, const MamHta* mamhta) {
  cursor().head(0);
  cursor().space(SPACE_FILEMARKS, 1);
  int ret = check_qrt_label_integrity(0, mamvci, mamhta, 1);
  if (ret != 0) ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL, "QRT Label format is not correct.\n");
  return ret;
}

int check_reference_partition_lable(const MamVci* mamvci, const MamHta* mamhta,
                                    uint64_t* total_fm_num_of_rp) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:check_reference_partition_lable\n");
  int ret = 0;
  initialize_marker_files();
  if (set_block_size(mamvci, mamhta) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL, "Can't get the block size.\n");
  }
  if (check_last_rcm_integrity(0, mamvci, mamhta, total_fm_num_of_rp) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "The last reference commit marker format is not correct.\n");
  }
  if (check_vol1_label_integrity(0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL, "Vol1 Label format is not correct.\n");
  }
  if (check_qrt_label_integrity(0, mamvci, mamhta, 0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL, "QRT Label format is not correct.\n");
  }
  if (check_first_rcm_integrity(0, mamvci, mamhta) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "The first reference commit marker format is not correct.\n");
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_reference_partition_lable\n");
  return ret;
}

// =============================================================================================
// Marker addressing
// =============================================================================================
//
// Every position on the data partition is computed from the cached last reference commit marker
// and partial references, through the marker index (src/walk/marker_index), built once.

int get_ocm_po_meta_num(int pr_count, uint64_t* ocm_total, uint64_t* po_total,
                        uint64_t* meta_total) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_ocm_po_meta_num\n");
  walk::MarkerIndex& index = walk_state.index;
  index.build(pr_count < 0 ? 0 : static_cast<uint64_t>(pr_count));
  for (uint64_t k = 0; k < index.prs().size(); ++k) {
    const walk::PrEntry& pr = index.prs()[k];
    *ocm_total += pr.ocm_count;
    output_accdg_to_vl(LV_TRACE, VL_MISC, "pr%d: ocm_num=%" PRIu64 ", added=%" PRIu64 "\n",
                       static_cast<int>(k), *ocm_total, pr.ocm_count);
    for (uint64_t j = 0; j < pr.ocm_count; ++j) {
      const walk::OcmEntry& ocm = index.ocms()[pr.first_ocm + j];
      *po_total += ocm.po_count;
      output_accdg_to_vl(LV_TRACE, VL_MISC, "pr%d: ocm%d: po_num=%" PRIu64 ", added=%" PRIu64 "\n",
                         static_cast<int>(k), static_cast<int>(j), *po_total, ocm.po_count);
      for (uint64_t m = 0; m < ocm.po_count; ++m) {
        *meta_total += index.pos()[ocm.first_po + m].object_count;
      }
      output_accdg_to_vl(LV_TRACE, VL_MISC, "pr%d: ocm%d: meta_num=%" PRIu64 "\n",
                         static_cast<int>(k), static_cast<int>(j), *meta_total);
    }
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :get_ocm_po_meta_num\n");
  return 0;
}

namespace {

// How many blocks before the last reference commit marker of the data partition partial
// reference `pr_number` (1-based) begins, as the cache gives it.
uint64_t pr_distance(int pr_number) {
  std::optional<uint64_t> b;
  if (pr_number >= 1) b = walk_state.index.pr_block_offset(static_cast<uint64_t>(pr_number - 1));
  if (!b) {
    char bytes[ml::kFieldSize] = {};
    read_marker_file(
        sizeof(bytes),
        ml::kRcmHeaderSize + ml::kRcmEntrySize * (static_cast<uint64_t>(pr_number) - 1),
        rcm_cache_file(1).c_str(), bytes);
    b = be64(reinterpret_cast<uint8_t*>(bytes));
  }
  return *b;
}

// Where the last reference commit marker of the data partition begins, counted forward: the VOL1
// label, the format label and the first reference commit marker at the beginning of the
// partition (the records of their cache files, each with its filemark), then the distance from
// the first packed object that the partial references give. Nothing when the cache does not
// tell, or its offsets (untrusted) add up beyond any block number.
std::optional<uint64_t> last_rcm_block_by_cache() {
  const walk::MarkerIndex& index = walk_state.index;
  if (index.pos().empty() || block_size == 0) return std::nullopt;
  uint64_t first_po = 0;
  for (const std::string& file : {marker_cache_file(CACHE_VOL1_LABEL),
                                  marker_cache_file(CACHE_FORMAT_LABEL), rcm_cache_file(0)}) {
    struct stat status {};
    if (stat(file.c_str(), &status) != 0 || status.st_size <= 0) return std::nullopt;
    first_po += (static_cast<uint64_t>(status.st_size) + block_size - 1) / block_size + 1;
  }
  const walk::PoEntry& po = index.pos()[0];
  if (po.ocm >= index.ocms().size()) return std::nullopt;
  const walk::OcmEntry& ocm = index.ocms()[po.ocm];
  // The packed object lies before its commit marker, and that before its partial reference.
  uint64_t block = first_po;
  for (const uint64_t step :
       {pr_distance(static_cast<int>(ocm.pr + 1)), ocm.block_offset, po.block_offset}) {
    if (__builtin_add_overflow(block, step, &block)) return std::nullopt;
  }
  return block;
}

}  // namespace

int get_address_of_pr(int pr_number, uint64_t* block_number, uint64_t* offset) {
  output_accdg_to_vl(LV_TRACE, VL_PR, "start:get_address_of_pr\n");
  if (dp_rcm_block_number == 0) {
    output_fatal(VL_MISC,
                 "Failed to get block number of the last reference commit marker of data "
                 "partition.\n");
  }
  *block_number = dp_rcm_block_number - pr_distance(pr_number);
  *offset = 0;
  output_accdg_to_vl(LV_TRACE, VL_PR, "end  :get_address_of_pr\n");
  return 0;
}

namespace {

// Where a marker lies: its first block and the byte in it, where its copy lies in which partial
// reference file, and its length.
struct MarkerAddress {
  uint64_t block_number = 0;
  uint64_t offset = 0;
  uint64_t pr_file_num = 0;
  uint64_t pr_file_offset = 0;
  uint64_t length = 0;
};

// The first block of the partial reference that holds object commit marker `ocm`.
uint64_t pr_block_of(const walk::OcmEntry& ocm) {
  uint64_t b_pr = 0;
  uint64_t unused = 0;
  get_address_of_pr(static_cast<int>(ocm.pr + 1), &b_pr, &unused);
  return b_pr;
}

MarkerAddress ocm_address(uint64_t n) {
  const walk::OcmEntry& ocm = walk_state.index.ocms()[n];
  return {pr_block_of(ocm) - ocm.block_offset, ml::kIdentifierSize, ocm.pr, ocm.info_offset,
          ocm.length};
}

MarkerAddress po_address(uint64_t n) {
  const walk::PoEntry& po = walk_state.index.pos()[n];
  const walk::OcmEntry& ocm = walk_state.index.ocms()[po.ocm];
  return {pr_block_of(ocm) - ocm.block_offset - po.block_offset, ml::kIdentifierSize, ocm.pr,
          po.info_offset, po.data_offset};
}

MarkerAddress meta_address(uint64_t n) {
  walk::MarkerIndex& index = walk_state.index;
  const uint64_t p = index.po_of_meta(n);
  const walk::PoEntry& po = index.pos()[p];
  const walk::OcmEntry& ocm = index.ocms()[po.ocm];
  const walk::PoDirectory& dir = index.po_directory(p);
  const size_t r = static_cast<size_t>(n - po.first_meta);
  const uint64_t m = dir.meta_offset[r];
  const uint64_t on_tape = m + ml::kIdentifierSize;  // the offsets count from the identifier's end
  return {pr_block_of(ocm) - ocm.block_offset - po.block_offset + on_tape / block_size,
          on_tape % block_size, ocm.pr, dir.copy_position[r], dir.data_offset[r] - m};
}

}  // namespace

int get_address_of_marker(MARKER_TYPE m_type, uint64_t marker_num, uint64_t* block_number,
                          uint64_t* offset, uint64_t* pr_file_num, uint64_t* pr_file_offset,
                          uint64_t* marker_len) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_address_of_marker: m_type=%d, marker_num=%d\n",
                     static_cast<int>(m_type), static_cast<int>(marker_num));
  const char* end_line = "end  :get_address_of_marker\n";
  const walk::MarkerIndex& index = walk_state.index;
  std::optional<MarkerAddress> address;
  if (marker_num >= 1) {
    const uint64_t n = marker_num - 1;
    if (m_type == OCM && n < index.ocms().size()) {
      address = ocm_address(n);
    } else if (m_type == PO && n < index.pos().size()) {
      address = po_address(n);
      end_line = "end  :get_address_of_marker in ocm loop\n";
    } else if (m_type == META && n < index.object_count()) {
      address = meta_address(n);
      end_line = "end  :get_address_of_marker in po loop\n";
    }
  }
  if (address) {
    *block_number = address->block_number;
    *offset = address->offset;
    *pr_file_num = address->pr_file_num;
    *pr_file_offset = address->pr_file_offset;
    *marker_len = address->length;
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "%s", end_line);
  return 0;
}

namespace {

// Whether marker `number` (1-based) of `kind` is the next one in the order the partial references
// list the markers, given the counters of the markers visited so far: a packed object after the
// objects before it and after the commit markers and partial references that come before it, an
// object after its packed object, a commit marker after its packed objects and their objects, a
// partial reference after its commit markers.
bool is_next_in_list_order(MARKER_TYPE kind, uint64_t number, uint64_t pr_cnt, uint64_t ocm_cnt,
                           uint64_t po_cnt, uint64_t meta_cnt) {
  const walk::MarkerIndex& index = walk_state.index;
  const uint64_t n = number - 1;
  const uint64_t prs_done = pr_cnt - 1;
  const uint64_t ocms_done = ocm_cnt - 1;
  const uint64_t pos_done = po_cnt - 1;
  const uint64_t metas_done = meta_cnt - 1;
  // The objects before packed object `p`.
  auto objects_before = [&](uint64_t p) {
    return p < index.pos().size() ? index.pos()[p].first_meta : index.object_count();
  };
  switch (kind) {
    case PO: {
      const walk::PoEntry& po = index.pos()[n];
      return metas_done >= po.first_meta && ocms_done >= po.ocm &&
             prs_done >= index.ocms()[po.ocm].pr;
    }
    case META:
      return pos_done > index.po_of_meta(n);
    case OCM: {
      const walk::OcmEntry& ocm = index.ocms()[n];
      const uint64_t pos_end = ocm.first_po + ocm.po_count;
      return pos_done >= pos_end && metas_done >= objects_before(pos_end) && prs_done >= ocm.pr;
    }
    case PR: {
      const walk::PrEntry& pr = index.prs()[n];
      return ocms_done >= pr.first_ocm + pr.ocm_count;
    }
    default:
      return false;
  }
}

}  // namespace

int get_next_marker(uint64_t pr_cnt, uint64_t ocm_cnt, uint64_t po_cnt, uint64_t meta_cnt,
                    uint64_t pr_max, uint64_t ocm_max, uint64_t po_max, uint64_t meta_max,
                    MARKER_TYPE* m_type) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_next_marker\n");
  uint64_t npr = UINT64_MAX;
  uint64_t nocm = UINT64_MAX;
  uint64_t npo = UINT64_MAX;
  uint64_t nmeta = UINT64_MAX;
  uint64_t offset = 0;
  uint64_t file_num = 0;
  uint64_t file_offset = 0;
  uint64_t length = 0;
  if (pr_cnt <= pr_max) get_address_of_pr(static_cast<int>(pr_cnt), &npr, &offset);
  if (ocm_cnt <= ocm_max) {
    get_address_of_marker(OCM, ocm_cnt, &nocm, &offset, &file_num, &file_offset, &length);
  }
  if (po_cnt <= po_max) {
    get_address_of_marker(PO, po_cnt, &npo, &offset, &file_num, &file_offset, &length);
  }
  if (meta_cnt <= meta_max) {
    get_address_of_marker(META, meta_cnt, &nmeta, &offset, &file_num, &file_offset, &length);
  }
  MARKER_TYPE choice = META;
  if (npr < nocm && npr < npo && npr < nmeta) {
    choice = PR;
  } else if (nocm < npo && nocm < nmeta) {
    choice = OCM;
  } else if (npo <= nmeta) {
    choice = PO;
  }
  // Blocks computed from damaged offsets may wrap to the largest value: never choose a kind
  // that has no marker left, or the walk would not end.
  const bool left[7] = {false,
                        false,
                        false,
                        pr_cnt <= pr_max,
                        ocm_cnt <= ocm_max,
                        po_cnt <= po_max,
                        meta_cnt <= meta_max};
  if (!left[choice]) {
    for (MARKER_TYPE kind : {PR, OCM, PO, META}) {
      if (left[kind]) {
        choice = kind;
        break;
      }
    }
  }
  // A marker placed at or beyond the last reference commit marker cannot be there. It is chosen
  // where the partial references list it, to be reported and skipped, so that the markers around
  // it keep their order.
  const uint64_t block_of[7] = {0, 0, 0, npr, nocm, npo, nmeta};
  const uint64_t counter_of[7] = {0, 0, 0, pr_cnt, ocm_cnt, po_cnt, meta_cnt};
  for (MARKER_TYPE kind : {PR, OCM, PO, META}) {
    if (left[kind] && block_of[kind] >= dp_rcm_block_number &&
        is_next_in_list_order(kind, counter_of[kind], pr_cnt, ocm_cnt, po_cnt, meta_cnt)) {
      choice = kind;
      break;
    }
  }
  *m_type = choice;
  const uint64_t counter = ++walk_state.chosen_count[choice];
  output_accdg_to_vl(LV_TRACE, VL_MISC,
                     "end  :get_next_marker: %s:%" PRIu64 " pr:%" PRIu64 ",%" PRIu64 " ocm:%" PRIu64
                     ",%" PRIu64 " po:%" PRIu64 ",%" PRIu64 " meta:%" PRIu64 ",%" PRIu64
                     "  npr=%" PRIu64 " nocm=%" PRIu64 " npo=%" PRIu64 ", nmeta=%" PRIu64 "\n",
                     get_marker_name(choice), counter, pr_cnt, pr_max, ocm_cnt, ocm_max, po_cnt,
                     po_max, meta_cnt, meta_max, npr, nocm, npo, nmeta);
  return 0;
}

int get_last_data_offset(const char* filepath, uint64_t pr_file_offset, uint64_t marker_len) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_last_data_offset\n");
  // Read backwards from the end of the PO info's header and directory: the closing entry's data
  // offset, and the metadata offset of the entry before it (the last object's).
  auto field = [&](uint64_t back) -> uint64_t {
    // A header and directory too short to hold the field read as 0.
    if (marker_len < back) return 0;
    char bytes[ml::kFieldSize] = {};
    read_marker_file(sizeof(bytes), pr_file_offset + marker_len - back, filepath, bytes);
    return be64(reinterpret_cast<uint8_t*>(bytes));
  };
  last_data_offset = field(ml::kObjectEntrySize - ml::kObjectEntryDataOffset);
  last_meta_data_offset = field(2 * ml::kObjectEntrySize - ml::kObjectEntryMetaOffset);
  char bytes[ml::kFieldSize] = {};
  read_marker_file(sizeof(bytes), pr_file_offset + ml::kPoInfoObjectCount, filepath, bytes);
  num_of_meta = be64(reinterpret_cast<uint8_t*>(bytes));
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :get_last_data_offset\n");
  return 0;
}

// =============================================================================================
// Data-partition verification and object extraction
// =============================================================================================

namespace {

constexpr size_t kMetadataBufferSize = 2097152;   // 2 MiB
constexpr uint64_t kLargeObject = 1073741824;     // 1 GiB: check the free space first
constexpr size_t kMaxRcmKept = ml::kMaxRcmBytes;  // bytes of a commit marker kept for its list
constexpr size_t kMaxBucketName = 63;
constexpr size_t kMaxPath = 4095;
// Room a path needs beyond the save root, bucket, key and identifier: separators, directory
// numbers and suffix.
constexpr size_t kPathOverhead = 32;

// The bucket list of the last reference commit marker on the data partition: the data-length
// bytes at byte 32 + data offset of the marker as read from the tape.
void take_bucket_list(const std::string& rcm) {
  if (rcm.size() < ml::kRcmMarkerCount) {
    bucket_list_for_obj_r.clear();
    output_accdg_to_vl(LV_ERROR, VL_RCM,
                       "The bucket list of the last reference commit marker cannot be read.\n");
    return;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(rcm.data());
  const uint64_t data_offset = be64(bytes + ml::kRcmDataOffset);
  const uint64_t data_length = be64(bytes + ml::kRcmDataLength);
  const uint64_t start = ml::kIdentifierSize + data_offset;
  if (data_offset > rcm.size() || start > rcm.size() || data_length > rcm.size() - start) {
    output_accdg_to_vl(LV_ERROR, VL_RCM,
                       "The bucket list of the last reference commit marker runs past its end.\n");
    bucket_list_for_obj_r = start < rcm.size() ? rcm.substr(static_cast<size_t>(start)) : "";
  } else {
    bucket_list_for_obj_r =
        rcm.substr(static_cast<size_t>(start), static_cast<size_t>(data_length));
  }
  // The list is text: it ends at its first zero byte.
  bucket_list_for_obj_r.resize(std::strlen(bucket_list_for_obj_r.c_str()));
  walk_state.buckets.take(bucket_list_for_obj_r);
}

// The bucket of a packed object: its bucket ID (16 bytes) looked up in the bucket list. A bucket
// that the list does not name keeps its objects apart under the ID text; `report` says whether
// that is reported.
void take_bucket_of_packed_object(const uint8_t* bucket_id, bool report) {
  uuid_unparse(bucket_id, bucket_id_for_obj_r);
  const walk::BucketNames& buckets = walk_state.buckets;
  std::string name = buckets.name_of(bucket_id_for_obj_r).value_or("");
  if (name.empty()) {
    if (report && !buckets.refused(bucket_id_for_obj_r)) {
      output_accdg_to_vl(LV_ERROR, VL_POINFO,
                         "The bucket (%s) of the packed object is not in the bucket list.\n",
                         bucket_id_for_obj_r);
    }
    name = bucket_id_for_obj_r;
  }
  if (name.size() > kMaxBucketName) name.resize(kMaxBucketName);
  bucket_name_for_obj_r = name;
  add_bucket_info_4_obj_reader(&bucket_infos, bucket_name_for_obj_r.c_str(), 0, 1, 1);
}

// The places of the packed objects on the data partition, for naming what a damaged block cost
// (known once the last reference commit marker of the data partition has been found).
const std::vector<walk::PackedObjectPlace>& packed_object_places();

// Block `block` could not be read: it is reported once, naming the objects with bytes in it.
void report_damage(uint64_t block, int tries) {
  walk_state.damage.add(block);
  const std::vector<walk::LostObject> lost = walk::objects_in_block(
      walk_state.index, packed_object_places(), walk_state.buckets, block_size, block);
  std::string names;
  for (const walk::LostObject& object : lost) names += "\n" + std::string(INDENT) + object.text;
  output_accdg_to_vl(
      LV_ERROR, VL_COMMON,
      "Block %" PRIu64 " of the data partition cannot be read (%d tries).%s%s\n", block, tries,
      lost.empty() ? "" : " The objects with bytes in it are not written:", names.c_str());
}

// Reads the block at the tape position of the data partition into the cursor's buffer, with the
// tries of --read-retries. A block that stays unreadable is reported once as damage (a block
// already known as such is not read again), and the tape stands just past it.
Got walk_read(uint32_t* count) {
  const uint64_t at = cursor().position();
  if (walk_state.damage.contains(at)) {
    if (!walk_state.damage.beyond_end(at + 1)) cursor().locate(at + 1);
    return Got::damage;
  }
  int tries = 0;
  const Got got = read_with_retries(1, count, &tries);
  if (got == Got::damage) report_damage(at, tries);
  return got;
}

// Reads the block after the current one for an object or its metadata into the cursor's buffer.
// A read that stops neither at a block nor at a confirmed filemark ends the run; damage is
// returned for the caller to give up the object.
Got read_following_block(uint32_t* count) {
  const Got got = walk_read(count);
  if (got != Got::filemark) return got;
  if (check_fm_next_to_marker(1, 1) != 0) {
    output_fatal(VL_DEFAULT, "Failed to read data from tape.\n");
  }
  return Got::filemark;
}

__attribute__((format(printf, 3, 4))) int note_object_error(const char* level, const char* verbose,
                                                            const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[8192];
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  walk_state.object_errors |= output_accdg_to_vl(level, verbose, "%s", text);
  return 0;
}

// The metadata of one object as read from the tape, and the byte just past it in the block read
// last.
struct Metadata {
  std::string bytes;
  uint64_t end_in_block = 0;
};

// Reads the `length` bytes of metadata that start at byte `o` of the block read last, completing
// them from the following blocks. False when a filemark cuts them short (reported).
bool read_metadata(uint64_t o, uint64_t length, Metadata* meta) {
  meta->bytes.clear();
  meta->bytes.reserve(static_cast<size_t>(length));
  const std::span<const uint8_t> first = cursor().block();
  const uint64_t here = o < block_size ? std::min<uint64_t>(length, block_size - o) : 0;
  meta->bytes.append(reinterpret_cast<const char*>(first.data() + o), static_cast<size_t>(here));
  meta->end_in_block = o + here;
  while (meta->bytes.size() < length) {
    uint32_t count = 0;
    const Got got = read_following_block(&count);
    if (got == Got::damage) {
      walk_state.object_damaged = true;  // reported with the block
      return false;
    }
    if (got == Got::filemark) {
      note_object_error(LV_ERROR, VL_COMMON,
                        "The metadata of the object is cut short by a filemark.\n");
      return false;
    }
    const uint64_t more = std::min<uint64_t>(length - meta->bytes.size(), block_size);
    meta->bytes.append(reinterpret_cast<const char*>(cursor().block().data()),
                       static_cast<size_t>(more));
    meta->end_in_block = more;
  }
  return true;
}

// Compares the metadata read from the tape with its copy in the partial reference file.
int compare_metadata_with_copy(const char* filepath, uint64_t pr_file_offset,
                               const std::string& meta_data) {
  if (read_marker_file_flag != 1 || meta_data.empty()) return 0;
  std::string copy(meta_data.size(), '\0');
  read_marker_file(copy.size(), pr_file_offset, filepath, copy.data());
  if (copy == meta_data) return 0;
  return output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                            "The data partition is inconsistent with marker file(%d:%s).\n",
                            static_cast<int>(META), filepath);
}

// The members of an object's metadata that the walk uses.
struct ObjectFields {
  uint64_t size = 0;
  std::string key;
  std::string id;
  std::string last_modified;
  std::string version_id;
  std::string content_md5;
};

void add_list_members(const ObjectFields& f) {
  make_key_str_value_pairs(object_meta_for_json, "object_key", f.key.c_str());
  make_key_ulong_int_value_pairs(object_meta_for_json, "size", f.size);
  make_key_str_value_pairs(object_meta_for_json, "last_modified", f.last_modified.c_str());
  make_key_str_value_pairs(object_meta_for_json, "version_id", f.version_id.c_str());
  make_key_str_value_pairs(object_meta_for_json, "content_md5", f.content_md5.c_str());
  make_key_str_value_pairs(object_meta_for_json, "object_id", f.id.c_str());
}

// Whether the object's data, which begins just past its metadata, ends within the packed object's
// data area.
bool data_fits(uint64_t data_start, uint64_t size) {
  if (!walk_state.meta_offset_known || mode_is(walk::Mode::output_objects_in_object_list)) {
    return true;
  }
  return data_start <= last_data_offset && size <= last_data_offset - data_start;
}

// Why a key cannot name the directory of its object's files, or null when it can. Keys come from
// the tape: each one must stay below its numbered directory, and name a directory of its own.
const char* key_refusal(const std::string& key) {
  if (key.find('\0') != std::string::npos) return "holds a zero byte";
  if (!walk::safe_path_part(key, true)) return "would be written outside the save path";
  if (key.find_first_not_of("./") == std::string::npos) return "names no directory of its own";
  return nullptr;
}

// The numbered directory of the current bucket, entered (and made) once for all its objects.
const SafeDir& numbered_directory(bool create) {
  char numbers[32];
  std::snprintf(numbers, sizeof(numbers), "/%04d/%04d", savepath_dir_number,
                savepath_sub_dir_number);
  const std::string name = bucket_name_for_obj_r + numbers;
  if (name != walk_state.numbered_name || (create && !walk_state.numbered.valid())) {
    walk_state.numbered = walk_state.save_root.enter(name, create);
    walk_state.numbered_name = name;
  }
  return walk_state.numbered;
}

// The directory of the object's files, made when `create`. Nothing (and the object refused, with
// an ERROR) when the key's path runs into a file of another object; a link or a directory of
// another user there ends the run.
std::optional<SafeDir> key_directory(const ObjectFields& f, bool create, bool* empty) {
  *empty = false;
  const SafeDir& numbered = numbered_directory(create);
  if (!numbered.valid()) {
    *empty = true;
    return SafeDir();
  }
  SafeDir::Refusal why = SafeDir::Refusal::none;
  std::string failed_at;
  SafeDir dir = numbered.try_enter(f.key, create, &why, &failed_at);
  if (why == SafeDir::Refusal::none) {
    *empty = dir.made();  // a directory made just now holds no file yet
    return dir;
  }
  if (why == SafeDir::Refusal::missing) {
    *empty = true;
    return dir;
  }
  if (why == SafeDir::Refusal::link || why == SafeDir::Refusal::foreign) {
    refuse_directory(why, failed_at);
  }
  note_object_error(LV_ERROR, VL_COMMON,
                    "The object key (%s) of bucket (%s) runs into the file (%s) of another "
                    "object. The object is not written.\n",
                    printable(f.key).c_str(), printable(bucket_name_for_obj_r).c_str(),
                    printable(failed_at).c_str());
  return std::nullopt;
}

// A resume passes again over the objects from its recorded place to where the dump was interrupted.
// There an object's two files may stand already, each whole (a file takes its final name only when
// it is whole): the object is done. Files that a killed run left under temporary names are removed.
bool written_before(const SafeDir& dir, const std::string& meta_name,
                    const std::string& data_name) {
  remove_stale_temporaries(dir, meta_name);
  remove_stale_temporaries(dir, data_name);
  struct stat status {};
  const bool meta = fstatat(dir.fd(), meta_name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
  const bool data = fstatat(dir.fd(), data_name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
  if (meta && data) return true;
  // One file without the other is the half of an object: it is written again, whole.
  if (meta) unlinkat(dir.fd(), meta_name.c_str(), 0);
  if (data) unlinkat(dir.fd(), data_name.c_str(), 0);
  return false;
}

// What the run's record says of the object being processed, but what became of it.
run_record::Object object_record(const ObjectFields& f) {
  run_record::Object object;
  object.bucket = bucket_name_for_obj_r;
  object.key = f.key;
  object.version = f.version_id;
  object.object_id = f.id;
  object.size = f.size;
  object.block = walk_state.object_block;
  object.offset = walk_state.object_offset;
  return object;
}

// Decides whether the object may be written and opens its files when it is to be. Returns what
// became of an object that is not to be written (an unsafe key or bucket is refused, a file that
// exists is kept: reported), or nothing.
std::optional<run_record::Outcome> open_object_files(const ObjectFields& f,
                                                     const std::string& meta_text, bool writing,
                                                     std::unique_ptr<walk::ObjectTarget>* target) {
  using run_record::Outcome;
  const char* refusal = key_refusal(f.key);
  if (refusal == nullptr &&
      (!walk::safe_path_part(bucket_name_for_obj_r, false) || bucket_name_for_obj_r.empty() ||
       f.key.size() + std::strlen(obj_reader_saveroot) + bucket_name_for_obj_r.size() +
               f.id.size() + kPathOverhead >
           kMaxPath)) {
    refusal = "would be written outside the save path";
  }
  if (refusal != nullptr) {
    note_object_error(LV_ERROR, VL_COMMON,
                      "The object key (%s) of bucket (%s) %s. The object is not written.\n",
                      printable(f.key).c_str(), printable(bucket_name_for_obj_r).c_str(), refusal);
    return Outcome::refused;
  }
  bool empty = false;  // the key's directory holds no file: missing, or made just now
  const std::optional<SafeDir> dir = key_directory(f, writing, &empty);
  if (!dir) return Outcome::refused;
  const std::string meta_name = f.id + ".meta";
  const std::string data_name = f.id + ".data";
  if (!empty && mode_is(walk::Mode::resume_dump) && written_before(*dir, meta_name, data_name)) {
    return Outcome::exists;
  }
  for (const std::string& name : {meta_name, data_name}) {
    struct stat status {};
    if (!empty && fstatat(dir->fd(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      const std::string path =
          walk::object_path(obj_reader_saveroot, bucket_name_for_obj_r, savepath_dir_number,
                            savepath_sub_dir_number, f.key, f.id, name.c_str() + f.id.size());
      note_object_error(LV_WARNING, VL_COMMON,
                        "The object file (%s) already exists. The object is not written.\n",
                        printable(path).c_str());
      return Outcome::exists;
    }
  }
  if (writing) {
    auto files = std::make_unique<walk::FileTarget>(object_record(f), meta_text);
    files->open(*dir, meta_name, data_name);
    *target = std::move(files);
  }
  return std::nullopt;
}

// Decides whether the object is to be put and opens what its data goes to: its files, or its
// upload when the run restores into a store.
std::optional<run_record::Outcome> open_target(const ObjectFields& f, const std::string& meta_text,
                                               bool writing,
                                               std::unique_ptr<walk::ObjectTarget>* target) {
  if (walk::ObjectSink* sink = walk::object_sink()) {
    return sink->begin(object_record(f), meta_text, target);
  }
  return open_object_files(f, meta_text, writing, target);
}

// Copies the object's `size` bytes of data: first the rest of the block that holds the end of the
// metadata, then whole blocks. False when a filemark cuts the data short (reported).
bool copy_object_data(uint64_t end_in_block, uint64_t size, const std::string& key,
                      walk::ObjectTarget* target) {
  auto write = [&](uint64_t from, uint64_t count) {
    if (target != nullptr) {
      target->write(
          cursor().block().subspan(static_cast<size_t>(from), static_cast<size_t>(count)));
    }
  };
  const uint64_t remained = end_in_block <= block_size ? block_size - end_in_block : 0;
  uint64_t take = std::min(size, remained);
  write(end_in_block, take);
  size -= take;
  while (size > 0) {
    uint32_t count = 0;
    const Got got = read_following_block(&count);
    if (got == Got::damage) {
      walk_state.object_damaged = true;  // reported with the block
      return false;
    }
    if (got == Got::filemark) {
      note_object_error(LV_ERROR, VL_COMMON,
                        "The object (%s) is cut short by a filemark. The object is not "
                        "written.\n",
                        printable(key).c_str());
      return false;
    }
    take = std::min<uint64_t>(size, block_size);
    write(0, take);
    size -= take;
  }
  return true;
}

// After the last object of a packed object whose data ends where the data area ends, the rest of
// the block must be zero. Returns whether the tape stands at the end of the packed object.
bool check_padding(uint64_t o, uint64_t data_end) {
  // The block read last holds the end of the packed object only when the data read ends where
  // its data area ends. An object shorter than its place there leaves the tape short of the
  // end: the padding cannot be checked in this block, and the next marker is located.
  if (walk_state.meta_offset_known && data_end != last_data_offset) return false;
  if (skip_0_padding_check_flag == 0) {
    // A format deviation like any other: it is reported once and the walk goes on, so that
    // one stray byte does not end the recovery of the rest of the tape.
    const uint64_t e = (o + last_data_offset - last_meta_data_offset) % block_size;
    if (e != 0 &&
        !is_null_filled(cursor().block().data() + e, static_cast<size_t>(block_size - e))) {
      note_object_error(LV_ERROR, VL_DEFAULT,
                        "The end of the packed objects must be zero-padded.\n");
    }
  }
  return true;
}

// Reads and parses the metadata that starts at byte `o` of the block read last. Returns false when
// the object cannot be processed further (reported).
bool take_metadata(const char* filepath, uint64_t pr_file_offset, uint64_t o, uint64_t length,
                   Metadata* meta, ObjectFields* fields, int* ret) {
  if (length > kMetadataBufferSize) {
    note_object_error(LV_ERROR, VL_COMMON,
                      "The metadata of the object is %" PRIu64
                      " bytes long, more than %zu bytes. The object is skipped.\n",
                      length, kMetadataBufferSize);
    return false;
  }
  if (!read_metadata(o, length, meta)) return false;
  *ret |= compare_metadata_with_copy(filepath, pr_file_offset, meta->bytes);
  // The metadata text runs up to its first zero byte.
  meta->bytes.resize(std::strlen(meta->bytes.c_str()));
  if (get_element_from_metadata(meta->bytes.c_str(), &fields->size, &fields->key, &fields->id,
                                &fields->last_modified, &fields->version_id,
                                &fields->content_md5) != 0) {
    note_object_error(LV_ERROR, VL_COMMON,
                      "The metadata of an object on the data partition could not be parsed. The "
                      "object is skipped.\n");
    return false;
  }
  return true;
}

// A retrieval reads the metadata at the place its list entry gives: it must be the metadata of the
// object the entry names, or the list file does not describe this tape.
bool is_the_object_asked_for(const ObjectFields& f) {
  const object_list* entry = walk_state.expected;
  if (entry == nullptr || (f.key == entry->key && f.id == entry->id)) return true;
  note_object_error(LV_ERROR, VL_COMMON,
                    "The object at the place that the list file gives is not the one it names: "
                    "found key (%s) and object id (%s), expected key (%s) and object id (%s). "
                    "Nothing is written.\n",
                    printable(f.key).c_str(), printable(f.id).c_str(),
                    printable(entry->key).c_str(), printable(entry->id).c_str());
  return false;
}

// The progress of the walk, one object further.
void show_progress(const ObjectFields& f) {
  walk_state.objects_met += 1;
  walk_state.bytes_met += f.size;
  status_line::update({walk_state.objects_met, walk_state.objects_total, walk_state.bytes_met,
                       walk_state.bytes_total, printable(bucket_name_for_obj_r + "/" + f.key)});
}

// What the walk knows of the object being processed, for the run's record.
void record_object(const ObjectFields& f, run_record::Outcome outcome,
                   std::vector<std::string> paths, const std::string* bucket = nullptr) {
  run_record::Object object = object_record(f);
  if (bucket != nullptr) object.bucket = *bucket;
  object.outcome = outcome;
  object.paths = std::move(paths);
  run_record::note_object(object);
  show_progress(f);
}

// The object's data has been read whole: checked and published by its target. An ERROR about
// the object is the object's own: the walk goes on.
void publish_object(walk::ObjectTarget& target, run_record::Outcome* outcome,
                    std::vector<std::string>* paths) {
  walk::Published published = target.finish();
  *outcome = published.outcome;
  *paths = std::move(published.paths);
  walk_state.record_later = published.recorded_later;
  walk_state.object_errors |= published.errors;
}

// Processes the object whose metadata starts at byte `o` of the block read last and is `length`
// bytes long: its list entry, or its two files. `*read_to_end` tells whether the tape stands at
// the end of the object's data (and, after the last object, at the end of its packed object).
// What became of the object goes to `*outcome`, the files written to `*paths`.
int handle_object(const char* filepath, uint64_t pr_file_offset, uint64_t o, uint64_t length,
                  bool* read_to_end, ObjectFields* f, run_record::Outcome* outcome,
                  std::vector<std::string>* paths) {
  using run_record::Outcome;
  int ret = 0;
  *read_to_end = false;
  *outcome = Outcome::unreadable;
  Metadata meta;
  if (!take_metadata(filepath, pr_file_offset, o, length, &meta, f, &ret)) return ret;
  *outcome = Outcome::refused;
  if (!is_the_object_asked_for(*f)) return ret;
  if (mode_is(walk::Mode::output_list)) {
    if (f->key.find('\0') != std::string::npos) {
      note_object_error(LV_ERROR, VL_COMMON,
                        "The object key (%s) of bucket (%s) holds a zero byte. The object is not "
                        "listed.\n",
                        printable(f->key).c_str(), printable(bucket_name_for_obj_r).c_str());
      return ret;
    }
    add_list_members(*f);
  }
  if (f->size >= kLargeObject && check_disk_space(obj_reader_saveroot, f->size) != 0) {
    output_fatal(VL_COMMON, "Failed to check the disk space.\n");
  }
  if (!mode_is(walk::Mode::output_objects_in_object_list)) {
    walk_state.object_errors |=
        get_bucket_info_4_obj_reader(&bucket_infos, bucket_name_for_obj_r.c_str(),
                                     &savepath_dir_number, &savepath_sub_dir_number);
  }
  const uint64_t data_start = walk_state.current_meta_offset + length;
  *outcome = Outcome::unreadable;
  if (!data_fits(data_start, f->size)) {
    // Nor is it listed: a retrieval through the list would copy whatever follows the packed
    // object as the object's data.
    object_meta_for_json.clear();
    note_object_error(LV_ERROR, VL_COMMON,
                      "The size %" PRIu64
                      " of the object (%s) does not fit in its packed object. The object is not "
                      "written.\n",
                      f->size, printable(f->key).c_str());
    return ret;
  }
  const bool dumping = walk::writes_objects(walk_state.mode);
  const bool writing = dumping && savepath_dir_number <= MAX_DIR_NUMBER;
  std::unique_ptr<walk::ObjectTarget> target;
  if (dumping) {
    if (const std::optional<Outcome> kept = open_target(*f, meta.bytes, writing, &target)) {
      *outcome = *kept;
      return ret;
    }
  }
  if (!copy_object_data(meta.end_in_block, f->size, f->key, target.get())) return ret;
  *outcome = dumping ? Outcome::refused : Outcome::listed;
  if (target != nullptr) publish_object(*target, outcome, paths);
  *read_to_end = num_of_meta_cnt != num_of_meta || check_padding(o, data_start + f->size);
  return ret;
}

int process_object(const char* filepath, uint64_t pr_file_offset, uint64_t o, uint64_t length,
                   bool* read_to_end) {
  ObjectFields fields;
  run_record::Outcome outcome = run_record::Outcome::unreadable;
  std::vector<std::string> paths;
  walk_state.object_damaged = false;
  walk_state.record_later = false;
  const int ret =
      handle_object(filepath, pr_file_offset, o, length, read_to_end, &fields, &outcome, &paths);
  if (walk_state.object_damaged) {
    outcome = run_record::Outcome::lost;
    object_meta_for_json.clear();  // nor is it listed
  }
  if (walk_state.record_later) {
    show_progress(fields);
  } else {
    record_object(fields, outcome, std::move(paths));
  }
  return ret;
}

}  // namespace

namespace {

// A marker of the data partition being compared, block by block, with its cached copy.
struct MarkerComparison {
  MARKER_TYPE type = META;
  const char* filepath = "";
  uint64_t read_size = 0;       // bytes of the marker to compare (header and directory)
  uint64_t offset = 0;          // where the marker starts in its first block
  uint64_t pr_file_offset = 0;  // where its copy starts in the cache file
  uint64_t file_size = 0;
  uint64_t readed_size = 0;
  bool identifier_pending = true;
  bool top = true;        // the first block is being compared
  bool last_rcm = false;  // the last reference commit marker: its bucket list is taken
  std::string rcm_bytes;  // the last commit marker as read, for its bucket list
  std::vector<uint8_t> file_bytes;
};

// The size of the cache file; a missing one ends the run when the cache is being compared.
uint64_t cache_file_size(const char* filepath) {
  if (read_marker_file_flag == 1) {
    if (const walk::CacheFile* open = walk::cache_file_open(filepath)) return open->size();
    struct stat status {};
    if (stat(filepath, &status) != 0) {
      output_fatal(VL_DEFAULT, "Failed to get the file(%s) size.\n", filepath);
    }
    return walk::open_cache_file(filepath).size();
  }
  struct stat status {};
  return stat(filepath, &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
}

// A read met the end of the marker: it must be a filemark. The tape is put back in front of it,
// and the size read is compared with the copy's.
int end_of_marker(const MarkerComparison& c) {
  if (check_fm_next_to_marker(1, 1) != 0) {
    output_fatal(VL_DEFAULT, "Failed to read data from tape.\n");
  }
  if (c.type == META || c.type == PO) {
    // The walk goes on from the filemark itself.
    ST_SPTI_CMD_POSITIONDATA pos{};
    cursor().read_position(&pos);
    cursor().locate(pos.blockNumber == 0 ? 0 : pos.blockNumber - 1);
  } else {
    // The filemark check that follows a label or commit marker takes the filemark just read.
    filemark_read_at = cursor().position();
  }
  if (c.file_size == c.readed_size) return 0;
  return output_accdg_to_vl(
      LV_ERROR, VL_DEFAULT,
      "The size is different between the marker on the data partition and the marker "
      "file(%s).\n%sThe size of the marker on the data partition:%d\n%sThe size of the "
      "marker file                 :%d\n",
      c.filepath, INDENT, static_cast<int>(c.readed_size), INDENT, static_cast<int>(c.file_size));
}

int report_inconsistency(const MarkerComparison& c) {
  return output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                            "The data partition is inconsistent with marker file(%d:%s).\n",
                            static_cast<int>(c.type), c.filepath);
}

// The bytes of the cache file that stand against the block just read.
void read_copy_block(MarkerComparison& c) {
  if (read_marker_file_flag != 1) return;
  c.file_bytes.assign(block_size, 0);
  const uint64_t at = c.pr_file_offset + c.readed_size;
  const uint64_t left = c.file_size > at ? c.file_size - at : 0;
  read_marker_file(std::min<uint64_t>(block_size, left), at, c.filepath,
                   reinterpret_cast<char*>(c.file_bytes.data()));
}

// A label, reference commit marker or partial reference: every byte read is compared.
int compare_whole_marker_block(MarkerComparison& c, std::span<const uint8_t> block,
                               uint32_t count) {
  int ret = 0;
  if (read_marker_file_flag == 1 && std::memcmp(block.data(), c.file_bytes.data(), count) != 0) {
    ret |= report_inconsistency(c);
  }
  if (c.last_rcm && c.rcm_bytes.size() < kMaxRcmKept) {
    c.rcm_bytes.append(reinterpret_cast<const char*>(block.data()),
                       std::min<size_t>(count, kMaxRcmKept - c.rcm_bytes.size()));
  }
  c.top = false;
  return ret;
}

// An object commit marker or a packed object: its identifier is checked, then the bytes of its
// header and directory are compared with the info in the partial reference file. Sets `*done`
// when the marker's bytes have all been compared.
int compare_info_block(MarkerComparison& c, std::span<const uint8_t> block, uint32_t count,
                       bool* done) {
  int ret = 0;
  if (c.identifier_pending) {
    const char* identifier = c.type == OCM ? LEVEL2_IDENTIFIER : LEVEL1_IDENTIFIER;
    if (count < ml::kIdentifierSize ||
        std::memcmp(block.data(), identifier, ml::kIdentifierSize) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_OCM,
                                c.type == OCM ? "The object commit marker identifier on the "
                                                "data partition is not correct.\n"
                                              : "The packed object identifier on the data "
                                                "partition is not correct.\n");
    }
    if (c.type == PO && count >= ml::kIdentifierSize + ml::kPoInfoBucketId + ml::kUuidSize) {
      take_bucket_of_packed_object(block.data() + ml::kIdentifierSize + ml::kPoInfoBucketId, true);
    }
    const uint64_t id_size = std::min<uint64_t>(ml::kIdentifierSize, count);
    c.readed_size -= id_size;
    count -= static_cast<uint32_t>(id_size);
    c.identifier_pending = false;
  }
  const uint64_t start = c.top ? c.offset : 0;
  const uint64_t needed = c.read_size + count - c.readed_size;
  const uint64_t n = std::min<uint64_t>(needed, start < block_size ? block_size - start : 0);
  if (read_marker_file_flag == 1 &&
      std::memcmp(block.data() + start, c.file_bytes.data(), static_cast<size_t>(n)) != 0) {
    ret |= report_inconsistency(c);
  }
  c.top = false;
  if (c.readed_size >= c.read_size) {
    if (c.type == OCM && c.readed_size != c.read_size) ret |= report_inconsistency(c);
    *done = true;
  }
  return ret;
}

// The object being visited cannot be read: its block was found damaged (and reported, naming it).
void record_lost_object() {
  ObjectFields f;
  if (walk_state.current_meta >= walk_state.index.object_count()) {
    record_object(f, run_record::Outcome::lost, {});
    return;
  }
  // Named from the cache: the packed object whose header was read last may be another bucket's.
  const walk::ObjectName name =
      walk::name_object(walk_state.index, walk_state.buckets, walk_state.current_meta);
  f.key = name.key;
  f.id = name.object_id;
  f.version_id = name.version;
  record_object(f, run_record::Outcome::lost, {}, &name.bucket);
}

// A marker of the data partition that meets damage cannot be compared with its copy: said once,
// and the checks of its filemarks, which the damage makes impossible, are passed over.
void report_marker_damage(MARKER_TYPE m_type, const char* filepath) {
  walk_state.marker_damaged = true;
  walk_state.po_tail_unread = true;  // the tape does not stand where the marker ends
  static constexpr const char* kNames[] = {"VOL1 label",
                                           "format label",
                                           "reference commit marker",
                                           "partial reference",
                                           "object commit marker",
                                           "packed object",
                                           "object"};
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "The %s on the data partition cannot be compared with its copy (%s): a block "
                     "of it cannot be read.\n",
                     kNames[m_type], filepath);
}

// The last reference commit marker as the reference partition holds it (its cached copy).
std::string cached_last_rcm() {
  const walk::CacheFile& rcm = walk::open_cache_file(rcm_cache_file(1));
  std::string bytes(static_cast<size_t>(std::min<uint64_t>(rcm.size(), kMaxRcmKept)), '\0');
  rcm.read(0, bytes.data(), bytes.size());
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "The bucket list is taken from the last reference commit marker of the "
                     "reference partition.\n");
  return bytes;
}

// Reads the object whose metadata starts at byte `offset` of the block at the tape position (or of
// the block read last, when `block_in_memory`), then processes it. The tape's standing at the end
// of the object is recorded for the next marker.
int check_object(const char* filepath, uint64_t read_size, uint64_t offset, uint64_t pr_file_offset,
                 bool block_in_memory) {
  MarkerComparison c;
  c.type = META;
  c.filepath = filepath;
  c.file_size = cache_file_size(filepath);
  uint32_t count = 0;
  // The metadata that starts in the block read last is taken from memory, not read again.
  if (!block_in_memory) {
    const Got got = walk_read(&count);
    if (got == Got::filemark) return end_of_marker(c);
    if (got == Got::damage) {
      record_lost_object();
      walk_state.po_tail_unread = true;
      return 0;
    }
  }
  bool read_to_end = false;
  const int ret = process_object(filepath, pr_file_offset, offset, read_size, &read_to_end);
  walk_state.po_tail_unread = !read_to_end;
  return ret;
}

// Compares the marker at the tape position with its cached copy, or processes the object whose
// metadata starts there (in the block read last, when `block_in_memory`).
int compare_with_copy(MARKER_TYPE m_type, const char* filepath, uint64_t read_size, uint64_t offset,
                      uint64_t pr_file_offset, bool block_in_memory) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:check_diff_btwn_file_and_tape(%s)\n", filepath);
  int ret = 0;
  if (m_type == META) {
    ret |= check_object(filepath, read_size, offset, pr_file_offset, block_in_memory);
    output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_diff_btwn_file_and_tape(%s)\n", filepath);
    return ret;
  }
  MarkerComparison c;
  c.type = m_type;
  c.filepath = filepath;
  c.read_size = read_size;
  c.offset = offset;
  c.pr_file_offset = pr_file_offset;
  c.file_size = cache_file_size(filepath);
  c.last_rcm = m_type == RCM && std::string_view(filepath) == rcm_cache_file(1);
  const bool whole_marker =
      m_type == VOL1_LABEL || m_type == QRT_LABEL || m_type == RCM || m_type == PR;
  for (bool done = false; !done;) {
    uint32_t count = 0;
    const Got got = walk_read(&count);
    if (got == Got::damage) {
      report_marker_damage(m_type, filepath);
      break;
    }
    if (got == Got::filemark) {
      ret |= end_of_marker(c);
      break;
    }
    read_copy_block(c);
    c.readed_size += count;
    if (whole_marker) {
      ret |= compare_whole_marker_block(c, cursor().block(), count);
    } else {
      ret |= compare_info_block(c, cursor().block(), count, &done);
    }
  }
  if (c.last_rcm) take_bucket_list(walk_state.marker_damaged ? cached_last_rcm() : c.rcm_bytes);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_diff_btwn_file_and_tape(%s)\n", filepath);
  return ret;
}

}  // namespace

int check_diff_btwn_file_and_tape(MARKER_TYPE m_type, const char* filepath, uint64_t read_size,
                                  uint64_t offset, uint64_t pr_file_offset) {
  return compare_with_copy(m_type, filepath, read_size, offset, pr_file_offset, false);
}

namespace {

// Writes the list entry of the object just processed (list making).
int write_list_entry(uint64_t block_number, uint64_t offset, uint64_t marker_len) {
  int ret = 0;
  if (!walk::safe_path_part(bucket_name_for_obj_r, false) || bucket_name_for_obj_r.empty()) {
    object_meta_for_json.clear();
    return output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                              "The bucket name (%s) cannot name a list file. The object is not "
                              "listed.\n",
                              printable(bucket_name_for_obj_r).c_str());
  }
  ret |= make_key_ulong_int_value_pairs(object_meta_for_json, "block_address", po_block_address);
  ret |= make_key_ulong_int_value_pairs(object_meta_for_json, "offset",
                                        (block_number - po_block_address) * block_size + offset);
  ret |= make_key_ulong_int_value_pairs(object_meta_for_json, "meta_size", marker_len);
  // The list files are written under temporary names and renamed when the walk ends.
  if (savepath_dir_number <= MAX_DIR_NUMBER) {
    const std::string list_path = walk::list_file_path(obj_reader_saveroot, barcode_id,
                                                       bucket_name_for_obj_r, savepath_dir_number);
    walk_state.lists.append(list_path.substr(list_path.rfind('/') + 1), object_meta_for_json);
  }
  pre_bucket_name_for_obj_r = bucket_name_for_obj_r;
  pre_savepath_dir_number = savepath_dir_number;
  walk_state.has_pre_list_entry = true;
  object_meta_for_json.clear();
  return ret;
}

// Brings the tape to where metadata starting in block `block_number` is read: it stays where it
// is when the metadata starts in the block just read (`*in_memory`) or in the next one. Returns
// the block the metadata is read from and reports a metadata found behind the tape.
uint64_t stand_at_metadata(uint64_t block_number, bool* in_memory, int* ret) {
  const uint64_t p = cursor().position();
  *in_memory = cursor().holds_block(block_number);
  if (!*in_memory && p != block_number) cursor().locate(block_number);
  if (sequential_read_flag == 1 && block_number + 1 < p) {
    *ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                               "The position of the meta on the data partition is not correct.\n");
  }
  return block_number;
}

// Brings the tape to the start of a packed object or object commit marker at `block_number`, when
// the data of the last object was not read to its end, and checks the filemark before a commit
// marker. Returns the block where the tape stands.
uint64_t stand_at_marker(MARKER_TYPE m_type, uint64_t block_number, int* ret) {
  if (m_type == PO && walk_state.po_tail_unread) {
    // The tape does not stand at the end of the packed object before this one.
    if (cursor().position() != block_number) cursor().locate(block_number);
    walk_state.po_tail_unread = false;
  }
  if (m_type == OCM) {
    if (walk_state.po_tail_unread && block_number > 0) {
      // Stand at the end of the packed object again, where the filemark must be.
      if (cursor().position() != block_number - 1) cursor().locate(block_number - 1);
      walk_state.po_tail_unread = false;
    }
    if (check_fm_next_to_marker(1, 0) != 0) {
      *ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                                 "There is no file mark just before the object commit marker.\n");
    }
    num_of_meta_cnt = 0;
  }
  return cursor().position();
}

// A packed object begins: the bounds of its data area, and its bucket as the cached copy of its
// header names it, in case the header on tape cannot be read: its objects are then still written
// under their own bucket, never under the bucket of the packed object before.
void begin_packed_object(const std::string& file, uint64_t pr_file_offset, uint64_t marker_len) {
  get_last_data_offset(file.c_str(), pr_file_offset, marker_len);
  num_of_meta_cnt = 0;
  char bucket_id[ml::kUuidSize] = {};
  read_marker_file(sizeof(bucket_id), pr_file_offset + ml::kPoInfoBucketId, file.c_str(),
                   bucket_id);
  take_bucket_of_packed_object(reinterpret_cast<const uint8_t*>(bucket_id), false);
}

}  // namespace

int check_part_of_pr_integrity(MARKER_TYPE m_type, uint64_t block_number, uint64_t offset,
                               uint64_t pr_file_num, uint64_t pr_file_offset, uint64_t marker_len) {
  output_accdg_to_vl(LV_TRACE, VL_PR, "start:check_part_of_pr_integrity\n");
  output_accdg_to_vl(
      LV_TRACE, VL_MISC, "%s:%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 "\n",
      get_marker_name(m_type), block_number, offset, pr_file_num, pr_file_offset, marker_len);
  int ret = 0;
  walk_state.marker_damaged = false;
  // The walk follows the tape's position itself (every read, locate and space), so it asks the
  // drive only when it does not know: one round trip fewer for every marker.
  bool in_memory = false;
  const uint64_t actual = m_type == META ? stand_at_metadata(block_number, &in_memory, &ret)
                                         : stand_at_marker(m_type, block_number, &ret);
  if (actual != block_number) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                              "The actual position %" PRIu64
                              " of the %s on the data partition is "
                              "different from expected value %" PRIu64 ".\n",
                              actual, get_marker_name(m_type), block_number);
  }
  const std::string file = pr_cache_file(pr_file_num);
  if (m_type == PO) begin_packed_object(file, pr_file_offset, marker_len);
  if (m_type == META) {
    walk_state.object_block = block_number;
    walk_state.object_offset = offset;
    num_of_meta_cnt += 1;
    if (mode_is(walk::Mode::output_list)) object_meta_for_json.clear();
  }
  const int diff =
      compare_with_copy(m_type, file.c_str(), marker_len, offset, pr_file_offset, in_memory);
  if (diff != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_MISC,
                              "The data partition is inconsistent with marker file(%s).\n",
                              file.c_str());
  }
  if (mode_is(walk::Mode::output_list) && m_type == META && !object_meta_for_json.empty()) {
    ret |= write_list_entry(block_number, offset, marker_len);
  }
  if (m_type == OCM && !walk_state.marker_damaged && check_fm_next_to_marker(1, 0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "There is no file mark at the end of the object commit marker.\n");
  }
  output_accdg_to_vl(LV_TRACE, VL_PR, "end  :check_part_of_pr_integrity\n");
  return ret;
}

// =============================================================================================
// Integrity walk driver
// =============================================================================================

int get_tape_identifier(int fd, char* tape_id) {
  char gen[2] = {};
  SCSI_DEVICE_PARAM device{fd};
  const int ret = get_tape_generation(&device, gen);
  constexpr uint64_t kVolumeIdentifier = 4;  // and 6 characters long, in the VOL1 label
  char volume[7] = {};
  read_marker_file(6, kVolumeIdentifier, marker_cache_file(CACHE_VOL1_LABEL).c_str(), volume);
  std::memset(tape_id, 0, 9);
  std::memcpy(tape_id, volume, 6);
  tape_id[6] = gen[0];
  tape_id[7] = gen[1];
  // The identifier names a directory under the save path: a generation reported by the drive
  // that is not a letter or digit is not allowed to make it a path of its own.
  for (int i = 6; i < 8; ++i) {
    const char c = tape_id[i];
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (c != '\0' && !alnum) tape_id[i] = '_';
  }
  return ret;
}

namespace {

// Sets the module state for a walk in `mode`.
void begin_walk(walk::Mode mode, int fd, const char* save_path, object_list* object_chain,
                const char* bucket_name) {
  reset_walk_state(mode);
  walk_state.save_root = SafeDir::root(save_path);
  char canonical[PATH_MAX];
  walk_state.save_path = realpath(save_path, canonical) != nullptr ? canonical : save_path;
  skip_0_padding_check_flag = 0;
  std::snprintf(obj_r_mode, sizeof(obj_r_mode), "%s", walk::mode_name(mode));
  scparam.fd_scsidevice = fd;
  std::snprintf(obj_reader_saveroot, sizeof(obj_reader_saveroot), "%s", save_path);
  if (mode == walk::Mode::output_objects_in_object_list) {
    objects = object_chain;
    bucket_name_for_obj_r = bucket_name == nullptr ? "" : bucket_name;
    skip_0_padding_check_flag = 1;
    savepath_dir_number = 0;
    savepath_sub_dir_number = 0;
  } else {
    if (mode == walk::Mode::resume_dump) skip_0_padding_check_flag = 1;
    free_bucket_info_4_obj_reader(&bucket_infos);
    initialize_bucket_info_4_obj_reader(&bucket_infos, obj_reader_saveroot);
  }
}

// A retrieval: the metadata and data of the listed objects, each located directly.
int retrieve_listed_objects() {
  int ret = 0;
  read_marker_file_flag = 0;
  sequential_read_flag = 0;
  walk_state.meta_offset_known = false;
  cursor().head(1);
  for (const object_list* record = objects; record != nullptr; record = record->next) {
    walk_state.expected = record;
    ret |=
        check_part_of_pr_integrity(META, record->block_address + record->meta_offset / block_size,
                                   record->meta_offset % block_size, 0, 0, record->metadata_size);
  }
  walk_state.expected = nullptr;
  walk::settle_objects();
  return ret;
}

// The second pass over the reference partition: the partial references are copied into the cache
// and checked, with the filemarks of the partition.
int recheck_reference_partition(const MamVci* mamvci, const MamHta* mamhta) {
  int ret = 0;
  uint64_t total_fm_rp = 0;
  // The first pass read the whole partition: this one is served from what it read.
  walk_drive->replay_reference_partition(true);
  if (check_reference_partition_lable(mamvci, mamhta, &total_fm_rp) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                              "Data stored in Reference Partition is not complying with "
                              "Quorrant.\n");
  }
  output_accdg_to_vl(LV_DEBUG, VL_PR, "check_integrity: pr_num=%" PRIu64 "\n", pr_num);
  for (uint64_t k = 0; k < pr_num; ++k) {
    if (check_pr_integrity(0, mamvci, static_cast<int>(k), k + 1 == pr_num ? 1 : 0) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_PR, "Partial reference format is not correct.\n");
    }
  }
  walk_drive->replay_reference_partition(false);
  if (check_fm_num(total_fm_rp, pr_num, 0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_MISC, "Total number of filemarks is not correct.\n");
  }
  return ret;
}

// The objects and their bytes over the tape, for the progress: the bytes of a packed object's data
// are its length (the closing entry's data offset) less its info (header, directory, metadata).
void count_totals() {
  const walk::MarkerIndex& index = walk_state.index;
  walk_state.objects_total = index.object_count();
  walk_state.bytes_total = 0;
  walk_state.places.clear();
  for (const walk::PoEntry& po : index.pos()) {
    const walk::CacheFile& pr = walk::open_cache_file(pr_cache_file(index.ocms()[po.ocm].pr));
    const uint64_t closing = po.info_offset + ml::kPoInfoHeaderSize +
                             ml::kObjectEntrySize * po.object_count + ml::kObjectEntryDataOffset;
    const uint64_t length = pr.u64(closing);
    if (length > po.length) walk_state.bytes_total += length - po.length;
    walk_state.places.push_back({UINT64_MAX, ml::kIdentifierSize + length});  // block: later
  }
}

const std::vector<walk::PackedObjectPlace>& packed_object_places() {
  std::vector<walk::PackedObjectPlace>& places = walk_state.places;
  if (!places.empty() && places.front().block == UINT64_MAX && dp_rcm_block_number != 0) {
    for (uint64_t m = 0; m < places.size(); ++m) places[m].block = po_address(m).block_number;
  }
  return places;
}

// The totals of partial references, object commit markers, packed objects and objects.
void count_markers() {
  get_pr_num(&pr_num);
  ocm_num = 0;
  po_num = 0;
  meta_num = 0;
  get_ocm_po_meta_num(static_cast<int>(pr_num), &ocm_num, &po_num, &meta_num);
  output_accdg_to_vl(LV_DEBUG, VL_PR,
                     "check_integrity: pr_num=%" PRIu64 " ocm_num=%" PRIu64 " po_num=%" PRIu64
                     " meta_num=%" PRIu64 "\n",
                     pr_num, ocm_num, po_num, meta_num);
  count_totals();
}

// The labels and commit markers of the data partition against the cache, and its filemarks.
int check_data_partition_copies(const MamVci* mamvci, const MamHta* mamhta) {
  int ret = 0;
  uint64_t total_fm_dp = 0;
  if (check_last_rcm_integrity(1, mamvci, mamhta, &total_fm_dp) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "The last reference commit marker format is not correct.\n");
  }
  if (marker_file_flg != 0) return ret;
  if (check_vol1_label_integrity(1) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL, "Vol1 Label format is not correct.\n");
  }
  if (check_qrt_label_integrity(1, mamvci, mamhta, 0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL, "QRT Label format is not correct.\n");
  }
  if (check_first_rcm_integrity(1, mamvci, mamhta) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "The first reference commit marker format is not correct.\n");
  }
  if (check_fm_num(total_fm_dp, pr_num, ocm_num) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_MISC, "Total number of filemarks is not correct.\n");
  }
  return ret;
}

// The walk's counters: the next partial reference, object commit marker, packed object and object
// (1-based), and whether the first marker must be located.
struct WalkCounters {
  uint64_t pr = 1;
  uint64_t ocm = 1;
  uint64_t po = 1;
  uint64_t meta = 1;
  bool locate_first = false;
  bool left() const { return pr <= pr_num || ocm <= ocm_num || po <= po_num || meta <= meta_num; }
};

// Whether the counters a resume starts from are a place where a dump of this tape records its
// progress: packed object `po` about to be checked, with the object commit marker, partial
// reference and first object that it belongs to. Counters written by another tape, edited, or cut
// short would start the walk somewhere else and skip objects without a word.
bool history_fits_tape(const WalkCounters& n) {
  const walk::MarkerIndex& index = walk_state.index;
  if (n.po < 1 || n.po > index.pos().size()) return false;
  const walk::PoEntry& po = index.pos()[n.po - 1];
  const walk::OcmEntry& ocm = index.ocms()[po.ocm];
  return n.meta == po.first_meta + 1 && n.ocm == po.ocm + 1 && n.pr == ocm.pr + 1;
}

// Records where a dump stands as packed object `n.po` is about to be checked: its counters and the
// numbering of the buckets, from which a resume continues (at most once per interval of -i).
int write_checkpoint(const walk::Checkpoint& place) {
  walk_state.recorded = true;
  std::copy(std::begin(place.counters), std::end(place.counters), walk_state.recorded_counters);
  walk_state.recorded_numbering = place.numbering;
  const uint64_t* c = place.counters;
  const HistoryKeys more = walk::progress_keys(walk_state.save_path, false, place.numbering);
  return output_history(history_clock, barcode_id, c[0], c[1], c[2], c[3], &more);
}

// A dump into a store records a place only once the store has answered every object before it
// (the sink decides when).
int record_progress(const WalkCounters& n) {
  walk::Checkpoint place{{n.pr, n.ocm, n.po, n.meta}, walk::numbering_keys(bucket_infos)};
  walk::ObjectSink* sink = walk::object_sink();
  return sink != nullptr ? sink->reached(std::move(place), write_checkpoint)
                         : write_checkpoint(place);
}

// Writes the tape's history section at once: the recorded place (or the start), and whether the
// dump is complete.
int write_progress(bool complete) {
  const uint64_t* c = walk_state.recorded_counters;
  const bool at_start = !walk_state.recorded;
  HistoryKeys keys = {{"PR", std::to_string(at_start ? 1 : c[0])},
                      {"OCM", std::to_string(at_start ? 1 : c[1])},
                      {"PO", std::to_string(at_start ? 1 : c[2])},
                      {"Object number", std::to_string(at_start ? 1 : c[3])}};
  // The numbering where the walk stands (at the start, or at the end of a complete dump), else
  // the one recorded with the counters.
  const HistoryKeys numbering =
      at_start || complete ? walk::numbering_keys(bucket_infos) : walk_state.recorded_numbering;
  const HistoryKeys more = walk::progress_keys(walk_state.save_path, complete, numbering);
  keys.insert(keys.end(), more.begin(), more.end());
  return write_history_section(barcode_id, keys);
}

// A full dump into a save path that already holds objects of the tape's buckets writes them again
// under new directories: one warning says where the new ones begin.
void warn_of_repeated_dump() {
  std::map<std::string, std::string> from;  // by bucket, in name order
  for (const BucketInfo4ObjReader* b = bucket_infos; b != nullptr; b = b->next) {
    if (!walk_state.buckets.knows(b->bucket_name)) continue;
    char first[32];
    const bool next_dir = b->savepath_sub_dir_number >= MAX_DIR_NUMBER;
    std::snprintf(first, sizeof(first), "%04d/%04d", b->savepath_dir_number + (next_dir ? 1 : 0),
                  next_dir ? 1 : b->savepath_sub_dir_number + 1);
    from[b->bucket_name] = first;
  }
  std::string repeated;
  for (const auto& [bucket, first] : from) {
    repeated += "\n" + std::string(INDENT) + printable(bucket) + ": from " + first;
  }
  if (repeated.empty()) return;
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "The save path already holds objects of this tape's buckets. This dump writes "
                     "them again, in new directories:%s\n",
                     repeated.c_str());
}

// A resume continues from the counters of the history, with the numbering it recorded, so that the
// objects written before the interruption are found where they were written.
void resume_from_history(WalkCounters& n) {
  if (get_history(barcode_id, &n.pr, &n.ocm, &n.po, &n.meta) != 0) {
    output_fatal(VL_COMMON, "There is no history file.\n%sTry full dump.\n", INDENT);
  }
  if (!history_fits_tape(n)) {
    output_fatal(VL_COMMON,
                 "The history of the tape %s in history.log does not fit this tape (PR=%" PRIu64
                 ", OCM=%" PRIu64 ", PO=%" PRIu64 ", Object number=%" PRIu64
                 "). It is not resumed from.\n%sTry full dump.\n",
                 barcode_id, n.pr, n.ocm, n.po, n.meta, INDENT);
  }
  HistoryKeys keys;
  read_history_section(barcode_id, &keys);
  // A section that records the save path records the numbering too, none for a dump stopped
  // before it met a bucket: the directories found in the save path are then the ones that dump
  // made, not earlier ones to write after.
  if (!walk::restore_numbering(keys, &bucket_infos) &&
      walk::history_value(keys, walk::kSavePathKey)) {
    free_bucket_info_4_obj_reader(&bucket_infos);
  }
  if (n.pr != 1 || n.ocm != 1 || n.po != 1 || n.meta != 1) n.locate_first = true;
}

// A stop asked for by a signal, between two objects: a dump records the place it recorded last, so
// that a resume continues there, and the run ends with the status that reports the signal.
[[noreturn]] void stop_walk(int signal_number) {
  const bool dumping = mode_is(walk::Mode::full_dump) || mode_is(walk::Mode::resume_dump);
  walk::settle_objects();
  if (dumping && walk_state.recorded) write_progress(false);
  char cwd[PATH_MAX] = ".";
  if (getcwd(cwd, sizeof(cwd)) == nullptr) std::strcpy(cwd, ".");
  if (dumping) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "Interrupted by %s. The objects written so far are whole; to continue, run "
                       "again with -r from the working directory %s and with -s %s.\n",
                       stop_signal_name(signal_number), cwd, walk_state.save_path.c_str());
  } else {
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "Interrupted by %s. Run the job again to finish it.\n",
                       stop_signal_name(signal_number));
  }
  throw RunEnded(stop_exit_status(signal_number));
}

// A marker whose computed place lies at or beyond the last reference commit marker of the data
// partition cannot be there: damaged offsets put it there. It is reported and skipped, and the
// walk goes on with the next one.
bool lies_beyond_data_partition(const char* what, uint64_t number, uint64_t block_number) {
  if (block_number < dp_rcm_block_number) return false;
  if (std::string_view(what) == get_marker_name(META)) {
    walk_state.object_block = block_number;
    walk_state.object_offset = 0;
    record_object(ObjectFields{}, run_record::Outcome::unreadable, {});
  }
  note_object_error(LV_ERROR, VL_PR,
                    "The %s #%" PRIu64 " would lie at block %" PRIu64
                    " of the data partition, not before its last reference commit marker (block "
                    "%" PRIu64 "). It is skipped.\n",
                    what, number, block_number, dp_rcm_block_number);
  walk_state.po_tail_unread = true;
  return true;
}

// A marker from the end of a data partition that ends early on cannot be read: it is passed over
// (an object there is lost, as lies_in_damage finds), and the next one is not read on from it.
bool lies_beyond_end(MARKER_TYPE m_type, uint64_t block_number) {
  if (m_type == META || !walk_state.damage.beyond_end(block_number)) return false;
  walk_state.marker_damaged = true;
  walk_state.po_tail_unread = true;
  return true;
}

// An object with bytes in a block already found damaged is lost (named when the damage was
// reported): it is not read, and the next marker is located.
bool lies_in_damage(uint64_t meta) {
  walk_state.current_meta = meta;
  if (walk_state.damage.empty()) return false;
  const auto [first, last] =
      walk::blocks_of_object(walk_state.index, packed_object_places(), block_size, meta);
  if (!walk_state.damage.any_in(first, last)) return false;
  record_lost_object();
  walk_state.po_tail_unread = true;
  return true;
}

// The partial reference next on the data partition.
int visit_partial_reference(const MamVci* mamvci, WalkCounters& n) {
  int ret = 0;
  uint64_t block_number = 0;
  uint64_t offset = 0;
  get_address_of_pr(static_cast<int>(n.pr), &block_number, &offset);
  if (lies_beyond_data_partition("partial reference", n.pr, block_number) ||
      lies_beyond_end(PR, block_number)) {
    n.pr += 1;
    return ret;
  }
  // After a commit marker that met damage the tape does not stand where it ends.
  if (n.locate_first || walk_state.marker_damaged) {
    cursor().locate(block_number);
    n.locate_first = false;
  }
  ST_SPTI_CMD_POSITIONDATA pos{};
  cursor().read_position(&pos);
  if (pos.blockNumber != block_number) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                              "The position of the partial reference on the data partition is "
                              "not correct.\n");
  }
  if (check_pr_integrity(1, mamvci, static_cast<int>(n.pr - 1), n.pr == pr_num ? 1 : 0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_PR, "The partial reference format is not correct.\n");
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "pr   : %" PRIu64 ",%" PRIu64 "\n", block_number, offset);
  n.pr += 1;
  return ret;
}

// The object commit marker, packed object or object next on the data partition.
int visit_marker(MARKER_TYPE m_type, WalkCounters& n) {
  int ret = 0;
  uint64_t block_number = 0;
  uint64_t offset = 0;
  uint64_t file_num = 0;
  uint64_t file_offset = 0;
  uint64_t length = 0;
  uint64_t& number = m_type == OCM ? n.ocm : m_type == PO ? n.po : n.meta;
  get_address_of_marker(m_type, number, &block_number, &offset, &file_num, &file_offset, &length);
  if (lies_beyond_data_partition(get_marker_name(m_type), number, block_number) ||
      lies_beyond_end(m_type, block_number)) {
    number += 1;
    return ret;
  }
  if (n.locate_first) {
    if (m_type != META) cursor().locate(block_number);
    n.locate_first = false;
  }
  if (m_type == PO && mode_is(walk::Mode::output_list)) po_block_address = block_number;
  if (m_type == META && lies_in_damage(n.meta - 1)) {
    n.meta += 1;
    return ret;
  }
  if (m_type == META) {
    // Where the metadata lies in its packed object, for the bound of the object's data.
    walk::MarkerIndex& index = walk_state.index;
    walk_state.meta_offset_known = true;
    const uint64_t p = index.po_of_meta(n.meta - 1);
    const walk::PoDirectory& dir = index.po_directory(p);
    walk_state.current_meta_offset =
        dir.meta_offset[static_cast<size_t>(n.meta - 1 - index.pos()[p].first_meta)];
  }
  if (check_part_of_pr_integrity(m_type, block_number, offset, file_num, file_offset, length) !=
      0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_PR, "The partial reference format is not correct.\n");
  }
  if (m_type == OCM) {
    n.ocm += 1;
  } else if (m_type == PO) {
    // Only dumps record where they stand: the history is where a resumed dump starts, and a
    // list run in between must not move it past objects that were never written.
    if (!mode_is(walk::Mode::output_list)) ret |= record_progress(n);
    n.po += 1;
  } else {
    n.meta += 1;
  }
  return ret;
}

// Every partial reference, object commit marker, packed object and object of the data partition
// in tape order, from the start or from where the history says a resumed dump stands.
int walk_data_partition(const MamVci* mamvci, bool locate_first) {
  int ret = 0;
  WalkCounters n;
  n.locate_first = locate_first;
  if (mode_is(walk::Mode::resume_dump)) resume_from_history(n);
  // A store keeps versions, not numbered directories.
  if (mode_is(walk::Mode::full_dump) && walk::object_sink() == nullptr) warn_of_repeated_dump();
  walk_state.has_pre_list_entry = false;
  walk_state.po_tail_unread = false;
  if (mode_is(walk::Mode::output_list)) {
    walk_state.lists.begin(walk_state.save_root.enter(barcode_id, true));
  }
  while (n.left()) {
    if (stop_requested() != 0) stop_walk(stop_requested());
    output_accdg_to_vl(LV_TRACE, VL_MISC,
                       "pr:%" PRIu64 ",%" PRIu64 " ocm:%" PRIu64 ",%" PRIu64 " po:%" PRIu64
                       ",%" PRIu64 " meta:%" PRIu64 ",%" PRIu64 "\n",
                       n.pr, pr_num, n.ocm, ocm_num, n.po, po_num, n.meta, meta_num);
    MARKER_TYPE m_type = META;
    get_next_marker(n.pr, n.ocm, n.po, n.meta, pr_num, ocm_num, po_num, meta_num, &m_type);
    ret |= m_type == PR ? visit_partial_reference(mamvci, n) : visit_marker(m_type, n);
  }
  if (walk_state.lists.active()) walk_state.lists.finish();
  walk::settle_objects();
  status_line::finish();  // the job's own messages follow
  if (mode_is(walk::Mode::full_dump) || mode_is(walk::Mode::resume_dump)) {
    ret |= write_progress(true);
  }
  return ret;
}

}  // namespace

int check_integrity(const MamVci* mamvci, const MamHta* mamhta, const char* mode, int fd,
                    const char* save_path, const char* /*tape_id*/, object_list* object_chain,
                    const char* bucket_name) {
  // The walk names list files and history sections with the identifier it forms from the tape
  // itself (get_tape_identifier); the caller's identifier is not used.
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:check_integrity\n");
  // A walk over a restored cache has not just passed the reference partition: it locates the
  // first marker of the data partition.
  const bool locate_first = get_marker_file_flg() != 0;
  begin_walk(walk::mode_from_name(mode), fd, save_path, object_chain, bucket_name);
  if (mode_is(walk::Mode::output_objects_in_object_list)) {
    return retrieve_listed_objects() | walk_state.object_errors;
  }
  int ret = 0;
  if (mode_is(walk::Mode::full_dump)) {
    // The dump's section is there from its start, before the reference partition is checked
    // again and the copies on the data partition are read: a dump stopped in between resumes.
    ret |= get_tape_identifier(scparam.fd_scsidevice, barcode_id);
    ret |= write_progress(false);
  }
  read_marker_file_flag = 1;
  sequential_read_flag = 1;
  if (marker_file_flg == 0) ret |= recheck_reference_partition(mamvci, mamhta);
  count_markers();
  ret |= check_data_partition_copies(mamvci, mamhta);
  ret |= get_tape_identifier(scparam.fd_scsidevice, barcode_id);
  ret |= walk_data_partition(mamvci, locate_first);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_integrity\n");
  return ret | walk_state.object_errors;
}

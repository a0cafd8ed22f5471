// The tape walk: the marker file cache and the walk over the reference partition, the addressing
// of every marker on the data partition, the comparison of the data partition with the cache,
// the extraction of objects and list entries, and the walk driver.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "endian_utils.h"
#include "object_reader.h"
#include "output_level.h"
#include "scsi_util.h"
#include "vexa_format_checker.h"

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
FILE* fp_list = nullptr;
int pre_savepath_dir_number = 0;
std::string pre_bucket_name_for_obj_r;
bool has_pre_list_entry = false;
char obj_r_mode[30] = "";
char obj_reader_saveroot[4097] = "";
char bucket_id_for_obj_r[37] = "";
std::string bucket_name_for_obj_r;
std::string bucket_list_for_obj_r;
BucketInfo4ObjReader* bucket_infos = nullptr;
SCSI_DEVICE_PARAM scparam{0};
std::string object_meta_for_json;
object_list* objects = nullptr;

std::string cache_file(const char* name) { return std::string(MARKER_CACHE_DIR) + name; }
std::string pr_cache_file(uint64_t n) { return cache_file("PR_") + std::to_string(n); }

bool mode_is(const char* mode) { return std::strcmp(obj_r_mode, mode) == 0; }
bool dump_mode() {
  return mode_is("full_dump") || mode_is("resume_dump") || mode_is("output_objects_in_object_list");
}

// Where the tape stands, as far as the walk knows it, and the last block it read. Reading the
// position costs no tape motion; a LOCATE may stop the tape, so the walk locates only when the
// tape is not already where it must be, and takes a marker that starts in the block just read
// from that block in memory.
struct TapeCursor {
  bool position_known = false;
  uint64_t position = 0;
  bool last_valid = false;  // `block` holds the block numbered `last_number`
  uint64_t last_number = 0;
  std::vector<uint8_t> block;  // the one block buffer of the walk: the block read last
  uint32_t last_count = 0;
};
TapeCursor cursor;

void forget_position() {
  cursor.position_known = false;
  cursor.last_valid = false;
}

uint64_t tape_position() {
  if (!cursor.position_known) {
    ST_SPTI_CMD_POSITIONDATA pos{};
    read_position_on_tape(&pos);
    cursor.position = pos.blockNumber;
    cursor.position_known = true;
  }
  return cursor.position;
}

void cursor_locate(uint64_t block) {
  locate_to_tape(static_cast<uint32_t>(block));
  cursor.position = block;
  cursor.position_known = true;
  cursor.last_valid = false;
}

void cursor_head(int partition) {
  set_tape_head(partition);
  cursor.position = 0;
  cursor.position_known = true;
  cursor.last_valid = false;
}

void cursor_space(uint8_t code, uint32_t count) {
  move_on_tape(code, count);
  forget_position();
}

void cursor_read_position(ST_SPTI_CMD_POSITIONDATA* pos) {
  read_position_on_tape(pos);
  if (cursor.position_known && cursor.position != pos->blockNumber) cursor.last_valid = false;
  cursor.position = pos->blockNumber;
  cursor.position_known = true;
}

// Reads one block of `block_size` bytes into the walk's block buffer (`cursor.block`); the bytes
// beyond those received read as zero. Returns what read_data returns: 0 block read, 1 filemark
// or read error (the buffer then holds nothing of use).
int cursor_read(uint32_t* count) {
  std::vector<uint8_t>& buffer = cursor.block;
  if (buffer.size() != block_size) buffer.assign(block_size, 0);
  const bool known = cursor.position_known;
  const uint64_t number = cursor.position;
  *count = 0;
  cursor.last_valid = false;
  const int ret = read_data(block_size, buffer.data(), count);
  if (*count > block_size) *count = block_size;
  std::fill(buffer.begin() + *count, buffer.end(), 0);
  if (ret == 0) {
    cursor.last_valid = known;
    cursor.last_number = number;
    cursor.last_count = *count;
    cursor.position = number + 1;
  } else {
    // After a filemark the tape stands just past it; after an error the position is unsure.
    forget_position();
  }
  return ret;
}

}  // namespace

uint32_t get_block_size() { return block_size; }

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

int initialize_marker_files() {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:initialize_marker_files\n");
  if (get_marker_file_flg() == 0 && delete_files_in_directory(MARKER_CACHE_DIR, nullptr) != 0) {
    // Stale cache files would be appended to and compared against: the walk cannot go on.
    output_fatal(VL_MISC, "Marker files could not be deleted at %s.\n", MARKER_CACHE_DIR);
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :initialize_marker_files\n");
  return 0;
}

int write_markers_to_file(const char* filepath, int write_flg) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:write_markers_to_file(%s)\n", filepath);
  if (marker_file_flg == 1) write_flg = 0;
  make_parent_dir(filepath);
  FILE* file = std::fopen(filepath, "ab");
  if (file == nullptr) output_fatal(VL_MISC, "Failed to open file.\n");
  uint32_t count = 0;
  const uint64_t start = tape_position();
  uint64_t records = 0;
  while (cursor_read(&count) == 0) {
    ++records;
    if (write_flg == 1 && count > 0 && std::fwrite(cursor.block.data(), 1, count, file) != count) {
      output_fatal(VL_MISC, "Failed to write marker file(%s).\n", filepath);
    }
  }
  // A read that meets a filemark leaves the tape past it. One that left the tape where it was met
  // the end of data: no filemark ends this marker, and the object in front of the tape, which the
  // filemark check would look at, belongs to the marker before.
  ST_SPTI_CMD_POSITIONDATA after{};
  cursor_read_position(&after);
  int missing_filemark = 0;
  if (after.blockNumber == start + records) {
    missing_filemark =
        output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "There is no file mark next to the marker.\n");
  } else {
    missing_filemark = check_fm_next_to_marker(1, 1);
  }
  if (missing_filemark != 0) {
    output_fatal(VL_MISC, "Failed to read the reference partition.\n");
  }
  if (std::fclose(file) != 0) output_fatal(VL_MISC, "Failed to close file.\n");
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :write_markers_to_file(%s)\n", filepath);
  return 0;
}

int read_marker_file(uint64_t str_size, uint64_t str_offset, const char* filepath, char* str) {
  output_accdg_to_vl(LV_TRACE, VL_MISC,
                     "start:read_marker_file(%s) size=%" PRIu64 " offset=%" PRIu64 "\n", filepath,
                     str_size, str_offset);
  FILE* file = clf_open_alt_file(filepath, "rb");
  if (str_offset > static_cast<uint64_t>(INT64_MAX) ||
      fseeko(file, static_cast<off_t>(str_offset), SEEK_SET) != 0) {
    output_fatal(VL_MISC, "Failed at fseek() while reading file(%s).\n", filepath);
  }
  if (str_size > 0) clf_read_file(str, 1, str_size, file);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :read_marker_file(%s)\n", filepath);
  return 0;
}

int check_fm_next_to_marker(int pos, int own_flag) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:check_fm_next_to_marker\n");
  ST_SPTI_CMD_POSITIONDATA p{};
  if (own_flag == 1) {
    cursor_read_position(&p);
    cursor_locate(p.blockNumber == 0 ? 0 : p.blockNumber - 1);
  }
  cursor_read_position(&p);
  cursor_space(SPACE_FILEMARKS, static_cast<uint32_t>(pos));
  ST_SPTI_CMD_POSITIONDATA q{};
  cursor_read_position(&q);
  int ret = 0;
  if (p.blockNumber + static_cast<uint64_t>(pos) != q.blockNumber) {
    ret = output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "There is no file mark next to the marker.\n");
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_fm_next_to_marker\n");
  return ret;
}

int move_to_last_rcm(const MamVci* mamvci, int which_partition, uint64_t* fileNumber) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:move_to_last_rcm\n");
  cursor_head(which_partition);
  cursor_space(SPACE_END_OF_DATA, 0);
  ST_SPTI_CMD_POSITIONDATA pos{};
  cursor_read_position(&pos);
  if (fileNumber != nullptr) *fileNumber = pos.fileNumber;
  cursor_space(SPACE_FILEMARKS, static_cast<uint32_t>(-2));
  cursor_space(SPACE_FILEMARKS, 1);
  cursor_read_position(&pos);
  int ret = 0;
  if (mamvci != nullptr && mamvci[which_partition].is_valid &&
      mamvci[which_partition].Data.rcm_block != pos.blockNumber) {
    ret |= output_accdg_to_vl(
        LV_WARNING, VL_RCM,
        "The position of the last reference commit marker in the %s is inconsistent with "
        "rcm_block in mam.\n%sThe position of the last reference commit marker : %" PRIu64
        "\n%srcm_block in mam                                 : %" PRIu64 "\n",
        get_partition_name(which_partition), INDENT, pos.blockNumber, INDENT,
        mamvci[which_partition].Data.rcm_block);
  }
  if (which_partition == 1) dp_rcm_block_number = pos.blockNumber;
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
  char header[64] = {};
  read_marker_file(sizeof(header), 0, cache_file("RCM_1").c_str(), header);
  *pr_number = be64(reinterpret_cast<const uint8_t*>(header) + 56);
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
  if (check_diff_btwn_file_and_tape(m_type, file.c_str(), read_size, 0, 0) != 0) {
    constexpr char kInconsistent[] = "The data partition is inconsistent with marker file(%s).\n";
    if (inconsistency_is_fatal) output_fatal(verbose, kInconsistent, file.c_str());
    ret |= output_accdg_to_vl(LV_ERROR, verbose, kInconsistent, file.c_str());
  }
  if (check_fm_next_to_marker(1, 0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, verbose, "%s", missing_filemark);
  }
  return ret;
}

}  // namespace

int check_vol1_label_integrity(int which_partition) {
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "start:check_vol1_label_integrity\n");
  int ret = 0;
  cursor_head(which_partition);
  const std::string file = cache_file("VOL1Label");
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
  const std::string file = cache_file("QRTLabel");
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
  const std::string file = cache_file("RCM_0");
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
  const std::string file = cache_file("RCM_1");
  if (which_partition == 0) {
    write_markers_to_file(file.c_str(), 1);
    get_pr_num(&pr_num);
    if (clf_reference_commit_marker(1, mamvci, mamhta, pr_num) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                                "Format violation is detected at the last reference commit marker "
                                "on Reference Partition.\n");
    }
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
  if (last_flag == 1) {
    ST_SPTI_CMD_POSITIONDATA after_pr{};
    cursor_read_position(&after_pr);
    ret |= move_to_last_rcm(mamvci, which_partition, nullptr);
    ST_SPTI_CMD_POSITIONDATA rcm_top{};
    cursor_read_position(&rcm_top);
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
  cursor_head(0);
  cursor_space(SPACE_FILEMARKS, 1);
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
// and partial references. Their structure is read once into an index (the partial references,
// object commit markers and packed objects, in tape order), so that the walk over a tape of many
// objects costs time in proportion to its size. Counts that the files cannot hold are cut to
// what the files hold.

namespace {

// Reads ranges of a cache file; bytes beyond its end read as zero.
class CacheFile {
 public:
  explicit CacheFile(const std::string& path) : path_(path) {
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      output_fatal(VL_MISC, "Failed to open file. path=%s, mode=%s, error=%s\n", path.c_str(), "rb",
                   std::strerror(errno));
    }
    struct stat status {};
    if (fstat(fd_, &status) == 0) size_ = static_cast<uint64_t>(status.st_size);
  }
  ~CacheFile() {
    if (fd_ >= 0) close(fd_);
  }
  CacheFile(const CacheFile&) = delete;
  CacheFile& operator=(const CacheFile&) = delete;

  uint64_t size() const { return size_; }
  bool holds(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  void read(uint64_t offset, void* out, size_t length) {
    std::memset(out, 0, length);
    if (offset >= size_) return;
    const size_t available = static_cast<size_t>(std::min<uint64_t>(length, size_ - offset));
    size_t done = 0;
    while (done < available) {
      const ssize_t n = pread(fd_, static_cast<uint8_t*>(out) + done, available - done,
                              static_cast<off_t>(offset + done));
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  uint64_t u64(uint64_t offset) {
    uint8_t bytes[8];
    read(offset, bytes, sizeof(bytes));
    return be64(bytes);
  }

 private:
  std::string path_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

struct PrEntry {
  uint64_t d_pr = 0;
  uint64_t ocm_count = 0;  // object commit markers it lists (cut to the file)
  uint64_t first_ocm = 0;  // index into ocm_index of its first one
};

struct OcmEntry {
  uint64_t pr = 0;           // 0-based partial reference
  uint64_t pos_in_pr = 0;    // 0-based position in the partial reference's directory
  uint64_t info_offset = 0;  // O: position of its info in the partial reference file
  uint64_t length = 0;       // info length from the directory
  uint64_t block_offset = 0;
  uint64_t po_count = 0;
  uint64_t first_po = 0;
};

struct PoEntry {
  uint64_t ocm = 0;  // index into ocm_index
  uint64_t pos_in_ocm = 0;
  uint64_t info_offset = 0;  // Q
  uint64_t length = 0;       // info length from the directory
  uint64_t block_offset = 0;
  uint64_t d_po = 0;
  uint64_t object_count = 0;
  uint64_t first_meta = 0;  // 0-based number of its first object over the tape
};

std::vector<PrEntry> pr_index;
std::vector<OcmEntry> ocm_index;
std::vector<PoEntry> po_index;
std::vector<uint64_t> pr_block_offsets;  // from the last reference commit marker
bool index_built = false;

// The object directory of one packed object, with the position of each object's metadata copy.
struct PoDirectory {
  uint64_t po = UINT64_MAX;
  std::vector<uint64_t> meta_offset;    // M of entries 0..n (the closing entry included)
  std::vector<uint64_t> data_offset;    // X of entries 0..n
  std::vector<uint64_t> copy_position;  // position of object r's metadata in the file
};
PoDirectory po_directories[2];
int po_directory_next = 0;

void clear_index() {
  pr_index.clear();
  ocm_index.clear();
  po_index.clear();
  pr_block_offsets.clear();
  po_directories[0] = PoDirectory{};
  po_directories[1] = PoDirectory{};
  index_built = false;
}

uint64_t cut_count(uint64_t announced, uint64_t start, uint64_t entry_size, uint64_t file_size,
                   const std::string& file, const char* what) {
  const uint64_t room = start >= file_size ? 0 : (file_size - start) / entry_size;
  if (announced <= room) return announced;
  output_accdg_to_vl(LV_ERROR, VL_PR,
                     "The %s of the partial reference file(%s) are cut short: %" PRIu64
                     " are listed, %" PRIu64 " are present.\n",
                     what, file.c_str(), announced, room);
  return room;
}

void build_index(uint64_t pr_count) {
  clear_index();
  {
    CacheFile rcm(cache_file("RCM_1"));
    for (uint64_t i = 0; i < pr_count; ++i) pr_block_offsets.push_back(rcm.u64(112 + 8 * i));
  }
  uint64_t meta_total = 0;
  for (uint64_t k = 0; k < pr_count; ++k) {
    const std::string file = pr_cache_file(k);
    CacheFile pr(file);
    PrEntry entry;
    entry.d_pr = pr.u64(40);
    entry.ocm_count = cut_count(pr.u64(48), 56, 16, pr.size(), file, "object commit markers");
    entry.first_ocm = ocm_index.size();
    uint64_t o = 32 + entry.d_pr;
    for (uint64_t j = 0; j < entry.ocm_count; ++j) {
      OcmEntry ocm;
      ocm.pr = k;
      ocm.pos_in_pr = j;
      ocm.info_offset = o;
      ocm.length = pr.u64(56 + 16 * j);
      ocm.block_offset = pr.u64(56 + 16 * j + 8);
      const uint64_t d_ocm = pr.u64(o + 8);
      ocm.po_count = pr.holds(o, 24)
                         ? cut_count(pr.u64(o + 16), o + 24, 16, pr.size(), file, "packed objects")
                         : 0;
      ocm.first_po = po_index.size();
      uint64_t q = o + d_ocm;
      for (uint64_t m = 0; m < ocm.po_count; ++m) {
        PoEntry po;
        po.ocm = ocm_index.size();
        po.pos_in_ocm = m;
        po.info_offset = q;
        po.length = pr.u64(o + 24 + 16 * m);
        po.block_offset = pr.u64(o + 24 + 16 * m + 8);
        po.d_po = pr.u64(q + 8);
        // Each object has a 32-byte directory entry (and there is a closing one) in the file.
        const uint64_t announced = pr.u64(q + 16);
        uint64_t room = 0;
        if (q <= pr.size() && pr.size() - q >= 72 + 32) room = (pr.size() - q - 72) / 32 - 1;
        po.object_count = announced;
        if (announced > room) {
          output_accdg_to_vl(LV_ERROR, VL_PR,
                             "The objects of the partial reference file(%s) are cut short: %" PRIu64
                             " are listed, %" PRIu64 " are present.\n",
                             file.c_str(), announced, room);
          po.object_count = room;
        }
        po.first_meta = meta_total;
        meta_total += po.object_count;
        po_index.push_back(po);
        q += po.length;
      }
      ocm_index.push_back(ocm);
      o += ocm.length;
    }
    pr_index.push_back(entry);
  }
  index_built = true;
}

// The object directory of packed object `po` (0-based), loaded once for all its objects.
const PoDirectory& po_directory(uint64_t po) {
  for (const PoDirectory& d : po_directories) {
    if (d.po == po) return d;
  }
  PoDirectory& d = po_directories[po_directory_next];
  po_directory_next ^= 1;
  d = PoDirectory{};
  d.po = po;
  const PoEntry& entry = po_index[po];
  CacheFile pr(pr_cache_file(ocm_index[entry.ocm].pr));
  const uint64_t entries = entry.object_count + 1;
  std::vector<uint8_t> raw(static_cast<size_t>(entries * 32));
  pr.read(entry.info_offset + 72, raw.data(), raw.size());
  uint64_t position = entry.info_offset + entry.d_po;
  for (uint64_t r = 0; r < entries; ++r) {
    const uint64_t m = be64(raw.data() + 32 * r + 16);
    const uint64_t x = be64(raw.data() + 32 * r + 24);
    d.meta_offset.push_back(m);
    d.data_offset.push_back(x);
    d.copy_position.push_back(position);
    position += x - m;  // unsigned, as the offsets are read
  }
  return d;
}

// Packed object (0-based) that holds object `meta` (0-based).
uint64_t po_of_meta(uint64_t meta) {
  auto it = std::upper_bound(po_index.begin(), po_index.end(), meta,
                             [](uint64_t value, const PoEntry& e) { return value < e.first_meta; });
  // Packed objects without objects share first_meta with the next one: step back to the one that
  // holds objects.
  size_t index = static_cast<size_t>(it - po_index.begin()) - 1;
  while (po_index[index].object_count == 0 && index > 0) --index;
  return index;
}

}  // namespace

int get_ocm_po_meta_num(int pr_count, uint64_t* ocm_total, uint64_t* po_total,
                        uint64_t* meta_total) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_ocm_po_meta_num\n");
  build_index(pr_count < 0 ? 0 : static_cast<uint64_t>(pr_count));
  for (uint64_t k = 0; k < pr_index.size(); ++k) {
    *ocm_total += pr_index[k].ocm_count;
    output_accdg_to_vl(LV_TRACE, VL_MISC, "pr%d: ocm_num=%" PRIu64 ", added=%" PRIu64 "\n",
                       static_cast<int>(k), *ocm_total, pr_index[k].ocm_count);
    for (uint64_t j = 0; j < pr_index[k].ocm_count; ++j) {
      const OcmEntry& ocm = ocm_index[pr_index[k].first_ocm + j];
      *po_total += ocm.po_count;
      output_accdg_to_vl(LV_TRACE, VL_MISC, "pr%d: ocm%d: po_num=%" PRIu64 ", added=%" PRIu64 "\n",
                         static_cast<int>(k), static_cast<int>(j), *po_total, ocm.po_count);
      for (uint64_t m = 0; m < ocm.po_count; ++m)
        *meta_total += po_index[ocm.first_po + m].object_count;
      output_accdg_to_vl(LV_TRACE, VL_MISC, "pr%d: ocm%d: meta_num=%" PRIu64 "\n",
                         static_cast<int>(k), static_cast<int>(j), *meta_total);
    }
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :get_ocm_po_meta_num\n");
  return 0;
}

int get_address_of_pr(int pr_number, uint64_t* block_number, uint64_t* offset) {
  output_accdg_to_vl(LV_TRACE, VL_PR, "start:get_address_of_pr\n");
  if (dp_rcm_block_number == 0) {
    output_fatal(VL_MISC,
                 "Failed to get block number of the last reference commit marker of data "
                 "partition.\n");
  }
  uint64_t b = 0;
  if (pr_number >= 1 && static_cast<uint64_t>(pr_number) <= pr_block_offsets.size()) {
    b = pr_block_offsets[static_cast<size_t>(pr_number - 1)];
  } else {
    char bytes[8] = {};
    read_marker_file(8, 112 + 8 * (static_cast<uint64_t>(pr_number) - 1),
                     cache_file("RCM_1").c_str(), bytes);
    b = be64(reinterpret_cast<uint8_t*>(bytes));
  }
  *block_number = dp_rcm_block_number - b;
  *offset = 0;
  output_accdg_to_vl(LV_TRACE, VL_PR, "end  :get_address_of_pr\n");
  return 0;
}

int get_address_of_marker(MARKER_TYPE m_type, uint64_t marker_num, uint64_t* block_number,
                          uint64_t* offset, uint64_t* pr_file_num, uint64_t* pr_file_offset,
                          uint64_t* marker_len) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_address_of_marker: m_type=%d, marker_num=%d\n",
                     static_cast<int>(m_type), static_cast<int>(marker_num));
  const char* end_line = "end  :get_address_of_marker\n";
  if (marker_num >= 1) {
    const uint64_t n = marker_num - 1;
    if (m_type == OCM && n < ocm_index.size()) {
      const OcmEntry& ocm = ocm_index[n];
      uint64_t b_pr = 0;
      uint64_t unused = 0;
      get_address_of_pr(static_cast<int>(ocm.pr + 1), &b_pr, &unused);
      *pr_file_num = ocm.pr;
      *pr_file_offset = ocm.info_offset;
      *marker_len = ocm.length;
      *block_number = b_pr - ocm.block_offset;
      *offset = 32;
    } else if (m_type == PO && n < po_index.size()) {
      const PoEntry& po = po_index[n];
      const OcmEntry& ocm = ocm_index[po.ocm];
      uint64_t b_pr = 0;
      uint64_t unused = 0;
      get_address_of_pr(static_cast<int>(ocm.pr + 1), &b_pr, &unused);
      *pr_file_num = ocm.pr;
      *pr_file_offset = po.info_offset;
      *marker_len = po.d_po;
      *block_number = b_pr - ocm.block_offset - po.block_offset;
      *offset = 32;
      end_line = "end  :get_address_of_marker in ocm loop\n";
    } else if (m_type == META && !po_index.empty() &&
               n < po_index.back().first_meta + po_index.back().object_count) {
      const uint64_t p = po_of_meta(n);
      const PoEntry& po = po_index[p];
      const OcmEntry& ocm = ocm_index[po.ocm];
      const PoDirectory& dir = po_directory(p);
      const size_t r = static_cast<size_t>(n - po.first_meta);
      uint64_t b_pr = 0;
      uint64_t unused = 0;
      get_address_of_pr(static_cast<int>(ocm.pr + 1), &b_pr, &unused);
      const uint64_t m = dir.meta_offset[r];
      const uint64_t x = dir.data_offset[r];
      *pr_file_num = ocm.pr;
      *pr_file_offset = dir.copy_position[r];
      *marker_len = x - m;
      *block_number = b_pr - ocm.block_offset - po.block_offset + (m + 32) / block_size;
      *offset = (m + 32) % block_size;
      end_line = "end  :get_address_of_marker in po loop\n";
    }
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "%s", end_line);
  return 0;
}

int get_next_marker(uint64_t pr_cnt, uint64_t ocm_cnt, uint64_t po_cnt, uint64_t meta_cnt,
                    uint64_t pr_max, uint64_t ocm_max, uint64_t po_max, uint64_t meta_max,
                    MARKER_TYPE* m_type) {
  static uint64_t chosen_count[7] = {};
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
  *m_type = choice;
  const uint64_t counter = ++chosen_count[choice];
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
  auto field = [&](uint64_t back) -> uint64_t {
    // A header and directory too short to hold the field read as 0.
    if (marker_len < back) return 0;
    char bytes[8] = {};
    read_marker_file(8, pr_file_offset + marker_len - back, filepath, bytes);
    return be64(reinterpret_cast<uint8_t*>(bytes));
  };
  last_data_offset = field(8);
  last_meta_data_offset = field(48);
  char bytes[8] = {};
  read_marker_file(8, pr_file_offset + 16, filepath, bytes);
  num_of_meta = be64(reinterpret_cast<uint8_t*>(bytes));
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :get_last_data_offset\n");
  return 0;
}

// =============================================================================================
// Data-partition verification and object extraction
// =============================================================================================

namespace {

constexpr size_t kMetadataBufferSize = 2097152;  // 2 MiB
constexpr uint64_t kLargeObject = 1073741824;    // 1 GiB: check the free space first
constexpr size_t kMaxRcmKept = 64u << 20;        // bytes of a commit marker kept for its list
constexpr int kMaxDirNumber = 1000;

// Offset of the metadata being processed inside its packed object (from byte 32 of its first
// block), when the walk knows it; the data of the object may not run past the data area.
bool meta_offset_known = false;
uint64_t current_meta_offset = 0;
// Set when an object's data was not read to its end, so the tape does not stand at the end of
// the packed object when the next commit marker is due.
bool po_tail_unread = false;

// A key or bucket name becomes part of a path under the save path: it must stay below it.
bool safe_path_part(std::string_view text, bool allow_slash) {
  if (!text.empty() && text.front() == '/') return false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view part = text.substr(start, end - start);
    if (part == ".." || part.size() > 255) return false;
    if (!allow_slash && (part == "." || end != text.size())) return false;
    start = end + 1;
  }
  return true;
}

// Files being written under a temporary name. A run that a fatal report ends before they are
// complete removes them on its way out, so that no part of an object is left behind.
std::vector<std::string>& unfinished_files() {
  static std::vector<std::string> files;
  return files;
}

void remove_unfinished_files() {
  for (const std::string& path : unfinished_files()) unlink(path.c_str());
  unfinished_files().clear();
}

}  // namespace

void add_unfinished_file(const char* path) {
  std::vector<std::string>& files = unfinished_files();  // constructed before the exit handler
  static const bool handler_registered = std::atexit(remove_unfinished_files) == 0;
  (void)handler_registered;
  files.emplace_back(path);
}

void remove_from_unfinished_files(const char* path) {
  std::vector<std::string>& files = unfinished_files();
  const auto it = std::find(files.begin(), files.end(), std::string_view(path));
  if (it != files.end()) files.erase(it);
}

namespace {

// An object file written under a temporary name and renamed when the object is complete.
class ObjectFile {
 public:
  ObjectFile() = default;
  ~ObjectFile() { discard(); }
  ObjectFile(const ObjectFile&) = delete;
  ObjectFile& operator=(const ObjectFile&) = delete;

  void open(const std::string& final_path) {
    final_path_ = final_path;
    temp_path_ = final_path + ".tmp";
    unlink(temp_path_.c_str());  // a leftover of an interrupted run
    file_ = std::fopen(temp_path_.c_str(), "wb");
    if (file_ == nullptr) {
      output_fatal(VL_DEFAULT, "Can't open file: %s\n", temp_path_.c_str());
    }
    add_unfinished_file(temp_path_.c_str());
  }
  bool is_open() const { return file_ != nullptr; }
  void write(const uint8_t* data, size_t length) {
    if (file_ == nullptr || length == 0) return;
    if (std::fwrite(data, 1, length, file_) != length) fail();
  }
  void commit() {
    if (file_ == nullptr) return;
    const int rc = std::fclose(file_);
    file_ = nullptr;
    if (rc != 0) fail();
    if (std::rename(temp_path_.c_str(), final_path_.c_str()) != 0) fail();
    remove_from_unfinished_files(temp_path_.c_str());
  }
  void discard() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    file_ = nullptr;
    unlink(temp_path_.c_str());
    remove_from_unfinished_files(temp_path_.c_str());
  }

 private:
  void fail() {
    output_fatal(VL_MISC, "Failed to output %s.Disk space is likely to insufficient.\n",
                 final_path_.c_str());
  }
  FILE* file_ = nullptr;
  std::string final_path_;
  std::string temp_path_;
};

bool file_exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

std::string object_path(const std::string& key, const std::string& id, const char* suffix) {
  char numbers[32];
  std::snprintf(numbers, sizeof(numbers), "%04d/%04d", savepath_dir_number,
                savepath_sub_dir_number);
  return std::string(obj_reader_saveroot) + "/" + bucket_name_for_obj_r + "/" + numbers + "/" +
         key + "/" + id + suffix;
}

// Set by check_part_of_pr_integrity when the metadata to read starts in the block read last.
bool use_block_in_memory = false;

// The bucket list of the last reference commit marker on the data partition: the data-length
// bytes at byte 32 + data offset of the marker as read from the tape.
void take_bucket_list(const std::string& rcm) {
  if (rcm.size() < 56) {
    bucket_list_for_obj_r.clear();
    output_accdg_to_vl(LV_ERROR, VL_RCM,
                       "The bucket list of the last reference commit marker cannot be read.\n");
    return;
  }
  const uint64_t data_offset = be64(reinterpret_cast<const uint8_t*>(rcm.data()) + 40);
  const uint64_t data_length = be64(reinterpret_cast<const uint8_t*>(rcm.data()) + 48);
  const uint64_t start = 32 + data_offset;
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
}

// The bucket of a packed object: its bucket ID (16 bytes, byte 72 of its first block on tape)
// looked up in the bucket list. A bucket that the list does not name keeps its objects apart
// under the ID text; `report` says whether that is reported.
void take_bucket_of_packed_object(const uint8_t* bucket_id, bool report) {
  uuid_unparse(bucket_id, bucket_id_for_obj_r);
  std::string buckets;
  extract_json_element(bucket_list_for_obj_r.c_str(), "BucketList", buckets);
  std::string name;
  get_bucket_name(buckets.c_str(), bucket_id_for_obj_r, name);
  if (name.empty()) {
    if (report) {
      output_accdg_to_vl(LV_ERROR, VL_POINFO,
                         "The bucket (%s) of the packed object is not in the bucket list.\n",
                         bucket_id_for_obj_r);
    }
    name = bucket_id_for_obj_r;
  }
  if (name.size() > 63) name.resize(63);
  bucket_name_for_obj_r = name;
  add_bucket_info_4_obj_reader(&bucket_infos, bucket_name_for_obj_r.c_str(), 0, 1, 1);
}

// Reads the block after the current one for an object or its metadata. A read that does not
// stop at a filemark ends the run; at a confirmed filemark it returns false.
// The block lands in the walk's block buffer, `cursor.block`.
bool read_following_block(uint32_t* count) {
  if (cursor_read(count) == 0) return true;
  if (check_fm_next_to_marker(1, 1) != 0) {
    output_fatal(VL_DEFAULT, "Failed to read data from tape.\n");
  }
  return false;
}

// Findings about an object itself (as opposed to differences between the tape and the cache)
// count in the walk's result, not in the comparison's.
int object_errors = 0;

__attribute__((format(printf, 3, 4))) int note_object_error(const char* level, const char* verbose,
                                                            const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[8192];
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  object_errors |= output_accdg_to_vl(level, verbose, "%s", text);
  return 0;
}

// Processes the object whose metadata starts at byte `o` of `first` (a block of the data
// partition) and is `length` bytes long.
int process_object(const char* filepath, uint64_t pr_file_offset, std::vector<uint8_t>& block,
                   uint32_t count, uint64_t o, uint64_t length) {
  int ret = 0;
  if (length > kMetadataBufferSize) {
    po_tail_unread = true;
    return note_object_error(LV_ERROR, VL_COMMON,
                             "The metadata of the object is %" PRIu64
                             " bytes long, more than %zu bytes. The object is skipped.\n",
                             length, kMetadataBufferSize);
  }
  // The metadata, completed from the following blocks when it runs past this one.
  std::string meta_data;
  meta_data.reserve(static_cast<size_t>(length));
  uint64_t end_in_block = o;  // E: just past the metadata in `block`
  {
    const uint64_t here = o < block_size ? std::min<uint64_t>(length, block_size - o) : 0;
    meta_data.append(reinterpret_cast<const char*>(block.data() + o), static_cast<size_t>(here));
    end_in_block = o + here;
    while (meta_data.size() < length) {
      if (!read_following_block(&count)) {
        po_tail_unread = true;
        return note_object_error(LV_ERROR, VL_COMMON,
                                 "The metadata of the object is cut short by a filemark.\n");
      }
      const uint64_t more = std::min<uint64_t>(length - meta_data.size(), block_size);
      meta_data.append(reinterpret_cast<const char*>(block.data()), static_cast<size_t>(more));
      end_in_block = more;
    }
  }
  if (read_marker_file_flag == 1 && length > 0) {
    std::string copy(static_cast<size_t>(length), '\0');
    read_marker_file(length, pr_file_offset, filepath, copy.data());
    if (copy != meta_data) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                "The data partition is inconsistent with marker file(%d:%s).\n",
                                static_cast<int>(META), filepath);
    }
  }
  // The metadata text runs up to its first zero byte.
  const std::string meta_text(meta_data.c_str());

  uint64_t object_size = 0;
  std::string object_key;
  std::string object_id;
  std::string last_modified;
  std::string version_id;
  std::string content_md5;
  if (get_element_from_metadata(meta_text.c_str(), &object_size, &object_key, &object_id,
                                &last_modified, &version_id, &content_md5) != 0) {
    po_tail_unread = true;
    return ret | note_object_error(LV_ERROR, VL_COMMON,
                                   "The metadata of an object on the data partition could not "
                                   "be parsed. The object is skipped.\n");
  }
  if (mode_is("output_list")) {
    make_key_str_value_pairs(object_meta_for_json, "object_key", object_key.c_str());
    make_key_ulong_int_value_pairs(object_meta_for_json, "size", object_size);
    make_key_str_value_pairs(object_meta_for_json, "last_modified", last_modified.c_str());
    make_key_str_value_pairs(object_meta_for_json, "version_id", version_id.c_str());
    make_key_str_value_pairs(object_meta_for_json, "content_md5", content_md5.c_str());
    make_key_str_value_pairs(object_meta_for_json, "object_id", object_id.c_str());
  }
  if (object_size >= kLargeObject && check_disk_space(obj_reader_saveroot, object_size) != 0) {
    output_fatal(VL_COMMON, "Failed to check the disk space.\n");
  }
  if (!mode_is("output_objects_in_object_list")) {
    object_errors |= get_bucket_info_4_obj_reader(&bucket_infos, bucket_name_for_obj_r.c_str(),
                                                  &savepath_dir_number, &savepath_sub_dir_number);
  }
  const bool dir_max_limit_flag = savepath_dir_number > kMaxDirNumber;

  // The data may not run past the end of the packed object's data area.
  const uint64_t data_start = current_meta_offset + length;
  bool size_fits = true;
  if (meta_offset_known && !mode_is("output_objects_in_object_list")) {
    size_fits = data_start <= last_data_offset && object_size <= last_data_offset - data_start;
  }
  if (!size_fits) {
    po_tail_unread = true;
    // Nor is it listed: a retrieval through the list would copy whatever follows the packed
    // object as the object's data.
    object_meta_for_json.clear();
    return ret | note_object_error(LV_ERROR, VL_COMMON,
                                   "The size %" PRIu64
                                   " of the object (%s) does not fit in its "
                                   "packed object. The object is not written.\n",
                                   object_size, object_key.c_str());
  }

  const bool writing = dump_mode() && !dir_max_limit_flag;
  ObjectFile meta_file;
  ObjectFile data_file;
  if (dump_mode()) {
    if (!safe_path_part(object_key, true) || !safe_path_part(bucket_name_for_obj_r, false) ||
        bucket_name_for_obj_r.empty() ||
        object_key.size() + std::strlen(obj_reader_saveroot) + bucket_name_for_obj_r.size() +
                object_id.size() + 32 >
            4095) {
      po_tail_unread = true;
      return ret | note_object_error(LV_ERROR, VL_COMMON,
                                     "The object key (%s) of bucket (%s) would be written "
                                     "outside the save path. The object is not written.\n",
                                     object_key.c_str(), bucket_name_for_obj_r.c_str());
    }
    const std::string meta_path = object_path(object_key, object_id, ".meta");
    const std::string data_path = object_path(object_key, object_id, ".data");
    for (const std::string& path : {meta_path, data_path}) {
      if (file_exists(path)) {
        po_tail_unread = true;
        return ret | note_object_error(LV_WARNING, VL_COMMON,
                                       "The object file (%s) already exists. The object is not "
                                       "written.\n",
                                       path.c_str());
      }
    }
    if (writing) {
      mk_deep_dir(meta_path.c_str());
      meta_file.open(meta_path);
      meta_file.write(reinterpret_cast<const uint8_t*>(meta_text.data()), meta_text.size());
      data_file.open(data_path);
    }
  }

  const uint64_t declared_size = object_size;
  // The data: first the rest of the block that holds the end of the metadata, then whole blocks.
  uint64_t remained = end_in_block <= block_size ? block_size - end_in_block : 0;
  uint64_t take = std::min(object_size, remained);
  if (writing) data_file.write(block.data() + end_in_block, static_cast<size_t>(take));
  object_size -= take;
  while (object_size > 0) {
    uint32_t got = 0;
    if (!read_following_block(&got)) {
      po_tail_unread = true;
      return ret | note_object_error(LV_ERROR, VL_COMMON,
                                     "The object (%s) is cut short by a filemark. The object is "
                                     "not written.\n",
                                     object_key.c_str());
    }
    take = std::min<uint64_t>(object_size, block_size);
    if (writing) data_file.write(block.data(), static_cast<size_t>(take));
    object_size -= take;
  }
  if (writing) {
    data_file.commit();
    meta_file.commit();
  }
  po_tail_unread = false;

  if (num_of_meta_cnt == num_of_meta) {
    // The block read last holds the end of the packed object only when the data read ends where
    // its data area ends. An object shorter than its place there leaves the tape short of the
    // end: the padding cannot be checked in this block, and the next marker is located.
    const bool at_end = !meta_offset_known || data_start + declared_size == last_data_offset;
    if (!at_end) {
      po_tail_unread = true;
    } else if (skip_0_padding_check_flag == 0) {
      // Zero padding after the last object of a packed object.
      // A format deviation like any other: it is reported once and the walk goes on, so that
      // one stray byte does not end the recovery of the rest of the tape.
      const uint64_t e = (o + last_data_offset - last_meta_data_offset) % block_size;
      if (e != 0 && !is_null_filled(block.data() + e, static_cast<size_t>(block_size - e))) {
        note_object_error(LV_ERROR, VL_DEFAULT,
                          "The end of the packed objects must be zero-padded.\n");
      }
    }
  }
  return ret;
}

}  // namespace

int check_diff_btwn_file_and_tape(MARKER_TYPE m_type, const char* filepath, uint64_t read_size,
                                  uint64_t offset, uint64_t pr_file_offset) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:check_diff_btwn_file_and_tape(%s)\n", filepath);
  int ret = 0;
  uint64_t file_size = 0;
  {
    struct stat status {};
    if (stat(filepath, &status) == 0) {
      file_size = static_cast<uint64_t>(status.st_size);
    } else if (read_marker_file_flag == 1) {
      output_fatal(VL_DEFAULT, "Failed to get the file(%s) size.\n", filepath);
    }
  }
  const bool whole_marker =
      m_type == VOL1_LABEL || m_type == QRT_LABEL || m_type == RCM || m_type == PR;
  const bool last_rcm = m_type == RCM && std::string_view(filepath) == cache_file("RCM_1");
  std::string rcm_bytes;  // the last commit marker as read, for its bucket list
  uint64_t readed_size = 0;
  bool identifier_flg = true;
  bool top_flg = true;
  std::vector<uint8_t>& block = cursor.block;
  std::vector<uint8_t> file_bytes;
  while (true) {
    uint32_t count = 0;
    if (m_type == META && top_flg && use_block_in_memory) {
      // The metadata starts in the block read last: it is taken from memory, not read again.
      use_block_in_memory = false;
      count = cursor.last_count;
    } else if (cursor_read(&count) != 0) {
      if (check_fm_next_to_marker(1, 1) != 0) {
        output_fatal(VL_DEFAULT, "Failed to read data from tape.\n");
      }
      ST_SPTI_CMD_POSITIONDATA pos{};
      cursor_read_position(&pos);
      cursor_locate(pos.blockNumber == 0 ? 0 : pos.blockNumber - 1);
      if (file_size != readed_size) {
        ret |= output_accdg_to_vl(
            LV_ERROR, VL_DEFAULT,
            "The size is different between the marker on the data partition and the marker "
            "file(%s).\n%sThe size of the marker on the data partition:%d\n%sThe size of the "
            "marker file                 :%d\n",
            filepath, INDENT, static_cast<int>(readed_size), INDENT, static_cast<int>(file_size));
      }
      break;
    }
    if (m_type == META) {
      ret |= process_object(filepath, pr_file_offset, block, count, offset, read_size);
      break;
    }
    if (read_marker_file_flag == 1) {
      file_bytes.assign(block_size, 0);
      const uint64_t left =
          file_size > pr_file_offset + readed_size ? file_size - (pr_file_offset + readed_size) : 0;
      read_marker_file(std::min<uint64_t>(block_size, left), pr_file_offset + readed_size, filepath,
                       reinterpret_cast<char*>(file_bytes.data()));
    }
    readed_size += count;
    if (whole_marker) {
      if (read_marker_file_flag == 1 && std::memcmp(block.data(), file_bytes.data(), count) != 0) {
        ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                  "The data partition is inconsistent with marker file(%d:%s).\n",
                                  static_cast<int>(m_type), filepath);
      }
      if (last_rcm && rcm_bytes.size() < kMaxRcmKept) {
        rcm_bytes.append(reinterpret_cast<const char*>(block.data()), count);
      }
      top_flg = false;
      continue;
    }
    // Object commit marker or packed object header and directory.
    if (identifier_flg) {
      const char* identifier = m_type == OCM ? LEVEL2_IDENTIFIER : LEVEL1_IDENTIFIER;
      if (count < MARKER_IDENTIFIER_SIZE ||
          std::memcmp(block.data(), identifier, MARKER_IDENTIFIER_SIZE) != 0) {
        ret |= output_accdg_to_vl(LV_ERROR, VL_OCM,
                                  m_type == OCM ? "The object commit marker identifier on the "
                                                  "data partition is not correct.\n"
                                                : "The packed object identifier on the data "
                                                  "partition is not correct.\n");
      }
      if (m_type == PO && count >= 88) take_bucket_of_packed_object(block.data() + 72, true);
      const uint64_t id_size = std::min<uint64_t>(MARKER_IDENTIFIER_SIZE, count);
      readed_size -= id_size;
      count -= static_cast<uint32_t>(id_size);
      identifier_flg = false;
    }
    const uint64_t start = top_flg ? offset : 0;
    const uint64_t needed = read_size + count - readed_size;
    const uint64_t n = std::min<uint64_t>(needed, start < block_size ? block_size - start : 0);
    if (read_marker_file_flag == 1 &&
        std::memcmp(block.data() + start, file_bytes.data(), static_cast<size_t>(n)) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                "The data partition is inconsistent with marker file(%d:%s).\n",
                                static_cast<int>(m_type), filepath);
    }
    top_flg = false;
    if (readed_size >= read_size) {
      if (m_type == OCM && readed_size != read_size) {
        ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                  "The data partition is inconsistent with marker file(%d:%s).\n",
                                  static_cast<int>(m_type), filepath);
      }
      break;
    }
  }
  if (last_rcm) take_bucket_list(rcm_bytes);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_diff_btwn_file_and_tape(%s)\n", filepath);
  return ret;
}

namespace {

// Writes the list entry of the object just processed (list making).
int write_list_entry(uint64_t block_number, uint64_t offset, uint64_t marker_len) {
  int ret = 0;
  if (!safe_path_part(bucket_name_for_obj_r, false) || bucket_name_for_obj_r.empty()) {
    object_meta_for_json.clear();
    return output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                              "The bucket name (%s) cannot name a list file. The object is not "
                              "listed.\n",
                              bucket_name_for_obj_r.c_str());
  }
  ret |= make_key_ulong_int_value_pairs(object_meta_for_json, "block_address", po_block_address);
  ret |= make_key_ulong_int_value_pairs(object_meta_for_json, "offset",
                                        (block_number - po_block_address) * block_size + offset);
  ret |= make_key_ulong_int_value_pairs(object_meta_for_json, "meta_size", marker_len);
  char list_path[4097 + 200];
  std::snprintf(list_path, sizeof(list_path), "%s/%s/%s_%04d.lst", obj_reader_saveroot, barcode_id,
                bucket_name_for_obj_r.c_str(), savepath_dir_number);
  int new_list_flag = 0;
  if (!has_pre_list_entry || pre_bucket_name_for_obj_r != bucket_name_for_obj_r ||
      pre_savepath_dir_number != savepath_dir_number) {
    make_parent_dir(list_path);
    if (fp_list != nullptr) {
      std::fclose(fp_list);
      fp_list = nullptr;
    }
    new_list_flag = file_exists(list_path) ? 0 : 1;
    if (savepath_dir_number <= kMaxDirNumber) {
      fp_list = std::fopen(list_path, "a");
      if (fp_list == nullptr) {
        output_fatal(VL_DEFAULT, "Can't open file: %s\n", list_path);
      }
    }
  }
  if (savepath_dir_number <= kMaxDirNumber && fp_list != nullptr) {
    ret |= add_key_value_pairs_to_array_in_json_file(new_list_flag, fp_list, list_path,
                                                     object_meta_for_json);
  }
  pre_bucket_name_for_obj_r = bucket_name_for_obj_r;
  pre_savepath_dir_number = savepath_dir_number;
  has_pre_list_entry = true;
  object_meta_for_json.clear();
  return ret;
}

}  // namespace

int check_part_of_pr_integrity(MARKER_TYPE m_type, uint64_t block_number, uint64_t offset,
                               uint64_t pr_file_num, uint64_t pr_file_offset, uint64_t marker_len) {
  output_accdg_to_vl(LV_TRACE, VL_PR, "start:check_part_of_pr_integrity\n");
  output_accdg_to_vl(
      LV_TRACE, VL_MISC, "%s:%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 "\n",
      get_marker_name(m_type), block_number, offset, pr_file_num, pr_file_offset, marker_len);
  int ret = 0;
  uint64_t actual = 0;
  // The walk follows the tape's position itself (every read, locate and space), so it asks the
  // drive only when it does not know: one round trip fewer for every marker.
  if (m_type == META) {
    const uint64_t p = tape_position();
    if (cursor.last_valid && cursor.last_number == block_number && p == block_number + 1) {
      use_block_in_memory = true;
    } else if (p != block_number) {
      cursor_locate(block_number);
    }
    actual = block_number;
    if (sequential_read_flag == 1 && actual + 1 < p) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                                "The position of the meta on the data partition is not correct.\n");
    }
  } else {
    if (m_type == PO && po_tail_unread) {
      // The data of the last object was not read to its end: the tape does not stand at the end
      // of the packed object before this one.
      if (tape_position() != block_number) cursor_locate(block_number);
      po_tail_unread = false;
    }
    if (m_type == OCM) {
      if (po_tail_unread && block_number > 0) {
        // The data of the last object was not read to its end: stand at the end of the packed
        // object again, where the filemark must be.
        if (tape_position() != block_number - 1) cursor_locate(block_number - 1);
        po_tail_unread = false;
      }
      if (check_fm_next_to_marker(1, 0) != 0) {
        ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                                  "There is no file mark just before the object commit marker.\n");
      }
      num_of_meta_cnt = 0;
    }
    actual = tape_position();
  }
  if (actual != block_number) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                              "The actual position %" PRIu64
                              " of the %s on the data partition is "
                              "different from expected value %" PRIu64 ".\n",
                              actual, get_marker_name(m_type), block_number);
  }
  char file[256];
  std::snprintf(file, sizeof(file), "%s%s%s%" PRIu64, "reference_partition", "/", "PR_",
                pr_file_num);
  if (m_type == PO) {
    get_last_data_offset(file, pr_file_offset, marker_len);
    num_of_meta_cnt = 0;
    // The bucket as the cached copy of the header names it, in case the header on tape cannot
    // be read: its objects are then still written under their own bucket, never under the
    // bucket of the packed object before.
    char bucket_id[16] = {};
    read_marker_file(sizeof(bucket_id), pr_file_offset + 40, file, bucket_id);
    take_bucket_of_packed_object(reinterpret_cast<const uint8_t*>(bucket_id), false);
  }
  if (m_type == META) {
    num_of_meta_cnt += 1;
    if (mode_is("output_list")) object_meta_for_json.clear();
  }
  const int diff = check_diff_btwn_file_and_tape(m_type, file, marker_len, offset, pr_file_offset);
  use_block_in_memory = false;
  if (diff != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_MISC,
                              "The data partition is inconsistent with marker file(%s).\n", file);
  }
  if (mode_is("output_list") && m_type == META && !object_meta_for_json.empty()) {
    ret |= write_list_entry(block_number, offset, marker_len);
  }
  if (m_type == OCM && check_fm_next_to_marker(1, 0) != 0) {
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
  char volume[7] = {};
  read_marker_file(6, 4, cache_file("VOL1Label").c_str(), volume);
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

int check_integrity(const MamVci* mamvci, const MamHta* mamhta, const char* mode, int fd,
                    const char* save_path, const char* tape_id, object_list* object_chain,
                    const char* bucket_name) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:check_integrity\n");
  int ret = 0;
  skip_0_padding_check_flag = 0;
  object_errors = 0;
  int first_locate_flag = get_marker_file_flg() != 0 ? 1 : 0;
  std::snprintf(obj_r_mode, sizeof(obj_r_mode), "%s", mode);
  scparam.fd_scsidevice = fd;
  std::snprintf(obj_reader_saveroot, sizeof(obj_reader_saveroot), "%s", save_path);
  std::snprintf(barcode_id, sizeof(barcode_id), "%s", tape_id);
  forget_position();
  if (mode_is("output_objects_in_object_list")) {
    objects = object_chain;
    bucket_name_for_obj_r = bucket_name == nullptr ? "" : bucket_name;
    skip_0_padding_check_flag = 1;
    savepath_dir_number = 0;
    savepath_sub_dir_number = 0;
  } else {
    if (mode_is("resume_dump")) skip_0_padding_check_flag = 1;
    free_bucket_info_4_obj_reader(&bucket_infos);
    initialize_bucket_info_4_obj_reader(&bucket_infos, obj_reader_saveroot);
  }

  if (mode_is("output_objects_in_object_list")) {
    read_marker_file_flag = 0;
    sequential_read_flag = 0;
    meta_offset_known = false;
    cursor_head(1);
    for (const object_list* record = objects; record != nullptr; record = record->next) {
      ret |=
          check_part_of_pr_integrity(META, record->block_address + record->meta_offset / block_size,
                                     record->meta_offset % block_size, 0, 0, record->metadata_size);
    }
    return ret | object_errors;
  }

  read_marker_file_flag = 1;
  sequential_read_flag = 1;
  if (marker_file_flg == 0) {
    uint64_t total_fm_rp = 0;
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
    if (check_fm_num(total_fm_rp, pr_num, 0) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_MISC, "Total number of filemarks is not correct.\n");
    }
  }
  get_pr_num(&pr_num);
  ocm_num = 0;
  po_num = 0;
  meta_num = 0;
  get_ocm_po_meta_num(static_cast<int>(pr_num), &ocm_num, &po_num, &meta_num);
  output_accdg_to_vl(LV_DEBUG, VL_PR,
                     "check_integrity: pr_num=%" PRIu64 " ocm_num=%" PRIu64 " po_num=%" PRIu64
                     " meta_num=%" PRIu64 "\n",
                     pr_num, ocm_num, po_num, meta_num);
  uint64_t total_fm_dp = 0;
  if (check_last_rcm_integrity(1, mamvci, mamhta, &total_fm_dp) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "The last reference commit marker format is not correct.\n");
  }
  if (marker_file_flg == 0) {
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
  }
  ret |= get_tape_identifier(scparam.fd_scsidevice, barcode_id);

  uint64_t pr_cnt = 1;
  uint64_t ocm_cnt = 1;
  uint64_t po_cnt = 1;
  uint64_t meta_cnt = 1;
  if (mode_is("resume_dump")) {
    if (get_history(barcode_id, &pr_cnt, &ocm_cnt, &po_cnt, &meta_cnt) != 0) {
      output_fatal(VL_COMMON, "There is no history file.\n%sTry full dump.\n", INDENT);
    }
    if (pr_cnt != 1 || ocm_cnt != 1 || po_cnt != 1 || meta_cnt != 1) first_locate_flag = 1;
  }
  has_pre_list_entry = false;
  po_tail_unread = false;
  while (pr_cnt <= pr_num || ocm_cnt <= ocm_num || po_cnt <= po_num || meta_cnt <= meta_num) {
    output_accdg_to_vl(LV_TRACE, VL_MISC,
                       "pr:%" PRIu64 ",%" PRIu64 " ocm:%" PRIu64 ",%" PRIu64 " po:%" PRIu64
                       ",%" PRIu64 " meta:%" PRIu64 ",%" PRIu64 "\n",
                       pr_cnt, pr_num, ocm_cnt, ocm_num, po_cnt, po_num, meta_cnt, meta_num);
    MARKER_TYPE m_type = META;
    get_next_marker(pr_cnt, ocm_cnt, po_cnt, meta_cnt, pr_num, ocm_num, po_num, meta_num, &m_type);
    uint64_t block_number = 0;
    uint64_t offset = 0;
    uint64_t file_num = 0;
    uint64_t file_offset = 0;
    uint64_t length = 0;
    if (m_type == PR) {
      get_address_of_pr(static_cast<int>(pr_cnt), &block_number, &offset);
      if (first_locate_flag == 1) {
        cursor_locate(block_number);
        first_locate_flag = 0;
      }
      ST_SPTI_CMD_POSITIONDATA pos{};
      cursor_read_position(&pos);
      if (pos.blockNumber != block_number) {
        ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                                  "The position of the partial reference on the data partition is "
                                  "not correct.\n");
      }
      if (check_pr_integrity(1, mamvci, static_cast<int>(pr_cnt - 1), pr_cnt == pr_num ? 1 : 0) !=
          0) {
        ret |=
            output_accdg_to_vl(LV_ERROR, VL_PR, "The partial reference format is not correct.\n");
      }
      output_accdg_to_vl(LV_TRACE, VL_MISC, "pr   : %" PRIu64 ",%" PRIu64 "\n", block_number,
                         offset);
      pr_cnt += 1;
      continue;
    }
    const uint64_t number = m_type == OCM ? ocm_cnt : m_type == PO ? po_cnt : meta_cnt;
    get_address_of_marker(m_type, number, &block_number, &offset, &file_num, &file_offset, &length);
    if (first_locate_flag == 1) {
      if (m_type != META) cursor_locate(block_number);
      first_locate_flag = 0;
    }
    if (m_type == PO && mode_is("output_list")) po_block_address = block_number;
    if (m_type == META) {
      // Where the metadata lies in its packed object, for the bound of the object's data.
      meta_offset_known = true;
      const uint64_t p = po_of_meta(meta_cnt - 1);
      const PoDirectory& dir = po_directory(p);
      current_meta_offset =
          dir.meta_offset[static_cast<size_t>(meta_cnt - 1 - po_index[p].first_meta)];
    }
    if (check_part_of_pr_integrity(m_type, block_number, offset, file_num, file_offset, length) !=
        0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_PR, "The partial reference format is not correct.\n");
    }
    if (m_type == OCM) {
      ocm_cnt += 1;
    } else if (m_type == PO) {
      // Only dumps record where they stand: the history is where a resumed dump starts, and a
      // list run in between must not move it past objects that were never written.
      if (!mode_is("output_list")) {
        ret |= output_history(barcode_id, pr_cnt, ocm_cnt, po_cnt, meta_cnt);
      }
      po_cnt += 1;
    } else {
      meta_cnt += 1;
    }
  }
  if (fp_list != nullptr) {
    std::fclose(fp_list);
    fp_list = nullptr;
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_integrity\n");
  return ret | object_errors;
}

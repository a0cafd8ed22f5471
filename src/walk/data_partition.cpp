// The data partition compared with the marker cache, marker by marker: each partial reference,
// object commit marker and packed object read block by block against its copy in the cached
// partial references (or the labels and commit markers against their cache files), each object's
// metadata located and handed to the extraction; the bucket list and the bucket of the packed
// object in hand; the damage met on the way.
#include <sys/stat.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "endian_utils.h"
#include "marker_layout.h"
#include "output_level.h"
#include "walk/walk.h"
#include "walk/walk_steps.h"

namespace ml = marker_layout;
using namespace walk;

namespace {

constexpr size_t kMaxRcmKept = ml::kMaxRcmBytes;  // bytes of a commit marker kept for its list
constexpr size_t kMaxBucketName = 63;

// Block `block` could not be read: it is reported once, naming the objects with bytes in it.
void report_damage(Walk& w, uint64_t block, int tries) {
  w.data.damage.add(block);
  const std::vector<walk::LostObject> lost = walk::objects_in_block(
      w.data.index, packed_object_places(w), w.data.buckets, w.tape.block_size, block);
  std::string names;
  for (const walk::LostObject& object : lost) names += "\n" + std::string(INDENT) + object.text;
  output_accdg_to_vl(
      LV_ERROR, VL_COMMON,
      "Block %" PRIu64 " of the data partition cannot be read (%d tries).%s%s\n", block, tries,
      lost.empty() ? "" : " The objects with bytes in it are not written:", names.c_str());
}

}  // namespace

namespace walk {

// The bucket list of the last reference commit marker on the data partition: the data-length
// bytes at byte 32 + data offset of the marker as read from the tape.
void take_bucket_list(Walk& w, const std::string& rcm) {
  if (rcm.size() < ml::kRcmMarkerCount) {
    w.tape.bucket_list.clear();
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
    w.tape.bucket_list = start < rcm.size() ? rcm.substr(static_cast<size_t>(start)) : "";
  } else {
    w.tape.bucket_list = rcm.substr(static_cast<size_t>(start), static_cast<size_t>(data_length));
  }
  // The list is text: it ends at its first zero byte.
  w.tape.bucket_list.resize(std::strlen(w.tape.bucket_list.c_str()));
  w.data.buckets.take(w.tape.bucket_list);
}

// The bucket of a packed object: its bucket ID (16 bytes) looked up in the bucket list. A bucket
// that the list does not name keeps its objects apart under the ID text; `report` says whether
// that is reported.
void take_bucket_of_packed_object(Walk& w, const uint8_t* bucket_id, bool report) {
  uuid_unparse(bucket_id, w.in_hand.bucket_id);
  const walk::BucketNames& buckets = w.data.buckets;
  std::string name = buckets.name_of(w.in_hand.bucket_id).value_or("");
  if (name.empty()) {
    if (report && !buckets.refused(w.in_hand.bucket_id)) {
      output_accdg_to_vl(LV_ERROR, VL_POINFO,
                         "The bucket (%s) of the packed object is not in the bucket list.\n",
                         w.in_hand.bucket_id);
    }
    name = w.in_hand.bucket_id;
  }
  if (name.size() > kMaxBucketName) name.resize(kMaxBucketName);
  w.in_hand.bucket_name = name;
  add_bucket_info_4_obj_reader(&w.out.numbering, w.in_hand.bucket_name.c_str(), 0, 1, 1);
}

// Reads the block at the tape position of the data partition into the cursor's buffer, with the
// tries of --read-retries. A block that stays unreadable is reported once as damage (a block
// already known as such is not read again), and the tape stands just past it.
Got walk_read(Walk& w, uint32_t* count) {
  const uint64_t at = w.cursor().position();
  if (w.data.damage.contains(at)) {
    if (!w.data.damage.beyond_end(at + 1)) w.cursor().locate(at + 1);
    return Got::damage;
  }
  int tries = 0;
  const Got got = read_with_retries(w, 1, count, &tries);
  if (got == Got::damage) report_damage(w, at, tries);
  return got;
}

// Reads the block after the current one for an object or its metadata into the cursor's buffer.
// A read that stops neither at a block nor at a confirmed filemark ends the run; damage is
// returned for the caller to give up the object.
Got read_following_block(Walk& w, uint32_t* count) {
  const Got got = walk_read(w, count);
  if (got != Got::filemark) return got;
  if (check_fm_next_to_marker(w, 1, 1) != 0) {
    output_fatal(VL_DEFAULT, "Failed to read data from tape.\n");
  }
  return Got::filemark;
}

// The object being visited cannot be read: its block was found damaged (and reported, naming it).
void record_lost_object(Walk& w) {
  ObjectFields f;
  f.size_known = false;
  f.named_from_cache = true;
  if (w.in_hand.meta >= w.data.index.object_count()) {
    record_object(w, f, run_record::Outcome::lost, {});
    return;
  }
  // Named from the cache: the packed object whose header was read last may be another bucket's.
  const walk::ObjectName name = walk::name_object(w.data.index, w.data.buckets, w.in_hand.meta);
  f.key = name.key;
  f.id = name.object_id;
  f.version_id = name.version;
  f.size = name.size.value_or(0);
  f.size_known = name.size.has_value();
  record_object(w, f, run_record::Outcome::lost, {}, &name.bucket);
}

// The last reference commit marker as the reference partition holds it (its cached copy).
std::string cached_last_rcm(Walk& w) {
  const walk::CacheFile& rcm = w.cache.files.open(rcm_cache_file(1));
  std::string bytes(static_cast<size_t>(std::min<uint64_t>(rcm.size(), kMaxRcmKept)), '\0');
  rcm.read(0, bytes.data(), bytes.size());
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "The bucket list is taken from the last reference commit marker of the "
                     "reference partition.\n");
  return bytes;
}

}  // namespace walk

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
uint64_t cache_file_size(Walk& w, const char* filepath) {
  if (w.cache.read_marker_file_flag == 1) {
    if (const walk::CacheFile* open = w.cache.files.find(filepath)) return open->size();
    struct stat status {};
    if (stat(filepath, &status) != 0) {
      output_fatal(VL_DEFAULT, "Failed to get the file(%s) size.\n", filepath);
    }
    return w.cache.files.open(filepath).size();
  }
  struct stat status {};
  return stat(filepath, &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
}

// A read met the end of the marker: it must be a filemark. The tape is put back in front of it,
// and the size read is compared with the copy's.
int end_of_marker(Walk& w, const MarkerComparison& c) {
  if (check_fm_next_to_marker(w, 1, 1) != 0) {
    output_fatal(VL_DEFAULT, "Failed to read data from tape.\n");
  }
  if (c.type == META || c.type == PO) {
    // The walk goes on from the filemark itself.
    ST_SPTI_CMD_POSITIONDATA pos{};
    w.cursor().read_position(&pos);
    w.cursor().locate(pos.blockNumber == 0 ? 0 : pos.blockNumber - 1);
  } else {
    // The filemark check that follows a label or commit marker takes the filemark just read.
    w.cache.filemark_read_at = w.cursor().position();
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
void read_copy_block(Walk& w, MarkerComparison& c) {
  if (w.cache.read_marker_file_flag != 1) return;
  c.file_bytes.assign(w.tape.block_size, 0);
  const uint64_t at = c.pr_file_offset + c.readed_size;
  const uint64_t left = c.file_size > at ? c.file_size - at : 0;
  read_marker_file(w, std::min<uint64_t>(w.tape.block_size, left), at, c.filepath,
                   reinterpret_cast<char*>(c.file_bytes.data()));
}

// A label, reference commit marker or partial reference: every byte read is compared.
int compare_whole_marker_block(Walk& w, MarkerComparison& c, std::span<const uint8_t> block,
                               uint32_t count) {
  int ret = 0;
  if (w.cache.read_marker_file_flag == 1 &&
      std::memcmp(block.data(), c.file_bytes.data(), count) != 0) {
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
int compare_info_block(Walk& w, MarkerComparison& c, std::span<const uint8_t> block, uint32_t count,
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
      take_bucket_of_packed_object(w, block.data() + ml::kIdentifierSize + ml::kPoInfoBucketId,
                                   true);
    }
    const uint64_t id_size = std::min<uint64_t>(ml::kIdentifierSize, count);
    c.readed_size -= id_size;
    count -= static_cast<uint32_t>(id_size);
    c.identifier_pending = false;
  }
  const uint64_t start = c.top ? c.offset : 0;
  const uint64_t needed = c.read_size + count - c.readed_size;
  const uint64_t n =
      std::min<uint64_t>(needed, start < w.tape.block_size ? w.tape.block_size - start : 0);
  if (w.cache.read_marker_file_flag == 1 &&
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

// A marker of the data partition that meets damage cannot be compared with its copy: said once,
// and the checks of its filemarks, which the damage makes impossible, are passed over.
void report_marker_damage(Walk& w, MARKER_TYPE m_type, const char* filepath) {
  w.in_hand.marker_damaged = true;
  w.in_hand.po_tail_unread = true;  // the tape does not stand where the marker ends
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

// Reads the object whose metadata starts at byte `offset` of the block at the tape position (or of
// the block read last, when `block_in_memory`), then processes it. The tape's standing at the end
// of the object is recorded for the next marker.
int check_object(Walk& w, const char* filepath, uint64_t read_size, uint64_t offset,
                 uint64_t pr_file_offset, bool block_in_memory) {
  MarkerComparison c;
  c.type = META;
  c.filepath = filepath;
  c.file_size = cache_file_size(w, filepath);
  uint32_t count = 0;
  // The metadata that starts in the block read last is taken from memory, not read again.
  if (!block_in_memory) {
    const Got got = walk_read(w, &count);
    if (got == Got::filemark) return end_of_marker(w, c);
    if (got == Got::damage) {
      record_lost_object(w);
      w.in_hand.po_tail_unread = true;
      return 0;
    }
  }
  bool read_to_end = false;
  const int ret = process_object(w, filepath, pr_file_offset, offset, read_size, &read_to_end);
  w.in_hand.po_tail_unread = !read_to_end;
  return ret;
}

// Compares the marker at the tape position with its cached copy, or processes the object whose
// metadata starts there (in the block read last, when `block_in_memory`).
int compare_with_copy(Walk& w, MARKER_TYPE m_type, const char* filepath, uint64_t read_size,
                      uint64_t offset, uint64_t pr_file_offset, bool block_in_memory) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:check_diff_btwn_file_and_tape(%s)\n", filepath);
  int ret = 0;
  if (m_type == META) {
    ret |= check_object(w, filepath, read_size, offset, pr_file_offset, block_in_memory);
    output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_diff_btwn_file_and_tape(%s)\n", filepath);
    return ret;
  }
  MarkerComparison c;
  c.type = m_type;
  c.filepath = filepath;
  c.read_size = read_size;
  c.offset = offset;
  c.pr_file_offset = pr_file_offset;
  c.file_size = cache_file_size(w, filepath);
  c.last_rcm = m_type == RCM && std::string_view(filepath) == rcm_cache_file(1);
  const bool whole_marker =
      m_type == VOL1_LABEL || m_type == QRT_LABEL || m_type == RCM || m_type == PR;
  for (bool done = false; !done;) {
    uint32_t count = 0;
    const Got got = walk_read(w, &count);
    if (got == Got::damage) {
      report_marker_damage(w, m_type, filepath);
      break;
    }
    if (got == Got::filemark) {
      ret |= end_of_marker(w, c);
      break;
    }
    read_copy_block(w, c);
    c.readed_size += count;
    if (whole_marker) {
      ret |= compare_whole_marker_block(w, c, w.cursor().block(), count);
    } else {
      ret |= compare_info_block(w, c, w.cursor().block(), count, &done);
    }
  }
  if (c.last_rcm) take_bucket_list(w, w.in_hand.marker_damaged ? cached_last_rcm(w) : c.rcm_bytes);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_diff_btwn_file_and_tape(%s)\n", filepath);
  return ret;
}

}  // namespace

int check_diff_btwn_file_and_tape(Walk& w, MARKER_TYPE m_type, const char* filepath,
                                  uint64_t read_size, uint64_t offset, uint64_t pr_file_offset) {
  return compare_with_copy(w, m_type, filepath, read_size, offset, pr_file_offset, false);
}

namespace {

// Brings the tape to where metadata starting in block `block_number` is read: it stays where it
// is when the metadata starts in the block just read (`*in_memory`) or in the next one. Returns
// the block the metadata is read from and reports a metadata found behind the tape.
uint64_t stand_at_metadata(Walk& w, uint64_t block_number, bool* in_memory, int* ret) {
  const uint64_t p = w.cursor().position();
  *in_memory = w.cursor().holds_block(block_number);
  if (!*in_memory && p != block_number) w.cursor().locate(block_number);
  if (w.cache.sequential_read_flag == 1 && block_number + 1 < p) {
    *ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                               "The position of the meta on the data partition is not correct.\n");
  }
  return block_number;
}

// Brings the tape to the start of a packed object or object commit marker at `block_number`, when
// the data of the last object was not read to its end, and checks the filemark before a commit
// marker. Returns the block where the tape stands.
uint64_t stand_at_marker(Walk& w, MARKER_TYPE m_type, uint64_t block_number, int* ret) {
  if (m_type == PO && w.in_hand.po_tail_unread) {
    // The tape does not stand at the end of the packed object before this one.
    if (w.cursor().position() != block_number) w.cursor().locate(block_number);
    w.in_hand.po_tail_unread = false;
  }
  if (m_type == OCM) {
    if (w.in_hand.po_tail_unread && block_number > 0) {
      // Stand at the end of the packed object again, where the filemark must be.
      if (w.cursor().position() != block_number - 1) w.cursor().locate(block_number - 1);
      w.in_hand.po_tail_unread = false;
    }
    if (check_fm_next_to_marker(w, 1, 0) != 0) {
      *ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                                 "There is no file mark just before the object commit marker.\n");
    }
    w.counts.num_of_meta_cnt = 0;
  }
  return w.cursor().position();
}

// A packed object begins: the bounds of its data area, and its bucket as the cached copy of its
// header names it, in case the header on tape cannot be read: its objects are then still written
// under their own bucket, never under the bucket of the packed object before.
void begin_packed_object(Walk& w, const std::string& file, uint64_t pr_file_offset,
                         uint64_t marker_len) {
  get_last_data_offset(w, file.c_str(), pr_file_offset, marker_len);
  w.counts.num_of_meta_cnt = 0;
  char bucket_id[ml::kUuidSize] = {};
  read_marker_file(w, sizeof(bucket_id), pr_file_offset + ml::kPoInfoBucketId, file.c_str(),
                   bucket_id);
  take_bucket_of_packed_object(w, reinterpret_cast<const uint8_t*>(bucket_id), false);
}

}  // namespace

int check_part_of_pr_integrity(Walk& w, MARKER_TYPE m_type, uint64_t block_number, uint64_t offset,
                               uint64_t pr_file_num, uint64_t pr_file_offset, uint64_t marker_len) {
  output_accdg_to_vl(LV_TRACE, VL_PR, "start:check_part_of_pr_integrity\n");
  output_accdg_to_vl(
      LV_TRACE, VL_MISC, "%s:%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 "\n",
      get_marker_name(m_type), block_number, offset, pr_file_num, pr_file_offset, marker_len);
  int ret = 0;
  w.in_hand.marker_damaged = false;
  // The walk follows the tape's position itself (every read, locate and space), so it asks the
  // drive only when it does not know: one round trip fewer for every marker.
  bool in_memory = false;
  const uint64_t actual = m_type == META ? stand_at_metadata(w, block_number, &in_memory, &ret)
                                         : stand_at_marker(w, m_type, block_number, &ret);
  if (actual != block_number) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                              "The actual position %" PRIu64
                              " of the %s on the data partition is "
                              "different from expected value %" PRIu64 ".\n",
                              actual, get_marker_name(m_type), block_number);
  }
  const std::string file = pr_cache_file(pr_file_num);
  if (m_type == PO) begin_packed_object(w, file, pr_file_offset, marker_len);
  if (m_type == META) {
    w.in_hand.block = block_number;
    w.in_hand.offset = offset;
    w.in_hand.meta_length = marker_len;
    w.counts.num_of_meta_cnt += 1;
    if (w.mode_is(walk::Mode::output_list)) w.in_hand.list_entry.clear();
  }
  const int diff =
      compare_with_copy(w, m_type, file.c_str(), marker_len, offset, pr_file_offset, in_memory);
  if (diff != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_MISC,
                              "The data partition is inconsistent with marker file(%s).\n",
                              file.c_str());
  }
  if (w.mode_is(walk::Mode::output_list) && m_type == META && !w.in_hand.list_entry.empty()) {
    ret |= write_list_entry(w, block_number, offset, marker_len);
  }
  if (m_type == OCM && !w.in_hand.marker_damaged && check_fm_next_to_marker(w, 1, 0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "There is no file mark at the end of the object commit marker.\n");
  }
  output_accdg_to_vl(LV_TRACE, VL_PR, "end  :check_part_of_pr_integrity\n");
  return ret;
}

// The walk driver: check_integrity and its loop over the data partition. It checks the reference
// partition a second time, counts the markers, compares the labels and commit markers of the data
// partition with the cache, and then visits every partial reference, object commit marker, packed
// object and object in tape order, recording where a dump stands; a retrieval visits only the
// objects it selected. The passes it drives live in src/walk/ (see walk/walk.h).
#include <unistd.h>

#include <charconv>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "marker_layout.h"
#include "output_level.h"
#include "support/printable.h"
#include "support/run_record.h"
#include "support/status_line.h"
#include "support/stop_signal.h"
#include "walk/object_sink.h"
#include "walk/progress.h"
#include "walk/walk.h"
#include "walk/walk_steps.h"

namespace ml = marker_layout;
using namespace walk;

int get_tape_identifier(Walk& w, char* tape_id) {
  char gen[2] = {};
  const int ret = get_tape_generation(w.drive().param(), gen);
  constexpr uint64_t kVolumeIdentifier = 4;  // and 6 characters long, in the VOL1 label
  char volume[7] = {};
  read_marker_file(w, 6, kVolumeIdentifier, marker_cache_file(CACHE_VOL1_LABEL).c_str(), volume);
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

// Prepares the walk of the setup's job: the save path entered, what an earlier walk over the data
// partition found forgotten, the checks of the mode, and the numbering of the buckets already in
// the save path.
void begin_walk(Walk& w) {
  w.begin_data_walk();
  const std::string& save_path = w.setup().save_path;
  w.out.save_root = SafeDir::root(save_path);
  char canonical[PATH_MAX];
  w.out.save_path = realpath(save_path.c_str(), canonical) != nullptr ? canonical : save_path;
  w.cache.skip_0_padding_check_flag = 0;
  if (w.mode_is(Mode::output_objects_in_object_list)) {
    w.in_hand.bucket_name = w.setup().selection.bucket;
    w.cache.skip_0_padding_check_flag = 1;
    w.in_hand.savepath_dir_number = 0;
    w.in_hand.savepath_sub_dir_number = 0;
  } else {
    if (w.mode_is(Mode::resume_dump)) w.cache.skip_0_padding_check_flag = 1;
    free_bucket_info_4_obj_reader(&w.out.numbering);
    initialize_bucket_info_4_obj_reader(&w.out.numbering, save_path.c_str());
  }
}

// A retrieval: the metadata and data of the listed objects, each located directly.
int retrieve_listed_objects(Walk& w) {
  int ret = 0;
  w.cache.read_marker_file_flag = 0;
  w.cache.sequential_read_flag = 0;
  w.in_hand.meta_offset_known = false;
  w.cursor().head(1);
  for (const object_list* record = w.setup().selection.objects; record != nullptr;
       record = record->next) {
    w.in_hand.expected = record;
    w.in_hand.bucket_name =
        record->bucket[0] != '\0' ? record->bucket : w.setup().selection.bucket;
    ret |= check_part_of_pr_integrity(
        w, META, record->block_address + record->meta_offset / w.tape.block_size,
        record->meta_offset % w.tape.block_size, 0, 0, record->metadata_size);
  }
  w.in_hand.expected = nullptr;
  settle_objects(w);
  return ret;
}

// The second pass over the reference partition: the partial references are copied into the cache
// and checked, with the filemarks of the partition.
int recheck_reference_partition(Walk& w, const MamVci* mamvci, const MamHta* mamhta) {
  int ret = 0;
  uint64_t total_fm_rp = 0;
  // The first pass read the whole partition: this one is served from what it read.
  w.drive().replay_reference_partition(true);
  if (check_reference_partition_lable(w, mamvci, mamhta, &total_fm_rp) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                              "Data stored in Reference Partition is not complying with "
                              "Quorrant.\n");
  }
  output_accdg_to_vl(LV_DEBUG, VL_PR, "check_integrity: pr_num=%" PRIu64 "\n", w.tape.pr_num);
  for (uint64_t k = 0; k < w.tape.pr_num; ++k) {
    if (check_pr_integrity(w, 0, mamvci, static_cast<int>(k), k + 1 == w.tape.pr_num ? 1 : 0) !=
        0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_PR, "Partial reference format is not correct.\n");
    }
  }
  w.drive().replay_reference_partition(false);
  if (check_fm_num(total_fm_rp, w.tape.pr_num, 0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_MISC, "Total number of filemarks is not correct.\n");
  }
  return ret;
}

// The objects and their bytes over the tape, for the progress: the bytes of a packed object's data
// are its length (the closing entry's data offset) less its info (header, directory, metadata).
void count_totals(Walk& w) {
  const MarkerIndex& index = w.data.index;
  w.counts.objects_total = index.object_count();
  w.counts.bytes_total = 0;
  w.data.places.clear();
  for (const PoEntry& po : index.pos()) {
    const CacheFile& pr = w.cache.files.open(pr_cache_file(index.ocms()[po.ocm].pr));
    const uint64_t closing = po.info_offset + ml::kPoInfoHeaderSize +
                             ml::kObjectEntrySize * po.object_count + ml::kObjectEntryDataOffset;
    const uint64_t length = pr.u64(closing);
    if (length > po.length) w.counts.bytes_total += length - po.length;
    w.data.places.push_back({UINT64_MAX, ml::kIdentifierSize + length});  // block: later
  }
}

// The totals of partial references, object commit markers, packed objects and objects.
void count_markers(Walk& w) {
  get_pr_num(w, &w.tape.pr_num);
  w.counts.ocm_num = 0;
  w.counts.po_num = 0;
  w.counts.meta_num = 0;
  get_ocm_po_meta_num(w, static_cast<int>(w.tape.pr_num), &w.counts.ocm_num, &w.counts.po_num,
                      &w.counts.meta_num);
  output_accdg_to_vl(LV_DEBUG, VL_PR,
                     "check_integrity: pr_num=%" PRIu64 " ocm_num=%" PRIu64 " po_num=%" PRIu64
                     " meta_num=%" PRIu64 "\n",
                     w.tape.pr_num, w.counts.ocm_num, w.counts.po_num, w.counts.meta_num);
  count_totals(w);
}

// The labels and commit markers of the data partition against the cache, and its filemarks.
int check_data_partition_copies(Walk& w, const MamVci* mamvci, const MamHta* mamhta) {
  int ret = 0;
  uint64_t total_fm_dp = 0;
  if (check_last_rcm_integrity(w, 1, mamvci, mamhta, &total_fm_dp) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "The last reference commit marker format is not correct.\n");
  }
  if (w.cache.marker_file_flg != 0) return ret;
  if (check_vol1_label_integrity(w, 1) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL, "Vol1 Label format is not correct.\n");
  }
  if (check_qrt_label_integrity(w, 1, mamvci, mamhta, 0) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL, "QRT Label format is not correct.\n");
  }
  if (check_first_rcm_integrity(w, 1, mamvci, mamhta) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "The first reference commit marker format is not correct.\n");
  }
  if (check_fm_num(total_fm_dp, w.tape.pr_num, w.counts.ocm_num) != 0) {
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
  bool left(const Walk& w) const {
    return pr <= w.tape.pr_num || ocm <= w.counts.ocm_num || po <= w.counts.po_num ||
           meta <= w.counts.meta_num;
  }
};

// Whether the counters a resume starts from are a place where a dump of this tape records its
// progress: packed object `po` about to be checked, with the object commit marker, partial
// reference and first object that it belongs to. Counters written by another tape, edited, or cut
// short would start the walk somewhere else and skip objects without a word.
bool history_fits_tape(const Walk& w, const WalkCounters& n) {
  const MarkerIndex& index = w.data.index;
  if (n.po < 1 || n.po > index.pos().size()) return false;
  const PoEntry& po = index.pos()[n.po - 1];
  const OcmEntry& ocm = index.ocms()[po.ocm];
  return n.meta == po.first_meta + 1 && n.ocm == po.ocm + 1 && n.pr == ocm.pr + 1;
}

// What a dump into a store records of the objects it did not store; nothing for other dumps.
std::optional<uint64_t> stored_count(const Walk& w, uint64_t not_stored) {
  return w.setup().sink != nullptr ? std::optional<uint64_t>(not_stored) : std::nullopt;
}

// The places of the objects the dump lost, kept whenever they changed before the history moves
// past them: a dump killed at any moment leaves a record of every object lost before the place its
// history gives (and its first record replaces what an earlier full dump left).
void keep_new_lost_places(Walk& w) {
  if (w.out.lost_places_kept == w.out.lost_places.size()) return;
  keep_lost_places(w, w.tape.barcode_id);
  w.out.lost_places_kept = w.out.lost_places.size();
}

// Records where a dump stands as packed object `n.po` is about to be checked: its counters and the
// numbering of the buckets, from which a resume continues (at most once per interval of -i).
int write_checkpoint(Walk& w, const Checkpoint& place) {
  keep_new_lost_places(w);
  w.out.recorded = true;
  std::copy(std::begin(place.counters), std::end(place.counters), w.out.recorded_counters);
  w.out.recorded_numbering = place.numbering;
  w.out.recorded_not_stored = place.not_stored;
  const uint64_t* c = place.counters;
  const HistoryKeys more = progress_keys(w.out.save_path, false, place.numbering,
                                         selection_text(w.setup().filter),
                                         stored_count(w, place.not_stored));
  return output_history(w.setup().history, w.tape.barcode_id, c[0], c[1], c[2], c[3], &more);
}

// A dump into a store records a place only once the store has answered every object before it
// (the sink decides when).
int record_progress(Walk& w, const WalkCounters& n) {
  // Every object before this place has been counted, but for the store's answers still awaited,
  // which the sink adds once they come.
  Checkpoint place{{n.pr, n.ocm, n.po, n.meta},
                   numbering_keys(w.out.numbering),
                   objects_not_in_store()};
  ObjectSink* sink = w.setup().sink;
  if (sink == nullptr) return write_checkpoint(w, place);
  return sink->reached(std::move(place),
                       [&w](const Checkpoint& reached) { return write_checkpoint(w, reached); });
}

// Writes the tape's history section at once: the recorded place (or the start), and whether the
// dump is complete.
int write_progress(Walk& w, bool complete) {
  keep_new_lost_places(w);
  const uint64_t* c = w.out.recorded_counters;
  const bool at_start = !w.out.recorded;
  HistoryKeys keys = {{"PR", std::to_string(at_start ? 1 : c[0])},
                      {"OCM", std::to_string(at_start ? 1 : c[1])},
                      {"PO", std::to_string(at_start ? 1 : c[2])},
                      {"Object number", std::to_string(at_start ? 1 : c[3])}};
  // The numbering where the walk stands (at the start, or at the end of a complete dump), else
  // the one recorded with the counters.
  const HistoryKeys numbering =
      at_start || complete ? numbering_keys(w.out.numbering) : w.out.recorded_numbering;
  const uint64_t not_stored = complete ? objects_not_in_store() : w.out.recorded_not_stored;
  const HistoryKeys more = progress_keys(w.out.save_path, complete, numbering,
                                         selection_text(w.setup().filter),
                                         stored_count(w, not_stored));
  keys.insert(keys.end(), more.begin(), more.end());
  return write_history_section(w.tape.barcode_id, keys);
}

// A full dump into a save path that already holds objects of the tape's buckets writes them again
// under new directories: one warning says where the new ones begin.
void warn_of_repeated_dump(Walk& w) {
  std::map<std::string, std::string> from;  // by bucket, in name order
  for (const BucketInfo4ObjReader* b = w.out.numbering; b != nullptr; b = b->next) {
    if (!w.data.buckets.knows(b->bucket_name)) continue;
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

// A count the history records: decimal digits only.
bool parse_count(const std::string& text, uint64_t* count) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *count);
  return error == std::errc() && !text.empty() && end == text.data() + text.size();
}

// The objects an interrupted dump into a store passed over without storing them: the resume does
// not meet them again, so it counts them as not stored (and records them again with its places).
void carry_not_stored(Walk& w, const HistoryKeys& keys) {
  const std::optional<std::string> recorded = history_value(keys, kNotStoredKey);
  uint64_t count = 0;
  if (w.setup().sink == nullptr || !recorded || !parse_count(*recorded, &count) || count == 0) {
    return;
  }
  run_record::note_not_stored_before(count);
  w.out.recorded_not_stored = count;
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "%" PRIu64 " %s before the place this dump resumes from %s not stored by the "
                     "interrupted run: run a full dump (-f) to store %s.\n",
                     count, count == 1 ? "object" : "objects", count == 1 ? "was" : "were",
                     count == 1 ? "it" : "them");
}

// A resume continues from the counters of the history, with the numbering it recorded, so that the
// objects written before the interruption are found where they were written.
void resume_from_history(Walk& w, WalkCounters& n) {
  if (get_history(w.tape.barcode_id, &n.pr, &n.ocm, &n.po, &n.meta) != 0) {
    // Which of the two: no history in this working directory, or one of other tapes.
    const std::optional<std::vector<std::string>> tapes = history_tapes();
    std::string others;
    for (const std::string& tape : tapes.value_or(std::vector<std::string>{})) {
      others += (others.empty() ? "" : ", ") + printable(tape);
    }
    std::string why = "The working directory holds no history.log";
    if (tapes) {
      why = "history.log of the working directory records " +
            (others.empty() ? std::string("no tape") : "the tapes " + others) + ", not " +
            w.tape.barcode_id;
    }
    output_fatal(VL_COMMON,
                 "There is no history file.\n%sTry full dump.\n%s%s: resume from the working "
                 "directory of this tape's dump.\n",
                 INDENT, INDENT, why.c_str());
  }
  if (!history_fits_tape(w, n)) {
    output_fatal(VL_COMMON,
                 "The history of the tape %s in history.log does not fit this tape (PR=%" PRIu64
                 ", OCM=%" PRIu64 ", PO=%" PRIu64 ", Object number=%" PRIu64
                 "). It is not resumed from.\n%sTry full dump.\n",
                 w.tape.barcode_id, n.pr, n.ocm, n.po, n.meta, INDENT);
  }
  HistoryKeys keys;
  read_history_section(w.tape.barcode_id, &keys);
  // A section that records the save path records the numbering too, none for a dump stopped
  // before it met a bucket: the directories found in the save path are then the ones that dump
  // made, not earlier ones to write after.
  std::string refused;
  const NumberingRead numbering = restore_numbering(keys, &w.out.numbering, &refused);
  if (numbering == NumberingRead::refused) {
    output_fatal(VL_COMMON,
                 "The history of the tape %s in history.log records a numbering no dump writes "
                 "(%s). It is not resumed from.\n%sTry full dump.\n",
                 w.tape.barcode_id, printable(refused).c_str(), INDENT);
  }
  if (numbering == NumberingRead::none && history_value(keys, kSavePathKey)) {
    free_bucket_info_4_obj_reader(&w.out.numbering);
  }
  carry_not_stored(w, keys);
  if (n.pr != 1 || n.ocm != 1 || n.po != 1 || n.meta != 1) n.locate_first = true;
}

// A stop asked for by a signal, between two objects: a dump records the place it recorded last, so
// that a resume continues there, and the run ends with the status that reports the signal.
[[noreturn]] void stop_walk(Walk& w, int signal_number) {
  const bool dumping = w.mode_is(Mode::full_dump) || w.mode_is(Mode::resume_dump);
  settle_objects(w);
  if (dumping && w.out.recorded) write_progress(w, false);
  if (dumping) keep_lost_places(w, w.tape.barcode_id);
  char cwd[PATH_MAX] = ".";
  if (getcwd(cwd, sizeof(cwd)) == nullptr) std::strcpy(cwd, ".");
  if (dumping) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "Interrupted by %s. The objects written so far are whole; to continue, run "
                       "again with -r from the working directory %s and with -s %s.\n",
                       stop_signal_name(signal_number), cwd, w.out.save_path.c_str());
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
bool lies_beyond_data_partition(Walk& w, const char* what, uint64_t number, uint64_t block_number) {
  if (block_number < w.tape.dp_rcm_block_number) return false;
  if (std::string_view(what) == get_marker_name(META)) {
    w.in_hand.block = block_number;
    w.in_hand.offset = 0;
    record_object(w, ObjectFields{}, run_record::Outcome::unreadable, {});
  }
  note_object_error(w, LV_ERROR, VL_PR,
                    "The %s #%" PRIu64 " would lie at block %" PRIu64
                    " of the data partition, not before its last reference commit marker (block "
                    "%" PRIu64 "). It is skipped.\n",
                    what, number, block_number, w.tape.dp_rcm_block_number);
  w.in_hand.po_tail_unread = true;
  return true;
}

// A marker from the end of a data partition that ends early on cannot be read: it is passed over
// (an object there is lost, as lies_in_damage finds), and the next one is not read on from it.
bool lies_beyond_end(Walk& w, MARKER_TYPE m_type, uint64_t block_number) {
  if (m_type == META || !w.data.damage.beyond_end(block_number)) return false;
  w.in_hand.marker_damaged = true;
  w.in_hand.po_tail_unread = true;
  return true;
}

// An object with bytes in a block already found damaged is lost (named when the damage was
// reported): it is not read, and the next marker is located.
bool lies_in_damage(Walk& w, uint64_t meta) {
  w.in_hand.meta = meta;
  if (w.data.damage.empty()) return false;
  const auto [first, last] =
      blocks_of_object(w.data.index, packed_object_places(w), w.tape.block_size, meta);
  if (!w.data.damage.any_in(first, last)) return false;
  record_lost_object(w);
  w.in_hand.po_tail_unread = true;
  return true;
}

// The partial reference next on the data partition.
int visit_partial_reference(Walk& w, const MamVci* mamvci, WalkCounters& n) {
  int ret = 0;
  uint64_t block_number = 0;
  uint64_t offset = 0;
  get_address_of_pr(w, static_cast<int>(n.pr), &block_number, &offset);
  if (lies_beyond_data_partition(w, "partial reference", n.pr, block_number) ||
      lies_beyond_end(w, PR, block_number)) {
    n.pr += 1;
    return ret;
  }
  // After a commit marker that met damage the tape does not stand where it ends.
  if (n.locate_first || w.in_hand.marker_damaged) {
    w.cursor().locate(block_number);
    n.locate_first = false;
  }
  ST_SPTI_CMD_POSITIONDATA pos{};
  w.cursor().read_position(&pos);
  if (pos.blockNumber != block_number) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                              "The position of the partial reference on the data partition is "
                              "not correct.\n");
  }
  if (check_pr_integrity(w, 1, mamvci, static_cast<int>(n.pr - 1), n.pr == w.tape.pr_num ? 1 : 0) !=
      0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_PR, "The partial reference format is not correct.\n");
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "pr   : %" PRIu64 ",%" PRIu64 "\n", block_number, offset);
  n.pr += 1;
  return ret;
}

// The object commit marker, packed object or object next on the data partition.
// A packed object none of whose objects the filter of a dump or a list run selects is not read
// (the copies of the partial references name its objects): its objects' markers are passed over,
// a dump records its place as it would, and the next marker read is located.
bool skips_packed_object(Walk& w, WalkCounters& n, int* ret) {
  const Filter& filter = w.setup().filter;
  MarkerIndex& index = w.data.index;
  if ((filter.buckets.empty() && filter.prefix.empty()) || n.po < 1 || n.po > index.pos().size()) {
    return false;
  }
  const PoEntry& po = index.pos()[n.po - 1];
  if (n.meta - 1 != po.first_meta) return false;  // the walk does not stand at its first object
  for (uint64_t m = po.first_meta; m < po.first_meta + po.object_count; ++m) {
    const ObjectName name = name_object(index, w.data.buckets, m);
    if (filter.selects(name.bucket, name.key)) return false;
  }
  if (!w.mode_is(Mode::output_list)) *ret |= record_progress(w, n);
  n.po += 1;
  n.meta += po.object_count;
  w.counts.objects_met += po.object_count;
  w.in_hand.po_tail_unread = true;
  return true;
}

int visit_marker(Walk& w, MARKER_TYPE m_type, WalkCounters& n) {
  int ret = 0;
  uint64_t block_number = 0;
  uint64_t offset = 0;
  uint64_t file_num = 0;
  uint64_t file_offset = 0;
  uint64_t length = 0;
  uint64_t& number = m_type == OCM ? n.ocm : m_type == PO ? n.po : n.meta;
  get_address_of_marker(w, m_type, number, &block_number, &offset, &file_num, &file_offset,
                        &length);
  if (lies_beyond_data_partition(w, get_marker_name(m_type), number, block_number) ||
      lies_beyond_end(w, m_type, block_number)) {
    number += 1;
    return ret;
  }
  if (m_type == PO && skips_packed_object(w, n, &ret)) return ret;
  if (n.locate_first) {
    if (m_type != META) w.cursor().locate(block_number);
    n.locate_first = false;
  }
  if (m_type == PO && w.mode_is(Mode::output_list)) w.counts.po_block_address = block_number;
  if (m_type == META && lies_in_damage(w, n.meta - 1)) {
    n.meta += 1;
    return ret;
  }
  if (m_type == META) {
    // Where the metadata lies in its packed object, for the bound of the object's data.
    MarkerIndex& index = w.data.index;
    w.in_hand.meta_offset_known = true;
    const uint64_t p = index.po_of_meta(n.meta - 1);
    const PoDirectory& dir = index.po_directory(p);
    w.in_hand.meta_offset =
        dir.meta_offset[static_cast<size_t>(n.meta - 1 - index.pos()[p].first_meta)];
  }
  if (check_part_of_pr_integrity(w, m_type, block_number, offset, file_num, file_offset, length) !=
      0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_PR, "The partial reference format is not correct.\n");
  }
  if (m_type == OCM) {
    n.ocm += 1;
  } else if (m_type == PO) {
    // Only dumps record where they stand: the history is where a resumed dump starts, and a
    // list run in between must not move it past objects that were never written.
    if (!w.mode_is(Mode::output_list)) ret |= record_progress(w, n);
    n.po += 1;
  } else {
    n.meta += 1;
  }
  return ret;
}

// Every partial reference, object commit marker, packed object and object of the data partition
// in tape order, from the start or from where the history says a resumed dump stands.
int walk_data_partition(Walk& w, const MamVci* mamvci, bool locate_first) {
  int ret = 0;
  WalkCounters n;
  n.locate_first = locate_first;
  if (w.mode_is(Mode::resume_dump)) resume_from_history(w, n);
  // A store keeps versions, not numbered directories.
  if (w.mode_is(Mode::full_dump) && w.setup().sink == nullptr) warn_of_repeated_dump(w);
  w.in_hand.has_pre_list_entry = false;
  w.in_hand.po_tail_unread = false;
  if (w.mode_is(Mode::output_list)) {
    w.out.lists.begin(w.out.save_root.enter(w.tape.barcode_id, true));
  }
  while (n.left(w)) {
    if (stop_requested() != 0) stop_walk(w, stop_requested());
    output_accdg_to_vl(LV_TRACE, VL_MISC,
                       "pr:%" PRIu64 ",%" PRIu64 " ocm:%" PRIu64 ",%" PRIu64 " po:%" PRIu64
                       ",%" PRIu64 " meta:%" PRIu64 ",%" PRIu64 "\n",
                       n.pr, w.tape.pr_num, n.ocm, w.counts.ocm_num, n.po, w.counts.po_num, n.meta,
                       w.counts.meta_num);
    MARKER_TYPE m_type = META;
    get_next_marker(w, n.pr, n.ocm, n.po, n.meta, w.tape.pr_num, w.counts.ocm_num, w.counts.po_num,
                    w.counts.meta_num, &m_type);
    ret |= m_type == PR ? visit_partial_reference(w, mamvci, n) : visit_marker(w, m_type, n);
  }
  if (w.out.lists.active()) w.out.lists.finish();
  settle_objects(w);
  status_line::finish();  // the job's own messages follow
  return ret;
}

}  // namespace

int check_integrity(Walk& w, const MamVci* mamvci, const MamHta* mamhta) {
  // The walk names list files and history sections with the identifier it forms from the tape
  // itself (get_tape_identifier).
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:check_integrity\n");
  // A walk over a restored cache has not just passed the reference partition: it locates the
  // first marker of the data partition.
  const bool locate_first = get_marker_file_flg(w) != 0;
  begin_walk(w);
  if (w.mode_is(Mode::output_objects_in_object_list)) {
    return retrieve_listed_objects(w) | w.counts.object_errors;
  }
  int ret = 0;
  if (w.mode_is(Mode::full_dump)) {
    // The dump's section is there from its start, before the reference partition is checked
    // again and the copies on the data partition are read: a dump stopped in between resumes.
    ret |= get_tape_identifier(w, w.tape.barcode_id);
    ret |= write_progress(w, false);
  }
  w.cache.read_marker_file_flag = 1;
  w.cache.sequential_read_flag = 1;
  if (w.cache.marker_file_flg == 0) ret |= recheck_reference_partition(w, mamvci, mamhta);
  count_markers(w);
  ret |= check_data_partition_copies(w, mamvci, mamhta);
  ret |= get_tape_identifier(w, w.tape.barcode_id);
  ret |= walk_data_partition(w, mamvci, locate_first);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :check_integrity\n");
  return ret | w.counts.object_errors;
}

int record_dump_complete(Walk& w) { return write_progress(w, true); }

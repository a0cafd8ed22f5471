// The extraction of objects: each object's metadata read (completed from the blocks that follow),
// parsed and checked, its data copied into its two files under the save path or into the store,
// checked against "ContentMd5" and published; a list run's entries; and the whole packed object
// that a retrieval with -L 1 copies.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "endian_utils.h"
#include "marker_layout.h"
#include "output_level.h"
#include "support/atomic_file.h"
#include "support/file_helpers.h"
#include "support/printable.h"
#include "support/run_record.h"
#include "support/safe_dir.h"
#include "support/status_line.h"
#include "walk/object_sink.h"
#include "walk/walk.h"
#include "walk/walk_steps.h"
#include "support/file_failure.h"

namespace ml = marker_layout;
using namespace walk;

namespace {

constexpr size_t kMetadataBufferSize = 2097152;  // 2 MiB
constexpr uint64_t kLargeObject = 1073741824;    // 1 GiB: check the free space first
constexpr size_t kMaxPath = 4095;
// Room a path needs beyond the save root, bucket, key and identifier: separators, directory
// numbers and suffix.
constexpr size_t kPathOverhead = 32;

// The metadata of one object as read from the tape, and the byte just past it in the block read
// last.
struct Metadata {
  std::string bytes;
  uint64_t end_in_block = 0;
};

// Reads the next block of an object's metadata or data into the cursor's buffer. False when
// damage (reported with the block) or a filemark (reported with `cut_short`) ends the object.
bool read_object_block(Walk& w, const std::string& cut_short) {
  uint32_t count = 0;
  const Got got = read_following_block(w, &count);
  if (got == Got::damage) {
    w.in_hand.object_damaged = true;  // reported with the block
    return false;
  }
  if (got == Got::filemark) {
    note_object_error(w, LV_ERROR, VL_COMMON, "%s", cut_short.c_str());
    return false;
  }
  return true;
}

// Reads the `length` bytes of metadata that start at byte `o` of the block read last, completing
// them from the following blocks. False when a filemark cuts them short (reported).
bool read_metadata(Walk& w, uint64_t o, uint64_t length, Metadata* meta) {
  meta->bytes.clear();
  meta->bytes.reserve(static_cast<size_t>(length));
  const std::span<const uint8_t> first = w.cursor().block();
  const uint64_t here =
      o < w.tape.block_size ? std::min<uint64_t>(length, w.tape.block_size - o) : 0;
  meta->bytes.append(reinterpret_cast<const char*>(first.data() + o), static_cast<size_t>(here));
  meta->end_in_block = o + here;
  while (meta->bytes.size() < length) {
    if (!read_object_block(w, "The metadata of the object is cut short by a filemark.\n")) {
      return false;
    }
    const uint64_t more = std::min<uint64_t>(length - meta->bytes.size(), w.tape.block_size);
    meta->bytes.append(reinterpret_cast<const char*>(w.cursor().block().data()),
                       static_cast<size_t>(more));
    meta->end_in_block = more;
  }
  return true;
}

// Compares the metadata read from the tape with its copy in the partial reference file.
int compare_metadata_with_copy(Walk& w, const char* filepath, uint64_t pr_file_offset,
                               const std::string& meta_data) {
  if (w.cache.read_marker_file_flag != 1 || meta_data.empty()) return 0;
  std::string copy(meta_data.size(), '\0');
  read_marker_file(w, copy.size(), pr_file_offset, filepath, copy.data());
  if (copy == meta_data) return 0;
  return output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                            "The data partition is inconsistent with marker file(%d:%s).\n",
                            static_cast<int>(META), filepath);
}

void add_list_members(Walk& w, const ObjectFields& f) {
  make_key_str_value_pairs(w.in_hand.list_entry, "object_key", f.key.c_str());
  make_key_ulong_int_value_pairs(w.in_hand.list_entry, "size", f.size);
  make_key_str_value_pairs(w.in_hand.list_entry, "last_modified", f.last_modified.c_str());
  make_key_str_value_pairs(w.in_hand.list_entry, "version_id", f.version_id.c_str());
  make_key_str_value_pairs(w.in_hand.list_entry, "content_md5", f.content_md5.c_str());
  make_key_str_value_pairs(w.in_hand.list_entry, "object_id", f.id.c_str());
}

// Whether the object's data, which begins just past its metadata, ends within the packed object's
// data area.
bool data_fits(Walk& w, uint64_t data_start, uint64_t size) {
  if (!w.in_hand.meta_offset_known || w.mode_is(walk::Mode::output_objects_in_object_list)) {
    return true;
  }
  return data_start <= w.counts.last_data_offset && size <= w.counts.last_data_offset - data_start;
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
const SafeDir& numbered_directory(Walk& w, bool create) {
  char numbers[32];
  std::snprintf(numbers, sizeof(numbers), "/%04d/%04d", w.in_hand.savepath_dir_number,
                w.in_hand.savepath_sub_dir_number);
  const std::string name = w.in_hand.bucket_name + numbers;
  if (name != w.out.numbered_name || (create && !w.out.numbered.valid())) {
    w.out.numbered = w.out.save_root.enter(name, create);
    w.out.numbered_name = name;
  }
  return w.out.numbered;
}

// The directory of the object's files, made when `create`. Nothing (and the object refused, with
// an ERROR) when the key's path runs into a file of another object; a link or a directory of
// another user there ends the run.
std::optional<SafeDir> key_directory(Walk& w, const ObjectFields& f, bool create, bool* empty) {
  *empty = false;
  const SafeDir& numbered = numbered_directory(w, create);
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
  note_object_error(w, LV_ERROR, VL_COMMON,
                    "The object key (%s) of bucket (%s) runs into the file (%s) of another "
                    "object. The object is not written.\n",
                    printable(f.key).c_str(), printable(w.in_hand.bucket_name).c_str(),
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
run_record::Object object_record(Walk& w, const ObjectFields& f) {
  run_record::Object object;
  object.bucket = w.in_hand.bucket_name;
  object.key = f.key;
  object.version = f.version_id;
  object.object_id = f.id;
  object.size = f.size;
  object.size_known = f.size_known;
  object.block = w.in_hand.block;
  object.offset = w.in_hand.offset;
  return object;
}

// Decides whether the object may be written and opens its files when it is to be. Returns what
// became of an object that is not to be written (an unsafe key or bucket is refused, a file that
// exists is kept: reported), or nothing.
std::optional<run_record::Outcome> open_object_files(Walk& w, const ObjectFields& f,
                                                     const std::string& meta_text, bool writing,
                                                     std::unique_ptr<walk::ObjectTarget>* target) {
  using run_record::Outcome;
  const char* refusal = key_refusal(f.key);
  if (refusal == nullptr &&
      (!walk::safe_path_part(w.in_hand.bucket_name, false) || w.in_hand.bucket_name.empty() ||
       f.key.size() + w.setup().save_path.size() + w.in_hand.bucket_name.size() + f.id.size() +
               kPathOverhead >
           kMaxPath)) {
    refusal = "would be written outside the save path";
  }
  if (refusal != nullptr) {
    note_object_error(w, LV_ERROR, VL_COMMON,
                      "The object key (%s) of bucket (%s) %s. The object is not written.\n",
                      printable(f.key).c_str(), printable(w.in_hand.bucket_name).c_str(), refusal);
    return Outcome::refused;
  }
  bool empty = false;  // the key's directory holds no file: missing, or made just now
  const std::optional<SafeDir> dir = key_directory(w, f, writing, &empty);
  if (!dir) return Outcome::refused;
  const std::string meta_name = f.id + ".meta";
  const std::string data_name = f.id + ".data";
  if (!empty && w.mode_is(walk::Mode::resume_dump) && written_before(*dir, meta_name, data_name)) {
    return Outcome::exists;
  }
  for (const std::string& name : {meta_name, data_name}) {
    struct stat status {};
    if (!empty && fstatat(dir->fd(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      const std::string path = walk::object_path(
          w.setup().save_path, w.in_hand.bucket_name, w.in_hand.savepath_dir_number,
          w.in_hand.savepath_sub_dir_number, f.key, f.id, name.c_str() + f.id.size());
      // A dump into a save path that holds an earlier one meets thousands of them: one WARNING.
      const bool dumping = w.mode_is(walk::Mode::full_dump) || w.mode_is(walk::Mode::resume_dump);
      note_object_error(w, dumping && w.counts.already_there > 0 ? LV_DEBUG : LV_WARNING,
                        VL_COMMON,
                        "The object file (%s) already exists. The object is not written.\n",
                        printable(path).c_str());
      ++w.counts.already_there;
      return Outcome::exists;
    }
  }
  if (writing) {
    auto files = std::make_unique<walk::FileTarget>(object_record(w, f), meta_text);
    files->open(*dir, meta_name, data_name);
    *target = std::move(files);
  }
  return std::nullopt;
}

// Decides whether the object is to be put and opens what its data goes to: its files, or its
// upload when the run restores into a store.
std::optional<run_record::Outcome> open_target(Walk& w, const ObjectFields& f,
                                               const std::string& meta_text, bool writing,
                                               std::unique_ptr<walk::ObjectTarget>* target) {
  if (walk::ObjectSink* sink = w.setup().sink) {
    return sink->begin(object_record(w, f), meta_text, target);
  }
  return open_object_files(w, f, meta_text, writing, target);
}

// Copies the object's `size` bytes of data: first the rest of the block that holds the end of the
// metadata, then whole blocks. False when a filemark cuts the data short (reported).
bool copy_object_data(Walk& w, uint64_t end_in_block, uint64_t size, const std::string& key,
                      walk::ObjectTarget* target) {
  auto write = [&](uint64_t from, uint64_t count) {
    if (target != nullptr) {
      target->write(
          w.cursor().block().subspan(static_cast<size_t>(from), static_cast<size_t>(count)));
    }
  };
  const uint64_t remained =
      end_in_block <= w.tape.block_size ? w.tape.block_size - end_in_block : 0;
  uint64_t take = std::min(size, remained);
  write(end_in_block, take);
  size -= take;
  while (size > 0) {
    if (!read_object_block(w, "The object (" + printable(key) +
                                  ") is cut short by a filemark. The object is not written.\n")) {
      return false;
    }
    take = std::min<uint64_t>(size, w.tape.block_size);
    write(0, take);
    size -= take;
  }
  return true;
}

// After the last object of a packed object whose data ends where the data area ends, the rest of
// the block must be zero. Returns whether the tape stands at the end of the packed object.
bool check_padding(Walk& w, uint64_t o, uint64_t data_end) {
  // The block read last holds the end of the packed object only when the data read ends where
  // its data area ends. An object shorter than its place there leaves the tape short of the
  // end: the padding cannot be checked in this block, and the next marker is located.
  if (w.in_hand.meta_offset_known && data_end != w.counts.last_data_offset) return false;
  if (w.cache.skip_0_padding_check_flag == 0) {
    // A format deviation like any other: it is reported once and the walk goes on, so that
    // one stray byte does not end the recovery of the rest of the tape.
    const uint64_t e =
        (o + w.counts.last_data_offset - w.counts.last_meta_data_offset) % w.tape.block_size;
    if (e != 0 && !is_null_filled(w.cursor().block().data() + e,
                                  static_cast<size_t>(w.tape.block_size - e))) {
      note_object_error(w, LV_ERROR, VL_DEFAULT,
                        "The end of the packed objects must be zero-padded.\n");
    }
  }
  return true;
}

// Reads and parses the metadata that starts at byte `o` of the block read last. Returns false when
// the object cannot be processed further (reported).
bool take_metadata(Walk& w, const char* filepath, uint64_t pr_file_offset, uint64_t o,
                   uint64_t length, Metadata* meta, ObjectFields* fields, int* ret) {
  if (length > kMetadataBufferSize) {
    note_object_error(w, LV_ERROR, VL_COMMON,
                      "The metadata of the object is %" PRIu64
                      " bytes long, more than %zu bytes. The object is skipped.\n",
                      length, kMetadataBufferSize);
    return false;
  }
  if (!read_metadata(w, o, length, meta)) return false;
  *ret |= compare_metadata_with_copy(w, filepath, pr_file_offset, meta->bytes);
  // The metadata text runs up to its first zero byte.
  meta->bytes.resize(std::strlen(meta->bytes.c_str()));
  if (get_element_from_metadata(meta->bytes.c_str(), &fields->size, &fields->key, &fields->id,
                                &fields->last_modified, &fields->version_id,
                                &fields->content_md5) != 0) {
    note_object_error(w, LV_ERROR, VL_COMMON,
                      "The metadata of an object on the data partition could not be parsed. The "
                      "object is skipped.\n");
    return false;
  }
  return true;
}

// A retrieval reads the metadata at the place its list entry gives: it must be the metadata of the
// object the entry names, or the list file does not describe this tape.
bool is_the_object_asked_for(Walk& w, const ObjectFields& f) {
  const object_list* entry = w.in_hand.expected;
  if (entry == nullptr || (f.key == entry->key && f.id == entry->id)) return true;
  note_object_error(w, LV_ERROR, VL_COMMON,
                    "The object at the place that the list file gives is not the one it names: "
                    "found key (%s) and object id (%s), expected key (%s) and object id (%s). "
                    "Nothing is written.\n",
                    printable(f.key).c_str(), printable(f.id).c_str(),
                    printable(entry->key).c_str(), printable(entry->id).c_str());
  return false;
}

// The progress of the walk, one object further.
void show_progress(Walk& w, const ObjectFields& f) {
  w.counts.objects_met += 1;
  w.counts.bytes_met += f.size;
  status_line::update({w.counts.objects_met, w.counts.objects_total, w.counts.bytes_met,
                       w.counts.bytes_total, printable(w.in_hand.bucket_name + "/" + f.key)});
}

// The object's data has been read whole: checked and published by its target. An ERROR about
// the object is the object's own: the walk goes on.
void publish_object(Walk& w, walk::ObjectTarget& target, run_record::Outcome* outcome,
                    std::vector<std::string>* paths) {
  walk::Published published = target.finish();
  *outcome = published.outcome;
  *paths = std::move(published.paths);
  w.in_hand.record_later = published.recorded_later;
  w.counts.object_errors |= published.errors;
}

// Processes the object whose metadata starts at byte `o` of the block read last and is `length`
// bytes long: its list entry, or its two files. `*read_to_end` tells whether the tape stands at
// the end of the object's data (and, after the last object, at the end of its packed object).
// What became of the object goes to `*outcome`, the files written to `*paths`.
int handle_object(Walk& w, const char* filepath, uint64_t pr_file_offset, uint64_t o,
                  uint64_t length, bool* read_to_end, ObjectFields* f, run_record::Outcome* outcome,
                  std::vector<std::string>* paths) {
  using run_record::Outcome;
  int ret = 0;
  *read_to_end = false;
  *outcome = Outcome::unreadable;
  Metadata meta;
  if (!take_metadata(w, filepath, pr_file_offset, o, length, &meta, f, &ret)) return ret;
  *outcome = Outcome::refused;
  if (!is_the_object_asked_for(w, *f)) return ret;
  const bool selected = w.setup().filter.selects(w.in_hand.bucket_name, f->key);
  w.in_hand.not_selected = !selected;
  if (w.mode_is(walk::Mode::output_list) && selected) {
    if (f->key.find('\0') != std::string::npos) {
      note_object_error(w, LV_ERROR, VL_COMMON,
                        "The object key (%s) of bucket (%s) holds a zero byte. The object is not "
                        "listed.\n",
                        printable(f->key).c_str(), printable(w.in_hand.bucket_name).c_str());
      return ret;
    }
    add_list_members(w, *f);
  }
  if (selected && f->size >= kLargeObject &&
      check_disk_space(w.setup().save_path.c_str(), f->size) != 0) {
    output_fatal(VL_COMMON, "Failed to check the disk space.\n");
  }
  if (!w.mode_is(walk::Mode::output_objects_in_object_list)) {
    w.counts.object_errors |= get_bucket_info_4_obj_reader(
        &w.out.numbering, w.in_hand.bucket_name.c_str(), &w.in_hand.savepath_dir_number,
        &w.in_hand.savepath_sub_dir_number);
  }
  const uint64_t data_start = w.in_hand.meta_offset + length;
  *outcome = Outcome::unreadable;
  if (!data_fits(w, data_start, f->size)) {
    // Nor is it listed: a retrieval through the list would copy whatever follows the packed
    // object as the object's data.
    w.in_hand.list_entry.clear();
    note_object_error(w, LV_ERROR, VL_COMMON,
                      "The size %" PRIu64
                      " of the object (%s) does not fit in its packed object. The object is not "
                      "written.\n",
                      f->size, printable(f->key).c_str());
    return ret;
  }
  const bool dumping = walk::writes_objects(w.setup().mode) && selected;
  const bool writing = dumping && w.in_hand.savepath_dir_number <= MAX_DIR_NUMBER;
  std::unique_ptr<walk::ObjectTarget> target;
  if (dumping) {
    if (const std::optional<Outcome> kept = open_target(w, *f, meta.bytes, writing, &target)) {
      *outcome = *kept;
      return ret;
    }
  }
  if (!copy_object_data(w, meta.end_in_block, f->size, f->key, target.get())) return ret;
  *outcome = dumping ? Outcome::refused : Outcome::listed;
  if (target != nullptr) publish_object(w, *target, outcome, paths);
  *read_to_end =
      w.counts.num_of_meta_cnt != w.counts.num_of_meta || check_padding(w, o, data_start + f->size);
  return ret;
}

}  // namespace

namespace walk {

__attribute__((format(printf, 4, 5))) int note_object_error(Walk& w, const char* level,
                                                            const char* verbose, const char* format,
                                                            ...) {
  va_list args;
  va_start(args, format);
  char text[8192];
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  w.counts.object_errors |= output_accdg_to_vl(level, verbose, "%s", text);
  return 0;
}

// The place of the metadata of object `meta` (0-based over the tape) as its packed object's
// directory in the cached partial reference gives it; false when the index does not place it.
bool place_from_cache(Walk& w, uint64_t meta, walk::LostPlace* place) {
  walk::MarkerIndex& index = w.data.index;
  if (meta >= index.object_count()) return false;
  const uint64_t p = index.po_of_meta(meta);
  const std::vector<PackedObjectPlace>& places = packed_object_places(w);
  if (p >= places.size() || places[p].block == UINT64_MAX) return false;
  const walk::PoDirectory& dir = index.po_directory(p);
  const size_t r = static_cast<size_t>(meta - index.pos()[p].first_meta);
  if (r >= dir.data_offset.size() || dir.data_offset[r] < dir.meta_offset[r]) return false;
  place->block_address = places[p].block;
  place->offset = ml::kIdentifierSize + dir.meta_offset[r];
  place->meta_size = dir.data_offset[r] - dir.meta_offset[r];
  return true;
}

// The place of an object lost to damage, for a second pass: as the list entry a retrieval read
// gives it, from where the walk found its metadata, or, for one whose metadata was not read, from
// the cache. Nothing when that is not known.
void note_lost_place(Walk& w, const ObjectFields& f, const std::string& bucket) {
  walk::LostPlace place{bucket, f.key, f.id, f.version_id, f.size};
  if (const object_list* entry = w.in_hand.expected) {
    place.block_address = entry->block_address;
    place.offset = entry->meta_offset;
    place.meta_size = entry->metadata_size;
  } else if (f.named_from_cache) {
    if (!place_from_cache(w, w.in_hand.meta, &place)) return;
  } else if (w.in_hand.block >= w.counts.po_block_address && w.in_hand.meta_length > 0) {
    place.block_address = w.counts.po_block_address;
    place.offset = (w.in_hand.block - w.counts.po_block_address) * w.tape.block_size +
                   w.in_hand.offset;
    place.meta_size = w.in_hand.meta_length;
  } else {
    return;
  }
  if (!f.key.empty() && !f.id.empty()) w.out.lost_places.push_back(std::move(place));
}

// A resume that writes an object its dump had recorded lost: the record lets go of it.
void note_recovered(Walk& w, const std::string& bucket, const std::string& object_id) {
  if (!w.mode_is(Mode::resume_dump)) return;
  if (!w.out.lost_before) {
    w.out.lost_before.emplace();
    for (const LostPlace& p : read_lost_places(w.setup().save_path, w.tape.barcode_id)) {
      w.out.lost_before->emplace(p.bucket, p.object_id);
    }
  }
  if (w.out.lost_before->count({bucket, object_id}) != 0) {
    w.out.recovered.emplace(bucket, object_id);
    w.out.lost_places_kept = SIZE_MAX;  // the record changes
  }
}

// What the walk knows of the object being processed, for the run's record.
void record_object(Walk& w, const ObjectFields& f, run_record::Outcome outcome,
                   std::vector<std::string> paths, const std::string* bucket) {
  run_record::Object object = object_record(w, f);
  if (bucket != nullptr) object.bucket = *bucket;
  if (outcome == run_record::Outcome::lost) note_lost_place(w, f, object.bucket);
  if (outcome == run_record::Outcome::written || outcome == run_record::Outcome::exists) {
    note_recovered(w, object.bucket, f.id);
  }
  object.outcome = outcome;
  object.paths = std::move(paths);
  run_record::note_object(object);
  show_progress(w, f);
}

int process_object(Walk& w, const char* filepath, uint64_t pr_file_offset, uint64_t o,
                   uint64_t length, bool* read_to_end) {
  ObjectFields fields;
  run_record::Outcome outcome = run_record::Outcome::unreadable;
  std::vector<std::string> paths;
  w.in_hand.object_damaged = false;
  w.in_hand.record_later = false;
  w.in_hand.not_selected = false;
  const int ret =
      handle_object(w, filepath, pr_file_offset, o, length, read_to_end, &fields, &outcome, &paths);
  if (w.in_hand.not_selected) {
    // Left out by the filter: not counted among the job's objects, whatever became of it.
    w.in_hand.list_entry.clear();
    show_progress(w, fields);
    return ret;
  }
  if (w.in_hand.object_damaged) {
    outcome = run_record::Outcome::lost;
    w.in_hand.list_entry.clear();  // nor is it listed
  }
  if (w.in_hand.object_damaged && fields.id.empty()) {
    record_lost_object(w);  // its metadata was not read: named from the cache
  } else if (w.in_hand.record_later) {
    show_progress(w, fields);
  } else {
    record_object(w, fields, outcome, std::move(paths));
  }
  return ret;
}

// Writes the list entry of the object just processed (list making).
int write_list_entry(Walk& w, uint64_t block_number, uint64_t offset, uint64_t marker_len) {
  int ret = 0;
  if (!walk::safe_path_part(w.in_hand.bucket_name, false) || w.in_hand.bucket_name.empty()) {
    w.in_hand.list_entry.clear();
    return output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                              "The bucket name (%s) cannot name a list file. The object is not "
                              "listed.\n",
                              printable(w.in_hand.bucket_name).c_str());
  }
  ret |= make_key_ulong_int_value_pairs(w.in_hand.list_entry, "block_address",
                                        w.counts.po_block_address);
  ret |= make_key_ulong_int_value_pairs(
      w.in_hand.list_entry, "offset",
      (block_number - w.counts.po_block_address) * w.tape.block_size + offset);
  ret |= make_key_ulong_int_value_pairs(w.in_hand.list_entry, "meta_size", marker_len);
  // The list files are written under temporary names and renamed when the walk ends.
  if (w.in_hand.savepath_dir_number <= MAX_DIR_NUMBER) {
    const std::string list_path =
        walk::list_file_path(w.setup().save_path, w.tape.barcode_id, w.in_hand.bucket_name,
                             w.in_hand.savepath_dir_number);
    w.out.lists.append(list_path.substr(list_path.rfind('/') + 1), w.in_hand.list_entry);
  }
  w.in_hand.pre_bucket_name = w.in_hand.bucket_name;
  w.in_hand.pre_savepath_dir_number = w.in_hand.savepath_dir_number;
  w.in_hand.has_pre_list_entry = true;
  w.in_hand.list_entry.clear();
  return ret;
}

}  // namespace walk

// ---------------------------------------------------------------------------------------------
// Packed objects

namespace {

// Reads the block at `block_number` into the cursor's buffer; a block that cannot be read ends the
// run.
std::span<const uint8_t> read_block_at(Walk& w, uint64_t block_number) {
  TapeCursor& cursor = w.cursor();
  if (cursor.position() != block_number) cursor.locate(block_number);
  uint32_t count = 0;
  if (cursor.read(w.tape.block_size, &count) != 0) {
    output_fatal(VL_DEFAULT, "Failed to read data from tape.\n");
  }
  return cursor.block();
}

// The length of the packed object that starts at `block_address`, identifier included, from the
// data offset of the closing entry of its object directory; its pack ID into `pack_id`. Nothing
// when its number of objects cannot be right (reported, and folded into `*ret`).
std::optional<uint64_t> packed_object_size(Walk& w, uint64_t block_address, char (&pack_id)[37],
                                           int* ret) {
  const uint64_t bs = w.tape.block_size;
  std::span<const uint8_t> block = read_block_at(w, block_address);
  const uint64_t info = ml::kIdentifierSize;  // the PO info follows the identifier
  const uint64_t num_of_obj = be64(block.data() + info + ml::kPoInfoObjectCount);
  uuid_unparse(block.data() + info + ml::kPoInfoPackId, pack_id);
  constexpr uint64_t kMaxObjects =
      (UINT64_MAX - info - ml::kPoInfoHeaderSize - ml::kObjectEntrySize) / ml::kObjectEntrySize;
  if (num_of_obj > kMaxObjects) {
    *ret |= output_accdg_to_vl(
        LV_ERROR, VL_POINFO,
        "Number of Objects of the packed object is not correct: %" PRIu64 ".\n", num_of_obj);
    return std::nullopt;
  }
  // The closing entry's data offset may lie across a block boundary.
  const uint64_t at =
      info + ml::kPoInfoHeaderSize + ml::kObjectEntrySize * num_of_obj + ml::kObjectEntryDataOffset;
  uint8_t field[ml::kFieldSize] = {};
  for (uint64_t i = 0; i < ml::kFieldSize; ++i) {
    const uint64_t byte = at + i;
    if (i == 0 || byte % bs == 0) block = read_block_at(w, block_address + byte / bs);
    field[i] = block[byte % bs];
  }
  return be64(field) + ml::kIdentifierSize;
}

}  // namespace

int extract_packed_object(Walk& w, uint64_t block_address) {
  char pack_id[37] = {};
  int ret = 0;
  const std::optional<uint64_t> po_size = packed_object_size(w, block_address, pack_id, &ret);
  if (!po_size) return ret;
  const std::string po_name = std::string(pack_id) + ".pack";
  const std::string& save_path = w.setup().save_path;
  const std::string po_path = save_path + "/" + po_name;
  const SafeDir root = SafeDir::root(save_path);
  struct stat status {};
  if (fstatat(root.fd(), po_name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "The packed object file (%s) already exists. It is not written.\n",
                       po_path.c_str());
    return 0;
  }
  if (*po_size >= kLargeObject && check_disk_space(save_path.c_str(), *po_size) != 0) {
    output_fatal(VL_COMMON, "Failed to check the disk space.\n");
  }
  // Written under a temporary name, kept open until whole, and renamed.
  AtomicFile pack;
  if (!pack.open(root, po_name)) output_open_failed(temporary_name_prefix(po_path), errno);
  const uint64_t bs = w.tape.block_size;
  for (uint64_t done = 0; done < *po_size; done += bs) {
    const std::span<const uint8_t> block = read_block_at(w, block_address + done / bs);
    if (!pack.write(block.first(static_cast<size_t>(std::min(bs, *po_size - done)))) ||
        (done + bs >= *po_size && !pack.commit())) {
      output_write_failed(po_path, errno);
    }
  }
  run_record::note_file_written(po_path);
  return 0;
}

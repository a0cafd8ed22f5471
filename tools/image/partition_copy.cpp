// The copy of a partition and the check of a partition file left by an earlier imaging.
#include "image/partition_copy.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <span>

#include "cartridge/cartridge_format.h"
#include "cartridge/cartridge_writer.h"
#include "output_level.h"
#include "scsi_util.h"
#include "support/status_line.h"
#include "support/stop_signal.h"
#include "support/unique_fd.h"
#include "vdrive/partition_file.h"

namespace image {

namespace {

// The format label is the second record of partition 0: {"QuorrantLabel": {..., "BlockSize": N}}.
constexpr uint32_t kLabelPartition = 0;
constexpr uint64_t kLabelRecord = 1;
constexpr char kLabelObject[] = "QuorrantLabel";
constexpr char kBlockSizeMember[] = "BlockSize";

struct JsonDeleter {
  void operator()(json_object* o) const { json_object_put(o); }
};

// The block size the format label in `record` gives, as a number or a text of digits; 0 when
// the record is no such label or the size is no record length.
uint32_t label_block_size(std::span<const uint8_t> record) {
  const std::string text(record.begin(), record.end());  // parsed up to a zero byte
  const std::unique_ptr<json_object, JsonDeleter> root(json_tokener_parse(text.c_str()));
  json_object* label = nullptr;
  json_object* size = nullptr;
  if (!json_object_object_get_ex(root.get(), kLabelObject, &label) ||
      !json_object_object_get_ex(label, kBlockSizeMember, &size)) {
    return 0;
  }
  uint64_t value = 0;
  if (json_object_is_type(size, json_type_int) && json_object_get_int64(size) > 0) {
    value = static_cast<uint64_t>(json_object_get_int64(size));
  } else if (json_object_is_type(size, json_type_string)) {
    const std::string digits = json_object_get_string(size);
    const char* end = digits.data() + digits.size();
    const auto [ptr, ec] = std::from_chars(digits.data(), end, value);
    if (digits.empty() || ec != std::errc() || ptr != end) value = 0;
  }
  return value <= vtape::kMaxRecordLength ? static_cast<uint32_t>(value) : 0;
}

// A record read: the longest so far, and the label's block size.
void note_record(uint32_t partition, uint64_t record, std::span<const uint8_t> data,
                 ImageState* state) {
  state->longest_record = std::max(state->longest_record, static_cast<uint32_t>(data.size()));
  if (partition == kLabelPartition && record == kLabelRecord) {
    state->label_block_size = label_block_size(data);
  }
}

// The length an unreadable record is given: the tape's block size when the label gives it, else
// the longest record read so far, else the block size a tape has whose label gives none.
uint32_t unreadable_length(const ImageState& state) {
  if (state.label_block_size != 0) return state.label_block_size;
  if (state.longest_record != 0) return state.longest_record;
  return static_cast<uint32_t>(vtape::kDefaultBlockSize);
}

vtape::PartitionWriter open_for_append(const SafeDir& dir, const std::string& name,
                                       const PartitionFileState& from) {
  const std::string path = dir.path() + name;
  // Not through a link, and without waiting for a reader when a FIFO stands there.
  support::UniqueFd fd(::openat(dir.fd(), name.c_str(),
                                O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
    output_fatal(VL_COMMON, "The partition file %s cannot be written: %s.\n", path.c_str(),
                 std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    output_fatal(VL_COMMON, "The partition file %s is not a regular file.\n", path.c_str());
  }
  // It is cut and written in place: only a file of the running user's own, with no other name.
  if (st.st_uid != ::geteuid() || st.st_nlink != 1) {
    output_fatal(VL_COMMON,
                 "The partition file %s %s. It is not written: image into another directory.\n",
                 path.c_str(),
                 st.st_uid != ::geteuid() ? "belongs to another user" : "has more than one link");
  }
  if (::ftruncate(fd.get(), static_cast<off_t>(from.keep_bytes)) != 0 ||
      ::lseek(fd.get(), 0, SEEK_END) < 0) {
    output_fatal(VL_COMMON, "The partition file %s cannot be written: %s.\n", path.c_str(),
                 std::strerror(errno));
  }
  return vtape::PartitionWriter(std::move(fd), path, from.objects, from.filemarks);
}

// Reads the record at `object`; one that cannot be read is read again up to `retries` times,
// the tape located back to it before each.
RecordRead read_with_retries(TapeDrive& drive, uint32_t partition, uint64_t object,
                             unsigned retries, std::vector<uint8_t>& buffer) {
  RecordRead r = drive.read_record(static_cast<uint32_t>(buffer.size()), buffer.data());
  const std::string first_trouble = r.trouble;
  for (unsigned retry = 1; r.kind == RecordRead::Kind::unreadable && retry <= retries; ++retry) {
    if (!drive.locate_in_partition(partition, object)) break;
    r = drive.read_record(static_cast<uint32_t>(buffer.size()), buffer.data());
    if (r.kind != RecordRead::Kind::unreadable) {
      output_accdg_to_vl(LV_WARNING, VL_COMMON,
                         "The record at object %" PRIu64 " of partition %" PRIu32
                         " could not be read (%s); it was read on try %u of %u.\n",
                         object, partition, first_trouble.c_str(), retry + 1, retries + 1);
    }
  }
  return r;
}

[[noreturn]] void record_too_long(const RecordRead& r, uint32_t partition, uint64_t object) {
  const std::string length =
      r.record_length != 0 ? " (it is " + std::to_string(r.record_length) + " bytes long)" : "";
  output_fatal(VL_COMMON,
               "The record at object %" PRIu64 " of partition %" PRIu32
               " is longer than the %u bytes one READ transfers here%s: it cannot be copied.\n%s"
               "An administrator can raise the host adapter's transfer limit (an option of its "
               "driver, such as max_sectors) or connect the drive to another adapter; tape_image "
               "then continues where it stopped.\n",
               object, partition, r.requested, length.c_str(), INDENT);
}

void write_unreadable(vtape::PartitionWriter& writer, const RecordRead& r, uint32_t partition,
                      uint64_t object, unsigned retries, ImageState* state) {
  const uint32_t length = unreadable_length(*state);
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "The record at object %" PRIu64 " of partition %" PRIu32
                     " could not be read (%s) in %u tries: the image holds an unreadable record "
                     "of %u bytes in its place.\n",
                     object, partition, r.trouble.c_str(), retries + 1, length);
  writer.record(std::vector<uint8_t>(length, 0), true);
  state->unreadable.push_back(vdrive::RecordRef{partition, object});
}

void show_progress(uint32_t partition, uint64_t object, const ImageState& state) {
  if (status_line::mode() == status_line::Mode::off) return;
  status_line::update(
      {state.objects, 0, state.bytes_read, 0,
       "partition " + std::to_string(partition) + ", object " + std::to_string(object)});
}

}  // namespace

PartitionFileState examine_partition_file(const SafeDir& dir, const std::string& name,
                                          uint32_t partition, ImageState* state) {
  PartitionFileState out;
  const std::string path = dir.path() + name;
  struct stat st {};
  if (::fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
    return out;
  }
  std::string error;
  const std::unique_ptr<vdrive::PartitionFile> file =
      vdrive::PartitionFile::open(dir.fd(), name, path, &error, vdrive::DamageNotice::none);
  if (!file) output_fatal(VL_COMMON, "The partition file %s %s.\n", path.c_str(), error.c_str());
  const uint64_t end = file->end_of_data();
  out.exists = true;
  out.complete = !file->damaged() && file->ends_with_mark();
  out.objects = file->damaged() ? end - 1 : end;
  out.filemarks = file->filemarks_before(out.objects);
  out.keep_bytes = file->end_offset();
  uint64_t records = 0;
  for (uint64_t object = 0; object < out.objects; ++object) {
    if (file->is_filemark(object)) continue;
    vdrive::RecordInfo info;
    if (!file->record(object, &info)) {
      output_fatal(VL_COMMON, "The partition file %s changed while it was checked.\n",
                   path.c_str());
    }
    if (info.unreadable) {
      state->unreadable.push_back(vdrive::RecordRef{partition, object});
    } else {
      state->longest_record = std::max(state->longest_record, info.length);
    }
    if (!info.unreadable && partition == kLabelPartition && records == kLabelRecord) {
      std::vector<uint8_t> label(info.length);
      if (!file->read(info.data_offset, label)) {
        output_fatal(VL_COMMON, "The partition file %s cannot be read.\n", path.c_str());
      }
      state->label_block_size = label_block_size(label);
    }
    ++records;
  }
  state->objects += out.objects;
  return out;
}

CopyEnd copy_partition(TapeDrive& drive, const SafeDir& dir, const std::string& name,
                       uint32_t partition, const PartitionFileState& from, unsigned retries,
                       ImageState* state) {
  vtape::PartitionWriter writer = open_for_append(dir, name, from);
  std::vector<uint8_t> buffer(vtape::kMaxRecordLength);
  uint64_t records = from.objects - from.filemarks;
  if (!drive.locate_in_partition(partition, from.objects)) {
    output_fatal(VL_COMMON,
                 "The tape could not be positioned at object %" PRIu64 " of partition %" PRIu32
                 ".\n",
                 from.objects, partition);
  }
  for (uint64_t object = from.objects;; ++object) {
    if (stop_requested() != 0) return CopyEnd::stopped;
    show_progress(partition, object, *state);
    // Only after a record that could not be read may the tape stand elsewhere.
    if (drive.cursor().position() != object && !drive.locate_in_partition(partition, object)) {
      output_accdg_to_vl(LV_WARNING, VL_COMMON,
                         "The tape could not be positioned past the unreadable record at object "
                         "%" PRIu64 " of partition %" PRIu32
                         ": the copy of the partition ends "
                         "there.\n",
                         object - 1, partition);
      break;
    }
    const RecordRead r = read_with_retries(drive, partition, object, retries, buffer);
    if (r.kind == RecordRead::Kind::end_of_data) break;
    if (r.kind == RecordRead::Kind::too_long) record_too_long(r, partition, object);
    if (r.kind == RecordRead::Kind::filemark) {
      writer.filemark();
    } else if (r.kind == RecordRead::Kind::record) {
      const std::span<const uint8_t> data(buffer.data(), r.length);
      writer.record(data);
      note_record(partition, records++, data, state);
      state->bytes_read += r.length;
    } else {
      write_unreadable(writer, r, partition, object, retries, state);
      ++records;
    }
    writer.flush();  // a killed process loses at most the object being written
    ++state->objects;
  }
  writer.end_of_medium();
  writer.sync();
  writer.close();
  return CopyEnd::complete;
}

}  // namespace image

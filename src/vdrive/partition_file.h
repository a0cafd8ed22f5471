// One partition of a virtual cartridge: a SIMH magtape file, opened read-only, checked and indexed
// by reading only its length words. Opening checks the first objects (a whole partition of a test
// or reference size); the rest is checked as the drive first moves over it, so a cartridge of a
// terabyte is usable at once. What the drive needs to position without reading again is kept in
// a compact index whatever the size of the file: one bit per logical object (filemark or not),
// and every 256 objects the byte offset and the number of filemarks before. Record data is read
// only when a READ asks for it.
//
// A file may be the image of a failing tape, cut short or garbled part-way. The first object that
// cannot be parsed (the file ends inside it, its closing length word differs from the opening
// one, its length is 0 or 16 MiB or more) is the damage: the partition holds the objects before
// it, then one unreadable record in its place, then its end of data. The damage is said once, as
// a WARNING naming the file and the byte offset, whenever the checking meets it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/unique_fd.h"
#include "vdrive/vdrive.h"

namespace vdrive {

// Records are at most 16 MiB - 1 bytes (24-bit length field).
inline constexpr uint32_t kMaxRecordLength = 0xFFFFFF;

// What a failed open of a file of the cartridge (opened without following links) says, from its
// errno.
std::string open_failure(int error);

// Whether the damage of a file is said when the checking meets it.
enum class DamageNotice { warning, none };

// A data record of the partition.
struct RecordInfo {
  uint32_t length = 0;
  bool unreadable = false;   // the SIMH error flag
  uint64_t data_offset = 0;  // byte offset of the data in the file
};

class PartitionFile {
 public:
  // Opens `name` relative to the directory `dir_fd` and checks its first objects; `path` names it
  // in messages. A file that cannot be opened, or is not a regular file, gives null with what is
  // wrong in `*error`; a damaged one is opened.
  static std::unique_ptr<PartitionFile> open(int dir_fd, const std::string& name,
                                             const std::string& path, std::string* error,
                                             DamageNotice notice = DamageNotice::warning);

  const std::string& path() const { return path_; }

  // Checks the file up to `object` (or its end). True when the partition holds the position
  // `object`, that is object <= end of data.
  bool reach(uint64_t object);
  // Objects checked so far; once the whole file is checked, the end of data.
  uint64_t checked() const { return object_count_; }
  // The position of the end of data (checks the whole file).
  uint64_t end_of_data();
  // True when checking met damage: the last object known is the unreadable record in its place.
  bool damaged() const { return damaged_; }
  // Once the whole file is checked: the byte offset where the objects of the partition end (the
  // end-of-medium word, the end of the file, or the damage), and whether an end-of-medium word
  // stands there.
  uint64_t end_offset() const { return scan_offset_; }
  bool ends_with_mark() const { return marked_end_; }

  bool is_filemark(uint64_t object) const;
  // Filemarks among the objects before `object` (object <= checked()).
  uint64_t filemarks_before(uint64_t object) const;
  // Object number of the filemark with 0-based `index` in the partition; checks the file further
  // as needed, but not beyond the object `limit`.
  std::optional<uint64_t> filemark_object(uint64_t index, uint64_t limit = UINT64_MAX);

  // The record at `object` (a checked record, not a filemark). False when the file can no longer
  // be read as it was checked.
  bool record(uint64_t object, RecordInfo* info);
  // Reads record data; false when the file cannot deliver all of it.
  bool read(uint64_t offset, std::span<uint8_t> out) const;

 private:
  static constexpr uint64_t kStride = 256;  // objects per index block
  PartitionFile() = default;
  // Checks objects until the limits are reached or the file ends; false, with what is wrong in
  // `*error`, at an object that cannot be parsed.
  bool scan(uint64_t object_limit, uint64_t filemark_limit, std::string* error);
  void scan_more(uint64_t object_limit, uint64_t filemark_limit);
  // Ends the partition at the object scan_offset_ points at: one unreadable record, then end of
  // data.
  void take_damage(const std::string& what);
  void count_object();
  bool word_at(uint64_t offset, uint32_t* word, bool sparse = false);
  // The length word of the object at `*offset`, erase gaps passed over.
  bool object_word(uint64_t* offset, uint32_t* word);

  support::UniqueFd fd_;
  std::string path_;
  uint64_t file_size_ = 0;
  uint64_t object_count_ = 0;    // objects checked
  uint64_t scan_offset_ = 0;     // byte offset of the first object not checked
  uint64_t filemark_total_ = 0;  // filemarks among the objects checked
  bool complete_ = false;
  bool damaged_ = false;
  bool marked_end_ = false;
  DamageNotice notice_ = DamageNotice::warning;
  std::vector<uint64_t> block_offset_;     // byte offset of object k * kStride
  std::vector<uint64_t> block_filemarks_;  // filemarks before object k * kStride
  std::vector<uint64_t> filemark_bits_;    // bit per object: 1 for a filemark

  // Where the last record lookup ended, so that sequential reads do not walk from an index block.
  uint64_t cursor_object_ = 0;
  uint64_t cursor_offset_ = 0;

  // Read-ahead over the length words: at most the rest of one page, so that a partition of large
  // records costs one page per record.
  std::vector<uint8_t> window_;
  uint64_t window_offset_ = 0;
  size_t window_length_ = 0;
};

}  // namespace vdrive

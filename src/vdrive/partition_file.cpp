// SIMH magtape partition files: checking, indexing and reading records.
#include "vdrive/partition_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "output_level.h"
#include "vdrive/vdrive.h"

namespace vdrive {

namespace {

constexpr uint32_t kTapeMark = 0x00000000u;
constexpr uint32_t kEndOfMedium = 0xFFFFFFFFu;
constexpr uint32_t kEraseGap = 0xFFFFFFFEu;  // written by other tools; takes no object number
constexpr uint32_t kErrorFlag = 0x80000000u;
constexpr uint32_t kLengthMask = 0x7FFFFFFFu;  // bits 30..24 must be zero: a length below 16 MiB
constexpr size_t kPageLength = 4096;

uint64_t objects_checked_at_open = kObjectsCheckedAtOpen;

uint64_t padded(uint32_t length) { return length + (length & 1u); }

std::string format(const char* fmt, uint64_t a, uint64_t b = 0, uint64_t c = 0) {
  char text[256];
  std::snprintf(text, sizeof(text), fmt, a, b, c);
  return text;
}

bool pread_all(int fd, uint8_t* out, size_t length, uint64_t offset, size_t* got) {
  *got = 0;
  while (*got < length) {
    const ssize_t n = ::pread(fd, out + *got, length - *got, static_cast<off_t>(offset + *got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

void set_objects_checked_at_open(uint64_t objects) { objects_checked_at_open = objects; }

std::string open_failure(int error) {
  if (error == ELOOP) return "is a symbolic link; a cartridge holds regular files only";
  return std::string("cannot be opened: ") + std::strerror(error);
}

std::unique_ptr<PartitionFile> PartitionFile::open(int dir_fd, const std::string& name,
                                                   const std::string& path, std::string* error,
                                                   DamageNotice notice) {
  std::unique_ptr<PartitionFile> file(new PartitionFile());
  file->path_ = path;
  // Without blocking (a FIFO has no writer) and without following a link.
  file->fd_.reset(::openat(dir_fd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!file->fd_.valid()) {
    *error = open_failure(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(file->fd_.get(), &st) != 0) {
    *error = std::string("cannot be examined: ") + std::strerror(errno);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "is not a regular file";
    return nullptr;
  }
  file->file_size_ = static_cast<uint64_t>(st.st_size);
  file->notice_ = notice;
  file->window_.resize(kPageLength + 8);
  file->block_offset_.push_back(0);
  file->block_filemarks_.push_back(0);
  file->filemark_bits_.push_back(0);
  file->scan_more(objects_checked_at_open, UINT64_MAX);
  return file;
}

bool PartitionFile::word_at(uint64_t offset, uint32_t* word, bool sparse) {
  if (offset > file_size_ || file_size_ - offset < 4) return false;
  if (offset < window_offset_ || offset - window_offset_ + 4 > window_length_) {
    // The rest of the page that holds the word (at least the word and the one behind it); behind
    // a large record only those two, the next word being a page or more away.
    const size_t length = sparse ? 8 : std::max<size_t>(8, kPageLength - offset % kPageLength);
    size_t got = 0;
    if (!pread_all(fd_.get(), window_.data(), length, offset, &got) || got < 4) {
      window_length_ = 0;
      return false;
    }
    window_offset_ = offset;
    window_length_ = got;
  }
  const uint8_t* p = window_.data() + (offset - window_offset_);
  *word = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
          (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  return true;
}

// Checks further objects, extending the index, until `object_limit` objects are known, the
// filemarks known reach `filemark_limit`, or the file ends.
bool PartitionFile::scan(uint64_t object_limit, uint64_t filemark_limit, std::string* error) {
  while (!complete_ && object_count_ < object_limit && filemark_total_ < filemark_limit) {
    const uint64_t offset = scan_offset_;
    if (offset == file_size_) {  // the end of the file is the end of medium
      complete_ = true;
      break;
    }
    uint32_t word = 0;
    if (file_size_ - offset < 4) {
      *error = "the file ends inside a length word";
      return false;
    }
    if (!word_at(offset, &word)) {
      *error = "the file cannot be read there";
      return false;
    }
    if (word == kEraseGap) {
      scan_offset_ = offset + 4;
      continue;
    }
    if (word == kEndOfMedium) {
      complete_ = true;
      marked_end_ = true;
      break;
    }
    if (word == kTapeMark) {
      filemark_bits_[object_count_ / 64] |= uint64_t{1} << (object_count_ % 64);
      ++filemark_total_;
      scan_offset_ = offset + 4;
      count_object();
      continue;
    }
    const uint32_t length = word & kLengthMask;
    if (length > kMaxRecordLength) {
      *error = format("its length word %08" PRIX64 "h gives a record of 16 MiB or more", word);
      return false;
    }
    if (length == 0) {
      *error = "it holds a record of length 0";
      return false;
    }
    const uint64_t trailer = offset + 4 + padded(length);
    if (trailer > file_size_ || file_size_ - trailer < 4) {
      *error = format("the file ends inside a record of %" PRIu64 " bytes", length);
      return false;
    }
    uint32_t trailing = 0;
    if (!word_at(trailer, &trailing, length >= kPageLength)) {
      *error = "the file cannot be read there";
      return false;
    }
    if (trailing != word) {
      *error = format("the record's closing length word %08" PRIX64
                      "h differs from its opening one %08" PRIX64 "h",
                      trailing, word);
      return false;
    }
    scan_offset_ = trailer + 4;
    count_object();
  }
  return true;
}

// One more object checked: its bit in the index (a record unless scan set it), and every
// kStride objects an index block.
void PartitionFile::count_object() {
  ++object_count_;
  if (object_count_ / 64 >= filemark_bits_.size()) filemark_bits_.push_back(0);
  if (object_count_ % kStride == 0) {
    block_offset_.push_back(scan_offset_);
    block_filemarks_.push_back(filemark_total_);
  }
}

void PartitionFile::take_damage(const std::string& what) {
  complete_ = true;
  damaged_ = true;
  count_object();
  if (notice_ == DamageNotice::none) return;
  output_accdg_to_vl(LV_WARNING, VL_MISC,
                     "Virtual cartridge file %s is damaged at byte offset %" PRIu64
                     " (%s): it is served up to there, where one unreadable record and the end "
                     "of data follow.\n",
                     path_.c_str(), scan_offset_, what.c_str());
}

// Checking as far as the limits ask: damage met on the way ends the partition there.
void PartitionFile::scan_more(uint64_t object_limit, uint64_t filemark_limit) {
  if (complete_) return;
  std::string error;
  if (!scan(object_limit, filemark_limit, &error)) take_damage(error);
}

bool PartitionFile::reach(uint64_t object) {
  if (object > object_count_) scan_more(object, UINT64_MAX);
  return object <= object_count_;
}

uint64_t PartitionFile::end_of_data() {
  scan_more(UINT64_MAX, UINT64_MAX);
  return object_count_;
}

bool PartitionFile::is_filemark(uint64_t object) const {
  if (object >= object_count_) return false;
  return (filemark_bits_[object / 64] >> (object % 64)) & 1u;
}

uint64_t PartitionFile::filemarks_before(uint64_t object) const {
  object = std::min(object, object_count_);
  const uint64_t block = object / kStride;
  uint64_t count = block_filemarks_[block];
  for (uint64_t o = block * kStride; o < object; o += 64) {
    const uint64_t bits = filemark_bits_[o / 64];
    const uint64_t take = std::min<uint64_t>(64, object - o);
    count += static_cast<uint64_t>(
        std::popcount(take == 64 ? bits : bits & ((uint64_t{1} << take) - 1)));
  }
  return count;
}

std::optional<uint64_t> PartitionFile::filemark_object(uint64_t index, uint64_t limit) {
  if (index >= filemark_total_) scan_more(limit, index + 1);
  if (index >= filemark_total_) return std::nullopt;
  // The last index block with no more than `index` filemarks before it holds the filemark.
  const auto it = std::upper_bound(block_filemarks_.begin(), block_filemarks_.end(), index);
  const uint64_t block = static_cast<uint64_t>(it - block_filemarks_.begin()) - 1;
  uint64_t remaining = index - block_filemarks_[block];
  for (uint64_t word = block * kStride / 64; word < filemark_bits_.size(); ++word) {
    uint64_t bits = filemark_bits_[word];
    const uint64_t here = static_cast<uint64_t>(std::popcount(bits));
    if (remaining >= here) {
      remaining -= here;
      continue;
    }
    for (; remaining > 0; --remaining) bits &= bits - 1;  // drop the lowest set bits
    return word * 64 + static_cast<uint64_t>(std::countr_zero(bits));
  }
  return std::nullopt;
}

bool PartitionFile::object_word(uint64_t* offset, uint32_t* word) {
  for (;;) {
    if (!word_at(*offset, word)) return false;
    if (*word != kEraseGap) return true;
    *offset += 4;
  }
}

bool PartitionFile::record(uint64_t object, RecordInfo* info) {
  if (object >= object_count_ || is_filemark(object)) return false;
  if (damaged_ && object + 1 == object_count_) {
    *info = RecordInfo{0, true, scan_offset_};  // the damage: an unreadable record, no data
    return true;
  }
  const uint64_t block = object / kStride;
  uint64_t at = block * kStride;
  uint64_t offset = block_offset_[block];
  if (cursor_object_ <= object && cursor_object_ >= at) {
    at = cursor_object_;
    offset = cursor_offset_;
  }
  uint32_t word = 0;
  for (; at < object; ++at) {
    if (!object_word(&offset, &word) || (word == kTapeMark) != is_filemark(at)) return false;
    offset += word == kTapeMark ? 4 : 8 + padded(word & kMaxRecordLength);
  }
  if (!object_word(&offset, &word) || word == kTapeMark || word == kEndOfMedium) return false;
  const uint32_t length = word & kLengthMask;
  if (length == 0 || length > kMaxRecordLength) return false;
  cursor_object_ = object;
  cursor_offset_ = offset;
  info->length = length;
  info->unreadable = (word & kErrorFlag) != 0;
  info->data_offset = offset + 4;
  return true;
}

bool PartitionFile::read(uint64_t offset, std::span<uint8_t> out) const {
  size_t got = 0;
  return pread_all(fd_.get(), out.data(), out.size(), offset, &got) && got == out.size();
}

}  // namespace vdrive

// Reading the marker file cache: ranges of a cached marker file, read with pread, bytes beyond the
// end of the file reading as zero. The walk, the marker index and read_marker_file all read the
// cache through this one reader.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "support/unique_fd.h"

namespace walk {

class CacheFile {
 public:
  // A file that cannot be opened ends the run.
  explicit CacheFile(const std::string& path);

  const std::string& path() const { return path_; }
  uint64_t size() const { return size_; }
  bool holds(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  // Reads up to out.size() bytes at `offset` into `out`; returns how many the file held there and
  // leaves the rest of `out` as it was.
  size_t read_some(uint64_t offset, std::span<uint8_t> out) const;
  // Reads `length` bytes at `offset`; what the file does not hold reads as zero.
  void read(uint64_t offset, void* out, size_t length) const;
  // The big-endian 64-bit value at `offset` (0 where the file does not hold it).
  uint64_t u64(uint64_t offset) const;

 private:
  static constexpr size_t kWindowSize = 65536;
  size_t read_at(uint64_t offset, std::span<uint8_t> out) const;

  std::string path_;
  support::UniqueFd fd_;
  uint64_t size_ = 0;
  mutable std::vector<uint8_t> window_;
  mutable uint64_t window_offset_ = 0;
};

// The cache files a walk reads, kept open for the reads that follow until the cache changes. The
// walk reads one file at a time, now and then two: two are kept.
class CacheFiles {
 public:
  // The cache file at `path`, opened when it is not open already.
  const CacheFile& open(const std::string& path);
  // The cache file at `path` when it is open already, else null.
  const CacheFile* find(const std::string& path) const;
  // Cache files were written, replaced or removed: files kept open are opened afresh at their
  // next read. Every writer of the cache calls it.
  void changed();

 private:
  std::unique_ptr<CacheFile> files_[2];
  int next_ = 0;
};

}  // namespace walk

// Reader of cached marker files.
#include "walk/cache_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "endian_utils.h"
#include "output_level.h"

namespace walk {

CacheFile::CacheFile(const std::string& path) : path_(path) {
  fd_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd_.valid()) {
    output_fatal(VL_MISC, "Failed to open file. path=%s, mode=%s, error=%s\n", path.c_str(), "rb",
                 std::strerror(errno));
  }
  struct stat status {};
  if (fstat(fd_.get(), &status) == 0) {
    size_ = static_cast<uint64_t>(status.st_size);
  }
}

size_t CacheFile::read_some(uint64_t offset, std::span<uint8_t> out) const {
  if (offset >= size_) return 0;
  const size_t available = static_cast<size_t>(std::min<uint64_t>(out.size(), size_ - offset));
  // Small reads (the fields of the index, one after the other) come from a window of the file.
  if (available <= kWindowSize / 4) {
    if (offset < window_offset_ || offset + available > window_offset_ + window_.size()) {
      window_.resize(static_cast<size_t>(std::min<uint64_t>(kWindowSize, size_ - offset)));
      window_.resize(read_at(offset, window_));
      window_offset_ = offset;
    }
    const size_t from = static_cast<size_t>(offset - window_offset_);
    const size_t n = std::min(available, window_.size() - std::min(from, window_.size()));
    std::copy_n(window_.begin() + static_cast<ptrdiff_t>(from), n, out.begin());
    return n;
  }
  return read_at(offset, out.first(available));
}

size_t CacheFile::read_at(uint64_t offset, std::span<uint8_t> out) const {
  const size_t available = out.size();
  size_t done = 0;
  while (done < available) {
    const ssize_t n =
        pread(fd_.get(), out.data() + done, available - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void CacheFile::read(uint64_t offset, void* out, size_t length) const {
  std::memset(out, 0, length);
  read_some(offset, std::span<uint8_t>(static_cast<uint8_t*>(out), length));
}

uint64_t CacheFile::u64(uint64_t offset) const {
  uint8_t bytes[8];
  read(offset, bytes, sizeof(bytes));
  return be64(bytes);
}

void CacheFiles::changed() {
  for (auto& file : files_) file.reset();
}

const CacheFile* CacheFiles::find(const std::string& path) const {
  for (const auto& file : files_) {
    if (file != nullptr && file->path() == path) return file.get();
  }
  return nullptr;
}

const CacheFile& CacheFiles::open(const std::string& path) {
  if (const CacheFile* open = find(path)) return *open;
  std::unique_ptr<CacheFile>& slot = files_[next_];
  next_ ^= 1;
  slot = std::make_unique<CacheFile>(path);
  return *slot;
}

}  // namespace walk

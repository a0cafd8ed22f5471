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
    device_ = status.st_dev;
    inode_ = status.st_ino;
  }
}

size_t CacheFile::read_some(uint64_t offset, std::span<uint8_t> out) const {
  if (offset >= size_) return 0;
  const size_t available = static_cast<size_t>(std::min<uint64_t>(out.size(), size_ - offset));
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

bool CacheFile::is_current() const {
  struct stat named {};
  return stat(path_.c_str(), &named) == 0 && named.st_dev == device_ && named.st_ino == inode_;
}

const CacheFile& open_cache_file(const std::string& path) {
  // The walk reads from a cache file at a time, now and then from a second: two are kept open.
  static std::unique_ptr<CacheFile> open_files[2];
  static int next = 0;
  for (const auto& file : open_files) {
    if (file != nullptr && file->path() == path && file->is_current()) return *file;
  }
  for (auto& file : open_files) {
    if (file != nullptr && file->path() == path) file.reset();
  }
  std::unique_ptr<CacheFile>& slot = open_files[next];
  next ^= 1;
  slot = std::make_unique<CacheFile>(path);
  return *slot;
}

}  // namespace walk

// Atomic files and the clean-up list of files still under a temporary name.
#include "support/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

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

std::string temporary_name_prefix(const std::string& final_path) { return final_path + ".tmp."; }

bool AtomicFile::open(const std::string& final_path) {
  discard();
  final_path_ = final_path;
  // The process identifier keeps concurrent runs apart; the counter keeps the files of one run
  // apart. A name left by an earlier process of the same number is passed over.
  static uint64_t counter = 0;
  const std::string prefix = temporary_name_prefix(final_path) + std::to_string(getpid()) + ".";
  for (int attempt = 0; attempt < 1000; ++attempt) {
    temp_path_ = prefix + std::to_string(counter++);
    const int fd =
        ::open(temp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_.reset(fd);
      add_unfinished_file(temp_path_.c_str());
      return true;
    }
    if (errno != EEXIST) break;
  }
  temp_path_.clear();
  return false;
}

bool AtomicFile::write(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return true;
}

bool AtomicFile::commit() {
  if (!fd_.valid()) return false;
  const int closed = ::close(fd_.release());
  const bool done = closed == 0 && std::rename(temp_path_.c_str(), final_path_.c_str()) == 0;
  const int error = errno;
  if (!done) unlink(temp_path_.c_str());
  remove_from_unfinished_files(temp_path_.c_str());
  temp_path_.clear();
  errno = error;
  return done;
}

void AtomicFile::discard() {
  if (!fd_.valid()) return;
  fd_.reset();
  unlink(temp_path_.c_str());
  remove_from_unfinished_files(temp_path_.c_str());
  temp_path_.clear();
}

bool copy_file_atomically(const std::string& from, const std::string& to) {
  vdrive::UniqueFd source(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!source.valid() || fstat(source.get(), &status) != 0) return false;
  if (!S_ISREG(status.st_mode)) {
    errno = EINVAL;
    return false;
  }
  AtomicFile copy;
  if (!copy.open(to)) return false;
  std::vector<uint8_t> buffer(1 << 20);
  while (true) {
    const ssize_t n = ::read(source.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    if (!copy.write(std::span(buffer.data(), static_cast<size_t>(n)))) return false;
  }
  return copy.commit();
}

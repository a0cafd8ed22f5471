// Atomic files and the clean-up list of files still under a temporary name.
#include "support/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string_view>
#include <vector>

namespace {

// Files under a temporary name: removed on the way out of a run that ends before they are whole.
struct Unfinished {
  SafeDir dir;
  std::string name;
};

std::vector<Unfinished>& unfinished_files() {
  static std::vector<Unfinished> files;
  return files;
}

void remove_unfinished_files() {
  for (const Unfinished& file : unfinished_files()) unlinkat(file.dir.fd(), file.name.c_str(), 0);
  unfinished_files().clear();
}

void add_unfinished(const SafeDir& dir, const std::string& name) {
  std::vector<Unfinished>& files = unfinished_files();  // constructed before the exit handler
  static const bool handler_registered = std::atexit(remove_unfinished_files) == 0;
  (void)handler_registered;
  files.push_back({dir, name});
}

void remove_from_unfinished(const SafeDir& dir, const std::string& name) {
  std::vector<Unfinished>& files = unfinished_files();
  const auto it = std::find_if(files.begin(), files.end(), [&](const Unfinished& f) {
    return f.dir.fd() == dir.fd() && f.name == name;
  });
  if (it != files.end()) files.erase(it);
}

}  // namespace

void forget_unfinished_files() { unfinished_files().clear(); }

std::string temporary_name_prefix(const std::string& final_name) { return final_name + ".tmp."; }

bool may_replace(const SafeDir& dir, const std::string& name) {
  struct stat status {};
  if (fstatat(dir.fd(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return true;
  if (status.st_uid != geteuid() || (!S_ISDIR(status.st_mode) && status.st_nlink > 1)) {
    errno = EPERM;
    return false;
  }
  return true;
}

bool AtomicFile::open(const SafeDir& dir, const std::string& name) {
  discard();
  dir_ = dir;
  name_ = name;
  final_path_ = dir.path() + name;
  // The process identifier keeps concurrent runs apart; the counter keeps the files of one run
  // apart. A name left by an earlier process of the same number is passed over.
  static uint64_t counter = 0;
  static const std::string process = std::to_string(getpid());
  const std::string prefix = temporary_name_prefix(name) + process + ".";
  for (int attempt = 0; attempt < 1000; ++attempt) {
    temp_name_ = prefix + std::to_string(counter++);
    const int fd = openat(dir.fd(), temp_name_.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_.reset(fd);
      add_unfinished(dir_, temp_name_);
      return true;
    }
    if (errno != EEXIST) break;
  }
  temp_name_.clear();
  return false;
}

bool AtomicFile::open(const std::string& final_path) {
  const size_t slash = final_path.rfind('/');
  return open(SafeDir::parent_of(final_path),
              slash == std::string::npos ? final_path : final_path.substr(slash + 1));
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

bool AtomicFile::suspend() {
  // The file is known again on resume() by its identity.
  struct stat status {};
  if (fstat(fd_.get(), &status) != 0) return false;
  device_ = status.st_dev;
  inode_ = status.st_ino;
  return fd_.close() == 0;
}

bool AtomicFile::resume() {
  if (fd_.valid()) return true;
  support::UniqueFd fd(
      openat(dir_.fd(), temp_name_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!fd.valid() || fstat(fd.get(), &status) != 0) return false;
  if (status.st_dev != device_ || status.st_ino != inode_) {
    errno = ESTALE;
    return false;
  }
  fd_ = std::move(fd);
  return true;
}

bool AtomicFile::commit() {
  if (suspended() && !resume()) return false;
  if (!fd_.valid()) return false;
  const bool done = fd_.close() == 0 && may_replace(dir_, name_) &&
                    renameat(dir_.fd(), temp_name_.c_str(), dir_.fd(), name_.c_str()) == 0;
  const int error = errno;
  if (!done) unlinkat(dir_.fd(), temp_name_.c_str(), 0);
  remove_from_unfinished(dir_, temp_name_);
  temp_name_.clear();
  errno = error;
  return done;
}

void AtomicFile::abandon() {
  fd_.reset();
  temp_name_.clear();
}

void AtomicFile::discard() {
  if (temp_name_.empty()) return;
  fd_.reset();
  unlinkat(dir_.fd(), temp_name_.c_str(), 0);
  remove_from_unfinished(dir_, temp_name_);
  temp_name_.clear();
}

namespace {

// Calls `visit` with the directory's descriptor and the name of every entry of `dir` whose name
// begins with the temporary prefix of `final_name`, and the rest of the name after it.
void for_each_temporary(const SafeDir& dir, const std::string& final_name,
                        const std::function<void(int, const char*, std::string_view)>& visit) {
  const std::string prefix = temporary_name_prefix(final_name);
  const int fd = openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* stream = fd < 0 ? nullptr : fdopendir(fd);
  if (stream == nullptr) {
    if (fd >= 0) close(fd);
    return;
  }
  for (const dirent* entry = readdir(stream); entry != nullptr; entry = readdir(stream)) {
    const std::string_view name(entry->d_name);
    if (name.starts_with(prefix)) visit(dirfd(stream), entry->d_name, name.substr(prefix.size()));
  }
  closedir(stream);
}

// The process that made the temporary file named "<pid>.<n>" after its prefix; 0 for another name.
pid_t maker_of(std::string_view rest) {
  const size_t dot = rest.find('.');
  if (dot == 0 || dot == std::string_view::npos || dot + 1 == rest.size()) return 0;
  const std::string_view counter = rest.substr(dot + 1);
  if (counter.find_first_not_of("0123456789") != std::string_view::npos) return 0;
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + dot, pid);
  return error == std::errc() && end == rest.data() + dot && pid > 0 ? pid : 0;
}

}  // namespace

void remove_stale_temporaries(const SafeDir& dir, const std::string& final_name) {
  for_each_temporary(dir, final_name, [](int dir_fd, const char* name, std::string_view) {
    unlinkat(dir_fd, name, 0);
  });
}

void remove_orphaned_temporaries(const SafeDir& dir, const std::string& final_name) {
  for_each_temporary(dir, final_name, [](int dir_fd, const char* name, std::string_view rest) {
    const pid_t pid = maker_of(rest);
    struct stat status {};
    if (pid == 0 || fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode) || status.st_uid != geteuid()) {
      return;
    }
    if (kill(pid, 0) != 0 && errno == ESRCH) unlinkat(dir_fd, name, 0);
  });
}

bool copy_file_atomically(const std::string& from, const std::string& to) {
  support::UniqueFd source(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
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

// Entering directories below a chosen root without following links.
#include "support/safe_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "output_level.h"

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string with_slash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

// Why `name` of `parent` could not be opened as a directory, after openat failed with `error`.
SafeDir::Refusal refusal_of(int parent, const char* name, int error) {
  if (error == ENOENT) return SafeDir::Refusal::missing;
  struct stat status {};
  if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(status.st_mode)) return SafeDir::Refusal::link;
    if (!S_ISDIR(status.st_mode)) return SafeDir::Refusal::not_directory;
  }
  return error == ELOOP ? SafeDir::Refusal::link : SafeDir::Refusal::failed;
}

}  // namespace

void refuse_directory(SafeDir::Refusal why, const std::string& path) {
  switch (why) {
    case SafeDir::Refusal::link:
      output_fatal(VL_COMMON,
                   "The path (%s) is a symbolic link. The program does not write or delete "
                   "through links.\n",
                   path.c_str());
    case SafeDir::Refusal::foreign:
      output_fatal(VL_COMMON,
                   "The directory (%s) belongs to another user. The program does not write or "
                   "delete in it.\n",
                   path.c_str());
    case SafeDir::Refusal::not_directory:
      output_fatal(VL_COMMON, "The path (%s) is not a directory.\n", path.c_str());
    default:
      output_fatal(VL_COMMON, "The directory (%s) could not be opened: %s\n", path.c_str(),
                   std::strerror(errno));
  }
}

SafeDir::SafeDir(support::UniqueFd fd, std::string path)
    : fd_(std::make_shared<support::UniqueFd>(std::move(fd))), path_(with_slash(std::move(path))) {}

SafeDir SafeDir::root(const std::string& path) {
  support::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    refuse_directory(errno == ENOTDIR ? Refusal::not_directory : Refusal::failed, path);
  }
  return SafeDir(std::move(fd), path);
}

SafeDir SafeDir::try_root(const std::string& path) {
  support::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return SafeDir();
  return SafeDir(std::move(fd), path);
}

SafeDir SafeDir::existing_root(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 && errno == ENOENT) return SafeDir();
  return root(path);
}

SafeDir SafeDir::parent_of(const std::string& file_path) {
  const size_t slash = file_path.rfind('/');
  if (slash == std::string::npos) return root(".");
  if (file_path[0] == '/') return root(slash == 0 ? "/" : file_path.substr(0, slash));
  return root(".").enter(std::string_view(file_path).substr(0, slash), true);
}

SafeDir SafeDir::private_directory(const std::string& path, std::string* problem) {
  std::string name = path;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  support::UniqueFd fd(::open(name.c_str(), kDirectoryFlags));
  struct stat status {};
  if (!fd.valid()) {
    const int error = errno;
    const bool link = lstat(name.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
    *problem = link                 ? "is a symbolic link"
               : error == ENOTDIR ? "is not a directory"
                                  : "could not be examined";
    return SafeDir();
  }
  if (fstat(fd.get(), &status) != 0) {
    *problem = "could not be examined";
  } else if (status.st_uid != geteuid()) {
    *problem = "belongs to another user";
  } else if ((status.st_mode & 077) != 0 && fchmod(fd.get(), 0700) != 0) {
    *problem = "could not be made private (mode 0700)";
  }
  if (!problem->empty()) return SafeDir();
  return SafeDir(std::move(fd), name);
}

SafeDir SafeDir::enter(std::string_view relative, bool create) const {
  Refusal why = Refusal::none;
  std::string failed_at;
  SafeDir dir = try_enter(relative, create, &why, &failed_at);
  if (why != Refusal::none && why != Refusal::missing) refuse_directory(why, failed_at);
  return dir;
}

SafeDir SafeDir::try_enter(std::string_view relative, bool create, Refusal* why,
                           std::string* failed_at) const {
  *why = Refusal::none;
  SafeDir current = *this;
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string_view::npos) end = relative.size();
    const std::string name(relative.substr(start, end - start));
    start = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {  // never above the root
      errno = EINVAL;
      *why = Refusal::failed;
      *failed_at = current.path_ + name;
      return SafeDir();
    }
    const std::string path = current.path_ + name;
    // A directory made here just now is the running user's own.
    const bool made = create && mkdirat(current.fd(), name.c_str(), 0777) == 0;
    support::UniqueFd fd(openat(current.fd(), name.c_str(), kDirectoryFlags));
    if (!fd.valid()) {
      *why = refusal_of(current.fd(), name.c_str(), errno);
      *failed_at = path;
      return SafeDir();
    }
    struct stat status {};
    if (!made && (fstat(fd.get(), &status) != 0 || status.st_uid != geteuid())) {
      *why = Refusal::foreign;
      *failed_at = path;
      return SafeDir();
    }
    current = SafeDir(std::move(fd), path);
    current.made_ = made;
  }
  return current;
}

int open_file_in(const SafeDir& dir, const std::string& name) {
  return openat(dir.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

namespace {

// Calls `visit(name, is_plain)` for every entry of `dir` but "." and ".."; stops when it returns
// false. False when the directory cannot be read.
template <typename Visit>
bool for_each_entry(const SafeDir& dir, Visit visit) {
  const int fd = openat(dir.fd(), ".", kDirectoryFlags);
  if (fd < 0) return false;
  DIR* stream = fdopendir(fd);
  if (stream == nullptr) {
    close(fd);
    return false;
  }
  bool go_on = true;
  for (const dirent* entry = readdir(stream); go_on && entry != nullptr; entry = readdir(stream)) {
    const std::string name(entry->d_name);
    if (name == "." || name == "..") continue;
    struct stat status {};
    const bool plain = fstatat(dirfd(stream), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISREG(status.st_mode);
    go_on = visit(name, plain);
  }
  closedir(stream);
  return true;
}

}  // namespace

bool remove_plain_files(const SafeDir& dir, std::string* other, bool leave_others) {
  bool clean = true;
  const bool read = for_each_entry(dir, [&](const std::string& name, bool plain) {
    if (!plain && leave_others) return true;
    if (!plain || unlinkat(dir.fd(), name.c_str(), 0) != 0) {
      if (clean) *other = name;
      clean = false;
    }
    return true;
  });
  return read && clean;
}

std::vector<std::string> subdirectory_names(const SafeDir& dir) {
  std::vector<std::string> names;
  for_each_entry(dir, [&](const std::string& name, bool plain) {
    struct stat status {};
    if (!plain && fstatat(dir.fd(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(status.st_mode)) {
      names.push_back(name);
    }
    return true;
  });
  return names;
}

bool remove_directory_of_plain_files(const SafeDir& dir, const std::string& name) {
  SafeDir::Refusal why = SafeDir::Refusal::none;
  std::string failed_at;
  const SafeDir inner = dir.try_enter(name, false, &why, &failed_at);
  std::string other;
  return inner.valid() && remove_plain_files(inner, &other) &&
         unlinkat(dir.fd(), name.c_str(), AT_REMOVEDIR) == 0;
}

bool holds_only_plain_files(const SafeDir& dir, std::string* other) {
  bool clean = true;
  const bool read = for_each_entry(dir, [&](const std::string& name, bool plain) {
    if (!plain) {
      *other = name;
      clean = false;
    }
    return clean;
  });
  return read && clean;
}

bool read_plain_file(const SafeDir& dir, const std::string& name, std::string* bytes) {
  bytes->clear();
  return stream_plain_file(dir, name, [bytes](std::span<const uint8_t> piece) {
    bytes->append(reinterpret_cast<const char*>(piece.data()), piece.size());
    return true;
  });
}

bool stream_plain_file(const SafeDir& dir, const std::string& name,
                       const std::function<bool(std::span<const uint8_t>)>& take) {
  support::UniqueFd fd(open_file_in(dir, name));
  struct stat status {};
  if (!fd.valid() || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  std::vector<uint8_t> buffer(65536);
  ssize_t n = 0;
  while ((n = read(fd.get(), buffer.data(), buffer.size())) > 0) {
    if (!take(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)))) return false;
  }
  return n == 0;
}

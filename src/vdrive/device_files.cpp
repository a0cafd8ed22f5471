// Reading a virtual device's description files and directories; the JSON checks.
#include "vdrive/device_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "vdrive/partition_file.h"

namespace vdrive {

namespace {

// No real description comes near this; a larger file is refused before it is read.
constexpr size_t kMaxDescriptionLength = 4u << 20;
constexpr size_t kMaxPathLength = 4095;  // the longest path the kernel takes
const char kTooLarge[] = "is larger than 4 MiB, far more than a manifest holds";

// Why the directory `name` in `parent_fd`, on the way to another directory, could not be entered.
std::string entry_failure(int error, int parent_fd, const std::string& name) {
  struct stat st {};
  const bool link =
      ::fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
  if (error == ELOOP || link) return "\"" + name + "\" on its way is a symbolic link";
  if (error == ENOTDIR) return "\"" + name + "\" on its way is not a directory";
  if (error == ENOENT) return "\"" + name + "\" on its way does not exist";
  return "\"" + name + "\" on its way cannot be opened: " + std::strerror(error);
}

const char* type_name(json_type type) {
  switch (type) {
    case json_type_int:
      return "an integer";
    case json_type_string:
      return "a text";
    case json_type_boolean:
      return "a boolean";
    case json_type_array:
      return "an array";
    case json_type_object:
      return "an object";
    default:
      return "of another type";
  }
}

}  // namespace

bool read_device_file(int dir_fd, const char* name, std::string* text, std::string* error) {
  // Without blocking (a FIFO has no writer) and without following a link.
  support::UniqueFd fd(::openat(dir_fd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    *error = open_failure(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "is not a regular file";
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxDescriptionLength) {
    *error = kTooLarge;
    return false;
  }
  text->clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::string("cannot be read: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
    if (text->size() > kMaxDescriptionLength) {
      *error = kTooLarge;
      return false;
    }
  }
  return true;
}

support::UniqueFd open_directory_below(int dir_fd, const std::string& relative, std::string* why) {
  support::UniqueFd current(::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!current.valid()) {
    *why = std::string("the directory cannot be opened again: ") + std::strerror(errno);
    return current;
  }
  for (size_t start = 0; start <= relative.size();) {
    const size_t end = std::min(relative.find('/', start), relative.size());
    const std::string name = relative.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    support::UniqueFd next(
        ::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      *why = entry_failure(errno, current.get(), name);
      return next;
    }
    current = std::move(next);
  }
  return current;
}

bool relative_path(const std::string& path) {
  return !path.empty() && path.front() != '/' && path.find('\0') == std::string::npos &&
         path.size() <= kMaxPathLength;
}

std::string text_of(json_object* o) {
  return std::string(json_object_get_string(o), static_cast<size_t>(json_object_get_string_len(o)));
}

bool Checker::member(json_object* parent, const char* where, const char* name, json_type type,
                     json_object** out, bool optional) {
  *out = nullptr;
  json_object* found = nullptr;
  if (!json_object_object_get_ex(parent, name, &found)) {
    return optional ? true : fail(std::string("member \"") + name + "\" is missing" + where);
  }
  if (!json_object_is_type(found, type)) {
    return fail(std::string("member \"") + name + "\"" + where + " must be " + type_name(type));
  }
  *out = found;
  return true;
}

bool Checker::integer(json_object* parent, const char* where, const char* name, int64_t min,
                      int64_t max, int64_t* out, bool optional) {
  json_object* found = nullptr;
  if (!member(parent, where, name, json_type_int, &found, optional)) return false;
  if (found == nullptr) return true;
  const int64_t value = json_object_get_int64(found);
  if (value < min || value > max) {
    return fail(std::string("member \"") + name + "\"" + where + " is out of range (" +
                std::to_string(min) + " to " + std::to_string(max) + ")");
  }
  *out = value;
  return true;
}

JsonPtr Checker::parse_object(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) {
    fail("does not parse: it holds a zero byte");
    return nullptr;
  }
  std::unique_ptr<json_tokener, decltype(&json_tokener_free)> tokener(json_tokener_new(),
                                                                      json_tokener_free);
  if (!tokener || text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    fail("does not parse: it is too large");
    return nullptr;
  }
  JsonPtr root(json_tokener_parse_ex(tokener.get(), text.data(), static_cast<int>(text.size())));
  json_tokener_error status = json_tokener_get_error(tokener.get());
  if (root == nullptr && status == json_tokener_continue) status = json_tokener_error_parse_eof;
  if (root == nullptr || status != json_tokener_success) {
    fail(std::string("does not parse: ") + json_tokener_error_desc(status));
    return nullptr;
  }
  for (size_t i = json_tokener_get_parse_end(tokener.get()); i < text.size(); ++i) {
    if (std::strchr(" \t\r\n", text[i]) == nullptr) {
      fail("does not parse: text follows the JSON object");
      return nullptr;
    }
  }
  if (!json_object_is_type(root.get(), json_type_object)) {
    fail("must hold a JSON object");
    return nullptr;
  }
  return root;
}

}  // namespace vdrive

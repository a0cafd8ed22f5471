// Reports of files that could not be opened or written.
#include "support/file_failure.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "output_level.h"
#include "support/printable.h"

namespace {

constexpr double kMiB = 1048576.0;
constexpr double kGiB = 1073741824.0;

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::optional<uint64_t> free_bytes_at(const std::string& path) {
  std::string probe = path.empty() ? "." : path;
  for (;;) {
    struct statvfs fs {};
    if (statvfs(probe.c_str(), &fs) == 0) {
      return static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
    }
    if ((errno != ENOENT && errno != ENOTDIR) || probe == "." || probe == "/") return std::nullopt;
    while (probe.size() > 1 && probe.back() == '/') probe.pop_back();
    probe = directory_of(probe);
  }
}

std::string readable_size(uint64_t bytes) {
  char text[32];
  const double value = static_cast<double>(bytes);
  if (value >= kGiB) {
    std::snprintf(text, sizeof(text), "%.1f GiB", value / kGiB);
  } else {
    std::snprintf(text, sizeof(text), "%.1f MiB", value / kMiB);
  }
  return text;
}

std::string file_failure_detail(const std::string& path, int error) {
  const std::string dir = printable(directory_of(path));
  if (error == ENOSPC || error == EDQUOT) {
    const std::optional<uint64_t> free_bytes = free_bytes_at(directory_of(path));
    const std::string left = free_bytes ? readable_size(*free_bytes) + " free" : "no space left";
    return std::string(INDENT) + "The file system of " + dir + " is full (" + left + ", " +
           std::strerror(error) + "). Free space on it and run the job again; a dump goes on " +
           "where it stopped with -r.\n";
  }
  return std::string(INDENT) + "In " + dir + ": " + (error != 0 ? std::strerror(error) : "unknown") +
         ".\n";
}

void output_open_failed(const std::string& path, int error) {
  output_fatal(VL_DEFAULT, "Can't open file: %s\n%s", printable(path).c_str(),
               file_failure_detail(path, error).c_str());
}

void output_write_failed(const std::string& path, int error) {
  output_fatal(VL_MISC, "Failed to output %s.Disk space is likely to insufficient.\n%s",
               printable(path).c_str(), file_failure_detail(path, error).c_str());
}

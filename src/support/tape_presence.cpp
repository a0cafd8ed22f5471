// SCSI tape presence through sysfs: the node's device number is looked up among the devices of
// the SCSI generic and SCSI tape classes, and the SCSI device's peripheral type must be 1.
#include "support/tape_presence.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string first_line(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
  return line;
}

}  // namespace

bool is_tape_device_node(const char* name, const std::string& sysfs_root) {
  if (name == nullptr || name[0] == '\0') return false;
  struct stat node {};
  if (stat(name, &node) != 0 || !S_ISCHR(node.st_mode)) return false;
  const std::string wanted =
      std::to_string(major(node.st_rdev)) + ":" + std::to_string(minor(node.st_rdev));
  for (const char* cls : {"class/scsi_generic", "class/scsi_tape"}) {
    std::error_code ec;
    const fs::path dir = fs::path(sysfs_root) / cls;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      if (first_line(it->path() / "dev") != wanted) continue;
      return first_line(it->path() / "device" / "type") == "1";
    }
  }
  return false;
}

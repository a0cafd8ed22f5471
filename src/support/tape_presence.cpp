// SCSI tape presence through sysfs: the node's device number is looked up among the devices of
// the SCSI generic and SCSI tape classes, and the SCSI device's peripheral type must be 1. The sg
// node of an st node's drive is the generic class device whose SCSI device is the same.
#include "support/tape_presence.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "output_level.h"

namespace fs = std::filesystem;

namespace {

constexpr char kGenericClass[] = "class/scsi_generic";
constexpr char kTapeClass[] = "class/scsi_tape";

std::string first_line(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
  return line;
}

// The class device of `cls` whose "dev" is `wanted`; empty when none is.
fs::path class_device(const std::string& sysfs_root, const char* cls, const std::string& wanted) {
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(sysfs_root) / cls, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (first_line(it->path() / "dev") == wanted) return it->path();
  }
  return {};
}

// The sg class device whose SCSI device is the one of `tape_entry`.
std::string generic_of(const std::string& sysfs_root, const fs::path& tape_entry) {
  std::error_code ec;
  const fs::path device = fs::canonical(tape_entry / "device", ec);
  if (ec) return "";
  for (fs::directory_iterator it(fs::path(sysfs_root) / kGenericClass, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code same;
    if (fs::canonical(it->path() / "device", same) == device && !same) {
      return it->path().filename().string();
    }
  }
  return "";
}

// Why a file that is no character device is no drive.
const char* not_a_device(mode_t mode) {
  if (S_ISDIR(mode)) return "it is a directory without cartridge.json, no virtual cartridge";
  if (S_ISBLK(mode)) return "it is a block device (a disk), not a SCSI generic node";
  return "it is neither a SCSI generic node nor a virtual cartridge";
}

}  // namespace

TapeNode find_tape_node(const char* name, const std::string& sysfs_root) {
  TapeNode found;
  if (name == nullptr || name[0] == '\0') {
    found.why_not = "no name was given";
    return found;
  }
  struct stat node {};
  if (stat(name, &node) != 0) {
    found.why_not = std::string("it cannot be found (") + std::strerror(errno) + ")";
    return found;
  }
  if (!S_ISCHR(node.st_mode)) {
    found.why_not = not_a_device(node.st_mode);
    return found;
  }
  const std::string wanted =
      std::to_string(major(node.st_rdev)) + ":" + std::to_string(minor(node.st_rdev));
  found.why_not = "it is a character device of no SCSI tape or SCSI generic driver";
  for (const char* cls : {kGenericClass, kTapeClass}) {
    const fs::path entry = class_device(sysfs_root, cls, wanted);
    if (entry.empty()) continue;
    const std::string type = first_line(entry / "device" / "type");
    if (type != "1") {
      found.why_not = "it is the node of a SCSI device of type " + type + ", not of a tape drive";
      return found;
    }
    found.why_not.clear();
    if (cls == kGenericClass) {
      found.kind = TapeNode::Kind::generic;
    } else {
      found.kind = TapeNode::Kind::st;
      found.generic_name = generic_of(sysfs_root, entry);
    }
    return found;
  }
  return found;
}

bool is_tape_device_node(const char* name, const std::string& sysfs_root) {
  return find_tape_node(name, sysfs_root).kind != TapeNode::Kind::none;
}

std::string tape_node_to_open(const char* name, const std::string& sysfs_root,
                              const std::string& dev_dir) {
  const TapeNode node = find_tape_node(name, sysfs_root);
  switch (node.kind) {
    case TapeNode::Kind::none:
      output_fatal(VL_MISC, "Can't find tape device(%s).\n%sCheck option '-d': %s.\n", name, INDENT,
                   node.why_not.c_str());
    case TapeNode::Kind::generic:
      return name;
    case TapeNode::Kind::st:
      break;
  }
  if (node.generic_name.empty()) {
    output_fatal(VL_MISC,
                 "%s is a node of the st tape driver, and its drive has no SCSI generic node.\n"
                 "%sLoad the sg driver (modprobe sg) and give the drive's node /dev/sgN with -d "
                 "(lsscsi -g shows it).\n",
                 name, INDENT);
  }
  const std::string generic = dev_dir + "/" + node.generic_name;
  output_accdg_to_vl(LV_INFO, VL_COMMON,
                     "%s is a node of the st tape driver: the program uses the drive's SCSI "
                     "generic node %s instead.\n",
                     name, generic.c_str());
  return generic;
}

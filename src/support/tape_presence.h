// Telling whether a device node belongs to a SCSI tape drive, and finding the drive's SCSI generic
// node, from what the kernel publishes in sysfs, without running any external tool.
#pragma once

#include <string>

// What a device node is to the SCSI subsystem.
struct TapeNode {
  enum class Kind {
    none,     // not a sequential-access SCSI device
    generic,  // an sg node of a tape drive
    st,       // an st or nst node of a tape drive
  };
  Kind kind = Kind::none;
  // For an st node: the name of the same drive's sg class device ("sg1"); empty when it has none.
  std::string generic_name;
  // For none: why, in words ("it cannot be found (No such file or directory)").
  std::string why_not;
};

// Looks the character device node `name` up (links are followed) among the devices of the SCSI
// generic and SCSI tape classes; its SCSI device must be sequential-access (peripheral type 1).
// `sysfs_root` is "/sys" except in tests.
TapeNode find_tape_node(const char* name, const std::string& sysfs_root = "/sys");

// True when `name` is an sg, st or nst node of a SCSI tape drive.
bool is_tape_device_node(const char* name, const std::string& sysfs_root = "/sys");

// The node the program opens for `name`: the name itself for an sg node; for an st or nst node
// the drive's sg node below `dev_dir` (said as an INFO), since through st the open of a
// write-protected cartridge fails and /dev/stN rewinds at close. A name that is no tape device,
// or an st node of a drive without an sg node, ends the run.
std::string tape_node_to_open(const char* name, const std::string& sysfs_root = "/sys",
                              const std::string& dev_dir = "/dev");

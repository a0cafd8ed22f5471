// Telling whether a device node belongs to a SCSI tape drive, from what the kernel publishes in
// sysfs, without running any external tool.
#pragma once

#include <string>

// True when `name` is a character device node (sg, st or nst; links are followed) whose SCSI
// device is a sequential-access device (peripheral type 1). `sysfs_root` is "/sys" except in tests.
bool is_tape_device_node(const char* name, const std::string& sysfs_root = "/sys");

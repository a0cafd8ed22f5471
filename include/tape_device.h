// Opening a tape device and the SG_IO seam. A device is either a real SCSI node (sg, st, nst),
// served by the kernel, or a virtual cartridge directory, served by the virtual drive. Nothing
// above the transport knows which.
#pragma once

#include <scsi/sg.h>

#include "vdrive/vdrive.h"

// True when `path` is a directory holding a "cartridge.json" manifest.
bool is_virtual_cartridge(const char* path);

// Opens the device for SCSI commands: a virtual cartridge is loaded into the virtual drive
// (read-only; a malformed cartridge is reported as an ERROR naming the file and what is wrong),
// anything else is opened with O_RDWR. Returns a descriptor, or -1 with errno set.
int tape_device_open(const char* path);

// Closes a descriptor returned by tape_device_open (unloading a virtual cartridge).
int tape_device_close(int fd);

// Issues one SG_IO request: the virtual drive for a cartridge descriptor, ioctl otherwise.
// Returns what ioctl would: 0, or -1 with errno set.
int tape_device_sg_io(int fd, sg_io_hdr_t* hdr);

namespace vdrive {

// Counters of the virtual drive behind descriptor `fd`; false when `fd` is not a virtual cartridge
// opened with tape_device_open.
bool drive_counters(int fd, Counters* out);

// The last command the virtual drive behind `fd` received; false when there is none.
bool last_command(int fd, LastCommand* out);

}  // namespace vdrive

// Opening a tape device and the SG_IO seam. A device is either a real SCSI node (sg, st, nst),
// served by the kernel, or a virtual cartridge directory, served by the virtual drive. Nothing
// above the transport knows which.
#pragma once

#include <string>

#include <scsi/sg.h>

#include <cstdint>

#include "vdrive/vdrive.h"

// True when `path` is a directory holding a "cartridge.json" manifest.
bool is_virtual_cartridge(const char* path);
// True when `path` is a directory of a virtual device: a cartridge, a drive of a virtual library
// ("drive.json") or a library, whose changer it selects ("library.json").
bool is_virtual_device(const char* path);
bool is_virtual_changer(const char* path);

// How a device node is opened.
enum class TapeAccess {
  shared,     // O_RDWR: beside other descriptors of the same drive (the self-tests)
  exclusive,  // O_RDWR | O_EXCL: no other program may use the drive meanwhile (the reader)
};

// Opens the device for SCSI commands: a virtual device's directory opens that device (below); a
// virtual cartridge is loaded into the virtual drive
// (read-only; a cartridge that cannot be loaded - a manifest that does not parse or breaks its
// rules, a partition file missing or unopenable - is reported as an ERROR naming the file and
// what is wrong; a damaged partition file is served up to the damage, with a WARNING),
// anything else is opened with O_RDWR (and O_EXCL when exclusive) and O_NONBLOCK, so that the
// open itself never waits for the drive, and O_NONBLOCK is then cleared. Returns a descriptor, or
// -1 with errno set (EBUSY: another program holds the drive). With `refusal`, a virtual cartridge
// that cannot be loaded is not reported: what is wrong, naming the file, goes to `*refusal` (and
// errno is EINVAL) for the caller's own message.
int tape_device_open(const char* path, TapeAccess access = TapeAccess::shared,
                     std::string* refusal = nullptr);

// Closes a descriptor returned by tape_device_open (unloading a virtual cartridge).
int tape_device_close(int fd);

// Issues one SG_IO request: the virtual drive for a cartridge descriptor, ioctl otherwise.
// Returns what ioctl would: 0, or -1 with errno set.
int tape_device_sg_io(int fd, sg_io_hdr_t* hdr);

// Asks the sg driver (or the virtual drive, which answers as it does) one of the requests about
// the host adapter whose argument is an int: BLKSECTGET, SG_GET_RESERVED_SIZE,
// SG_SET_RESERVED_SIZE, SG_GET_VERSION_NUM. Returns what ioctl would.
int tape_device_control(int fd, unsigned long request, int* value);

// The host adapter's largest transfer in one command, in bytes, as BLKSECTGET answers it on an sg
// node (in bytes, unlike a block device's sectors; the virtual drive answers as the sg driver
// does); 0 when the node does not say.
uint64_t tape_device_max_transfer(int fd);

// Waits `milliseconds` between two commands to the drive behind `fd` (a drive that is loading
// or busy). The virtual drive counts the pause and returns at once: its answers do not change
// with time.
void tape_device_pause(int fd, uint32_t milliseconds);

namespace vdrive {

// Counters of the virtual drive behind descriptor `fd`; false when `fd` is not a virtual cartridge
// opened with tape_device_open.
bool drive_counters(int fd, Counters* out);

// The last command the virtual drive behind `fd` received; false when there is none.
bool last_command(int fd, LastCommand* out);

}  // namespace vdrive

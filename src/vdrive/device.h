// A virtual device of this process as the SG_IO seam sees it: a drive serving one cartridge, a
// drive of a virtual library, or the library's medium changer. The seam (tape_device.h) keeps the
// table from descriptor to device and opens one from its directory with open_device.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <memory>
#include <string>

#include "vdrive/vdrive.h"

namespace vdrive {

class Device {
 public:
  virtual ~Device() = default;
  // Serves one request as ioctl(SG_IO) would: 0, or -1 with errno set for a request the kernel
  // would refuse.
  virtual int submit(sg_io_hdr_t* hdr) = 0;
  // Answers the sg driver's requests whose argument is an int (BLKSECTGET, SG_GET_RESERVED_SIZE,
  // SG_SET_RESERVED_SIZE, SG_GET_VERSION_NUM) as the sg driver does: 0, or -1 with errno set.
  virtual int control(unsigned long request, int* value) = 0;
  // A pause the program makes between commands: counted, never waited for.
  virtual void pause(uint32_t milliseconds) = 0;
  virtual Counters counters() const = 0;
  virtual LastCommand last_command() const = 0;
};

// What a directory holds, by the file that names its kind.
enum class DeviceKind { none, cartridge, library_drive, changer };
DeviceKind device_kind(int dir_fd);

// Opens the virtual device of the directory `dir_fd` (named `dir` in messages). On failure
// returns null, with the path of the faulty file in `*file` and what is wrong in `*error`.
std::unique_ptr<Device> open_device(int dir_fd, const std::string& dir, std::string* file,
                                    std::string* error);

}  // namespace vdrive

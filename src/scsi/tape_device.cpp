// Opening tape devices and the SG_IO seam: a table from descriptor to open virtual device (a drive
// with its cartridge, a drive of a virtual library, a library's changer) decides whether a
// request goes to the kernel or to the virtual device. Descriptors opened on the same directory
// share one device, as several opens of one device node share one real drive and its position.
#include "tape_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "output_level.h"
#include "support/unique_fd.h"
#include "vdrive/device.h"
#include "vdrive/vdrive.h"

namespace {

struct Loaded {
  std::shared_ptr<vdrive::Device> drive;
  dev_t device;
  ino_t inode;
};

// The open virtual devices by descriptor. Threads that each drive a cartridge of their own open,
// use and close descriptors at once: the table is locked while it is read or changed.
std::map<int, Loaded>& loaded_drives() {
  static std::map<int, Loaded> table;
  return table;
}

std::mutex& table_lock() {
  static std::mutex lock;
  return lock;
}

// The device stays alive while a caller uses it, even when another thread closes the descriptor.
std::shared_ptr<vdrive::Device> drive_of(int fd) {
  const std::lock_guard<std::mutex> held(table_lock());
  auto& table = loaded_drives();
  const auto it = table.find(fd);
  return it == table.end() ? nullptr : it->second.drive;
}

vdrive::DeviceKind kind_of(const char* path) {
  if (path == nullptr) return vdrive::DeviceKind::none;
  const support::UniqueFd dir(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.valid() ? vdrive::device_kind(dir.get()) : vdrive::DeviceKind::none;
}

}  // namespace

bool is_virtual_cartridge(const char* path) {
  return kind_of(path) == vdrive::DeviceKind::cartridge;
}

bool is_virtual_device(const char* path) { return kind_of(path) != vdrive::DeviceKind::none; }

bool is_virtual_changer(const char* path) {
  return kind_of(path) == vdrive::DeviceKind::changer;
}

namespace {

int open_node(const char* path, TapeAccess access) {
  const int exclusive = access == TapeAccess::exclusive ? O_EXCL : 0;
  support::UniqueFd fd(::open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC | exclusive));
  if (!fd.valid()) return -1;
  // SG_IO waits for its command whatever the flags; only the open itself is not to wait.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int error = errno;
    fd.reset();
    errno = error;
    return -1;
  }
  return fd.release();
}

}  // namespace

int tape_device_open(const char* path, TapeAccess access, std::string* refusal) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (!is_virtual_device(path)) return open_node(path, access);

  support::UniqueFd dir(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return -1;
  struct stat st {};
  if (::fstat(dir.get(), &st) != 0) return -1;
  const std::lock_guard<std::mutex> held(table_lock());
  auto& table = loaded_drives();
  for (const auto& [fd, loaded] : table) {
    if (loaded.device == st.st_dev && loaded.inode == st.st_ino) {
      const std::shared_ptr<vdrive::Device> shared = loaded.drive;
      table[dir.get()] = Loaded{shared, st.st_dev, st.st_ino};
      return dir.release();
    }
  }
  std::string file;
  std::string error;
  std::unique_ptr<vdrive::Device> drive = vdrive::open_device(dir.get(), path, &file, &error);
  if (!drive) {
    if (refusal != nullptr) {
      *refusal = "the virtual cartridge file " + file + " is refused: " + error;
    } else {
      output_accdg_to_vl(LV_ERROR, VL_MISC, "Virtual cartridge file %s: %s.\n", file.c_str(),
                         error.c_str());
    }
    errno = EINVAL;
    return -1;
  }
  table[dir.get()] = Loaded{std::move(drive), st.st_dev, st.st_ino};
  return dir.release();
}

int tape_device_close(int fd) {
  {
    const std::lock_guard<std::mutex> held(table_lock());
    loaded_drives().erase(fd);
  }
  return ::close(fd);
}

int tape_device_sg_io(int fd, sg_io_hdr_t* hdr) {
  if (const std::shared_ptr<vdrive::Device> drive = drive_of(fd)) return drive->submit(hdr);
  return ::ioctl(fd, SG_IO, hdr);
}

int tape_device_control(int fd, unsigned long request, int* value) {
  if (const std::shared_ptr<vdrive::Device> drive = drive_of(fd)) {
    return drive->control(request, value);
  }
  return ::ioctl(fd, request, value);
}

uint64_t tape_device_max_transfer(int fd) {
  int value = 0;
  if (tape_device_control(fd, BLKSECTGET, &value) != 0 || value <= 0) return 0;
  return static_cast<uint64_t>(value);
}

void tape_device_pause(int fd, uint32_t milliseconds) {
  if (const std::shared_ptr<vdrive::Device> drive = drive_of(fd)) {
    drive->pause(milliseconds);
    return;
  }
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

namespace vdrive {

bool drive_counters(int fd, Counters* out) {
  const std::shared_ptr<Device> drive = drive_of(fd);
  if (drive == nullptr || out == nullptr) return false;
  *out = drive->counters();
  return true;
}

bool last_command(int fd, LastCommand* out) {
  const std::shared_ptr<Device> drive = drive_of(fd);
  if (drive == nullptr || out == nullptr || drive->last_command().cdb.empty()) return false;
  *out = drive->last_command();
  return true;
}

}  // namespace vdrive

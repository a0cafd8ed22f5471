// Opening tape devices and the SG_IO seam: a table from descriptor to loaded virtual drive decides
// whether a request goes to the kernel or to the virtual drive. Descriptors opened on the same
// cartridge directory share one drive, as several opens of one device node share one real drive
// and its position.
#include "tape_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <string>

#include "output_level.h"
#include "support/unique_fd.h"
#include "vdrive/vdrive.h"
#include "vdrive/virtual_drive.h"

namespace {

struct Loaded {
  std::shared_ptr<vdrive::VirtualDrive> drive;
  dev_t device;
  ino_t inode;
};

std::map<int, Loaded>& loaded_drives() {
  static std::map<int, Loaded> table;
  return table;
}

vdrive::VirtualDrive* drive_of(int fd) {
  auto& table = loaded_drives();
  const auto it = table.find(fd);
  return it == table.end() ? nullptr : it->second.drive.get();
}

}  // namespace

bool is_virtual_cartridge(const char* path) {
  if (path == nullptr) return false;
  struct stat st {};
  if (::stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  const std::string manifest = std::string(path) + "/cartridge.json";
  return ::stat(manifest.c_str(), &st) == 0;
}

int tape_device_open(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (!is_virtual_cartridge(path)) return ::open(path, O_RDWR);

  support::UniqueFd dir(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return -1;
  struct stat st {};
  if (::fstat(dir.get(), &st) != 0) return -1;
  auto& table = loaded_drives();
  for (const auto& [fd, loaded] : table) {
    if (loaded.device == st.st_dev && loaded.inode == st.st_ino) {
      const std::shared_ptr<vdrive::VirtualDrive> shared = loaded.drive;
      table[dir.get()] = Loaded{shared, st.st_dev, st.st_ino};
      return dir.release();
    }
  }
  std::string file;
  std::string error;
  std::unique_ptr<vdrive::VirtualDrive> drive =
      vdrive::VirtualDrive::load(dir.get(), path, &file, &error);
  if (!drive) {
    output_accdg_to_vl(LV_ERROR, VL_MISC, "Virtual cartridge file %s: %s.\n", file.c_str(),
                       error.c_str());
    errno = EINVAL;
    return -1;
  }
  table[dir.get()] = Loaded{std::move(drive), st.st_dev, st.st_ino};
  return dir.release();
}

int tape_device_close(int fd) {
  loaded_drives().erase(fd);
  return ::close(fd);
}

int tape_device_sg_io(int fd, sg_io_hdr_t* hdr) {
  if (vdrive::VirtualDrive* drive = drive_of(fd)) return drive->submit(hdr);
  return ::ioctl(fd, SG_IO, hdr);
}

namespace vdrive {

bool drive_counters(int fd, Counters* out) {
  const VirtualDrive* drive = drive_of(fd);
  if (drive == nullptr || out == nullptr) return false;
  *out = drive->counters();
  return true;
}

bool last_command(int fd, LastCommand* out) {
  const VirtualDrive* drive = drive_of(fd);
  if (drive == nullptr || out == nullptr || drive->last_command().cdb.empty()) return false;
  *out = drive->last_command();
  return true;
}

}  // namespace vdrive

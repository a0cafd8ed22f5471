// The free space each job needs on the save path's file system.
#include "driver/free_space.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "output_level.h"
#include "scsi/mam_attributes.h"
#include "scsi/scsi_command.h"
#include "scsi_util.h"
#include "support/file_failure.h"
#include "support/printable.h"
#include "support/safe_dir.h"
#include "support/unique_fd.h"
#include "walk/history.h"

namespace {

constexpr uint8_t kDataPartition = 1;
constexpr uint64_t kMiB = 1048576;

// Ends the run when `free`, the bytes free where `save_path` lies, are fewer than `needed`.
void require_free(const char* save_path, std::optional<uint64_t> free, uint64_t needed,
                  const char* what) {
  if (!free || *free >= needed) return;
  output_fatal(VL_COMMON,
               "Disk space is not large enough: %s free on the file system of %s, %s need %s.\n"
               "%sFree space there, or give another --save-path (or --Force to go on anyway).\n",
               readable_size(*free).c_str(), printable(save_path).c_str(), what,
               readable_size(needed).c_str(), INDENT);
}

// An 8-byte capacity attribute in MiB.
std::optional<uint64_t> capacity_of(const std::vector<AttributeValue>& values, uint16_t id) {
  for (const AttributeValue& a : values) {
    if (a.id != id || a.value.size() != 8) continue;
    uint64_t v = 0;
    for (const uint8_t b : a.value) v = v << 8 | b;
    return v;
  }
  return std::nullopt;
}

}  // namespace

void check_space_for_list(const char* save_path, uint64_t list_bytes, bool force) {
  if (!force) require_free(save_path, free_bytes_at(save_path), list_bytes, "the list files");
}

void check_space_for_store_run(const char* save_path, std::optional<uint64_t> free,
                               uint64_t cache_bytes, bool force) {
  if (!force) {
    require_free(save_path, free, cache_bytes + kStoreRunRoomBytes,
                 "the marker cache and the history");
  }
}

uint64_t temporary_bytes(const SafeDir& temporary) {
  support::UniqueFd fd(openat(temporary.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* dir = fd.get() >= 0 ? fdopendir(fd.release()) : nullptr;
  if (dir == nullptr) return 0;
  uint64_t total = 0;
  while (const dirent* entry = readdir(dir)) {
    struct stat st {};
    if (fstatat(temporary.fd(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
      total += static_cast<uint64_t>(st.st_size);
    }
  }
  closedir(dir);
  return total;
}

void check_space_for_retrieval(const char* save_path, const object_list* objects, bool force) {
  if (force) return;
  uint64_t needed = 0;
  for (const object_list* o = objects; o != nullptr; o = o->next) {
    needed += o->size + o->metadata_size;
  }
  require_free(save_path, free_bytes_at(save_path), needed, "the objects asked for");
}

void warn_space_for_dump(TapeDrive& drive, const char* save_path) {
  const std::optional<std::vector<AttributeValue>> values =
      read_attributes_from(drive.param(), kDataPartition, scsi::mam::kRemainingCapacity);
  if (!values) return;
  const std::optional<uint64_t> remaining = capacity_of(*values, scsi::mam::kRemainingCapacity);
  const std::optional<uint64_t> maximum = capacity_of(*values, scsi::mam::kMaximumCapacity);
  const std::optional<uint64_t> free = free_bytes_at(save_path);
  if (!remaining || !maximum || *remaining > *maximum || !free) return;
  const uint64_t used = (*maximum - *remaining) * kMiB;
  if (used <= *free) return;
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "The data partition holds about %s (cartridge memory), more than the %s free "
                     "on the file system of %s: the dump stops when it is full. Free space, then "
                     "go on with -r.\n",
                     readable_size(used).c_str(), readable_size(*free).c_str(),
                     printable(save_path).c_str());
}

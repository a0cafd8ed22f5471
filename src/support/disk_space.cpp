// The free disk space check of the save path.
#include <sys/statvfs.h>

#include <cstdint>
#include <optional>
#include <string>

#include "output_level.h"
#include "support/file_failure.h"
#include "support/file_helpers.h"

// =============================================================================================
// Free disk space
// =============================================================================================

namespace {

int force_flag = 0;

constexpr uint64_t kMarginBytes = 107374182400ULL;  // 100 GiB kept free beyond the data
constexpr uint64_t kGiB = 1073741824ULL;

}  // namespace

void set_force_flag(int is_force_enabled) { force_flag = is_force_enabled; }

int check_disk_space(const char* path, uint64_t data_size) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:check_disk_space\n");
  if (force_flag == 1) return 0;
  const std::optional<uint64_t> free = free_bytes_at(path);
  if (!free) {
    return output_accdg_to_vl(LV_ERROR, VL_COMMON,
                              "Failed to run \"df\" commmand to get a disk space.\n");
  }
  const uint64_t free_bytes = *free;
  int ret = 0;
  if (free_bytes == 0)
    ret |= output_accdg_to_vl(LV_ERROR, VL_COMMON, "Disk space specified is zero.\n");
  const long free_gib = static_cast<long>(free_bytes / kGiB);
  if (static_cast<double>(free_bytes) <
      static_cast<double>(data_size) + static_cast<double>(kMarginBytes)) {
    ret |=
        output_accdg_to_vl(LV_ERROR, VL_MISC,
                           "Disk space is not large enough: %ld (GiB).\n%sSpecify --Force option "
                           "or keep >%d GiB disk space.\n",
                           free_gib, INDENT, 100);
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "Disk space (GiB) = %ld\n", free_gib);
  return ret;
}

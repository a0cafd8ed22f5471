#include "walk/lost_report.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "output_level.h"
#include "support/atomic_file.h"
#include "support/printable.h"
#include "support/run_record.h"
#include "walk/save_layout.h"

namespace walk {
namespace {

// More lost objects than this are listed in a file instead of in the messages.
constexpr size_t kLostListedInMessages = 20;

// Writes the names of the lost objects, one per line, to the lost list of the tape. Returns false
// (errno set) when the file cannot be written.
bool write_lost_list(const std::string& path) {
  AtomicFile file;
  if (!file.open(path)) return false;
  for (const std::string& name : run_record::lost_objects()) {
    const std::string line = name + "\n";  // one line per object, whatever its key
    if (!file.write({reinterpret_cast<const uint8_t*>(line.data()), line.size()})) return false;
  }
  return file.commit();
}

}  // namespace

int report_lost_objects(const std::string& save_root, const std::string& tape_id) {
  const std::vector<std::string>& lost = run_record::lost_objects();
  const uint64_t count = run_record::totals().lost;
  if (count == 0) return 0;
  if (lost.size() <= kLostListedInMessages) {
    std::string names;
    for (const std::string& name : lost) names += "\n" + std::string(INDENT) + name;
    output_accdg_to_vl(LV_ERROR, VL_COMMON, "%" PRIu64 " %s not be read from the tape:%s\n", count,
                       count == 1 ? "object could" : "objects could", names.c_str());
    return kExitObjectsLost;
  }
  const std::string path = lost_list_path(save_root, tape_id);
  if (!write_lost_list(path)) {
    output_accdg_to_vl(LV_ERROR, VL_COMMON,
                       "%" PRIu64
                       " objects could not be read from the tape. Their list (%s) "
                       "could not be written: %s\n",
                       count, printable(path).c_str(), std::strerror(errno));
    return kExitObjectsLost;
  }
  output_accdg_to_vl(LV_ERROR, VL_COMMON,
                     "%" PRIu64
                     " objects could not be read from the tape. They are listed in %s.\n",
                     count, printable(path).c_str());
  return kExitObjectsLost;
}

}  // namespace walk

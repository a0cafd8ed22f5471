#include "walk/lost_report.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "output_level.h"
#include "support/atomic_file.h"
#include "support/printable.h"
#include "support/run_record.h"
#include "support/safe_dir.h"
#include "walk/lost_places.h"
#include "walk/save_layout.h"

namespace walk {
namespace {

// More lost objects than this are listed in a file instead of in the messages.
constexpr size_t kLostListedInMessages = 20;

// Writes the names of the lost objects, one per line, to the lost list of the tape: in the tape's
// directory below the save path, entered as every directory below it is (never through a link,
// only when it is the running user's). False with the reason in `*why` when it cannot be written.
bool write_lost_list(const std::string& save_root, const std::string& tape_id, std::string* why) {
  SafeDir::Refusal refusal = SafeDir::Refusal::none;
  std::string failed_at;
  const SafeDir dir =
      SafeDir::root(save_root).try_enter(tape_id, true, &refusal, &failed_at);
  if (refusal != SafeDir::Refusal::none) {
    *why = refusal == SafeDir::Refusal::link      ? printable(failed_at) + " is a symbolic link"
           : refusal == SafeDir::Refusal::foreign ? printable(failed_at) +
                                                        " belongs to another user"
                                                  : std::strerror(errno);
    return false;
  }
  remove_orphaned_temporaries(dir, kLostListName);  // of a run killed while it wrote the list
  AtomicFile file;
  const auto fail = [why] {
    *why = std::strerror(errno);
    return false;
  };
  if (!file.open(dir, std::string(kLostListName))) return fail();
  for (const std::string& name : run_record::lost_objects()) {
    const std::string line = name + "\n";  // one line per object, whatever its key
    if (!file.write({reinterpret_cast<const uint8_t*>(line.data()), line.size()})) return fail();
  }
  return file.commit() || fail();
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
  std::string why;
  if (!write_lost_list(save_root, tape_id, &why)) {
    output_accdg_to_vl(LV_ERROR, VL_COMMON,
                       "%" PRIu64
                       " objects could not be read from the tape. Their list (%s) "
                       "could not be written: %s\n",
                       count, printable(path).c_str(), why.c_str());
    return kExitObjectsLost;
  }
  output_accdg_to_vl(LV_ERROR, VL_COMMON,
                     "%" PRIu64
                     " objects could not be read from the tape. They are listed in %s.\n",
                     count, printable(path).c_str());
  return kExitObjectsLost;
}

int report_lost_before(const std::string& save_root, const std::string& tape_id) {
  const std::vector<std::string>& this_run = run_record::lost_objects();
  std::vector<std::string> names;
  for (const LostPlace& p : read_lost_places(save_root, tape_id)) {
    std::string name = run_record::object_name(p.bucket, p.key, p.version, p.object_id);
    if (std::find(this_run.begin(), this_run.end(), name) == this_run.end()) {
      names.push_back(std::move(name));
    }
  }
  if (names.empty()) return 0;
  std::string listed;
  for (size_t i = 0; i < names.size() && i < kLostListedInMessages; ++i) {
    listed += "\n" + std::string(INDENT) + names[i];
  }
  if (names.size() > kLostListedInMessages) {
    listed += "\n" + std::string(INDENT) + "and " +
              std::to_string(names.size() - kLostListedInMessages) + " more, recorded in " +
              printable(save_root + "/" + tape_id + "/" + kLostPlacesName);
  }
  output_accdg_to_vl(LV_ERROR, VL_COMMON,
                     "%zu %s not be read from the tape by the dump that this run resumes (-r "
                     "--retry-lost reads %s again):%s\n",
                     names.size(), names.size() == 1 ? "object could" : "objects could",
                     names.size() == 1 ? "it" : "them", listed.c_str());
  return kExitObjectsLost;
}

}  // namespace walk

// The last lines of a job that ended with objects the drive could not read: how many, and which
// (in the messages up to a bound, else in a file below the save path that the messages name).
#pragma once

#include <string>

namespace walk {

// Exit status of a job that ended with objects the drive could not read.
inline constexpr int kExitObjectsLost = 2;

// Reports the objects the run lost to damage. Returns kExitObjectsLost when there were any, else 0.
int report_lost_objects(const std::string& save_root, const std::string& tape_id);

}  // namespace walk

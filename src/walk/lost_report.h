// The last lines of a job that ended with objects the drive could not read: how many, and which
// (in the messages up to a bound, else in a file below the save path that the messages name);
// for a resume, also those the interrupted dump lost.
#pragma once

#include <string>

namespace walk {

// Exit status of a job that ended with objects the drive could not read.
inline constexpr int kExitObjectsLost = 2;

// Reports the objects the run lost to damage. Returns kExitObjectsLost when there were any, else 0.
int report_lost_objects(const std::string& save_root, const std::string& tape_id);

// For a resume: reports the objects that the tape's record of lost places holds and this run did
// not lose itself, those the interrupted dump lost before the place the resume continues from (or
// every one, for a dump that had completed): the resume does not meet them again, yet they are not
// in the save path. Returns kExitObjectsLost when there are any, else 0.
int report_lost_before(const std::string& save_root, const std::string& tape_id);

}  // namespace walk

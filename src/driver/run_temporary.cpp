#include "driver/run_temporary.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "output_level.h"
#include "support/file_helpers.h"

namespace {

// Whether `name` is the directory of a run that no longer exists: a process number whose process
// is gone.
bool left_by_an_ended_run(const std::string& name) {
  if (name.empty() || name.size() > 9 ||
      name.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const pid_t pid = static_cast<pid_t>(std::stoi(name));
  return pid > 0 && pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH;
}

// The user's private directory, made when missing, with what ended runs left in it removed: the
// plain files of the former layout (one directory for every run) and the directories of runs
// that were killed. Anything else is left alone.
SafeDir open_user_directory() {
  const std::string dir = temporary_directory();
  const std::string name = dir.substr(0, dir.size() - 1);
  if (mkdir(name.c_str(), 0700) != 0 && errno != EEXIST) {
    output_fatal(VL_COMMON, "The temporary directory (%s) could not be made: %s\n", dir.c_str(),
                 std::strerror(errno));
  }
  std::string problem;
  SafeDir user_dir = SafeDir::private_directory(name, &problem);
  if (!user_dir.valid()) {
    output_fatal(VL_COMMON, "The temporary directory (%s) %s. It is not used.\n", dir.c_str(),
                 problem.c_str());
  }
  std::string other;
  if (!remove_plain_files(user_dir, &other, true)) {
    output_fatal(VL_COMMON, "Temporary files could not be deleted at %s.\n", dir.c_str());
  }
  for (const std::string& stale : subdirectory_names(user_dir)) {
    if (left_by_an_ended_run(stale)) remove_directory_of_plain_files(user_dir, stale);
  }
  return user_dir;
}

}  // namespace

RunTemporary::RunTemporary() : user_dir_(open_user_directory()), name_(std::to_string(getpid())) {
  // A directory of this number is of an ended run that had the same one: its files are no copies
  // of this run's.
  remove_directory_of_plain_files(user_dir_, name_);
  SafeDir::Refusal why = SafeDir::Refusal::none;
  std::string failed_at;
  dir_ = user_dir_.try_enter(name_, true, &why, &failed_at);
  if (!dir_.valid()) {
    output_fatal(VL_COMMON, "The temporary directory (%s%s/) could not be made: %s\n",
                 user_dir_.path().c_str(), name_.c_str(), std::strerror(errno));
  }
}

RunTemporary::~RunTemporary() {
  if (dir_.valid() && !remove_directory_of_plain_files(user_dir_, name_)) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON, "Temporary files could not be deleted at %s.\n",
                       dir_.path().c_str());
  }
}

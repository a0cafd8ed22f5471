// The run's own temporary directory, for the copies of the partial references: "<pid>" in the
// running user's private directory ($TMPDIR/object_reader-<uid>/), so that runs of one user at
// once, from several working directories or on several drives, never clear each other's copies.
// It is removed with its files when the run ends, however it ends; the directories that runs
// killed before they could remove theirs left behind are removed when the next run begins.
#pragma once

#include <string>

#include "support/safe_dir.h"

class RunTemporary {
 public:
  // Makes the directory; ends the run when the private directory cannot be made or used.
  RunTemporary();
  ~RunTemporary();
  RunTemporary(const RunTemporary&) = delete;
  RunTemporary& operator=(const RunTemporary&) = delete;

  const SafeDir& dir() const { return dir_; }

 private:
  SafeDir user_dir_;  // the private directory of the user
  SafeDir dir_;       // the run's own, in it
  std::string name_;
};

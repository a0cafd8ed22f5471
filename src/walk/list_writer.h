// The list files of a list run. Each is written under a temporary name in the tape's list
// directory, entry by entry as the walk meets the objects, and completed and renamed into place
// when the walk ends: a list file under its final name is always a whole JSON document. Only a
// few files stay open at a time; the others are opened again when an entry comes for them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "support/atomic_file.h"
#include "support/safe_dir.h"

namespace walk {

class ListWriter {
 public:
  // Starts the list files of a walk in `dir`, forgetting any files not finished.
  void begin(const SafeDir& dir);
  // Appends one entry, its members (one per line), to the list file `name`. A write that fails
  // ends the run.
  void append(const std::string& name, const std::string& members);
  // Completes every list file and renames it into place. A failure ends the run.
  void finish();
  bool active() const { return dir_.valid(); }

 private:
  struct File {
    std::unique_ptr<AtomicFile> file;
    uint64_t last_use = 0;
  };
  File& file_for(const std::string& name, bool* is_new);
  void make_room();

  SafeDir dir_;
  std::map<std::string, File> files_;
  uint64_t clock_ = 0;
  size_t open_count_ = 0;
};

}  // namespace walk

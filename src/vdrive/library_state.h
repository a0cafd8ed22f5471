// Where each cartridge of a virtual library is: "state.json" beside "library.json". Several
// processes share one library (a changer in one, its drives in others), so the file is only ever
// replaced whole (a new file renamed over it) under an exclusive lock (flock) on "library.json";
// a reader takes no lock and sees one state or the next. The file is made from "slots" when it
// is missing.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/unique_fd.h"
#include "vdrive/library.h"

namespace vdrive {

inline constexpr char kStateFileName[] = "state.json";

// What one element holds.
struct ElementState {
  std::string cartridge;  // its directory relative to the library; empty: the element is empty
  // The storage (or import/export) slot the cartridge was last taken from: a cartridge moved on
  // from a drive keeps the slot it came from.
  std::optional<uint16_t> source;
  bool operator==(const ElementState&) const = default;
};

// What a drive holds, and the state of its cartridge, which the drive's own process keeps here
// for the changer and for the processes that open the drive later.
struct DriveState : ElementState {
  uint64_t inserted = 0;      // the library's move that put the cartridge in
  bool load_counted = false;  // a drive has loaded it (and counted the load)
  bool unloaded = false;      // LOAD UNLOAD unloaded it: it waits to be taken out or loaded
  bool prevented = false;     // PREVENT ALLOW MEDIUM REMOVAL prevented its removal
  bool operator==(const DriveState&) const = default;
};

struct LibraryState {
  uint64_t move_commands = 0;  // MOVE MEDIUM commands received, the failed ones included
  uint64_t moves = 0;          // cartridges moved
  std::vector<ElementState> slots;
  std::vector<ElementState> import_export;
  std::vector<DriveState> drives;
  bool operator==(const LibraryState&) const = default;
};

// Every cartridge in its slot of "slots".
LibraryState initial_state(const LibraryConfig& config);
std::string state_json(const LibraryState& state);
// Parses the state of a library of `config`: as many elements of each kind, and only the
// library's cartridges, each at most once.
std::optional<LibraryState> parse_state(std::string_view text, const LibraryConfig& config,
                                        std::string* error);

// The state file of the library in `library_fd`, whose directory is named `dir` in messages.
class StateFile {
 public:
  StateFile(support::UniqueFd library_fd, std::string dir, const LibraryConfig* config);

  // The current state, made from the library's slots when the file is missing. False with what
  // is wrong in `*error` (naming the file) when it cannot be read or breaks its rules.
  bool read(LibraryState* state, std::string* error);
  // Runs `change` on the current state under the exclusive lock and writes the state back when it
  // returns true; false with `*error` set when the state cannot be read or written.
  bool update(const std::function<bool(LibraryState&)>& change, std::string* error);
  // Whether the file was replaced since this object last read or wrote it.
  bool changed() const;
  const std::string& path() const { return path_; }
  int library_fd() const { return library_fd_.get(); }

 private:
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    int64_t modified_ns = 0;
    int64_t size = 0;
    bool operator==(const Identity&) const = default;
  };
  std::optional<Identity> identity() const;
  bool write(const LibraryState& state, std::string* error);

  support::UniqueFd library_fd_;
  std::string path_;
  const LibraryConfig* config_;
  std::optional<Identity> seen_;
};

}  // namespace vdrive

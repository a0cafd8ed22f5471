// Writing virtual libraries from code: "library.json" from the virtual drive's own record of it,
// and a whole library of small sound tapes for tests and trials: cartridges of chosen
// generations and barcodes (or none), a damaged one, drives, import/export slots, moves that
// fail. It writes cartridge images and library files only, never a tape.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cartridge/cartridge_builder.h"
#include "vdrive/library.h"

namespace vtape {

// The text of "library.json" for `config`, and the file written into the existing `dir`. Throws
// std::runtime_error when it cannot be written.
std::string library_json(const vdrive::LibraryConfig& config);
void write_library(const vdrive::LibraryConfig& config, const std::string& dir);

// One cartridge of a library: a tape of the sample description (its objects' data and
// identifiers derived from `seed`).
struct LibraryCartridge {
  std::string name;         // its directory in the library
  unsigned generation = 8;  // its volume personality is "Ultrium-<generation>"
  std::string barcode;      // the barcode label (0806h); empty: the cartridge has none
  bool damaged = false;     // the first block of its first packed object cannot be read
  uint64_t seed = 1;
};

struct LibraryDescription {
  std::vector<LibraryCartridge> cartridges;  // storage slot i + 1 holds cartridge i
  size_t empty_slots = 0;                    // more storage slots after them, empty
  std::vector<unsigned> drives;              // each drive's generation
  size_t import_export = 0;
  std::vector<vdrive::MoveError> move_errors;
  std::optional<uint64_t> load_not_ready;
};

// Writes each cartridge into its directory below `dir` (made) and "library.json" into `dir`
// (which must exist); returns what each cartridge's build wrote, in order. Throws as
// build_cartridge does.
std::vector<BuildResult> build_library(const LibraryDescription& description,
                                       const std::string& dir);

}  // namespace vtape

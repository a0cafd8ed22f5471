// A virtual library: "library.json" (storage slots holding cartridge directories, drives of given
// LTO generations, import/export slots, the changer's identity and injected move failures), the
// element addresses its changer reports, and which drive reads which cartridge. Where each
// cartridge is at a moment is kept in the state file (library_state.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vdrive/manifest.h"
#include "vdrive/reply.h"

namespace vdrive {

inline constexpr char kLibraryFileName[] = "library.json";
inline constexpr char kDriveFileName[] = "drive.json";
// A drive's directory in the library directory: this prefix and its index from 0 ("drive2").
inline constexpr char kDriveDirectoryPrefix[] = "drive";
inline constexpr uint64_t kDefaultLoadNotReady = 2;

// The (after+1)-th MOVE MEDIUM of the library fails with `sense` and moves nothing.
struct MoveError {
  uint64_t after = 0;
  CheckCondition sense{};
};

struct LibraryConfig {
  std::vector<std::optional<std::string>> slots;  // storage slot i: a cartridge directory
  std::vector<unsigned> drives;                   // drive k: its LTO generation
  size_t import_export = 0;
  Inquiry inquiry{"VIRTUAL ", "VIRTUAL LIBRARY ", "0001"};
  std::vector<MoveError> move_errors;
  uint64_t load_not_ready = kDefaultLoadNotReady;  // TEST UNIT READYs not ready after a load
};

// Parses and checks the text of "library.json"; nothing, with what is wrong in `*error`, when it
// breaks its rules.
std::optional<LibraryConfig> parse_library(std::string_view text, std::string* error);

// Element types and addresses, as the changer reports them: the robot 0000h, import/export slots
// from 0010h, drives from 0100h, storage slots from 1000h.
enum class ElementType : uint8_t { robot = 1, storage = 2, import_export = 3, drive = 4 };
inline constexpr uint16_t kRobotAddress = 0x0000;
inline constexpr uint16_t kImportExportBase = 0x0010;
inline constexpr uint16_t kDriveBase = 0x0100;
inline constexpr uint16_t kSlotBase = 0x1000;

struct Element {
  ElementType type = ElementType::robot;
  size_t index = 0;
  bool operator==(const Element&) const = default;
};
uint16_t address_of(const Element& element);
// The element at `address` in this library; nothing for an address that is no element.
std::optional<Element> element_at(const LibraryConfig& config, uint16_t address);
// How many elements of `type` the library has.
size_t element_count(const LibraryConfig& config, ElementType type);

// The LTO generation of a cartridge: the number that ends its volume personality ("Ultrium-8":
// 8); nothing when it ends in none.
std::optional<unsigned> cartridge_generation(std::string_view volume_personality);
// A drive of generation G reads cartridges of generations G and G - 1.
bool drive_reads(unsigned drive_generation, std::optional<unsigned> cartridge_generation);

// "drive<k>"
std::string drive_directory_name(size_t index);

}  // namespace vdrive

namespace vdrive {

// Reads and checks "library.json" of the library directory `library_fd` (named `dir`); nothing,
// with the file in `*file` and what is wrong in `*error`, when it cannot.
std::optional<LibraryConfig> load_library(int library_fd, const std::string& dir, std::string* file,
                                          std::string* error);

// Makes the directory of each drive, with its "drive.json", where it is missing; false with
// what is wrong in `*error` when one cannot be made.
bool make_drive_directories(int library_fd, const std::string& dir, const LibraryConfig& config,
                            std::string* error);

}  // namespace vdrive

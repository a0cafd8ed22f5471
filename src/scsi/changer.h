// The commands a tape library needs: those of its medium changer (READ ELEMENT STATUS with volume
// tags and drive identifiers, MOVE MEDIUM, MODE SENSE's element address assignment page) and
// those of its drives (LOAD UNLOAD, the unit serial number of INQUIRY page 80h, which matches a
// drive to its element). Each is build (the CDB bytes), send (through issue_scsi_command) and
// decode (of the bytes received, untrusted: every length inside them is checked against what
// arrived before it is used). None of them writes to a tape: an unload rewinds and ejects.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "spti_lib.h"

namespace scsi::changer {

enum class ElementType : uint8_t { all = 0, robot = 1, storage = 2, import_export = 3, drive = 4 };
// "robot", "storage slot", "import/export slot", "drive"; "element" for all.
const char* element_type_name(ElementType type);

// ---------------------------------------------------------------------------------------------
// READ ELEMENT STATUS (B8h)

struct ElementQuery {
  ElementType type = ElementType::all;
  uint16_t first = 0;       // the starting element address
  uint16_t count = 0xFFFF;  // elements asked for at most
  bool volume_tags = true;  // VOLTAG: each element's barcode label
  bool identifiers = true;  // DVCID: each drive's identifier (its serial number)
};
inline constexpr uint32_t kLargestElementReport = 0xFFFFFF;  // the 3-byte allocation length
std::array<uint8_t, 12> read_element_status_cdb(const ElementQuery& query, uint32_t allocation);

struct ElementStatus {
  ElementType type = ElementType::all;
  uint16_t address = 0;
  bool full = false;    // holds a cartridge
  bool except = false;  // in an abnormal state, told by asc/ascq
  bool access = false;  // the robot can reach it
  uint8_t asc = 0;
  uint8_t ascq = 0;
  std::optional<uint16_t> source;  // SVALID: where the cartridge was last taken from
  // The primary volume tag's label (its 32 bytes without the blanks and zero bytes that end
  // them); none when the page carries no volume tags. An empty label: the cartridge has none.
  std::optional<std::string> volume_tag;
  std::string identifier;  // the device identifier (DVCID), without trailing blanks; may be empty
};

struct ElementReport {
  uint16_t first = 0;                   // the first element address reported
  uint16_t available = 0;               // the number of elements the report holds
  uint32_t report_bytes = 0;            // the bytes of the whole report after its header
  std::vector<ElementStatus> elements;  // those whose descriptor arrived whole
  bool complete = false;                // every byte the header announces arrived
};

// Decodes element status data. Nothing, with why in `*error`, when the bytes contradict
// themselves (a descriptor shorter than its fields, a page running past the report, an unknown
// element type); bytes cut off by the allocation length only leave the report incomplete.
std::optional<ElementReport> decode_element_status(std::span<const uint8_t> data,
                                                   std::string* error);

// ---------------------------------------------------------------------------------------------
// MODE SENSE(6), the element address assignment page (1Dh)

inline constexpr uint8_t kElementAddressPage = 0x1D;
struct ElementRange {
  uint16_t first = 0;
  uint16_t count = 0;
};
struct ElementAssignment {
  ElementRange robot;
  ElementRange storage;
  ElementRange import_export;
  ElementRange drive;
};
// The page among the mode data received; nothing when it is not there whole.
std::optional<ElementAssignment> decode_element_assignment(std::span<const uint8_t> mode_data);

// ---------------------------------------------------------------------------------------------
// MOVE MEDIUM (A5h), LOAD UNLOAD (1Bh), INQUIRY of a vital product data page

// The robot that moves, as MOVE MEDIUM names it: 0 lets the changer use its own.
inline constexpr uint16_t kRobotElement = 0;
std::array<uint8_t, 12> move_medium_cdb(uint16_t robot, uint16_t source, uint16_t destination);
// LOAD set: load the cartridge; clear: rewind and unload it (nothing is written).
std::array<uint8_t, 6> load_unload_cdb(bool load);
inline constexpr uint8_t kUnitSerialNumberPage = 0x80;
std::array<uint8_t, 6> inquiry_vpd_cdb(uint8_t page, uint16_t allocation);
// The serial number of page 80h, without the blanks around it; nothing when the data is not that
// page or its length runs past the bytes received.
std::optional<std::string> decode_unit_serial(std::span<const uint8_t> data);

// ---------------------------------------------------------------------------------------------
// The commands. Each returns GOOD (1) or not (0) as the command layer's others do; the sense of
// a failure is in `*sbp` and in scsi::last_command_report().

// The status of the elements `query` asks for, read again with the allocation the report needs
// when the first answer was cut short. Nothing when the command failed, or (with why in
// `*error`) when its data cannot be decoded.
std::optional<ElementReport> read_element_status(void* scparam, const ElementQuery& query,
                                                 ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                                                 std::string* error);
std::optional<ElementAssignment> read_element_assignment(void* scparam,
                                                         ST_SPTI_REQUEST_SENSE_RESPONSE* sbp);
// A move that failed on its way is returned, not sent again: only the caller, who can read the
// elements' status, knows whether the cartridge moved.
BOOL move_medium(void* scparam, uint16_t robot, uint16_t source, uint16_t destination,
                 ST_SPTI_REQUEST_SENSE_RESPONSE* sbp);
BOOL load_unload(void* scparam, bool load, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp);
std::optional<std::string> read_unit_serial(void* scparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp);

}  // namespace scsi::changer

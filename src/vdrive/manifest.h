// The manifest "cartridge.json" of a virtual cartridge: partition files, volume personality,
// inquiry data, cartridge memory attributes and injected faults, checked member by member.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vdrive {

struct MamAttribute {
  uint8_t flags = 0;  // bit 7 READ ONLY, bits 1..0 FORMAT
  std::vector<uint8_t> value;
};

struct StatusFault {
  uint8_t opcode = 0;
  uint64_t after = 0;
  uint8_t value = 0;
};

struct Faults {
  uint64_t not_ready = 0;
  std::vector<uint32_t> read_attribute;  // partitions whose READ ATTRIBUTE fails
  bool device_attributes = true;
  bool log_sense = true;
  std::vector<StatusFault> status;
};

struct Manifest {
  std::vector<std::string> partitions;
  std::string volume_personality;
  std::string vendor = "VIRTUAL ";
  std::string product = "VIRTUAL LTO     ";
  std::string revision = "0001";
  // Keyed by (partition, identifier), so that a partition's attributes come in ascending order.
  std::map<std::pair<uint32_t, uint16_t>, MamAttribute> attributes;
  Faults faults;
};

// Parses the manifest text. On failure returns nothing and says what is wrong in `*error`.
std::optional<Manifest> parse_manifest(std::string_view text, std::string* error);

}  // namespace vdrive

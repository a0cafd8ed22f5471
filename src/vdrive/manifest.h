// The manifest "cartridge.json" of a virtual cartridge: partition files, volume personality,
// inquiry data, cartridge memory attributes and injected faults. These records are the one
// description of a cartridge: the virtual drive parses the text into them (checked member by
// member) and the cartridge writer (tools/cartridge) writes them out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vdrive {

// The manifest's name in the cartridge directory.
inline constexpr char kManifestFileName[] = "cartridge.json";

// The density code MODE SENSE reports when the manifest names none: LTO-9.
inline constexpr uint8_t kDefaultDensity = 0x60;

// One cartridge memory attribute of one partition.
struct Attribute {
  uint32_t partition = 0;
  uint16_t id = 0;
  uint8_t format = 0;  // 0 binary, 1 ASCII, 2 text (the two FORMAT bits)
  bool read_only = false;
  std::vector<uint8_t> value;
  bool operator==(const Attribute&) const = default;
};

// A command answered with a status of its own instead of being served.
struct StatusFault {
  uint8_t opcode = 0;
  uint64_t after = 0;  // commands of this operation code served first
  uint8_t value = 0;   // the status byte returned
  bool operator==(const StatusFault&) const = default;
};

// A command that fails on its way to the drive, as the kernel reports it: host_status set, no
// status, no sense, no data.
struct TransportFault {
  uint8_t opcode = 0;
  uint64_t after = 0;       // commands of this operation code served first
  uint8_t host_status = 0;  // 01h drive gone, 03h timed out, 07h internal error, 08h bus reset
  bool operator==(const TransportFault&) const = default;
};

// The (after+1)-th command of an operation code (recovered, deferred and medium errors).
struct CommandFault {
  uint8_t opcode = 0;
  uint64_t after = 0;
  bool operator==(const CommandFault&) const = default;
};

// A pending unit attention: check 6/ASC/ASCQ.
struct UnitAttention {
  uint8_t asc = 0;
  uint8_t ascq = 0;
  bool operator==(const UnitAttention&) const = default;
};

// A test hook, for the tests of interrupted runs: before the (after+1)-th command of any kind
// since the cartridge was loaded, the drive raises the signal `number` on its own process (9
// kills it there; after a signal that the process handles, such as 2, the command goes on).
struct SignalFault {
  uint64_t after = 0;
  int number = 0;
  bool operator==(const SignalFault&) const = default;
};

// Records written with drive encryption while the drive holds no key: a READ of a record of
// `partition` at or after logical object `from` ends in check 7/74/ascq and does not move.
struct EncryptedFault {
  uint32_t partition = 0;
  uint64_t from = 0;
  uint8_t ascq = 0x01;  // unable to decrypt data
  bool operator==(const EncryptedFault&) const = default;
};

// The cartridge taken out and another put in after the (after+1)-th command of any kind: the
// cartridge in `cartridge`, a directory named relative to this cartridge's own ("." reloads it).
struct CartridgeChange {
  uint64_t after = 0;
  std::string cartridge;
  bool operator==(const CartridgeChange&) const = default;
};

struct Faults {
  uint64_t not_ready = 0;                // TEST UNIT READY commands answered NOT READY first
  std::vector<uint32_t> read_attribute;  // partitions whose READ ATTRIBUTE fails
  bool device_attributes = true;         // false: READ ATTRIBUTE from below 0800h is refused
  bool log_sense = true;                 // false: LOG SENSE is refused
  std::vector<StatusFault> status;
  std::vector<TransportFault> transport;
  std::vector<UnitAttention> unit_attention;  // taken one per command, in this order
  bool no_medium = false;                     // every command but INQUIRY: 2/3A/00
  bool needs_load = false;                    // every command but INQUIRY: 2/04/02
  std::vector<CommandFault> recovered;        // served in full, then 1/17/01
  std::vector<CommandFault> deferred;         // not served: deferred error 3/0C/00
  std::vector<CommandFault> medium_error;     // not served, nothing moves: 3/11/00
  std::vector<CommandFault> hardware_error;   // not served: 4/44/00
  // From the (K+1)-th command of any kind on, a command that would end GOOD ends in 0/82/82 (the
  // drive asks to be cleaned), with its data.
  std::optional<uint64_t> cleaning_request;
  std::optional<EncryptedFault> encrypted;
  std::optional<CartridgeChange> cartridge_change;
  // The drive left in fixed-block mode: the block length MODE SENSE reports, and a READ with SILI
  // set that meets a longer record reports the incorrect length.
  std::optional<uint32_t> fixed_block_length;
  std::optional<uint32_t> block_limits;  // READ BLOCK LIMITS maximum block length
  std::optional<uint32_t> max_transfer;  // the host adapter's largest transfer in bytes
  bool descriptor_sense = false;         // "sense_format": "descriptor"
  std::optional<SignalFault> signal;     // the test hook above
  bool empty() const { return *this == Faults{}; }
  bool operator==(const Faults&) const = default;
};

// The drive's identity in INQUIRY data; texts shorter than their field are blank padded.
struct Inquiry {
  std::string vendor = "VIRTUAL ";           // up to 8 characters
  std::string product = "VIRTUAL LTO     ";  // up to 16
  std::string revision = "0001";             // up to 4
  bool operator==(const Inquiry&) const = default;
};

// A record that holds no data of the tape: an image of a tape names each record it could not
// read (written with the error flag in its partition file).
struct RecordRef {
  uint32_t partition = 0;
  uint64_t object = 0;  // its logical object number
  bool operator==(const RecordRef&) const = default;
};

// A new manifest describes a cartridge of two partitions, "p0.tap" and "p1.tap".
struct Manifest {
  std::vector<std::string> partitions{"p0.tap", "p1.tap"};
  std::string volume_personality = "Ultrium-8";
  uint8_t density = kDefaultDensity;  // the density code MODE SENSE reports
  std::optional<Inquiry> inquiry;     // none: the drive answers with Inquiry{}
  std::vector<Attribute> attributes;  // in manifest order; one per (partition, id)
  std::vector<RecordRef> unreadable;  // "unreadable": each at most once
  Faults faults;

  // The attribute of (partition, id), or null.
  Attribute* find_attribute(uint32_t partition, uint16_t id);
  const Attribute* find_attribute(uint32_t partition, uint16_t id) const;
  // Sets the format and value of the attribute of (partition, id), adding it when missing.
  void set_attribute(uint32_t partition, uint16_t id, uint8_t format, std::vector<uint8_t> value);
  // An ASCII attribute of `width` bytes: `text` cut or blank padded to the width.
  void set_attribute_text(uint32_t partition, uint16_t id, const std::string& text, size_t width);
  // Removes the attribute of (partition, id) when present.
  void drop_attribute(uint32_t partition, uint16_t id);

  bool operator==(const Manifest&) const = default;
};

// Parses the manifest text. On failure returns nothing and says what is wrong in `*error`.
std::optional<Manifest> parse_manifest(std::string_view text, std::string* error);

}  // namespace vdrive

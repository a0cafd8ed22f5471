// Byte and text forms of the records of a Quorrant tape and of its cartridge memory, as the
// cartridge builder writes them: identifiers, time stamps, the VOL1 label, JSON texts, the volume
// coherency information, the object identifier of the list files, and the deterministic data
// pattern of generated objects. Pure functions, no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vtape {

// A UUID as its 16 raw bytes (the form markers and the cartridge memory hold).
using Uuid = std::array<uint8_t, 16>;

// Sizes of the fixed parts of the markers.
inline constexpr uint64_t kIdentifierSize = 32;
// The identifiers that open the markers of levels 4 to 1, blank-padded to kIdentifierSize.
inline constexpr char kLevel4Identifier[] = "Quorrant 1.0 Level4             ";
inline constexpr char kLevel3Identifier[] = "Quorrant 1.0 Level3             ";
inline constexpr char kLevel2Identifier[] = "Quorrant 1.0 Level2             ";
inline constexpr char kLevel1Identifier[] = "Quorrant 1.0 Level1             ";
inline constexpr uint64_t kRcmHeaderSize = 112;      // identifier included
inline constexpr uint64_t kRcmDirectoryOffset = 80;  // counted from the end of the identifier
inline constexpr uint64_t kPrHeaderSize = 56;        // identifier included
inline constexpr uint64_t kInfoHeaderSize = 24;  // OCM info header; also the PR's directory offset
inline constexpr uint64_t kPoHeaderSize = 72;    // PO header without identifier
inline constexpr uint64_t kPoEntrySize = 32;     // object directory entry
inline constexpr uint64_t kInfoEntrySize = 16;  // PR and OCM directory entry (length, block offset)
inline constexpr uint64_t kVol1Size = 80;
inline constexpr uint64_t kVciSize = 52;
inline constexpr uint64_t kDefaultBlockSize = 1048576;

// Identifier namespaces of derived_uuid(), so that every kind of identifier gets its own sequence.
enum class UuidDomain : uint64_t {
  volume = 1,
  system = 2,
  pool = 3,
  pool_group = 4,
  bucket = 5,
  pack = 6,
  object = 7,
};

// 36-character lower-case text of a UUID.
std::string uuid_text(const Uuid& uuid);
bool is_nil(const Uuid& uuid);
// A version-4 UUID (variant 10xx) that depends only on (seed, domain, index).
Uuid derived_uuid(uint64_t seed, UuidDomain domain, uint64_t index);

// "YYYY-MM-DDThh:mm:ss.uuuuuuZ" (27 characters, UTC). Throws std::invalid_argument for a time
// outside the years 0 to 9999.
std::string utc_text(int64_t seconds, uint32_t microseconds);
// True for the 27-character form above (digits where digits belong; values not range-checked).
bool is_utc_text(std::string_view text);

// Two-character media generation of a volume personality: "Ultrium-8" gives "L8", "LTO" followed
// by "M8" gives "M8"; any other text gives "L8".
std::string tape_generation(std::string_view personality);

// Bucket name rules of the format (3 to 63 characters of a-z, 0-9, '-', '.', alphanumeric at both
// ends, no "..", ".-" or "-.", not an IPv4 address).
bool valid_bucket_name(std::string_view name);
// Six upper-case letters or digits.
bool valid_volume_id(std::string_view id);

// JSON string literal: quoted, with '"', '\' and control characters escaped; '/' and bytes of
// 80h and above are kept as they are.
std::string json_string(std::string_view text);

// The 80-byte VOL1 label: volume identifier and owner identifier blank-padded (or cut) to 6 and
// 14 characters.
std::string vol1_label(std::string_view volume_id, std::string_view owner);

// The object identifier that list files and save paths use: the MD5 digest (32 lower-case
// hexadecimal digits) of the metadata text with its double quotes removed. This is the text that
// the shell's echo prints for metadata without '$', '`', '\' or '!'.
std::string list_object_id(std::string_view metadata);

// Value of the volume coherency information attribute (080Ch), 52 bytes: volume change reference
// (length byte 8), volume coherency count, volume coherency set identifier, and the application
// client specific information (identifier of 8 characters, version, volume UUID).
std::vector<uint8_t> vci_value(uint64_t volume_change_reference, uint64_t pr_count,
                               uint64_t rcm_block, const Uuid& volume_uuid,
                               std::string_view acsi_id = "Quorrant", uint8_t acsi_version = 1);

// Big-endian appenders and writer.
void append_u64(std::vector<uint8_t>& out, uint64_t value);
void append_bytes(std::vector<uint8_t>& out, std::string_view bytes);
void append_bytes(std::vector<uint8_t>& out, std::span<const uint8_t> bytes);
void store_u64(uint8_t* at, uint64_t value);

// Deterministic data of generated objects: fills `out` with the bytes found at `position` of the
// endless pattern of `seed`. Any slicing of the pattern gives the same bytes.
void fill_pattern(uint64_t seed, uint64_t position, std::span<uint8_t> out);

}  // namespace vtape

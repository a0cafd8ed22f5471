// Decoders of what the drive returns: sense data of either format, standard INQUIRY data,
// long-form READ POSITION data, READ ATTRIBUTE lists and log pages. They look only at the bytes
// actually received (never past them, whatever the lengths inside say), so they run - and are
// tested - without a drive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "scsi_resparam.h"

namespace scsi {

// Sense data as the program uses it, from either format. `raw` holds only the bytes the driver
// wrote (sb_len_wr); nothing beyond them is read.
struct SenseData {
  bool present = false;       // a response code of 70h to 73h was received
  uint8_t response_code = 0;  // 70h, 71h fixed; 72h, 73h descriptor
  bool deferred = false;      // 71h, 73h: an error of an earlier command
  bool valid = false;         // INFORMATION holds a value
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  bool filemark = false;
  bool eom = false;
  bool ili = false;
  int64_t information = 0;  // 0 unless valid; fixed format's 32 bits are taken as signed
  // The drive asks to be cleaned: fixed sense byte 21 bit 3 (the CLN bit some drives set), or
  // the NO SENSE code 82h/82h others answer a command that succeeded with.
  bool cleaning = false;
  uint64_t command_specific = 0;
  uint8_t additional_length = 0;
};

SenseData parse_sense(std::span<const uint8_t> raw);

}  // namespace scsi

// Fills the decoded record from sense bytes of either format (by the response code in byte 0):
// the fixed-format fields as their bytes give them, or for descriptor format the key, ASC, ASCQ,
// INFORMATION and the stream bits from their descriptors (other fields 0). `valid` receives the
// VALID bit (INFORMATION is 0 without it), `error_code` the response code. A byte that was not
// received counts as 0. The fields decoding does not fill (segment_number, vendor fields,
// scsi_status) are left as they are.
void decode_sense_data(std::span<const uint8_t> raw, ST_SPTI_REQUEST_SENSE_RESPONSE* out);

// Description of a sense key (only the low four bits count); empty for keys without one.
const char* sense_key_description(uint8_t sense_key);

// Decodes READ BLOCK LIMITS data into `limits`; bytes not received count as 0.
void decode_block_limits(std::span<const uint8_t> data, ST_SPTI_BLOCK_LIMITS* limits);

// Decodes long-form READ POSITION data into `pos`; bytes not received count as 0.
void decode_position_data(std::span<const uint8_t> data, ST_SPTI_CMD_POSITIONDATA* pos);

// One attribute of a READ ATTRIBUTE list; `value` lies inside the bytes received.
struct MamAttributeView {
  uint16_t id = 0;
  uint8_t flags = 0;  // bit 7 READ ONLY, bits 1..0 FORMAT
  uint16_t length = 0;
  std::span<const uint8_t> value;
};

// An attribute list begins with AVAILABLE DATA: 4 bytes, the length of the attributes that follow.
inline constexpr size_t kAttributeListHeaderLength = 4;

// End of the parsable attribute list: 4 + AVAILABLE DATA, clipped to the bytes received (the drive
// announces the full size even when the list was cut to the allocation length).
size_t attribute_list_end(std::span<const uint8_t> received);

// Steps through an attribute list. `*offset` starts at kAttributeListHeaderLength. Returns false,
// leaving `*offset` unchanged, when no complete attribute starts there: a header or a value that
// runs past attribute_list_end is never used.
bool next_attribute(std::span<const uint8_t> received, size_t* offset, MamAttributeView* attr);

// Parse an attribute list into the device-type and host-type records. Numbers keep the low-order
// bits that fit the field; texts are copied to the start of their field and cut to its size.
void set_drive_attribute(std::span<const uint8_t> received,
                         ST_SPTI_DEVICE_TYPE_ATTRIBUTE* attr_data);
void set_drive_host_type_attribute(std::span<const uint8_t> received,
                                   ST_SPTI_HOST_TYPE_ATTRIBUTE* attr_data);

// Standard INQUIRY data (EVPD 0). A text field holds the bytes of it that were received, blanks
// and all (8, 16 and 4 bytes): a field cut short is shorter, a field not received empty.
struct InquiryIdentity {
  std::string vendor;       // bytes 8..15
  std::string product;      // bytes 16..31
  std::string revision;     // bytes 32..35
  uint8_t device_type = 0;  // byte 0 bits 4..0: 01h a tape drive
  uint8_t version = 0;      // byte 2: the SCSI standard the device claims
};
InquiryIdentity decode_inquiry(std::span<const uint8_t> data);

// The peripheral device type and the claimed version in words ("sequential-access device",
// "SPC-4"); "" for a code without words here.
const char* device_type_name(uint8_t device_type);
const char* version_name(uint8_t version);

// MODE SENSE(6) data: the mode parameter header and its first block descriptor. A header byte not
// received counts as 0; the block descriptor counts only when its 8 bytes were received and lie
// within the mode data length, and the block descriptor length announces one.
struct ModeSense6Data {
  uint8_t medium_type = 0;
  bool write_protected = false;  // WP: bit 7 of the device-specific parameter
  bool has_block_descriptor = false;
  uint8_t density_code = 0;
  uint32_t blocks = 0;        // number of blocks; 0: the rest of the medium
  uint32_t block_length = 0;  // 0: variable-length blocks
};
ModeSense6Data decode_mode_sense6(std::span<const uint8_t> data);

// The density code in words ("LTO-9"); "" for a code without words here.
const char* density_name(uint8_t density_code);
// The generation a density code stands for, as a tape identifier carries it ("L9", "M8"); "" for
// a code of no LTO generation.
const char* density_generation(uint8_t density_code);

// The value of parameter `code` in a log page (4-byte page header, then parameters of a 4-byte
// header and their value), clipped to the page length and to the bytes received. Empty when the
// page does not hold the parameter.
std::span<const uint8_t> find_log_parameter(std::span<const uint8_t> page, uint16_t code);

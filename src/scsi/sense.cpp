// Sense data of both formats. Fixed format (response codes 70h, 71h) places every field at a
// byte of its own; descriptor format (72h, 73h) gives the key, ASC and ASCQ in bytes 1 to 3 and
// carries INFORMATION and the stream bits (filemark, EOM, ILI) in descriptors behind byte 8.
// Only the bytes the driver wrote are read.
#include <algorithm>

#include "scsi/scsi_decode.h"

namespace scsi {

namespace {

constexpr uint8_t kFixedCurrent = 0x70;
constexpr uint8_t kFixedDeferred = 0x71;
constexpr uint8_t kDescriptorCurrent = 0x72;
constexpr uint8_t kDescriptorDeferred = 0x73;
constexpr uint8_t kValidBit = 0x80;

// Fixed format.
constexpr size_t kFlagsKey = 2;
constexpr size_t kInformation = 3;
constexpr size_t kAdditionalLength = 7;
constexpr size_t kCommandSpecific = 8;
constexpr size_t kAsc = 12;
constexpr size_t kCleaningByte = 21;     // fixed format: bit 3, the drive asks to be cleaned
constexpr uint8_t kCleaningBit = 0x08;
constexpr size_t kAscq = 13;

// Descriptor format.
constexpr size_t kDescriptorsStart = 8;
constexpr uint8_t kInformationDescriptor = 0x00;
constexpr uint8_t kCommandSpecificDescriptor = 0x01;
constexpr uint8_t kStreamDescriptor = 0x04;

uint8_t byte_at(std::span<const uint8_t> raw, size_t index) {
  return index < raw.size() ? raw[index] : 0;
}

uint64_t number_at(std::span<const uint8_t> raw, size_t index, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) value = (value << 8) | byte_at(raw, index + i);
  return value;
}

void take_stream_bits(uint8_t flags, SenseData* s) {
  s->filemark = (flags >> 7) & 1;
  s->eom = (flags >> 6) & 1;
  s->ili = (flags >> 5) & 1;
}

void parse_fixed(std::span<const uint8_t> raw, SenseData* s) {
  const uint8_t flags = byte_at(raw, kFlagsKey);
  take_stream_bits(flags, s);
  s->key = flags & 0x0F;
  s->valid = (byte_at(raw, 0) & kValidBit) != 0;
  // INFORMATION is four bytes here: a negative residue arrives as its 32-bit two's complement.
  if (s->valid) {
    s->information = static_cast<int32_t>(static_cast<uint32_t>(number_at(raw, kInformation, 4)));
  }
  s->additional_length = byte_at(raw, kAdditionalLength);
  s->command_specific = number_at(raw, kCommandSpecific, 4);
  s->asc = byte_at(raw, kAsc);
  s->ascq = byte_at(raw, kAscq);
}

// Walks the descriptors within the additional length and the bytes received; a descriptor that
// does not fit is not read.
void parse_descriptors(std::span<const uint8_t> raw, SenseData* s) {
  s->key = byte_at(raw, 1) & 0x0F;
  s->asc = byte_at(raw, 2);
  s->ascq = byte_at(raw, 3);
  s->additional_length = byte_at(raw, kAdditionalLength);
  const size_t end = std::min(raw.size(), kDescriptorsStart + s->additional_length);
  size_t at = kDescriptorsStart;
  while (at + 2 <= end) {
    const uint8_t type = raw[at];
    const size_t length = 2 + static_cast<size_t>(raw[at + 1]);
    if (at + length > end) break;
    const std::span<const uint8_t> d = raw.subspan(at, length);
    if (type == kInformationDescriptor && length >= 12) {
      s->valid = (d[2] & kValidBit) != 0;
      if (s->valid) s->information = static_cast<int64_t>(number_at(d, 4, 8));
    } else if (type == kCommandSpecificDescriptor && length >= 12) {
      s->command_specific = number_at(d, 4, 8);
    } else if (type == kStreamDescriptor && length >= 4) {
      take_stream_bits(d[3], s);
    }
    at += length;
  }
}

}  // namespace

SenseData parse_sense(std::span<const uint8_t> raw) {
  SenseData s;
  const uint8_t code = byte_at(raw, 0) & 0x7F;
  if (raw.empty() || code < kFixedCurrent || code > kDescriptorDeferred) return s;
  s.present = true;
  s.response_code = code;
  s.deferred = code == kFixedDeferred || code == kDescriptorDeferred;
  if (code == kDescriptorCurrent || code == kDescriptorDeferred) {
    parse_descriptors(raw, &s);
  } else {
    parse_fixed(raw, &s);
    s.cleaning = (byte_at(raw, kCleaningByte) & kCleaningBit) != 0;
  }
  constexpr uint8_t kCleaningCode = 0x82;  // NO SENSE 82h/82h: "drive requires cleaning"
  if (s.key == 0 && s.asc == kCleaningCode && s.ascq == kCleaningCode) s.cleaning = true;
  return s;
}

}  // namespace scsi

namespace {

// Fixed-format bytes that only that format has.
constexpr size_t kFruCode = 14;
constexpr size_t kSenseKeySpecific = 15;
constexpr size_t kFieldPointer = 16;
constexpr size_t kCleaning = 21;

}  // namespace

void decode_sense_data(std::span<const uint8_t> raw, ST_SPTI_REQUEST_SENSE_RESPONSE* out) {
  if (out == nullptr) return;
  const scsi::SenseData s = scsi::parse_sense(raw);
  out->error_code = s.response_code;
  out->valid = s.valid ? 1 : 0;
  out->infomation = static_cast<uint32_t>(s.information);
  out->cmd_spec_info = static_cast<uint32_t>(s.command_specific);
  out->filemark = s.filemark;
  out->eom = s.eom;
  out->ili = s.ili;
  out->sense_key = s.key;
  out->additional_sense_length = s.additional_length;
  out->asc = s.asc;
  out->ascq = s.ascq;
  // Fields of the fixed format alone; descriptor format leaves them 0.
  const bool fixed = s.present && s.response_code < 0x72;
  const auto fixed_byte = [&](size_t i) -> uint8_t { return fixed && i < raw.size() ? raw[i] : 0; };
  const uint8_t key_specific = fixed_byte(kSenseKeySpecific);
  out->field_pointer = static_cast<uint16_t>(fixed_byte(kFieldPointer) << 8 |
                                             fixed_byte(kFieldPointer + 1));
  out->field_rep_unit_code = fixed_byte(kFruCode);
  out->bit_pointer = key_specific & 0x07;
  out->bpv = (key_specific >> 3) & 1;
  out->c_d = (key_specific >> 6) & 1;
  out->sksv = (key_specific >> 7) & 1;
  out->cln = (fixed_byte(kCleaning) >> 3) & 1;
}

const char* sense_key_description(uint8_t sense_key) {
  static constexpr const char* kDescriptions[16] = {"No Sense",
                                                    "Recovered Error",
                                                    "Not Ready",
                                                    "Medium Error",
                                                    "Hardware Error",
                                                    "Illegal Request",
                                                    "Unit Attention",
                                                    "Data Protect",
                                                    "Blank Check",
                                                    "",
                                                    "",
                                                    "Aborted Command",
                                                    "",
                                                    "Volume Overflow",
                                                    "",
                                                    ""};
  return kDescriptions[sense_key & 0x0F];
}

// The decoders of what a drive or a library's changer returns: sense data of either format, READ
// POSITION, READ BLOCK LIMITS, INQUIRY, LOG SENSE and MODE SENSE data, element status, the element
// address assignment page and the unit serial number page. The first byte chooses the decoder (and
// for a log page the parameter code comes from the next two), the rest is what the device sent.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_target.h"
#include "scsi/changer.h"
#include "scsi/scsi_decode.h"

namespace {

void sense(fuzz::Bytes data) {
  const scsi::SenseData parsed = scsi::parse_sense(data);
  ST_SPTI_REQUEST_SENSE_RESPONSE decoded{};
  decode_sense_data(data, &decoded);
  sense_key_description(parsed.key);
}

void position(fuzz::Bytes data) {
  ST_SPTI_CMD_POSITIONDATA decoded{};
  decode_position_data(data, &decoded);
}

void block_limits(fuzz::Bytes data) {
  ST_SPTI_BLOCK_LIMITS limits{};
  decode_block_limits(data, &limits);
}

void inquiry(fuzz::Bytes data) { decode_inquiry(data); }

void log_page(fuzz::Bytes data) {
  if (data.size() < 2) return;
  const uint16_t code = static_cast<uint16_t>(data[0] << 8 | data[1]);
  const fuzz::Bytes value = find_log_parameter(data.subspan(2), code);
  volatile uint8_t sum = 0;
  for (const uint8_t byte : value) sum = static_cast<uint8_t>(sum + byte);
}

void mode_sense(fuzz::Bytes data) {
  const ModeSense6Data decoded = decode_mode_sense6(data);
  density_name(decoded.density_code);
}

void element_status(fuzz::Bytes data) {
  std::string error;
  const auto report = scsi::changer::decode_element_status(data, &error);
  volatile size_t tags = 0;
  for (size_t i = 0; report && i < report->elements.size(); ++i) {
    tags = tags + report->elements[i].volume_tag.value_or("").size();
  }
}

void element_assignment(fuzz::Bytes data) { scsi::changer::decode_element_assignment(data); }

void unit_serial(fuzz::Bytes data) { scsi::changer::decode_unit_serial(data); }

constexpr void (*kDecoders[])(fuzz::Bytes) = {
    sense,      position,       block_limits,       inquiry,    log_page,
    mode_sense, element_status, element_assignment, unit_serial};

}  // namespace

OR_FUZZ_TARGET(scsi_decode) {
  if (input.empty()) return;
  kDecoders[input[0] % std::size(kDecoders)](input.subspan(1));
}

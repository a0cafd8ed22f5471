// MODE SENSE(6) of the element address assignment page: the first address and the number of a
// library's robots, storage slots, import/export slots and drives.
#include <algorithm>

#include "scsi/changer.h"
#include "scsi/scsi_command.h"

namespace scsi::changer {

namespace {
constexpr size_t kModeHeaderLength = 4;
constexpr size_t kBlockDescriptorLengthByte = 3;
constexpr size_t kPageHeaderLength = 2;
constexpr size_t kAssignmentLength = 16;  // four ranges of a first address and a count
constexpr uint8_t kPageCodeMask = 0x3F;
}  // namespace

std::optional<ElementAssignment> decode_element_assignment(std::span<const uint8_t> mode_data) {
  if (mode_data.size() < kModeHeaderLength) return std::nullopt;
  const size_t end = std::min<size_t>(mode_data.size(), size_t{mode_data[0]} + 1);
  size_t offset = kModeHeaderLength + mode_data[kBlockDescriptorLengthByte];
  while (offset + kPageHeaderLength <= end) {
    const size_t length = mode_data[offset + 1];
    const size_t fields = offset + kPageHeaderLength;
    if ((mode_data[offset] & kPageCodeMask) == kElementAddressPage) {
      if (length < kAssignmentLength || fields + kAssignmentLength > end) return std::nullopt;
      const auto range = [&](size_t at) {
        return ElementRange{static_cast<uint16_t>(mode_data[at] << 8 | mode_data[at + 1]),
                            static_cast<uint16_t>(mode_data[at + 2] << 8 | mode_data[at + 3])};
      };
      return ElementAssignment{range(fields), range(fields + 4), range(fields + 8),
                               range(fields + 12)};
    }
    offset = fields + length;
  }
  return std::nullopt;
}

std::optional<ElementAssignment> read_element_assignment(void* scparam,
                                                         ST_SPTI_REQUEST_SENSE_RESPONSE* sbp) {
  uint8_t data[MODE_SENSE6_ALLOCATION_LENGTH] = {};
  uint32_t received = 0;
  if (!mode_sense6_command(scparam, kElementAddressPage, sizeof(data), data, &received, sbp, {})) {
    return std::nullopt;
  }
  return decode_element_assignment(
      std::span<const uint8_t>(data, std::min<size_t>(received, sizeof(data))));
}

}  // namespace scsi::changer

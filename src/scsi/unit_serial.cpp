// INQUIRY of the unit serial number page (80h): the serial number that matches a drive to the
// identifier its library reports for one of its elements.
#include <algorithm>

#include "output_level.h"
#include "scsi/changer.h"
#include "scsi/scsi_command.h"

namespace scsi::changer {

namespace {
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kVitalProductData = 0x01;  // EVPD
constexpr size_t kPageHeaderLength = 4;
}  // namespace

std::array<uint8_t, 6> inquiry_vpd_cdb(uint8_t page, uint16_t allocation) {
  std::array<uint8_t, 6> cdb{};
  cdb[0] = kOpInquiry;
  cdb[1] = kVitalProductData;
  cdb[2] = page;
  put_be(cdb, 3, 2, allocation);
  return cdb;
}

std::optional<std::string> decode_unit_serial(std::span<const uint8_t> data) {
  if (data.size() < kPageHeaderLength || data[1] != kUnitSerialNumberPage) return std::nullopt;
  const size_t length = size_t{data[2]} << 8 | data[3];
  if (kPageHeaderLength + length > data.size()) return std::nullopt;
  std::string serial(data.begin() + kPageHeaderLength,
                     data.begin() + static_cast<std::ptrdiff_t>(kPageHeaderLength + length));
  const size_t first = serial.find_first_not_of(std::string(" \0", 2));
  if (first == std::string::npos) return std::string();
  const size_t last = serial.find_last_not_of(std::string(" \0", 2));
  return serial.substr(first, last - first + 1);
}

std::optional<std::string> read_unit_serial(void* scparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp) {
  uint8_t data[INQUIRY_ALLOCATION_LENGTH] = {};
  std::array<uint8_t, 6> cdb = inquiry_vpd_cdb(kUnitSerialNumberPage, sizeof(data));
  uint32_t received = 0;
  if (!issue_scsi_command(scparam, cdb, SG_DXFER_FROM_DEV, sizeof(data), data, &received, sbp)) {
    return std::nullopt;
  }
  return decode_unit_serial(
      std::span<const uint8_t>(data, std::min<size_t>(received, sizeof(data))));
}

}  // namespace scsi::changer

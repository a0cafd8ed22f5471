// LOG SENSE(10): one log page of current cumulative values (the volume statistics page holds the
// cartridge's volume personality).
#include <algorithm>

#include "output_level.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"

namespace {

constexpr unsigned char kOpLogSense10 = 0x4D;
constexpr unsigned char kCurrentCumulative = 0x40;  // page control 01b in bits 7..6
constexpr uint32_t kMaxAllocationLength = 0xFFFF;

constexpr size_t kPageHeaderLength = 4;
constexpr size_t kParameterHeaderLength = 4;

}  // namespace

std::span<const uint8_t> find_log_parameter(std::span<const uint8_t> page, uint16_t code) {
  if (page.size() < kPageHeaderLength) return {};
  const size_t page_length = (static_cast<size_t>(page[2]) << 8) | page[3];
  const size_t end = std::min(page.size(), kPageHeaderLength + page_length);
  size_t offset = kPageHeaderLength;
  while (offset + kParameterHeaderLength <= end) {
    const uint16_t found = static_cast<uint16_t>((page[offset] << 8) | page[offset + 1]);
    const size_t length = page[offset + 3];
    const size_t value = offset + kParameterHeaderLength;
    if (found == code) return page.subspan(value, std::min(length, end - value));
    offset = value + length;
  }
  return {};
}

BOOL spti_log_sense(void* scparam, uint32_t page_code, uint32_t parameter, uint32_t dxfer_len,
                    void* dxferp, uint32_t* resid, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                    ST_SYSTEM_ERRORINFO* /*syserr*/) {
  return log_sense_command(scparam, page_code, parameter, dxfer_len, dxferp, resid, sbp, {});
}

BOOL log_sense_command(void* scparam, uint32_t page_code, uint32_t parameter, uint32_t dxfer_len,
                       void* dxferp, uint32_t* resid, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                       const CommandOptions& options) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:spti_log_sense: page=0x%02X, parameter=0x%04X\n",
                     page_code, parameter);
  unsigned char cdb[10] = {};
  cdb[0] = kOpLogSense10;
  cdb[1] = 0;  // PPC 0, SP 0
  cdb[2] = static_cast<unsigned char>(kCurrentCumulative | (page_code & 0x3F));
  put_be(cdb, 5, 2, parameter & 0xFFFF);
  // A buffer larger than the 16-bit field asks for the most the field can name, not a wrapped
  // length.
  put_be(cdb, 7, 2, std::min(dxfer_len, kMaxAllocationLength));
  const BOOL result =
      issue_scsi_command(scparam, cdb, SG_DXFER_FROM_DEV, dxfer_len, dxferp, resid, sbp, options);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_log_sense\n");
  return result;
}

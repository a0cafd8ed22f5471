// INQUIRY(6): the drive's standard inquiry data (vendor, product, revision).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "output_level.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"

namespace {

constexpr unsigned char kOpInquiry6 = 0x12;
constexpr uint32_t kSelfTestBufferLength = 262144;

// Standard inquiry data fields.
constexpr size_t kVendorOffset = 8;
constexpr size_t kVendorLength = 8;
constexpr size_t kProductOffset = 16;
constexpr size_t kProductLength = 16;
constexpr size_t kRevisionOffset = 32;
constexpr size_t kRevisionLength = 4;

void extract(char* target, const unsigned char* source, size_t offset, size_t length) {
  std::memcpy(target, source + offset, length);
}

void show_str(const char* label, const char* value) { std::printf("%s: _%s_\n", label, value); }

void show_int(const char* label, int value) { std::printf("%s: _%d_\n", label, value); }

void show_vendor(const unsigned char* data) {
  char field[kVendorLength + 1] = {};
  extract(field, data, kVendorOffset, kVendorLength);
  show_str("Vendor ID", field);
}

void show_product(const unsigned char* data) {
  char field[kProductLength + 1] = {};
  extract(field, data, kProductOffset, kProductLength);
  show_str("Product ID", field);
}

void show_revision(const unsigned char* data) {
  char field[kRevisionLength + 1] = {};
  extract(field, data, kRevisionOffset, kRevisionLength);
  show_str("Revision Level", field);
}

std::string field(std::span<const uint8_t> data, size_t offset, size_t length) {
  if (data.size() <= offset) return "";
  const size_t n = std::min(length, data.size() - offset);
  return std::string(reinterpret_cast<const char*>(data.data() + offset), n);
}

}  // namespace

InquiryIdentity decode_inquiry(std::span<const uint8_t> data) {
  return InquiryIdentity{field(data, kVendorOffset, kVendorLength),
                         field(data, kProductOffset, kProductLength),
                         field(data, kRevisionOffset, kRevisionLength)};
}

BOOL spti_inquiry(void* scparam, uint32_t page_code, uint32_t dxfer_len, void* dxferp,
                  uint32_t* resid, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                  ST_SYSTEM_ERRORINFO* /*syserr*/) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:spti_inquiry: page_code=0x%02X\n", page_code);
  unsigned char cdb[6] = {};
  cdb[0] = kOpInquiry6;
  cdb[1] = 0;  // EVPD 0
  cdb[2] = static_cast<unsigned char>(page_code & 0x1F);
  cdb[4] = INQUIRY_ALLOCATION_LENGTH;
  const BOOL result =
      issue_scsi_command(scparam, cdb, SG_DXFER_FROM_DEV, dxfer_len, dxferp, resid, sbp);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_inquiry\n");
  return result;
}

BOOL test_inquiry(const char* path) {
  std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[kSelfTestBufferLength]());
  if (!data) {
    output_fatal(VL_MISC, "Failed to allocate memory for test_inquiry.\n");
    return 0;
  }
  SelfTestDevice device(path);
  uint32_t transferred = 0;
  const BOOL result = spti_inquiry(device.param(), 0, kSelfTestBufferLength, data.get(),
                                   &transferred, device.sense(), device.error());
  if (result) {
    show_vendor(data.get());
    show_product(data.get());
    show_revision(data.get());
    show_int("resid", static_cast<int>(transferred));
  }
  return result;
}

// INQUIRY(6): the drive's standard inquiry data (device type, vendor, product, revision).
#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "output_level.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"

namespace {

constexpr unsigned char kOpInquiry6 = 0x12;
constexpr uint32_t kSelfTestBufferLength = 262144;

// Standard inquiry data fields.
constexpr size_t kDeviceType = 0;
constexpr uint8_t kDeviceTypeMask = 0x1F;
constexpr size_t kVersion = 2;
constexpr size_t kVendorOffset = 8;
constexpr size_t kVendorLength = 8;
constexpr size_t kProductOffset = 16;
constexpr size_t kProductLength = 16;
constexpr size_t kRevisionOffset = 32;
constexpr size_t kRevisionLength = 4;

struct Words {
  uint8_t code;
  const char* text;
};

constexpr Words kDeviceTypes[] = {
    {0x00, "direct-access block device"},
    {0x01, "sequential-access device"},
    {0x02, "printer"},
    {0x03, "processor"},
    {0x04, "write-once device"},
    {0x05, "CD/DVD device"},
    {0x07, "optical memory device"},
    {0x08, "medium changer"},
    {0x0C, "storage array controller"},
    {0x0D, "enclosure services device"},
    {0x0E, "simplified direct-access device"},
    {0x0F, "optical card reader/writer"},
    {0x11, "object-based storage device"},
    {0x12, "automation/drive interface"},
    {0x1E, "well known logical unit"},
    {0x1F, "unknown or no device type"},
};

constexpr Words kVersions[] = {
    {0x00, "no standard claimed"},
    {0x03, "SPC"},
    {0x04, "SPC-2"},
    {0x05, "SPC-3"},
    {0x06, "SPC-4"},
    {0x07, "SPC-5"},
};

const char* words_of(std::span<const Words> table, uint8_t code) {
  for (const Words& w : table) {
    if (w.code == code) return w.text;
  }
  return "";
}

// The received bytes of the field at `offset`.
std::string text_at(std::span<const uint8_t> data, size_t offset, size_t length) {
  if (offset >= data.size()) return {};
  const size_t n = std::min(length, data.size() - offset);
  return std::string(reinterpret_cast<const char*>(data.data() + offset), n);
}

// Printed up to the first zero byte, as the self-test always has.
void show_str(const char* label, const std::string& value) {
  std::printf("%s: _%s_\n", label, value.c_str());
}

void show_int(const char* label, int value) { std::printf("%s: _%d_\n", label, value); }

}  // namespace

InquiryIdentity decode_inquiry(std::span<const uint8_t> data) {
  InquiryIdentity d;
  d.vendor = text_at(data, kVendorOffset, kVendorLength);
  d.product = text_at(data, kProductOffset, kProductLength);
  d.revision = text_at(data, kRevisionOffset, kRevisionLength);
  if (data.size() > kDeviceType) d.device_type = data[kDeviceType] & kDeviceTypeMask;
  if (data.size() > kVersion) d.version = data[kVersion];
  return d;
}

const char* device_type_name(uint8_t device_type) { return words_of(kDeviceTypes, device_type); }

const char* version_name(uint8_t version) { return words_of(kVersions, version); }

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
    const InquiryIdentity d = decode_inquiry(
        std::span<const uint8_t>(data.get(), std::min<size_t>(transferred, kSelfTestBufferLength)));
    show_str("Vendor ID", d.vendor);
    show_str("Product ID", d.product);
    show_str("Revision Level", d.revision);
    show_int("resid", static_cast<int>(transferred));
  }
  return result;
}

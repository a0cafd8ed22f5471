// MODE SENSE(6): the mode parameter header and block descriptor (density code, block length,
// write protection) of the cartridge in the drive.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "output_level.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"

namespace {

constexpr unsigned char kOpModeSense6 = 0x1A;
constexpr uint32_t kSelfTestBufferLength = MODE_SENSE6_ALLOCATION_LENGTH;
constexpr uint32_t kPageCodeMask = 0x3F;  // PC 00b: the current values

// Mode parameter header.
constexpr size_t kModeDataLength = 0;
constexpr size_t kMediumType = 1;
constexpr size_t kDeviceSpecific = 2;
constexpr uint8_t kWriteProtect = 0x80;
constexpr size_t kBlockDescriptorLength = 3;
constexpr size_t kHeaderLength = 4;
// The block descriptor that follows it.
constexpr size_t kDescriptorLength = 8;
constexpr size_t kDensityCode = kHeaderLength;
constexpr size_t kNumberOfBlocks = kHeaderLength + 1;
constexpr size_t kBlockLength = kHeaderLength + 5;

// The density codes (MODE SENSE's block descriptor, the cartridge memory's attribute 0405h): in
// words, and as the two characters of a tape identifier's generation.
struct Density {
  uint8_t code;
  const char* text;
  const char* generation;
};

constexpr Density kDensities[] = {
    {0x00, "default density", ""}, {0x40, "LTO-1", "L1"}, {0x42, "LTO-2", "L2"},
    {0x44, "LTO-3", "L3"},         {0x46, "LTO-4", "L4"}, {0x58, "LTO-5", "L5"},
    {0x5A, "LTO-6", "L6"},         {0x5C, "LTO-7", "L7"}, {0x5D, "LTO-7 Type M", "M8"},
    {0x5E, "LTO-8", "L8"},         {0x60, "LTO-9", "L9"},
};

const Density* density_of(uint8_t code) {
  for (const Density& d : kDensities) {
    if (d.code == code) return &d;
  }
  return nullptr;
}

uint32_t be24(std::span<const uint8_t> data, size_t offset) {
  return static_cast<uint32_t>(data[offset] << 16 | data[offset + 1] << 8 | data[offset + 2]);
}

}  // namespace

ModeSense6Data decode_mode_sense6(std::span<const uint8_t> data) {
  ModeSense6Data d;
  const auto at = [&](size_t i) -> uint8_t { return i < data.size() ? data[i] : 0; };
  d.medium_type = at(kMediumType);
  d.write_protected = (at(kDeviceSpecific) & kWriteProtect) != 0;
  // The descriptor counts only when it lies whole within what arrived and what the header says.
  const size_t end = std::min<size_t>(data.size(), size_t{at(kModeDataLength)} + 1);
  if (at(kBlockDescriptorLength) >= kDescriptorLength && end >= kHeaderLength + kDescriptorLength) {
    d.has_block_descriptor = true;
    d.density_code = data[kDensityCode];
    d.blocks = be24(data, kNumberOfBlocks);
    d.block_length = be24(data, kBlockLength);
  }
  return d;
}

const char* density_name(uint8_t density_code) {
  const Density* d = density_of(density_code);
  return d != nullptr ? d->text : "";
}

const char* density_generation(uint8_t density_code) {
  const Density* d = density_of(density_code);
  return d != nullptr ? d->generation : "";
}

BOOL spti_mode_sense6(void* scparam, uint32_t page_code, uint32_t dxfer_len, void* dxferp,
                      uint32_t* resid, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                      ST_SYSTEM_ERRORINFO* /*syserr*/) {
  return mode_sense6_command(scparam, page_code, dxfer_len, dxferp, resid, sbp, {});
}

BOOL mode_sense6_command(void* scparam, uint32_t page_code, uint32_t dxfer_len, void* dxferp,
                         uint32_t* resid, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                         const CommandOptions& options) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:spti_mode_sense6: page_code=0x%02X\n", page_code);
  unsigned char cdb[6] = {};
  cdb[0] = kOpModeSense6;
  cdb[1] = 0;  // DBD 0: with the block descriptor
  cdb[2] = static_cast<unsigned char>(page_code & kPageCodeMask);
  // The allocation length is one byte: a larger buffer asks for the most it can name.
  cdb[4] = static_cast<unsigned char>(std::min(dxfer_len, MODE_SENSE6_ALLOCATION_LENGTH));
  const BOOL result =
      issue_scsi_command(scparam, cdb, SG_DXFER_FROM_DEV, dxfer_len, dxferp, resid, sbp, options);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_mode_sense6\n");
  return result;
}

BOOL test_mode_sense6(const char* path, uint32_t page_code) {
  std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[kSelfTestBufferLength]());
  if (!data) {
    output_fatal(VL_MISC, "Failed to allocate memory for test_mode_sense6.\n");
    return 0;
  }
  SelfTestDevice device(path);
  uint32_t transferred = 0;
  const BOOL result = spti_mode_sense6(device.param(), page_code, kSelfTestBufferLength, data.get(),
                                       &transferred, device.sense(), device.error());
  if (result) {
    const ModeSense6Data d = decode_mode_sense6(
        std::span<const uint8_t>(data.get(), std::min(transferred, kSelfTestBufferLength)));
    std::printf("Density Code: 0x%02X\n", d.density_code);
    std::printf("Block Length: %u\n", d.block_length);
    std::printf("Write Protected: %d\n", d.write_protected ? 1 : 0);
  }
  return result;
}

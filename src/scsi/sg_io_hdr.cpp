// The SG_IO transport: builds the request header, issues one command, turns its SCSI status into
// BOOL with the status and sense reports, and decodes the fixed-format sense data.
#include <scsi/sg.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "output_level.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"
#include "spti_lib.h"
#include "tape_device.h"

namespace {

constexpr unsigned char kSenseBufferLength = 96;
constexpr unsigned char kMaxSenseLength = 44;  // what the driver may write into the raw buffer
constexpr unsigned int kHeaderFlags = 2;

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kStatusBusy = 0x08;
constexpr uint8_t kStatusReservationConflict = 0x18;
constexpr uint8_t kStatusTaskSetFull = 0x28;

// Fixed-format sense byte positions.
constexpr size_t kSenseFlagsKey = 2;
constexpr size_t kSenseInformation = 3;
constexpr size_t kSenseAdditionalLength = 7;
constexpr size_t kSenseCommandSpecific = 8;
constexpr size_t kSenseAsc = 12;
constexpr size_t kSenseAscq = 13;
constexpr size_t kSenseFruCode = 14;
constexpr size_t kSenseKeySpecific = 15;
constexpr size_t kSenseFieldPointer = 16;
constexpr size_t kSenseCleaning = 21;

uint8_t byte_at(std::span<const uint8_t> raw, size_t index) {
  return index < raw.size() ? raw[index] : 0;
}

uint64_t number_at(std::span<const uint8_t> raw, size_t index, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) value = (value << 8) | byte_at(raw, index + i);
  return value;
}

}  // namespace

uint64_t btoui(const unsigned char* buf, int size) {
  uint64_t value = 0;
  if (buf == nullptr) return 0;
  for (int i = 0; i < size; ++i) value = (value << 8) | buf[i];
  return value;
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

void decode_sense_data(std::span<const uint8_t> raw, ST_SPTI_REQUEST_SENSE_RESPONSE* out) {
  if (out == nullptr) return;
  const uint8_t flags = byte_at(raw, kSenseFlagsKey);
  const uint8_t key_specific = byte_at(raw, kSenseKeySpecific);
  out->infomation = static_cast<uint32_t>(number_at(raw, kSenseInformation, 4));
  out->cmd_spec_info = static_cast<uint32_t>(number_at(raw, kSenseCommandSpecific, 4));
  out->field_pointer = static_cast<uint16_t>(number_at(raw, kSenseFieldPointer, 2));
  out->filemark = (flags >> 7) & 1;
  out->eom = (flags >> 6) & 1;
  out->ili = (flags >> 5) & 1;
  out->sense_key = flags & 0x0F;
  out->additional_sense_length = byte_at(raw, kSenseAdditionalLength);
  out->asc = byte_at(raw, kSenseAsc);
  out->ascq = byte_at(raw, kSenseAscq);
  out->field_rep_unit_code = byte_at(raw, kSenseFruCode);
  out->bit_pointer = key_specific & 0x07;
  out->bpv = (key_specific >> 3) & 1;
  out->c_d = (key_specific >> 6) & 1;
  out->sksv = (key_specific >> 7) & 1;
  out->cln = (byte_at(raw, kSenseCleaning) >> 3) & 1;
}

sg_io_hdr_t* init_sg_io_hdr(unsigned char cmd_len, unsigned char* cmdp, int dxfer_direction,
                            unsigned int dxfer_len, void* dxferp,
                            ST_SPTI_REQUEST_SENSE_RESPONSE* sbp) {
  sg_io_hdr_t* hdr = new (std::nothrow) sg_io_hdr_t{};
  if (hdr == nullptr) return nullptr;
  hdr->interface_id = 'S';
  hdr->dxfer_direction = dxfer_direction;
  hdr->cmd_len = cmd_len;
  hdr->mx_sb_len = kMaxSenseLength;
  hdr->dxfer_len = dxfer_len;
  hdr->dxferp = dxferp;
  hdr->cmdp = cmdp;
  hdr->sbp = reinterpret_cast<unsigned char*>(sbp);
  hdr->flags = kHeaderFlags;
  hdr->timeout = 0;
  return hdr;
}

void destroy_sg_io_hdr(sg_io_hdr_t* hdr) { delete hdr; }

void show_sense_data(const ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, uint8_t operation_code) {
  if (sbp == nullptr) return;
  const char* level = sbp->sense_key != 0 ? LV_WARNING : LV_INFO;
  output_accdg_to_vl(level, VL_MISC, "Sense Key %X (%s)\n", sbp->sense_key,
                     sense_key_description(sbp->sense_key));
  output_accdg_to_vl(level, VL_MISC, "ASC ASCQ: %02X %02X (cdb: 0x%02X)\n", sbp->asc, sbp->ascq,
                     operation_code);
}

BOOL run_scsi_command(const void* scparam, sg_io_hdr_t* hdr, uint32_t* resid) {
  if (scparam == nullptr || hdr == nullptr || resid == nullptr) {
    output_fatal(VL_MISC, "Invalid argument @ run_scsi_command\n");
    return 0;
  }
  const int fd = static_cast<const SCSI_DEVICE_PARAM*>(scparam)->fd_scsidevice;

  // The driver writes the raw sense bytes into a local buffer; the caller's record receives them
  // decoded. The driver never gets more room than the buffer has.
  unsigned char raw_sense[kSenseBufferLength] = {};
  auto* decoded = reinterpret_cast<ST_SPTI_REQUEST_SENSE_RESPONSE*>(hdr->sbp);
  hdr->sbp = raw_sense;
  hdr->mx_sb_len = std::min(hdr->mx_sb_len, kSenseBufferLength);
  const uint8_t operation_code = hdr->cmdp != nullptr && hdr->cmd_len > 0 ? hdr->cmdp[0] : 0;

  output_accdg_to_vl(LV_TRACE, VL_MISC, "start SCSI_COMMAND:(%x)\n", operation_code);
  const int rc = tape_device_sg_io(fd, hdr);

  if (decoded != nullptr) {
    decode_sense_data(std::span<const uint8_t>(raw_sense, sizeof(raw_sense)), decoded);
    decoded->scsi_status = hdr->status;
  }
  hdr->sbp = reinterpret_cast<unsigned char*>(decoded);
  // Bytes received. A residue outside 0..dxfer_len (which a sound driver never reports) must not
  // wrap the count: the buffer never holds more than dxfer_len bytes, nor fewer than none.
  if (hdr->resid <= 0) {
    *resid = hdr->dxfer_len;
  } else if (static_cast<unsigned int>(hdr->resid) >= hdr->dxfer_len) {
    *resid = 0;
  } else {
    *resid = hdr->dxfer_len - static_cast<unsigned int>(hdr->resid);
  }

  if (rc < 0) {
    output_fatal(VL_MISC, "Sending SCSI Command failed.\n");
    return 0;
  }

  const uint8_t status = hdr->status;
  const char* check_level = decoded != nullptr && decoded->sense_key != 0 ? LV_WARNING : LV_INFO;
  switch (status) {
    case kStatusGood:
      break;
    case kStatusCheckCondition:
      output_accdg_to_vl(check_level, VL_MISC,
                         "CHECK CONDITION: A problem occurred during command processing.\n");
      show_sense_data(decoded, operation_code);
      break;
    case kStatusBusy:
      output_accdg_to_vl(LV_WARNING, VL_MISC,
                         "BUSY: The drive is unable to accept the command at this time.\n");
      break;
    case kStatusReservationConflict:
      output_fatal(VL_MISC, "RESERVATION CONFLICT: The drive is reserved.\n");
      break;
    case kStatusTaskSetFull:
      output_accdg_to_vl(LV_WARNING, VL_MISC, "QUEUE FULL\n");
      break;
    default:
      output_fatal(VL_MISC, "Undefined status: 0x%x\n", status);
      break;
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end SCSI_COMMAND:(%x)\n", operation_code);
  return status == kStatusGood ? 1 : 0;
}

BOOL issue_scsi_command(void* scparam, std::span<unsigned char> cdb, int dxfer_direction,
                        uint32_t dxfer_len, void* dxferp, uint32_t* resid,
                        ST_SPTI_REQUEST_SENSE_RESPONSE* sbp) {
  sg_io_hdr_t* hdr = init_sg_io_hdr(static_cast<unsigned char>(cdb.size()), cdb.data(),
                                    dxfer_direction, dxfer_len, dxferp, sbp);
  // A header that could not be allocated reaches the transport as null, which ends the run.
  const BOOL result = run_scsi_command(scparam, hdr, resid);
  destroy_sg_io_hdr(hdr);
  return result;
}

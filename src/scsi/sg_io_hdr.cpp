// The SG_IO transport: builds the request header (with the command's timeout), issues one request,
// turns its outcome into BOOL with the status and sense reports, and keeps the outcome for the
// retry policy. A request that failed in transport (the ioctl, the host adapter or the driver)
// is never taken as done, whatever the status byte says.
#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "output_level.h"
#include "scsi/command_table.h"
#include "scsi/retry_policy.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"
#include "spti_lib.h"
#include "tape_device.h"

namespace {

constexpr unsigned char kSenseBufferLength = 96;
constexpr unsigned char kMaxSenseLength = 44;  // what the driver may write into the raw buffer
// No flags: the data goes through the sg driver's buffers (indirect I/O), as the reserved buffer
// is sized for. (Flag 2 is the old "LUN inhibit", which kernels since 2.6 ignore.)
constexpr unsigned int kHeaderFlags = 0;

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kStatusBusy = 0x08;
constexpr uint8_t kStatusReservationConflict = 0x18;
constexpr uint8_t kStatusTaskSetFull = 0x28;

thread_local scsi::Outcome last;  // of the last request this thread sent

// Bytes received. A residue outside 0..dxfer_len (which a sound driver never reports) must not
// wrap the count: the buffer never holds more than dxfer_len bytes, nor fewer than none. A request
// that failed in transport, or that the target aborted, delivered nothing, whatever the residue
// says.
bool not_completed(const scsi::Outcome& outcome) {
  return outcome.ending == scsi::Ending::ioctl_failed ||
         outcome.ending == scsi::Ending::transport || outcome.ending == scsi::Ending::aborted;
}

uint32_t bytes_received(const sg_io_hdr_t& hdr, const scsi::Outcome& outcome) {
  if (not_completed(outcome)) return 0;
  if (hdr.resid <= 0) return hdr.dxfer_len;
  if (static_cast<unsigned int>(hdr.resid) >= hdr.dxfer_len) return 0;
  return hdr.dxfer_len - static_cast<unsigned int>(hdr.resid);
}

// The report of each status byte; a CHECK CONDITION that the caller reports in its own words
// is shown only at the highest verbosity.
void report_status(uint8_t status, const ST_SPTI_REQUEST_SENSE_RESPONSE* decoded,
                   uint8_t operation_code, bool report_check_condition) {
  const char* check_level = decoded != nullptr && decoded->sense_key != 0 ? LV_WARNING : LV_INFO;
  if (!report_check_condition) check_level = LV_DEBUG;
  // A record of another length than the READ asked for (NO SENSE, ILI, no additional code): the
  // READ's caller tells what it means (a shorter record is no problem).
  const bool other_length = decoded != nullptr && decoded->sense_key == 0 && decoded->ili != 0 &&
                            decoded->asc == 0 && decoded->ascq == 0;
  if (other_length) check_level = LV_TRACE;
  switch (status) {
    case kStatusGood:
      break;
    case kStatusCheckCondition:
      output_accdg_to_vl(check_level, VL_MISC,
                         "CHECK CONDITION: A problem occurred during command processing.\n");
      show_sense_data(decoded, operation_code, check_level);
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
}

}  // namespace

uint64_t btoui(const unsigned char* buf, int size) {
  uint64_t value = 0;
  if (buf == nullptr) return 0;
  for (int i = 0; i < size; ++i) value = (value << 8) | buf[i];
  return value;
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
  hdr->timeout = scsi::command_timeout_ms(cmdp != nullptr && cmd_len > 0 ? cmdp[0] : 0);
  return hdr;
}

void destroy_sg_io_hdr(sg_io_hdr_t* hdr) { delete hdr; }

void show_sense_data(const ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, uint8_t operation_code,
                     const char* level) {
  if (sbp == nullptr) return;
  if (level == nullptr) level = sbp->sense_key != 0 ? LV_WARNING : LV_INFO;
  output_accdg_to_vl(level, VL_MISC, "Sense Key %X (%s)\n", sbp->sense_key,
                     sense_key_description(sbp->sense_key));
  output_accdg_to_vl(level, VL_MISC, "ASC ASCQ: %02X %02X (cdb: 0x%02X)\n", sbp->asc, sbp->ascq,
                     operation_code);
}

const scsi::Outcome& last_outcome() { return last; }

BOOL run_scsi_command(const void* scparam, sg_io_hdr_t* hdr, uint32_t* resid) {
  return send_scsi_command(scparam, hdr, resid, true);
}

BOOL send_scsi_command(const void* scparam, sg_io_hdr_t* hdr, uint32_t* resid,
                       bool report_check_condition) {
  if (scparam == nullptr || hdr == nullptr || resid == nullptr) {
    output_fatal(VL_MISC, "Invalid argument @ run_scsi_command\n");
  }
  const int fd = static_cast<const SCSI_DEVICE_PARAM*>(scparam)->fd_scsidevice;

  // The driver writes the raw sense bytes into a local buffer; the caller's record receives them
  // decoded. The driver never gets more room than the buffer has.
  unsigned char raw_sense[kSenseBufferLength] = {};
  auto* decoded = reinterpret_cast<ST_SPTI_REQUEST_SENSE_RESPONSE*>(hdr->sbp);
  hdr->sbp = raw_sense;
  hdr->mx_sb_len = std::min(hdr->mx_sb_len, kSenseBufferLength);
  hdr->sb_len_wr = 0;
  const uint8_t operation_code = hdr->cmdp != nullptr && hdr->cmd_len > 0 ? hdr->cmdp[0] : 0;

  output_accdg_to_vl(LV_TRACE, VL_MISC, "start SCSI_COMMAND:(%x)\n", operation_code);
  const int rc = tape_device_sg_io(fd, hdr);
  last = scsi::outcome_of(rc, errno, *hdr, raw_sense);

  if (decoded != nullptr) {
    // Only the bytes the driver wrote are sense data.
    const size_t written = rc < 0 ? 0 : std::min(hdr->sb_len_wr, hdr->mx_sb_len);
    decode_sense_data(std::span<const uint8_t>(raw_sense, written), decoded);
    decoded->scsi_status = rc < 0 ? 0 : hdr->status;
  }
  hdr->sbp = reinterpret_cast<unsigned char*>(decoded);
  *resid = bytes_received(*hdr, last);

  // A failed request (TASK ABORTED and ACA ACTIVE included: another initiator's trouble on a
  // shared bus) is reported by the retry policy's caller, which knows what follows.
  if (not_completed(last)) {
    output_accdg_to_vl(LV_TRACE, VL_MISC, "end SCSI_COMMAND:(%x)\n", operation_code);
    return 0;
  }
  report_status(hdr->status, decoded, operation_code, report_check_condition);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end SCSI_COMMAND:(%x)\n", operation_code);
  return hdr->status == kStatusGood ? 1 : 0;
}

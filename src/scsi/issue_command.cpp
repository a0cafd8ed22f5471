// One command to the drive, sent as often as the retry policy grants, with a report for each
// retry and for the failures that end the run.
#include "output_level.h"
#include "scsi/command_table.h"
#include "scsi/retry_policy.h"
#include "scsi/scsi_command.h"
#include "tape_device.h"

namespace {

constexpr uint8_t kKeyUnitAttention = 0x6;
constexpr uint8_t kAscMediumChanged = 0x28;

// Per thread: each thread that drives a tape sends its own commands and reads their reports.
thread_local scsi::CommandReport report;
thread_local uint64_t epoch = 0;
// Whether this thread's job was told that the drive asks to be cleaned: once is enough.
thread_local bool cleaning_told = false;

// A command that succeeded and came back with a cleaning request: it stands as GOOD, with its
// data; the job hears of the request once.
BOOL cleaning_requested(const scsi::CommandInfo& info) {
  const scsi::SenseData& s = report.outcome.sense;
  const std::string how = s.asc == 0 && s.ascq == 0
                              ? std::string("the cleaning bit of its sense data")
                              : scsi::sense_text(s.key, s.asc, s.ascq);
  report.cleaning = true;
  report.outcome.ending = scsi::Ending::good;
  if (!cleaning_told) {
    cleaning_told = true;
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "The drive asks to be cleaned (%s, with %s). The job goes on; clean the "
                       "drive with a cleaning cartridge when it is done.\n",
                       how.c_str(), info.name);
  }
  return 1;
}

void report_retry(const scsi::CommandInfo& info, const scsi::Outcome& o, const scsi::Decision& d) {
  const std::string what = scsi::describe(o);
  switch (d.why) {
    case scsi::Why::unit_attention:
      output_accdg_to_vl(LV_WARNING, VL_MISC,
                         "%s met a %s. It was not executed and is sent again (%u of %u).\n",
                         info.name, what.c_str(), d.retry, d.limit);
      break;
    case scsi::Why::busy:
      output_accdg_to_vl(LV_WARNING, VL_MISC,
                         "%s: the drive answered %s. It is sent again in %u ms (%u of %u).\n",
                         info.name, what.c_str(), d.pause_ms, d.retry, d.limit);
      break;
    case scsi::Why::no_memory:
      output_accdg_to_vl(LV_WARNING, VL_MISC,
                         "Sending %s failed: %s. It is sent again after %u ms.\n", info.name,
                         what.c_str(), d.pause_ms);
      break;
    case scsi::Why::deferred:
      output_accdg_to_vl(LV_ERROR, VL_MISC,
                         "%s reported a %s, the error of an earlier command. %s was not "
                         "executed and is sent again.\n",
                         info.name, what.c_str(), info.name);
      break;
    case scsi::Why::transport:
      output_accdg_to_vl(LV_WARNING, VL_MISC, "%s failed: %s. It is sent again.\n", info.name,
                         what.c_str());
      break;
    case scsi::Why::recovered:
    case scsi::Why::cleaning:
    case scsi::Why::none:
      break;
  }
}

// A failed request with no retry left: returned to a caller that recovers it, else the end of
// the run.
void give_up(const scsi::CommandInfo& info, const scsi::Outcome& o, bool caller_recovers) {
  const std::string what = scsi::describe(o);
  if (caller_recovers && scsi::transient(o)) {
    output_accdg_to_vl(LV_WARNING, VL_MISC, "%s failed: %s.\n", info.name, what.c_str());
    return;
  }
  if (o.ending == scsi::Ending::ioctl_failed) {
    output_fatal(VL_MISC, "Sending SCSI Command failed.\n%s%s: errno = %d: %s\n", INDENT, info.name,
                 o.error, what.c_str());
  }
  output_fatal(VL_MISC, "SCSI command %s failed: %s.\n", info.name, what.c_str());
}

}  // namespace

namespace scsi {

const CommandReport& last_command_report() { return report; }

uint64_t position_epoch() { return epoch; }

}  // namespace scsi

BOOL issue_scsi_command(void* scparam, std::span<unsigned char> cdb, int dxfer_direction,
                        uint32_t dxfer_len, void* dxferp, uint32_t* resid,
                        ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, const CommandOptions& options) {
  const scsi::CommandInfo info = scsi::command_info(cdb.empty() ? 0 : cdb[0]);
  const bool caller_recovers = info.moves_tape || options.return_transport_failures;
  scsi::RetryPolicy policy(caller_recovers);
  report = scsi::CommandReport{};
  report.opcode = info.opcode;
  for (;;) {
    sg_io_hdr_t* hdr = init_sg_io_hdr(static_cast<unsigned char>(cdb.size()), cdb.data(),
                                      dxfer_direction, dxfer_len, dxferp, sbp);
    // A header that could not be allocated reaches the transport as null, which ends the run.
    const BOOL result = send_scsi_command(scparam, hdr, resid, options.report_check_condition);
    destroy_sg_io_hdr(hdr);
    const scsi::Outcome& o = last_outcome();
    report.outcome = o;
    report.transport_failed = o.ending == scsi::Ending::transport ||
                              o.ending == scsi::Ending::ioctl_failed ||
                              o.ending == scsi::Ending::aborted;
    if (o.ending == scsi::Ending::check_condition && o.sense.key == kKeyUnitAttention &&
        !o.sense.deferred) {
      report.unit_attention = true;
      if (o.sense.asc == kAscMediumChanged) {
        report.medium_changed = true;
        static_cast<SCSI_DEVICE_PARAM*>(scparam)->medium_changed = true;
      }
      report.trouble = o;
    }
    if (report.transport_failed) report.trouble = o;

    const scsi::Decision d = policy.decide(o);
    if (o.ending != scsi::Ending::good && d.why != scsi::Why::cleaning) ++epoch;
    switch (d.step) {
      case scsi::Step::done:
        return result;
      case scsi::Step::recovered:
        if (d.why == scsi::Why::cleaning) return cleaning_requested(info);
        output_accdg_to_vl(LV_WARNING, VL_MISC,
                           "%s: the drive recovered an error by its own retries (%s). The "
                           "command is done and its data is good.\n",
                           info.name,
                           scsi::sense_text(o.sense.key, o.sense.asc, o.sense.ascq).c_str());
        return 1;
      case scsi::Step::give_up:
        give_up(info, o, caller_recovers);
        return 0;
      case scsi::Step::retry:
        report_retry(info, o, d);
        if (d.pause_ms > 0) {
          tape_device_pause(static_cast<const SCSI_DEVICE_PARAM*>(scparam)->fd_scsidevice,
                            d.pause_ms);
        }
        break;
    }
  }
}

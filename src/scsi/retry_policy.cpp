// Outcomes of requests, the retry policy and the classification of READ results.
#include "scsi/retry_policy.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "scsi/command_table.h"

namespace scsi {

namespace {

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kStatusBusy = 0x08;
constexpr uint8_t kStatusTaskSetFull = 0x28;
constexpr uint8_t kStatusAcaActive = 0x30;
constexpr uint8_t kStatusTaskAborted = 0x40;
constexpr uint8_t kDriverSense = 0x08;

constexpr uint8_t kKeyNoSense = 0x0;
constexpr uint8_t kKeyRecovered = 0x1;
constexpr uint8_t kKeyNotReady = 0x2;
constexpr uint8_t kKeyMediumError = 0x3;
constexpr uint8_t kKeyHardwareError = 0x4;
constexpr uint8_t kKeyUnitAttention = 0x6;
constexpr uint8_t kKeyDataProtect = 0x7;
constexpr uint8_t kKeyBlankCheck = 0x8;
constexpr uint8_t kAscNoMedium = 0x3A;
constexpr uint8_t kAscEncryption = 0x74;
constexpr uint8_t kAscEndOfDataNotFound = 0x14;  // with ASCQ 03h
constexpr uint8_t kAscqEndOfDataNotFound = 0x03;

std::string with_code(const std::string& words, const char* what, uint8_t code) {
  char text[32];
  std::snprintf(text, sizeof(text), " (%s %02Xh)", what, code);
  return words + text;
}

}  // namespace

Outcome outcome_of(int rc, int error, const sg_io_hdr_t& hdr, const uint8_t* sense) {
  Outcome o;
  if (rc < 0) {
    o.ending = Ending::ioctl_failed;
    o.error = error;
    return o;
  }
  o.status = hdr.status;
  o.host_status = static_cast<uint8_t>(hdr.host_status);
  o.driver_status = static_cast<uint8_t>(hdr.driver_status & 0x0F);
  const size_t sense_length = sense != nullptr ? std::min(hdr.sb_len_wr, hdr.mx_sb_len) : 0;
  o.sense = parse_sense(std::span<const uint8_t>(sense, sense_length));
  if (o.host_status != 0 || (o.driver_status != 0 && o.driver_status != kDriverSense)) {
    o.ending = Ending::transport;
  } else if (o.status == kStatusGood) {
    o.ending = Ending::good;
  } else if (o.status == kStatusCheckCondition) {
    o.ending = Ending::check_condition;
  } else if (o.status == kStatusBusy) {
    o.ending = Ending::busy;
  } else if (o.status == kStatusTaskSetFull) {
    o.ending = Ending::task_set_full;
  } else if (o.status == kStatusTaskAborted || o.status == kStatusAcaActive) {
    o.ending = Ending::aborted;
  } else {
    o.ending = Ending::other_status;
  }
  return o;
}

bool transient(const Outcome& o) {
  if (o.ending == Ending::ioctl_failed) return o.error == ENOMEM;
  if (o.ending == Ending::aborted) return true;
  if (o.ending != Ending::transport) return false;
  if (o.host_status != 0) return host_status_transient(o.host_status);
  return driver_status_transient(o.driver_status);
}

std::string describe(const Outcome& o) {
  switch (o.ending) {
    case Ending::ioctl_failed:
      return std::strerror(o.error);
    case Ending::transport:
      if (o.host_status != 0) {
        return with_code(host_status_text(o.host_status), "host status", o.host_status);
      }
      return with_code(driver_status_text(o.driver_status), "driver status", o.driver_status);
    case Ending::check_condition: {
      const std::string sense = sense_text(o.sense.key, o.sense.asc, o.sense.ascq);
      if (o.sense.deferred) return "deferred error " + sense;
      if (o.sense.key == kKeyUnitAttention) return "unit attention " + sense;
      return o.sense.present ? "check condition " + sense : "check condition without sense data";
    }
    case Ending::busy:
      return "BUSY";
    case Ending::task_set_full:
      return "TASK SET FULL";
    case Ending::aborted:
      return o.status == kStatusAcaActive ? "ACA ACTIVE" : "TASK ABORTED";
    case Ending::other_status:
      return with_code("status", "status", o.status);
    case Ending::good:
      break;
  }
  return "good";
}

Decision RetryPolicy::retry_or(Step otherwise, Why why, unsigned* used, unsigned limit,
                               uint32_t pause_ms) {
  if (*used >= limit) return Decision{otherwise, why, 0, 0, limit};
  ++*used;
  return Decision{Step::retry, why, pause_ms, *used, limit};
}

Decision RetryPolicy::decide(const Outcome& o) {
  switch (o.ending) {
    case Ending::good:
    case Ending::other_status:
      return Decision{};
    case Ending::busy:
    case Ending::task_set_full:
      return retry_or(Step::done, Why::busy, &busy_, kBusyRetries, kBusyPauseMs);
    case Ending::ioctl_failed:
      if (o.error == ENOMEM) {
        if (moves_tape_) return Decision{Step::give_up, Why::no_memory};
        // Memory comes back as other programs free it: each pause doubles.
        return retry_or(Step::give_up, Why::no_memory, &no_memory_, kNoMemoryRetries,
                        kNoMemoryPauseMs << no_memory_);
      }
      return Decision{Step::give_up, Why::none};
    case Ending::transport:
    case Ending::aborted:
      if (!transient(o)) return Decision{Step::give_up, Why::transport};
      if (moves_tape_) return Decision{Step::give_up, Why::transport};
      return retry_or(Step::give_up, Why::transport, &transport_, kTransportRetries, 0);
    case Ending::check_condition:
      break;
  }
  if (o.sense.deferred) {
    return retry_or(Step::done, Why::deferred, &deferred_, kDeferredRetries, 0);
  }
  if (o.sense.key == kKeyUnitAttention) {
    return retry_or(Step::done, Why::unit_attention, &unit_attentions_, kUnitAttentionRetries, 0);
  }
  if (o.sense.key == kKeyRecovered) return Decision{Step::recovered, Why::recovered};
  // A command that succeeded, answered with a cleaning request: good, with its data.
  if (o.sense.key == kKeyNoSense && o.sense.cleaning && !o.sense.filemark && !o.sense.eom &&
      !o.sense.ili) {
    return Decision{Step::recovered, Why::cleaning};
  }
  return Decision{};
}

namespace {

// A block with the incorrect-length indicator: INFORMATION (when valid) is the requested minus
// the actual length.
ReadResult incorrect_length(const SenseData& s, uint32_t requested, uint32_t received) {
  ReadResult r;
  if (!s.valid) {
    // Without INFORMATION only a block that filled less than the buffer is known to be whole.
    if (received < requested) return ReadResult{ReadKind::block, received};
    return ReadResult{ReadKind::too_long, 0, 0};
  }
  if (s.information < 0) {
    r.kind = ReadKind::too_long;
    r.block_length = static_cast<uint64_t>(requested) + static_cast<uint64_t>(-s.information);
    return r;
  }
  if (static_cast<uint64_t>(s.information) > requested) return r;  // failed: not a length
  r.kind = ReadKind::block;
  r.length = requested - static_cast<uint32_t>(s.information);
  r.lengths_disagree = r.length != received;
  return r;
}

}  // namespace

ReadResult classify_read(const Outcome& o, uint32_t requested, uint32_t received) {
  if (o.ending == Ending::good) return ReadResult{ReadKind::block, received};
  const SenseData& s = o.sense;
  if (o.ending != Ending::check_condition || !s.present || s.deferred) return ReadResult{};
  if (s.filemark || (s.key == kKeyNoSense && s.asc == 0x00 && s.ascq == 0x01)) {
    return ReadResult{ReadKind::filemark};
  }
  if (s.key == kKeyBlankCheck) {
    // End of data not found: the drive lost its way on damaged tape, not a clean end.
    const bool not_found = s.asc == kAscEndOfDataNotFound && s.ascq == kAscqEndOfDataNotFound;
    return ReadResult{not_found ? ReadKind::medium_error : ReadKind::end_of_data};
  }
  if (s.key == kKeyMediumError) return ReadResult{ReadKind::medium_error};
  if (s.key == kKeyDataProtect && s.asc == kAscEncryption) return ReadResult{ReadKind::encrypted};
  if (s.key == kKeyHardwareError) return ReadResult{ReadKind::hardware};
  if (s.key == kKeyNotReady && s.asc == kAscNoMedium) return ReadResult{ReadKind::no_medium};
  if (s.ili && (s.key == kKeyNoSense || s.key == kKeyRecovered)) {
    return incorrect_length(s, requested, received);
  }
  if (s.key == kKeyRecovered) return ReadResult{ReadKind::block, received};
  return ReadResult{};
}

}  // namespace scsi

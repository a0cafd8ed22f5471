// How one SG_IO request ended, what the program does next about it, and what a READ brought:
// the rules by which no failed command counts as done. They look only at the request's outcome,
// so they run - and are tested - without a drive.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <span>
#include <string>

#include "scsi/scsi_decode.h"

namespace scsi {

enum class Ending {
  good,
  check_condition,
  busy,           // BUSY
  task_set_full,  // TASK SET FULL
  aborted,        // TASK ABORTED or ACA ACTIVE: another initiator's trouble on a shared bus
  other_status,   // any other status byte
  ioctl_failed,   // the kernel refused the request: `error` holds errno
  transport,      // the request did not complete: host_status or driver_status says why
};

struct Outcome {
  Ending ending = Ending::good;
  uint8_t status = 0;
  int error = 0;
  uint8_t host_status = 0;
  uint8_t driver_status = 0;  // its low four bits
  SenseData sense;
};

// The outcome of a request that `rc` and `error` (ioctl's result and errno) and the header tell.
// Only the hdr.sb_len_wr sense bytes at `sense` are read. A command fails in transport when
// host_status is not 0 or driver_status is neither 0 nor 08h (sense follows).
Outcome outcome_of(int rc, int error, const sg_io_hdr_t& hdr, const uint8_t* sense);

// A transport failure (or refused request) that a second try may mend: a timeout, a reset, a
// task the drive gave up (TASK ABORTED, ACA ACTIVE included); not a drive that is gone.
bool transient(const Outcome& outcome);

// What went wrong, in words: "timed out (host status 03h)", "Cannot allocate memory",
// "unit attention 6/29/00 (power on, reset or bus reset)".
std::string describe(const Outcome& outcome);

// Retries granted for one command.
inline constexpr unsigned kUnitAttentionRetries = 3;
inline constexpr unsigned kBusyRetries = 5;
inline constexpr unsigned kNoMemoryRetries = 3;  // after 200, 400, 800 ms
inline constexpr unsigned kDeferredRetries = 1;
inline constexpr unsigned kTransportRetries = 1;
inline constexpr uint32_t kBusyPauseMs = 1000;
inline constexpr uint32_t kNoMemoryPauseMs = 200;

enum class Why {
  none,
  unit_attention,  // the command was not executed; a reset may have moved the tape
  busy,            // BUSY or TASK SET FULL: not executed
  no_memory,       // ENOMEM from SG_IO
  deferred,        // a deferred error: an earlier command's, reported instead of this one
  transport,       // timed out, reset, aborted
  recovered,       // RECOVERED ERROR: done, the data is good
  cleaning,        // done, the data is good; the drive asks to be cleaned
};

enum class Step {
  done,       // the command's result stands as it is (good, or a failure for the caller)
  recovered,  // done in full with a recovered error (or a cleaning request): counts as good
  retry,      // send it again after `pause_ms`
  give_up,    // a transport failure with no retry left (or none allowed)
};

struct Decision {
  Step step = Step::done;
  Why why = Why::none;
  uint32_t pause_ms = 0;
  unsigned retry = 0;  // for retry: which one (1-based) of `limit`
  unsigned limit = 0;
};

// The bounded retries of one command. A transient transport failure (or a request the kernel
// had no memory for) of a command that moves the tape is given up at once: only the caller knows
// where the tape must stand before the command is sent again, and it checks the position first.
class RetryPolicy {
 public:
  explicit RetryPolicy(bool moves_tape) : moves_tape_(moves_tape) {}
  Decision decide(const Outcome& outcome);

 private:
  Decision retry_or(Step otherwise, Why why, unsigned* used, unsigned limit, uint32_t pause_ms);

  bool moves_tape_;
  unsigned unit_attentions_ = 0;
  unsigned busy_ = 0;
  unsigned no_memory_ = 0;
  unsigned deferred_ = 0;
  unsigned transport_ = 0;
};

// What one READ(6) of a variable-length block brought.
enum class ReadKind {
  block,         // `length` bytes of a block
  filemark,      // a filemark: no data, the tape stands past it
  end_of_data,   // no data, the tape did not move
  too_long,      // the block is longer than the buffer: its data is not used
  medium_error,  // the block could not be read (also: the end of data could not be found)
  encrypted,     // written with drive encryption, and the drive holds no key: DATA PROTECT
  hardware,      // the drive failed: HARDWARE ERROR
  no_medium,     // the cartridge is gone from the drive
  failed,        // anything else: no data
};

struct ReadResult {
  ReadKind kind = ReadKind::failed;
  uint32_t length = 0;        // block: its bytes in the buffer
  uint64_t block_length = 0;  // too_long: the block's length on tape, 0 when not reported
  // block: the residue said `received` bytes, INFORMATION another length (which is taken).
  bool lengths_disagree = false;
};

// Classifies a READ of `requested` bytes whose residue says `received` bytes arrived. A retry
// policy has already dealt with unit attentions, BUSY and recovered errors; a recovered error's
// data counts as a block.
ReadResult classify_read(const Outcome& outcome, uint32_t requested, uint32_t received);

}  // namespace scsi

// Tape access facade: the open drive (TapeDrive) and its cursor, which read and position the tape
// for the walk, the run driver and the tools (see scsi_util.h), and the tape generation.
#include "scsi_util.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "output_level.h"
#include "scsi/command_table.h"
#include "scsi/partition_record.h"
#include "scsi/retry_policy.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"
#include "scsi/transfer_limits.h"
#include "tape_device.h"

TapeDrive::TapeDrive(int fd) { param_.fd_scsidevice = fd; }


std::optional<ST_SPTI_CMD_POSITIONDATA> TapeDrive::ask_position() {
  ST_SPTI_CMD_POSITIONDATA pos{};
  if (!spti_read_position(&param_, &pos, &sense_, &error_)) return std::nullopt;
  if (pos.bpu != 0 || pos.mpu != 0) return std::nullopt;
  return pos;
}

namespace {

std::string where(const std::optional<ST_SPTI_CMD_POSITIONDATA>& pos) {
  if (!pos) return "an unknown place";
  return "block " + std::to_string(pos->blockNumber) + " of partition " +
         std::to_string(pos->partitionNumber);
}

// The reference partition: the one whose reads are recorded for a second pass.
constexpr uint32_t kRecordedPartition = 0;

}  // namespace

// LOCATE(10), or LOCATE(16) for an address beyond 32 bits: an address is never cut.
BOOL TapeDrive::send_locate(uint32_t partition, uint64_t block) {
  if (block > UINT32_MAX) return spti_locate16(&param_, partition, block, &sense_, &error_);
  if (partition == INVALID_PARTITION_NUMBER) {
    return spti_locate(&param_, static_cast<uint32_t>(block), &sense_, &error_);
  }
  return spti_locate_partition(&param_, partition, static_cast<uint32_t>(block), &sense_, &error_);
}

// Locates (within the current partition for INVALID_PARTITION_NUMBER). A locate that failed on
// its way to the drive, or met a unit attention (a reset may have moved the tape, even to the
// other partition), is checked by READ POSITION and sent once more, naming the partition when it
// is known. False when it cannot be done.
bool TapeDrive::locate_object(uint32_t partition, uint64_t block) {
  TapeCursor& c = cursor_;
  // The drive may stand elsewhere than the cursor's partition: the locate names it.
  if (drive_away_ && partition == INVALID_PARTITION_NUMBER) partition = c.partition_;
  drive_away_ = false;
  check_cartridge(false);
  // The partition the locate means: a retry after a reset names it, since the reset may have
  // taken the tape to the other partition. When the cursor does not know it, the drive tells it
  // before the tape moves.
  uint32_t target = partition;
  if (target == INVALID_PARTITION_NUMBER && c.partition_valid()) target = c.partition_;
  if (target == INVALID_PARTITION_NUMBER) {
    if (const std::optional<ST_SPTI_CMD_POSITIONDATA> pos = ask_position()) {
      target = pos->partitionNumber;
    }
  }
  c.forget();
  for (int attempt = 0;; ++attempt) {
    const BOOL ok = send_locate(attempt == 0 ? partition : target, block);
    const scsi::CommandReport report = scsi::last_command_report();
    check_cartridge(true);
    if (!report.transport_failed && !report.unit_attention) {
      if (ok && target != INVALID_PARTITION_NUMBER) c.moved_to(target, block);
      return ok != 0;
    }
    const std::optional<ST_SPTI_CMD_POSITIONDATA> pos = ask_position();
    if (ok && pos && pos->blockNumber == block &&
        (target == INVALID_PARTITION_NUMBER || pos->partitionNumber == target)) {
      c.moved_to(pos->partitionNumber, block);
      return true;
    }
    if (attempt > 0) return false;
    output_accdg_to_vl(LV_WARNING, VL_MISC,
                       "The locate to block %" PRIu64
                       " was not completed (%s); the tape stands "
                       "at %s. It is sent again.\n",
                       block, scsi::describe(report.trouble).c_str(), where(pos).c_str());
  }
}

void TapeDrive::locate_failed(int64_t partition, uint64_t block) {
  if (partition != INVALID_PARTITION_NUMBER && block == 0) {
    output_fatal(VL_MISC, "Failed to locate partition %d.\n", static_cast<int>(partition));
  }
  output_fatal(VL_MISC, "Failed to locate to Block address: %" PRIu64 ".\n", block);
}

void TapeDrive::locate_or_end(uint32_t partition, uint64_t block) {
  if (!locate_object(partition, block)) locate_failed(partition, block);
}

void TapeDrive::set_head(int partition) {
  if (partition < 0) locate_failed(partition, 0);
  if (replay_locate(static_cast<uint32_t>(partition), 0)) return;
  locate_or_end(static_cast<uint32_t>(partition), 0);
}

void TapeDrive::read_position_on_tape(ST_SPTI_CMD_POSITIONDATA* pos) {
  check_cartridge(false);
  if (replay_position(pos)) return;
  if (!spti_read_position(&param_, pos, &sense_, &error_)) {
    output_fatal(VL_MISC, "Failed to read position on tape.\n");
  }
  // The answer came from a cartridge loaded again: once checked, the tape stands where the job
  // stood again, and is asked once more.
  if (check_cartridge(false)) {
    read_position_on_tape(pos);
    return;
  }
  if (pos->bpu != 0 || pos->mpu != 0) {
    output_fatal(VL_MISC,
                 "Failed to read position on tape.\n%sThe drive does not know where the tape "
                 "stands (BPU %d, MPU %d).\n",
                 INDENT, pos->bpu, pos->mpu);
  }
  drive_away_ = false;
  take_position(*pos);
}

// Whether reads and moves of the cursor may be served from the record.
bool TapeDrive::in_replay() const {
  return replaying_ && cursor_.valid() && cursor_.partition_ == kRecordedPartition;
}

// Before a command that needs the drive where the cursor says: a cursor moved by the record takes
// the tape there.
void TapeDrive::bring_drive() {
  if (!drive_away_) return;
  drive_away_ = false;
  locate_or_end(cursor_.partition_, cursor_.position_);
}

// A locate the record stands for: the cursor moves, the tape does not. False when the drive must
// make it.
bool TapeDrive::replay_locate(uint32_t partition, uint64_t block) {
  TapeCursor& c = cursor_;
  const uint32_t target =
      partition == INVALID_PARTITION_NUMBER && c.partition_valid() ? c.partition_ : partition;
  if (!replaying_ || target != kRecordedPartition) return false;
  drive_away_ = drive_away_ || !(c.valid() && c.partition_ == target && c.position_ == block);
  c.moved_to(target, block);
  return true;
}

bool TapeDrive::replay_space(uint8_t code, uint32_t count) {
  if (!in_replay() || code != SPACE_FILEMARKS) return false;
  const std::optional<uint64_t> to =
      reference_record_.space_filemarks(cursor_.position_, static_cast<int32_t>(count));
  if (!to) return false;
  drive_away_ = true;
  cursor_.moved_to(kRecordedPartition, *to);
  return true;
}

// READ POSITION while the cursor stands where the record moved it.
bool TapeDrive::replay_position(ST_SPTI_CMD_POSITIONDATA* pos) {
  if (!drive_away_) return false;
  const TapeCursor& c = cursor_;
  const std::optional<uint64_t> filemarks =
      in_replay() ? reference_record_.filemarks_before(c.position_) : std::nullopt;
  if (!filemarks) {
    bring_drive();
    return false;
  }
  *pos = ST_SPTI_CMD_POSITIONDATA{};
  pos->blockNumber = c.position_;
  pos->fileNumber = *filemarks;
  pos->bop = c.position_ == 0 ? 1 : 0;
  pos->partitionNumber = kRecordedPartition;
  return true;
}

// A READ of the block at `start` served from the record; false when the record does not hold it
// (a record longer than asked for is read from the tape, which says so).
bool TapeDrive::replay_read(uint32_t requested, void* data, uint32_t* count, uint64_t start,
                            int* ret) {
  if (!in_replay()) return false;
  const scsi::PartitionRecord::Entry* entry = reference_record_.at(start);
  if (entry == nullptr || (!entry->filemark && entry->length > requested)) return false;
  scsi::ReadResult r;
  r.kind = entry->filemark ? scsi::ReadKind::filemark : scsi::ReadKind::block;
  if (!entry->filemark) {
    const std::span<const uint8_t> bytes = reference_record_.bytes(*entry);
    std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(data));
    r.length = entry->length;
  }
  drive_away_ = true;
  *ret = finish_read(r, requested, start, count);
  return true;
}

// Keeps what a READ at `start` of the reference partition met.
void TapeDrive::note_read(const scsi::ReadResult& r, uint64_t start, const void* data) {
  switch (r.kind) {
    case scsi::ReadKind::block:
      reference_record_.note_record(
          start, std::span<const uint8_t>(static_cast<const uint8_t*>(data), r.length));
      break;
    case scsi::ReadKind::filemark:
      reference_record_.note_filemark(start);
      break;
    default:
      reference_record_.forget(start);
      break;
  }
}

// The length a READ asks for: never more than one command may transfer.
uint32_t TapeDrive::read_length(uint32_t wanted) const {
  const uint64_t largest = limits_.largest_read();
  return largest != 0 && largest < wanted ? static_cast<uint32_t>(largest) : wanted;
}

// After a READ that met a unit attention: whether the tape stands where the READ should have left
// it (so that the data came from the block wanted).
bool TapeDrive::read_where_expected(const scsi::ReadResult& r, uint64_t start) {
  if (r.kind == scsi::ReadKind::medium_error || r.kind == scsi::ReadKind::failed) return false;
  const uint64_t expected = r.kind == scsi::ReadKind::end_of_data ? start : start + 1;
  const std::optional<ST_SPTI_CMD_POSITIONDATA> pos = ask_position();
  return pos && pos->partitionNumber == cursor_.partition_ && pos->blockNumber == expected;
}

// The drive told where the tape stands; the block read last stays usable only when the tape
// stands where the record said.
void TapeDrive::take_position(const ST_SPTI_CMD_POSITIONDATA& pos) {
  TapeCursor& c = cursor_;
  const bool last_valid = c.last_valid_ && (!c.valid() || c.position_ == pos.blockNumber);
  c.moved_to(pos.partitionNumber, pos.blockNumber);
  c.last_valid_ = last_valid;
}

// A READ that met what no retry or reposition mends: the run ends, in words an operator acts on.
// Nothing of the block is used, and what was written before stays whole.
void TapeDrive::read_cannot_go_on(const scsi::ReadResult& r, uint64_t start) {
  const std::string sense =
      scsi::sense_text(sense_.sense_key, sense_.asc, sense_.ascq);
  const uint32_t partition = cursor_.partition_;
  switch (r.kind) {
    case scsi::ReadKind::encrypted:
      output_fatal(VL_COMMON,
                   "Block %" PRIu64 " of partition %u was written with drive encryption, and the "
                   "drive holds no key for it (%s). Give the drive its key (or its key manager "
                   "access) and run the job again; what was written so far is whole.\n",
                   start, partition, sense.c_str());
    case scsi::ReadKind::hardware:
      output_fatal(VL_COMMON,
                   "The drive reports a hardware failure reading block %" PRIu64
                   " of partition %u (%s). Have the drive checked, then run the job again on a "
                   "sound drive; what was written so far is whole.\n",
                   start, partition, sense.c_str());
    default:
      output_fatal(VL_COMMON,
                   "The cartridge is no longer in the drive (%s) at block %" PRIu64
                   " of partition %u. Put it back and run the job again; what was written so far "
                   "is whole.\n",
                   sense.c_str(), start, partition);
  }
}

// Where the tape stands after a READ from `start` that brought `r`.
void TapeDrive::advance(const scsi::ReadResult& r, uint64_t start) {
  TapeCursor& c = cursor_;
  switch (r.kind) {
    case scsi::ReadKind::block:
    case scsi::ReadKind::filemark:
    case scsi::ReadKind::too_long:
      c.moved_to(c.partition_, start + 1);
      break;
    case scsi::ReadKind::end_of_data:
      c.moved_to(c.partition_, start);
      break;
    case scsi::ReadKind::medium_error:
    case scsi::ReadKind::encrypted:
    case scsi::ReadKind::hardware:
    case scsi::ReadKind::no_medium:
    case scsi::ReadKind::failed:
      c.forget();
      break;
  }
}

namespace {

TapeCursor::Read read_of(scsi::ReadKind kind) {
  switch (kind) {
    case scsi::ReadKind::block:
      return TapeCursor::Read::block;
    case scsi::ReadKind::filemark:
      return TapeCursor::Read::filemark;
    case scsi::ReadKind::end_of_data:
      return TapeCursor::Read::end_of_data;
    case scsi::ReadKind::medium_error:
      return TapeCursor::Read::unreadable;
    case scsi::ReadKind::too_long:
      return TapeCursor::Read::too_long;
    default:
      return TapeCursor::Read::failed;
  }
}

}  // namespace

int TapeDrive::finish_read(const scsi::ReadResult& r, uint32_t requested, uint64_t start,
                           uint32_t* count) {
  advance(r, start);
  *count = r.kind == scsi::ReadKind::block ? r.length : 0;
  cursor_.last_read_ = read_of(r.kind);
  switch (r.kind) {
    case scsi::ReadKind::block:
      if (r.lengths_disagree && !lengths_disagreement_told_) {
        lengths_disagreement_told_ = true;
        output_accdg_to_vl(LV_WARNING, VL_MISC,
                           "The residue of a READ and its incorrect-length information disagree "
                           "(block %" PRIu64
                           "): the block length is taken from the information. "
                           "This is said once.\n",
                           start);
      }
      return 0;
    case scsi::ReadKind::filemark:
      output_accdg_to_vl(LV_INFO, VL_MISC, "Filemark detected during reading data.\n");
      return 1;
    case scsi::ReadKind::too_long:
      if (r.block_length == 0) {
        return output_accdg_to_vl(LV_ERROR, VL_MISC,
                                  "Block %" PRIu64
                                  " is longer than the %u bytes read: its data "
                                  "is not used.\n",
                                  start, requested);
      }
      return output_accdg_to_vl(LV_ERROR, VL_MISC,
                                "Block %" PRIu64 " is %" PRIu64
                                " bytes long, longer than the %u "
                                "bytes read: its data is not used.\n",
                                start, r.block_length, requested);
    case scsi::ReadKind::medium_error:
      if (cursor_.quiet_unreadable_) return 1;
      break;
    default:  // the end of data, or a READ that failed
      break;
  }
  return output_accdg_to_vl(LV_ERROR, VL_MISC, "Failed to Read data: %X/%02X/%02X.\n",
                            sense_.sense_key, sense_.asc, sense_.ascq);
}

// Sends the READ of `requested` bytes that starts at block `start`, again from there after a
// failure on its way (a second one ends the run), and classifies what it brought.
scsi::ReadResult TapeDrive::transfer(uint32_t requested, void* data, uint32_t* count,
                                     uint64_t start, bool report_check_condition) {
  // SILI clear: a record longer than the buffer is always told, whatever mode the drive is in.
  const CommandOptions options{.report_check_condition = report_check_condition,
                               .suppress_incorrect_length = false};
  for (int attempt = 0;; ++attempt) {
    *count = 0;
    read_block_command(&param_, requested, data, count, &sense_, options);
    const scsi::CommandReport report = scsi::last_command_report();
    const scsi::ReadResult r = scsi::classify_read(report.outcome, requested, *count);
    check_cartridge(true);
    const bool redo =
        report.transport_failed || (report.unit_attention && !read_where_expected(r, start));
    if (!redo) {
      if (r.kind == scsi::ReadKind::encrypted || r.kind == scsi::ReadKind::hardware ||
          r.kind == scsi::ReadKind::no_medium) {
        read_cannot_go_on(r, start);
      }
      return r;
    }
    *count = 0;  // the data of a READ that did not complete is never used
    const std::string what = scsi::describe(report.trouble);
    if (attempt > 0) {
      output_fatal(VL_MISC, "Failed to read block %" PRIu64 ": %s.\n", start, what.c_str());
    }
    output_accdg_to_vl(LV_WARNING, VL_MISC,
                       "The READ of block %" PRIu64
                       " was not completed (%s); the tape stands at "
                       "%s. It is located back and the block is read again.\n",
                       start, what.c_str(), where(ask_position()).c_str());
    locate_or_end(cursor_.partition_, start);
  }
}

int TapeDrive::read(uint32_t length, void* data, uint32_t* count) {
  check_cartridge(false);
  // Where the READ starts: a READ that must be sent again starts there again.
  const uint64_t start = cursor_.position();
  const uint32_t requested = read_length(length);
  int served = 0;
  if (replay_read(requested, data, count, start, &served)) return served;
  bring_drive();
  const bool recorded = cursor_.partition_ == kRecordedPartition;
  const scsi::ReadResult r = transfer(requested, data, count, start, !cursor_.quiet_sense_);
  note_first_record(r, start, data);
  if (recorded) note_read(r, start, data);
  return finish_read(r, requested, start, count);
}

RecordRead TapeDrive::read_record(uint32_t length, void* data) {
  check_cartridge(false);
  cursor_.last_valid_ = false;  // the caller's buffer, not the cursor's, receives the block
  bring_drive();
  const uint64_t start = cursor_.position();
  RecordRead out;
  out.requested = read_length(length);
  uint32_t count = 0;
  const scsi::ReadResult r = transfer(out.requested, data, &count, start, false);
  note_first_record(r, start, data);
  advance(r, start);
  switch (r.kind) {
    case scsi::ReadKind::block:
      if (r.length == 0) {  // no record is empty: what the drive did is not known
        out.trouble = "the READ brought no bytes";
        return out;
      }
      out.kind = RecordRead::Kind::record;
      out.length = r.length;
      return out;
    case scsi::ReadKind::filemark:
      out.kind = RecordRead::Kind::filemark;
      return out;
    case scsi::ReadKind::end_of_data:
      out.kind = RecordRead::Kind::end_of_data;
      return out;
    case scsi::ReadKind::too_long:
      out.kind = RecordRead::Kind::too_long;
      out.record_length = r.block_length;
      break;
    default:  // a medium error, or a READ that failed
      out.kind = RecordRead::Kind::unreadable;
      break;
  }
  out.trouble = scsi::describe(scsi::last_command_report().outcome);
  return out;
}

int TapeDrive::space(uint8_t code, uint32_t count) {
  check_cartridge(false);
  if (replay_space(code, count)) return 0;
  bring_drive();
  TapeCursor& c = cursor_;
  // A move by a count starts from a known place, so that it can be made again from there.
  const bool relative = code != SPACE_END_OF_DATA && count != 0;
  const uint64_t start = relative ? c.position() : 0;
  const uint32_t partition = c.partition_;
  c.forget();
  for (int attempt = 0;; ++attempt) {
    const BOOL ok = spti_space(&param_, code, count, &sense_, &error_);
    const scsi::CommandReport report = scsi::last_command_report();
    const bool reloaded = check_cartridge(true);
    const bool redo = report.transport_failed || report.unit_attention;
    // Made again and again not done as asked: where it took the tape is not known.
    if (redo ? attempt > 0 : !ok) output_fatal(VL_MISC, "Failed to move on tape.\n");
    if (!redo) {
      c.forget();
      last_space_ = SpaceMove{partition, start, code, count};
      return 0;
    }
    output_accdg_to_vl(LV_WARNING, VL_MISC,
                       "The SPACE was not completed (%s); the tape stands at %s. The move is made "
                       "again%s.\n",
                       scsi::describe(report.trouble).c_str(), where(ask_position()).c_str(),
                       relative ? " from where it started" : "");
    // After a reload the tape stands at the beginning of partition 0: a move to the end of data
    // starts again from the beginning of its partition.
    if (relative || reloaded) locate_or_end(partition, start);
  }
}

void TapeDrive::learn_transfer_limits() {
  limits_ = scsi::query_transfer_limits(&param_);
  output_accdg_to_vl(LV_INFO, VL_MISC, "Transfer limits: %s.\n",
                     scsi::describe_limits(limits_).c_str());
}

void TapeDrive::require_block_reads(uint32_t block_size) {
  scsi::prepare_block_reads(&param_, &limits_, block_size);
}

bool TapeDrive::locate_in_partition(uint32_t partition, uint64_t block) {
  return locate_object(partition, block);
}

void TapeDrive::replay_reference_partition(bool on) {
  replaying_ = on;
  // One pass is replayed: what the record holds is not needed afterwards.
  if (!on) reference_record_.clear();
}

// ---------------------------------------------------------------------------------------------
// Tape cursor

bool TapeCursor::valid() const { return known_ && epoch_ == scsi::position_epoch(); }

bool TapeCursor::partition_valid() const {
  return partition_known_ && epoch_ == scsi::position_epoch();
}

bool TapeCursor::position_known() const { return valid(); }

void TapeCursor::moved_to(uint32_t partition, uint64_t block) {
  drive_.last_space_.reset();
  placed_ = true;
  known_ = true;
  partition_known_ = true;
  epoch_ = scsi::position_epoch();
  partition_ = partition;
  position_ = block;
  last_valid_ = false;
}

void TapeCursor::forget() {
  drive_.last_space_.reset();
  known_ = false;
  last_valid_ = false;
}

uint64_t TapeCursor::position() {
  if (!valid()) {
    ST_SPTI_CMD_POSITIONDATA pos{};
    drive_.read_position_on_tape(&pos);
  }
  return position_;
}

void TapeCursor::locate(uint64_t block) {
  if (drive_.replay_locate(INVALID_PARTITION_NUMBER, block)) return;
  drive_.locate_or_end(INVALID_PARTITION_NUMBER, block);
}

void TapeCursor::head(int partition) {
  // The tape may already stand there: a locate would cost a command, and on some drives a stop.
  if (on_partition(partition) && position_known() && position_ == 0) return;
  drive_.set_head(partition);
}

void TapeCursor::space(uint8_t code, uint32_t count) { drive_.space(code, count); }

void TapeCursor::read_position(ST_SPTI_CMD_POSITIONDATA* pos) { drive_.read_position_on_tape(pos); }

int TapeCursor::read(uint32_t block_size, uint32_t* count) {
  if (block_.size() != block_size) block_.assign(block_size, 0);
  *count = 0;
  const uint64_t number = position();
  last_valid_ = false;
  const int ret = drive_.read(block_size, block_.data(), count);
  if (*count > block_size) *count = block_size;
  std::fill(block_.begin() + *count, block_.end(), 0);
  if (ret == 0) {
    last_valid_ = true;
    last_number_ = number;
    last_count_ = *count;
  }
  if (last_read_ == Read::filemark && partition_valid()) {
    filemark_known_ = true;
    filemark_partition_ = partition_;
    filemark_number_ = number;
  }
  return ret;
}

bool TapeCursor::filemark_before_here() {
  if (!filemark_known_ || !partition_valid() || partition_ != filemark_partition_) return false;
  return position() == filemark_number_ + 1;
}

bool TapeCursor::filemark_next(uint32_t block_size) {
  const uint64_t here = position();
  caller_reports_unreadable(true);
  quiet_sense(true);
  uint32_t count = 0;
  read(block_size, &count);
  quiet_sense(false);
  caller_reports_unreadable(false);
  if (last_read_ == Read::filemark) return true;
  locate(here);
  return false;
}

bool TapeCursor::holds_block(uint64_t number) {
  const uint64_t here = position();
  return last_valid_ && last_number_ == number && here == number + 1;
}

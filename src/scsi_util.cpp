// Tape access facade: reads and positions the tape for the walk and the run driver with the drive
// handle and the sense and error records kept here, turning each command's BOOL into the system's
// 0-for-success result. A READ's result is classified (block, filemark, end of data, block longer
// than the buffer, medium error); a filemark ends a file on tape, anything else but a block is an
// error with the same result. A command that failed on its way to the drive, or met a unit
// attention, is not taken as done: the tape is brought back to where the command started and the
// command is sent once more. Every positioning failure ends the run: the walk never goes on from
// an unknown position. Every call keeps the tape cursor, the record of where the tape stands.
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
#include "scsi/retry_policy.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"
#include "scsi/transfer_limits.h"

namespace {

SCSI_DEVICE_PARAM* scsi_param = nullptr;
ST_SPTI_REQUEST_SENSE_RESPONSE* sense_data = nullptr;
ST_SYSTEM_ERRORINFO* err_info = nullptr;
scsi::TransferLimits limits;
bool lengths_disagreement_told = false;

bool registered() { return scsi_param != nullptr && sense_data != nullptr && err_info != nullptr; }

}  // namespace

TapeCursor& tape_cursor() {
  static TapeCursor cursor;
  return cursor;
}

// The facade's access to the cursor's record, and the steps the facade calls share.
struct CursorAccess {
  static TapeCursor& cursor() { return tape_cursor(); }

  // Where the drive says the tape stands, without ending the run: nothing when READ POSITION
  // fails or the drive does not know (BPU or MPU set).
  static std::optional<ST_SPTI_CMD_POSITIONDATA> ask_position() {
    ST_SPTI_CMD_POSITIONDATA pos{};
    if (!spti_read_position(scsi_param, &pos, sense_data, err_info)) return std::nullopt;
    if (pos.bpu != 0 || pos.mpu != 0) return std::nullopt;
    return pos;
  }

  static std::string where(const std::optional<ST_SPTI_CMD_POSITIONDATA>& pos) {
    if (!pos) return "an unknown place";
    return "block " + std::to_string(pos->blockNumber) + " of partition " +
           std::to_string(pos->partitionNumber);
  }

  // LOCATE(10), or LOCATE(16) for an address beyond 32 bits: an address is never cut.
  static BOOL send_locate(uint32_t partition, uint64_t block) {
    if (block > UINT32_MAX) {
      return spti_locate16(scsi_param, partition, block, sense_data, err_info);
    }
    if (partition == INVALID_PARTITION_NUMBER) {
      return spti_locate(scsi_param, static_cast<uint32_t>(block), sense_data, err_info);
    }
    return spti_locate_partition(scsi_param, partition, static_cast<uint32_t>(block), sense_data,
                                 err_info);
  }

  // Locates (within the current partition for INVALID_PARTITION_NUMBER). A locate that failed on
  // its way to the drive, or met a unit attention (a reset may have moved the tape, even to the
  // other partition), is checked by READ POSITION and sent once more, naming the partition when
  // it is known. False when it cannot be done.
  static bool locate_object(uint32_t partition, uint64_t block) {
    TapeCursor& c = cursor();
    const uint32_t target =
        partition == INVALID_PARTITION_NUMBER && c.partition_valid() ? c.partition_ : partition;
    c.forget();
    for (int attempt = 0;; ++attempt) {
      const BOOL ok = send_locate(attempt == 0 ? partition : target, block);
      const scsi::CommandReport& report = scsi::last_command_report();
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

  [[noreturn]] static void locate_failed(int64_t partition, uint64_t block) {
    if (partition != INVALID_PARTITION_NUMBER && block == 0) {
      output_fatal(VL_MISC, "Failed to locate partition %d.\n", static_cast<int>(partition));
    }
    output_fatal(VL_MISC, "Failed to locate to Block address: %" PRIu64 ".\n", block);
  }

  [[noreturn]] static void move_failed() { output_fatal(VL_MISC, "Failed to move on tape.\n"); }

  static void locate_or_end(uint32_t partition, uint64_t block) {
    if (!registered() || !locate_object(partition, block)) locate_failed(partition, block);
  }

  // The length a READ asks for: never more than one command may transfer.
  static uint32_t read_length(uint32_t wanted) {
    const uint64_t largest = limits.largest_read();
    return largest != 0 && largest < wanted ? static_cast<uint32_t>(largest) : wanted;
  }

  // After a READ that met a unit attention: whether the tape stands where the READ should have
  // left it (so that the data came from the block wanted).
  static bool read_where_expected(const scsi::ReadResult& r, uint64_t start) {
    if (r.kind == scsi::ReadKind::medium_error || r.kind == scsi::ReadKind::failed) return false;
    const uint64_t expected = r.kind == scsi::ReadKind::end_of_data ? start : start + 1;
    const std::optional<ST_SPTI_CMD_POSITIONDATA> pos = ask_position();
    return pos && pos->partitionNumber == cursor().partition_ && pos->blockNumber == expected;
  }

  // The caller's buffer, not the cursor's, receives the next block.
  static void forget_last_block() { cursor().last_valid_ = false; }

  // The drive told where the tape stands; the block read last stays usable only when the tape
  // stands where the record said.
  static void take_position(const ST_SPTI_CMD_POSITIONDATA& pos) {
    TapeCursor& c = cursor();
    const bool last_valid = c.last_valid_ && (!c.valid() || c.position_ == pos.blockNumber);
    c.moved_to(pos.partitionNumber, pos.blockNumber);
    c.last_valid_ = last_valid;
  }

  // Sends the READ of `requested` bytes that starts at block `start`, again from there after a
  // failure on its way (a second one ends the run), and classifies what it brought.
  static scsi::ReadResult transfer(uint32_t requested, void* data, uint32_t* count,
                                   uint64_t start, const CommandOptions& options);
  // Where the tape stands after a READ from `start` that brought `r`.
  static void advance(const scsi::ReadResult& r, uint64_t start);
  static int finish_read(const scsi::ReadResult& r, uint32_t requested, uint64_t start,
                         uint32_t* count);
  static int read(uint32_t length, void* data, uint32_t* count);
  static RecordRead read_record(uint32_t length, void* data);
  static int space(uint8_t code, uint32_t count);
};

void CursorAccess::advance(const scsi::ReadResult& r, uint64_t start) {
  TapeCursor& c = cursor();
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
    case scsi::ReadKind::failed:
      c.forget();
      break;
  }
}

int CursorAccess::finish_read(const scsi::ReadResult& r, uint32_t requested, uint64_t start,
                              uint32_t* count) {
  TapeCursor& c = cursor();
  advance(r, start);
  *count = r.kind == scsi::ReadKind::block ? r.length : 0;
  switch (r.kind) {
    case scsi::ReadKind::block:
      c.last_read_ = TapeCursor::Read::block;
      break;
    case scsi::ReadKind::filemark:
      c.last_read_ = TapeCursor::Read::filemark;
      break;
    case scsi::ReadKind::end_of_data:
      c.last_read_ = TapeCursor::Read::end_of_data;
      break;
    case scsi::ReadKind::medium_error:
      c.last_read_ = TapeCursor::Read::unreadable;
      break;
    default:
      c.last_read_ = TapeCursor::Read::failed;
      break;
  }
  switch (r.kind) {
    case scsi::ReadKind::block:
      if (r.lengths_disagree && !lengths_disagreement_told) {
        lengths_disagreement_told = true;
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
    case scsi::ReadKind::end_of_data:
      break;
    case scsi::ReadKind::medium_error:
      if (c.quiet_unreadable_) return 1;
      break;
    case scsi::ReadKind::failed:
      break;
  }
  return output_accdg_to_vl(LV_ERROR, VL_MISC, "Failed to Read data: %X/%02X/%02X.\n",
                            sense_data->sense_key, sense_data->asc, sense_data->ascq);
}

scsi::ReadResult CursorAccess::transfer(uint32_t requested, void* data, uint32_t* count,
                                        uint64_t start, const CommandOptions& options) {
  for (int attempt = 0;; ++attempt) {
    *count = 0;
    read_block_command(scsi_param, requested, data, count, sense_data, options);
    const scsi::CommandReport& report = scsi::last_command_report();
    const scsi::ReadResult r = scsi::classify_read(report.outcome, requested, *count);
    const bool redo =
        report.transport_failed || (report.unit_attention && !read_where_expected(r, start));
    if (!redo) return r;
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
    locate_or_end(cursor().partition_, start);
  }
}

int CursorAccess::read(uint32_t length, void* data, uint32_t* count) {
  // Where the READ starts: a READ that must be sent again starts there again.
  const uint64_t start = cursor().position();
  const uint32_t requested = read_length(length);
  CommandOptions options;
  options.report_check_condition = !read_reports_by_caller();
  const scsi::ReadResult r = transfer(requested, data, count, start, options);
  return finish_read(r, requested, start, count);
}

RecordRead CursorAccess::read_record(uint32_t length, void* data) {
  const uint64_t start = cursor().position();
  RecordRead out;
  out.requested = read_length(length);
  CommandOptions quiet;
  quiet.report_check_condition = false;
  uint32_t count = 0;
  const scsi::ReadResult r = transfer(out.requested, data, &count, start, quiet);
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
    case scsi::ReadKind::medium_error:
    case scsi::ReadKind::failed:
      out.kind = RecordRead::Kind::unreadable;
      break;
  }
  out.trouble = scsi::describe(scsi::last_command_report().outcome);
  return out;
}

int CursorAccess::space(uint8_t code, uint32_t count) {
  TapeCursor& c = cursor();
  // A move by a count starts from a known place, so that it can be made again from there.
  const bool relative = code != SPACE_END_OF_DATA && count != 0;
  const uint64_t start = relative ? c.position() : 0;
  const uint32_t partition = c.partition_;
  c.forget();
  for (int attempt = 0;; ++attempt) {
    const BOOL ok = spti_space(scsi_param, code, count, sense_data, err_info);
    const scsi::CommandReport& report = scsi::last_command_report();
    const bool redo = report.transport_failed || report.unit_attention;
    // Made again and again not done as asked: where it took the tape is not known.
    if (redo ? attempt > 0 : !ok) move_failed();
    if (!redo) {
      c.forget();
      return 0;
    }
    output_accdg_to_vl(LV_WARNING, VL_MISC,
                       "The SPACE was not completed (%s); the tape stands at %s. The move is made "
                       "again%s.\n",
                       scsi::describe(report.trouble).c_str(), where(ask_position()).c_str(),
                       relative ? " from where it started" : "");
    if (relative) locate_or_end(partition, start);
  }
}

void set_device_pram(SCSI_DEVICE_PARAM* scsiparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sensedata,
                     ST_SYSTEM_ERRORINFO* errinfo) {
  if (scsiparam == nullptr || sensedata == nullptr || errinfo == nullptr) {
    output_fatal(VL_MISC, "Null pointer is detected at set_device_pram");
  }
  scsi_param = scsiparam;
  sense_data = sensedata;
  err_info = errinfo;
  limits = scsi::TransferLimits{};
  tape_cursor().forget();
}

void learn_transfer_limits() {
  if (!registered()) return;
  limits = scsi::query_transfer_limits(scsi_param);
  output_accdg_to_vl(LV_INFO, VL_MISC, "Transfer limits: %s.\n",
                     scsi::describe_limits(limits).c_str());
}

void require_block_reads(uint32_t block_size) {
  if (registered()) scsi::prepare_block_reads(scsi_param, &limits, block_size);
}

int read_data(const uint32_t data_trans_len, void* data_pointer, uint32_t* residual_count) {
  if (data_pointer == nullptr || residual_count == nullptr || !registered()) {
    output_fatal(VL_MISC, "Null pointer is detected at read_data");
  }
  CursorAccess::forget_last_block();
  return CursorAccess::read(data_trans_len, data_pointer, residual_count);
}

RecordRead read_record(uint32_t length, void* data) {
  if (data == nullptr || !registered()) {
    output_fatal(VL_MISC, "Null pointer is detected at read_record");
  }
  CursorAccess::forget_last_block();
  return CursorAccess::read_record(length, data);
}

bool locate_in_partition(uint32_t partition, uint64_t block) {
  return registered() && CursorAccess::locate_object(partition, block);
}

int move_on_tape(const uint8_t code, const uint32_t block_address) {
  if (!registered()) CursorAccess::move_failed();
  return CursorAccess::space(code, block_address);
}

int read_position_on_tape(ST_SPTI_CMD_POSITIONDATA* pos) {
  if (pos == nullptr || !registered()) {
    output_fatal(VL_MISC, "Null pointer is detected at read_position_on_tape");
  }
  if (!spti_read_position(scsi_param, pos, sense_data, err_info)) {
    output_fatal(VL_MISC, "Failed to read position on tape.\n");
  }
  if (pos->bpu != 0 || pos->mpu != 0) {
    output_fatal(VL_MISC,
                 "Failed to read position on tape.\n%sThe drive does not know where the tape "
                 "stands (BPU %d, MPU %d).\n",
                 INDENT, pos->bpu, pos->mpu);
  }
  CursorAccess::take_position(*pos);
  return 0;
}

int set_tape_head(const int which_partition) {
  if (which_partition < 0) CursorAccess::locate_failed(which_partition, 0);
  CursorAccess::locate_or_end(static_cast<uint32_t>(which_partition), 0);
  return 0;
}

int locate_to_tape(const uint32_t block_addres) {
  CursorAccess::locate_or_end(INVALID_PARTITION_NUMBER, block_addres);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Tape cursor

bool TapeCursor::valid() const { return known_ && epoch_ == scsi::position_epoch(); }

bool TapeCursor::partition_valid() const {
  return partition_known_ && epoch_ == scsi::position_epoch();
}

bool TapeCursor::position_known() const { return valid(); }

void TapeCursor::moved_to(uint32_t partition, uint64_t block) {
  known_ = true;
  partition_known_ = true;
  epoch_ = scsi::position_epoch();
  partition_ = partition;
  position_ = block;
  last_valid_ = false;
}

void TapeCursor::forget() {
  known_ = false;
  last_valid_ = false;
}

uint64_t TapeCursor::position() {
  if (!valid()) {
    ST_SPTI_CMD_POSITIONDATA pos{};
    read_position_on_tape(&pos);
  }
  return position_;
}

void TapeCursor::locate(uint64_t block) {
  CursorAccess::locate_or_end(INVALID_PARTITION_NUMBER, block);
}

void TapeCursor::head(int partition) {
  // The tape may already stand there: a locate would cost a command, and on some drives a stop.
  if (on_partition(partition) && position_known() && position_ == 0) return;
  set_tape_head(partition);
}

void TapeCursor::space(uint8_t code, uint32_t count) { move_on_tape(code, count); }

void TapeCursor::read_position(ST_SPTI_CMD_POSITIONDATA* pos) { read_position_on_tape(pos); }

int TapeCursor::read(uint32_t block_size, uint32_t* count) {
  if (block_.size() != block_size) block_.assign(block_size, 0);
  *count = 0;
  const uint64_t number = position();
  const int ret = read_data(block_size, block_.data(), count);
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

void TapeCursor::quiet_sense(bool on) { set_read_reports_by_caller(on); }

bool TapeCursor::holds_block(uint64_t number) {
  const uint64_t here = position();
  return last_valid_ && last_number_ == number && here == number + 1;
}

// =============================================================================================
// Tape generation
// =============================================================================================

// The drive names the cartridge's volume personality in the volume statistics log page; the tape
// identifier carries the generation derived from it.
namespace {

constexpr uint32_t kVolumeStatisticsPage = 0x17;
constexpr uint16_t kVolumePersonalityParameter = 0x0045;
constexpr uint32_t kLogSenseLength = 32768;
constexpr size_t kPersonalityLength = 9;

}  // namespace

std::string read_volume_personality(void* scparam) {
  std::vector<uint8_t> buffer(kLogSenseLength, 0);
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ST_SYSTEM_ERRORINFO syserr{};
  uint32_t received = 0;
  if (!spti_log_sense(scparam, kVolumeStatisticsPage, kVolumePersonalityParameter, kLogSenseLength,
                      buffer.data(), &received, &sense, &syserr)) {
    output_accdg_to_vl(LV_TRACE, VL_MISC, "spti_log_sense error.\n");
    return "";
  }
  // The personality is looked up by its parameter code within the bytes received, so that a
  // drive that returns another parameter first is not misread.
  const std::span<const uint8_t> value = find_log_parameter(
      std::span<const uint8_t>(buffer.data(), std::min<size_t>(received, buffer.size())),
      kVolumePersonalityParameter);
  return std::string(value.begin(), value.end());
}

int get_tape_generation(void* scparam, char* tape_gen) {
  int ret = output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_tape_generation\n");
  if (tape_gen == nullptr) {
    output_fatal(VL_MISC, "Null pointer is detected at get_tape_generation");
    return 1;
  }
  // Missing, the personality stays empty.
  char personality[kPersonalityLength + 1] = {};
  const std::string text = read_volume_personality(scparam);
  std::copy_n(text.begin(), std::min(text.size(), kPersonalityLength), personality);

  if (std::memcmp(personality, "Ultrium-", 8) == 0) {
    tape_gen[0] = 'L';
    tape_gen[1] = personality[8];
  } else if (std::memcmp(personality, "LTO", 3) == 0) {
    // Two characters behind "LTO"; a zero byte ends them and zero-fills the rest.
    tape_gen[0] = personality[3];
    tape_gen[1] = personality[3] == '\0' ? '\0' : personality[4];
  } else {
    output_fatal(VL_MISC, "Volume personality is not correct.(%s)\n", personality);
    return 1;
  }
  ret |= output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :get_tape_generation\n");
  return ret;
}

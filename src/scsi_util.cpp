// Tape access facade: reads and positions the tape for the walk and the run driver with the drive
// handle and the sense and error records kept here, turning each command's BOOL into the system's
// 0-for-success result. A filemark met by a read ends a file on tape; any other failed read is an
// error with the same result. Every positioning failure ends the run: the walk never goes on from
// an unknown position. Every call keeps the tape cursor, the record of where the tape stands.
#include "scsi_util.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "output_level.h"
#include "scsi/scsi_decode.h"

namespace {

SCSI_DEVICE_PARAM* scsi_param = nullptr;
ST_SPTI_REQUEST_SENSE_RESPONSE* sense_data = nullptr;
ST_SYSTEM_ERRORINFO* err_info = nullptr;

bool registered() { return scsi_param != nullptr && sense_data != nullptr && err_info != nullptr; }

}  // namespace

TapeCursor& tape_cursor() {
  static TapeCursor cursor;
  return cursor;
}

void set_device_pram(SCSI_DEVICE_PARAM* scsiparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sensedata,
                     ST_SYSTEM_ERRORINFO* errinfo) {
  if (scsiparam == nullptr || sensedata == nullptr || errinfo == nullptr) {
    output_fatal(VL_MISC, "Null pointer is detected at set_device_pram");
  }
  scsi_param = scsiparam;
  sense_data = sensedata;
  err_info = errinfo;
  tape_cursor().forget();
}

int read_data(const uint32_t data_trans_len, void* data_pointer, uint32_t* residual_count) {
  if (data_pointer == nullptr || residual_count == nullptr || !registered()) {
    output_fatal(VL_MISC, "Null pointer is detected at read_data");
  }
  TapeCursor& cursor = tape_cursor();
  // The caller's buffer, not the cursor's, receives this block.
  cursor.last_valid_ = false;
  if (spti_read_data(scsi_param, data_trans_len, data_pointer, residual_count, sense_data,
                     err_info)) {
    if (cursor.known_) ++cursor.position_;
    return 0;
  }
  // After a filemark the tape stands just past it; after an error the position is unsure.
  cursor.forget();
  if (sense_data->sense_key == 0 && sense_data->asc == 0x00 && sense_data->ascq == 0x01) {
    output_accdg_to_vl(LV_INFO, VL_MISC, "Filemark detected during reading data.\n");
    return 1;
  }
  return output_accdg_to_vl(LV_ERROR, VL_MISC, "Failed to Read data: %X/%02X/%02X.\n",
                            sense_data->sense_key, sense_data->asc, sense_data->ascq);
}

int move_on_tape(const uint8_t code, const uint32_t block_address) {
  tape_cursor().forget();
  if (!registered() || !spti_space(scsi_param, code, block_address, sense_data, err_info)) {
    output_fatal(VL_MISC, "Failed to move on tape.\n");
  }
  return 0;
}

int read_position_on_tape(ST_SPTI_CMD_POSITIONDATA* pos) {
  if (pos == nullptr || !registered()) {
    output_fatal(VL_MISC, "Null pointer is detected at read_position_on_tape");
  }
  if (!spti_read_position(scsi_param, pos, sense_data, err_info)) {
    output_fatal(VL_MISC, "Failed to read position on tape.\n");
  }
  TapeCursor& cursor = tape_cursor();
  if (cursor.known_ && cursor.position_ != pos->blockNumber) cursor.last_valid_ = false;
  cursor.known_ = true;
  cursor.position_ = pos->blockNumber;
  return 0;
}

int set_tape_head(const int which_partition) {
  tape_cursor().forget();
  if (!registered() || which_partition < 0 ||
      !spti_locate_partition(scsi_param, static_cast<uint32_t>(which_partition), 0, sense_data,
                             err_info)) {
    output_fatal(VL_MISC, "Failed to locate partition %d.\n", which_partition);
  }
  tape_cursor().moved_to(0);
  return 0;
}

int locate_to_tape(const uint32_t block_addres) {
  tape_cursor().forget();
  if (!registered() || !spti_locate(scsi_param, block_addres, sense_data, err_info)) {
    output_fatal(VL_MISC, "Failed to locate to Block address: %d.\n",
                 static_cast<int>(block_addres));
  }
  tape_cursor().moved_to(block_addres);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Tape cursor

void TapeCursor::moved_to(uint64_t block) {
  known_ = true;
  position_ = block;
  last_valid_ = false;
}

void TapeCursor::forget() {
  known_ = false;
  last_valid_ = false;
}

uint64_t TapeCursor::position() {
  if (!known_) {
    ST_SPTI_CMD_POSITIONDATA pos{};
    read_position_on_tape(&pos);
  }
  return position_;
}

void TapeCursor::locate(uint64_t block) { locate_to_tape(static_cast<uint32_t>(block)); }

void TapeCursor::head(int partition) { set_tape_head(partition); }

void TapeCursor::space(uint8_t code, uint32_t count) { move_on_tape(code, count); }

void TapeCursor::read_position(ST_SPTI_CMD_POSITIONDATA* pos) { read_position_on_tape(pos); }

int TapeCursor::read(uint32_t block_size, uint32_t* count) {
  if (block_.size() != block_size) block_.assign(block_size, 0);
  const bool known = known_;
  const uint64_t number = position_;
  *count = 0;
  const int ret = read_data(block_size, block_.data(), count);
  if (*count > block_size) *count = block_size;
  std::fill(block_.begin() + *count, block_.end(), 0);
  if (ret == 0) {
    last_valid_ = known;
    last_number_ = number;
    last_count_ = *count;
  }
  return ret;
}

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

int get_tape_generation(void* scparam, char* tape_gen) {
  int ret = output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_tape_generation\n");
  if (tape_gen == nullptr) {
    output_fatal(VL_MISC, "Null pointer is detected at get_tape_generation");
    return 1;
  }
  std::vector<uint8_t> buffer(kLogSenseLength, 0);
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ST_SYSTEM_ERRORINFO syserr{};
  uint32_t received = 0;
  if (!spti_log_sense(scparam, kVolumeStatisticsPage, kVolumePersonalityParameter, kLogSenseLength,
                      buffer.data(), &received, &sense, &syserr)) {
    ret |= output_accdg_to_vl(LV_TRACE, VL_MISC, "spti_log_sense error.\n");
    received = 0;
  }
  // The personality is looked up by its parameter code within the bytes received, so that a
  // drive that returns another parameter first is not misread; missing, it stays empty.
  char personality[kPersonalityLength + 1] = {};
  const std::span<const uint8_t> value = find_log_parameter(
      std::span<const uint8_t>(buffer.data(), std::min<size_t>(received, buffer.size())),
      kVolumePersonalityParameter);
  std::copy_n(value.begin(), std::min(value.size(), kPersonalityLength), personality);

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

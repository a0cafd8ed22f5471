// Tape access facade: the calls through which the walk and the run driver read and position the
// tape, without passing the drive handle around. Results: 0 success; read_data 1 at a filemark,
// at the end of data or on a read error. Positioning failures end the run.
//
// The facade is the one owner of the tape position: every call below keeps the record of where
// the tape stands up to date, so that no caller needs to know what another one did to the tape.
// A command that failed on its way to the drive, or met a unit attention (a reset may have moved
// the tape), is not taken as done: the facade reads where the tape stands, locates back to where
// the command started and sends it once more.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "spti_lib.h"

void set_device_pram(SCSI_DEVICE_PARAM* scsiparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sensedata,
                     ST_SYSTEM_ERRORINFO* errinfo);
int read_data(const uint32_t data_trans_len, void* data_pointer, uint32_t* residual_count);
int move_on_tape(const uint8_t code, const uint32_t block_address);
int read_position_on_tape(ST_SPTI_CMD_POSITIONDATA* pos);
int set_tape_head(const int which_partition);
int locate_to_tape(const uint32_t block_addres);

// One record as a copy of the tape sees it (tape_image): what one READ of up to `length` bytes
// (fewer when the transfer limits say so) brought into `data`. The READ's check conditions are
// not shown: the caller reports what it met in its own words.
struct RecordRead {
  enum class Kind { record, filemark, end_of_data, too_long, unreadable };
  Kind kind = Kind::unreadable;
  uint32_t length = 0;         // record: its bytes in `data`
  uint64_t record_length = 0;  // too_long: the record's length when the drive tells it, else 0
  uint32_t requested = 0;      // the bytes the READ asked for
  std::string trouble;         // too_long, unreadable: what the drive answered, in words
};
RecordRead read_record(uint32_t length, void* data);

// Locates to `block` of `partition` as set_tape_head and locate_to_tape do, but returns false
// instead of ending the run when the drive cannot go there (beyond the end of data, a place it
// cannot read).
bool locate_in_partition(uint32_t partition, uint64_t block);

// Asks the registered drive for its transfer limits (the adapter's, the sg driver's reserved
// buffer, READ BLOCK LIMITS); reads are then never longer than the smaller limit.
void learn_transfer_limits();
// Once the tape's block size is known: ends the run when a block cannot be read in one command,
// and raises the sg driver's reserved buffer to the block size.
void require_block_reads(uint32_t block_size);

// The volume personality the drive names in the volume statistics log page (LOG SENSE page 17h,
// parameter 0045h), as received; empty when the drive does not tell it.
std::string read_volume_personality(void* scparam);

// The tape generation from the drive's volume personality: two characters (no terminator written
// beyond the two). A personality of neither the "Ultrium-" nor the "LTO" form ends the run.
int get_tape_generation(void* scparam, char* tape_gen);

// Where the tape stands, as far as the program knows it, and the block read last. Reading the
// position costs no tape motion, but a round trip to the drive; a LOCATE may stop the tape. So a
// caller asks for the position only through position(), which asks the drive only when the
// position is unknown, and locates only when the tape is not already where it must be.
//
// The facade calls above keep this record: a read of a block or a filemark moves it one object
// on, a locate or a change of partition sets it, a space or a failed read makes it unknown, and so
// does any command (the facade's or another's) that did not simply end GOOD, unless the facade
// knows from the answer where the tape stands. A reader that wants a block it has just read again
// takes it from block() when holds_block() says the tape stands just past it.
class TapeCursor {
 public:
  // The block number where the tape stands (READ POSITION only when it is unknown).
  uint64_t position();
  bool position_known() const;
  // Whether the tape is known to stand in partition `partition`.
  bool on_partition(int partition) const {
    return partition_valid() && partition_ == static_cast<uint32_t>(partition);
  }
  // After anything that may have moved the tape without the facade seeing where to.
  void forget();

  void locate(uint64_t block);
  void head(int partition);
  void space(uint8_t code, uint32_t count);
  void read_position(ST_SPTI_CMD_POSITIONDATA* pos);

  // Reads one block of `block_size` bytes into the cursor's buffer; the bytes beyond those
  // received read as zero. Returns what read_data returns: 0 block read (its length in `*count`),
  // 1 filemark or read error (the buffer then holds nothing of use).
  int read(uint32_t block_size, uint32_t* count);
  // What the last read met.
  enum class Read { block, filemark, end_of_data, unreadable, failed };
  Read last_read() const { return last_read_; }
  // While the caller handles unreadable blocks itself (it retries and reports them once), reads
  // that meet one report nothing.
  void caller_reports_unreadable(bool on) { quiet_unreadable_ = on; }
  // While on, a read's CHECK CONDITION is shown only at the highest verbosity (the tries after the
  // first of an unreadable block say nothing new).
  void quiet_sense(bool on);
  // The buffer of the last read: block_size bytes, zero beyond the bytes received.
  std::span<const uint8_t> block() const { return block_; }
  uint32_t last_count() const { return last_count_; }
  // Whether block `number` is the block read last and the tape stands just past it.
  bool holds_block(uint64_t number);
  // Whether a read met a filemark just before where the tape stands: the read proved it there,
  // and no move back over it is needed to see it.
  bool filemark_before_here();
  // Reads the next object to see whether it is a filemark: true when it is (the tape then stands
  // past it, as a forward pass leaves it); otherwise the tape is brought back to where it stood.
  // Nothing is reported on the way.
  bool filemark_next(uint32_t block_size);

 private:
  // The facade calls keep the record.
  friend struct CursorAccess;
  bool valid() const;            // position_ holds where the tape stands
  bool partition_valid() const;  // partition_ does (a move by SPACE keeps the partition)
  void moved_to(uint32_t partition, uint64_t block);

  bool known_ = false;
  bool partition_known_ = false;
  uint64_t epoch_ = 0;  // the command count (scsi::position_epoch) at which they were known
  uint32_t partition_ = 0;
  uint64_t position_ = 0;
  bool last_valid_ = false;  // block_ holds the block numbered last_number_
  uint64_t last_number_ = 0;
  uint32_t last_count_ = 0;
  Read last_read_ = Read::failed;
  bool quiet_unreadable_ = false;
  // The filemark a read met last: partition and object number.
  bool filemark_known_ = false;
  uint32_t filemark_partition_ = 0;
  uint64_t filemark_number_ = 0;
  std::vector<uint8_t> block_;
};

// The one cursor of the program's drive.
TapeCursor& tape_cursor();

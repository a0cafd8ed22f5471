// Tape access facade: the open drive as one object (TapeDrive) that the run owns, and its cursor,
// the one API through which the walk, the run driver and the tools read and position the tape.
//
// The drive keeps the command parameters (the device handle, the sense and error records), the
// transfer limits, the record of the reference partition, and the cursor. The cursor is the one
// owner of the tape position: every call keeps the record of where the tape stands up to date,
// so that no caller needs to know what another one did to the tape. A command that failed on its
// way to the drive, or met a unit attention (a reset may have moved the tape), is not taken as
// done: the drive reads where the tape stands, locates back to where the command started and
// sends it once more. A positioning failure ends the run (RunEnded): the walk never goes on from
// an unknown position.
//
// Several drives may be open in one process, each with its own object; each is used by one
// thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "scsi/partition_record.h"
#include "scsi/retry_policy.h"
#include "scsi/transfer_limits.h"
#include "spti_lib.h"

class TapeDrive;

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

// Where the tape stands, as far as the program knows it, and the block read last. Reading the
// position costs no tape motion, but a round trip to the drive; a LOCATE may stop the tape. So a
// caller asks for the position only through position(), which asks the drive only when the
// position is unknown, and locates only when the tape is not already where it must be.
//
// A read of a block or a filemark moves the record one object on, a locate or a change of
// partition sets it, a space or a failed read makes it unknown, and so does any command (the
// cursor's or another's on this thread) that did not simply end GOOD, unless the drive knows from
// the answer where the tape stands. A reader that wants a block it has just read again takes it
// from block() when holds_block() says the tape stands just past it.
//
// The tape primitives of the walk: head() positions at block 0 of a partition (set_tape_head),
// locate() at a block of the current partition (locate_to_tape), space() spaces over filemarks
// or to the end of data (move_on_tape), read_position() asks the drive (read_position_on_tape),
// read() reads one block (read_data): 0 for a block, 1 at a filemark, at the end of data or on a
// read error.
class TapeCursor {
 public:
  explicit TapeCursor(TapeDrive& drive) : drive_(drive) {}
  TapeCursor(const TapeCursor&) = delete;
  TapeCursor& operator=(const TapeCursor&) = delete;

  // The block number where the tape stands (READ POSITION only when it is unknown).
  uint64_t position();
  bool position_known() const;
  // Whether the tape is known to stand in partition `partition`.
  bool on_partition(int partition) const {
    return partition_valid() && partition_ == static_cast<uint32_t>(partition);
  }
  // After anything that may have moved the tape without the cursor seeing where to.
  void forget();

  void locate(uint64_t block);
  void head(int partition);
  void space(uint8_t code, uint32_t count);
  void read_position(ST_SPTI_CMD_POSITIONDATA* pos);

  // Reads one block of `block_size` bytes into the cursor's buffer; the bytes beyond those
  // received read as zero. Returns 0 for a block (its length in `*count`), 1 at a filemark or on
  // a read error (the buffer then holds nothing of use).
  int read(uint32_t block_size, uint32_t* count);
  // What the last read met.
  // unreadable: a medium error; too_long: a record longer than the buffer (none of it taken);
  // failed: any other failure of the READ (a retry may mend it).
  enum class Read { block, filemark, end_of_data, unreadable, too_long, failed };
  Read last_read() const { return last_read_; }
  // While the caller handles unreadable blocks itself (it retries and reports them once), reads
  // that meet one report nothing.
  void caller_reports_unreadable(bool on) { quiet_unreadable_ = on; }
  // While on, a read's CHECK CONDITION is shown only at the highest verbosity (the tries after the
  // first of an unreadable block say nothing new).
  void quiet_sense(bool on) { quiet_sense_ = on; }
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
  // The drive keeps the record.
  friend class TapeDrive;
  bool valid() const;            // position_ holds where the tape stands
  bool partition_valid() const;  // partition_ does (a move by SPACE keeps the partition)
  void moved_to(uint32_t partition, uint64_t block);

  TapeDrive& drive_;
  bool placed_ = false;  // the tape was known to stand somewhere once: the job used a place
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
  bool quiet_sense_ = false;
  // The filemark a read met last: partition and object number.
  bool filemark_known_ = false;
  uint32_t filemark_partition_ = 0;
  uint64_t filemark_number_ = 0;
  std::vector<uint8_t> block_;
};

// The open drive: its node (closed with the object), the records every command fills, what the
// program learnt of it, and its cursor. Commands turn each BOOL into the system's 0-for-success
// result; a READ's result is classified (block, filemark, end of data, block longer than the
// buffer, medium error): a filemark ends a file on tape, anything else but a block is an error
// with the same result.
class TapeDrive {
 public:
  // Takes over `fd`, a node opened with tape_device_open.
  explicit TapeDrive(int fd);
  ~TapeDrive();
  TapeDrive(const TapeDrive&) = delete;
  TapeDrive& operator=(const TapeDrive&) = delete;

  int fd() const { return param_.fd_scsidevice; }
  // The records the command layer's calls take, for commands sent beside the cursor (the
  // cartridge memory, INQUIRY, LOG SENSE).
  SCSI_DEVICE_PARAM* param() { return &param_; }
  ST_SPTI_REQUEST_SENSE_RESPONSE* sense() { return &sense_; }
  ST_SYSTEM_ERRORINFO* error_info() { return &error_; }
  TapeCursor& cursor() { return cursor_; }

  // Asks the drive for its transfer limits (the adapter's, the sg driver's reserved buffer,
  // READ BLOCK LIMITS); reads are then never longer than the smaller limit.
  void learn_transfer_limits();
  // Once the tape's block size is known: ends the run when a block cannot be read in one command,
  // and raises the sg driver's reserved buffer to the block size.
  void require_block_reads(uint32_t block_size);

  // While on, a pass over the reference partition that repeats an earlier one is served from what
  // the earlier reads met there (blocks, filemarks): the tape moves only for what they did not
  // read. The checks see the same bytes and positions as from the tape.
  void replay_reference_partition(bool on);

  // Once the drive is ready for a job: PREVENT MEDIUM REMOVAL, so that nobody takes the cartridge
  // out while it is read; MODE SENSE, which tells (DEBUG) a drive another program left in
  // fixed-block mode (the reads ask for variable-length blocks with SILI clear, right in either
  // mode; no MODE SELECT changes what others rely on); and what names the cartridge: the
  // cartridge memory's serial number, barcode and volume identifier (its first record, the VOL1
  // label, is kept when a read meets it). When a command meets a unit attention that says the
  // cartridge may have changed, the drive reads them again before anything else is read: the
  // same cartridge (a reload) gets a WARNING and the tape back where the cursor stood; another
  // one ends the run before any of it is used.
  void begin_job();
  // At the end of a job that touched the tape: the TapeAlert flags the drive raised become
  // WARNINGs and a member of the report; the cartridge may be taken out again (ALLOW MEDIUM
  // REMOVAL). Done once; the destructor does it for a job that ended another way (a fatal error,
  // a signal).
  void end_job();

  // One record into `data`, as a copy of the tape sees it (see RecordRead).
  RecordRead read_record(uint32_t length, void* data);
  // Locates to `block` of `partition` as the cursor does, but returns false instead of ending the
  // run when the drive cannot go there (beyond the end of data, a place it cannot read).
  bool locate_in_partition(uint32_t partition, uint64_t block);

 private:
  friend class TapeCursor;

  // Where the drive says the tape stands, without ending the run: nothing when READ POSITION
  // fails or the drive does not know (BPU or MPU set).
  std::optional<ST_SPTI_CMD_POSITIONDATA> ask_position();
  BOOL send_locate(uint32_t partition, uint64_t block);
  bool locate_object(uint32_t partition, uint64_t block);
  [[noreturn]] void locate_failed(int64_t partition, uint64_t block);
  void locate_or_end(uint32_t partition, uint64_t block);
  void set_head(int partition);
  void read_position_on_tape(ST_SPTI_CMD_POSITIONDATA* pos);

  // The replay of the reference partition.
  bool in_replay() const;
  void bring_drive();
  bool replay_locate(uint32_t partition, uint64_t block);
  bool replay_space(uint8_t code, uint32_t count);
  bool replay_position(ST_SPTI_CMD_POSITIONDATA* pos);
  bool replay_read(uint32_t requested, void* data, uint32_t* count, uint64_t start, int* ret);
  void note_read(const scsi::ReadResult& r, uint64_t start, const void* data);

  // The beginning and the end of a job (drive_session.cpp).
  void learn_identity();
  void prevent_removal();
  void note_mode();
  void report_tape_alerts();

  // The cartridge check after a unit attention 6/28/00 (cartridge_check.cpp).
  struct CartridgeIdentity {
    std::optional<std::vector<uint8_t>> serial;
    std::optional<std::vector<uint8_t>> barcode;
    std::optional<std::vector<uint8_t>> volume;
  };
  CartridgeIdentity read_identity();
  std::string identity_difference(const CartridgeIdentity& now);
  std::string label_difference();
  bool check_cartridge(bool caller_repositions);
  void return_after_reload();
  void note_first_record(const scsi::ReadResult& r, uint64_t start, const void* data);

  // Reads.
  [[noreturn]] void read_cannot_go_on(const scsi::ReadResult& r, uint64_t start);
  uint32_t read_length(uint32_t wanted) const;
  bool read_where_expected(const scsi::ReadResult& r, uint64_t start);
  void take_position(const ST_SPTI_CMD_POSITIONDATA& pos);
  scsi::ReadResult transfer(uint32_t requested, void* data, uint32_t* count, uint64_t start,
                            bool report_check_condition);
  void advance(const scsi::ReadResult& r, uint64_t start);
  int finish_read(const scsi::ReadResult& r, uint32_t requested, uint64_t start, uint32_t* count);
  int read(uint32_t length, void* data, uint32_t* count);
  int space(uint8_t code, uint32_t count);

  SCSI_DEVICE_PARAM param_{};
  ST_SPTI_REQUEST_SENSE_RESPONSE sense_{};
  ST_SYSTEM_ERRORINFO error_{};
  scsi::TransferLimits limits_;
  bool lengths_disagreement_told_ = false;
  // The reference partition as the reads met it. While a pass over it is replayed, reads, locates
  // and spaces there are served from this record: the cursor moves and the tape does not, until a
  // command needs the drive where the cursor stands (`drive_away_`).
  scsi::PartitionRecord reference_record_;
  bool replaying_ = false;
  bool drive_away_ = false;
  // What names the cartridge of the job; the first record of partition 0 once a read met it.
  CartridgeIdentity identity_;
  bool identity_known_ = false;
  std::vector<uint8_t> first_record_;
  bool checking_cartridge_ = false;
  // The last SPACE, while the cursor knows no place after it: how to stand there again after a
  // reload (locate to where it started, space again).
  struct SpaceMove {
    uint32_t partition = 0;
    uint64_t start = 0;
    uint8_t code = 0;
    uint32_t count = 0;
  };
  std::optional<SpaceMove> last_space_;
  bool job_begun_ = false;
  bool job_ended_ = false;
  bool removal_prevented_ = false;
  TapeCursor cursor_{*this};
};

// The volume personality the drive names in the volume statistics log page (LOG SENSE page 17h,
// parameter 0045h), as received; empty when the drive does not tell it.
std::string read_volume_personality(void* scparam);

// The tape generation from the drive's volume personality: two characters (no terminator written
// beyond the two). A personality of neither the "Ultrium-" nor the "LTO" form ends the run.
int get_tape_generation(void* scparam, char* tape_gen);

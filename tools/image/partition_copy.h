// Copying one partition of a tape into its SIMH partition file: every record with its length and
// every filemark, from the beginning of the partition to its end of data, in one forward pass. The
// tape is repositioned only to read a record that could not be read again, and to go on past it.
//
// A partition file is written in order and only ever appended to, so that a process killed at
// any moment leaves a file whose complete objects are the tape's: an imaging started again checks
// the file, cuts off what follows the last complete object and continues from there. Only a
// file that ends with the end-of-medium word is a complete partition.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scsi_util.h"
#include "support/safe_dir.h"
#include "vdrive/manifest.h"

namespace image {

// What the image holds so far, over the partitions copied in this run and before it.
struct ImageState {
  std::vector<vdrive::RecordRef> unreadable;  // records holding no data of the tape, in order
  uint32_t label_block_size = 0;              // "BlockSize" of the format label; 0 while not known
  uint32_t longest_record = 0;                // the longest record read so far
  uint64_t objects = 0;                       // records and filemarks in the partition files
  uint64_t bytes_read = 0;                    // record bytes read from the tape by this run
};

// A partition file as an imaging finds it.
struct PartitionFileState {
  bool exists = false;
  bool complete = false;    // it ends with the end-of-medium word
  uint64_t objects = 0;     // its complete objects: the copy goes on with the next one
  uint64_t filemarks = 0;   // among them
  uint64_t keep_bytes = 0;  // their bytes; anything after them is cut off
};

// Checks the partition file `name` of `dir` and takes its complete objects into `state`. A file
// that cannot be opened or read ends the run.
PartitionFileState examine_partition_file(const SafeDir& dir, const std::string& name,
                                          uint32_t partition, ImageState* state);

// How often a record that cannot be read is read again, repositioning before each time.
inline constexpr unsigned kDefaultRetries = 3;
inline constexpr unsigned kMaxRetries = 100;

enum class CopyEnd { complete, stopped };

// Copies partition `partition` from the object after those `from` holds to its end of data into
// the file `name` of `dir`, and ends the file with the end-of-medium word. Returns `stopped`,
// the file holding the objects copied so far, when a stop signal arrived.
CopyEnd copy_partition(TapeDrive& drive, const SafeDir& dir, const std::string& name,
                       uint32_t partition, const PartitionFileState& from, unsigned retries,
                       ImageState* state);

}  // namespace image

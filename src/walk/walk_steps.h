// The steps the walk's files share among themselves: reading a block with retries, the damage of
// the data partition, the bucket of the packed object in hand, and what becomes of an object. Only
// the walk's own sources include this header; the run driver uses walk/walk.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/run_record.h"
#include "walk/walk.h"

namespace walk {

// READ(6) carries a 24-bit transfer length: no larger block can be read.
inline constexpr uint32_t kMaxReadableBlockSize = 0xFFFFFF;
inline constexpr uint64_t kUnbounded = UINT64_MAX;

// What a read at the tape position met. A filemark stands also for whatever else ended the
// reading of a marker (end of data, a failed READ), which its filemark check then reports.
enum class Got { block, filemark, damage };

// Reads the block at the tape position of `partition` into the cursor's buffer, reading an
// unreadable block again (located between tries) up to the bound of --read-retries; a block read
// on a later try is said in a WARNING. A block that stays unreadable leaves the tape just past
// it, with the tries made in `*tries`.
Got read_with_retries(Walk& w, int partition, uint32_t* count, int* tries);

// Reads the block at the tape position of the data partition into the cursor's buffer, with the
// tries of --read-retries. A block that stays unreadable is reported once as damage (a block
// already known as such is not read again), and the tape stands just past it.
Got walk_read(Walk& w, uint32_t* count);
// Reads the block after the current one for an object or its metadata into the cursor's buffer.
// A read that stops neither at a block nor at a confirmed filemark ends the run; damage is
// returned for the caller to give up the object.
Got read_following_block(Walk& w, uint32_t* count);

// Where the last reference commit marker of the data partition begins, counted forward from the
// cached labels and partial references; nothing when the cache does not tell.
std::optional<uint64_t> last_rcm_block_by_cache(Walk& w);
// The places of the packed objects on the data partition, for naming what a damaged block cost
// (known once the last reference commit marker of the data partition has been found).
const std::vector<PackedObjectPlace>& packed_object_places(Walk& w);

// The bucket list of the last reference commit marker (its bytes as read), and the last reference
// commit marker as the reference partition holds it (its cached copy, for a damaged one).
void take_bucket_list(Walk& w, const std::string& rcm);
std::string cached_last_rcm(Walk& w);
// The bucket of a packed object: its bucket ID (16 bytes) looked up in the bucket list.
void take_bucket_of_packed_object(Walk& w, const uint8_t* bucket_id, bool report);

// The members of an object's metadata that the walk uses.
struct ObjectFields {
  uint64_t size = 0;
  bool size_known = true;  // false for a lost object whose size the tape did not tell
  std::string key;
  std::string id;
  std::string last_modified;
  std::string version_id;
  std::string content_md5;
  bool named_from_cache = false;  // a lost object whose metadata was not read: its place too
};

// An ERROR or WARNING about an object itself: it counts in the walk's result.
__attribute__((format(printf, 4, 5))) int note_object_error(Walk& w, const char* level,
                                                            const char* verbose, const char* format,
                                                            ...);
// What the walk knows of the object being processed, and what became of it, into the run's record.
void record_object(Walk& w, const ObjectFields& f, run_record::Outcome outcome,
                   std::vector<std::string> paths, const std::string* bucket = nullptr);
// The object being visited cannot be read: its block was found damaged (and reported, naming it).
void record_lost_object(Walk& w);
// Processes the object whose metadata starts at byte `o` of the block read last and is `length`
// bytes long: its list entry, or its two files. `*read_to_end` tells whether the tape stands at
// the end of the object's data (and, after the last object, at the end of its packed object).
int process_object(Walk& w, const char* filepath, uint64_t pr_file_offset, uint64_t o,
                   uint64_t length, bool* read_to_end);
// Writes the list entry of the object just processed (list making).
int write_list_entry(Walk& w, uint64_t block_number, uint64_t offset, uint64_t marker_len);

// Compares the data-partition copy of a label or commit marker with its cache file and checks the
// filemark behind it.
int compare_on_data_partition(Walk& w, MARKER_TYPE m_type, const std::string& file,
                              uint64_t read_size, const char* verbose, const char* missing_filemark,
                              bool inconsistency_is_fatal);

// Where a marker lies: its first block and the byte in it, where its copy lies in which partial
// reference file, and its length.
struct MarkerAddress {
  uint64_t block_number = 0;
  uint64_t offset = 0;
  uint64_t pr_file_num = 0;
  uint64_t pr_file_offset = 0;
  uint64_t length = 0;
};

}  // namespace walk

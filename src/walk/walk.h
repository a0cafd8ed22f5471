// The tape walk: the marker file cache and the walk over the reference partition, the addressing of
// every marker on the data partition, the comparison of the data partition with the cache, the
// extraction of objects and list entries, and the walk driver check_integrity.
//
// Everything a walk knows lives in one Walk, which the run driver builds from a Setup and passes to
// every step: the steps take it as their first parameter, and nothing of a walk is kept anywhere
// else. Two walks (two drives) may run in one process, each on a thread of its own.
//
// The passes, each in its own file:
//   walk/reference_partition.cpp  the marker cache and the reference partition (both passes), the
//                                  per-marker steps on either partition
//   walk/addressing.cpp           where every marker of the data partition lies, and which is next
//   walk/data_partition.cpp       the data partition compared with the cache, marker by marker
//   walk/extraction.cpp           objects into files or a store, list entries, packed objects
//   walk/saved_cache.cpp          the marker cache saved under the save path and restored from it
//   check_integriy.cpp            check_integrity and its loop over the data partition
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "scsi_util.h"
#include "support/safe_dir.h"
#include "vexa_format_checker.h"
#include "walk/bucket_names.h"
#include "walk/cache_file.h"
#include "walk/damage.h"
#include "walk/filter.h"
#include "walk/history.h"
#include "walk/list_files.h"
#include "walk/list_writer.h"
#include "walk/lost_places.h"
#include "walk/marker_index.h"
#include "walk/numbering.h"
#include "walk/save_layout.h"

namespace walk {

class ObjectSink;

// The objects a retrieval asks for: the chain of list records (in tape order) and their bucket.
struct Selection {
  object_list* objects = nullptr;
  std::string bucket;
};

// What the run driver decides before the tape is read.
struct Setup {
  Mode mode = Mode::unknown;
  // The save path as the user gave it. The walk enters it (as a SafeDir, never through a link
  // below it) when check_integrity begins: a dump makes it first.
  std::string save_path;
  Selection selection;         // a retrieval's objects
  Filter filter;               // what a dump or a list run writes
  ObjectSink* sink = nullptr;  // the store the objects go to; null: files under the save path
  int read_retries = 2;        // tries of an unreadable block after the first (--read-retries)
  HistoryClock history;  // when a dump records where it stands (-i); its save path is the walk's
};

// Where the last reference commit marker of a partition was found: its first block and the
// filemarks of the partition. It does not move while the run goes on.
struct LastRcmPlace {
  bool known = false;
  uint64_t block = 0;
  uint64_t filemarks = 0;
};

inline constexpr uint32_t kDefaultBlockSize = 1048576;

// One walk over one tape. The groups hold, by meaning, what the walk learns and carries from one
// step to the next; the comments name the walk's variables of old where a member is one of them.
class Walk {
 public:
  Walk(TapeDrive& drive, Setup setup);
  ~Walk();
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  TapeDrive& drive() { return drive_; }
  TapeCursor& cursor() { return drive_.cursor(); }
  Setup& setup() { return setup_; }
  const Setup& setup() const { return setup_; }
  bool mode_is(Mode mode) const { return setup_.mode == mode; }
  // Forgets what a walk over the data partition found, before the next one begins (the facts of
  // the tape and the cache policy stay).
  void begin_data_walk();

  // Facts of the tape, learnt from the reference partition and kept for the run.
  struct Tape {
    uint32_t block_size = kDefaultBlockSize;  // block_size
    uint64_t pr_num = 0;                      // pr_num
    uint64_t dp_rcm_block_number = 0;         // dp_rcm_block_number
    char barcode_id[9] = "null";              // barcode_id: the tape identifier
    LastRcmPlace last_rcm[2];                 // by partition
    DamageMap reference_damage;               // blocks of the reference partition found unreadable
    std::string bucket_list;                  // bucket_list_for_obj_r
  } tape;

  // How the marker file cache is used, which checks the walk makes, and the cache files open.
  struct Cache {
    int marker_file_flg = 0;        // marker_file_flg: the cache came from a saved copy
    int read_marker_file_flag = 1;  // read_marker_file_flag: markers are compared with the cache
    int sequential_read_flag = 1;   // sequential_read_flag: metadata must come in tape order
    int skip_0_padding_check_flag = 0;  // skip_0_padding_check_flag
    bool restored_differs = false;      // a restored cache file differed from the tape
    // Where the tape stood after the filemark that ended a label or commit marker, read by the
    // comparison: the check of that filemark that follows at once finds it proved.
    uint64_t filemark_read_at = UINT64_MAX;
    CacheFiles files;
  } cache;

  // The data partition: its markers, their places, its damage, the buckets its packed objects name.
  struct DataPartition {
    explicit DataPartition(CacheFiles& files) : index(files) {}
    MarkerIndex index;
    std::vector<PackedObjectPlace> places;
    DamageMap damage;
    BucketNames buckets;
  } data{cache.files};

  // Counters and offsets of the walk.
  struct Counts {
    uint64_t ocm_num = 0;  // ocm_num, po_num, meta_num: the totals
    uint64_t po_num = 0;
    uint64_t meta_num = 0;
    uint64_t last_data_offset = 0;       // last_data_offset: the end of the data area
    uint64_t last_meta_data_offset = 0;  // last_meta_data_offset
    uint64_t num_of_meta = 0;            // num_of_meta: objects of the packed object
    uint64_t num_of_meta_cnt = 0;        // num_of_meta_cnt: of them met so far
    uint64_t po_block_address = 0;       // po_block_address
    uint64_t chosen[7] = {};             // markers chosen so far per kind, for the trace
    uint64_t objects_met = 0;            // the progress
    uint64_t objects_total = 0;
    uint64_t bytes_met = 0;
    uint64_t bytes_total = 0;
    int object_errors = 0;  // findings about objects themselves count in the walk's result
    // Objects of a dump whose files were found in place: the first is named in a WARNING, the
    // others only in the trace, and the dump says how many at its end.
    uint64_t already_there = 0;
  } counts;

  // The packed object and the object in hand.
  struct InHand {
    char bucket_id[37] = "";          // bucket_id_for_obj_r
    std::string bucket_name;          // bucket_name_for_obj_r
    int savepath_dir_number = 1;      // savepath_dir_number, savepath_sub_dir_number: its bucket's
    int savepath_sub_dir_number = 1;  // numbered directory
    std::string list_entry;           // object_meta_for_json
    // The list entry written last: pre_bucket_name_for_obj_r, pre_savepath_dir_number.
    bool has_pre_list_entry = false;
    std::string pre_bucket_name;
    int pre_savepath_dir_number = 0;
    const object_list* expected = nullptr;  // the list record a retrieval is reading
    // Where the metadata lies in its packed object (from byte 32 of its first block), when known:
    // the data of the object may not run past the data area.
    bool meta_offset_known = false;
    uint64_t meta_offset = 0;
    uint64_t block = 0;  // of the metadata, and its byte there
    uint64_t offset = 0;
    uint64_t meta = UINT64_MAX;  // the object being visited, 0-based over the tape
    // The data of the last object was not read to its end, so the tape does not stand at the end
    // of its packed object when the next packed object or commit marker is due.
    bool po_tail_unread = false;
    bool marker_damaged = false;  // the marker being compared met damage
    bool object_damaged = false;  // the object being processed met damage
    bool record_later = false;    // its sink records the object when the store answers
    bool not_selected = false;    // the filter leaves it out: checked, neither written nor listed
    uint64_t meta_length = 0;     // of the metadata being visited
  } in_hand;

  // Where the objects and entries go.
  struct Output {
    SafeDir save_root;          // obj_reader_saveroot, entered
    std::string save_path;      // canonical, as the history records it
    std::string numbered_name;  // the numbered directory of the current bucket, entered
    SafeDir numbered;
    ListWriter lists;
    BucketInfo4ObjReader* numbering = nullptr;  // bucket_info_4_obj_reader
    // The place a dump recorded last (the counters of a packed object about to be checked, and the
    // numbering of the buckets then), for a stop.
    bool recorded = false;
    uint64_t recorded_counters[4] = {};
    HistoryKeys recorded_numbering;
    std::vector<LostPlace> lost_places;  // of the objects lost whose metadata's place is known
    size_t lost_places_kept = SIZE_MAX;  // of them, those the record holds (SIZE_MAX: not kept yet)
    // A resume: the objects (bucket, object ID) the record of lost places held when it began
    // (read at its first object), and those of them this run wrote after all: a dump stopped
    // after it recorded a loss but before its history moved past it meets them again.
    std::optional<std::set<std::pair<std::string, std::string>>> lost_before;
    std::set<std::pair<std::string, std::string>> recovered;
    uint64_t recorded_not_stored = 0;  // objects before that place not in the store
  } out;

 private:
  TapeDrive& drive_;
  Setup setup_;
};

// Waits until the objects handed to the walk's store, if it has one, are settled.
void settle_objects(Walk& walk);


// Records the places of the objects the walk lost, for a second pass, beside the tape's list
// files: a dump that resumes adds to the record, any other walk replaces it (none left: removed).
// An ERROR says why when it cannot be written.
void keep_lost_places(Walk& walk, const std::string& tape_id);

}  // namespace walk

using walk::Walk;

const char* get_marker_name(MARKER_TYPE m_type);
const char* get_partition_name(int which_partition);

// ---------------------------------------------------------------------------------------------
// The marker file cache and the reference partition (walk/reference_partition.cpp).

void set_marker_file_flg(Walk& walk, int mf_flg);
int get_marker_file_flg(Walk& walk);
int initialize_marker_files(Walk& walk);
// Removes the plain files of `directory_path` (ending with "/") whose names end with `ext`
// (every plain file when `ext` is null). A missing directory is not an error. A directory that is
// a symbolic link or not owned by the running user is refused (result 1, reported).
int delete_files_in_directory(const char* directory_path, const char* ext);
// With a restored marker cache (get_marker_file_flg() 1), a cache file is compared with the tape
// instead of written; one that differs takes the tape's bytes, and the walk's
// cache.restored_differs then tells.
int write_markers_to_file(Walk& walk, const char* filepath, int write_flg);
// The same into the file `name` of the directory `dir`, open already (the run's private
// temporary directory): never by a path built again.
int write_markers_into(Walk& walk, const SafeDir& dir, const std::string& name, int write_flg);
// A cache directory that holds anything but plain files ends the run.
void require_plain_cache(const SafeDir& dir);
int read_marker_file(Walk& walk, uint64_t str_size, uint64_t str_offset, const char* filepath,
                     char* str);
int check_fm_next_to_marker(Walk& walk, int pos, int own_flag);
int move_to_last_rcm(Walk& walk, const MamVci* mamvci, int which_partition, uint64_t* fileNumber);
int check_fm_num(uint64_t total_fm_num, uint64_t num_of_pr, uint64_t num_of_ocm);
int get_pr_num(Walk& walk, uint64_t* pr_num);

int check_vol1_label_integrity(Walk& walk, int which_partition);
int check_qrt_label_integrity(Walk& walk, int which_partition, const MamVci* mamvci,
                              const MamHta* mamhta, int write_flg);
int check_first_rcm_integrity(Walk& walk, int which_partition, const MamVci* mamvci,
                              const MamHta* mamhta);
int check_last_rcm_integrity(Walk& walk, int which_partition, const MamVci* mamvci,
                             const MamHta* mamhta, uint64_t* fileNumber);
int check_pr_integrity(Walk& walk, int which_partition, const MamVci* mamvci, int target_pr_num,
                       int last_flag);
int set_block_size(Walk& walk, const MamVci* mamvci, const MamHta* mamhta);
int check_reference_partition_lable(Walk& walk, const MamVci* mamvci, const MamHta* mamhta,
                                    uint64_t* total_fm_num_of_rp);

// ---------------------------------------------------------------------------------------------
// Addressing on the data partition (walk/addressing.cpp).

int get_ocm_po_meta_num(Walk& walk, int pr_num, uint64_t* ocm_num, uint64_t* po_num,
                        uint64_t* meta_num);
int get_address_of_pr(Walk& walk, int pr_num, uint64_t* block_number, uint64_t* offset);
int get_address_of_marker(Walk& walk, MARKER_TYPE m_type, uint64_t marker_num,
                          uint64_t* block_number, uint64_t* offset, uint64_t* pr_file_num,
                          uint64_t* pr_file_offset, uint64_t* marker_len);
int get_next_marker(Walk& walk, uint64_t pr_num, uint64_t ocm_num, uint64_t po_num,
                    uint64_t meta_num, uint64_t pr_max, uint64_t ocm_max, uint64_t po_max,
                    uint64_t meta_max, MARKER_TYPE* m_type);
int get_last_data_offset(Walk& walk, const char* filepath, uint64_t pr_file_offset,
                         uint64_t marker_len);

// ---------------------------------------------------------------------------------------------
// Verification of the data partition and extraction (walk/data_partition.cpp,
// walk/extraction.cpp), and the walk driver (check_integriy.cpp).

int check_diff_btwn_file_and_tape(Walk& walk, MARKER_TYPE m_type, const char* filepath,
                                  uint64_t read_size, uint64_t offset, uint64_t pr_file_offset);
int check_part_of_pr_integrity(Walk& walk, MARKER_TYPE m_type, uint64_t block_number,
                               uint64_t offset, uint64_t pr_file_num, uint64_t pr_file_offset,
                               uint64_t marker_len);

// Copies the whole packed object that starts at `block_address` into
// "<save path>/<pack id>.pack" (a retrieval with -L 1).
int extract_packed_object(Walk& walk, uint64_t block_address);

// The tape identifier: the VOL1 label's volume identifier and the two generation characters
// (9 bytes with the terminator). The walk names list files and history sections with it.
int get_tape_identifier(Walk& walk, char* tape_id);

// The walk of the job the setup names: a dump ("full_dump", "resume_dump"), a list run
// ("output_list") or a retrieval of the selected objects ("output_objects_in_object_list").
int check_integrity(Walk& walk, const MamVci* mamvci, const MamHta* mamhta);
// After the walk of a dump, once the copy of the marker cache is saved: the places of the objects
// it lost kept, then the history's record that the dump is complete. A dump killed before this
// is resumed, and never taken for complete while something it writes is missing.
int record_dump_complete(Walk& walk);

// ---------------------------------------------------------------------------------------------
// The marker cache saved under the save path (walk/saved_cache.cpp).

// Restores the saved marker cache of the tape whose barcode is `barcode_id` into the working cache,
// when there is one that may be this tape's: only the files of its names, and only plain files.
void restore_marker_cache(Walk& walk, const char* barcode_id);
// After the partial references were read with a restored cache: one that differed from the tape
// anywhere is not used, and the run goes on as a first run.
void drop_differing_cache(Walk& walk, const char* barcode_id);
// Saves the working marker cache under the save path for later runs on this tape.
int save_marker_cache(Walk& walk, const char* barcode_id);

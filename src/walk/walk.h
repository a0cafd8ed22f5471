// The tape walk: the marker file cache and the walk over the reference partition, the addressing of
// every marker on the data partition, the comparison of the data partition with the cache, the
// extraction of objects and list entries, and the walk driver check_integrity.
#pragma once

#include <cstdint>
#include <string>

#include "vexa_format_checker.h"
#include "walk/list_files.h"
#include "walk/history.h"

class SafeDir;
class TapeDrive;
struct HistoryClock;
HistoryClock& walk_history_clock();

void set_marker_file_flg(int mf_flg);
int get_marker_file_flg();
int initialize_marker_files();
// Removes the plain files of `directory_path` (ending with "/") whose names end with `ext`
// (every plain file when `ext` is null). A missing directory is not an error. A directory that is
// a symbolic link or not owned by the running user is refused (result 1, reported).
int delete_files_in_directory(const char* directory_path, const char* ext);
// With a restored marker cache (get_marker_file_flg() 1), a cache file is compared with the tape
// instead of written; one that differs takes the tape's bytes, and
// restored_marker_cache_differs() then tells.
int write_markers_to_file(const char* filepath, int write_flg);
bool restored_marker_cache_differs();
// How many times an unreadable block of the data partition is read again (located between tries)
// before it is taken as damage.
void set_read_retries(int retries);
// A cache directory that holds anything but plain files ends the run.
void require_plain_cache(const SafeDir& dir);
int read_marker_file(uint64_t str_size, uint64_t str_offset, const char* filepath, char* str);
int check_fm_next_to_marker(int pos, int own_flag);
int move_to_last_rcm(const MamVci* mamvci, int which_partition, uint64_t* fileNumber);
int check_fm_num(uint64_t total_fm_num, uint64_t num_of_pr, uint64_t num_of_ocm);
int get_pr_num(uint64_t* pr_num);
const char* get_marker_name(MARKER_TYPE m_type);
const char* get_partition_name(int which_partition);

int check_vol1_label_integrity(int which_partition);
int check_qrt_label_integrity(int which_partition, const MamVci* mamvci, const MamHta* mamhta,
                              int write_flg);
int check_first_rcm_integrity(int which_partition, const MamVci* mamvci, const MamHta* mamhta);
int check_last_rcm_integrity(int which_partition, const MamVci* mamvci, const MamHta* mamhta,
                             uint64_t* fileNumber);
int check_pr_integrity(int which_partition, const MamVci* mamvci, int target_pr_num, int last_flag);
int set_block_size(const MamVci* mamvci, const MamHta* mamhta);
int check_reference_partition_lable(const MamVci* mamvci, const MamHta* mamhta,
                                    uint64_t* total_fm_num_of_rp);

// Block size of the tape as the format label gives it (1048576 until then).
uint32_t get_block_size();
class TapeDrive;
struct HistoryClock;
HistoryClock& walk_history_clock();
void set_walk_drive(TapeDrive* drive);

// ---------------------------------------------------------------------------------------------
// Tape walk: addressing on the data partition, verification and extraction, the walk driver.

int get_ocm_po_meta_num(int pr_num, uint64_t* ocm_num, uint64_t* po_num, uint64_t* meta_num);
int get_address_of_pr(int pr_num, uint64_t* block_number, uint64_t* offset);
int get_address_of_marker(MARKER_TYPE m_type, uint64_t marker_num, uint64_t* block_number,
                          uint64_t* offset, uint64_t* pr_file_num, uint64_t* pr_file_offset,
                          uint64_t* marker_len);
int get_next_marker(uint64_t pr_num, uint64_t ocm_num, uint64_t po_num, uint64_t meta_num,
                    uint64_t pr_max, uint64_t ocm_max, uint64_t po_max, uint64_t meta_max,
                    MARKER_TYPE* m_type);
int get_last_data_offset(const char* filepath, uint64_t pr_file_offset, uint64_t marker_len);

int check_diff_btwn_file_and_tape(MARKER_TYPE m_type, const char* filepath, uint64_t read_size,
                                  uint64_t offset, uint64_t pr_file_offset);
int check_part_of_pr_integrity(MARKER_TYPE m_type, uint64_t block_number, uint64_t offset,
                               uint64_t pr_file_num, uint64_t pr_file_offset, uint64_t marker_len);

// The tape identifier: the VOL1 label's volume identifier and the two generation characters
// (9 bytes with the terminator). The walk names list files and history sections with it.
int get_tape_identifier(int fd, char* tape_id);

// Modes: "full_dump", "resume_dump", "output_list", "output_objects_in_object_list" (the last
// takes the object chain and the bucket name).
int check_integrity(const MamVci* mamvci, const MamHta* mamhta, const char* mode, int fd,
                    const char* save_path, const char* barcode_id, object_list* objects = nullptr,
                    const char* bucket_name = nullptr);

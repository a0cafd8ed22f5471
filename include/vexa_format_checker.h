// The format layer: the records of the cartridge memory and of the format's labels and markers,
// the names of the marker file cache, and the interfaces of the cartridge memory checks, the
// format checks, the identifier and time rules and the format's JSON (bucket list, metadata).
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "spti_lib.h"

// Flags of the run driver and the format checks.
enum Bool { False = 0, True = 1 };

// ---------------------------------------------------------------------------------------------
// Cartridge memory records.

// Decoded volume coherency information of one partition.
struct Data {
  uint64_t volume_change_ref;
  uint64_t pr_count;
  uint64_t rcm_block;
  char uuid[37];
  unsigned char version;
};

struct MamVci {
  char is_valid;
  struct Data Data;
};

struct MamHtaData {
  char application_vendor[9];
  char application_name[33];
  char application_version[9];
  char system_id[37];
  char volume_id[37];
  char pool_id[37];
  char pool_group_id[37];
  char barcode[33];
};

struct MamHta {
  char is_valid;
  struct MamHtaData Data;
};

typedef enum {
  VOL1_LABEL = 0,
  QRT_LABEL = 1,
  RCM = 2,
  PR = 3,
  OCM = 4,
  PO = 5,
  META = 6
} MARKER_TYPE;

typedef struct {
  int bucket_name_flag;
  int bucket_id_flag;
} BucketList;

typedef struct {
  char* vexa_version;
  char* format_time;
  char volume_uuid[37];
  char* creator;
  Bool exists_vexa_version;
  Bool exists_format_time;
  Bool exists_volume_uuid;
  Bool exists_creator;
} VEXALabel;

typedef struct {
  char object_id[37];
  uint64_t meta_data_offset;
  uint64_t object_data_offset;
  char* object_name;
  char* meta_name;
} VEXAObject;

// Marker identifiers: 32 bytes, blank-padded, no terminator in the marker.
inline constexpr const char LEVEL4_IDENTIFIER[] = "Quorrant 1.0 Level4             ";
inline constexpr const char LEVEL3_IDENTIFIER[] = "Quorrant 1.0 Level3             ";
inline constexpr const char LEVEL2_IDENTIFIER[] = "Quorrant 1.0 Level2             ";
inline constexpr const char LEVEL1_IDENTIFIER[] = "Quorrant 1.0 Level1             ";
inline constexpr size_t MARKER_IDENTIFIER_SIZE = 32;

inline constexpr const char NIL_UUID[] = "00000000-0000-0000-0000-000000000000";

// ---------------------------------------------------------------------------------------------
// Cartridge memory checks (check_medium_auxiliary_memory).

int clf_check_mam_coherency(const SCSI_DEVICE_PARAM* scparam, MamVci* mamvci, MamHta* mamhta);
int clf_check_mam_part(const SCSI_DEVICE_PARAM* scparam, const uint32_t part, MamVci* coh);
int clf_check_vci_acsi_length(const uint8_t* acsil);
int clf_check_vci_acsi(const uint8_t* acsi, MamVci* coh);
int clf_check_mam_vcr(const SCSI_DEVICE_PARAM* scparam, const MamVci* mamvci);
int clf_check_mam_hta(const SCSI_DEVICE_PARAM* scparam, const MamVci* mamvci, MamHta* mamhta);
int check_application_name(const MamHta* mamhta);
const char* clf_get_partition_name(const int part);

// ---------------------------------------------------------------------------------------------
// Format checks of labels and markers. Entry points used by the walk; each returns 0 or 1.

int clf_vol1_label();
int clf_vexa_label(const MamVci* mamvci, const MamHta* mamhta, uint32_t* block_size);
int check_block_size(const char* str_block_size, uint32_t* block_size);
int initialize_vexa_label(VEXALabel* label);
int destroy_vexa_label(VEXALabel* label);
int clf_reference_commit_marker(int which_rcm, const MamVci* mamvci, const MamHta* mamhta,
                                uint64_t pr_number);
int check_partial_reference(const char* filename);

// Internal steps of the format checks, exposed for the walk and for tests. Each one is handed
// the bytes it checks as a span and never reads outside it; `current_position` counts from the
// span's first byte and follows the sizes the marker declares, also past the end of the span
// (every read is bounds-checked, so such a position just finds nothing more to read). Counts
// that cannot fit in the bytes present are reported and only the entries present are read.

// Marker header and directory of the levels 4, 3 and 2 (check_marker_common).
int get_expected_value_of_header_size(const char* identifier, uint64_t* expected_value);
int get_expected_value_of_dir_size(const char* identifier, uint64_t* expected_value);
int check_dir_offset_of_header(const char* identifier, std::span<const uint8_t> buffer,
                               uint64_t* current_position, uint64_t* directory_offset);
int check_integrity_of_dir_offset(const char* identifier, uint64_t directory_offset,
                                  uint64_t data_offset, uint64_t num_of_marker);
// `mamhta` may be null (no comparison with the cartridge memory); `info_flag` 1 for an OCM info,
// which has no identifier. `data_length` receives the Level4 data length (RCM check only) or 0
// for a Level3/Level2 header, and is left untouched otherwise.
int clf_header(const char* identifier, std::span<const uint8_t> buffer, const MamHta* mamhta,
               int info_flag, uint64_t* current_position, uint64_t* num_of_marker,
               uint64_t* data_length);
// Number of directory entries of `identifier`'s level that the buffer holds from
// `current_position` on, at most `num_of_marker`: the size the caller gives `length` and
// `block_offset` (clf_directory ends the run when they are smaller).
uint64_t directory_entries_present(const char* identifier, std::span<const uint8_t> buffer,
                                   uint64_t current_position, uint64_t num_of_marker);
// `length` is filled for Levels 3 and 2 only (it may be empty for Level4).
int clf_directory(const char* identifier, std::span<const uint8_t> buffer,
                  uint64_t* current_position, uint64_t num_of_marker, std::span<uint64_t> length,
                  std::span<uint64_t> block_offset);
int check_block_offset(uint64_t pre_block_offset, uint64_t block_offset);
int check_offset_diff(uint64_t pre_block_offset, uint64_t block_offset, uint64_t pre_length_byte);

// Reference commit marker and its bucket list (check_marker_l4_rcm).
const char* get_rcm_name(int rcm);
int check_num_of_pr(int which_rcm, const uint64_t* rcm_number_of_partial_reference);
int check_data_length_of_bucket_list(int which_rcm, uint64_t rcm_data_length,
                                     const uint64_t* current_position, uint64_t dat_size);
int clf_rcm_bucket_list(std::span<const uint8_t> reference_commit_marker_buffer,
                        const uint64_t* current_position, uint64_t rcm_data_length);

// OCM info inside a partial reference (check_marker_l3_pt).
int check_ocm_info(std::span<const uint8_t> buffer, uint64_t* current_position, uint64_t length,
                   int ocm_info_num);

// Packed object info and object metadata (check_marker_l1_po). `objects` has room for the
// directory entries present: at most number of objects + 1, and no more than the buffer holds
// from the directory on (po_directory_entries_present).
int clf_packed_objects_info(const char* unpackedobjpath, std::span<const uint8_t> data_buf,
                            uint64_t* current_position, uint64_t po_info_length);
int cpof_po_header(std::span<const uint8_t> data_buf, uint64_t* current_position,
                   uint64_t* out_num_of_obj, uint64_t* po_header_length);
uint64_t po_directory_entries_present(std::span<const uint8_t> data_buf, uint64_t current_position,
                                      uint64_t num_of_obj);
int cpof_object_directory(std::span<const uint8_t> data_buf, uint64_t* current_position,
                          uint64_t poid_length, uint64_t po_header_length, uint64_t num_of_obj,
                          std::span<VEXAObject> objects);
int cpof_only_meta(std::span<const uint8_t> data_buf, uint64_t* current_position,
                   uint64_t num_of_obj, std::span<const VEXAObject> objects);

// Bucket and pool-group name rules.
int check_bucket_name(const char* bucket_name);
int check_pool_group_name(const char* pool_group_name);
int is_ip_address_format(const char* bucket_name);

// ---------------------------------------------------------------------------------------------
// Identifier and time format validation.

int check_uuid_version(const char* uuid, const char* owner, const char* location);
int check_uuid_variant(const char* uuid, const char* owner, const char* location);
int check_uuid_character(const char* uuid, const char* owner, const char* location);
int check_uuid_format(const char* uuid, const char* owner, const char* location);
int check_optional_uuid_format(const char* uuid, const char* owner, const char* location);
int check_utc_format(const char* utc);
double compare_time_string(const char* first_time_string, const char* second_time_string);

// ---------------------------------------------------------------------------------------------
// The JSON of the format: the bucket list and an object's metadata.

int extract_json_element(const char* json_data, const char* json_key, std::string& json_element);
int get_bucket_name(const char* bucket_list, const char* bucket_id, std::string& bucket_name);
// Any out-parameter may be null. Those given are cleared first, so a member the metadata lacks
// reads as empty (the size as 0); content_md5 is never written. Returns 1 when the metadata does
// not parse as a JSON object (no error is reported: the caller reports the object), or when its
// identifier could not be computed (reported); else 0.
int get_element_from_metadata(const char* meta_data, uint64_t* object_size, std::string* object_key,
                              std::string* object_id, std::string* last_modified,
                              std::string* version_id, std::string* content_md5);
// The object identifier: MD5 of the metadata with its double quotes removed and the blanks inside
// its strings collapsed, as 32 lower-case hexadecimal characters.
int get_hash(std::string_view meta_data, char* hash /* 33 bytes */);

// ---------------------------------------------------------------------------------------------
// The marker file cache: the exact bytes of each marker of the reference partition, one file a
// marker, which the format checks read and the walk writes and compares.

// Directory of the working marker cache, relative to the working directory, and the names of its
// files: the labels, the first and last reference commit markers, and "PR_" with the number of
// each partial reference.
inline constexpr char MARKER_CACHE_DIR[] = "reference_partition/";
inline constexpr char CACHE_VOL1_LABEL[] = "VOL1Label";
inline constexpr char CACHE_FORMAT_LABEL[] = "QRTLabel";
inline constexpr char CACHE_FIRST_RCM[] = "RCM_0";
inline constexpr char CACHE_LAST_RCM[] = "RCM_1";
inline constexpr char CACHE_PR_PREFIX[] = "PR_";
// The path of cache file `name`.
inline std::string marker_cache_file(std::string_view name) {
  return std::string(MARKER_CACHE_DIR).append(name);
}
// The path of the cache file of reference commit marker `which` (0 first, 1 last) and of
// partial reference `number`.
inline std::string rcm_cache_file(int which) {
  return marker_cache_file(which == 0 ? CACHE_FIRST_RCM : CACHE_LAST_RCM);
}
inline std::string pr_cache_file(uint64_t number) {
  return marker_cache_file(CACHE_PR_PREFIX) + std::to_string(number);
}

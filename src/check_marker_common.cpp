// Marker header and directory of the levels 4, 3 and 2: the layout rules that the reference
// commit marker, partial reference and OCM info checks share. Reports use the verbose string
// "default", so they carry the tag of the structure being checked (top verbose).
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "format_check_helpers.h"
#include "marker_layout.h"
#include "output_level.h"
#include "support/printable.h"
#include "vexa_format_checker.h"

using fmtcheck::add_sat;
using fmtcheck::begins_with_identifier;
using fmtcheck::bytes_left;
using fmtcheck::read_be64;

namespace {

// Header sizes as the directory offsets count them (from the identifier's end).
constexpr uint64_t kLevel4HeaderSize = marker_layout::kRcmDirectoryOffset;
constexpr uint64_t kLevel32HeaderSize = marker_layout::kLevel32DirectoryOffset;
constexpr uint64_t kLevel4EntrySize = marker_layout::kRcmEntrySize;
constexpr uint64_t kLevel32EntrySize = marker_layout::kLevel32EntrySize;
constexpr uint64_t kUuidSize = marker_layout::kUuidSize;
constexpr uint64_t kBlockBytes = marker_layout::kOverlapBlockBytes;

bool same_identifier(const char* identifier, const char* known) {
  return identifier != nullptr && std::memcmp(identifier, known, MARKER_IDENTIFIER_SIZE) == 0;
}

// The identifier found at the start of the buffer, as text (up to 32 bytes, cut at a NUL).
std::string leading_identifier(std::span<const uint8_t> buffer) {
  const size_t n = std::min<size_t>(buffer.size(), MARKER_IDENTIFIER_SIZE);
  std::string text(reinterpret_cast<const char*>(buffer.data()), n);
  return text.substr(0, text.find('\0'));
}

bool top_verbose_is_rcm() {
  const char* top = get_top_verbose();
  return top != nullptr && std::strcmp(top, VL_RCM) == 0;
}

// The Level4 identifiers: system, pool and pool group, read and checked (step 7 of the header).
int check_rcm_identifiers(std::span<const uint8_t> buffer, uint64_t* position,
                          uint64_t directory_offset, const MamHta* mamhta, char* system_id,
                          char* pool_id) {
  int ret = 0;
  char pool_group_id[37] = "";
  fmtcheck::unparse_uuid_at(buffer, *position, system_id);
  fmtcheck::unparse_uuid_at(buffer, *position + kUuidSize, pool_id);
  uint8_t raw_pool_group[kUuidSize];
  fmtcheck::copy_bytes(buffer, *position + 2 * kUuidSize, raw_pool_group, kUuidSize);
  const bool pool_group_zero = is_null_filled(raw_pool_group, kUuidSize) != 0;
  if (pool_group_zero) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                              "The format of pool group ID at RCM is not valid.\n");
  } else {
    uuid_unparse_lower(raw_pool_group, pool_group_id);
  }
  *position = add_sat(*position, 3 * kUuidSize);
  // A larger directory offset leaves a gap before the directory, which is skipped.
  if (directory_offset > kLevel4HeaderSize) {
    *position = add_sat(*position, directory_offset - kLevel4HeaderSize);
  }

  const bool mam_valid = mamhta != nullptr && mamhta->is_valid != 0;
  if (check_uuid_format(system_id, "System", "RCM Header") != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                              "The format of system ID at RCM is not correct.\n");
  }
  if (mam_valid) {
    const std::string mam_system = fmtcheck::field_text(mamhta->Data.system_id, 37);
    if (strcasecmp(system_id, mam_system.c_str()) != 0) {
      ret |= output_accdg_to_vl(
          LV_WARNING, VL_DEFAULT,
          "System ID in header is different from one in MAM Host-type "
          "Attributes.\n%sSystem ID in header:  %s\n%sSystem ID in MAM HTA: %s\n",
          INDENT, system_id, INDENT, mam_system.c_str());
    }
  }
  if (check_uuid_format(pool_id, "Pool", "RCM Header") != 0) {
    ret |=
        output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "The format of pool ID at RCM is not correct.\n");
  }
  if (!pool_group_zero) {
    if (check_optional_uuid_format(pool_group_id, "Pool Group", "RCM Header") != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                "The format of pool group ID at RCM is not correct.\n");
    }
    if (mam_valid) {
      const std::string mam_pool_group = fmtcheck::field_text(mamhta->Data.pool_group_id, 37);
      if (mam_pool_group != NIL_UUID && strcasecmp(pool_group_id, mam_pool_group.c_str()) != 0) {
        ret |= output_accdg_to_vl(LV_WARNING, VL_DEFAULT,
                                  "Pool Group ID in header is different from one in MAM Host-type "
                                  "Attributes.\n%sPool Group ID in header:  %s\n%sPool Group ID in "
                                  "MAM HTA: %s\n",
                                  INDENT, pool_group_id, INDENT, mam_pool_group.c_str());
      }
    }
  }
  if (mam_valid) {
    const std::string mam_pool = fmtcheck::field_text(mamhta->Data.pool_id, 37);
    if (strcasecmp(pool_id, mam_pool.c_str()) != 0) {
      ret |= output_accdg_to_vl(LV_WARNING, VL_DEFAULT,
                                "Pool ID in header is different from one in MAM Host-type "
                                "Attributes.\n%sPool ID in header:  %s\n%sPool ID in MAM HTA: %s\n",
                                INDENT, pool_id, INDENT, mam_pool.c_str());
    }
  }
  return ret;
}

// The identifier at the start of the marker; an OCM info carries none, so an empty line stands
// in its place.
int check_header_identifier(std::span<const uint8_t> marker, const char* identifier, bool info) {
  if (info || begins_with_identifier(marker, identifier)) {
    return output_accdg_to_vl(LV_INFO, VL_DEFAULT, "%s\n",
                              info ? "" : printable(leading_identifier(marker)).c_str());
  }
  return output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                            "Identifier format is not correct.\n%sActual format  :%s\n%sExpected "
                            "format:%s\n",
                            INDENT, printable(leading_identifier(marker)).c_str(), INDENT,
                            identifier);
}

// The layout of the header follows the identifier actually present: the RCM fields are read for
// a Level4 identifier under the RCM check only, and a Level3 or Level2 header has no data length.
int check_header_layout(std::span<const uint8_t> marker, const char* identifier,
                        bool* read_rcm_fields, uint64_t* data_length) {
  if (begins_with_identifier(marker, LEVEL4_IDENTIFIER)) {
    if (top_verbose_is_rcm()) {
      *read_rcm_fields = true;
      return 0;
    }
    return output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                              "Identifier format is not correct.\n%sActual format  :%s\n%sExpected "
                              "format:%s\n",
                              INDENT, LEVEL4_IDENTIFIER, INDENT, identifier);
  }
  if (begins_with_identifier(marker, LEVEL3_IDENTIFIER) ||
      begins_with_identifier(marker, LEVEL2_IDENTIFIER)) {
    *data_length = 0;
    return 0;
  }
  return output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                            "Identifier format is not correct.\n%sActual format  :%s\n%sExpected "
                            "format:UNKNOWN\n",
                            INDENT, identifier, INDENT);
}

// The numbers of a header, in the order stored after the identifier.
struct HeaderFields {
  uint64_t directory_offset = 0;
  uint64_t data_offset = 0;
  uint64_t data_length = 0;  // an RCM's only
  uint64_t number = 0;       // of markers in the directory
};

// Reads the numbers of a header (those a header cut short lacks read as 0) and checks the
// directory offset, and that the data offset follows the directory.
int read_header_fields(const char* identifier, std::span<const uint8_t> buffer,
                       bool read_rcm_fields, uint64_t* current_position, HeaderFields* fields) {
  int ret = 0;
  ret |=
      check_dir_offset_of_header(identifier, buffer, current_position, &fields->directory_offset);
  fields->data_offset = read_be64(buffer, *current_position);
  *current_position = add_sat(*current_position, 8);
  if (read_rcm_fields) {
    fields->data_length = read_be64(buffer, *current_position);
    *current_position = add_sat(*current_position, 8);
  }
  fields->number = read_be64(buffer, *current_position);
  *current_position = add_sat(*current_position, 8);
  ret |= check_integrity_of_dir_offset(identifier, fields->directory_offset, fields->data_offset,
                                       fields->number);
  return ret;
}

}  // namespace

int get_expected_value_of_header_size(const char* identifier, uint64_t* expected_value) {
  if (expected_value == nullptr) return 1;
  if (same_identifier(identifier, LEVEL4_IDENTIFIER)) {
    *expected_value = kLevel4HeaderSize;
    return 0;
  }
  if (same_identifier(identifier, LEVEL3_IDENTIFIER) ||
      same_identifier(identifier, LEVEL2_IDENTIFIER)) {
    *expected_value = kLevel32HeaderSize;
    return 0;
  }
  return 1;
}

int get_expected_value_of_dir_size(const char* identifier, uint64_t* expected_value) {
  if (expected_value == nullptr) return 1;
  if (same_identifier(identifier, LEVEL4_IDENTIFIER)) {
    *expected_value = kLevel4EntrySize;
    return 0;
  }
  if (same_identifier(identifier, LEVEL3_IDENTIFIER) ||
      same_identifier(identifier, LEVEL2_IDENTIFIER)) {
    *expected_value = kLevel32EntrySize;
    return 0;
  }
  return 1;
}

int check_dir_offset_of_header(const char* identifier, std::span<const uint8_t> buffer,
                               uint64_t* current_position, uint64_t* directory_offset) {
  *directory_offset = read_be64(buffer, *current_position);
  *current_position = add_sat(*current_position, 8);
  uint64_t expected = 0;
  int ret = get_expected_value_of_header_size(identifier, &expected);
  if (*directory_offset != expected) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                              "Directory_offset is not correct.\n%sActual value  :%lu\n%sExpected "
                              "value:%lu\n",
                              INDENT, *directory_offset, INDENT, expected);
  }
  return ret;
}

int check_integrity_of_dir_offset(const char* identifier, uint64_t directory_offset,
                                  uint64_t data_offset, uint64_t num_of_marker) {
  uint64_t entry_size = 0;
  get_expected_value_of_dir_size(identifier, &entry_size);
  // Computed without wrapping: a count so large that the sum overflows is never consistent.
  uint64_t directory_bytes = 0;
  uint64_t expected = 0;
  const bool overflow = __builtin_mul_overflow(num_of_marker, entry_size, &directory_bytes) ||
                        __builtin_add_overflow(directory_offset, directory_bytes, &expected);
  if (!overflow && data_offset == expected) return 0;
  return output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                            "Data offset, directory_offset and number of markers are not "
                            "consistent.\n%sActual value(Data offset)       :%lu\n%sActual "
                            "value(Directory offset)  :%lu\n%sActual value(Number of markers) "
                            ":%lu\n%sExpected value:(Data offset) = (Directory offset) + %i * "
                            "(Number of markers)\n",
                            INDENT, data_offset, INDENT, directory_offset, INDENT, num_of_marker,
                            INDENT, static_cast<int>(entry_size));
}

int clf_header(const char* identifier, std::span<const uint8_t> buffer, const MamHta* mamhta,
               int info_flag, uint64_t* current_position, uint64_t* num_of_marker,
               uint64_t* data_length) {
  output_accdg_to_vl(LV_TRACE, VL_DEFAULT, "start:clf_header: %s\n",
                     identifier != nullptr ? identifier : "");
  // An empty span may have no data pointer: it is a buffer of no bytes, not a null buffer.
  if (identifier == nullptr || (buffer.data() == nullptr && !buffer.empty()) ||
      current_position == nullptr || num_of_marker == nullptr || data_length == nullptr) {
    output_fatal(VL_DEFAULT,
                 "Invalid arguments at clf_header: identifier = %p, buffer = %p,mamhta = %p, "
                 "current_position = %p, num_of_marker = %p, data_length = %p\n",
                 static_cast<const void*>(identifier), static_cast<const void*>(buffer.data()),
                 static_cast<const void*>(mamhta), static_cast<void*>(current_position),
                 static_cast<void*>(num_of_marker), static_cast<void*>(data_length));
  }
  int ret = 0;
  const bool info = info_flag != 0;
  const uint64_t start = *current_position;
  const std::span<const uint8_t> marker = buffer.subspan(std::min<uint64_t>(start, buffer.size()));

  ret |= check_header_identifier(marker, identifier, info);
  // The layout follows the identifier actually present; an OCM info has the Level2 layout.
  bool read_rcm_fields = false;
  if (!info) ret |= check_header_layout(marker, identifier, &read_rcm_fields, data_length);

  // A header cut short: report it and read what is there (missing fields read as 0).
  const uint64_t header_size =
      (info ? 0 : MARKER_IDENTIFIER_SIZE) + 3 * 8 + (read_rcm_fields ? 8 + 3 * kUuidSize : 0);
  if (bytes_left(buffer, start) < header_size) {
    ret |= output_accdg_to_vl(
        LV_ERROR, VL_DEFAULT,
        "Marker header is shorter than its format.\n%sActual size  :%lu\n%sExpected "
        "size:%lu\n",
        INDENT, bytes_left(buffer, start), INDENT, header_size);
  }

  if (!info) *current_position = add_sat(*current_position, MARKER_IDENTIFIER_SIZE);
  HeaderFields fields;
  ret |= read_header_fields(identifier, buffer, read_rcm_fields, current_position, &fields);

  char system_id[37] = "";
  char pool_id[37] = "";
  if (read_rcm_fields) {
    ret |= check_rcm_identifiers(buffer, current_position, fields.directory_offset, mamhta,
                                 system_id, pool_id);
  }

  ret |= output_accdg_to_vl(LV_INFO, VL_DEFAULT,
                            "directory offset:%lu\n%sdata offset:%lu\n%sdata_length:%lu\n%snum of "
                            "marker:%lu\n%ssystem id:%s\n%spool id:%s\n",
                            fields.directory_offset, INDENT, fields.data_offset, INDENT,
                            fields.data_length, INDENT, fields.number, INDENT, system_id, INDENT,
                            pool_id);
  *num_of_marker = fields.number;
  if (read_rcm_fields) *data_length = fields.data_length;
  output_accdg_to_vl(LV_TRACE, VL_DEFAULT, "end  :clf_header: %s, number of markers=%lu\n",
                     identifier, fields.number);
  return ret;
}

uint64_t directory_entries_present(const char* identifier, std::span<const uint8_t> buffer,
                                   uint64_t current_position, uint64_t num_of_marker) {
  uint64_t entry_size = 0;
  if (get_expected_value_of_dir_size(identifier, &entry_size) != 0) return 0;
  return std::min(num_of_marker, bytes_left(buffer, current_position) / entry_size);
}

int check_block_offset(uint64_t pre_block_offset, uint64_t block_offset) {
  if (block_offset < pre_block_offset) return 0;
  return output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                            "Block offsets must be in descending order.\n%sPrevious block offset "
                            ":%lu\n%sPresent block offset  :%lu\n",
                            INDENT, pre_block_offset, INDENT, block_offset);
}

int check_offset_diff(uint64_t pre_block_offset, uint64_t block_offset, uint64_t pre_length_byte) {
  // Unsigned arithmetic, modulo 2^64: offsets that do not descend are the other rule's business.
  const uint64_t difference = (pre_block_offset - block_offset) * kBlockBytes;
  if (difference > pre_length_byte) return 0;
  return output_accdg_to_vl(
      LV_ERROR, VL_DEFAULT,
      "Adjacent markers overlap.\n%sDifference between block offsets of "
      "adjacent markers must bigger than the size of the marker.\n%sDifference "
      "between block offsets:%lu\n%sThe size of the marker          :%lu\n",
      INDENT, INDENT, difference, INDENT, pre_length_byte);
}

int clf_directory(const char* identifier, std::span<const uint8_t> buffer,
                  uint64_t* current_position, uint64_t num_of_marker, std::span<uint64_t> length,
                  std::span<uint64_t> block_offset) {
  output_accdg_to_vl(LV_TRACE, VL_DEFAULT, "start:clf_directory: %s, number of markers=%lu\n",
                     identifier != nullptr ? identifier : "", num_of_marker);
  bool has_length = false;
  if (same_identifier(identifier, LEVEL3_IDENTIFIER) ||
      same_identifier(identifier, LEVEL2_IDENTIFIER)) {
    has_length = true;
  } else if (!same_identifier(identifier, LEVEL4_IDENTIFIER)) {
    output_fatal(VL_DEFAULT, "Unknown identifier.\n");
  }
  const uint64_t entry_size = has_length ? kLevel32EntrySize : kLevel4EntrySize;
  const uint64_t present =
      current_position != nullptr
          ? directory_entries_present(identifier, buffer, *current_position, num_of_marker)
          : 0;
  if (current_position == nullptr || block_offset.size() < present ||
      (has_length && length.size() < present)) {
    output_fatal(VL_DEFAULT,
                 "Invalid arguments at clf_directory: current_position = %p, room for %zu "
                 "lengths and %zu block offsets, %lu entries to read\n",
                 static_cast<void*>(current_position), length.size(), block_offset.size(), present);
  }

  int ret = 0;
  if (present < num_of_marker) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                              "Number of markers does not fit in the directory.\n%sNumber of "
                              "markers        :%lu\n%sNumber of entries present:%lu\n",
                              INDENT, num_of_marker, INDENT, present);
  }
  uint64_t position = *current_position;
  for (uint64_t i = 0; i < present; ++i) {
    uint64_t entry_length = 0;
    if (has_length) {
      entry_length = read_be64(buffer, position);
      position += 8;
      length[i] = entry_length;
      output_accdg_to_vl(LV_DEBUG, VL_DEFAULT, "length:%lu\n", entry_length);
    }
    block_offset[i] = read_be64(buffer, position);
    position += 8;
    output_accdg_to_vl(LV_DEBUG, VL_DEFAULT, "block offset:%lu\n", block_offset[i]);
    if (i > 0) {
      const uint64_t previous_length = has_length ? length[i - 1] : 0;
      ret |= check_block_offset(block_offset[i - 1], block_offset[i]);
      ret |= check_offset_diff(block_offset[i - 1], block_offset[i], previous_length);
    }
  }
  // The position follows the declared number of entries.
  *current_position = add_sat(*current_position, fmtcheck::mul_sat(num_of_marker, entry_size));
  output_accdg_to_vl(LV_TRACE, VL_DEFAULT, "end  :clf_directory: %s\n", identifier);
  return ret;
}

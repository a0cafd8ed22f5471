// Reference commit marker (Level4) and its bucket list; the bucket and pool-group name rules.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "format_check_helpers.h"
#include "marker_layout.h"
#include "output_level.h"
#include "support/printable.h"
#include "vexa_format_checker.h"

// =============================================================================================
// Bucket and pool-group name rules
// =============================================================================================

namespace {

constexpr int kNameMin = 3;
constexpr int kNameMax = 63;

// One character of a name as a message shows it.
std::string shown(char c) { return c == '\0' ? std::string() : printable(std::string_view(&c, 1)); }

bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return is_lower(c) || is_upper(c); }

}  // namespace

int is_ip_address_format(const char* bucket_name) {
  std::vector<std::string_view> parts;
  std::string_view rest(bucket_name);
  while (!rest.empty()) {
    const size_t dot = rest.find('.');
    const std::string_view part = rest.substr(0, dot);
    if (!part.empty()) parts.push_back(part);
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  if (parts.size() != 4) return 0;
  for (std::string_view part : parts) {
    if (part.size() > 3) return 0;
    int value = 0;
    for (char c : part) {
      if (!is_digit(c)) return 0;
      value = value * 10 + (c - '0');
    }
    if (value > 255) return 0;
  }
  return 1;
}

int check_bucket_name(const char* bucket_name) {
  int ret = 0;
  const std::string_view name(bucket_name);
  const int length = static_cast<int>(name.size());
  if (length < kNameMin || length > kNameMax) {
    ret |= output_accdg_to_vl(
        LV_ERROR, VL_RCM,
        "Word count of bucket name is not correct.\n%sActual value  :%d\n%sExpected "
        "value:%d~%d\n",
        INDENT, length, INDENT, kNameMin, kNameMax);
  }
  const char first = name.empty() ? '\0' : name.front();
  if (!is_lower(first) && !is_digit(first)) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "Bucket name format is not correct.\n%sBucket name must start with "
                              "lowercase alphanumeric.\n%sActual value  :%s\n",
                              INDENT, INDENT, shown(first).c_str());
  }
  if (!name.empty() && !is_lower(name.back()) && !is_digit(name.back())) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "Bucket name format is not correct.\n%sBucket name must end with "
                              "lowercase alphanumeric.\n%sActual value  :%s\n",
                              INDENT, INDENT, shown(name.back()).c_str());
  }
  if (name.find("..") != std::string_view::npos) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "Bucket name format is not correct.\n%sBucket name cannot have "
                              "consecutive periods.\n%sActual name   :%s\n",
                              INDENT, INDENT, printable(name).c_str());
  }
  if (name.find(".-") != std::string_view::npos || name.find("-.") != std::string_view::npos) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "Bucket name format is not correct.\n%sBucket name cannot use dashes "
                              "adjacent to periods.\n%sActual name   :%s\n",
                              INDENT, INDENT, printable(name).c_str());
  }
  for (char c : name) {
    if (is_lower(c) || is_digit(c) || c == '-' || c == '.') continue;
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "Bucket name format is not correct.\n%sBucket name must consist of "
                              "lowercase alphanumeric, hyphen or dot.\n%sYou can not use '%s'.\n",
                              INDENT, INDENT, shown(c).c_str());
  }
  if (is_ip_address_format(bucket_name)) {
    ret |=
        output_accdg_to_vl(LV_ERROR, VL_RCM,
                           "Bucket name format is not correct.\n%sBucket name cannot be formatted "
                           "as an IP address.\n%sActual name   :%s\n",
                           INDENT, INDENT, printable(name).c_str());
  }
  return ret;
}

int check_pool_group_name(const char* pool_group_name) {
  int ret = 0;
  const std::string_view name(pool_group_name);
  const int length = static_cast<int>(name.size());
  if (length < kNameMin || length > kNameMax) {
    ret |= output_accdg_to_vl(
        LV_ERROR, VL_RCM,
        "Word count of pool group name is not correct.\n%sActual value  :%d\n%sExpected "
        "value:%d~%d\n",
        INDENT, length, INDENT, kNameMin, kNameMax);
  }
  const char first = name.empty() ? '\0' : name.front();
  if (!is_lower(first)) {
    ret |=
        output_accdg_to_vl(LV_ERROR, VL_RCM,
                           "Pool group name format is not correct.\n%sPool group name must start "
                           "with lowercase alphabets.\n%sActual value  :%s\n",
                           INDENT, INDENT, shown(first).c_str());
  }
  if (!name.empty() && !is_alpha(name.back()) && !is_digit(name.back())) {
    ret |= output_accdg_to_vl(
        LV_ERROR, VL_RCM,
        "Pool group name format is not correct.\n%sPool group name must end with "
        "alphabets or numbers.\n%sActual value  :%s\n",
        INDENT, INDENT, shown(name.back()).c_str());
  }
  for (char c : name) {
    if (is_alpha(c) || is_digit(c) || c == '-') continue;
    ret |= output_accdg_to_vl(
        LV_ERROR, VL_RCM,
        "Pool group name format is not correct.\n%sPool group name must consist "
        "of lower-case alphabets, upper-case alphabets, numbers or hyphens.\n%sYou "
        "can not use '%s'.\n",
        INDENT, INDENT, shown(c).c_str());
  }
  return ret;
}

// =============================================================================================
// Reference commit marker
// =============================================================================================

namespace {

constexpr size_t kRcmMaxBytes = marker_layout::kMaxRcmBytes;

// Flags of one bucket element, reset for every element.
int check_bucket_element(json_object* element) {
  int ret = 0;
  BucketList flags{};
  if (json_object_is_type(element, json_type_object)) {
    json_object_object_foreach(element, key, value) {
      const char* text = fmtcheck::json_text(value);
      ret |= output_accdg_to_vl(LV_INFO, VL_RCM, "%s: %s\n", printable(key).c_str(),
                                json_object_to_json_string(value));
      if (std::strcmp(key, "BucketID") == 0) {
        flags.bucket_id_flag = 1;
        ret |= check_uuid_format(text, "Bucket", "Reference Commit Marker Bucket List");
      } else if (std::strcmp(key, "BucketName") == 0) {
        flags.bucket_name_flag = 1;
        ret |= check_bucket_name(text);
      } else if (std::strncmp(key, "Vendor", 6) != 0) {
        ret |= output_accdg_to_vl(LV_ERROR, VL_RCM, "Undefined key :%s\n", printable(key).c_str());
      }
    }
  }
  if (flags.bucket_name_flag == 0 || flags.bucket_id_flag == 0) {
    ret |=
        output_accdg_to_vl(LV_ERROR, VL_RCM, "Required elements of the bucket list are missing.\n");
  }
  return ret;
}

}  // namespace

const char* get_rcm_name(int rcm) {
  switch (rcm) {
    case 0:
      return "First";
    case 1:
      return "Last";
    default:
      return "Unknown";
  }
}

int check_num_of_pr(int which_rcm, const uint64_t* rcm_number_of_partial_reference) {
  if ((which_rcm != 0 && which_rcm != 1) || rcm_number_of_partial_reference == nullptr) {
    output_fatal(VL_DEFAULT,
                 "Invalid arguments at check_num_of_pr: which_rcm = %d, "
                 "rcm_number_of_partial_reference = %p\n",
                 which_rcm, static_cast<const void*>(rcm_number_of_partial_reference));
  }
  if (which_rcm != 0 || *rcm_number_of_partial_reference == 0) return 0;
  return output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                            "Number of partial reference of first rcm is not correct.\n%sActual "
                            "value  :%lu\n%sExpected value:%d\n",
                            INDENT, *rcm_number_of_partial_reference, INDENT, 0);
}

int check_data_length_of_bucket_list(int which_rcm, uint64_t rcm_data_length,
                                     const uint64_t* current_position, uint64_t dat_size) {
  if ((which_rcm != 0 && which_rcm != 1) || current_position == nullptr) {
    output_fatal(VL_DEFAULT,
                 "Invalid arguments at check_data_length_of_bucket_list: which_rcm = %d\n",
                 which_rcm);
  }
  // Both sides as signed values: a directory that claims more than the file holds leaves a
  // negative size for the bucket list.
  const uint64_t position = *current_position;
  const int64_t actual =
      position <= dat_size
          ? static_cast<int64_t>(std::min<uint64_t>(dat_size - position, INT64_MAX))
          : -static_cast<int64_t>(std::min<uint64_t>(position - dat_size, INT64_MAX));
  if (position <= dat_size && dat_size - position == rcm_data_length) return 0;
  return output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                            "Data length defined at rcm header is not the same as actual size of "
                            "System info.\n%sActual size(data length) :%ld\n%sActual size(bucket "
                            "list) :%ld\n",
                            INDENT, static_cast<int64_t>(rcm_data_length), INDENT, actual);
}

int clf_rcm_bucket_list(std::span<const uint8_t> reference_commit_marker_buffer,
                        const uint64_t* current_position, uint64_t rcm_data_length) {
  if (rcm_data_length == 0) {
    return output_accdg_to_vl(LV_INFO, VL_RCM, "Bucket list is empty.\n");
  }
  // Only the bytes present are taken: a data length past the end of the marker has already been
  // reported by the data-length rule.
  const uint64_t position = current_position != nullptr ? *current_position : 0;
  const uint64_t length =
      std::min(rcm_data_length, fmtcheck::bytes_left(reference_commit_marker_buffer, position));
  auto text = fmtcheck::allocate_array<char>(length + 1, "bucket list");
  if (length > 0) std::memcpy(text.get(), reference_commit_marker_buffer.data() + position, length);
  // Parsed as it stands; only a text that does not parse is tried with apostrophes for quotes.
  fmtcheck::JsonPtr parsed(json_tokener_parse(text.get()));
  if (!json_object_is_type(parsed.get(), json_type_object)) {
    auto reformed = fmtcheck::allocate_array<char>(length + 1, "bucket list");
    str_replace(text.get(), "\"", "'", reformed.get());
    parsed.reset(json_tokener_parse(reformed.get()));
  }
  if (!json_object_is_type(parsed.get(), json_type_object)) {
    return output_accdg_to_vl(LV_ERROR, VL_RCM, "Bucket list is not complying with JSON format.\n");
  }

  int ret = 0;
  json_object_object_foreach(parsed.get(), key, value) {
    ret |= output_accdg_to_vl(LV_INFO, VL_RCM, "%s: %s\n", printable(key).c_str(),
                              json_object_to_json_string(value));
    if (std::strcmp(key, "PoolGroupName") == 0) {
      ret |= check_pool_group_name(fmtcheck::json_text(value));
    }
    if (json_object_is_type(value, json_type_array)) {
      const size_t count = json_object_array_length(value);
      for (size_t i = 0; i < count; ++i) {
        ret |= check_bucket_element(json_object_array_get_idx(value, i));
      }
    }
  }
  return ret;
}

int clf_reference_commit_marker(int which_rcm, const MamVci* mamvci, const MamHta* mamhta,
                                uint64_t /*pr_number*/) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:clf_reference_commit_marker: Level 4 (%s)\n",
                     get_rcm_name(which_rcm));
  set_top_verbose(VL_RCM);
  if (mamvci == nullptr || mamhta == nullptr) {
    output_fatal(VL_MISC, "Null pointer is detected at clf_reference_commit_marker");
  }
  const std::string filename = rcm_cache_file(which_rcm);
  FILE* fp = fmtcheck::open_from_start(filename.c_str());
  auto buffer = fmtcheck::allocate_array<uint8_t>(kRcmMaxBytes, "reference commit marker");
  const size_t data_size = clf_read_file(buffer.get(), 1, kRcmMaxBytes, fp);
  const std::span<const uint8_t> marker(buffer.get(), data_size);

  int ret = 0;
  uint64_t position = 0;
  uint64_t number_of_pr = 0;
  uint64_t data_length = 0;
  if (clf_header(LEVEL4_IDENTIFIER, marker, mamhta, 0, &position, &number_of_pr, &data_length) !=
      0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "Reference commit marker header format is not correct.\n");
  }
  if (which_rcm == 1 && mamvci->is_valid != 0 && mamvci->Data.pr_count != number_of_pr) {
    ret |= output_accdg_to_vl(LV_WARNING, VL_RCM,
                              "Number of Partial Reference is inconsistent. RCM: %lu, MAM: %lu\n",
                              number_of_pr, mamvci->Data.pr_count);
  }
  ret |= check_num_of_pr(which_rcm, &number_of_pr);

  // Room for every entry the marker holds, whatever count the caller expected.
  const uint64_t entries =
      directory_entries_present(LEVEL4_IDENTIFIER, marker, position, number_of_pr);
  auto rcm_pr_blocks = fmtcheck::allocate_array<uint64_t>(entries, "partial reference blocks");
  if (clf_directory(LEVEL4_IDENTIFIER, marker, &position, number_of_pr, {},
                    {rcm_pr_blocks.get(), entries}) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "Partial reference directory format is not correct.\n");
  }
  ret |= check_data_length_of_bucket_list(which_rcm, data_length, &position, data_size);
  if (clf_rcm_bucket_list(marker, &position, data_length) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM, "Bucket list format is not correct.\n");
  }

  set_top_verbose(VL_DEFAULT);
  if (ret == 0) {
    output_accdg_to_vl(LV_INFO, VL_RCM, "[SUCCESS] Reference commit marker is correct.\n");
  }
  clf_close_file(fp);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :clf_reference_commit_marker: Level 4 (%s)\n",
                     get_rcm_name(which_rcm));
  return ret;
}

// Reference commit marker (Level4) and its bucket list; the bucket and pool-group name rules.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "output_level.h"
#include "vexa_format_checker.h"

// =============================================================================================
// Bucket and pool-group name rules
// =============================================================================================

namespace {

constexpr int kNameMin = 3;
constexpr int kNameMax = 63;

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
                              "lowercase alphanumeric.\n%sActual value  :%c\n",
                              INDENT, INDENT, first);
  }
  if (!name.empty() && !is_lower(name.back()) && !is_digit(name.back())) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "Bucket name format is not correct.\n%sBucket name must end with "
                              "lowercase alphanumeric.\n%sActual value  :%c\n",
                              INDENT, INDENT, name.back());
  }
  if (name.find("..") != std::string_view::npos) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "Bucket name format is not correct.\n%sBucket name cannot have "
                              "consecutive periods.\n%sActual name   :%s\n",
                              INDENT, INDENT, bucket_name);
  }
  if (name.find(".-") != std::string_view::npos || name.find("-.") != std::string_view::npos) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "Bucket name format is not correct.\n%sBucket name cannot use dashes "
                              "adjacent to periods.\n%sActual name   :%s\n",
                              INDENT, INDENT, bucket_name);
  }
  for (char c : name) {
    if (is_lower(c) || is_digit(c) || c == '-' || c == '.') continue;
    ret |= output_accdg_to_vl(LV_ERROR, VL_RCM,
                              "Bucket name format is not correct.\n%sBucket name must consist of "
                              "lowercase alphanumeric, hyphen or dot.\n%sYou can not use '%c'.\n",
                              INDENT, INDENT, c);
  }
  if (is_ip_address_format(bucket_name)) {
    ret |=
        output_accdg_to_vl(LV_ERROR, VL_RCM,
                           "Bucket name format is not correct.\n%sBucket name cannot be formatted "
                           "as an IP address.\n%sActual name   :%s\n",
                           INDENT, INDENT, bucket_name);
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
                           "with lowercase alphabets.\n%sActual value  :%c\n",
                           INDENT, INDENT, first);
  }
  if (!name.empty() && !is_alpha(name.back()) && !is_digit(name.back())) {
    ret |= output_accdg_to_vl(
        LV_ERROR, VL_RCM,
        "Pool group name format is not correct.\n%sPool group name must end with "
        "alphabets or numbers.\n%sActual value  :%c\n",
        INDENT, INDENT, name.back());
  }
  for (char c : name) {
    if (is_alpha(c) || is_digit(c) || c == '-') continue;
    ret |= output_accdg_to_vl(
        LV_ERROR, VL_RCM,
        "Pool group name format is not correct.\n%sPool group name must consist "
        "of lower-case alphabets, upper-case alphabets, numbers or hyphens.\n%sYou "
        "can not use '%c'.\n",
        INDENT, INDENT, c);
  }
  return ret;
}

// =============================================================================================
// Reference commit marker
// =============================================================================================

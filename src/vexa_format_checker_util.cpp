// Identifier and time format validation, and the JSON of the format: the bucket list's names and
// an object's metadata, with the object identifier computed from it.
#include <json-c/json.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "output_level.h"
#include "support/printable.h"
#include "vexa_format_checker.h"

// =============================================================================================
// Identifier and time format validation
// =============================================================================================

namespace {

constexpr size_t kUuidLength = 36;
constexpr int kHyphenPositions[] = {8, 13, 18, 23};

// Deviations read from the cartridge memory are warnings; on tape they are errors. Every caller
// names the location, which the messages print.
const char* uuid_severity(const char* location) {
  static constexpr char kMam[] = "Medium Auxiliary Memory";
  return std::strncmp(location, kMam, sizeof(kMam) - 1) == 0 ? LV_WARNING : LV_ERROR;
}

// The character at `pos`, or the terminator when the text ends before it.
char uuid_char_at(const char* uuid, size_t pos) {
  return strnlen(uuid, kUuidLength) > pos ? uuid[pos] : '\0';
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A character of a text from the tape or the cartridge memory, as a message shows it.
std::string shown(char c) { return c == '\0' ? std::string() : printable(std::string_view(&c, 1)); }

}  // namespace

int check_uuid_version(const char* uuid, const char* owner, const char* location) {
  const char found = uuid_char_at(uuid, 14);
  if (found == '4') return 0;
  return output_accdg_to_vl(uuid_severity(location), VL_DEFAULT,
                            "%s UUID (%s) version %s in %s should be %c.\n", owner,
                            printable(uuid).c_str(), shown(found).c_str(), location, '4');
}

int check_uuid_variant(const char* uuid, const char* owner, const char* location) {
  static constexpr char kVariants[] = "89ABab";
  const char found = uuid_char_at(uuid, 19);
  if (found != '\0' && std::strchr(kVariants, found) != nullptr) return 0;
  return output_accdg_to_vl(uuid_severity(location), VL_DEFAULT,
                            "%s UUID (%s) value %s which include variants in %s should be one of "
                            "\"%s\".\n",
                            owner, printable(uuid).c_str(), shown(found).c_str(), location,
                            kVariants);
}

int check_uuid_character(const char* uuid, const char* owner, const char* location) {
  int ret = 0;
  const size_t length = strnlen(uuid, kUuidLength);
  for (size_t pos = 0; pos < length; ++pos) {
    const char c = uuid[pos];
    if (is_hex_digit(c)) continue;
    bool hyphen_place = false;
    for (int h : kHyphenPositions) hyphen_place |= (static_cast<size_t>(h) == pos);
    if (c == '-' && hyphen_place) continue;
    ret |= output_accdg_to_vl(uuid_severity(location), VL_DEFAULT,
                              "%s UUID (%s) format in %s is not correct.\n%sYou can not use "
                              "character '%s'.\n",
                              owner, printable(uuid).c_str(), location, INDENT, shown(c).c_str());
  }
  // A text that ends early: its terminator is reported once, never the bytes behind it.
  if (length < kUuidLength) {
    ret |= output_accdg_to_vl(uuid_severity(location), VL_DEFAULT,
                              "%s UUID (%s) format in %s is not correct.\n%sYou can not use "
                              "character '\\x00'.\n",
                              owner, printable(uuid).c_str(), location, INDENT);
  }
  return ret;
}

int check_uuid_format(const char* uuid, const char* owner, const char* location) {
  int ret = 0;
  ret |= check_uuid_version(uuid, owner, location);
  ret |= check_uuid_variant(uuid, owner, location);
  ret |= check_uuid_character(uuid, owner, location);
  return ret;
}

int check_optional_uuid_format(const char* uuid, const char* owner, const char* location) {
  static constexpr char kZeroFilled[] =
      "The format of Pool Group ID is not correct.It can not be zero filled.\n";
  int ret = 0;
  if (uuid[0] == '\0') ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT, kZeroFilled);
  if (std::strcmp(uuid, NIL_UUID) == 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT, kZeroFilled);
  } else {
    ret |= check_uuid_format(uuid, owner, location);
  }
  return ret;
}

int check_utc_format(const char* utc) {
  constexpr int kLength = 27;
  const size_t length = std::strlen(utc);
  if (length != kLength) {
    return output_accdg_to_vl(
        LV_ERROR, VL_LABEL,
        "Length of Time format is not correct.\n%sActual value  : %d\n%sExpected "
        "value: %d\n",
        INDENT, static_cast<int>(length), INDENT, kLength);
  }
  for (int pos = 0; pos < kLength; ++pos) {
    const char c = utc[pos];
    switch (pos) {
      case 4:
      case 7:
        if (c != '-')
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\"-\" does not exist at Byte %d or %d.\n",
                                    4, 7);
        break;
      case 10:
        if (c != 'T')
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\"T\" does not exist at Byte %d.\n", 10);
        break;
      case 13:
      case 16:
        if (c != ':')
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\":\" does not exist at Byte %d or %d.\n",
                                    13, 16);
        break;
      case 19:
        if (c != '.')
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\".\" does not exist at Byte %d.\n", 19);
        break;
      case 26:
        if (c != 'Z')
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\"Z\" does not exist at Byte %d.\n", 26);
        break;
      default:
        if (!is_digit(c)) {
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "No digit [%s] is found at Byte %d.\n",
                                    shown(c).c_str(), pos);
        }
        break;
    }
  }
  return 0;
}

double compare_time_string(const char* first_time_string, const char* second_time_string) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start  :compare_time_string\n");
  auto to_time = [](const char* text) {
    tm broken{};
    strptime(text, "%Y-%m-%dT%H:%M:%S.", &broken);
    broken.tm_isdst = 0;
    return mktime(&broken);
  };
  const double diff = difftime(to_time(first_time_string), to_time(second_time_string));
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :compare_time_string\n");
  return diff;
}

// =============================================================================================
// The JSON of the format
// =============================================================================================

namespace {

struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};
using JsonRef = std::unique_ptr<json_object, JsonPut>;

// Parses a JSON text as it stands. Only a text that does not parse is read the older way, with
// every double quote replaced by an apostrophe (json-c's default parser accepts apostrophe-quoted
// strings): the replaced text of valid JSON fails as soon as a key or value holds an apostrophe,
// while valid JSON that parsed the older way gives the same values as it stands.
JsonRef parse_json_text(const char* text) {
  JsonRef parsed(json_tokener_parse(text));
  if (parsed != nullptr) return parsed;
  std::string replaced(text);
  std::replace(replaced.begin(), replaced.end(), '"', '\'');
  return JsonRef(json_tokener_parse(replaced.c_str()));
}

// The value of the member `key` of `object`, serialised as compact JSON; the last member of that
// name wins. False when the object has no such member.
bool serialised_member(json_object* object, const char* key, std::string& value) {
  if (object == nullptr || !json_object_is_type(object, json_type_object)) return false;
  bool found = false;
  json_object_object_foreach(object, name, member) {
    if (std::strcmp(name, key) == 0) {
      value = json_object_to_json_string_ext(member, JSON_C_TO_STRING_PLAIN);
      found = true;
    }
  }
  return found;
}

// The text whose digest is the object identifier. The identifier has always been the MD5 of what
// `echo -n "<metadata>"` prints: the metadata's own double quotes end and restart the quoting, so
// they vanish, the stretches between them that lie outside JSON strings stay as they are, and the
// contents of the JSON strings, unquoted to that command, are split into words at blanks, tabs and
// line feeds and joined again with single blanks. The same text is built here without running
// anything, so identifiers of existing list files and object files stay the same.
std::string identifier_text(std::string_view meta_data) {
  std::string text;
  text.reserve(meta_data.size());
  bool in_string = false;  // between an opening and a closing double quote of the metadata
  bool in_blanks = false;  // inside a run of blanks of a string's contents
  for (const char c : meta_data) {
    if (c == '"') {
      in_string = !in_string;
      in_blanks = false;
      continue;
    }
    if (in_string && (c == ' ' || c == '\t' || c == '\n')) {
      if (!in_blanks) text += ' ';
      in_blanks = true;
      continue;
    }
    in_blanks = false;
    text += c;
  }
  return text;
}

}  // namespace

int extract_json_element(const char* json_data, const char* json_key, std::string& json_element) {
  if (json_data == nullptr || json_key == nullptr) return 0;
  const JsonRef parsed = parse_json_text(json_data);
  std::string value;
  if (serialised_member(parsed.get(), json_key, value)) json_element = value;
  return 0;
}

int get_bucket_name(const char* bucket_list, const char* bucket_id, std::string& bucket_name) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_bucket_name\n");
  if (bucket_list != nullptr && bucket_id != nullptr) {
    const std::string wanted = std::string("\"") + bucket_id + "\"";
    const JsonRef list = parse_json_text(bucket_list);
    const size_t count =
        json_object_is_type(list.get(), json_type_array) ? json_object_array_length(list.get()) : 0;
    for (size_t i = 0; i < count; ++i) {
      json_object* element = json_object_array_get_idx(list.get(), i);
      std::string id;
      if (!serialised_member(element, "BucketID", id) || id != wanted) continue;
      std::string name;
      if (serialised_member(element, "BucketName", name)) {
        // The serialised name without its quotes.
        bucket_name = name.size() >= 2 ? name.substr(1, name.size() - 2) : std::string();
      }
      break;
    }
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end:get_bucket_name\n");
  return 0;
}

int get_element_from_metadata(const char* meta_data, uint64_t* object_size, std::string* object_key,
                              std::string* object_id, std::string* last_modified,
                              std::string* version_id, std::string* /*content_md5*/) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_element_from_metadata\n");
  // Nothing of an earlier object may stay behind: a member the metadata lacks reads as empty.
  if (object_size != nullptr) *object_size = 0;
  for (std::string* text : {object_key, object_id, last_modified, version_id}) {
    if (text != nullptr) text->clear();
  }
  if (meta_data == nullptr) return 1;
  const JsonRef parsed = parse_json_text(meta_data);
  if (!json_object_is_type(parsed.get(), json_type_object)) {
    // The caller reports the object with its position on tape and goes on with the next one.
    output_accdg_to_vl(LV_TRACE, VL_MISC, "The metadata is not a JSON object.\n");
    return 1;
  }
  int ret = 0;
  json_object_object_foreach(parsed.get(), name, member) {
    const std::string_view key(name);
    if (key == "Size") {
      if (object_size != nullptr)
        *object_size = static_cast<uint64_t>(json_object_get_int64(member));
    } else if (key == "Key") {
      // A key keeps every byte, a zero byte included, so that such a key can be refused rather
      // than taken for the text before the zero.
      if (object_key != nullptr) {
        *object_key = json_object_is_type(member, json_type_string)
                          ? std::string(json_object_get_string(member),
                                        static_cast<size_t>(json_object_get_string_len(member)))
                          : json_object_get_string(member);
      }
    } else if (key == "VendorHalveronMetadata") {
      if (object_id != nullptr) {
        char hash[33] = "";
        ret |= get_hash(meta_data, hash);
        *object_id = hash;
      }
    } else if (key == "LastModifiedTime") {
      if (last_modified != nullptr) *last_modified = json_object_get_string(member);
    } else if (key == "Version") {
      if (version_id != nullptr) *version_id = json_object_get_string(member);
    }
  }
  return ret;
}

int get_hash(std::string_view meta_data, char* hash) {
  hash[0] = '\0';
  const std::string text = identifier_text(meta_data);
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  if (context == nullptr || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), text.data(), text.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest, &digest_length) != 1 || digest_length != 16) {
    return output_accdg_to_vl(LV_ERROR, VL_COMMON,
                              "Failed to compute the MD5 digest of the metadata.\n");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned int i = 0; i < digest_length; ++i) {
    hash[2 * i] = kHex[digest[i] >> 4];
    hash[2 * i + 1] = kHex[digest[i] & 0x0f];
  }
  hash[2 * digest_length] = '\0';
  return 0;
}

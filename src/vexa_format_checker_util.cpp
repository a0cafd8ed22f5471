// Support library of the format checks: identifier and time validation, list-file writer and JSON
// helpers, progress history, save-path layout and local file helpers, tape generation.
#include <dirent.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "output_level.h"
#include "support/atomic_file.h"
#include "support/safe_dir.h"
#include "support/unique_fd.h"
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

}  // namespace

int check_uuid_version(const char* uuid, const char* owner, const char* location) {
  const char found = uuid_char_at(uuid, 14);
  if (found == '4') return 0;
  return output_accdg_to_vl(uuid_severity(location), VL_DEFAULT,
                            "%s UUID (%s) version %c in %s should be %c.\n", owner, uuid, found,
                            location, '4');
}

int check_uuid_variant(const char* uuid, const char* owner, const char* location) {
  static constexpr char kVariants[] = "89ABab";
  const char found = uuid_char_at(uuid, 19);
  if (found != '\0' && std::strchr(kVariants, found) != nullptr) return 0;
  return output_accdg_to_vl(uuid_severity(location), VL_DEFAULT,
                            "%s UUID (%s) value %c which include variants in %s should be one of "
                            "\"%s\".\n",
                            owner, uuid, found, location, kVariants);
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
                              "character '%c'.\n",
                              owner, uuid, location, INDENT, c);
  }
  // A text that ends early: its terminator is reported once, never the bytes behind it.
  if (length < kUuidLength) {
    ret |= output_accdg_to_vl(uuid_severity(location), VL_DEFAULT,
                              "%s UUID (%s) format in %s is not correct.\n%sYou can not use "
                              "character '%c'.\n",
                              owner, uuid, location, INDENT, '\0');
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
          const char text[2] = {c, '\0'};
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "No digit [%s] is found at Byte %d.\n",
                                    text, pos);
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

int is_null_filled(const void* buffer, size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] != 0) return 0;
  }
  return 1;
}

// =============================================================================================
// Object list-file writer and JSON helpers
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

// True when the entry text already holds a member named `key`. Members start the entry text or
// follow the ",\n" that separates them, so a value that merely contains the name does not count.
bool entry_has_member(const std::string& entry, const char* key) {
  const std::string member = std::string("\"") + key + "\":";
  return entry.starts_with(member) || entry.find(",\n" + member) != std::string::npos;
}

void append_member(std::string& entry, const std::string& member) {
  if (!entry.empty()) entry += ",\n";
  entry += member;
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

int make_key_str_value_pairs(std::string& json_obj, const char* key, const char* value) {
  int ret = output_accdg_to_vl(LV_TRACE, VL_MISC, "start:make_key_value_pairs\n");
  if (entry_has_member(json_obj, key)) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "The key(%s) is duplicated.\n", key);
  }
  // The value is a JSON string: quotes, backslashes and control characters are escaped, so that
  // no text from a tape can end the entry or the line early.
  const JsonRef text(json_object_new_string(value != nullptr ? value : ""));
  append_member(json_obj,
                std::string("\"") + key + "\":" +
                    json_object_to_json_string_ext(
                        text.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE));
  return ret;
}

int make_key_ulong_int_value_pairs(std::string& json_obj, const char* key, uint64_t value) {
  int ret = output_accdg_to_vl(LV_TRACE, VL_MISC, "start:make_key_ulong_int_value_pairs\n");
  if (entry_has_member(json_obj, key)) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "The key(%s) is duplicated.\n", key);
  }
  // Numbers have always been written as signed decimals; the list reader takes them back to the
  // same unsigned value.
  append_member(json_obj,
                std::string("\"") + key + "\":" + std::to_string(static_cast<int64_t>(value)));
  return ret;
}

int add_key_value_pairs_to_array_in_json_file(int new_list_flag, FILE* fp_list,
                                              const char* json_path,
                                              const std::string& key_value_pairs) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:add_key_value_pairs_to_array_in_json_file\n");
  if (fp_list == nullptr || json_path == nullptr) {
    output_fatal(VL_MISC,
                 "Invalid argument at add_key_value_pairs_to_array_in_json_file. fp_list or "
                 "json_path is NULL.\n");
    return 1;
  }
  make_parent_dir(json_path);
  const std::string head = new_list_flag == 1 ? "{\n\"ObjectList\":[\n{\n" : ",\n{\n";
  const std::string text = head + key_value_pairs + "\n}\n";
  // Each entry reaches the file whole before the walk goes on, so a list run that stops early
  // leaves complete entries, and a full disk is noticed at the entry it hits.
  const bool written =
      std::fwrite(text.data(), 1, text.size(), fp_list) == text.size() && std::fflush(fp_list) == 0;
  if (!written) {
    output_fatal(VL_MISC, "Failed to output %s.Disk space is likely to insufficient.\n", json_path);
  }
  return 0;
}

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

// =============================================================================================
// Progress history
// =============================================================================================

namespace {

// Run-wide values registered by the run driver and read by the progress history.
char obj_save_path[4097] = "";
time_t lap_start = 0;
time_t lap_end = 0;
uint32_t history_interval = 0;

constexpr const char* kHistoryPath = HISTORY_PATH;
constexpr const char* kHistoryKeys[] = {"PR", "OCM", "PO", "Object number"};
constexpr size_t kIniValueSize = 256;

// A line that opens a section: "[" and the name, then "]". The name must be the wanted one
// exactly: a tape whose identifier is the beginning of another tape's must not take that tape's
// section (the identifier is six characters when the drive reports no generation).
bool is_wanted_section(const std::string& line, const char* section) {
  if (line.empty() || line[0] != '[') return false;
  std::string_view name(line);
  name.remove_prefix(1);
  if (name.ends_with(']')) name.remove_suffix(1);
  return name == section;
}

bool is_key_line(const std::string& line, const char* key) {
  return line.starts_with(key) && line.size() > std::strlen(key) && line[std::strlen(key)] == '=';
}

int ini_open_error(const std::string& path) {
  return output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "fopen error(%s).\n", path.c_str());
}

// The whole text of the history file, read without following a link: a link in its place is
// refused (the program never writes through one). False when the file does not exist or cannot be
// read (errno set).
bool read_history_text(const char* ini_path, std::string* text) {
  text->clear();
  support::UniqueFd fd(open(ini_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ELOOP) refuse_directory(SafeDir::Refusal::link, ini_path);
    return false;
  }
  char buffer[65536];
  ssize_t n = 0;
  while ((n = read(fd.get(), buffer, sizeof(buffer))) > 0) text->append(buffer, n);
  return n == 0;
}

int write_history_text(const char* ini_path, const std::string& text);

// Write mode of read_or_write_ini: the file's text with the key set in the section is written
// under a temporary name beside it and then replaces it in one rename, so an interruption never
// leaves a half-written history behind.
int write_ini_key(const char* ini_path, const char* section, const char* key, const char* value) {
  std::string old_text;
  // A history that does not exist yet reads as empty.
  if (!read_history_text(ini_path, &old_text) && errno != ENOENT) return ini_open_error(ini_path);
  std::istringstream in(old_text);
  std::ostringstream out;
  const std::string key_line = std::string(key) + "=" + value + "\n";
  enum class Place { kBefore, kInSection, kAfter } place = Place::kBefore;
  bool key_written = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;  // empty lines are dropped
    switch (place) {
      case Place::kBefore:
        out << line << '\n';
        if (is_wanted_section(line, section)) place = Place::kInSection;
        break;
      case Place::kInSection:
        if (line[0] == '[') {
          if (!key_written) out << key_line;
          key_written = true;
          out << line << '\n';
          place = Place::kAfter;
        } else if (is_key_line(line, key)) {
          out << key_line;
          key_written = true;
        } else {
          out << line << '\n';
        }
        break;
      case Place::kAfter:
        out << line << '\n';
        break;
    }
  }
  if (place == Place::kBefore) out << '[' << section << "]\n" << key_line;
  if (place == Place::kInSection && !key_written) out << key_line;
  return write_history_text(ini_path, out.str());
}

// Read mode of read_or_write_ini: the rest of the key line after "=", with its line feed, cut to
// the caller's 256-byte buffer. Nothing is written.
int read_ini_key(const char* ini_path, const char* section, const char* key, char* value) {
  std::string text;
  if (!read_history_text(ini_path, &text)) return ini_open_error(ini_path);
  std::istringstream in(text);
  bool in_section = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (!in_section) {
      in_section = is_wanted_section(line, section);
      continue;
    }
    if (line[0] == '[') break;
    if (is_key_line(line, key)) {
      std::string found = line.substr(std::strlen(key) + 1);
      if (!in.eof()) found += '\n';
      const size_t length = std::min(found.size(), kIniValueSize - 1);
      std::memcpy(value, found.data(), length);
      value[length] = '\0';
      return 0;
    }
  }
  if (!in_section) {
    output_accdg_to_vl(LV_TRACE, VL_MISC, "section(%s) not found.\n", section);
  } else {
    output_accdg_to_vl(LV_TRACE, VL_MISC, "key(%s) is not found at the section(%s).\n", key,
                       section);
  }
  return 0;
}

// Writes `text` as the new history file: under a temporary name beside it, then renamed.
int write_history_text(const char* ini_path, const std::string& text) {
  AtomicFile file;
  if (!file.open(ini_path)) return ini_open_error(ini_path);
  if (!file.write(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())) ||
      !file.commit()) {
    return ini_open_error(file.temp_path());
  }
  return 0;
}

// A history value: decimal digits only, up to the end of its line; false for anything else (no
// digits, other characters behind them, a value that overflows).
bool parse_counter(const char* text, uint64_t* counter) {
  const char* end = text + std::strlen(text);
  if (end != text && end[-1] == '\n') --end;
  const auto [stop, error] = std::from_chars(text, end, *counter);
  return error == std::errc() && stop != text && stop == end;
}

}  // namespace

void set_obj_save_path(const char* save_path) {
  std::strncpy(obj_save_path, save_path, sizeof(obj_save_path) - 1);
  obj_save_path[sizeof(obj_save_path) - 1] = '\0';
}

void set_lap_start(time_t lap_s) { lap_start = lap_s; }

void set_history_interval(uint32_t history_i) { history_interval = history_i; }

int get_interval(long* interval) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_interval\n");
  lap_end = std::time(nullptr);
  *interval = static_cast<long>(lap_end - lap_start);
  if (*interval > static_cast<long>(history_interval)) lap_start = lap_end;
  return 0;
}

int output_history(const char* tape_id, uint64_t pr_cnt, uint64_t ocm_cnt, uint64_t po_cnt,
                   uint64_t obj_cnt, const HistoryKeys* more) {
  long interval = 0;
  int ret = get_interval(&interval);
  const bool time_is_up = interval >= static_cast<long>(history_interval);
  if (!time_is_up && check_disk_space(obj_save_path, 0) == 0) return ret;

  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:output_history\n");
  const uint64_t counters[] = {pr_cnt, ocm_cnt, po_cnt, obj_cnt};
  if (more != nullptr) {
    // The whole section in one rewrite: the counters, then the further keys.
    HistoryKeys keys;
    for (size_t i = 0; i < std::size(kHistoryKeys); ++i) {
      keys.emplace_back(kHistoryKeys[i], std::to_string(counters[i]));
    }
    keys.insert(keys.end(), more->begin(), more->end());
    ret |= write_history_section(tape_id, keys);
  }
  for (size_t i = 0; more == nullptr && i < std::size(kHistoryKeys); ++i) {
    char value[kIniValueSize];
    std::snprintf(value, sizeof(value), "%lu", static_cast<unsigned long>(counters[i]));
    ret |= read_or_write_ini(1, kHistoryPath, tape_id, kHistoryKeys[i], value);
  }
  // Written because the disk is filling up: stop here, the history is where -r resumes.
  if (!time_is_up) output_fatal(VL_COMMON, "No disk space(%s).\n", obj_save_path);
  return ret;
}

// Returns 1 when there is no history to resume from: no history file, no section for the tape,
// or a section that lacks one of the four counters or holds 0 or no number for one (counters
// start at 1). A walk that resumed from counters of 0 would start nowhere sensible, so all of
// these end the resume the same way as a missing file.
int get_history(const char* tape_id, uint64_t* pr_cnt, uint64_t* ocm_cnt, uint64_t* po_cnt,
                uint64_t* obj_cnt) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_history\n");
  struct stat status {};
  if (lstat(kHistoryPath, &status) != 0) return 1;
  uint64_t counters[std::size(kHistoryKeys)] = {};
  for (size_t i = 0; i < std::size(kHistoryKeys); ++i) {
    char value[kIniValueSize] = {};
    read_or_write_ini(0, kHistoryPath, tape_id, kHistoryKeys[i], value);
    if (!parse_counter(value, &counters[i]) || counters[i] == 0) return 1;
  }
  *pr_cnt = counters[0];
  *ocm_cnt = counters[1];
  *po_cnt = counters[2];
  *obj_cnt = counters[3];
  return 0;
}

int write_history_section(const char* tape_id, const HistoryKeys& keys) {
  std::string old_text;
  if (!read_history_text(kHistoryPath, &old_text) && errno != ENOENT) {
    return ini_open_error(kHistoryPath);
  }
  std::istringstream in(old_text);
  std::ostringstream out;
  bool in_section = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line[0] == '[') in_section = is_wanted_section(line, tape_id);
    if (!in_section) out << line << '\n';
  }
  out << '[' << tape_id << "]\n";
  for (const auto& [key, value] : keys) out << key << '=' << value << '\n';
  return write_history_text(kHistoryPath, out.str());
}

bool read_history_section(const char* tape_id, HistoryKeys* keys) {
  keys->clear();
  std::string text;
  if (!read_history_text(kHistoryPath, &text)) return false;
  std::istringstream in(text);
  bool in_section = false;
  bool found = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line[0] == '[') {
      in_section = is_wanted_section(line, tape_id);
      found = found || in_section;
      continue;
    }
    const size_t equals = line.find('=');
    if (in_section && equals != std::string::npos) {
      keys->emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
  }
  return found;
}

int read_or_write_ini(int rw, const char* ini_path, const char* section, const char* key,
                      char* value) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:read_or_write_ini\n");
  if (ini_path == nullptr || section == nullptr || key == nullptr || value == nullptr) {
    output_fatal(VL_MISC, "Invalid argument at read_or_write_ini.\n");
    return 1;
  }
  return rw == 1 ? write_ini_key(ini_path, section, key, value)
                 : read_ini_key(ini_path, section, key, value);
}

// =============================================================================================
// Save-path layout and local file helpers
// =============================================================================================

namespace {

// Two file slots: a stream stays open until its slot is opened for another name.
struct FileSlot {
  FILE* stream = nullptr;
  std::string name;
};
FileSlot file_slots[2];

}  // namespace

FILE* open_file(const char* filename, const char* mode, int index) {
  if (filename == nullptr || mode == nullptr) {
    output_fatal(VL_MISC, "Invalid argument at open_file. filename %d and/or mode %d is NULL.\n",
                 filename == nullptr ? 0 : 1, mode == nullptr ? 0 : 1);
  }
  if (index != 0 && index != 1) {
    output_fatal(VL_MISC, "Invalid argument at open_file. index %d should be 0 or 1.\n", index);
  }
  FileSlot& slot = file_slots[index];
  if (slot.stream != nullptr && slot.name == filename) {
    // The same stream serves the same name, as long as the name still refers to the file the
    // stream has open: a cache file removed and written again is opened afresh.
    struct stat named {};
    struct stat open_one {};
    if (stat(filename, &named) == 0 && fstat(fileno(slot.stream), &open_one) == 0 &&
        named.st_dev == open_one.st_dev && named.st_ino == open_one.st_ino) {
      return slot.stream;
    }
  }
  if (slot.stream != nullptr) {
    if (std::fclose(slot.stream) != 0) {
      slot.stream = nullptr;
      output_fatal(VL_MISC, "Failed to close file. error=%s\n", std::strerror(errno));
    }
    slot.stream = nullptr;
  }
  slot.name = filename;
  slot.stream = std::fopen(filename, mode);
  if (slot.stream == nullptr) {
    const int error = errno;
    slot.name.clear();
    output_fatal(VL_MISC, "Failed to open file. path=%s, mode=%s, error=%s\n", filename, mode,
                 std::strerror(error));
  }
  return slot.stream;
}

FILE* clf_open_file(const char* filename, const char* mode) { return open_file(filename, mode, 0); }
FILE* clf_open_alt_file(const char* filename, const char* mode) {
  return open_file(filename, mode, 1);
}

// Streams stay open in their slots; closing is the slot's business.
int clf_close_file(FILE* /*fp*/) { return 0; }

size_t clf_read_file(void* buffer, size_t size, size_t count, FILE* fp) {
  const size_t read_count = std::fread(buffer, size, count, fp);
  if (std::feof(fp)) {
    std::clearerr(fp);
  } else if (std::ferror(fp)) {
    output_fatal(VL_MISC, "Failed to read file. error=%s\n", std::strerror(errno));
  }
  return read_count;
}

int clf_check_read_data(size_t read_count, size_t expected_count, const char* what,
                        const char* filename) {
  if (read_count >= expected_count) return 0;
  output_fatal(VL_MISC, "Failed to read %s from file %s.\n", what, filename);
}

void* clf_allocate_memory(size_t size, const char* what) {
  void* memory = std::calloc(size == 0 ? 1 : size, 1);
  if (memory == nullptr) {
    output_fatal(VL_MISC, "Failed to allocate %zu bytes for %s.\n", size, what);
  }
  return memory;
}

void free_safely(char** text) {
  if (text == nullptr) return;
  std::free(*text);
  *text = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Directories

int mk_a_dir(const char* path) {
  struct stat status {};
  if (stat(path, &status) == 0) return 0;
  if (mkdir(path, 0777) != 0 && errno != EEXIST) {
    output_fatal(VL_MISC, "Failed to make directory.\n");
  }
  return 0;
}

int mk_deep_dir(const char* filepath) {
  int ret = 0;
  const std::string path(filepath);
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ret |= mk_a_dir(path.substr(0, slash).c_str());
  }
  if (ret != 0) ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "stat_mkdir error.\n");
  return ret;
}

int extract_dir_path(const char* filepath, std::string& dir_path) {
  const std::string_view path(filepath);
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    return output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "filename only.\n");
  }
  dir_path.assign(path.substr(0, slash));
  return 0;
}

int make_parent_dir(const char* filepath) {
  const std::string_view path(filepath);
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return 0;
  return mk_a_dir(std::string(path.substr(0, slash)).c_str());
}

std::string temporary_directory() {
  const char* base = std::getenv("TMPDIR");
  std::string dir = base != nullptr && base[0] == '/' ? base : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir != "/") dir += '/';
  return dir + "object_reader-" + std::to_string(geteuid()) + "/";
}

// ---------------------------------------------------------------------------------------------
// Appending writer for object data and metadata

int write_object_and_meta_to_file(const char* path, const void* data, uint64_t str_offset,
                                  uint64_t object_size) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:write_object_and_meta_to_file(%s)\n", path);
  make_parent_dir(path);
  FILE* file = std::fopen(path, "ab");
  if (file == nullptr) output_fatal(VL_DEFAULT, "Can't open file: %s\n", path);
  bool written = true;
  if (object_size != 0) {
    written =
        std::fwrite(static_cast<const uint8_t*>(data) + str_offset, object_size, 1, file) == 1;
  }
  // A failed close loses buffered bytes just as a failed write does.
  written = (std::fclose(file) == 0) && written;
  if (!written) {
    output_fatal(VL_MISC, "Failed to output %s.Disk space is likely to insufficient.\n", path);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Copy of a directory tree

int cp_dir(const char* from, const char* to) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::copy_options options = fs::copy_options::recursive |
                                   fs::copy_options::overwrite_existing |
                                   fs::copy_options::copy_symlinks;
  const std::string_view source(from);
  if (source.size() >= 2 && source.substr(source.size() - 2) == "/*") {
    // The contents of a directory, each entry copied into the destination directory.
    const fs::path dir(std::string(source.substr(0, source.size() - 2)));
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      fs::copy(it->path(), fs::path(to) / it->path().filename(), options, ec);
      if (ec) break;
    }
  } else {
    fs::path target(to);
    if (fs::is_directory(target, ec)) target /= fs::path(from).filename();
    fs::copy(from, target, options, ec);
  }
  if (ec) {
    output_fatal(VL_MISC, "Failed to copy (%s) to (%s).\n", from, to);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Per-bucket directory numbering

namespace {

constexpr int kObjectsPerSubDir = 1000;
constexpr int kMaxDirNumber = MAX_DIR_NUMBER;

bool path_exists(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0;
}

BucketInfo4ObjReader* find_bucket(BucketInfo4ObjReader* list, const char* bucket_name) {
  for (; list != nullptr; list = list->next) {
    if (std::strcmp(list->bucket_name, bucket_name) == 0) return list;
  }
  return nullptr;
}

}  // namespace

int add_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info, const char* bucket_name,
                                 int obj_reader_saved_counter, int savepath_dir_number,
                                 int savepath_sub_dir_number) {
  if (bucket_info == nullptr || bucket_name == nullptr) return 0;
  if (find_bucket(*bucket_info, bucket_name) != nullptr) return 0;
  auto* record = static_cast<BucketInfo4ObjReader*>(
      clf_allocate_memory(sizeof(BucketInfo4ObjReader), "bucket information"));
  std::strncpy(record->bucket_name, bucket_name, sizeof(record->bucket_name) - 1);
  record->obj_reader_saved_counter = obj_reader_saved_counter;
  record->savepath_dir_number = savepath_dir_number;
  record->savepath_sub_dir_number = savepath_sub_dir_number;
  BucketInfo4ObjReader** tail = bucket_info;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = record;
  return 0;
}

int initialize_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info,
                                        const char* obj_reader_saveroot) {
  DIR* dir = opendir(obj_reader_saveroot);
  if (dir == nullptr) {
    return output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "scandir error(%s).\n", obj_reader_saveroot);
  }
  int ret = 0;
  char path[4097 + 300];
  for (const dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    const char* name = entry->d_name;
    // "." and ".." are the save root and its parent, never a bucket.
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    for (int j = kMaxDirNumber; j >= 1; --j) {
      std::snprintf(path, sizeof(path), "%s/%s/%04d", obj_reader_saveroot, name, j);
      if (!path_exists(path)) continue;
      int found_sub = 0;
      for (int k = kMaxDirNumber; k >= 1 && found_sub == 0; --k) {
        std::snprintf(path, sizeof(path), "%s/%s/%04d/%04d", obj_reader_saveroot, name, j, k);
        if (path_exists(path)) found_sub = k;
      }
      if (found_sub != 0) {
        ret |= add_bucket_info_4_obj_reader(bucket_info, name, kObjectsPerSubDir, j, found_sub);
        break;
      }
    }
  }
  closedir(dir);
  return ret;
}

int update_bucket_info_4_obj_reader(BucketInfo4ObjReader* bucket_info) {
  int ret = 0;
  if (bucket_info->obj_reader_saved_counter >= kObjectsPerSubDir) {
    bucket_info->obj_reader_saved_counter = 0;
    if (bucket_info->savepath_sub_dir_number < kMaxDirNumber) {
      bucket_info->savepath_sub_dir_number += 1;
    } else {
      bucket_info->savepath_sub_dir_number = 1;
      if (bucket_info->savepath_dir_number < kMaxDirNumber) {
        bucket_info->savepath_dir_number += 1;
      } else {
        if (bucket_info->savepath_dir_number == kMaxDirNumber) {
          ret |= output_accdg_to_vl(LV_ERROR, VL_COMMON,
                                    "The maximum number of files that can be saved in the "
                                    "bucket(%s) has been exceeded.\n",
                                    bucket_info->bucket_name);
        }
        bucket_info->savepath_dir_number = kMaxDirNumber + 1;
        bucket_info->savepath_sub_dir_number = kMaxDirNumber;
        bucket_info->obj_reader_saved_counter = kObjectsPerSubDir - 1;
      }
    }
  }
  bucket_info->obj_reader_saved_counter += 1;
  return ret;
}

int get_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info, const char* bucket_name,
                                 int* savepath_dir_number, int* savepath_sub_dir_number) {
  if (bucket_info == nullptr || bucket_name == nullptr) return 0;
  BucketInfo4ObjReader* record = find_bucket(*bucket_info, bucket_name);
  if (record == nullptr) return 0;
  const int ret = update_bucket_info_4_obj_reader(record);
  *savepath_dir_number = record->savepath_dir_number;
  *savepath_sub_dir_number = record->savepath_sub_dir_number;
  return ret;
}

void free_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info) {
  if (bucket_info == nullptr) return;
  while (*bucket_info != nullptr) {
    BucketInfo4ObjReader* next = (*bucket_info)->next;
    std::free(*bucket_info);
    *bucket_info = next;
  }
}

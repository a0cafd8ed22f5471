// List files: the entries a list run writes, and reading them back for a retrieval.
#include <dirent.h>
#include <json-c/json.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "output_level.h"
#include "support/file_helpers.h"
#include "vexa_format_checker.h"
#include "walk/list_files.h"
#include "support/file_failure.h"

// =============================================================================================
// Entries of list files
// =============================================================================================

namespace {

struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};
using JsonRef = std::unique_ptr<json_object, JsonPut>;

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
  if (!written) output_write_failed(json_path, errno);
  return 0;
}

// =============================================================================================
// List files: reading and completing
// =============================================================================================

namespace {

// Values of one list entry as read, whole, from its member lines.
struct ListEntry {
  std::string key;
  std::string size;
  std::string last_modified;
  std::string version_id;
  std::string content_md5;
  std::string object_id;
  std::string block_address;
  std::string offset;
  std::string meta_size;
  std::string text;  // the entry's member lines, for reading it as JSON
};

// Reads the entry's members as JSON, unescaping its texts. An entry that does not parse (one
// written by an earlier version, whose keys were not escaped) keeps the values of its lines.
void read_entry_as_json(ListEntry& entry) {
  struct JsonPut {
    void operator()(json_object* object) const { json_object_put(object); }
  };
  const std::string document = "{" + entry.text + "}";
  std::unique_ptr<json_object, JsonPut> parsed(json_tokener_parse(document.c_str()));
  if (parsed == nullptr || !json_object_is_type(parsed.get(), json_type_object)) return;
  static constexpr std::pair<const char*, std::string ListEntry::*> kMembers[] = {
      {"object_key", &ListEntry::key},
      {"size", &ListEntry::size},
      {"last_modified", &ListEntry::last_modified},
      {"version_id", &ListEntry::version_id},
      {"content_md5", &ListEntry::content_md5},
      {"object_id", &ListEntry::object_id},
      {"block_address", &ListEntry::block_address},
      {"offset", &ListEntry::offset},
      {"meta_size", &ListEntry::meta_size},
  };
  for (const auto& [name, field] : kMembers) {
    json_object* member = nullptr;
    if (!json_object_object_get_ex(parsed.get(), name, &member)) continue;
    if (json_object_is_type(member, json_type_string)) {
      entry.*field = std::string(json_object_get_string(member),
                                 static_cast<size_t>(json_object_get_string_len(member)));
    } else {
      entry.*field = json_object_to_json_string_ext(member, JSON_C_TO_STRING_PLAIN);
    }
  }
}

// The value of a member line: the text after the member's prefix (and, for strings, after the
// opening quote), without the trailing comma and, for strings, the closing quote.
std::string member_value(std::string_view line, std::string_view prefix, bool is_string) {
  if (line.ends_with(',')) line.remove_suffix(1);
  if (is_string && line.ends_with('"')) line.remove_suffix(1);
  const size_t start = prefix.size() + (is_string ? 1 : 0);
  return start < line.size() ? std::string(line.substr(start)) : std::string();
}

// Numbers of a list file are signed decimals of unsigned values (a value above the signed range
// shows as negative); both read back to the unsigned value. Anything else reads as 0.
uint64_t list_number(const std::string& text) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (!text.empty() && text[0] == '-') {
    int64_t value = 0;
    const auto [stop, error] = std::from_chars(first, last, value);
    return error == std::errc() && stop == last ? static_cast<uint64_t>(value) : 0;
  }
  uint64_t value = 0;
  const auto [stop, error] = std::from_chars(first, last, value);
  return error == std::errc() && stop == last ? value : 0;
}

// Copies at most the field's size less one bytes and terminates the field.
template <size_t N>
void copy_to_field(char (&field)[N], const std::string& text) {
  const size_t length = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

object_list* make_record(const ListEntry& entry) {
  auto* record = static_cast<object_list*>(clf_allocate_memory(sizeof(object_list), "object list"));
  copy_to_field(record->key, entry.key);
  copy_to_field(record->id, entry.object_id);
  copy_to_field(record->verson_id, entry.version_id);
  copy_to_field(record->last_mod_date, entry.last_modified);
  copy_to_field(record->md5, entry.content_md5);
  record->size = list_number(entry.size);
  record->metadata_size = list_number(entry.meta_size);
  record->meta_offset = list_number(entry.offset);
  record->data_offset = record->meta_offset;
  record->block_address = list_number(entry.block_address);
  return record;
}

// Reduces the chain to its latest version. Of equal times the one listed first stays.
void keep_latest(object_list** objects) {
  object_list* latest = *objects;
  for (object_list* record = latest->next; record != nullptr; record = record->next) {
    if (compare_time_string(record->last_mod_date, latest->last_mod_date) > 0) latest = record;
  }
  for (object_list* record = *objects; record != nullptr;) {
    object_list* next = record->next;
    if (record != latest) std::free(record);
    record = next;
  }
  latest->next = nullptr;
  *objects = latest;
}

}  // namespace

void sort_in_tape_order(object_list** objects) {
  std::vector<object_list*> records;
  for (object_list* record = *objects; record != nullptr; record = record->next) {
    records.push_back(record);
  }
  std::stable_sort(records.begin(), records.end(), [](const object_list* a, const object_list* b) {
    return std::pair(a->block_address, a->meta_offset) <
           std::pair(b->block_address, b->meta_offset);
  });
  object_list** tail = objects;
  for (object_list* record : records) {
    *tail = record;
    tail = &record->next;
  }
  *tail = nullptr;
}

int get_object_info_in_list(const char* object_key, const char* object_id, const char* list_path,
                            object_list** objects) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_object_info_in_list\n");
  if (object_id == nullptr || list_path == nullptr || objects == nullptr) {
    auto shown = [](const char* text) { return text != nullptr ? text : "(null)"; };
    output_fatal(VL_MISC,
                 "Invalid argument at get_object_key_in_list. object_key %s or object_id %s "
                 "or list_path %s is NULL.\n",
                 shown(object_key), shown(object_id), shown(list_path));
    return 1;
  }
  std::ifstream list(list_path);
  if (!list.is_open()) {
    output_fatal(VL_MISC, "Failed to open file. path=%s, error=%s\n", list_path,
                 std::strerror(errno));
    return 1;
  }
  const std::string_view wanted_id(object_id);
  const bool any_id = wanted_id == "all" || wanted_id == "latest";

  object_list** tail = objects;
  while (*tail != nullptr) tail = &(*tail)->next;

  // Member lines, the value's field and whether the value is quoted.
  struct Member {
    std::string_view prefix;
    std::string ListEntry::*value;
    bool is_string;
  };
  static constexpr Member kMembers[] = {
      {"\"object_key\":", &ListEntry::key, true},
      {"\"size\":", &ListEntry::size, false},
      {"\"last_modified\":", &ListEntry::last_modified, true},
      {"\"version_id\":", &ListEntry::version_id, true},
      {"\"content_md5\":", &ListEntry::content_md5, true},
      {"\"object_id\":", &ListEntry::object_id, true},
      {"\"block_address\":", &ListEntry::block_address, false},
      {"\"offset\":", &ListEntry::offset, false},
      {"\"meta_size\":", &ListEntry::meta_size, false},
  };

  // Lines are read whole: a key of any length that metadata allows is found.
  bool in_list = false;
  ListEntry entry;
  std::string line;
  while (std::getline(list, line)) {
    if (!in_list) {
      in_list = line.starts_with("\"ObjectList\":[");
      continue;
    }
    if (line.starts_with("]")) {
      // The end of a complete list. A list file cut short by an interrupted list run has no such
      // line, and its versions stay in the chain unreduced.
      if (*objects != nullptr && wanted_id == "latest") keep_latest(objects);
      break;
    }
    if (line.starts_with("}")) {
      read_entry_as_json(entry);
      const bool key_matches = object_key == nullptr || entry.key == object_key;
      const bool id_matches = any_id || entry.object_id == wanted_id;
      if (key_matches && id_matches) {
        *tail = make_record(entry);
        tail = &(*tail)->next;
        if (!any_id) break;  // a specific identifier: its first occurrence in this file
      }
      entry = ListEntry();
      continue;
    }
    if (line != "{") entry.text.append(line).append("\n");
    for (const Member& member : kMembers) {
      if (!line.starts_with(member.prefix)) continue;
      entry.*member.value = member_value(line, member.prefix, member.is_string);
      break;
    }
  }
  return 0;
}

void free_object_list(object_list* objects) {
  while (objects != nullptr) {
    object_list* next = objects->next;
    std::free(objects);
    objects = next;
  }
}

int check_file(const char* filename) {
  if (filename == nullptr) {
    output_fatal(VL_MISC, "Invalid argument at check_file. filename %d is NULL.\n", 0);
    return 1;
  }
  FILE* file = std::fopen(filename, "r");
  if (file == nullptr) {
    output_accdg_to_vl(LV_TRACE, VL_MISC, "Failed to open file(%s). %s\n", filename,
                       std::strerror(errno));
    return 1;
  }
  std::fclose(file);
  return 0;
}

int comlete_list_files(const char* list_dir) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:comlete_list_files\n");
  if (list_dir == nullptr) return 0;
  struct CloseDir {
    void operator()(DIR* dir) const { closedir(dir); }
  };
  const std::unique_ptr<DIR, CloseDir> dir(opendir(list_dir));
  if (dir == nullptr) {
    if (errno == ENOENT) return 0;
    output_fatal(VL_MISC, "Failed to open directory(%s).\n", list_dir);
    return 1;
  }
  std::string prefix(list_dir);
  if (!prefix.empty() && !prefix.ends_with('/')) prefix += '/';
  int ret = 0;
  for (const dirent* entry = readdir(dir.get()); entry != nullptr; entry = readdir(dir.get())) {
    const std::string_view name(entry->d_name);
    if (!name.ends_with(".lst")) continue;
    const std::string path = prefix + entry->d_name;
    FILE* list = std::fopen(path.c_str(), "a");
    if (list == nullptr) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "Failed to open file. path=%s, error=%s\n",
                                path.c_str(), std::strerror(errno));
      continue;
    }
    const bool written = std::fputs("]\n}", list) >= 0;
    if (std::fclose(list) != 0 || !written) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                "Failed to output %s.Disk space is likely to insufficient.\n",
                                path.c_str());
    }
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :comlete_list_files\n");
  return ret;
}

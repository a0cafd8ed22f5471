// The cartridge description of make_cartridge --from: one object version a line.
#include "cartridge/description_file.h"

#include <json-c/json.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string_view>

#include "cartridge/cartridge_format.h"

namespace vtape {

namespace {

namespace fs = std::filesystem;

struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};
using JsonRef = std::unique_ptr<json_object, JsonPut>;

constexpr const char* kMembers[] = {"bucket",  "key",     "data",     "modified",
                                    "version", "deleted", "metadata", "headers"};
constexpr const char* kHeaders[] = {"ContentType", "ContentEncoding", "ContentLanguage",
                                    "ContentMd5"};

json_object* member(json_object* line, const char* name) {
  json_object* value = nullptr;
  return json_object_object_get_ex(line, name, &value) ? value : nullptr;
}

// A member that must be a string when present; "" (and `*error` set) when it is not one.
std::string text(json_object* line, const char* name, std::string* error) {
  json_object* value = member(line, name);
  if (value == nullptr) return "";
  if (!json_object_is_type(value, json_type_string)) {
    *error = std::string("\"") + name + "\" is not a string";
    return "";
  }
  return json_object_get_string(value);
}

// An object of string values, as its JSON text; "" when absent.
std::string string_object(json_object* line, const char* name, std::string* error) {
  json_object* value = member(line, name);
  if (value == nullptr) return "";
  bool strings = json_object_is_type(value, json_type_object);
  if (strings) {
    json_object_object_foreach(value, ignored, item) {
      (void)ignored;
      strings = strings && json_object_is_type(item, json_type_string);
    }
  }
  if (!strings) *error = std::string("\"") + name + "\" is not an object of strings";
  return strings ? json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE) : "";
}

std::string quoted(const std::string& value) {
  const JsonRef text(json_object_new_string_len(value.data(), static_cast<int>(value.size())));
  return json_object_to_json_string_ext(text.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

// The members of the content headers, in the order of kHeaders.
void take_headers(json_object* line, ObjectEntry* entry, std::string* error) {
  json_object* headers = member(line, "headers");
  if (headers == nullptr) return;
  if (string_object(line, "headers", error).empty() && !error->empty()) return;
  json_object_object_foreach(headers, name, ignored) {
    (void)ignored;
    if (std::find(std::begin(kHeaders), std::end(kHeaders), std::string_view(name)) ==
        std::end(kHeaders)) {
      *error = std::string("\"headers\" has \"") + name + "\", not one of ContentType, "
               "ContentEncoding, ContentLanguage, ContentMd5";
      return;
    }
  }
  for (const char* name : kHeaders) {
    const std::string value = text(headers, name, error);
    if (member(headers, name) != nullptr) entry->members.emplace_back(name, quoted(value));
  }
}

size_t bucket_index(Description* d, const std::string& name) {
  for (size_t i = 0; i < d->buckets.size(); ++i) {
    if (d->buckets[i].name == name) return i;
  }
  d->buckets.push_back({name, {}});
  return d->buckets.size() - 1;
}

// One line's object version; "" or what is wrong with it.
std::string take_line(json_object* line, const fs::path& base, const std::string& fixed_time,
                      Description* d) {
  json_object_object_foreach(line, name, ignored) {
    (void)ignored;
    if (std::find_if(std::begin(kMembers), std::end(kMembers), [&](const char* known) {
          return std::string_view(known) == name;
        }) == std::end(kMembers)) {
      return std::string("\"") + name + "\" is no member of a description line";
    }
  }
  std::string error;
  ObjectEntry entry;
  const std::string bucket = text(line, "bucket", &error);
  entry.key = text(line, "key", &error);
  const std::string data = text(line, "data", &error);
  entry.last_modified = text(line, "modified", &error);
  const std::string version = text(line, "version", &error);
  const std::string metadata = string_object(line, "metadata", &error);
  take_headers(line, &entry, &error);
  json_object* deleted = member(line, "deleted");
  if (deleted != nullptr && !json_object_is_type(deleted, json_type_boolean)) {
    error = "\"deleted\" is not true or false";
  }
  if (!error.empty()) return error;
  if (!valid_bucket_name(bucket)) return "\"bucket\" breaks the bucket name rules";
  if (entry.key.empty()) return "\"key\" is missing or empty";
  if (entry.last_modified.empty()) entry.last_modified = fixed_time;
  if (!is_utc_text(entry.last_modified)) {
    return "\"modified\" must read YYYY-MM-DDThh:mm:ss.uuuuuuZ (or give --time)";
  }
  if (!version.empty()) entry.version = version;
  if (!metadata.empty()) entry.members.emplace_back("UserMetadata", metadata);
  if (deleted != nullptr && json_object_get_boolean(deleted)) {
    entry.members.emplace_back("IsDeleted", "true");
  }
  if (!data.empty()) {
    const fs::path file = base / data;
    std::error_code ec;
    const uintmax_t size = fs::file_size(file, ec);
    if (ec) return "\"data\" " + file.string() + ": " + ec.message();
    entry.data = ObjectData::file(file.string(), size);
  }
  entry.bucket = bucket_index(d, bucket);
  d->objects.push_back(std::move(entry));
  return "";
}

}  // namespace

std::string read_description_file(const std::string& path, const std::string& fixed_time,
                                  Description* d) {
  std::ifstream in(path);
  if (!in) return "cannot read " + path;
  const fs::path base = fs::path(path).parent_path();
  std::string text;
  for (size_t number = 1; std::getline(in, text); ++number) {
    if (text.empty() || text[0] == '#') continue;
    const JsonRef line(json_tokener_parse(text.c_str()));
    std::string error = "not a JSON object";
    if (json_object_is_type(line.get(), json_type_object)) {
      error = take_line(line.get(), base, fixed_time, d);
    }
    if (!error.empty()) return path + " line " + std::to_string(number) + ": " + error;
  }
  if (d->objects.empty()) return path + " describes no object";
  // The format label's time: the newest of the objects'.
  d->format_time.clear();
  for (const ObjectEntry& o : d->objects) {
    d->format_time = std::max(d->format_time, o.last_modified);
  }
  return "";
}

}  // namespace vtape

// From one object version's metadata to the request that stores it.
#include "s3/object_mapping.h"

#include <json-c/json.h>

#include <algorithm>
#include <memory>
#include <set>

#include "s3/s3_config.h"

namespace s3 {

namespace {

struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};
using JsonRef = std::unique_ptr<json_object, JsonPut>;

// The content headers taken from members of the same meaning.
constexpr std::pair<const char*, const char*> kContentHeaders[] = {
    {"ContentType", "content-type"},
    {"ContentEncoding", "content-encoding"},
    {"ContentLanguage", "content-language"},
};

std::string text_of(json_object* value) {
  return std::string(json_object_get_string(value),
                     static_cast<size_t>(json_object_get_string_len(value)));
}

// A member that must be a string when present. Returns false (with `error` set) when it is not.
bool string_member(json_object* root, const char* name, std::optional<std::string>* value,
                   std::string* error) {
  json_object* member = nullptr;
  if (!json_object_object_get_ex(root, name, &member) || member == nullptr) return true;
  if (!json_object_is_type(member, json_type_string)) {
    *error = std::string("\"") + name + "\" is not a string";
    return false;
  }
  *value = text_of(member);
  return true;
}

bool is_token_char(unsigned char c) {
  static constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         kSymbols.find(static_cast<char>(c)) != std::string_view::npos;
}

bool is_header_name(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return is_token_char(static_cast<unsigned char>(c));
  });
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return out;
}

bool take_key(json_object* root, ObjectRequest* request) {
  std::optional<std::string> key;
  if (!string_member(root, "Key", &key, &request->error)) return false;
  if (!key || key->empty()) {
    request->error = "the metadata has no \"Key\"";
    return false;
  }
  // Kept also when it is refused, for the message that names the object.
  request->key = *key;
  if (key->size() > kMaxKeyBytes) {
    request->error = "the key is longer than " + std::to_string(kMaxKeyBytes) + " bytes";
  } else if (key->find('\0') != std::string::npos) {
    request->error = "the key holds a zero byte";
  }
  return request->error.empty();
}

bool take_size_and_marker(json_object* root, ObjectRequest* request) {
  json_object* member = nullptr;
  if (json_object_object_get_ex(root, "IsDeleted", &member) && member != nullptr) {
    if (!json_object_is_type(member, json_type_boolean)) {
      request->error = "\"IsDeleted\" is not a boolean";
      return false;
    }
    request->delete_marker = json_object_get_boolean(member) != 0;
  }
  if (!json_object_object_get_ex(root, "Size", &member) ||
      !json_object_is_type(member, json_type_int) || json_object_get_int64(member) < 0) {
    if (request->delete_marker) return true;
    request->error = "\"Size\" is not a number of bytes";
    return false;
  }
  request->size = static_cast<uint64_t>(json_object_get_int64(member));
  return true;
}

bool take_content(json_object* root, ObjectRequest* request) {
  for (const auto& [member, header] : kContentHeaders) {
    std::optional<std::string> value;
    if (!string_member(root, member, &value, &request->error)) return false;
    if (value && !value->empty()) request->headers.emplace_back(header, header_value(*value));
  }
  std::optional<std::string> md5;
  if (!string_member(root, "ContentMd5", &md5, &request->error)) return false;
  // A text that is no MD5 digest checks nothing; the reader says so when it checks the body.
  if (md5 && !md5->empty()) request->expected_md5 = parse_md5(*md5);
  return true;
}

bool take_user_metadata(json_object* root, ObjectRequest* request) {
  json_object* user = nullptr;
  if (!json_object_object_get_ex(root, "UserMetadata", &user) || user == nullptr) return true;
  if (!json_object_is_type(user, json_type_object)) {
    request->error = "\"UserMetadata\" is not an object";
    return false;
  }
  static const std::set<std::string> kReserved = {kLastModifiedHeader, kVersionIdHeader,
                                                  kObjectIdHeader};
  std::set<std::string> seen;
  json_object_object_foreach(user, name, value) {
    const std::string header = kUserMetadataPrefix + lower(name);
    if (!is_header_name(name)) {
      request->error = "the user metadata name \"" + std::string(name) + "\" cannot be a header";
    } else if (!json_object_is_type(value, json_type_string)) {
      request->error = "the user metadata \"" + std::string(name) + "\" is not a string";
    } else if (kReserved.count(header) != 0 || !seen.insert(header).second) {
      request->error = "the user metadata name \"" + std::string(name) + "\" is taken";
    }
    if (!request->error.empty()) return false;
    request->headers.emplace_back(header, header_value(text_of(value)));
  }
  return true;
}

void take_restore_headers(ObjectRequest* request) {
  if (!request->last_modified.empty()) {
    request->headers.emplace_back(kLastModifiedHeader, header_value(request->last_modified));
  }
  if (!request->version.empty()) {
    request->headers.emplace_back(kVersionIdHeader, header_value(request->version));
  }
  request->headers.emplace_back(kObjectIdHeader, header_value(request->object_id));
}

// The time and version, for ordering and messages; a member that is not a text is left out.
void take_time_and_version(json_object* root, ObjectRequest* request) {
  std::optional<std::string> modified, version;
  std::string ignored;
  if (string_member(root, "LastModifiedTime", &modified, &ignored) && modified) {
    request->last_modified = *modified;
  }
  if (string_member(root, "Version", &version, &ignored) && version) request->version = *version;
}

}  // namespace

ObjectRequest map_object_metadata(std::string_view metadata_json, std::string_view object_id) {
  ObjectRequest request;
  request.object_id = object_id;
  const std::string text(metadata_json);
  const JsonRef root(json_tokener_parse(text.c_str()));
  if (!json_object_is_type(root.get(), json_type_object)) {
    request.error = "the metadata is not a JSON object";
    return request;
  }
  if (!take_key(root.get(), &request) || !take_size_and_marker(root.get(), &request)) {
    return request;
  }
  take_time_and_version(root.get(), &request);
  if (request.delete_marker) return request;
  if (take_content(root.get(), &request) && take_user_metadata(root.get(), &request)) {
    take_restore_headers(&request);
  }
  if (!request.error.empty()) request.headers.clear();
  return request;
}

std::string time_order_key(std::string_view time) {
  constexpr size_t kDate = std::string_view("YYYY-MM-DD").size();
  constexpr size_t kSeconds = std::string_view("YYYY-MM-DDThh:mm:ss").size();
  constexpr size_t kFractionDigits = 9;
  if (time.size() <= kSeconds || time.back() != 'Z' || time[kDate] != 'T') {
    return std::string(time);
  }
  std::string_view fraction = time.substr(kSeconds, time.size() - kSeconds - 1);
  if (!fraction.empty()) {
    if (fraction.front() != '.') return std::string(time);
    fraction.remove_prefix(1);
  }
  if (fraction.size() > kFractionDigits ||
      fraction.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::string(time);
  }
  std::string key(time.substr(0, kSeconds));
  key += '.';
  key += fraction;
  key.append(kFractionDigits - fraction.size(), '0');
  return key;
}

std::string header_value(std::string_view text) {
  const bool plain =
      std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; }) &&
      (text.empty() || (text.front() != ' ' && text.back() != ' ')) && text.substr(0, 2) != "=?";
  if (plain) return std::string(text);
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  return "=?UTF-8?B?" + base64_encode({bytes, text.size()}) + "?=";
}

}  // namespace s3

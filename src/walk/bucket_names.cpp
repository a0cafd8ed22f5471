// Parsing the bucket list once.
#include "walk/bucket_names.h"

#include <json-c/json.h>

#include <memory>

#include "output_level.h"
#include "support/printable.h"
#include "vexa_format_checker.h"

namespace walk {

namespace {

struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};

// The text of member `key` of `object` when it is a string without a zero byte.
std::optional<std::string> string_member(json_object* object, const char* key) {
  json_object* member = nullptr;
  if (!json_object_object_get_ex(object, key, &member) ||
      !json_object_is_type(member, json_type_string)) {
    return std::nullopt;
  }
  const std::string text(json_object_get_string(member),
                         static_cast<size_t>(json_object_get_string_len(member)));
  if (text.find('\0') != std::string::npos) return std::nullopt;
  return text;
}

}  // namespace

void BucketNames::take(std::string_view bucket_list) {
  clear();
  const std::string text(bucket_list);
  std::unique_ptr<json_object, JsonPut> parsed(json_tokener_parse(text.c_str()));
  json_object* list = nullptr;
  if (parsed == nullptr || !json_object_is_type(parsed.get(), json_type_object) ||
      !json_object_object_get_ex(parsed.get(), "BucketList", &list) ||
      !json_object_is_type(list, json_type_array)) {
    return;  // no bucket is known: every packed object's bucket is reported where it is met
  }
  const size_t count = json_object_array_length(list);
  for (size_t i = 0; i < count; ++i) {
    json_object* entry = json_object_array_get_idx(list, i);
    const std::optional<std::string> id = string_member(entry, "BucketID");
    const std::optional<std::string> name = string_member(entry, "BucketName");
    if (!id || !name) continue;
    if (check_bucket_name(name->c_str()) != 0) {
      refused_.insert(*id);
      output_accdg_to_vl(LV_ERROR, VL_RCM,
                         "The bucket name (%s) of the bucket (%s) cannot name a directory. Its "
                         "objects are written under the bucket ID.\n",
                         printable(*name).c_str(), printable(*id).c_str());
      continue;
    }
    names_.emplace(*id, *name);
  }
}

bool BucketNames::knows(const std::string& directory) const {
  if (names_.count(directory) != 0 || refused_.count(directory) != 0) return true;
  for (const auto& [id, name] : names_) {
    if (name == directory) return true;
  }
  return false;
}

std::optional<std::string> BucketNames::name_of(const std::string& id) const {
  const auto it = names_.find(id);
  if (it == names_.end()) return std::nullopt;
  return it->second;
}

}  // namespace walk

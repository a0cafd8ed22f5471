#include "walk/lost_places.h"

#include <json-c/json.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "output_level.h"
#include "support/atomic_file.h"
#include "support/file_helpers.h"
#include "support/safe_dir.h"

namespace walk {
namespace {

std::string line_of(const LostPlace& p) {
  json_object* line = json_object_new_object();
  const std::pair<const char*, const std::string*> texts[] = {{"bucket", &p.bucket},
                                                              {"object_key", &p.key},
                                                              {"object_id", &p.object_id},
                                                              {"version_id", &p.version}};
  for (const auto& [name, value] : texts) {
    json_object_object_add(line, name, json_object_new_string_len(value->data(),
                                                                   static_cast<int>(value->size())));
  }
  const std::pair<const char*, uint64_t> numbers[] = {{"size", p.size},
                                                      {"block_address", p.block_address},
                                                      {"offset", p.offset},
                                                      {"meta_size", p.meta_size}};
  for (const auto& [name, value] : numbers) {
    json_object_object_add(line, name, json_object_new_uint64(value));
  }
  std::string text = json_object_to_json_string_ext(line, JSON_C_TO_STRING_PLAIN) + std::string("\n");
  json_object_put(line);
  return text;
}

bool text_member(json_object* line, const char* name, size_t longest, std::string* text) {
  json_object* value = nullptr;
  if (!json_object_object_get_ex(line, name, &value) ||
      !json_object_is_type(value, json_type_string)) {
    return false;
  }
  text->assign(json_object_get_string(value), static_cast<size_t>(json_object_get_string_len(value)));
  return text->size() <= longest && text->find('\0') == std::string::npos;
}

bool number_member(json_object* line, const char* name, uint64_t* number) {
  json_object* value = nullptr;
  if (!json_object_object_get_ex(line, name, &value) ||
      !json_object_is_type(value, json_type_int)) {
    return false;
  }
  *number = json_object_get_uint64(value);
  return true;
}

// One line as a place; false when it is not one (the fields of a list record bound the texts).
bool place_of(const std::string& text, LostPlace* p) {
  json_object* line = json_tokener_parse(text.c_str());
  const object_list* r = nullptr;
  const bool whole =
      line != nullptr && text_member(line, "bucket", sizeof(r->bucket) - 1, &p->bucket) &&
      text_member(line, "object_key", sizeof(r->key) - 1, &p->key) &&
      text_member(line, "object_id", sizeof(r->id) - 1, &p->object_id) &&
      text_member(line, "version_id", sizeof(r->verson_id) - 1, &p->version) &&
      number_member(line, "size", &p->size) &&
      number_member(line, "block_address", &p->block_address) &&
      number_member(line, "offset", &p->offset) && number_member(line, "meta_size", &p->meta_size);
  json_object_put(line);
  return whole && !p->bucket.empty() && !p->key.empty() && !p->object_id.empty();
}

}  // namespace

bool write_lost_places(const std::string& save_root, const std::string& tape_id,
                       const std::vector<LostPlace>& places, std::string* why) {
  SafeDir::Refusal refusal = SafeDir::Refusal::none;
  std::string failed_at;
  const SafeDir dir = SafeDir::root(save_root).try_enter(tape_id, true, &refusal, &failed_at);
  if (!dir.valid()) {
    *why = "the directory " + failed_at + " cannot be used";
    return false;
  }
  remove_orphaned_temporaries(dir, kLostPlacesName);  // of a run killed while it wrote the record
  if (places.empty()) {
    if (unlinkat(dir.fd(), kLostPlacesName, 0) != 0 && errno != ENOENT) {
      *why = std::strerror(errno);
      return false;
    }
    return true;
  }
  AtomicFile file;
  bool written = file.open(dir, kLostPlacesName);
  for (const LostPlace& place : places) {
    const std::string line = line_of(place);
    written = written && file.write({reinterpret_cast<const uint8_t*>(line.data()), line.size()});
  }
  if (written && file.commit()) return true;
  *why = std::strerror(errno);
  return false;
}

std::vector<LostPlace> read_lost_places(const std::string& save_root,
                                        const std::string& tape_id) {
  const SafeDir root = SafeDir::existing_root(save_root);
  const SafeDir dir = root.valid() ? root.enter(tape_id, false) : SafeDir();
  std::string bytes;
  std::vector<LostPlace> places;
  if (!dir.valid() || !read_plain_file(dir, kLostPlacesName, &bytes)) return places;
  size_t number = 0;
  for (size_t at = 0; at < bytes.size();) {
    const size_t end = std::min(bytes.find('\n', at), bytes.size());
    const std::string text = bytes.substr(at, end - at);
    at = end + 1;
    ++number;
    LostPlace place;
    if (place_of(text, &place)) {
      places.push_back(std::move(place));
    } else {
      output_accdg_to_vl(LV_ERROR, VL_COMMON, "Line %zu of %s%s is not the place of an object.\n",
                         number, dir.path().c_str(), kLostPlacesName);
    }
  }
  return places;
}

object_list* chain_of(const std::vector<LostPlace>& places) {
  object_list* chain = nullptr;
  object_list** tail = &chain;
  for (const LostPlace& p : places) {
    auto* r = static_cast<object_list*>(clf_allocate_memory(sizeof(object_list), "object list"));
    std::snprintf(r->bucket, sizeof(r->bucket), "%s", p.bucket.c_str());
    std::snprintf(r->key, sizeof(r->key), "%s", p.key.c_str());
    std::snprintf(r->id, sizeof(r->id), "%s", p.object_id.c_str());
    std::snprintf(r->verson_id, sizeof(r->verson_id), "%s", p.version.c_str());
    r->size = p.size;
    r->block_address = p.block_address;
    r->meta_offset = p.offset;
    r->data_offset = p.offset;
    r->metadata_size = p.meta_size;
    *tail = r;
    tail = &r->next;
  }
  return chain;
}

std::vector<LostPlace> merged(std::vector<LostPlace> earlier, const std::vector<LostPlace>& later) {
  for (const LostPlace& p : later) {
    const bool known = std::any_of(earlier.begin(), earlier.end(), [&](const LostPlace& e) {
      return e.bucket == p.bucket && e.object_id == p.object_id;
    });
    if (!known) earlier.push_back(p);
  }
  return earlier;
}

}  // namespace walk

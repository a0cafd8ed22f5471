#include "driver/tape_listing.h"

#include <json-c/json.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "walk/list_files.h"

namespace {

constexpr char kListSuffix[] = ".lst";

// A text in a tab-separated line.
std::string escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

void print_tsv(const object_list& v) {
  std::printf("%s\t%s\t%s\t%s\t%" PRIu64 "\t%s\t%" PRIu64 "\t%" PRIu64 "\n",
              escaped(v.bucket).c_str(), escaped(v.key).c_str(), escaped(v.verson_id).c_str(),
              escaped(v.id).c_str(), v.size, escaped(v.last_mod_date).c_str(), v.block_address,
              v.meta_offset);
}

void print_json(const object_list& v) {
  json_object* line = json_object_new_object();
  const std::pair<const char*, const char*> texts[] = {
      {"bucket", v.bucket}, {"key", v.key}, {"version", v.verson_id}, {"object_id", v.id}};
  for (const auto& [name, value] : texts) {
    json_object_object_add(line, name, json_object_new_string(value));
  }
  json_object_object_add(line, "size", json_object_new_uint64(v.size));
  json_object_object_add(line, "last_modified", json_object_new_string(v.last_mod_date));
  json_object_object_add(line, "block_address", json_object_new_uint64(v.block_address));
  json_object_object_add(line, "offset", json_object_new_uint64(v.meta_offset));
  std::printf("%s\n", json_object_to_json_string_ext(
                          line, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE));
  json_object_put(line);
}

// The list files of the tape, by name: "<bucket>_<nnnn>.lst".
std::vector<std::filesystem::path> list_files_of(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name.ends_with(kListSuffix) && name.find('_') != name.npos) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

void print_tape_listing(const std::string& save_path, const char* tape_id, ListingFormat format) {
  object_list* versions = nullptr;
  for (const std::filesystem::path& file :
       list_files_of(std::filesystem::path(save_path) / tape_id)) {
    object_list* read = nullptr;
    get_object_info_in_list(nullptr, "all", file.c_str(), &read);
    const std::string name = file.filename().string();
    const std::string bucket = name.substr(0, name.rfind('_'));
    object_list* last = read;
    for (object_list* v = read; v != nullptr; v = v->next) {
      std::snprintf(v->bucket, sizeof(v->bucket), "%s", bucket.c_str());
      last = v;
    }
    if (last != nullptr) {
      last->next = versions;
      versions = read;
    }
  }
  sort_in_tape_order(&versions);
  for (const object_list* v = versions; v != nullptr; v = v->next) {
    format == ListingFormat::json ? print_json(*v) : print_tsv(*v);
  }
  std::fflush(stdout);
  free_object_list(versions);
}

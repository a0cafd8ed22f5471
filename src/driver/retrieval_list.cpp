#include "driver/retrieval_list.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <unordered_map>

#include "output_level.h"
#include "support/file_helpers.h"
#include "support/printable.h"
#include "vexa_format_checker.h"
#include "walk/save_layout.h"

namespace {

constexpr int kMaxListFiles = 1000;  // list files of a bucket: _0001 to _1000

// One line as a request; false (with why) when it is not one.
bool parse_request(const std::string& line, RetrievalRequest* request, const char** why) {
  const size_t tab = line.find('\t');
  if (tab == std::string::npos) {
    *why = "it is not a bucket, a tab and a key";
    return false;
  }
  request->bucket = line.substr(0, tab);
  const size_t second = line.find('\t', tab + 1);
  request->key = line.substr(tab + 1, second == std::string::npos ? second : second - tab - 1);
  if (second != std::string::npos) request->which = line.substr(second + 1);
  if (request->bucket.size() >= 64 || check_bucket_name(request->bucket.c_str()) != 0) {
    *why = "the bucket name is not valid";
  } else if (request->key.empty() || request->key.size() > 1024) {
    *why = "the key is empty or longer than 1024 bytes";
  } else if (request->which.empty() || request->which.find('\t') != std::string::npos ||
             request->which.size() > 36) {
    *why = "the third field is not latest, all or an object ID";
  } else {
    return true;
  }
  return false;
}

void report_line(const RetrievalRequest& r, const std::string& why) {
  output_accdg_to_vl(LV_ERROR, VL_COMMON, "Line %zu of the retrieval list (%s, %s): %s.\n", r.line,
                     printable(r.bucket).c_str(), printable(r.key).c_str(), why.c_str());
}

// Every version the list files of the bucket hold, by key, in the order listed. Null when the
// bucket has no list file of the tape.
object_list* read_bucket_lists(const std::string& save_path, const char* tape_id,
                               const std::string& bucket) {
  object_list* chain = nullptr;
  for (int n = 1; n <= kMaxListFiles; ++n) {
    const std::string path = walk::list_file_path(save_path, tape_id, bucket, n);
    if (check_file(path.c_str()) != 0) break;
    get_object_info_in_list(nullptr, "all", path.c_str(), &chain);
  }
  return chain;
}

// The versions of one key that `which` selects.
std::vector<const object_list*> pick(const std::vector<const object_list*>& versions,
                                     const std::string& which) {
  if (which == "all") return versions;
  std::vector<const object_list*> picked;
  for (const object_list* v : versions) {
    if (which == "latest") {
      if (picked.empty() || compare_time_string(v->last_mod_date, picked[0]->last_mod_date) > 0) {
        picked = {v};
      }
    } else if (which == v->id) {
      picked.push_back(v);
      break;
    }
  }
  return picked;
}

// Appends a copy of `version`, of `bucket`, to the chain at `*tail`.
void append_copy(const object_list* version, const std::string& bucket, object_list*** tail) {
  auto* copy = static_cast<object_list*>(clf_allocate_memory(sizeof(object_list), "object list"));
  *copy = *version;
  std::snprintf(copy->bucket, sizeof(copy->bucket), "%s", bucket.c_str());
  copy->next = nullptr;
  **tail = copy;
  *tail = &copy->next;
}

}  // namespace

std::vector<RetrievalRequest> read_retrieval_list(const std::string& path, size_t* refused) {
  std::ifstream file;
  if (path != "-") {
    file.open(path);
    if (!file.is_open()) {
      output_fatal(VL_COMMON, "The retrieval list (%s) could not be opened: %s\n",
                   printable(path).c_str(), std::strerror(errno));
    }
  }
  std::istream& in = path == "-" ? std::cin : file;
  std::vector<RetrievalRequest> requests;
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    RetrievalRequest request;
    request.line = number;
    const char* why = nullptr;
    if (parse_request(line, &request, &why)) {
      requests.push_back(std::move(request));
    } else {
      output_accdg_to_vl(LV_ERROR, VL_COMMON, "Line %zu of the retrieval list: %s.\n", number, why);
      ++*refused;
    }
  }
  if (in.bad()) {
    output_fatal(VL_COMMON, "The retrieval list (%s) could not be read: %s\n",
                 printable(path).c_str(), std::strerror(errno));
  }
  return requests;
}

object_list* select_requested_versions(const std::string& save_path, const char* tape_id,
                                       const std::vector<RetrievalRequest>& requests,
                                       size_t* unsatisfied) {
  std::map<std::string, std::vector<const RetrievalRequest*>> by_bucket;
  for (const RetrievalRequest& r : requests) by_bucket[r.bucket].push_back(&r);
  object_list* selected = nullptr;
  object_list** tail = &selected;
  for (const auto& [bucket, asked] : by_bucket) {
    object_list* listed = read_bucket_lists(save_path, tape_id, bucket);
    std::unordered_map<std::string, std::vector<const object_list*>> by_key;
    for (const object_list* v = listed; v != nullptr; v = v->next) by_key[v->key].push_back(v);
    std::set<const object_list*> taken;
    for (const RetrievalRequest* r : asked) {
      const auto found = by_key.find(r->key);
      const std::vector<const object_list*> picked =
          found == by_key.end() ? std::vector<const object_list*>{} : pick(found->second, r->which);
      if (picked.empty()) {
        ++*unsatisfied;
        report_line(*r, listed == nullptr ? "the bucket has no list file of the tape " +
                                                std::string(tape_id) + " in the save path"
                        : found == by_key.end()
                            ? "no such object on the tape"
                            : "no version " + printable(r->which) + " of the object on the tape");
      }
      for (const object_list* v : picked) {
        if (taken.insert(v).second) append_copy(v, bucket, &tail);
      }
    }
    free_object_list(listed);
  }
  sort_in_tape_order(&selected);
  return selected;
}

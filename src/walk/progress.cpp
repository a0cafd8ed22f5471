// The numbering and the other keys a dump's history records.
#include "walk/progress.h"

#include <cstdio>
#include <string>

#include "support/run_record.h"
#include "walk/history.h"
#include "walk/numbering.h"

namespace walk {

namespace {

constexpr char kNumberingPrefix[] = "Numbering ";

}  // namespace

HistoryKeys numbering_keys(const BucketInfo4ObjReader* buckets) {
  HistoryKeys keys;
  for (; buckets != nullptr; buckets = buckets->next) {
    char value[64];
    std::snprintf(value, sizeof(value), "%d %d %d", buckets->savepath_dir_number,
                  buckets->savepath_sub_dir_number, buckets->obj_reader_saved_counter);
    keys.emplace_back(kNumberingPrefix + std::string(buckets->bucket_name), value);
  }
  return keys;
}

NumberingRead restore_numbering(const HistoryKeys& keys, BucketInfo4ObjReader** buckets,
                               std::string* refused) {
  BucketInfo4ObjReader* restored = nullptr;
  bool found = false;
  for (const auto& [key, value] : keys) {
    if (!key.starts_with(kNumberingPrefix)) continue;
    int dir = 0;
    int sub = 0;
    int counter = 0;
    char rest = 0;
    // A dump never numbers past the last directory: at most the one after it, which stands for
    // a bucket that is full.
    if (std::sscanf(value.c_str(), "%d %d %d%c", &dir, &sub, &counter, &rest) != 3 || dir < 1 ||
        dir > MAX_DIR_NUMBER + 1 || sub < 1 || sub > MAX_DIR_NUMBER || counter < 0 ||
        counter > kObjectsPerSubDir) {
      free_bucket_info_4_obj_reader(&restored);
      *refused = key + "=" + value;
      return NumberingRead::refused;
    }
    const std::string bucket = key.substr(sizeof(kNumberingPrefix) - 1);
    add_bucket_info_4_obj_reader(&restored, bucket.c_str(), counter, dir, sub);
    found = true;
  }
  if (!found) return NumberingRead::none;
  free_bucket_info_4_obj_reader(buckets);
  *buckets = restored;
  return NumberingRead::restored;
}

HistoryKeys progress_keys(const std::string& save_path, bool complete,
                          const HistoryKeys& numbering, const std::string& selection,
                          std::optional<uint64_t> not_stored) {
  HistoryKeys keys = {{kSavePathKey, save_path}, {kCompleteKey, complete ? "1" : "0"}};
  if (!selection.empty()) keys.emplace_back(kSelectionKey, selection);
  if (not_stored) keys.emplace_back(kNotStoredKey, std::to_string(*not_stored));
  keys.insert(keys.end(), numbering.begin(), numbering.end());
  return keys;
}

std::string selection_text(const Filter& filter) {
  if (filter.buckets.empty() && filter.prefix.empty()) return "";
  std::string text = "buckets:";
  for (const std::string& bucket : filter.buckets) text += " " + bucket;
  return text + "; prefix: " + filter.prefix;
}

uint64_t objects_not_in_store() {
  const run_record::Totals& t = run_record::totals();
  return t.refused + t.unreadable + t.lost + t.not_stored;
}

std::optional<std::string> history_value(const HistoryKeys& keys, const std::string& key) {
  for (const auto& [name, value] : keys) {
    if (name == key) return value;
  }
  return std::nullopt;
}

}  // namespace walk

// The bucket names of a tape, from the bucket list of the last reference commit marker on the
// data partition: parsed once, and only names that pass the bucket-name rule are kept, since each
// becomes a directory under the save path.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace walk {

class BucketNames {
 public:
  // Takes the bucket list (the JSON text of the marker's data area). Entries whose identifier or
  // name is not a string, and names that break the rule, are reported and left out.
  void take(std::string_view bucket_list);
  void clear() {
    names_.clear();
    refused_.clear();
  }
  // The name of the bucket with the identifier `id` (UUID text), when the list gives a good one.
  std::optional<std::string> name_of(const std::string& id) const;
  // Whether `directory` names one of the list's buckets: by its name, or by the identifier its
  // objects go under when its name was refused.
  bool knows(const std::string& directory) const;
  // Whether the list names the bucket `id` with a name that was refused (and reported).
  bool refused(const std::string& id) const { return refused_.count(id) != 0; }
  size_t size() const { return names_.size(); }

 private:
  std::map<std::string, std::string> names_;
  std::set<std::string> refused_;
};

}  // namespace walk

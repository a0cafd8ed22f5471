// Which objects a dump or a list run writes (--bucket-filter, --prefix).
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace walk {

// The objects a dump or a list run writes: those of the buckets named (all when none is) whose
// keys begin with the prefix. The walk still checks every object of the tape.
struct Filter {
  std::vector<std::string> buckets;
  std::string prefix;
  bool selects(std::string_view bucket, std::string_view key) const {
    return key.starts_with(prefix) &&
           (buckets.empty() || std::find(buckets.begin(), buckets.end(), bucket) != buckets.end());
  }
};

}  // namespace walk

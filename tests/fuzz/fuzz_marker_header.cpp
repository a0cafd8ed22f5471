// The header and directory of a marker of level 4, 3 or 2, or of an OCM info (no identifier): the
// first byte chooses which, the rest is the marker.
#include <array>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_target.h"
#include "support/file_helpers.h"
#include "vexa_format_checker.h"

namespace {

struct Kind {
  const char* identifier;
  int info_flag;
};
constexpr std::array<Kind, 4> kKinds{{{LEVEL4_IDENTIFIER, 0},
                                      {LEVEL3_IDENTIFIER, 0},
                                      {LEVEL2_IDENTIFIER, 0},
                                      {LEVEL2_IDENTIFIER, 1}}};

}  // namespace

OR_FUZZ_TARGET(marker_header) {
  if (input.empty()) return;
  const Kind& kind = kKinds[input[0] % kKinds.size()];
  const fuzz::Bytes marker = input.subspan(1);
  uint64_t position = 0;
  uint64_t count = 0;
  uint64_t data_length = 0;
  clf_header(kind.identifier, marker, nullptr, kind.info_flag, &position, &count, &data_length);
  const uint64_t entries = directory_entries_present(kind.identifier, marker, position, count);
  std::vector<uint64_t> length(entries);
  std::vector<uint64_t> block_offset(entries);
  clf_directory(kind.identifier, marker, &position, count, length, block_offset);
}

// The last reference commit marker with its bucket list, read from the marker cache.
#include <cstdint>

#include "fuzz/fuzz_target.h"
#include "support/file_helpers.h"
#include "vexa_format_checker.h"

OR_FUZZ_TARGET(rcm) {
  constexpr int kLastRcm = 1;
  fuzz::write_input(rcm_cache_file(kLastRcm), input);
  MamVci mamvci[2] = {};
  MamHta mamhta{};
  clf_reference_commit_marker(kLastRcm, mamvci, &mamhta, 0);
}

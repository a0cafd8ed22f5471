// The VOL1 label, read from the marker cache as the walk leaves it there.
#include <cstdint>

#include "fuzz/fuzz_target.h"
#include "support/file_helpers.h"
#include "vexa_format_checker.h"

OR_FUZZ_TARGET(vol1_label) {
  fuzz::write_input(marker_cache_file(CACHE_VOL1_LABEL), input);
  clf_vol1_label();
}

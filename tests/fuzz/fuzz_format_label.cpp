// The format label (JSON), checked against a cartridge memory that holds no valid record.
#include <cstdint>

#include "fuzz/fuzz_target.h"
#include "support/file_helpers.h"
#include "vexa_format_checker.h"

OR_FUZZ_TARGET(format_label) {
  fuzz::write_input(marker_cache_file(CACHE_FORMAT_LABEL), input);
  MamVci mamvci[2] = {};
  MamHta mamhta{};
  uint32_t block_size = 0;
  clf_vexa_label(mamvci, &mamhta, &block_size);
}

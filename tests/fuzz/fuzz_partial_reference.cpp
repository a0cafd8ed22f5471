// A partial reference read from the marker cache, and the same bytes taken as one OCM info.
#include <cstdint>

#include "fuzz/fuzz_target.h"
#include "vexa_format_checker.h"

OR_FUZZ_TARGET(partial_reference) {
  const std::string path = pr_cache_file(1);
  fuzz::write_input(path, input);
  check_partial_reference(path.c_str());
  uint64_t position = 0;
  check_ocm_info(input, &position, input.size(), 0);
}

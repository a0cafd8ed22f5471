// The entry point of a libFuzzer program built from one target's source.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::Target target = fuzz::only_target();
  if (target == nullptr) std::abort();
  fuzz::run_target(target, {data, size});
  return 0;
}

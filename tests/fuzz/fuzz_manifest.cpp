// The manifest of a virtual cartridge.
#include <string>
#include <string_view>

#include "fuzz/fuzz_target.h"
#include "vdrive/manifest.h"

OR_FUZZ_TARGET(manifest) {
  std::string error;
  vdrive::parse_manifest({reinterpret_cast<const char*>(input.data()), input.size()}, &error);
}

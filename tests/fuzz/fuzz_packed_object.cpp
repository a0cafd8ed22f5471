// A packed object info with its objects' metadata, and the same bytes taken as one object's
// metadata text (the members the list and the retrieval take from it, and its identifier).
#include <cstdint>
#include <string>

#include "fuzz/fuzz_target.h"
#include "support/file_helpers.h"
#include "vexa_format_checker.h"

OR_FUZZ_TARGET(packed_object) {
  uint64_t position = 0;
  clf_packed_objects_info("", input, &position, input.size());

  const std::string text(reinterpret_cast<const char*>(input.data()), input.size());
  uint64_t size = 0;
  std::string key, id, modified, version, md5;
  get_element_from_metadata(text.c_str(), &size, &key, &id, &modified, &version, &md5);
  char hash[33] = {};
  get_hash(text, hash);
}

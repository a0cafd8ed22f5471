// Where the objects a run lost to damage lie on the tape, for a second pass (-r --retry-lost):
// "<save root>/<tape id>/lost_places.jsonl", one JSON object a line with the members of a list
// file's entry (bucket, object_key, object_id, version_id, size, block_address, offset,
// meta_size). Only objects whose metadata's place is known are recorded; a second pass reads them
// as a retrieval does, each located directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "walk/list_files.h"

namespace walk {

inline constexpr char kLostPlacesName[] = "lost_places.jsonl";

struct LostPlace {
  std::string bucket;
  std::string key;
  std::string object_id;
  std::string version;
  uint64_t size = 0;
  uint64_t block_address = 0;  // of its packed object
  uint64_t offset = 0;         // of its metadata, from the packed object's first byte
  uint64_t meta_size = 0;
};

// Replaces the tape's file with `places`; removes it when there are none. False with the reason in
// `*why` when it cannot be written.
bool write_lost_places(const std::string& save_root, const std::string& tape_id,
                       const std::vector<LostPlace>& places, std::string* why);
// The places the file records, in its order; nothing when there is no file. A line that is not a
// place is reported and passed over.
std::vector<LostPlace> read_lost_places(const std::string& save_root, const std::string& tape_id);
// The places as a chain of list records with their buckets, for a retrieval.
object_list* chain_of(const std::vector<LostPlace>& places);
// `earlier` with `later` after it, each object (bucket and object ID) once.
std::vector<LostPlace> merged(std::vector<LostPlace> earlier, const std::vector<LostPlace>& later);

}  // namespace walk

// Damage on the data partition: the blocks the drive could not read, and the objects and markers
// that had bytes in them. The walk reports each such block once, naming what it cost, and goes on
// at the next readable place; an object with bytes in a damaged block is never published.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "walk/bucket_names.h"
#include "walk/marker_index.h"

namespace walk {

// Where each packed object lies on the data partition: its first block and its length in bytes
// from its first byte (identifier included), as the cached partial references give them.
struct PackedObjectPlace {
  uint64_t block = 0;
  uint64_t length = 0;
};

class DamageMap {
 public:
  void clear() {
    blocks_.clear();
    end_ = UINT64_MAX;
  }
  void add(uint64_t block) { blocks_.insert(block); }
  // The partition ends at `block`: no block from there on can be read.
  void ends_at(uint64_t block) { end_ = block; }
  // Whether `block` lies beyond the end of the partition.
  bool beyond_end(uint64_t block) const { return block >= end_; }
  bool contains(uint64_t block) const { return beyond_end(block) || blocks_.count(block) != 0; }
  // Whether a damaged block lies in [first, last].
  bool any_in(uint64_t first, uint64_t last) const;
  bool empty() const { return blocks_.empty() && end_ == UINT64_MAX; }

 private:
  std::set<uint64_t> blocks_;
  uint64_t end_ = UINT64_MAX;
};

// What names an object, from its packed object's bucket and its metadata copy in the cached
// partial reference.
struct ObjectName {
  std::string bucket;
  std::string key = "?";
  std::string version;
  std::string object_id = "?";
  // Its size: the length of its data in its packed object's directory (or, when the directory's
  // offsets do not agree, the size its metadata copy gives), when known.
  std::optional<uint64_t> size;
  std::string text() const;  // run_record::object_name
};
ObjectName name_object(MarkerIndex& index, const BucketNames& buckets, uint64_t meta);

// An object that had bytes in a damaged block, as a message names it.
struct LostObject {
  uint64_t number = 0;  // 0-based over the tape
  std::string text;     // ObjectName::text()
};

// The objects with bytes in block `block` of the data partition: found through the packed objects'
// places and directories, and named from the metadata copies of the cached partial references.
std::vector<LostObject> objects_in_block(MarkerIndex& index,
                                         const std::vector<PackedObjectPlace>& places,
                                         const BucketNames& buckets, uint32_t block_size,
                                         uint64_t block);

// The blocks [first, last] that object `meta` (0-based over the tape) occupies, metadata and
// data: from its packed object's place and directory.
std::pair<uint64_t, uint64_t> blocks_of_object(MarkerIndex& index,
                                               const std::vector<PackedObjectPlace>& places,
                                               uint32_t block_size, uint64_t meta);

}  // namespace walk

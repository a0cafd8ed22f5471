// Test-only reader of virtual cartridges: parses the SIMH partition files and walks a Quorrant
// tape by its addressing rules alone (block offsets of the last RCM, the PRs and the OCMs), with
// no marker cache and no help from the builder's layout report. Tests use it to prove that a
// written cartridge leads a reader to every marker and object, and to see what a deviation broke.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simh {

struct TapeObject {
  bool filemark = false;
  bool unreadable = false;  // error flag of the record
  std::vector<uint8_t> data;
};
using Partition = std::vector<TapeObject>;

// The byte offset in a partition file where object `object` begins.
inline uint64_t byte_offset(const Partition& partition, uint64_t object) {
  uint64_t offset = 0;
  for (uint64_t i = 0; i < object; ++i) {
    const uint64_t n = partition.at(i).data.size();
    offset += partition[i].filemark ? 4 : 8 + n + n % 2;
  }
  return offset;
}

// Reads a whole partition file. Throws std::runtime_error when it is malformed.
Partition read_partition(const std::string& path);

// Records from `block` up to the next filemark (or end of data), concatenated.
struct MarkerRead {
  std::vector<uint8_t> bytes;
  uint64_t records = 0;
  bool unreadable = false;  // a record on the way had the error flag
  bool filemark = false;    // ended at a filemark (not at end of data)
};
MarkerRead read_marker(const Partition& partition, uint64_t block);

uint64_t filemark_count(const Partition& partition);
// First block of the last RCM as a drive finds it: from the end of data back over two
// filemarks, then forward over one. Empty when the partition has fewer than two filemarks.
std::optional<uint64_t> last_rcm_block(const Partition& partition);

struct FoundObject {
  std::string bucket_id;
  std::string bucket_name;
  std::string key;
  std::string object_uuid;  // from the PO directory
  std::string metadata;
  std::vector<uint8_t> data;
  uint64_t po_block = 0, meta_block = 0, meta_block_offset = 0;
};

struct Walk {
  std::vector<std::string> problems;  // empty for a sound cartridge
  uint32_t block_size = 1048576;
  uint64_t last_rcm[2] = {0, 0};
  uint64_t filemarks[2] = {0, 0};
  std::vector<uint64_t> pr_blocks, ocm_blocks, po_blocks;  // data partition, in tape order
  std::string bucket_list;
  std::vector<FoundObject> objects;  // in tape order
};

// Walks the cartridge in `dir` ("cartridge.json" and its partition files). Also checks the
// record order of both partitions, the filemark counts, the zero padding of packed objects and
// the cartridge memory attributes against what it found.
Walk walk_cartridge(const std::string& dir);

}  // namespace simh

// What the reads met on one partition, object by object: the bytes of each record and where the
// filemarks lie. A pass that goes over the partition again is served from here, and the tape does
// not move for it. Record bytes are kept up to a budget; objects beyond it are read again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace scsi {

class PartitionRecord {
 public:
  static constexpr size_t kBudgetBytes = 16u << 20;

  struct Entry {
    bool filemark = false;
    size_t offset = 0;    // of a record's bytes in the store
    uint32_t length = 0;  // a record's length
  };

  // A read at `object` met a record with these bytes (none: a filemark).
  void note_record(uint64_t object, std::span<const uint8_t> bytes);
  void note_filemark(uint64_t object);
  // A read at `object` met something else (damage, a record too long): it is read again.
  void forget(uint64_t object) { entries_.erase(object); }
  void clear();

  const Entry* at(uint64_t object) const;
  std::span<const uint8_t> bytes(const Entry& entry) const;
  // The filemarks before `object`, when every object before it is known.
  std::optional<uint64_t> filemarks_before(uint64_t object) const;
  // Where a SPACE over `count` filemarks (negative: backward) from `object` leaves the tape, when
  // every object it passes over is known.
  std::optional<uint64_t> space_filemarks(uint64_t object, int32_t count) const;

 private:
  std::map<uint64_t, Entry> entries_;
  std::vector<uint8_t> store_;
};

}  // namespace scsi

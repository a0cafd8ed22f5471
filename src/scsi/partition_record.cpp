#include "scsi/partition_record.h"

namespace scsi {

void PartitionRecord::note_record(uint64_t object, std::span<const uint8_t> bytes) {
  const Entry* known = at(object);
  if (known != nullptr && !known->filemark && known->length == bytes.size()) return;
  if (bytes.empty() || store_.size() + bytes.size() > kBudgetBytes) {
    forget(object);
    return;
  }
  entries_[object] = Entry{false, store_.size(), static_cast<uint32_t>(bytes.size())};
  store_.insert(store_.end(), bytes.begin(), bytes.end());
}

void PartitionRecord::note_filemark(uint64_t object) { entries_[object] = Entry{true, 0, 0}; }

void PartitionRecord::clear() {
  entries_.clear();
  store_.clear();
  store_.shrink_to_fit();
}

const PartitionRecord::Entry* PartitionRecord::at(uint64_t object) const {
  const auto it = entries_.find(object);
  return it == entries_.end() ? nullptr : &it->second;
}

std::span<const uint8_t> PartitionRecord::bytes(const Entry& entry) const {
  return std::span<const uint8_t>(store_).subspan(entry.offset, entry.length);
}

std::optional<uint64_t> PartitionRecord::filemarks_before(uint64_t object) const {
  uint64_t filemarks = 0;
  uint64_t expected = 0;
  for (const auto& [number, entry] : entries_) {
    if (number >= object) break;
    if (number != expected) return std::nullopt;
    filemarks += entry.filemark ? 1 : 0;
    ++expected;
  }
  if (expected != object) return std::nullopt;
  return filemarks;
}

std::optional<uint64_t> PartitionRecord::space_filemarks(uint64_t object, int32_t count) const {
  if (count == 0) return object;
  if (count > 0) {
    for (uint64_t at_object = object;; ++at_object) {
      const Entry* entry = at(at_object);
      if (entry == nullptr) return std::nullopt;
      if (entry->filemark && --count == 0) return at_object + 1;
    }
  }
  // Backward: the tape stops on the beginning side of the last filemark crossed.
  for (uint64_t at_object = object; at_object > 0; --at_object) {
    const Entry* entry = at(at_object - 1);
    if (entry == nullptr) return std::nullopt;
    if (entry->filemark && ++count == 0) return at_object - 1;
  }
  return std::nullopt;
}

}  // namespace scsi

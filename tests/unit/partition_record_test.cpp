// The record of a partition that a repeated pass is served from: what it knows of records and
// filemarks, and where a space over filemarks leaves the tape only when it passes known objects.
#include "scsi/partition_record.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

// Objects 0..6: record, filemark, record, record, filemark, record, filemark.
scsi::PartitionRecord sample() {
  scsi::PartitionRecord record;
  const std::vector<uint8_t> bytes = {1, 2, 3};
  for (uint64_t object : {0, 2, 3, 5}) record.note_record(object, bytes);
  for (uint64_t object : {1, 4, 6}) record.note_filemark(object);
  return record;
}

TEST(PartitionRecord, SpacesAndCountsOnlyOverKnownObjects) {
  scsi::PartitionRecord record = sample();
  struct Case {
    uint64_t from;
    int32_t count;
    std::optional<uint64_t> to;
  };
  const Case cases[] = {
      {0, 1, 2},
      {0, 2, 5},
      {2, 1, 5},
      {0, 3, 7},
      {0, 4, std::nullopt},  // forward
      {5, -1, 4},
      {7, -2, 4},
      {5, -2, 1},
      {1, -1, std::nullopt},  // backward
      {3, 0, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(record.space_filemarks(c.from, c.count), c.to) << c.from << " " << c.count;
  }
  EXPECT_EQ(record.filemarks_before(5), 2u);
  EXPECT_EQ(record.filemarks_before(7), 3u);
  EXPECT_EQ(record.filemarks_before(8), std::nullopt);

  // An object read again with trouble is forgotten: nothing passes over it any more.
  record.forget(3);
  EXPECT_EQ(record.at(3), nullptr);
  EXPECT_EQ(record.space_filemarks(2, 1), std::nullopt);
  EXPECT_EQ(record.filemarks_before(5), std::nullopt);
  ASSERT_NE(record.at(2), nullptr);
  EXPECT_EQ(record.bytes(*record.at(2)).size(), 3u);
}

TEST(PartitionRecord, KeepsNoMoreBytesThanItsBudget) {
  scsi::PartitionRecord record;
  const std::vector<uint8_t> half(scsi::PartitionRecord::kBudgetBytes / 2 + 1, 7);
  record.note_record(0, half);
  record.note_record(1, half);  // beyond the budget: read from the tape again
  EXPECT_NE(record.at(0), nullptr);
  EXPECT_EQ(record.at(1), nullptr);
}

}  // namespace

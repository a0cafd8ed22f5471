// A SIMH partition file of a virtual cartridge: opened, checked to its end, every filemark found
// and every record read, within bounds that keep one input quick.
#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.h"
#include "vdrive/partition_file.h"

namespace {

constexpr uint64_t kObjectsRead = 4096;
constexpr size_t kBytesRead = 65536;
constexpr char kFileName[] = "partition.tap";

void read_records(vdrive::PartitionFile& file, uint64_t end) {
  std::vector<uint8_t> data;
  for (uint64_t object = 0; object < std::min(end, kObjectsRead); ++object) {
    if (file.is_filemark(object)) continue;
    vdrive::RecordInfo info;
    if (!file.record(object, &info) || info.unreadable) continue;
    data.resize(std::min<size_t>(info.length, kBytesRead));
    file.read(info.data_offset, data);
  }
}

}  // namespace

OR_FUZZ_TARGET(partition_file) {
  fuzz::write_input(kFileName, input);
  std::string error;
  auto file = vdrive::PartitionFile::open(AT_FDCWD, kFileName, kFileName, &error,
                                          vdrive::DamageNotice::none);
  if (file == nullptr) return;
  file->reach(1);
  const uint64_t end = file->end_of_data();
  file->filemarks_before(end);
  for (uint64_t index = 0; index < kObjectsRead && file->filemark_object(index); ++index) {
  }
  read_records(*file, end);
}

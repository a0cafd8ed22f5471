// The virtual drive: answers SG_IO requests from a virtual cartridge as an LTO drive would,
// keeping one position (partition, logical object). It reads the cartridge, never changes it, and
// refuses every command that would write to the medium or the cartridge memory.
#pragma once

#include <scsi/sg.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vdrive/manifest.h"
#include "vdrive/partition_file.h"
#include "vdrive/vdrive.h"

namespace vdrive {

// Fixed-format sense data as the drive returns it.
struct Sense {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  bool filemark = false;
  bool eom = false;
  bool ili = false;
  bool info_valid = false;
  uint32_t information = 0;
};
inline constexpr size_t kSenseLength = 22;
std::array<uint8_t, kSenseLength> sense_bytes(const Sense& sense);

class VirtualDrive {
 public:
  // Loads the cartridge in directory `dir_fd` (named `dir` in messages). On failure returns null,
  // with the path of the faulty file in `*file` and what is wrong in `*error`.
  static std::unique_ptr<VirtualDrive> load(int dir_fd, const std::string& dir, std::string* file,
                                            std::string* error);

  // Serves one request as ioctl(SG_IO) would: 0, or -1 with errno set for a request the
  // kernel would refuse.
  int submit(sg_io_hdr_t* hdr);

  const Counters& counters() const { return counters_; }
  const LastCommand& last_command() const { return last_; }

 private:
  struct Reply {
    uint8_t status = 0;
    bool has_sense = false;
    Sense sense;
    size_t transferred = 0;
  };
  using Cdb = std::array<uint8_t, 16>;

  VirtualDrive() = default;
  Reply execute(const Cdb& cdb, std::span<uint8_t> out);
  Reply test_unit_ready();
  Reply inquiry(const Cdb& cdb, std::span<uint8_t> out);
  Reply locate(const Cdb& cdb);
  Reply space(const Cdb& cdb);
  Reply read(const Cdb& cdb, std::span<uint8_t> out);
  Reply read_position(const Cdb& cdb, std::span<uint8_t> out);
  Reply log_sense(const Cdb& cdb, std::span<uint8_t> out);
  Reply read_attribute(const Cdb& cdb, std::span<uint8_t> out);
  Reply end_of_data(const PartitionFile& p, Sense sense = {});
  void count(uint64_t Counters::*field, uint64_t amount = 1);

  Manifest manifest_;
  Inquiry inquiry_;  // texts blank padded to their fields
  // Index into manifest_.attributes by (partition, identifier): a partition's attributes in
  // ascending order.
  std::map<std::pair<uint32_t, uint16_t>, size_t> attribute_index_;
  std::vector<std::unique_ptr<PartitionFile>> partitions_;
  uint32_t partition_ = 0;
  uint64_t object_ = 0;
  uint64_t not_ready_served_ = 0;
  std::array<uint64_t, 256> opcode_seen_{};
  Counters counters_;
  LastCommand last_;
};

}  // namespace vdrive

// The virtual drive: answers SG_IO requests from a virtual cartridge as an LTO drive would,
// keeping one position (partition, logical object). It reads the cartridge, never changes it, and
// refuses every command that would write to the medium or the cartridge memory.
#pragma once

#include <scsi/sg.h>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vdrive/device.h"
#include "vdrive/drive_time.h"
#include "vdrive/host_pace.h"
#include "vdrive/manifest.h"
#include "vdrive/partition_file.h"
#include "vdrive/reply.h"
#include "vdrive/vdrive.h"

namespace vdrive {

inline constexpr uint32_t kDefaultMaxBlockLength = 8388608;

// What a cartridge brings into the drive: its partition files, its cartridge memory, and what the
// drive reports of its medium.
struct Medium {
  std::string volume_personality;
  uint8_t density = kDefaultDensity;
  std::vector<Attribute> attributes;
  // Index into `attributes` by (partition, identifier): a partition's attributes in ascending
  // order.
  std::map<std::pair<uint32_t, uint16_t>, size_t> attribute_index;
  std::vector<std::unique_ptr<PartitionFile>> partitions;
};

class VirtualDrive : public Device {
 public:
  // Loads the cartridge in directory `dir_fd` (named `dir` in messages). On failure (the manifest
  // does not parse or breaks its rules, a partition file is missing or cannot be opened) returns
  // null, with the path of the faulty file in `*file` and what is wrong in `*error`. A damaged
  // partition file is loaded and said as a WARNING. A cartridge change among the faults loads the
  // cartridge it names as well, so that one that is not a cartridge directory is refused here.
  static std::unique_ptr<VirtualDrive> load(int dir_fd, const std::string& dir, std::string* file,
                                            std::string* error);

  // Serves one request as ioctl(SG_IO) would: 0, or -1 with errno set for a request the
  // kernel would refuse.
  int submit(sg_io_hdr_t* hdr) override;
  // Answers BLKSECTGET, SG_GET_RESERVED_SIZE, SG_SET_RESERVED_SIZE and SG_GET_VERSION_NUM as the
  // sg driver does (`value` points to an int): 0, or -1 with errno set (ENOTTY for any other
  // request).
  int control(unsigned long request, int* value) override;
  // A pause the program makes between commands: counted, never waited for.
  void pause(uint32_t milliseconds) override;

  // A drive of a library: its cartridge is unloaded. The tape is rewound (paid as a rewind in the
  // drive time) and stands at the beginning of partition 0 when the cartridge is loaded again.
  void unload();
  // What the cartridge in the drive reports as its volume personality.
  const std::string& volume_personality() const { return medium_->volume_personality; }

  Counters counters() const override { return counters_; }
  LastCommand last_command() const override { return last_; }

 private:
  VirtualDrive() = default;
  Reply execute(const Cdb& cdb, std::span<uint8_t> out);
  // The answer to a command: an injected fault's, or the drive's.
  Reply respond(const Cdb& cdb, std::span<uint8_t> out);
  // The answer an injected fault gives instead of serving the command, if one applies.
  std::optional<Reply> injected(uint8_t op, uint64_t seen);
  std::optional<Reply> drive_state_fault(uint8_t op);
  Reply serve(const Cdb& cdb, std::span<uint8_t> out);
  Reply test_unit_ready();
  Reply read_block_limits(std::span<uint8_t> out);
  Reply inquiry(const Cdb& cdb, std::span<uint8_t> out);
  Reply locate(bool change_partition, uint32_t partition, uint64_t target);
  Reply space(const Cdb& cdb);
  Reply read(const Cdb& cdb, std::span<uint8_t> out);
  Reply read_position(const Cdb& cdb, std::span<uint8_t> out);
  Reply log_sense(const Cdb& cdb, std::span<uint8_t> out);
  Reply read_attribute(const Cdb& cdb, std::span<uint8_t> out);
  Reply mode_sense(const Cdb& cdb, std::span<uint8_t> out);
  Reply prevent_allow_medium_removal(const Cdb& cdb);
  // The reply that a cleaning request makes of a command that would end GOOD.
  void ask_for_cleaning(Reply* reply) const;
  // Takes the cartridge out and puts the next one in, at the beginning of partition 0.
  void change_cartridge();
  void count(uint64_t Counters::*field, uint64_t amount = 1);
  // Where the tape stands, for the drive-time model.
  TapePlace place();
  // Adds what the command `op`, which found the tape at `from`, cost to the drive time.
  void account(uint8_t op, const TapePlace& from, const Reply& reply);

  // The manifest of the cartridge loaded first: the drive's identity and faults (its attributes
  // are the medium's).
  Manifest manifest_;
  Inquiry inquiry_;  // texts blank padded to their fields
  std::unique_ptr<Medium> medium_;
  std::unique_ptr<Medium> next_medium_;  // what a cartridge change puts in
  uint32_t partition_ = 0;
  uint64_t object_ = 0;
  uint64_t not_ready_served_ = 0;
  std::deque<UnitAttention> unit_attentions_;  // pending, the first one is reported next
  int reserved_size_ = kDefaultReservedSize;
  std::array<uint64_t, 256> opcode_seen_{};
  Counters counters_;
  DriveTime time_;
  HostPace host_;
  LastCommand last_;
};

}  // namespace vdrive

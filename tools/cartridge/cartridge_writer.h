// Writing virtual cartridges from code: SIMH partition files (records, filemarks, end of medium)
// and the "cartridge.json" manifest with its cartridge memory attributes and injected faults.
// Used by the cartridge builder, the tools and the tests. It writes cartridge images only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "support/unique_fd.h"
#include "vdrive/manifest.h"

namespace vtape {

// Largest record length a partition file may hold (24-bit length field).
inline constexpr uint32_t kMaxRecordLength = (1u << 24) - 1;

// Streams one partition file in the SIMH magtape format. Every record and every filemark takes
// one logical object number, counted from 0. Errors throw std::runtime_error.
class PartitionWriter {
 public:
  explicit PartitionWriter(const std::string& path);
  // Continues the partition file open for writing on `fd` at the descriptor's offset, the file
  // holding `next_object` objects of which `filemarks` are filemarks; `path` names it in errors.
  PartitionWriter(support::UniqueFd fd, const std::string& path, uint64_t next_object,
                  uint64_t filemarks);
  ~PartitionWriter();
  PartitionWriter(const PartitionWriter&) = delete;
  PartitionWriter& operator=(const PartitionWriter&) = delete;

  // A data record of 1 to kMaxRecordLength bytes; `unreadable` sets the error flag.
  void record(std::span<const uint8_t> data, bool unreadable = false);
  void filemark();
  // Writes the end-of-medium word; nothing may follow. close() writes it when it is missing.
  void end_of_medium();
  // Hands what is buffered to the file; sync() also waits until the file is on the disk.
  void flush();
  void sync();
  void close();

  // Logical object number that the next record or filemark will take.
  uint64_t next_object() const { return next_object_; }
  uint64_t filemarks() const { return filemarks_; }

 private:
  void put_word(uint32_t word);
  FILE* file_ = nullptr;
  std::string path_;
  uint64_t next_object_ = 0;
  uint64_t filemarks_ = 0;
  bool ended_ = false;
};

// The manifest is described by the virtual drive's records, which read it back.
using vdrive::Attribute;
using vdrive::CartridgeChange;
using vdrive::CommandFault;
using vdrive::EncryptedFault;
using vdrive::Faults;
using vdrive::Inquiry;
using vdrive::Manifest;
using vdrive::RecordRef;
using vdrive::SignalFault;
using vdrive::StatusFault;
using vdrive::TransportFault;
using vdrive::UnitAttention;

// The text of "cartridge.json" for `manifest`.
std::string to_json(const Manifest& manifest);
// Writes "<dir>/cartridge.json". Throws std::runtime_error on failure.
void write_manifest(const Manifest& manifest, const std::string& dir);

std::string to_hex(std::span<const uint8_t> bytes);

}  // namespace vtape

// Writing virtual cartridges from code: SIMH partition files (records, filemarks, end of medium)
// and the "cartridge.json" manifest with its cartridge memory attributes and injected faults.
// Used by the cartridge builder, the tools and the tests. It writes cartridge images only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vtape {

// Largest record length a partition file may hold (24-bit length field).
inline constexpr uint32_t kMaxRecordLength = (1u << 24) - 1;

// Streams one partition file in the SIMH magtape format. Every record and every filemark takes
// one logical object number, counted from 0. Errors throw std::runtime_error.
class PartitionWriter {
 public:
  explicit PartitionWriter(const std::string& path);
  ~PartitionWriter();
  PartitionWriter(const PartitionWriter&) = delete;
  PartitionWriter& operator=(const PartitionWriter&) = delete;

  // A data record of 1 to kMaxRecordLength bytes; `unreadable` sets the error flag.
  void record(std::span<const uint8_t> data, bool unreadable = false);
  void filemark();
  // Writes the end-of-medium word; nothing may follow. close() writes it when it is missing.
  void end_of_medium();
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

struct Attribute {
  int partition = 0;
  uint16_t id = 0;
  int format = 0;  // 0 binary, 1 ASCII, 2 text
  bool read_only = false;
  std::vector<uint8_t> value;
};

struct StatusFault {
  int opcode = 0;
  int after = 0;
  int value = 0;
};

struct Faults {
  int not_ready = 0;
  std::vector<int> read_attribute;
  bool device_attributes = true;
  bool log_sense = true;
  std::vector<StatusFault> status;
  bool empty() const {
    return not_ready == 0 && read_attribute.empty() && device_attributes && log_sense &&
           status.empty();
  }
};

struct Inquiry {
  std::string vendor = "VIRTUAL ";
  std::string product = "VIRTUAL LTO     ";
  std::string revision = "0001";
};

struct Manifest {
  std::vector<std::string> partitions{"p0.tap", "p1.tap"};
  std::string volume_personality = "Ultrium-8";
  std::optional<Inquiry> inquiry;
  std::vector<Attribute> attributes;
  Faults faults;

  // Sets (or replaces) the attribute of (partition, id).
  void set_attribute(int partition, uint16_t id, int format, std::vector<uint8_t> value);
  void set_attribute_text(int partition, uint16_t id, const std::string& text, size_t width);
  // Removes the attribute of (partition, id) when present.
  void drop_attribute(int partition, uint16_t id);
  Attribute* find_attribute(int partition, uint16_t id);

  // Writes "<dir>/cartridge.json". Throws std::runtime_error on failure.
  void write(const std::string& dir) const;
  std::string to_json() const;
};

std::string to_hex(std::span<const uint8_t> bytes);

}  // namespace vtape

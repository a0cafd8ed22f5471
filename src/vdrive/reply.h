// What every virtual device of this process (a drive, a drive of a library, a medium changer)
// shares in answering an SG_IO request: the sense data it builds, the reply of one command, the
// checks the kernel makes of a request before any device sees it, and the completion of the
// request header from a reply.
#pragma once

#include <scsi/sg.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vdrive {

// Sense data as a device returns it.
struct Sense {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  bool filemark = false;
  bool eom = false;
  bool ili = false;
  bool info_valid = false;
  int64_t information = 0;  // fixed format carries its low 32 bits
  bool deferred = false;    // an error of an earlier command (response code 71h or 73h)
};
// Fixed format: 22 bytes, response code 70h (71h deferred). Descriptor format: response code 72h
// (73h deferred), the information descriptor when INFORMATION is valid, then the stream commands
// descriptor.
inline constexpr size_t kSenseLength = 22;
std::vector<uint8_t> sense_bytes(const Sense& sense, bool descriptor = false);

// The key, ASC and ASCQ of a CHECK CONDITION.
struct CheckCondition {
  uint8_t key;
  uint8_t asc;
  uint8_t ascq;
};
inline constexpr CheckCondition kInvalidOpcode{0x5, 0x20, 0x00};
inline constexpr CheckCondition kInvalidField{0x5, 0x24, 0x00};
inline constexpr CheckCondition kNotReady{0x2, 0x04, 0x01};
inline constexpr CheckCondition kNoMedium{0x2, 0x3A, 0x00};
inline constexpr CheckCondition kNotLoaded{0x2, 0x04, 0x02};

inline constexpr uint8_t kGood = 0x00;
inline constexpr uint8_t kCheckCondition = 0x02;

// How one command ended.
struct Reply {
  uint8_t status = kGood;
  bool has_sense = false;
  Sense sense;
  size_t transferred = 0;
  uint8_t host_status = 0;  // a command that failed in transport
};

// The reply of a command that ended in CHECK CONDITION.
Reply check(CheckCondition cc, Sense sense = {});

// A command descriptor block; the bytes a request does not carry read as zero.
using Cdb = std::array<uint8_t, 16>;

// The big-endian number of `size` bytes at `offset` of a CDB.
uint64_t cdb_number(const Cdb& cdb, size_t offset, size_t size);
// Stores the low `size` bytes of `value` big-endian at out[offset].
void put_be(std::vector<uint8_t>& out, size_t offset, size_t size, uint64_t value);
// Copies what fits of `data` into the host buffer, within the allocation length.
size_t deliver(const std::vector<uint8_t>& data, uint64_t allocation, std::span<uint8_t> out);

// A request as the device takes it, once the kernel's checks have passed.
struct Request {
  Cdb cdb{};
  std::span<uint8_t> out;  // the buffer for data from the device; empty for other directions
};

// The checks the kernel makes before any device sees the request (a header that is not a
// version-3 one, a null pointer, a CDB length out of range, a transfer above `max_transfer`):
// nothing with errno set when the request is refused.
std::optional<Request> take_request(sg_io_hdr_t* hdr, std::optional<uint32_t> max_transfer);
// Fills the status fields, the sense and the residue of the header from `reply`.
void complete_request(sg_io_hdr_t* hdr, const Reply& reply, bool descriptor_sense);

// What the drive's host adapter answers to the requests of the sg driver other than SG_IO.
inline constexpr uint32_t kDefaultMaxTransfer = 16u << 20;
inline constexpr int kDefaultReservedSize = 32768;
inline constexpr int kSgVersion = 30536;
// Answers BLKSECTGET, SG_GET_RESERVED_SIZE, SG_SET_RESERVED_SIZE and SG_GET_VERSION_NUM as the
// sg driver does for an adapter whose largest transfer is `max_transfer` (`value` points to an
// int; `*reserved_size` is the device's reserved buffer): 0, or -1 with errno set (ENOTTY for
// any other request).
int adapter_control(unsigned long request, int* value, uint32_t max_transfer, int* reserved_size);

// The standard INQUIRY data (36 bytes) of a device of `device_type` with these blank-padded
// texts, cut to the allocation length and the buffer; EVPD set: check 5/24/00.
struct Identity {
  std::string vendor;    // 8 characters
  std::string product;   // 16
  std::string revision;  // 4
};
Reply standard_inquiry(uint8_t device_type, const Identity& identity, const Cdb& cdb,
                       std::span<uint8_t> out);

}  // namespace vdrive

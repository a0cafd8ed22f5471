// Sense data, the kernel's checks of a request, and the completion of its header.
#include "vdrive/reply.h"

#include <linux/fs.h>

#include <algorithm>
#include <cerrno>

namespace vdrive {

namespace {
constexpr uint8_t kDriverSense = 0x08;
constexpr size_t kInquiryLength = 36;
constexpr size_t kShortestCdb = 6;
}  // namespace

std::vector<uint8_t> sense_bytes(const Sense& sense, bool descriptor) {
  const uint8_t flags = static_cast<uint8_t>((sense.filemark ? 0x80 : 0) | (sense.eom ? 0x40 : 0) |
                                             (sense.ili ? 0x20 : 0));
  if (!descriptor) {
    std::vector<uint8_t> b(kSenseLength, 0);
    b[0] = static_cast<uint8_t>((sense.deferred ? 0x71 : 0x70) | (sense.info_valid ? 0x80 : 0));
    b[2] = static_cast<uint8_t>(flags | (sense.key & 0x0F));
    put_be(b, 3, 4, static_cast<uint64_t>(sense.information));
    b[7] = static_cast<uint8_t>(kSenseLength - 8);
    b[12] = sense.asc;
    b[13] = sense.ascq;
    return b;
  }
  std::vector<uint8_t> b = {static_cast<uint8_t>(sense.deferred ? 0x73 : 0x72),
                            static_cast<uint8_t>(sense.key & 0x0F),
                            sense.asc,
                            sense.ascq,
                            0,
                            0,
                            0,
                            0};
  if (sense.info_valid) {
    const size_t at = b.size();
    b.insert(b.end(), {0x00, 0x0A, 0x80, 0x00});  // information descriptor, VALID
    b.resize(at + 12, 0);
    put_be(b, at + 4, 8, static_cast<uint64_t>(sense.information));
  }
  b.insert(b.end(), {0x04, 0x02, 0x00, flags});  // stream commands descriptor
  b[7] = static_cast<uint8_t>(b.size() - 8);
  return b;
}

Reply check(CheckCondition cc, Sense sense) {
  Reply r;
  r.status = kCheckCondition;
  r.has_sense = true;
  sense.key = cc.key;
  sense.asc = cc.asc;
  sense.ascq = cc.ascq;
  r.sense = sense;
  return r;
}

uint64_t cdb_number(const Cdb& cdb, size_t offset, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) value = (value << 8) | cdb[offset + i];
  return value;
}

void put_be(std::vector<uint8_t>& out, size_t offset, size_t size, uint64_t value) {
  for (size_t i = 0; i < size; ++i) {
    out[offset + size - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

size_t deliver(const std::vector<uint8_t>& data, uint64_t allocation, std::span<uint8_t> out) {
  const size_t n = static_cast<size_t>(
      std::min<uint64_t>({data.size(), allocation, static_cast<uint64_t>(out.size())}));
  std::copy_n(data.begin(), n, out.begin());
  return n;
}

std::optional<Request> take_request(sg_io_hdr_t* hdr, std::optional<uint32_t> max_transfer) {
  if (hdr == nullptr) {
    errno = EFAULT;
    return std::nullopt;
  }
  if (hdr->interface_id != 'S') {
    errno = EINVAL;
    return std::nullopt;
  }
  if (hdr->cmdp == nullptr || (hdr->mx_sb_len > 0 && hdr->sbp == nullptr) ||
      (hdr->dxfer_len > 0 && hdr->dxferp == nullptr && hdr->dxfer_direction != SG_DXFER_NONE)) {
    errno = EFAULT;
    return std::nullopt;
  }
  if (hdr->cmd_len < kShortestCdb || hdr->cmd_len > std::tuple_size_v<Cdb>) {
    errno = EINVAL;
    return std::nullopt;
  }
  // The block layer refuses a transfer beyond the adapter's limit before the device sees it.
  if (max_transfer && hdr->dxfer_len > *max_transfer) {
    errno = EINVAL;
    return std::nullopt;
  }
  Request request;
  std::copy_n(hdr->cmdp, hdr->cmd_len, request.cdb.begin());
  // Data goes only into a buffer that the request opened for data from the device.
  if ((hdr->dxfer_direction == SG_DXFER_FROM_DEV || hdr->dxfer_direction == SG_DXFER_TO_FROM_DEV) &&
      hdr->dxferp != nullptr) {
    request.out = std::span<uint8_t>(static_cast<uint8_t*>(hdr->dxferp), hdr->dxfer_len);
  }
  return request;
}

void complete_request(sg_io_hdr_t* hdr, const Reply& reply, bool descriptor_sense) {
  hdr->status = reply.status;
  hdr->masked_status = static_cast<unsigned char>((reply.status >> 1) & 0x7F);
  hdr->msg_status = 0;
  hdr->host_status = reply.host_status;
  hdr->driver_status = reply.has_sense ? kDriverSense : 0;
  hdr->sb_len_wr = 0;
  if (reply.has_sense) {
    const std::vector<uint8_t> bytes = sense_bytes(reply.sense, descriptor_sense);
    const size_t n = std::min<size_t>(bytes.size(), hdr->mx_sb_len);
    std::copy_n(bytes.begin(), n, hdr->sbp);
    hdr->sb_len_wr = static_cast<unsigned char>(n);
  }
  hdr->resid = static_cast<int>(hdr->dxfer_len - reply.transferred);
  hdr->duration = 0;
  hdr->info = reply.status != kGood || reply.host_status != 0 ? SG_INFO_CHECK : SG_INFO_OK;
}

int adapter_control(unsigned long request, int* value, uint32_t max_transfer, int* reserved_size) {
  if (value == nullptr) {
    errno = EFAULT;
    return -1;
  }
  switch (request) {
    case BLKSECTGET:  // in bytes, as the sg driver answers it (a block device answers sectors)
      *value = static_cast<int>(max_transfer);
      return 0;
    case SG_GET_RESERVED_SIZE:
      *value = *reserved_size;
      return 0;
    case SG_SET_RESERVED_SIZE:
      if (*value < 0) {
        errno = EINVAL;
        return -1;
      }
      *reserved_size =
          static_cast<int>(std::min<uint32_t>(static_cast<uint32_t>(*value), max_transfer));
      return 0;
    case SG_GET_VERSION_NUM:
      *value = kSgVersion;
      return 0;
    default:
      errno = ENOTTY;
      return -1;
  }
}

Reply standard_inquiry(uint8_t device_type, const Identity& identity, const Cdb& cdb,
                       std::span<uint8_t> out) {
  if (cdb[1] & 0x01) return check(kInvalidField);  // EVPD: no vital product data pages
  std::vector<uint8_t> data(kInquiryLength, 0);
  data[0] = device_type;
  data[2] = 0x06;  // SPC-4
  data[3] = 0x02;  // response data format
  data[4] = kInquiryLength - 5;
  const auto put_text = [&](const std::string& text, size_t at, size_t width) {
    std::string field = text;
    field.resize(width, ' ');
    std::copy_n(field.begin(), width, data.begin() + static_cast<std::ptrdiff_t>(at));
  };
  put_text(identity.vendor, 8, 8);
  put_text(identity.product, 16, 16);
  put_text(identity.revision, 32, 4);
  Reply r;
  r.transferred = deliver(data, cdb_number(cdb, 3, 2), out);
  return r;
}

}  // namespace vdrive

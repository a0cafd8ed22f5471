// INQUIRY, the volume personality and the cartridge memory attributes into a manifest. What the
// drive returns is untrusted: only the bytes received are decoded, texts are kept to printable
// characters, and an attribute list is taken as far as whole attributes in ascending order go.
#include "image/cartridge_description.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "output_level.h"
#include "scsi/scsi_decode.h"
#include "scsi_util.h"
#include "spti_lib.h"

namespace image {

namespace {

constexpr uint32_t kAttributeListLength = 65536;
constexpr uint16_t kFirstHostTypeAttribute = 0x0800;
constexpr uint16_t kLastAttribute = 0xFFFF;
constexpr uint8_t kIllegalRequest = 0x5;
constexpr uint8_t kFormatBits = 0x03;
constexpr uint8_t kReadOnlyBit = 0x80;
// The attributes that name a cartridge or its contents, compared before an imaging continues.
constexpr uint16_t kIdentifying[] = {0x0009, 0x0400, 0x0401, 0x0806, 0x080C, 0x0820};

// A text the manifest can hold: up to the first zero byte, anything but printable ASCII as '?'.
std::string printable_text(const std::string& raw) {
  std::string text;
  for (const char c : raw) {
    if (c == '\0') break;
    text.push_back(c >= 0x20 && c <= 0x7E ? c : '?');
  }
  return text;
}

std::optional<vdrive::Inquiry> read_inquiry(void* scparam) {
  std::vector<uint8_t> data(INQUIRY_ALLOCATION_LENGTH, 0);
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ST_SYSTEM_ERRORINFO error{};
  uint32_t received = 0;
  if (!spti_inquiry(scparam, 0, INQUIRY_ALLOCATION_LENGTH, data.data(), &received, &sense,
                    &error)) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "The drive did not answer INQUIRY: the image names no drive.\n");
    return std::nullopt;
  }
  const InquiryIdentity identity =
      decode_inquiry(std::span<const uint8_t>(data.data(), std::min<size_t>(received, data.size())));
  return vdrive::Inquiry{printable_text(identity.vendor), printable_text(identity.product),
                         printable_text(identity.revision)};
}

std::string read_personality(void* scparam) {
  const std::string text = printable_text(read_volume_personality(scparam));
  if (text.empty()) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "The drive did not tell the volume personality (LOG SENSE page 17h): the "
                       "image holds an empty one.\n");
  }
  return text;
}

// The attributes of `partition` from identifier `first` on, appended to `out`. A list cut at the
// allocation length is asked for again from the identifier after the last whole one. False, with
// nothing appended, when the drive refuses the command; its sense key goes to `*key`.
bool read_attributes(void* scparam, uint32_t partition, uint16_t first,
                     std::vector<vdrive::Attribute>* out, uint8_t* key) {
  std::vector<uint8_t> buffer(kAttributeListLength, 0);
  const size_t start = out->size();
  for (;;) {
    ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
    ST_SYSTEM_ERRORINFO error{};
    uint32_t received = 0;
    if (!spti_read_attribute(scparam, static_cast<uint8_t>(partition), 0, first,
                             kAttributeListLength, buffer.data(), &received, &sense, &error)) {
      *key = sense.sense_key;
      out->resize(start);
      return false;
    }
    const std::span<const uint8_t> list(buffer.data(), std::min<size_t>(received, buffer.size()));
    const size_t before = out->size();
    size_t offset = kAttributeListHeaderLength;
    MamAttributeView a;
    while (next_attribute(list, &offset, &a)) {
      // An identifier listed twice or out of order: the first one counts.
      if (out->size() > start && a.id <= out->back().id) continue;
      out->push_back(vdrive::Attribute{partition, a.id, static_cast<uint8_t>(a.flags & kFormatBits),
                                       (a.flags & kReadOnlyBit) != 0,
                                       std::vector<uint8_t>(a.value.begin(), a.value.end())});
    }
    const size_t header = kAttributeListHeaderLength;
    const bool whole = list.size() < header || header + btoui(list.data(), header) <= list.size();
    if (whole || out->size() == before || out->back().id == kLastAttribute) return true;
    first = static_cast<uint16_t>(out->back().id + 1);
  }
}

// Every attribute of `partition`; a drive that refuses the device-type ones is asked for the
// host-type ones alone.
void read_partition_attributes(void* scparam, uint32_t partition,
                               std::vector<vdrive::Attribute>* out) {
  uint8_t key = 0;
  if (read_attributes(scparam, partition, 0, out, &key)) return;
  if (key == kIllegalRequest &&
      read_attributes(scparam, partition, kFirstHostTypeAttribute, out, &key)) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "The drive refused the device-type cartridge memory attributes of "
                       "partition %u: the image holds its host-type attributes only.\n",
                       partition);
    return;
  }
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "The cartridge memory attributes of partition %u could not be read: the "
                     "image holds none of them.\n",
                     partition);
}

// The density code of the cartridge, as MODE SENSE tells it; the manifest's default when the
// drive does not answer.
uint8_t read_density(void* scparam) {
  std::array<uint8_t, MODE_SENSE6_ALLOCATION_LENGTH> data{};
  uint32_t received = 0;
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ST_SYSTEM_ERRORINFO syserr{};
  if (spti_mode_sense6(scparam, MODE_SENSE_ALL_PAGES, data.size(), data.data(), &received, &sense,
                       &syserr)) {
    const ModeSense6Data mode = decode_mode_sense6(
        std::span<const uint8_t>(data.data(), std::min<size_t>(received, data.size())));
    if (mode.has_block_descriptor) return mode.density_code;
  }
  return vdrive::kDefaultDensity;
}

}  // namespace

vdrive::Manifest describe_cartridge(void* scparam) {
  vdrive::Manifest m;
  m.inquiry = read_inquiry(scparam);
  m.volume_personality = read_personality(scparam);
  m.density = read_density(scparam);
  for (uint32_t p = 0; p < m.partitions.size(); ++p) {
    read_partition_attributes(scparam, p, &m.attributes);
  }
  return m;
}

std::string difference(const vdrive::Manifest& saved, const vdrive::Manifest& tape) {
  if (saved.volume_personality != tape.volume_personality) return "the volume personality";
  for (uint32_t p = 0; p < saved.partitions.size(); ++p) {
    for (const uint16_t id : kIdentifying) {
      const vdrive::Attribute* was = saved.find_attribute(p, id);
      const vdrive::Attribute* is = tape.find_attribute(p, id);
      if ((was == nullptr) != (is == nullptr) || (was != nullptr && was->value != is->value)) {
        char text[64];
        std::snprintf(text, sizeof(text), "attribute %04Xh of partition %" PRIu32, id, p);
        return text;
      }
    }
  }
  return "";
}

}  // namespace image

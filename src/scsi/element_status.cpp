// READ ELEMENT STATUS: where each cartridge of a library is, its barcode label, and each drive's
// identifier.
#include <algorithm>

#include "output_level.h"
#include "scsi/changer.h"
#include "scsi/scsi_command.h"

namespace scsi::changer {

namespace {

constexpr uint8_t kOpReadElementStatus = 0xB8;
constexpr uint8_t kVolumeTagBit = 0x10;
constexpr uint8_t kIdentifierBit = 0x01;
// A first answer large enough for a few hundred elements; a larger report is read again whole.
constexpr uint32_t kFirstAllocation = 65536;

// The report's header and each page's header.
constexpr size_t kHeaderLength = 8;
constexpr size_t kPageHeaderLength = 8;
// A descriptor: address (2), flags, reserved, ASC, ASCQ, 3 reserved, SVALID, source (2); then
// the volume tags asked for, then the device identifier's header and bytes.
constexpr size_t kDescriptorFields = 12;
constexpr size_t kVolumeTagLength = 36;
constexpr size_t kLabelLength = 32;
constexpr size_t kIdentifierHeaderLength = 4;
constexpr uint8_t kPrimaryTag = 0x80;
constexpr uint8_t kAlternateTag = 0x40;
constexpr uint8_t kFull = 0x01;
constexpr uint8_t kExcept = 0x04;
constexpr uint8_t kAccess = 0x08;
constexpr uint8_t kSourceValid = 0x80;

uint32_t number_at(std::span<const uint8_t> data, size_t offset, size_t size) {
  uint32_t value = 0;
  for (size_t i = 0; i < size; ++i) value = value << 8 | data[offset + i];
  return value;
}

// Text without the blanks and zero bytes that end it.
std::string trimmed(std::span<const uint8_t> bytes) {
  size_t end = bytes.size();
  while (end > 0 && (bytes[end - 1] == ' ' || bytes[end - 1] == 0)) --end;
  return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(end));
}

struct PageLayout {
  ElementType type;
  bool primary_tag;
  bool alternate_tag;
};

// One descriptor of `d.size()` bytes, at least its fields and tags long.
bool decode_descriptor(std::span<const uint8_t> d, const PageLayout& page, ElementStatus* e,
                       std::string* error) {
  e->type = page.type;
  e->address = static_cast<uint16_t>(number_at(d, 0, 2));
  e->full = d[2] & kFull;
  e->except = d[2] & kExcept;
  e->access = d[2] & kAccess;
  e->asc = d[4];
  e->ascq = d[5];
  if (d[9] & kSourceValid) e->source = static_cast<uint16_t>(number_at(d, 10, 2));
  size_t at = kDescriptorFields;
  if (page.primary_tag) e->volume_tag = trimmed(d.subspan(at, kLabelLength));
  at += (page.primary_tag ? kVolumeTagLength : 0) + (page.alternate_tag ? kVolumeTagLength : 0);
  if (d.size() < at + kIdentifierHeaderLength) return true;
  const size_t length = d[at + 3];
  if (at + kIdentifierHeaderLength + length > d.size()) {
    *error = "the identifier of element " + std::to_string(e->address) + " (" +
             std::to_string(length) + " bytes) runs past its descriptor";
    return false;
  }
  e->identifier = trimmed(d.subspan(at + kIdentifierHeaderLength, length));
  return true;
}

// The page at `offset`: its descriptors into `report`; the offset of the next page, or nothing.
std::optional<size_t> decode_page(std::span<const uint8_t> data, size_t offset, size_t report_end,
                                  ElementReport* report, std::string* error) {
  const uint8_t type = data[offset] & 0x0F;
  const PageLayout page{static_cast<ElementType>(type), (data[offset + 1] & kPrimaryTag) != 0,
                        (data[offset + 1] & kAlternateTag) != 0};
  const size_t length = number_at(data, offset + 2, 2);
  const size_t bytes = number_at(data, offset + 5, 3);
  const size_t smallest = kDescriptorFields + (page.primary_tag ? kVolumeTagLength : 0) +
                          (page.alternate_tag ? kVolumeTagLength : 0);
  const size_t first = offset + kPageHeaderLength;
  if (type < static_cast<uint8_t>(ElementType::robot) ||
      type > static_cast<uint8_t>(ElementType::drive)) {
    *error = "a page of element type " + std::to_string(type) + ", which is no element type";
  } else if (length < smallest) {
    *error = "descriptors of " + std::to_string(length) + " bytes, shorter than their fields (" +
             std::to_string(smallest) + ")";
  } else if (bytes % length != 0 || bytes > report_end - first) {
    *error = "a page of " + std::to_string(bytes) + " bytes, which is no whole number of " +
             std::to_string(length) + "-byte descriptors within the report";
  }
  if (!error->empty()) return std::nullopt;
  const size_t arrived = std::min(first + bytes, data.size());
  for (size_t at = first; at + length <= arrived; at += length) {
    ElementStatus e;
    if (!decode_descriptor(data.subspan(at, length), page, &e, error)) return std::nullopt;
    report->elements.push_back(std::move(e));
  }
  return first + bytes;
}

}  // namespace

const char* element_type_name(ElementType type) {
  switch (type) {
    case ElementType::robot:
      return "robot";
    case ElementType::storage:
      return "storage slot";
    case ElementType::import_export:
      return "import/export slot";
    case ElementType::drive:
      return "drive";
    case ElementType::all:
      break;
  }
  return "element";
}

std::array<uint8_t, 12> read_element_status_cdb(const ElementQuery& query, uint32_t allocation) {
  std::array<uint8_t, 12> cdb{};
  cdb[0] = kOpReadElementStatus;
  cdb[1] = static_cast<uint8_t>(static_cast<uint8_t>(query.type) |
                                (query.volume_tags ? kVolumeTagBit : 0));
  put_be(cdb, 2, 2, query.first);
  put_be(cdb, 4, 2, query.count);
  cdb[6] = query.identifiers ? kIdentifierBit : 0;
  put_be(cdb, 7, 3, std::min(allocation, kLargestElementReport));
  return cdb;
}

std::optional<ElementReport> decode_element_status(std::span<const uint8_t> data,
                                                   std::string* error) {
  error->clear();
  if (data.size() < kHeaderLength) {
    *error = "the element status header is cut short (" + std::to_string(data.size()) + " bytes)";
    return std::nullopt;
  }
  ElementReport report;
  report.first = static_cast<uint16_t>(number_at(data, 0, 2));
  report.available = static_cast<uint16_t>(number_at(data, 2, 2));
  report.report_bytes = number_at(data, 5, 3);
  const size_t report_end = kHeaderLength + report.report_bytes;
  report.complete = data.size() >= report_end;
  size_t offset = kHeaderLength;
  while (offset < report_end && offset + kPageHeaderLength <= data.size()) {
    if (report_end - offset < kPageHeaderLength) {
      *error = "the report ends inside a page header";
      return std::nullopt;
    }
    const std::optional<size_t> next = decode_page(data, offset, report_end, &report, error);
    if (!next) return std::nullopt;
    offset = *next;
  }
  return report;
}

std::optional<ElementReport> read_element_status(void* scparam, const ElementQuery& query,
                                                 ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                                                 std::string* error) {
  uint32_t allocation = kFirstAllocation;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<uint8_t> data(allocation);
    std::array<uint8_t, 12> cdb = read_element_status_cdb(query, allocation);
    uint32_t received = 0;
    if (!issue_scsi_command(scparam, cdb, SG_DXFER_FROM_DEV, allocation, data.data(), &received,
                            sbp)) {
      return std::nullopt;
    }
    std::optional<ElementReport> report =
        decode_element_status(std::span(data).first(std::min<size_t>(received, allocation)), error);
    if (!report || report->complete) return report;
    const uint64_t needed = uint64_t{report->report_bytes} + kHeaderLength;
    if (needed <= allocation || needed > kLargestElementReport) return report;
    allocation = static_cast<uint32_t>(needed);
  }
  *error = "the element status report grew while it was read";
  return std::nullopt;
}

}  // namespace scsi::changer

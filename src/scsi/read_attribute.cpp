// READ ATTRIBUTE(16) and the parsers of the returned attribute list into the device-type and
// host-type records of the cartridge memory (MAM).
//
// The list is untrusted: the drive announces in AVAILABLE DATA the size of the whole list even when
// it cut the list to the allocation length, and every attribute carries its own length. The
// parsers look only at the bytes actually received, up to 4 + AVAILABLE DATA; an attribute whose
// header or value runs past those bytes is not used (a cut value would give a wrong number or a
// partial identifier), and the walk stops there. A value longer than its field fills the field:
// a number keeps its low-order bits, a text is cut to the field's size.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "output_level.h"
#include "scsi/mam_attributes.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"

namespace {

namespace mam = scsi::mam;

constexpr unsigned char kOpReadAttribute16 = 0x8C;
constexpr uint32_t kSelfTestBufferLength = 77;

constexpr size_t kAttributeHeaderLength = 5;

template <typename T>
void set_number(T* field, std::span<const uint8_t> value) {
  *field = static_cast<T>(btoui(value.data(), static_cast<int>(value.size())));
}

template <size_t N>
void set_copy(uint8_t (&field)[N], std::span<const uint8_t> value) {
  std::memcpy(field, value.data(), std::min(N, value.size()));
}

void fill_device_type(const MamAttributeView& a, ST_SPTI_DEVICE_TYPE_ATTRIBUTE* r) {
  switch (a.id) {
    case mam::kRemainingCapacity:
      set_number(&r->remaining_capacity, a.value);
      break;
    case mam::kMaximumCapacity:
      set_number(&r->muximum_capacity, a.value);
      break;
    case mam::kTapeAlertFlags:
      set_number(&r->tape_alert_flags, a.value);
      break;
    case mam::kLoadCount:
      set_number(&r->load_count, a.value);
      break;
    case mam::kMamSpaceRemaining:
      set_number(&r->mam_space_remaining, a.value);
      break;
    case mam::kAssigningOrganization:
      set_copy(r->assigning_orgnizization, a.value);
      break;
    case mam::kFormattedDensityCode:
      set_number(&r->formatted_density_code, a.value);
      break;
    case mam::kInitializationCount:
      set_number(&r->initialization_count, a.value);
      break;
    case mam::kVolumeIdentifier:
      set_copy(r->volume_id, a.value);
      break;
    case mam::kVolumeChangeReference:
      set_number(&r->volume_change_reference, a.value);
      break;
    case mam::kSerialNumberLastLoad:
      set_copy(r->serialno_last_load, a.value);
      break;
    case mam::kSerialNumberLoad1:
      set_copy(r->serialno_load_1, a.value);
      break;
    case mam::kSerialNumberLoad2:
      set_copy(r->serialno_load_2, a.value);
      break;
    case mam::kSerialNumberLoad3:
      set_copy(r->serialno_load_3, a.value);
      break;
    case mam::kWrittenInMediumLife:
      set_number(&r->totalbytes_written_medium_life, a.value);
      break;
    case mam::kReadInMediumLife:
      set_number(&r->totalbytes_read_medium_life, a.value);
      break;
    case mam::kWrittenInLastLoad:
      set_number(&r->totalbytes_written_last_load, a.value);
      break;
    case mam::kReadInLastLoad:
      set_number(&r->totalbytes_read_last_load, a.value);
      break;
    default:
      break;
  }
}

void fill_host_type(const MamAttributeView& a, ST_SPTI_HOST_TYPE_ATTRIBUTE* r) {
  switch (a.id) {
    case mam::kApplicationVendor:
      set_copy(r->application_vendor, a.value);
      break;
    case mam::kApplicationName:
      set_copy(r->application_name, a.value);
      break;
    case mam::kApplicationVersion:
      set_copy(r->application_version, a.value);
      break;
    case mam::kUserMediumTextLabel:
      set_copy(r->user_medium_text_label, a.value);
      break;
    case mam::kDateTimeLastWritten:
      set_copy(r->date_time_last_written, a.value);
      break;
    case mam::kTextLocalizationIdentifier:
      set_number(&r->text_localization_identifier, a.value);
      break;
    case mam::kBarcode:
      set_copy(r->barcode, a.value);
      break;
    case mam::kOwningHostTextualName:
      set_copy(r->owning_hoste_textual_name, a.value);
      break;
    case mam::kMediaPool:
      set_copy(r->media_pool, a.value);
      break;
    case mam::kPartitionUserTextLabel:
      set_copy(r->partition_user_text_label, a.value);
      break;
    case mam::kLoadUnloadAtPartition:
      set_number(&r->load_unload_at_partition, a.value);
      break;
    case mam::kVolumeCoherencyInformation:
      set_copy(r->volume_coherency_information, a.value);
      break;
    case mam::kMediumGloballyUniqueIdentifier:
      set_copy(r->medium_globally_unique_identifier, a.value);
      break;
    case mam::kMediaPoolGloballyUniqueIdentifier:
      set_copy(r->media_pool_globally_unique_identifier, a.value);
      break;
    case mam::kSystemGloballyUniqueIdentifier:
      set_copy(r->system_globally_unique_identifier, a.value);
      break;
    default:
      break;
  }
}

// A text field printed up to its terminator, never past its end.
template <size_t N>
void show_text(const char* label, const uint8_t (&field)[N]) {
  std::printf("%s: %.*s\n", label, static_cast<int>(N), reinterpret_cast<const char*>(field));
}

// The list header and the first attribute, as far as they arrived.
void show_mam_page(std::span<const uint8_t> received) {
  const auto at = [&](size_t i) -> unsigned { return i < received.size() ? received[i] : 0u; };
  const unsigned available = (at(0) << 24) | (at(1) << 16) | (at(2) << 8) | at(3);
  const unsigned id = (at(4) << 8) | at(5);
  const unsigned length = (at(7) << 8) | at(8);
  std::printf("mam_page: data: 0x%08X, id: 0x%04X, format: 0x%02X, length: 0x%04X\n", available, id,
              at(6) & 0x03, length);
  const size_t value_start = kAttributeListHeaderLength + kAttributeHeaderLength;
  const size_t shown =
      received.size() > value_start ? std::min<size_t>(length, received.size() - value_start) : 0;
  for (size_t i = 0; i < shown; ++i) {
    std::printf("i: 0x%02X, buf: 0x%02X\n", static_cast<unsigned>(i), received[value_start + i]);
  }
}

void show_drive_attribute(const ST_SPTI_DEVICE_TYPE_ATTRIBUTE& a) {
  std::printf("remaining_capacity: 0x%016lx\n", a.remaining_capacity);
  std::printf("muximum_capacity: 0x%016lx\n", a.muximum_capacity);
  std::printf("tape_alert_flags: 0x%016lx\n", a.tape_alert_flags);
  std::printf("load_count: 0x%016lx\n", a.load_count);
  std::printf("mam_space_remaining: 0x%016lx\n", a.mam_space_remaining);
  show_text("assigning_orgnizization", a.assigning_orgnizization);
  std::printf("formatted_density_code: 0x%02X\n", a.formatted_density_code);
  std::printf("initialization_count: 0x%08X\n", a.initialization_count);
  show_text("volume_id", a.volume_id);
  std::printf("volume_change_reference: 0x%08X\n", a.volume_change_reference);
  show_text("serialno_last_load", a.serialno_last_load);
  show_text("serialno_load_1", a.serialno_load_1);
  show_text("serialno_load_2", a.serialno_load_2);
  show_text("serialno_load_3", a.serialno_load_3);
  std::printf("totalbytes_written_medium_life: 0x%016lx\n", a.totalbytes_written_medium_life);
  std::printf("totalbytes_read_medium_life: 0x%016lx\n", a.totalbytes_read_medium_life);
  std::printf("totalbytes_written_last_load: 0x%016lx\n", a.totalbytes_written_last_load);
  std::printf("totalbytes_read_last_load: 0x%016lx\n", a.totalbytes_read_last_load);
}

void show_drive_host_type_attribute(const ST_SPTI_HOST_TYPE_ATTRIBUTE& a) {
  show_text("application_vendor", a.application_vendor);
  show_text("application_name", a.application_name);
  show_text("application_version", a.application_version);
  show_text("user_medium_text_label", a.user_medium_text_label);
  show_text("date_time_last_written", a.date_time_last_written);
  std::printf("text_localization_identifier: 0x%02X\n", a.text_localization_identifier);
  show_text("barcode", a.barcode);
  show_text("owning_hoste_textual_name", a.owning_hoste_textual_name);
  show_text("media_pool", a.media_pool);
  show_text("partition_user_text_label", a.partition_user_text_label);
  std::printf("load_unload_at_partition: 0x%02X\n", a.load_unload_at_partition);
  show_text("volume_coherency_information", a.volume_coherency_information);
  show_text("medium_globally_unique_identifier", a.medium_globally_unique_identifier);
  show_text("media_pool_globally_unique_identifier", a.media_pool_globally_unique_identifier);
  show_text("system_globally_unique_identifier", a.system_globally_unique_identifier);
}

struct AttributeName {
  uint16_t id;
  const char* name;
};

constexpr AttributeName kAttributeNames[] = {
    {mam::kRemainingCapacity, "Remaining Capacity in Partition"},
    {mam::kMaximumCapacity, "Maximum Capacity in Partition"},
    {mam::kTapeAlertFlags, "TapeAlert Flags"},
    {mam::kLoadCount, "Load Count"},
    {mam::kMamSpaceRemaining, "MAM Space Remaining"},
    {mam::kAssigningOrganization, "Assigning Organization"},
    {mam::kFormattedDensityCode, "Formatted Density Code"},
    {mam::kInitializationCount, "Initialization Count"},
    {mam::kVolumeIdentifier, "Volume Identifier"},
    {mam::kVolumeChangeReference, "Volume Change Reference"},
    {mam::kSerialNumberLastLoad, "Device Vendor/Serial Number at Last Load"},
    {mam::kSerialNumberLoad1, "Device Vendor/Serial Number at Load-1"},
    {mam::kSerialNumberLoad2, "Device Vendor/Serial Number at Load-2"},
    {mam::kSerialNumberLoad3, "Device Vendor/Serial Number at Load-3"},
    {mam::kWrittenInMediumLife, "Total MiB Written in Medium Life"},
    {mam::kReadInMediumLife, "Total MiB Read in Medium Life"},
    {mam::kWrittenInLastLoad, "Total MiB Written in Current/Last Load"},
    {mam::kReadInLastLoad, "Total MiB Read in Current/Last Load"},
    {0x0224, "Logical Position of First Encrypted Block"},
    {0x0225, "Logical Position of First Unencrypted Block after First Encrypted Block"},
    {0x0340, "Medium Usage History"},
    {0x0341, "Partition Usage History"},
    {0x0400, "Medium Manufacturer"},
    {0x0401, "Medium Serial Number"},
    {0x0402, "Medium Length"},
    {0x0403, "Medium Width"},
    {0x0404, "Assigning Organization"},
    {0x0405, "Medium Density Code"},
    {0x0406, "Medium Manufacture Date"},
    {0x0407, "MAM Capacity"},
    {0x0408, "Medium Type"},
    {0x0409, "Medium Type Information"},
    {0x040A, "Numeric Medium Serial Number"},
    {mam::kApplicationVendor, "Application Vendor"},
    {mam::kApplicationName, "Application Name"},
    {mam::kApplicationVersion, "Application Version"},
    {mam::kUserMediumTextLabel, "User Medium Text Label"},
    {mam::kDateTimeLastWritten, "Date and Time Last Written"},
    {mam::kTextLocalizationIdentifier, "Text Localization Identifier"},
    {mam::kBarcode, "Barcode"},
    {mam::kOwningHostTextualName, "Owning Host Textual Name"},
    {mam::kMediaPool, "Media Pool"},
    {mam::kPartitionUserTextLabel, "Partition User Text Label"},
    {mam::kLoadUnloadAtPartition, "Load/Unload at Partition"},
    {0x080B, "Application Format Version"},
    {mam::kVolumeCoherencyInformation, "Volume Coherency Information"},
    {mam::kMediumGloballyUniqueIdentifier, "Medium Globally Unique Identifier"},
    {mam::kMediaPoolGloballyUniqueIdentifier, "Media Pool Globally Unique Identifier"},
    {mam::kSystemGloballyUniqueIdentifier, "System Globally Unique Identifier"},
};

}  // namespace

const char* scsi::mam::attribute_name(uint16_t id) {
  for (const AttributeName& a : kAttributeNames) {
    if (a.id == id) return a.name;
  }
  return "";
}

size_t attribute_list_end(std::span<const uint8_t> received) {
  if (received.size() < kAttributeListHeaderLength) return 0;
  const uint64_t announced =
      kAttributeListHeaderLength + btoui(received.data(), kAttributeListHeaderLength);
  return static_cast<size_t>(std::min<uint64_t>(announced, received.size()));
}

bool next_attribute(std::span<const uint8_t> received, size_t* offset, MamAttributeView* attr) {
  if (offset == nullptr || attr == nullptr) return false;
  const size_t end = attribute_list_end(received);
  const size_t at = *offset;
  if (at < kAttributeListHeaderLength || at >= end || end - at < kAttributeHeaderLength)
    return false;
  const uint16_t length = static_cast<uint16_t>((received[at + 3] << 8) | received[at + 4]);
  if (end - at - kAttributeHeaderLength < length) return false;
  attr->id = static_cast<uint16_t>((received[at] << 8) | received[at + 1]);
  attr->flags = received[at + 2];
  attr->length = length;
  attr->value = received.subspan(at + kAttributeHeaderLength, length);
  *offset = at + kAttributeHeaderLength + length;
  return true;
}

void set_drive_attribute(std::span<const uint8_t> received,
                         ST_SPTI_DEVICE_TYPE_ATTRIBUTE* attr_data) {
  if (attr_data == nullptr) return;
  size_t offset = kAttributeListHeaderLength;
  MamAttributeView attr;
  while (next_attribute(received, &offset, &attr)) fill_device_type(attr, attr_data);
}

void set_drive_host_type_attribute(std::span<const uint8_t> received,
                                   ST_SPTI_HOST_TYPE_ATTRIBUTE* attr_data) {
  if (attr_data == nullptr) return;
  size_t offset = kAttributeListHeaderLength;
  MamAttributeView attr;
  while (next_attribute(received, &offset, &attr)) fill_host_type(attr, attr_data);
}

BOOL spti_read_attribute(void* scparam, uint8_t partition, uint8_t action, uint16_t id,
                         uint32_t dxfer_len, void* dxferp, uint32_t* resid,
                         ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* /*syserr*/) {
  output_accdg_to_vl(LV_TRACE, VL_MISC,
                     "start:spti_read_attribute: action=0x%02X, partition=%d, id=0x%04X\n", action,
                     partition, id);
  unsigned char cdb[16] = {};
  cdb[0] = kOpReadAttribute16;
  cdb[1] = action & 0x1F;
  cdb[5] = 0;  // logical volume number
  cdb[7] = partition;
  put_be(cdb, 8, 2, id);
  put_be(cdb, 10, 4, dxfer_len);
  cdb[14] = 0;  // CACHE 0
  const BOOL result =
      issue_scsi_command(scparam, cdb, SG_DXFER_FROM_DEV, dxfer_len, dxferp, resid, sbp);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_read_attribute\n");
  return result;
}

std::optional<std::vector<AttributeValue>> read_attributes_from(void* scparam,
                                                               uint8_t partition,
                                                               uint16_t first_id) {
  std::vector<uint8_t> list(ATTRIBUTE_LIST_LENGTH);
  unsigned char cdb[16] = {};
  cdb[0] = kOpReadAttribute16;
  cdb[7] = partition;
  put_be(cdb, 8, 2, first_id);
  put_be(cdb, 10, 4, static_cast<uint64_t>(list.size()));
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  uint32_t received = 0;
  const CommandOptions quiet{.report_check_condition = false};
  if (!issue_scsi_command(scparam, cdb, SG_DXFER_FROM_DEV, static_cast<uint32_t>(list.size()),
                          list.data(), &received, &sense, quiet)) {
    return std::nullopt;
  }
  const std::span<const uint8_t> got(list.data(), std::min<size_t>(received, list.size()));
  std::vector<AttributeValue> values;
  size_t offset = kAttributeListHeaderLength;
  MamAttributeView attr;
  while (next_attribute(got, &offset, &attr)) {
    values.push_back({attr.id, std::vector<uint8_t>(attr.value.begin(), attr.value.end())});
  }
  return values;
}

std::optional<std::vector<uint8_t>> read_one_attribute(void* scparam, uint8_t partition,
                                                       uint16_t id) {
  const std::optional<std::vector<AttributeValue>> values =
      read_attributes_from(scparam, partition, id);
  if (!values || values->empty() || values->front().id != id) return std::nullopt;
  return values->front().value;
}

BOOL spti_read_drive_attribute(void* scparam, uint8_t action, uint16_t id,
                               ST_SPTI_DEVICE_TYPE_ATTRIBUTE* attr_data,
                               ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* syserr) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:spti_read_drive_attribute\n");
  uint8_t buffer[ATTRIBUTE_LIST_LENGTH] = {};
  uint32_t received = 0;
  const BOOL result =
      spti_read_attribute(scparam, 0, action, id, sizeof(buffer), buffer, &received, sbp, syserr);
  // Parsed whatever the command returned: after a failure nothing was received.
  set_drive_attribute(std::span<const uint8_t>(buffer, std::min<size_t>(received, sizeof(buffer))),
                      attr_data);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_read_drive_attribute\n");
  return result;
}

BOOL spti_read_drive_host_type_attribute(void* scparam, uint8_t action, uint16_t id,
                                         ST_SPTI_HOST_TYPE_ATTRIBUTE* attr_data,
                                         ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                                         ST_SYSTEM_ERRORINFO* syserr) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:spti_read_drive_host_type_attribute\n");
  uint8_t buffer[ATTRIBUTE_LIST_LENGTH] = {};
  uint32_t received = 0;
  const BOOL result =
      spti_read_attribute(scparam, 0, action, id, sizeof(buffer), buffer, &received, sbp, syserr);
  set_drive_host_type_attribute(
      std::span<const uint8_t>(buffer, std::min<size_t>(received, sizeof(buffer))), attr_data);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_read_drive_host_type_attribute\n");
  return result;
}

BOOL test_read_attribute(const char* path) {
  SelfTestDevice device(path);
  uint8_t buffer[kSelfTestBufferLength] = {};
  uint32_t received = 0;
  const BOOL result =
      spti_read_attribute(device.param(), 0, 0, mam::kVolumeCoherencyInformation, sizeof(buffer),
                          buffer, &received, device.sense(), device.error());
  if (result) std::printf("dxferp[0]: %d\n", buffer[0]);
  show_mam_page(std::span<const uint8_t>(buffer, std::min<size_t>(received, sizeof(buffer))));
  return result;
}

BOOL test_read_drive_attribute(const char* path) {
  SelfTestDevice device(path);
  ST_SPTI_DEVICE_TYPE_ATTRIBUTE attr{};
  const BOOL result = spti_read_drive_attribute(device.param(), 0, mam::kFirstDeviceType, &attr,
                                                device.sense(), device.error());
  if (result) {
    show_drive_attribute(attr);
    std::printf("read_drive_attribute: OK");
  }
  return result;
}

BOOL test_read_drive_host_type_attribute(const char* path) {
  SelfTestDevice device(path);
  ST_SPTI_HOST_TYPE_ATTRIBUTE attr{};
  const BOOL result = spti_read_drive_host_type_attribute(device.param(), 0, mam::kFirstHostType,
                                                          &attr, device.sense(), device.error());
  if (result) show_drive_host_type_attribute(attr);
  return result;
}

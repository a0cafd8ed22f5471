// Cartridge memory checks: the volume coherency information of both partitions, the volume
// change reference and the host-type attributes. Every finding of these checks is a warning;
// the records they fill are what the later label and marker checks compare against.
#include <strings.h>
#include <uuid/uuid.h>

#include <cinttypes>
#include <cstdint>
#include <cstring>

#include "endian_utils.h"
#include "output_level.h"
#include "spti_lib.h"
#include "support/printable.h"
#include "vexa_format_checker.h"

namespace {

constexpr uint16_t kVciAttributeId = 0x080C;
constexpr uint32_t kVciBufferLength = 61;
constexpr uint16_t kVciLength = 52;
constexpr uint8_t kVcrValueLength = 8;
constexpr uint16_t kAcsiLength = 25;
constexpr char kAcsiIdentifier[] = "Quorrant";
constexpr uint8_t kAcsiVersion = 1;
constexpr char kApplicationPrefix[] = "Quorrant ";
constexpr char kHtaLocation[] = "Medium Auxiliary Memory Host-type Attribute";
constexpr char kVciLocation[] = "Medium Auxiliary Memory Volume Coherency Information";

// Positions in the VCI read buffer (list header, attribute header, value).
constexpr size_t kPosId = 4;
constexpr size_t kPosLength = 7;
constexpr size_t kPosVcrLength = 9;
constexpr size_t kPosVcr = 10;
constexpr size_t kPosPrCount = 18;
constexpr size_t kPosRcmBlock = 26;
constexpr size_t kPosAcsiLength = 34;
constexpr size_t kPosAcsi = 36;

unsigned int ptr_bits(const void* p) {
  return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(p));
}

void* handle(const SCSI_DEVICE_PARAM* scparam) { return const_cast<SCSI_DEVICE_PARAM*>(scparam); }

// Copies `n` attribute bytes into a text field and terminates it.
template <size_t N>
void copy_text(char (&field)[N], const uint8_t* bytes, size_t n) {
  static_assert(N > 0);
  const size_t count = n < N - 1 ? n : N - 1;
  std::memcpy(field, bytes, count);
  field[count] = '\0';
}

}  // namespace

const char* clf_get_partition_name(const int part) {
  switch (part) {
    case 0:
      return "Reference";
    case 1:
      return "Data";
    default:
      return "Unknown";
  }
}

int clf_check_vci_acsi_length(const uint8_t* acsil) {
  if (acsil == nullptr) {
    output_fatal(VL_MISC, "Invalid arguments at clf_check_vci_acsi_length: acsil = 0x%X\n", 0u);
  }
  const uint16_t length = be16(acsil);
  if (length == kAcsiLength) return 0;
  return output_accdg_to_vl(LV_WARNING, VL_MISC,
                            "MAM VCI application client specific information length %d should be "
                            "%d\n",
                            length, kAcsiLength);
}

int clf_check_vci_acsi(const uint8_t* acsi, MamVci* coh) {
  if (acsi == nullptr || coh == nullptr) {
    output_fatal(VL_MISC, "Invalid arguments at clf_check_vci_acsi: acsi = 0x%X, coh = 0x%X\n",
                 ptr_bits(acsi), ptr_bits(coh));
  }
  int ret = 0;
  if (std::memcmp(acsi, kAcsiIdentifier, 8) != 0) {
    char found[9] = {};
    std::memcpy(found, acsi, 8);
    ret |= output_accdg_to_vl(LV_WARNING, VL_MISC,
                              "MAM VCI application client specific information ID %s should be "
                              "%s\n",
                              printable(found).c_str(), kAcsiIdentifier);
  }
  coh->Data.version = acsi[8];
  if (coh->Data.version != kAcsiVersion) {
    ret |= output_accdg_to_vl(LV_WARNING, VL_MISC,
                              "MAM VCI application client specific information version %d should "
                              "be %d\n",
                              coh->Data.version, kAcsiVersion);
  }
  uuid_unparse(acsi + 9, coh->Data.uuid);
  ret |= check_uuid_format(coh->Data.uuid, "Volume", kVciLocation);
  return ret;
}

int clf_check_mam_part(const SCSI_DEVICE_PARAM* scparam, const uint32_t part, MamVci* coh) {
  if (scparam == nullptr || coh == nullptr || part > 1) {
    output_fatal(VL_MISC,
                 "Invalid arguments at clf_check_mam_part: scparam = 0x%X, part = %u, coh = "
                 "0x%X\n",
                 ptr_bits(scparam), part, ptr_bits(coh));
  }
  coh->is_valid = 0;
  uint8_t buffer[kVciBufferLength] = {};
  uint32_t received = 0;
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ST_SYSTEM_ERRORINFO syserr{};
  if (!spti_read_attribute(handle(scparam), static_cast<uint8_t>(part), 0, kVciAttributeId,
                           kVciBufferLength, buffer, &received, &sense, &syserr)) {
    return output_accdg_to_vl(LV_WARNING, VL_MISC,
                              "Failed to access Medium Auxiliary Memory Volume Coherency "
                              "Information in Cartridge Memory.\n");
  }
  // Bytes the drive did not send stay zero: every field below is read from fixed positions of
  // the zero-filled buffer, never beyond it.
  coh->is_valid = 1;
  int ret = 0;
  const uint16_t id = be16(buffer + kPosId);
  if (id != kVciAttributeId) {
    ret |= output_accdg_to_vl(LV_WARNING, VL_MISC,
                              "MAM VCI ID 0x%04Xh should be 0x%04Xh in partition %d\n", id,
                              kVciAttributeId, static_cast<int>(part));
  }
  const uint16_t length = be16(buffer + kPosLength);
  if (length != kVciLength) {
    ret |=
        output_accdg_to_vl(LV_WARNING, VL_MISC, "MAM VCI length %d should be %d in partition %d\n",
                           length, kVciLength, static_cast<int>(part));
  }
  coh->Data.volume_change_ref = 0;
  coh->Data.rcm_block = 0;
  if (buffer[kPosVcrLength] == kVcrValueLength) {
    coh->Data.volume_change_ref = be64(buffer + kPosVcr);
  } else {
    ret |= output_accdg_to_vl(LV_WARNING, VL_MISC, "MAM VCI VCR size %d should be %d\n",
                              buffer[kPosVcrLength], kVcrValueLength);
  }
  coh->Data.pr_count = be64(buffer + kPosPrCount);
  coh->Data.rcm_block = be64(buffer + kPosRcmBlock);
  ret |= clf_check_vci_acsi_length(buffer + kPosAcsiLength);
  ret |= clf_check_vci_acsi(buffer + kPosAcsi, coh);
  return ret;
}

int clf_check_mam_vcr(const SCSI_DEVICE_PARAM* scparam, const MamVci* mamvci) {
  if (scparam == nullptr || mamvci == nullptr) {
    output_fatal(VL_MISC, "Invalid arguments at clf_check_mam_vcr: scparam = 0x%X, mamvci = 0x%X\n",
                 ptr_bits(scparam), ptr_bits(mamvci));
  }
  ST_SPTI_DEVICE_TYPE_ATTRIBUTE attributes{};
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ST_SYSTEM_ERRORINFO syserr{};
  if (!spti_read_drive_attribute(handle(scparam), 0, 0x0000, &attributes, &sense, &syserr)) {
    return output_accdg_to_vl(LV_WARNING, VL_MISC,
                              "Failed to access Medium Auxiliary Memory Volume Change Reference in "
                              "Cartridge Memory.\n");
  }
  const uint64_t vcr = attributes.volume_change_reference;
  bool consistent = true;
  for (int part = 0; part < 2; ++part) {
    if (mamvci[part].is_valid && mamvci[part].Data.volume_change_ref != vcr) consistent = false;
  }
  if (consistent) return 0;
  return output_accdg_to_vl(LV_WARNING, VL_MISC,
                            "MAM VCR mismatch.\n%sVCI[RP] [%" PRIu64 "]\n%sVCI[DP] [%" PRIu64
                            "]\n%sVCR     [%" PRIu64 "]\n",
                            INDENT, mamvci[0].Data.volume_change_ref, INDENT,
                            mamvci[1].Data.volume_change_ref, INDENT, vcr);
}

int check_application_name(const MamHta* mamhta) {
  if (mamhta == nullptr) {
    output_fatal(VL_MISC, "Invalid arguments at check_application_name: mamhta = 0x%X\n", 0u);
  }
  if (!mamhta->is_valid) return 0;
  int ret = 0;
  const char* name = mamhta->Data.application_name;
  if (std::strncmp(name, kApplicationPrefix, sizeof(kApplicationPrefix) - 1) != 0) {
    ret |= output_accdg_to_vl(LV_WARNING, VL_MISC,
                              "Application name \"%s\" in Medium Auxiliary Memory Host-type "
                              "Attributes should start with \"%s\"\n",
                              printable(name).c_str(), kApplicationPrefix);
  }
  for (int pos = 0; pos < 32; ++pos) {
    const auto byte = static_cast<unsigned char>(name[pos]);
    if (byte < 0x20 || byte > 0x7E) {
      ret |= output_accdg_to_vl(LV_WARNING, VL_MISC,
                                "Application name in Medium Auxiliary Memory Host-type Attributes "
                                "has invalid value 0x%02X at %d.\n",
                                byte, pos);
    }
  }
  return ret;
}

int clf_check_mam_hta(const SCSI_DEVICE_PARAM* scparam, const MamVci* mamvci, MamHta* mamhta) {
  if (scparam == nullptr || mamvci == nullptr || mamhta == nullptr) {
    output_fatal(VL_MISC,
                 "Invalid arguments at clf_check_mam_hta: scparam = 0x%X, mamvci = 0x%X, "
                 "mamhta = 0x%X\n",
                 ptr_bits(scparam), ptr_bits(mamvci), ptr_bits(mamhta));
  }
  ST_SPTI_HOST_TYPE_ATTRIBUTE attributes{};
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ST_SYSTEM_ERRORINFO syserr{};
  if (!spti_read_drive_host_type_attribute(handle(scparam), 0, 0x0800, &attributes, &sense,
                                           &syserr)) {
    return output_accdg_to_vl(LV_WARNING, VL_MISC,
                              "Failed to access Medium Auxiliary Memory Host-type Attribute in "
                              "Cartridge Memory.\n");
  }
  MamHtaData& data = mamhta->Data;
  copy_text(data.application_vendor, attributes.application_vendor, 8);
  copy_text(data.application_name, attributes.application_name, 32);
  copy_text(data.application_version, attributes.application_version, 8);
  copy_text(data.barcode, attributes.barcode, 32);
  uuid_unparse(attributes.medium_globally_unique_identifier, data.system_id);
  uuid_unparse(attributes.medium_globally_unique_identifier + 16, data.volume_id);
  uuid_unparse(attributes.media_pool_globally_unique_identifier, data.pool_id);
  uuid_unparse(attributes.media_pool_globally_unique_identifier + 16, data.pool_group_id);
  mamhta->is_valid = 1;

  int ret = 0;
  ret |= check_application_name(mamhta);
  ret |= check_uuid_format(data.system_id, "System", kHtaLocation);
  ret |= check_uuid_format(data.volume_id, "Volume", kHtaLocation);
  for (int part = 0; part < 2; ++part) {
    if (!mamvci[part].is_valid || strcasecmp(mamvci[part].Data.uuid, data.volume_id) == 0) continue;
    ret |= output_accdg_to_vl(LV_WARNING, VL_MISC,
                              "Volume UUID is inconsistent in Medium Auxiliary Memory\n%sVolume "
                              "Coherency Information of %s Partition: %s%s\n%sHost-type "
                              "Attributes:                                %s\n",
                              INDENT, clf_get_partition_name(part), part == 0 ? "" : "     ",
                              mamvci[part].Data.uuid, INDENT, data.volume_id);
  }
  ret |= check_uuid_format(data.pool_id, "Pool", kHtaLocation);
  ret |= check_optional_uuid_format(data.pool_group_id, "Pool Group", kHtaLocation);
  return ret;
}

int clf_check_mam_coherency(const SCSI_DEVICE_PARAM* scparam, MamVci* mamvci, MamHta* mamhta) {
  set_top_verbose(VL_MISC);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:clf_check_mam_coherency\n");
  if (scparam == nullptr || mamvci == nullptr || mamhta == nullptr) {
    output_fatal(VL_MISC,
                 "Invalid arguments at clf_check_mam_coherency: scparam = 0x%X, mamvci = "
                 "0x%X, mamhta = 0x%X\n",
                 ptr_bits(scparam), ptr_bits(mamvci), ptr_bits(mamhta));
  }
  int ret = 0;
  ret |= clf_check_mam_part(scparam, 0, &mamvci[0]);
  ret |= clf_check_mam_part(scparam, 1, &mamvci[1]);
  if (mamvci[0].is_valid && mamvci[1].is_valid) {
    if (mamvci[0].Data.pr_count != mamvci[1].Data.pr_count) {
      ret |= output_accdg_to_vl(LV_WARNING, VL_MISC,
                                "MAM VCI Partial Reference number mismatch RP[%" PRIu64
                                "] DP[%" PRIu64 "]\n",
                                mamvci[0].Data.pr_count, mamvci[1].Data.pr_count);
    }
    if (strcasecmp(mamvci[0].Data.uuid, mamvci[1].Data.uuid) != 0) {
      ret |= output_accdg_to_vl(LV_WARNING, VL_MISC, "MAM VCI Volume UUID mismatch RP[%s] DP[%s]\n",
                                mamvci[0].Data.uuid, mamvci[1].Data.uuid);
    }
  }
  ret |= clf_check_mam_vcr(scparam, mamvci);
  ret |= clf_check_mam_hta(scparam, mamvci, mamhta);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :clf_check_mam_coherency\n");
  set_top_verbose(VL_DEFAULT);
  return ret;
}

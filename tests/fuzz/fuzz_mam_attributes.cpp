// Cartridge memory: a READ ATTRIBUTE list decoded into the device-type and host-type records and
// walked attribute by attribute, and the application client specific information of the volume
// coherency information with the application name of the host-type attributes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_target.h"
#include "scsi/scsi_decode.h"
#include "support/file_helpers.h"
#include "vexa_format_checker.h"

namespace {

// The application client specific information: identifier, version and volume UUID.
constexpr size_t kAcsiBytes = 25;

void attribute_list(fuzz::Bytes list) {
  ST_SPTI_DEVICE_TYPE_ATTRIBUTE device{};
  set_drive_attribute(list, &device);
  ST_SPTI_HOST_TYPE_ATTRIBUTE host{};
  set_drive_host_type_attribute(list, &host);
  size_t offset = kAttributeListHeaderLength;
  MamAttributeView attribute;
  while (next_attribute(list, &offset, &attribute)) {
  }
}

void coherency(fuzz::Bytes bytes) {
  std::array<uint8_t, 2 + kAcsiBytes> acsi{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), acsi.size()), acsi.begin());
  MamVci vci{};
  clf_check_vci_acsi_length(acsi.data());
  clf_check_vci_acsi(acsi.data() + 2, &vci);
  MamHta hta{};
  const size_t name = std::min(bytes.size(), sizeof(hta.Data.application_name) - 1);
  std::memcpy(hta.Data.application_name, bytes.data(), name);
  check_application_name(&hta);
}

}  // namespace

OR_FUZZ_TARGET(mam_attributes) {
  attribute_list(input);
  coherency(input);
}

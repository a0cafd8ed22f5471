// Cartridge memory (MAM) attributes: the identifiers the program knows, their standard names, and
// the FORMAT bits that say how a value reads. READ ATTRIBUTE (read_attribute.cpp) returns them;
// the device-type and host-type records are filled from them, and tape_selftest names them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scsi::mam {

// Device type: kept by the drive, read only.
inline constexpr uint16_t kRemainingCapacity = 0x0000;
inline constexpr uint16_t kMaximumCapacity = 0x0001;
inline constexpr uint16_t kTapeAlertFlags = 0x0002;
inline constexpr uint16_t kLoadCount = 0x0003;
inline constexpr uint16_t kMamSpaceRemaining = 0x0004;
inline constexpr uint16_t kAssigningOrganization = 0x0005;
inline constexpr uint16_t kFormattedDensityCode = 0x0006;
inline constexpr uint16_t kInitializationCount = 0x0007;
inline constexpr uint16_t kVolumeIdentifier = 0x0008;
inline constexpr uint16_t kVolumeChangeReference = 0x0009;
inline constexpr uint16_t kSerialNumberLastLoad = 0x020A;
inline constexpr uint16_t kSerialNumberLoad1 = 0x020B;
inline constexpr uint16_t kSerialNumberLoad2 = 0x020C;
inline constexpr uint16_t kSerialNumberLoad3 = 0x020D;
inline constexpr uint16_t kWrittenInMediumLife = 0x0220;
inline constexpr uint16_t kReadInMediumLife = 0x0221;
inline constexpr uint16_t kWrittenInLastLoad = 0x0222;
inline constexpr uint16_t kReadInLastLoad = 0x0223;
inline constexpr uint16_t kFirstDeviceType = kRemainingCapacity;

// Medium type: written when the cartridge was made, read only.
inline constexpr uint16_t kMediumSerialNumber = 0x0401;
inline constexpr uint16_t kMediumDensityCode = 0x0405;

// Host type: written by the application that wrote the tape. 1607h lies in the range of the
// host's vendor-specific attributes.
inline constexpr uint16_t kFirstHostType = 0x0800;
inline constexpr uint16_t kApplicationVendor = 0x0800;
inline constexpr uint16_t kApplicationName = 0x0801;
inline constexpr uint16_t kApplicationVersion = 0x0802;
inline constexpr uint16_t kUserMediumTextLabel = 0x0803;
inline constexpr uint16_t kDateTimeLastWritten = 0x0804;
inline constexpr uint16_t kTextLocalizationIdentifier = 0x0805;
inline constexpr uint16_t kBarcode = 0x0806;
inline constexpr uint16_t kOwningHostTextualName = 0x0807;
inline constexpr uint16_t kMediaPool = 0x0808;
inline constexpr uint16_t kPartitionUserTextLabel = 0x0809;
inline constexpr uint16_t kLoadUnloadAtPartition = 0x080A;
inline constexpr uint16_t kVolumeCoherencyInformation = 0x080C;
inline constexpr uint16_t kMediumGloballyUniqueIdentifier = 0x0820;
inline constexpr uint16_t kMediaPoolGloballyUniqueIdentifier = 0x0821;
inline constexpr uint16_t kSystemGloballyUniqueIdentifier = 0x1607;

// Inside the volume coherency information, behind the volume change reference: the coherency
// count and set identifier, 8 bytes each, then the 2-byte length of the application's own part.
inline constexpr size_t kCoherencyNumberLength = 8;
inline constexpr size_t kApplicationLengthLength = 2;

// The FORMAT bits (1..0) of an attribute header's flags byte.
inline constexpr uint8_t kFormatMask = 0x03;
inline constexpr uint8_t kFormatBinary = 0x00;
inline constexpr uint8_t kFormatAscii = 0x01;  // left-aligned, blank padded
inline constexpr uint8_t kFormatText =
    0x02;  // as the text localization identifier says, null padded

// The attribute's standard name ("Volume Change Reference"); "" for an identifier without one
// here (vendor-specific and reserved identifiers among them).
const char* attribute_name(uint16_t id);

}  // namespace scsi::mam

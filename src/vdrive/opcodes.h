// The operation codes the virtual devices serve (a drive, a drive of a library, the changer),
// their INQUIRY device types and what converts the drive time model's seconds: one table for all
// of them. Every other operation code is refused as an invalid command.
#pragma once

#include <cstdint>

namespace vdrive::opcode {

inline constexpr uint8_t kTestUnitReady = 0x00;
inline constexpr uint8_t kRewind = 0x01;
inline constexpr uint8_t kReadBlockLimits = 0x05;
inline constexpr uint8_t kInitializeElementStatus = 0x07;
inline constexpr uint8_t kRead6 = 0x08;
inline constexpr uint8_t kSpace6 = 0x11;
inline constexpr uint8_t kInquiry = 0x12;
inline constexpr uint8_t kModeSense6 = 0x1A;
inline constexpr uint8_t kLoadUnload = 0x1B;
inline constexpr uint8_t kPreventAllowMediumRemoval = 0x1E;
inline constexpr uint8_t kLocate10 = 0x2B;
inline constexpr uint8_t kReadPosition = 0x34;
inline constexpr uint8_t kLogSense = 0x4D;
inline constexpr uint8_t kReadAttribute = 0x8C;
inline constexpr uint8_t kLocate16 = 0x92;
inline constexpr uint8_t kMoveMedium = 0xA5;
inline constexpr uint8_t kReadElementStatus = 0xB8;

// INQUIRY device types.
inline constexpr uint8_t kSequentialAccess = 0x01;
inline constexpr uint8_t kMediumChanger = 0x08;

// MODE SENSE: every page.
inline constexpr uint8_t kAllPages = 0x3F;

}  // namespace vdrive::opcode

namespace vdrive {

// Seconds of the drive time model as the counters keep them.
inline uint64_t micros(double seconds) { return static_cast<uint64_t>(seconds * 1e6); }

}  // namespace vdrive

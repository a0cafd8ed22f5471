// The TapeAlert page, decoded.
#include "scsi/tape_alert.h"

#include "scsi/scsi_decode.h"

#include <algorithm>
#include <cstdio>

namespace scsi {

namespace {

constexpr uint16_t kLastFlag = 0x40;

// The flags' names, by number; the critical ones (the drive or the data at risk) are marked.
struct FlagName {
  uint8_t flag;
  const char* words;
  bool critical;
};
constexpr FlagName kFlags[] = {
    {0x01, "read warning: the drive has trouble reading", false},
    {0x02, "write warning", false},
    {0x03, "hard error: a read or write failed", false},
    {0x04, "media: the cartridge's data is at risk", true},
    {0x05, "read failure: the cartridge or the drive is damaged", true},
    {0x06, "write failure", true},
    {0x07, "media life: the cartridge has reached the end of its life", false},
    {0x08, "not data grade: the cartridge is not a data cartridge", false},
    {0x09, "write protect", true},
    {0x0A, "no removal: the cartridge cannot be ejected now", false},
    {0x0B, "cleaning media: a cleaning cartridge is loaded", false},
    {0x0C, "unsupported format", false},
    {0x0D, "recoverable mechanical cartridge failure", true},
    {0x0E, "unrecoverable mechanical cartridge failure", true},
    {0x0F, "the cartridge memory failed", false},
    {0x10, "forced eject", true},
    {0x11, "read only format", false},
    {0x12, "the tape directory was corrupted on load", false},
    {0x13, "the cartridge nears the end of its life", false},
    {0x14, "clean now: the drive needs cleaning", true},
    {0x15, "clean periodic: the drive is due for cleaning", false},
    {0x16, "expired cleaning cartridge", true},
    {0x17, "invalid cleaning cartridge", true},
    {0x18, "retension requested", false},
    {0x19, "dual-port interface error", false},
    {0x1A, "cooling fan failure", false},
    {0x1B, "power supply failure", false},
    {0x1C, "power consumption", false},
    {0x1D, "drive maintenance is due", false},
    {0x1E, "hardware A: the drive has a hardware fault, reset it", true},
    {0x1F, "hardware B: the drive failed its self-test", true},
    {0x20, "interface: a fault of the host interface", false},
    {0x21, "eject media: eject the cartridge and load it again", true},
    {0x22, "microcode update failed", false},
    {0x23, "drive humidity out of range", false},
    {0x24, "drive temperature out of range", false},
    {0x25, "drive voltage out of range", false},
    {0x26, "predictive failure of the drive", true},
    {0x27, "diagnostics required", false},
    {0x32, "lost statistics", false},
    {0x33, "the tape directory is invalid at unload", false},
    {0x34, "tape system area write failure", true},
    {0x35, "tape system area read failure", true},
    {0x36, "no start of data", true},
    {0x37, "loading failure", true},
    {0x38, "unrecoverable unload failure", true},
    {0x39, "automation interface failure", true},
    {0x3A, "microcode failure", false},
    {0x3B, "WORM cartridge integrity check failed", false},
    {0x3C, "WORM cartridge overwrite attempted", false},
};

TapeAlert alert_of(uint8_t flag) {
  const auto* known = std::find_if(std::begin(kFlags), std::end(kFlags),
                                   [flag](const FlagName& f) { return f.flag == flag; });
  if (known != std::end(kFlags)) return TapeAlert{flag, known->words, known->critical};
  char words[16];
  std::snprintf(words, sizeof(words), "flag %02Xh", flag);
  return TapeAlert{flag, words, false};
}

}  // namespace

std::vector<TapeAlert> tape_alerts(std::span<const uint8_t> page) {
  std::vector<TapeAlert> alerts;
  for (uint16_t flag = 1; flag <= kLastFlag; ++flag) {
    const std::span<const uint8_t> value = find_log_parameter(page, flag);
    if (!value.empty() && (value[0] & 1) != 0) alerts.push_back(alert_of(static_cast<uint8_t>(flag)));
  }
  return alerts;
}

}  // namespace scsi

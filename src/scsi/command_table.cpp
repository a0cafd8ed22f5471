// The command table and the words for statuses and sense codes.
#include "scsi/command_table.h"

#include <cstdio>

namespace scsi {

namespace {

// Seconds a command may take before the kernel aborts it: the worst case of an LTO-9 drive.
constexpr uint32_t kPositioningSeconds = 3000;  // LOCATE, SPACE, REWIND: a pass over the tape
constexpr uint32_t kReadSeconds = 2400;         // READ: a block behind a long reposition
constexpr uint32_t kOtherSeconds = 60;          // commands that do not move the tape
constexpr uint32_t kDriveStateSeconds = 5;      // answered from the drive's own state at once
constexpr uint32_t kRobotSeconds = 600;         // a library's robot: a move, an inventory

constexpr CommandInfo kCommands[] = {
    {0x00, "TEST UNIT READY", kOtherSeconds, false},
    {0x01, "REWIND", kPositioningSeconds, true},
    {0x05, "READ BLOCK LIMITS", kOtherSeconds, false},
    {0x08, "READ(6)", kReadSeconds, true},
    {0x11, "SPACE(6)", kPositioningSeconds, true},
    {0x12, "INQUIRY", kOtherSeconds, false},
    {0x1A, "MODE SENSE(6)", kDriveStateSeconds, false},
    {0x1B, "LOAD UNLOAD", kPositioningSeconds, true},
    {0x1E, "PREVENT ALLOW MEDIUM REMOVAL", kDriveStateSeconds, false},
    {0x2B, "LOCATE(10)", kPositioningSeconds, true},
    {0x34, "READ POSITION", kOtherSeconds, false},
    {0x4D, "LOG SENSE", kOtherSeconds, false},
    {0x8C, "READ ATTRIBUTE", kOtherSeconds, false},
    {0x92, "LOCATE(16)", kPositioningSeconds, true},
    {0xA5, "MOVE MEDIUM", kRobotSeconds, false},
    {0xB8, "READ ELEMENT STATUS", kRobotSeconds, false},
};

struct Words {
  uint8_t code;
  const char* text;
  bool transient;
};

constexpr Words kHostStatus[] = {
    {0x01, "the drive is gone (no connection)", false},
    {0x02, "the bus stayed busy", true},
    {0x03, "timed out", true},
    {0x04, "the drive is gone (bad target)", false},
    {0x05, "aborted", true},
    {0x06, "parity error", false},
    {0x07, "internal error of the adapter", false},
    {0x08, "reset", true},
    {0x09, "unexpected interrupt", false},
    {0x0B, "soft error", true},
    {0x0C, "to be retried at once", true},
    {0x0D, "requeued", true},
    {0x0E, "transport disrupted", true},
    {0x0F, "the drive is gone (transport failed)", false},
    {0x10, "the drive failed", false},
    {0x11, "the path to the drive failed", false},
    {0x12, "the adapter is out of memory", false},
};

constexpr Words kDriverStatus[] = {
    {0x01, "driver busy", true},    {0x02, "soft error", true},
    {0x03, "medium error", false},  {0x04, "driver error", false},
    {0x05, "invalid request", false}, {0x06, "timed out", true},
    {0x07, "hard error", false},
};

struct AscWords {
  uint8_t asc;
  uint8_t ascq;
  const char* text;
};

constexpr AscWords kAsc[] = {
    {0x00, 0x00, "no additional sense"},
    {0x00, 0x01, "filemark detected"},
    {0x00, 0x02, "end of partition detected"},
    {0x00, 0x04, "beginning of partition detected"},
    {0x00, 0x05, "end of data detected"},
    {0x04, 0x00, "not ready, cause not reportable"},
    {0x04, 0x01, "becoming ready"},
    {0x04, 0x02, "the cartridge is not loaded"},
    {0x04, 0x03, "manual intervention required"},
    {0x04, 0x07, "operation in progress"},
    {0x0C, 0x00, "write error"},
    {0x11, 0x00, "unrecovered read error"},
    {0x14, 0x00, "recorded entity not found"},
    {0x14, 0x03, "end of data not found"},
    {0x15, 0x01, "mechanical positioning error"},
    {0x17, 0x01, "recovered data with retries"},
    {0x20, 0x00, "invalid command operation code"},
    {0x21, 0x01, "invalid element address"},
    {0x24, 0x00, "invalid field in the command"},
    {0x28, 0x00, "the cartridge may have changed"},
    {0x29, 0x00, "power on, reset or bus reset"},
    {0x2A, 0x01, "mode parameters changed"},
    {0x30, 0x00, "incompatible cartridge"},
    {0x30, 0x03, "a cleaning cartridge is loaded"},
    {0x3A, 0x00, "no cartridge in the drive"},
    {0x3B, 0x00, "sequential positioning error"},
    {0x3B, 0x0D, "the destination element is full"},
    {0x3B, 0x0E, "the source element is empty"},
    {0x44, 0x00, "internal drive failure"},
    {0x53, 0x00, "cartridge load or eject failed"},
    {0x53, 0x02, "medium removal prevented"},
    {0x74, 0x01, "unable to decrypt the data"},
    {0x74, 0x02, "unencrypted data met while decrypting"},
    {0x74, 0x03, "incorrect data encryption key"},
    {0x74, 0x04, "cryptographic integrity validation failed"},
    {0x74, 0x05, "error decrypting the data"},
    {0x82, 0x82, "the drive requires cleaning"},
};

std::string words_of(std::span<const Words> table, uint8_t code, const char* unknown) {
  for (const Words& w : table) {
    if (w.code == code) return w.text;
  }
  return unknown;
}

bool transient_in(std::span<const Words> table, uint8_t code) {
  for (const Words& w : table) {
    if (w.code == code) return w.transient;
  }
  return false;
}

}  // namespace

std::span<const CommandInfo> command_table() { return kCommands; }

CommandInfo command_info(uint8_t opcode) {
  for (const CommandInfo& c : kCommands) {
    if (c.opcode == opcode) return c;
  }
  return CommandInfo{opcode, "SCSI command", kOtherSeconds, false};
}

uint32_t command_timeout_ms(uint8_t opcode) { return command_info(opcode).timeout_seconds * 1000; }

std::string host_status_text(uint8_t host_status) {
  return words_of(kHostStatus, host_status, "failed in the host adapter");
}

bool host_status_transient(uint8_t host_status) { return transient_in(kHostStatus, host_status); }

std::string driver_status_text(uint8_t driver_status) {
  return words_of(kDriverStatus, driver_status & 0x0F, "failed in the driver");
}

bool driver_status_transient(uint8_t driver_status) {
  return transient_in(kDriverStatus, driver_status & 0x0F);
}

const char* asc_text(uint8_t asc, uint8_t ascq) {
  for (const AscWords& w : kAsc) {
    if (w.asc == asc && w.ascq == ascq) return w.text;
  }
  return "";
}

std::string sense_text(uint8_t key, uint8_t asc, uint8_t ascq) {
  char text[16];
  std::snprintf(text, sizeof(text), "%X/%02X/%02X", key & 0x0F, asc, ascq);
  const char* words = asc_text(asc, ascq);
  return words[0] == '\0' ? std::string(text) : std::string(text) + " (" + words + ")";
}

}  // namespace scsi

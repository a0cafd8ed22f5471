// The commands the program sends, with the time each may take on the slowest drive it reads
// (the longest locates and spaces of an LTO-9 drive take several minutes), and the words for what
// the kernel and the drive report about a command.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace scsi {

struct CommandInfo {
  uint8_t opcode = 0;
  const char* name = "";
  uint32_t timeout_seconds = 0;
  // The command moves the tape: after a failure the tape stands at an unknown place, and only
  // the caller, who knows where it must stand, can bring it back.
  bool moves_tape = false;
};

// Every command the program sends, one entry each.
std::span<const CommandInfo> command_table();

// The entry of `opcode`; an operation code the program does not send gets a generic entry with
// the timeout of the commands that do not position.
CommandInfo command_info(uint8_t opcode);

// The timeout of `opcode` in milliseconds, as the SG_IO header takes it.
uint32_t command_timeout_ms(uint8_t opcode);

// The host adapter's status of a command (Linux DID_* codes) in words, and whether a second try
// may succeed (a timeout, a reset, an abort) or the drive is out of reach (gone, internal error).
std::string host_status_text(uint8_t host_status);
bool host_status_transient(uint8_t host_status);

// The sg driver's status (its low four bits), in words, and whether a second try may succeed.
std::string driver_status_text(uint8_t driver_status);
bool driver_status_transient(uint8_t driver_status);

// ASC/ASCQ in words ("" for a pair without a description here).
const char* asc_text(uint8_t asc, uint8_t ascq);

// "K/AA/QQ (words)" of a sense: key, ASC, ASCQ and their description when known.
std::string sense_text(uint8_t key, uint8_t asc, uint8_t ascq);

}  // namespace scsi

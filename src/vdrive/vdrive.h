// What the virtual devices of this process (drives, libraries) tell about their work: counters
// of the commands served (for benchmarks and tests: blocks read, positioning commands issued) and
// the last command descriptor block each received (for tests of the exact bytes sent). The drive
// behind one descriptor is asked through tape_device.h, which keeps the table of descriptors.
#pragma once

#include <cstdint>
#include <vector>

namespace vdrive {

struct Counters {
  uint64_t commands = 0;  // every request answered, refused and faulted ones included
  uint64_t test_unit_ready = 0;
  uint64_t rewind = 0;
  uint64_t inquiry = 0;
  uint64_t locate = 0;
  uint64_t space = 0;
  uint64_t read = 0;            // READ commands
  uint64_t blocks_read = 0;     // READs that transferred a record's data
  uint64_t bytes_read = 0;      // data bytes transferred by READ
  uint64_t filemarks_read = 0;  // READs that met a filemark
  uint64_t read_position = 0;
  uint64_t log_sense = 0;
  uint64_t read_attribute = 0;
  uint64_t read_block_limits = 0;
  uint64_t mode_sense = 0;
  uint64_t prevent_removal = 0;  // PREVENT ALLOW MEDIUM REMOVAL commands that prevented removal
  uint64_t allow_removal = 0;    // and those that allowed it
  uint64_t refused = 0;          // operation codes the drive does not serve (writes among them)
  uint64_t injected_status = 0;  // commands answered with an injected status
  uint64_t injected_faults = 0;  // commands answered by another injected fault, not served
  uint64_t pauses = 0;           // pauses the program made between commands
  uint64_t paused_ms = 0;        // their length: what a real drive would have waited
  // The estimated drive time (drive_time.h): what a real drive would have spent, in
  // microseconds, and its positionings that stopped the tape, went back within a partition, or
  // changed partition.
  uint64_t drive_microseconds = 0;
  uint64_t stops = 0;
  uint64_t backward = 0;
  uint64_t partition_changes = 0;
  // The host's pace within runs of reads: the drive's stops for a host that took the records too
  // slowly (each costs a stop in the drive time), the wall-clock time the host took between
  // them, and the bytes those runs read.
  uint64_t host_stops = 0;
  uint64_t host_microseconds = 0;
  uint64_t host_bytes = 0;
  // A library: the changer's moves (MOVE MEDIUM that moved a cartridge), and a drive's loads and
  // unloads; LOAD UNLOAD commands served.
  uint64_t moves = 0;
  uint64_t loads = 0;
  uint64_t unloads = 0;
  uint64_t load_unload = 0;
  uint64_t read_element_status = 0;
  // A state, not a count: whether the last PREVENT ALLOW MEDIUM REMOVAL this drive served
  // prevented removal. Always false in total_counters().
  bool removal_prevented = false;

  uint64_t positioning() const { return rewind + locate + space; }
  // The bytes the runs of reads read per second of the host's time; 0 without host time.
  double host_bytes_per_second() const;
  // Adds every count of `other` (not the state).
  Counters& operator+=(const Counters& other);
};

struct LastCommand {
  std::vector<uint8_t> cdb;  // the cmd_len bytes received
  int dxfer_direction = 0;
  unsigned int dxfer_len = 0;
  unsigned int timeout = 0;  // milliseconds
};

// Sum over every virtual drive of the process (closed ones included) since the start of the
// process or the last reset.
Counters total_counters();
void reset_total_counters();
// Adds `amount` to one count of the process's sum; every device adds what it counts. Devices of
// several threads add at once: the sum is locked.
void add_to_totals(uint64_t Counters::*field, uint64_t amount);

// How many objects of each partition file are checked when a cartridge is opened (damage among
// them is said at the open); the rest is checked as the drive first moves over it, and damage
// there is said when met. Settable for tests of both ways.
inline constexpr uint64_t kObjectsCheckedAtOpen = 65536;
void set_objects_checked_at_open(uint64_t objects);

}  // namespace vdrive

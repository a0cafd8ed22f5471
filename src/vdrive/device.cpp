// The kinds of virtual device, opening one from its directory, and the process's sum of counters.
#include "vdrive/device.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <mutex>

#include "vdrive/library.h"
#include "vdrive/library_drive.h"
#include "vdrive/manifest.h"
#include "vdrive/medium_changer.h"
#include "vdrive/virtual_drive.h"

namespace vdrive {

namespace {

// Every count of Counters, for the sums.
constexpr uint64_t Counters::*kCounts[] = {
    &Counters::commands,
    &Counters::test_unit_ready,
    &Counters::rewind,
    &Counters::inquiry,
    &Counters::locate,
    &Counters::space,
    &Counters::read,
    &Counters::blocks_read,
    &Counters::bytes_read,
    &Counters::filemarks_read,
    &Counters::read_position,
    &Counters::log_sense,
    &Counters::read_attribute,
    &Counters::read_block_limits,
    &Counters::mode_sense,
    &Counters::prevent_removal,
    &Counters::allow_removal,
    &Counters::refused,
    &Counters::injected_status,
    &Counters::injected_faults,
    &Counters::pauses,
    &Counters::paused_ms,
    &Counters::drive_microseconds,
    &Counters::stops,
    &Counters::backward,
    &Counters::partition_changes,
    &Counters::host_stops,
    &Counters::host_microseconds,
    &Counters::host_bytes,
    &Counters::moves,
    &Counters::loads,
    &Counters::unloads,
    &Counters::load_unload,
    &Counters::read_element_status,
};

// The sum over every device of the process; devices of several threads add to it at once.
struct Totals {
  std::mutex lock;
  Counters sum;
};
Totals& totals() {
  static Totals t;
  return t;
}

bool holds(int dir_fd, const char* name) {
  struct stat st {};
  return ::fstatat(dir_fd, name, &st, 0) == 0;
}

}  // namespace

Counters& Counters::operator+=(const Counters& other) {
  for (const auto field : kCounts) this->*field += other.*field;
  return *this;
}

double Counters::host_bytes_per_second() const {
  return host_microseconds == 0 ? 0 : static_cast<double>(host_bytes) * 1e6 / host_microseconds;
}

Counters total_counters() {
  const std::lock_guard<std::mutex> held(totals().lock);
  return totals().sum;
}

void reset_total_counters() {
  const std::lock_guard<std::mutex> held(totals().lock);
  totals().sum = Counters{};
}

void add_to_totals(uint64_t Counters::*field, uint64_t amount) {
  const std::lock_guard<std::mutex> held(totals().lock);
  totals().sum.*field += amount;
}

DeviceKind device_kind(int dir_fd) {
  if (holds(dir_fd, kManifestFileName)) return DeviceKind::cartridge;
  if (holds(dir_fd, kDriveFileName)) return DeviceKind::library_drive;
  if (holds(dir_fd, kLibraryFileName)) return DeviceKind::changer;
  return DeviceKind::none;
}

std::unique_ptr<Device> open_device(int dir_fd, const std::string& dir, std::string* file,
                                    std::string* error) {
  switch (device_kind(dir_fd)) {
    case DeviceKind::cartridge:
      return VirtualDrive::load(dir_fd, dir, file, error);
    case DeviceKind::library_drive:
      return LibraryDrive::open(dir_fd, dir, file, error);
    case DeviceKind::changer:
      return MediumChanger::open(dir_fd, dir, file, error);
    case DeviceKind::none:
      break;
  }
  *file = dir;
  *error = "is no virtual cartridge, library or library drive";
  return nullptr;
}

}  // namespace vdrive

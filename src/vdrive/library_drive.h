// A drive of a virtual library ("drive<k>" in the library directory, with "drive.json"). It serves
// whatever cartridge the library's state file places in it, with every behaviour of a virtual
// drive (that cartridge's own faults included), and answers LOAD UNLOAD. Before each command it
// looks whether the state file was replaced: a cartridge the changer took out is gone, one it
// put in is loaded (its first TEST UNIT READYs answer "becoming ready"). Its drive time goes on
// across cartridges: each load and unload is paid as a real drive would pay it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "vdrive/device.h"
#include "vdrive/library.h"
#include "vdrive/library_state.h"
#include "vdrive/reply.h"
#include "vdrive/virtual_drive.h"

namespace vdrive {

class LibraryDrive : public Device {
 public:
  // Opens the drive of the directory `drive_fd` (named `dir`): its "drive.json" names the library
  // and the drive's index. Null with the faulty file in `*file` and what is wrong in `*error`.
  static std::unique_ptr<LibraryDrive> open(int drive_fd, const std::string& dir, std::string* file,
                                            std::string* error);

  int submit(sg_io_hdr_t* hdr) override;
  int control(unsigned long request, int* value) override;
  void pause(uint32_t milliseconds) override;
  Counters counters() const override;
  LastCommand last_command() const override;

  static constexpr double kLoadSeconds = 16;
  static constexpr double kUnloadSeconds = 20;  // after the rewind

 private:
  // What the drive holds, and so how it answers.
  enum class Holding { nothing, ready, unloaded, incompatible };
  LibraryDrive() = default;
  // Brings the drive up to the state file: the cartridge it places here, loaded or unloaded.
  void follow_state();
  void follow(const DriveState& placed);
  void take_out();
  void take_in(const DriveState& placed);
  Reply own_answer(const Cdb& cdb, std::span<uint8_t> out);
  Reply load_unload(const Cdb& cdb);
  // Changes this drive's entry of the state file while it still holds the cartridge `inserted`.
  bool update_drive(const std::function<void(DriveState&)>& change);
  void count(uint64_t Counters::*field, uint64_t amount = 1);
  void add_seconds(double seconds);

  LibraryConfig config_;
  size_t index_ = 0;
  std::string library_dir_;
  std::unique_ptr<StateFile> state_;
  std::unique_ptr<VirtualDrive> cartridge_;
  std::string cartridge_name_;
  uint64_t inserted_ = 0;
  Holding holding_ = Holding::nothing;
  uint64_t not_ready_left_ = 0;
  bool prevented_ = false;
  Counters own_;      // what the drive itself answered and paid
  Counters retired_;  // of the cartridges served before this one
  LastCommand last_;
  int reserved_size_ = kDefaultReservedSize;
};

}  // namespace vdrive

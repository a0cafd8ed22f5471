// The medium changer of a virtual library: it answers INQUIRY (a medium changer), MODE SENSE's
// element address assignment page, READ ELEMENT STATUS with volume tags (each cartridge's barcode
// label from its cartridge memory) and drive identifiers, and MOVE MEDIUM with its errors. Every
// move replaces the library's state file under its lock, so that drives in other processes see
// the cartridge arrive. Several threads may send it commands at once: it serves one at a time.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "vdrive/device.h"
#include "vdrive/library.h"
#include "vdrive/library_state.h"
#include "vdrive/reply.h"

namespace vdrive {

class MediumChanger : public Device {
 public:
  // Opens the library in `library_fd` (named `dir`), making its drives' directories where they
  // are missing; null with the faulty file in `*file` and what is wrong in `*error`.
  static std::unique_ptr<MediumChanger> open(int library_fd, const std::string& dir,
                                             std::string* file, std::string* error);

  int submit(sg_io_hdr_t* hdr) override;
  int control(unsigned long request, int* value) override;
  void pause(uint32_t milliseconds) override;
  Counters counters() const override;
  LastCommand last_command() const override;

  // What a move and a drive's unload by the changer cost, in seconds of its time.
  static constexpr double kMoveSeconds = 10;
  static constexpr double kForcedUnloadSeconds = 23;  // a rewind from an unknown place and 20 s

 private:
  // What the changer reads of a cartridge: its barcode label and generation.
  struct CartridgeFacts {
    std::string barcode;
    std::optional<unsigned> generation;
  };
  MediumChanger(LibraryConfig config, std::string dir)
      : config_(std::move(config)), dir_(std::move(dir)) {}
  Reply serve(const Cdb& cdb, std::span<uint8_t> out);
  Reply mode_sense(const Cdb& cdb, std::span<uint8_t> out) const;
  Reply read_element_status(const Cdb& cdb, std::span<uint8_t> out);
  Reply move_medium(const Cdb& cdb);
  // Moves the cartridge of `from` to `to` in `state`, or says why it cannot.
  std::optional<CheckCondition> move(LibraryState& state, uint16_t from, uint16_t to);
  std::vector<uint8_t> descriptor(const LibraryState& state, const Element& element, bool voltag,
                                  bool dvcid);
  const CartridgeFacts& facts(const std::string& cartridge);
  // The reply of a command the state file failed: said as an ERROR, the command not done.
  Reply state_failure(const std::string& error) const;
  void count(uint64_t Counters::*field, uint64_t amount = 1);

  LibraryConfig config_;
  std::string dir_;
  std::unique_ptr<StateFile> state_;
  std::map<std::string, CartridgeFacts> facts_;
  mutable std::mutex mutex_;
  Counters counters_;
  LastCommand last_;
  int reserved_size_ = kDefaultReservedSize;
};

}  // namespace vdrive

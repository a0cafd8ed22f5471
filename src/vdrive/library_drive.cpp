// A drive of a virtual library: the cartridge the state file places in it, its loads and unloads.
#include "vdrive/library_drive.h"

#include "output_level.h"
#include "vdrive/device_files.h"
#include "vdrive/opcodes.h"

namespace vdrive {

namespace {

constexpr CheckCondition kIncompatible{0x2, 0x30, 0x00};
constexpr CheckCondition kRemovalPrevented{0x5, 0x53, 0x02};

// "drive.json": {"library": DIR, "index": K}.
bool parse_drive_file(const std::string& text, std::string* library, size_t* index,
                      std::string* error) {
  Checker c(error);
  const JsonPtr root = c.parse_object(text);
  if (!root) return false;
  json_object* path = nullptr;
  int64_t k = 0;
  if (!c.member(root.get(), "", "library", json_type_string, &path) ||
      !c.integer(root.get(), "", "index", 0, kSlotBase - kDriveBase - 1, &k)) {
    return false;
  }
  *library = text_of(path);
  *index = static_cast<size_t>(k);
  if (!relative_path(*library)) {
    return c.fail("member \"library\" must name the library directory relative to the drive's");
  }
  return true;
}

}  // namespace

std::unique_ptr<LibraryDrive> LibraryDrive::open(int drive_fd, const std::string& dir,
                                                 std::string* file, std::string* error) {
  *file = dir + "/" + kDriveFileName;
  std::string text;
  std::string library;
  std::unique_ptr<LibraryDrive> drive(new LibraryDrive());
  if (!read_device_file(drive_fd, kDriveFileName, &text, error) ||
      !parse_drive_file(text, &library, &drive->index_, error)) {
    return nullptr;
  }
  support::UniqueFd library_fd = open_directory_below(drive_fd, library, error);
  if (!library_fd.valid()) return nullptr;
  drive->library_dir_ = dir + "/" + library;
  std::optional<LibraryConfig> config =
      load_library(library_fd.get(), drive->library_dir_, file, error);
  if (!config) return nullptr;
  drive->config_ = std::move(*config);
  if (drive->index_ >= drive->config_.drives.size()) {
    *file = dir + "/" + kDriveFileName;
    *error = "names drive " + std::to_string(drive->index_) + ", which the library does not have";
    return nullptr;
  }
  drive->state_ =
      std::make_unique<StateFile>(std::move(library_fd), drive->library_dir_, &drive->config_);
  LibraryState state;
  if (!drive->state_->read(&state, error)) {
    *file = drive->state_->path();
    return nullptr;
  }
  drive->follow(state.drives[drive->index_]);
  file->clear();
  return drive;
}

void LibraryDrive::count(uint64_t Counters::*field, uint64_t amount) {
  own_.*field += amount;
  add_to_totals(field, amount);
}

void LibraryDrive::add_seconds(double seconds) {
  count(&Counters::drive_microseconds, micros(seconds));
}

void LibraryDrive::follow_state() {
  if (!state_->changed()) return;
  LibraryState state;
  std::string error;
  if (!state_->read(&state, &error)) {
    output_accdg_to_vl(LV_ERROR, VL_MISC, "Virtual library drive %zu: %s.\n", index_,
                       error.c_str());
    return;
  }
  follow(state.drives[index_]);
}

void LibraryDrive::follow(const DriveState& placed) {
  if (placed.cartridge != cartridge_name_ || placed.inserted != inserted_) {
    take_out();
    if (!placed.cartridge.empty()) take_in(placed);
  } else if (holding_ == Holding::ready || holding_ == Holding::unloaded) {
    holding_ = placed.unloaded ? Holding::unloaded : Holding::ready;
  }
  prevented_ = placed.prevented;
}

void LibraryDrive::take_out() {
  if (cartridge_) retired_ += cartridge_->counters();
  cartridge_.reset();
  cartridge_name_.clear();
  inserted_ = 0;
  holding_ = Holding::nothing;
  not_ready_left_ = 0;
}

void LibraryDrive::take_in(const DriveState& placed) {
  cartridge_name_ = placed.cartridge;
  inserted_ = placed.inserted;
  const std::string path = library_dir_ + "/" + placed.cartridge;
  std::string file = path;
  std::string error;
  const support::UniqueFd dir =
      open_directory_below(state_->library_fd(), placed.cartridge, &error);
  if (dir.valid()) cartridge_ = VirtualDrive::load(dir.get(), path, &file, &error);
  if (!cartridge_) {
    // A cartridge the drive cannot load answers as one it cannot read.
    output_accdg_to_vl(LV_ERROR, VL_MISC,
                       "Virtual library drive %zu: the cartridge file %s is refused: %s.\n", index_,
                       file.c_str(), error.c_str());
    holding_ = Holding::incompatible;
    return;
  }
  const bool readable =
      drive_reads(config_.drives[index_], cartridge_generation(cartridge_->volume_personality()));
  holding_ = !readable         ? Holding::incompatible
             : placed.unloaded ? Holding::unloaded
                               : Holding::ready;
  if (readable && !placed.load_counted) {
    update_drive([](DriveState& d) { d.load_counted = true; });
    count(&Counters::loads);
    add_seconds(kLoadSeconds);
    not_ready_left_ = config_.load_not_ready;
  }
}

bool LibraryDrive::update_drive(const std::function<void(DriveState&)>& change) {
  std::string error;
  const bool written = state_->update(
      [&](LibraryState& state) {
        DriveState& d = state.drives[index_];
        if (d.cartridge != cartridge_name_ || d.inserted != inserted_) return false;
        change(d);
        return true;
      },
      &error);
  if (!written) {
    output_accdg_to_vl(LV_ERROR, VL_MISC, "Virtual library drive %zu: %s.\n", index_,
                       error.c_str());
  }
  return written;
}

int LibraryDrive::submit(sg_io_hdr_t* hdr) {
  follow_state();
  const std::optional<Request> request = take_request(hdr, std::nullopt);
  if (!request) return -1;
  last_.cdb.assign(hdr->cmdp, hdr->cmdp + hdr->cmd_len);
  last_.dxfer_direction = hdr->dxfer_direction;
  last_.dxfer_len = hdr->dxfer_len;
  last_.timeout = hdr->timeout;
  const uint8_t op = request->cdb[0];
  const bool becoming_ready = op == opcode::kTestUnitReady && not_ready_left_ > 0;
  if (holding_ == Holding::ready && op != opcode::kInquiry && op != opcode::kLoadUnload &&
      !becoming_ready) {
    const int rc = cartridge_->submit(hdr);
    const bool prevented = cartridge_->counters().removal_prevented;
    if (op == opcode::kPreventAllowMediumRemoval && rc == 0 && prevented != prevented_ &&
        update_drive([prevented](DriveState& d) { d.prevented = prevented; })) {
      prevented_ = prevented;
    }
    return rc;
  }
  count(&Counters::commands);
  complete_request(hdr, own_answer(request->cdb, request->out), false);
  return 0;
}

Reply LibraryDrive::own_answer(const Cdb& cdb, std::span<uint8_t> out) {
  const uint8_t op = cdb[0];
  if (op == opcode::kInquiry) {
    count(&Counters::inquiry);
    const Inquiry identity;
    return standard_inquiry(opcode::kSequentialAccess,
                            Identity{identity.vendor, identity.product, identity.revision}, cdb,
                            out);
  }
  if (op == opcode::kLoadUnload) {
    count(&Counters::load_unload);
    return load_unload(cdb);
  }
  if (op == opcode::kTestUnitReady) count(&Counters::test_unit_ready);
  switch (holding_) {
    case Holding::nothing:
      return check(kNoMedium);
    case Holding::unloaded:
      return check(kNotLoaded);
    case Holding::incompatible:
      return check(kIncompatible);
    case Holding::ready:
      break;
  }
  --not_ready_left_;  // only a TEST UNIT READY while the cartridge loads comes here
  return check(kNotReady);
}

Reply LibraryDrive::load_unload(const Cdb& cdb) {
  const bool load = cdb[4] & 0x01;
  if (holding_ == Holding::nothing) return check(kNoMedium);
  if (holding_ == Holding::incompatible) return check(kIncompatible);
  if (load == (holding_ == Holding::ready)) return Reply{};  // loaded, or unloaded, already
  if (!load && prevented_) return check(kRemovalPrevented);
  if (!update_drive([load](DriveState& d) { d.unloaded = !load; })) return check(kNotReady);
  if (load) {
    count(&Counters::loads);
    add_seconds(kLoadSeconds);
    holding_ = Holding::ready;
    return Reply{};
  }
  cartridge_->unload();
  count(&Counters::unloads);
  add_seconds(kUnloadSeconds);
  holding_ = Holding::unloaded;
  not_ready_left_ = 0;
  return Reply{};
}

int LibraryDrive::control(unsigned long request, int* value) {
  if (cartridge_) return cartridge_->control(request, value);
  return adapter_control(request, value, kDefaultMaxTransfer, &reserved_size_);
}

void LibraryDrive::pause(uint32_t milliseconds) {
  count(&Counters::pauses);
  count(&Counters::paused_ms, milliseconds);
}

Counters LibraryDrive::counters() const {
  Counters c = own_;
  c += retired_;
  if (cartridge_) c += cartridge_->counters();
  c.removal_prevented = prevented_;
  return c;
}

LastCommand LibraryDrive::last_command() const { return last_; }

}  // namespace vdrive

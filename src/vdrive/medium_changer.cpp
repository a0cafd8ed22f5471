// The virtual library's medium changer: its answers and its moves.
#include "vdrive/medium_changer.h"

#include <algorithm>
#include <cerrno>

#include "output_level.h"
#include "vdrive/device_files.h"
#include "vdrive/opcodes.h"

namespace vdrive {

namespace {


constexpr uint8_t kElementAddressPage = 0x1D;
constexpr size_t kModeHeaderLength = 4;
constexpr size_t kElementAddressPageLength = 20;

constexpr CheckCondition kInvalidElement{0x5, 0x21, 0x01};
constexpr CheckCondition kSourceEmpty{0x5, 0x3B, 0x0E};
constexpr CheckCondition kDestinationFull{0x5, 0x3B, 0x0D};
constexpr CheckCondition kRemovalPrevented{0x5, 0x53, 0x02};
constexpr CheckCondition kInternalFailure{0x4, 0x44, 0x00};
constexpr CheckCondition kIncompatible{0x2, 0x30, 0x00};

// READ ELEMENT STATUS: the header, each page's header, the descriptor and its parts.
constexpr size_t kStatusHeaderLength = 8;
constexpr size_t kPageHeaderLength = 8;
constexpr size_t kDescriptorLength = 12;
constexpr size_t kBarcodeLength = 32;
constexpr size_t kVolumeTagLength = 36;
constexpr size_t kIdentifierLength = 32;
constexpr size_t kIdentifierHeaderLength = 4;
constexpr uint8_t kFull = 0x01;
constexpr uint8_t kExcept = 0x04;
constexpr uint8_t kAccess = 0x08;
constexpr uint8_t kSourceValid = 0x80;
constexpr uint8_t kPrimaryVolumeTag = 0x80;
constexpr uint8_t kAsciiCodeSet = 0x02;
constexpr uint16_t kBarcodeAttribute = 0x0806;

const ElementType kAddressOrder[] = {ElementType::robot, ElementType::import_export,
                                     ElementType::drive, ElementType::storage};

void put_text(std::vector<uint8_t>& out, size_t at, const std::string& text, size_t width) {
  std::string field = text.substr(0, width);
  field.resize(width, ' ');
  std::copy(field.begin(), field.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

// The barcode label of a cartridge memory attribute: its text up to the first blank or zero.
std::string barcode_of(const Manifest& manifest) {
  const Attribute* label = manifest.find_attribute(0, kBarcodeAttribute);
  if (label == nullptr) return "";
  const auto end = std::find_if(label->value.begin(), label->value.end(),
                                [](uint8_t b) { return b == ' ' || b == 0; });
  return std::string(label->value.begin(), end);
}

const ElementState& element_state(const LibraryState& state, const Element& e) {
  static const ElementState kEmpty;
  switch (e.type) {
    case ElementType::storage:
      return state.slots[e.index];
    case ElementType::import_export:
      return state.import_export[e.index];
    case ElementType::drive:
      return state.drives[e.index];
    case ElementType::robot:
      break;
  }
  return kEmpty;
}

ElementState* element_state(LibraryState& state, const Element& e) {
  return e.type == ElementType::robot
             ? nullptr
             : const_cast<ElementState*>(&element_state(std::as_const(state), e));
}

}  // namespace

std::unique_ptr<MediumChanger> MediumChanger::open(int library_fd, const std::string& dir,
                                                   std::string* file, std::string* error) {
  std::optional<LibraryConfig> config = load_library(library_fd, dir, file, error);
  if (!config) return nullptr;
  std::unique_ptr<MediumChanger> changer(new MediumChanger(std::move(*config), dir));
  std::string why;
  support::UniqueFd own = open_directory_below(library_fd, ".", &why);
  if (!own.valid() || !make_drive_directories(library_fd, dir, changer->config_, error)) {
    if (!own.valid()) *error = why;
    *file = dir;
    return nullptr;
  }
  changer->state_ = std::make_unique<StateFile>(std::move(own), dir, &changer->config_);
  LibraryState state;
  if (!changer->state_->read(&state, error)) {
    *file = changer->state_->path();
    return nullptr;
  }
  file->clear();
  return changer;
}

void MediumChanger::count(uint64_t Counters::*field, uint64_t amount) {
  counters_.*field += amount;
  add_to_totals(field, amount);
}

int MediumChanger::submit(sg_io_hdr_t* hdr) {
  const std::lock_guard<std::mutex> held(mutex_);
  const std::optional<Request> request = take_request(hdr, std::nullopt);
  if (!request) return -1;
  last_.cdb.assign(hdr->cmdp, hdr->cmdp + hdr->cmd_len);
  last_.dxfer_direction = hdr->dxfer_direction;
  last_.dxfer_len = hdr->dxfer_len;
  last_.timeout = hdr->timeout;
  count(&Counters::commands);
  complete_request(hdr, serve(request->cdb, request->out), false);
  return 0;
}

int MediumChanger::control(unsigned long request, int* value) {
  const std::lock_guard<std::mutex> held(mutex_);
  return adapter_control(request, value, kDefaultMaxTransfer, &reserved_size_);
}

void MediumChanger::pause(uint32_t milliseconds) {
  const std::lock_guard<std::mutex> held(mutex_);
  count(&Counters::pauses);
  count(&Counters::paused_ms, milliseconds);
}

Counters MediumChanger::counters() const {
  const std::lock_guard<std::mutex> held(mutex_);
  return counters_;
}

LastCommand MediumChanger::last_command() const {
  const std::lock_guard<std::mutex> held(mutex_);
  return last_;
}

Reply MediumChanger::serve(const Cdb& cdb, std::span<uint8_t> out) {
  switch (cdb[0]) {
    case opcode::kTestUnitReady:
      count(&Counters::test_unit_ready);
      return Reply{};
    case opcode::kInitializeElementStatus:
      return Reply{};
    case opcode::kPreventAllowMediumRemoval:  // it keeps the import/export slots closed
      count(cdb[4] & 0x01 ? &Counters::prevent_removal : &Counters::allow_removal);
      return Reply{};
    case opcode::kInquiry:
      count(&Counters::inquiry);
      return standard_inquiry(
          opcode::kMediumChanger,
          Identity{config_.inquiry.vendor, config_.inquiry.product, config_.inquiry.revision}, cdb,
          out);
    case opcode::kModeSense6:
      count(&Counters::mode_sense);
      return mode_sense(cdb, out);
    case opcode::kReadElementStatus:
      count(&Counters::read_element_status);
      return read_element_status(cdb, out);
    case opcode::kMoveMedium:
      return move_medium(cdb);
    default:
      count(&Counters::refused);
      return check(kInvalidOpcode);
  }
}

Reply MediumChanger::mode_sense(const Cdb& cdb, std::span<uint8_t> out) const {
  const uint8_t page = cdb[2] & 0x3F;
  if (page != kElementAddressPage && page != opcode::kAllPages) return check(kInvalidField);
  std::vector<uint8_t> data(kModeHeaderLength + kElementAddressPageLength, 0);
  data[0] = static_cast<uint8_t>(data.size() - 1);  // no block descriptor
  data[kModeHeaderLength] = kElementAddressPage;
  data[kModeHeaderLength + 1] = kElementAddressPageLength - 2;
  size_t at = kModeHeaderLength + 2;
  for (const ElementType type :
       {ElementType::robot, ElementType::storage, ElementType::import_export, ElementType::drive}) {
    put_be(data, at, 2, address_of(Element{type, 0}));
    put_be(data, at + 2, 2, element_count(config_, type));
    at += 4;
  }
  Reply r;
  r.transferred = deliver(data, cdb[4], out);
  return r;
}

const MediumChanger::CartridgeFacts& MediumChanger::facts(const std::string& cartridge) {
  const auto known = facts_.find(cartridge);
  if (known != facts_.end()) return known->second;
  // A cartridge whose manifest cannot be read shows no barcode; its drive says what is wrong.
  CartridgeFacts f;
  std::string why;
  std::string text;
  const support::UniqueFd dir = open_directory_below(state_->library_fd(), cartridge, &why);
  if (dir.valid() && read_device_file(dir.get(), kManifestFileName, &text, &why)) {
    if (const std::optional<Manifest> m = parse_manifest(text, &why)) {
      f.barcode = barcode_of(*m);
      f.generation = cartridge_generation(m->volume_personality);
    }
  }
  return facts_.emplace(cartridge, std::move(f)).first->second;
}

std::vector<uint8_t> MediumChanger::descriptor(const LibraryState& state, const Element& element,
                                               bool voltag, bool dvcid) {
  const bool drive = element.type == ElementType::drive;
  const ElementState& held = element_state(state, element);
  std::vector<uint8_t> d(kDescriptorLength, 0);
  put_be(d, 0, 2, address_of(element));
  d[2] = kAccess;
  if (!held.cartridge.empty()) {
    d[2] |= kFull;
    if (drive && !drive_reads(config_.drives[element.index], facts(held.cartridge).generation)) {
      d[2] |= kExcept;
      d[4] = kIncompatible.asc;
      d[5] = kIncompatible.ascq;
    }
  }
  if (held.source) {
    d[9] = kSourceValid;
    put_be(d, 10, 2, *held.source);
  }
  if (voltag) {
    d.resize(d.size() + kVolumeTagLength, 0);  // the last 4 bytes: volume sequence, reserved
    put_text(d, kDescriptorLength,
             held.cartridge.empty() ? std::string() : facts(held.cartridge).barcode,
             kBarcodeLength);
  }
  if (drive && dvcid) {
    const size_t at = d.size();
    d.resize(at + kIdentifierHeaderLength + kIdentifierLength, 0);
    d[at] = kAsciiCodeSet;  // identifier type 0: vendor specific
    d[at + 3] = kIdentifierLength;
    put_text(d, at + kIdentifierHeaderLength, drive_directory_name(element.index),
             kIdentifierLength);
  }
  return d;
}

Reply MediumChanger::read_element_status(const Cdb& cdb, std::span<uint8_t> out) {
  const uint8_t type_code = cdb[1] & 0x0F;
  const bool voltag = cdb[1] & 0x10;
  const uint64_t start = cdb_number(cdb, 2, 2);
  const uint64_t wanted = cdb_number(cdb, 4, 2);
  const bool dvcid = cdb[6] & 0x01;
  if (type_code > static_cast<uint8_t>(ElementType::drive)) return check(kInvalidField);
  std::string error;
  LibraryState state;
  if (!state_->read(&state, &error)) return state_failure(error);
  // The elements asked for, in ascending address order, from the starting address on.
  std::vector<Element> chosen;
  bool any_at_or_above = false;
  for (const ElementType type : kAddressOrder) {
    if (type_code != 0 && static_cast<uint8_t>(type) != type_code) continue;
    for (size_t i = 0; i < element_count(config_, type); ++i) {
      const Element e{type, i};
      if (address_of(e) < start) continue;
      any_at_or_above = true;
      if (chosen.size() < wanted) chosen.push_back(e);
    }
  }
  if (!any_at_or_above) return check(kInvalidElement);
  std::vector<uint8_t> data(kStatusHeaderLength, 0);
  for (size_t i = 0; i < chosen.size();) {
    const size_t page = data.size();
    data.resize(page + kPageHeaderLength, 0);
    size_t length = 0;
    for (; i < chosen.size() &&
           (data.size() == page + kPageHeaderLength || chosen[i].type == chosen[i - 1].type);
         ++i) {
      const std::vector<uint8_t> d = descriptor(state, chosen[i], voltag, dvcid);
      length = d.size();
      data.insert(data.end(), d.begin(), d.end());
    }
    data[page] = static_cast<uint8_t>(chosen[i - 1].type);
    data[page + 1] = voltag ? kPrimaryVolumeTag : 0;
    put_be(data, page + 2, 2, length);
    put_be(data, page + 5, 3, data.size() - page - kPageHeaderLength);
  }
  put_be(data, 0, 2, chosen.empty() ? start : address_of(chosen.front()));
  put_be(data, 2, 2, chosen.size());
  put_be(data, 5, 3, data.size() - kStatusHeaderLength);
  Reply r;
  r.transferred = deliver(data, cdb_number(cdb, 7, 3), out);
  return r;
}

Reply MediumChanger::move_medium(const Cdb& cdb) {
  const auto robot = static_cast<uint16_t>(cdb_number(cdb, 2, 2));
  const auto from = static_cast<uint16_t>(cdb_number(cdb, 4, 2));
  const auto to = static_cast<uint16_t>(cdb_number(cdb, 6, 2));
  std::optional<CheckCondition> refused;
  std::string error;
  const bool written = state_->update(
      [&](LibraryState& state) {
        const uint64_t seen = state.move_commands++;
        for (const MoveError& e : config_.move_errors) {
          if (e.after == seen) {
            refused = e.sense;
            return true;
          }
        }
        refused = robot != kRobotAddress ? std::optional(kInvalidElement) : move(state, from, to);
        return true;
      },
      &error);
  if (!written) return state_failure(error);
  if (refused) return check(*refused);
  count(&Counters::moves);
  count(&Counters::drive_microseconds, micros(kMoveSeconds));
  return Reply{};
}

std::optional<CheckCondition> MediumChanger::move(LibraryState& state, uint16_t from, uint16_t to) {
  const std::optional<Element> source = element_at(config_, from);
  const std::optional<Element> target = element_at(config_, to);
  if (!source || !target || source->type == ElementType::robot ||
      target->type == ElementType::robot) {
    return kInvalidElement;
  }
  ElementState* src = element_state(state, *source);
  ElementState* dst = element_state(state, *target);
  if (src->cartridge.empty()) return kSourceEmpty;
  if (!dst->cartridge.empty()) return kDestinationFull;
  if (source->type == ElementType::drive) {
    const DriveState& drive = state.drives[source->index];
    if (drive.prevented) return kRemovalPrevented;
    if (!drive.unloaded) {
      count(&Counters::unloads);
      count(&Counters::drive_microseconds, micros(kForcedUnloadSeconds));
    }
  }
  ElementState moved{src->cartridge,
                     source->type == ElementType::drive ? src->source : std::optional(from)};
  if (source->type == ElementType::drive) {
    state.drives[source->index] = DriveState{};
  } else {
    *src = ElementState{};
  }
  ++state.moves;
  if (target->type == ElementType::drive) {
    DriveState arrived;
    static_cast<ElementState&>(arrived) = moved;
    arrived.inserted = state.moves;
    state.drives[target->index] = arrived;
  } else {
    *dst = moved;
  }
  return std::nullopt;
}

Reply MediumChanger::state_failure(const std::string& error) const {
  output_accdg_to_vl(LV_ERROR, VL_MISC, "Virtual library %s: %s.\n", dir_.c_str(), error.c_str());
  return check(kInternalFailure);
}

}  // namespace vdrive

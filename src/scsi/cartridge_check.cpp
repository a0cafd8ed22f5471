// The check that the cartridge in the drive is still the one the job began with. A drive answers
// a unit attention 6/28/00 (the medium may have changed) after a cartridge was unloaded and one
// loaded, the same or another: the command that met it is sent again by the retry policy and then
// runs on whatever is loaded now. Before anything more is read, the drive reads again what names
// the cartridge (cartridge memory serial number, barcode and volume identifier, and the first
// record of partition 0) and compares it with what it read at opening.
#include <algorithm>
#include <string>
#include <vector>

#include "output_level.h"
#include "scsi/mam_attributes.h"
#include "scsi/scsi_command.h"
#include "scsi_util.h"
#include "support/printable.h"

namespace {

constexpr uint8_t kIdentityPartition = 0;

std::string text_of(const std::optional<std::vector<uint8_t>>& value) {
  if (!value) return "none";
  std::string text(value->begin(), value->end());
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return "\"" + printable(text) + "\"";
}

}  // namespace

// One READ ATTRIBUTE from the medium serial number on; a drive that refuses attributes below the
// host-type ones is asked from there (no serial number then).
TapeDrive::CartridgeIdentity TapeDrive::read_identity() {
  std::optional<std::vector<AttributeValue>> values =
      read_attributes_from(&param_, kIdentityPartition, scsi::mam::kMediumSerialNumber);
  if (!values) values = read_attributes_from(&param_, kIdentityPartition, scsi::mam::kFirstHostType);
  CartridgeIdentity id;
  for (const AttributeValue& a : values.value_or(std::vector<AttributeValue>{})) {
    if (a.id == scsi::mam::kMediumSerialNumber) id.serial = a.value;
    if (a.id == scsi::mam::kBarcode) id.barcode = a.value;
    if (a.id == scsi::mam::kMediumGloballyUniqueIdentifier) id.volume = a.value;
  }
  return id;
}

// A read of block 0 of partition 0 brought the cartridge's first record: it is kept.
void TapeDrive::note_first_record(const scsi::ReadResult& r, uint64_t start, const void* data) {
  if (start != 0 || cursor_.partition_ != kIdentityPartition || !first_record_.empty()) return;
  if (r.kind != scsi::ReadKind::block || r.length == 0) return;
  const auto* bytes = static_cast<const uint8_t*>(data);
  first_record_.assign(bytes, bytes + r.length);
}

// What differs between the cartridge memory read at opening and `now`; empty when nothing does.
std::string TapeDrive::identity_difference(const CartridgeIdentity& now) {
  const struct {
    const char* name;
    const std::optional<std::vector<uint8_t>>& then;
    const std::optional<std::vector<uint8_t>>& now;
  } parts[] = {{"serial number", identity_.serial, now.serial},
               {"barcode", identity_.barcode, now.barcode},
               {"volume identifier", identity_.volume, now.volume}};
  for (const auto& part : parts) {
    if (part.then != part.now) {
      return std::string("its cartridge memory names ") + part.name + " " + text_of(part.now) +
             ", the job's cartridge " + text_of(part.then);
    }
  }
  return "";
}

// Reads the first record of partition 0 again and compares it with the one the job read; empty
// when it is the same. The tape is left wherever the read took it.
std::string TapeDrive::label_difference() {
  std::vector<uint8_t> again(first_record_.size() + 1, 0);
  uint32_t count = 0;
  const CommandOptions quiet{.report_check_condition = false};
  if (!send_locate(kIdentityPartition, 0) ||
      !read_block_command(&param_, static_cast<uint32_t>(again.size()), again.data(), &count,
                          &sense_, quiet)) {
    return "its first record could not be read (" +
           scsi::describe(scsi::last_command_report().outcome) + ")";
  }
  again.resize(std::min<size_t>(count, again.size()));
  if (again != first_record_) return "its first record (the VOL1 label) is another";
  return "";
}

// After a unit attention 6/28/00: the same cartridge gets a WARNING and the tape goes back where
// the job stood, unless the caller repositions it itself (a READ, a LOCATE or a SPACE in flight
// is sent again from where it started); another cartridge, or one that cannot be told from
// another, ends the run. True when the check was made (the tape then stands elsewhere than the
// command left it). Before the identity is learnt (at opening) there is nothing to compare with.
bool TapeDrive::check_cartridge(bool caller_repositions) {
  if (!param_.medium_changed || checking_cartridge_) return false;
  param_.medium_changed = false;
  if (!identity_known_) return false;
  checking_cartridge_ = true;
  std::string difference = identity_difference(read_identity());
  const bool named = identity_.serial || identity_.barcode || identity_.volume;
  if (difference.empty() && !first_record_.empty()) difference = label_difference();
  if (difference.empty() && !named && first_record_.empty()) {
    difference = "nothing that names the cartridge was read before";
  }
  drive_away_ = false;
  if (!difference.empty()) {
    output_fatal(VL_COMMON,
                 "The cartridge in the drive was changed during the job (unit attention 6/28/00): "
                 "%s. Nothing of the cartridge now loaded is read or written. Put the job's "
                 "cartridge back and run the job again.\n",
                 difference.c_str());
  }
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "The drive reported that the cartridge may have changed (unit attention "
                     "6/28/00): it is the same cartridge, reloaded. The job goes on from where "
                     "it stood.\n");
  // A reload ends the prevention of removal on most drives.
  if (removal_prevented_) prevent_removal();
  if (caller_repositions) {
    cursor_.forget();
  } else {
    return_after_reload();
  }
  checking_cartridge_ = false;
  return true;
}

// Brings the tape back where the job stood before a reload: the place the cursor last knew, or
// the end of the last SPACE made again. Before the job used any place there is nothing to return
// to. Where neither is known the run ends: reading on from wherever the reload left the tape
// would read the wrong blocks.
void TapeDrive::return_after_reload() {
  const TapeCursor& c = cursor_;
  if (!c.placed_) return;
  if (c.known_ && c.partition_known_) {
    locate_or_end(c.partition_, c.position_);
    return;
  }
  if (const std::optional<SpaceMove> move = last_space_) {
    locate_or_end(move->partition, move->start);
    space(move->code, move->count);
    return;
  }
  output_fatal(VL_COMMON,
               "The cartridge was reloaded at a moment when the program did not know where the "
               "tape stood. Run the job again.\n");
}

// The virtual drive's answers: data, status, sense and residue of every command it serves.
#include "vdrive/virtual_drive.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "support/unique_fd.h"
#include "vdrive/device_files.h"
#include "vdrive/opcodes.h"

namespace vdrive {

namespace {


constexpr uint8_t kHostTimedOut = 0x03;
constexpr uint8_t kHostBusReset = 0x08;

constexpr uint8_t kVolumeStatisticsPage = 0x17;
constexpr uint16_t kVolumePersonality = 0x0045;
constexpr uint8_t kReadPositionLongForm = 0x06;
constexpr size_t kLongFormLength = 32;
constexpr uint16_t kFirstHostTypeAttribute = 0x0800;
constexpr size_t kReadBlockLimitsLength = 6;
// MODE SENSE(6): the mode parameter header and one block descriptor, no pages.
constexpr size_t kModeHeaderLength = 4;
constexpr size_t kBlockDescriptorLength = 8;
constexpr uint8_t kWriteProtected = 0x80;

}  // namespace

namespace {

// The manifest of the cartridge in `dir_fd`, read and checked; `*file` names it.
std::optional<Manifest> load_manifest(int dir_fd, const std::string& dir, std::string* file,
                                      std::string* error) {
  *file = dir + "/" + kManifestFileName;
  std::string text;
  if (!read_device_file(dir_fd, kManifestFileName, &text, error)) return std::nullopt;
  return parse_manifest(text, error);
}

// The medium of the cartridge in `dir_fd` that `manifest` describes: its partition files opened
// and the attributes, taken from `manifest`, indexed. Null when a partition file cannot be opened
// (`*file` names it).
std::unique_ptr<Medium> open_medium(int dir_fd, const std::string& dir, Manifest& manifest,
                                    std::string* file, std::string* error) {
  auto medium = std::make_unique<Medium>();
  medium->volume_personality = manifest.volume_personality;
  medium->density = manifest.density;
  medium->attributes = std::move(manifest.attributes);
  manifest.attributes.clear();
  for (size_t i = 0; i < medium->attributes.size(); ++i) {
    const Attribute& a = medium->attributes[i];
    medium->attribute_index.emplace(std::make_pair(a.partition, a.id), i);
  }
  for (const std::string& name : manifest.partitions) {
    *file = dir + "/" + name;
    std::unique_ptr<PartitionFile> partition = PartitionFile::open(dir_fd, name, *file, error);
    if (!partition) return nullptr;
    medium->partitions.push_back(std::move(partition));
  }
  return medium;
}

// The medium that a cartridge change puts into the drive: the cartridge in the directory
// `relative` below the cartridge directory `dir_fd`. Only a cartridge directory is taken; the
// drive keeps its own identity and faults.
std::unique_ptr<Medium> open_next_medium(int dir_fd, const std::string& dir,
                                         const std::string& relative, std::string* file,
                                         std::string* error) {
  const std::string path = dir + "/" + relative;
  *file = path;
  const std::string refused =
      "is not a cartridge directory (named by \"cartridge_change\" in \"faults\"): ";
  std::string why;
  const support::UniqueFd next = open_directory_below(dir_fd, relative, &why);
  if (!next.valid()) {
    *error = refused + why;
    return nullptr;
  }
  struct stat st {};
  if (::fstatat(next.get(), kManifestFileName, &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
    *error = refused + "it holds no " + kManifestFileName;
    return nullptr;
  }
  std::optional<Manifest> manifest = load_manifest(next.get(), path, file, error);
  if (!manifest) return nullptr;
  return open_medium(next.get(), path, *manifest, file, error);
}

}  // namespace

std::unique_ptr<VirtualDrive> VirtualDrive::load(int dir_fd, const std::string& dir,
                                                 std::string* file, std::string* error) {
  std::optional<Manifest> manifest = load_manifest(dir_fd, dir, file, error);
  if (!manifest) return nullptr;
  std::unique_ptr<VirtualDrive> drive(new VirtualDrive());
  drive->manifest_ = std::move(*manifest);
  drive->inquiry_ = drive->manifest_.inquiry.value_or(Inquiry{});
  drive->inquiry_.vendor.resize(8, ' ');
  drive->inquiry_.product.resize(16, ' ');
  drive->inquiry_.revision.resize(4, ' ');
  const std::vector<UnitAttention>& pending = drive->manifest_.faults.unit_attention;
  drive->unit_attentions_.assign(pending.begin(), pending.end());
  drive->medium_ = open_medium(dir_fd, dir, drive->manifest_, file, error);
  if (!drive->medium_) return nullptr;
  if (const std::optional<CartridgeChange>& change = drive->manifest_.faults.cartridge_change) {
    drive->next_medium_ = open_next_medium(dir_fd, dir, change->cartridge, file, error);
    if (!drive->next_medium_) return nullptr;
  }
  file->clear();
  return drive;
}

void VirtualDrive::count(uint64_t Counters::*field, uint64_t amount) {
  counters_.*field += amount;
  add_to_totals(field, amount);
}

int VirtualDrive::submit(sg_io_hdr_t* hdr) {
  const std::optional<Request> request = take_request(hdr, manifest_.faults.max_transfer);
  if (!request) return -1;
  last_.cdb.assign(hdr->cmdp, hdr->cmdp + hdr->cmd_len);
  last_.dxfer_direction = hdr->dxfer_direction;
  last_.dxfer_len = hdr->dxfer_len;
  last_.timeout = hdr->timeout;
  count(&Counters::commands);
  // Test hook: the tests of interrupted runs have the drive signal its own process at a chosen
  // command. A process that survives the signal gets the command served as usual.
  const std::optional<SignalFault>& signal = manifest_.faults.signal;
  if (signal && counters_.commands == signal->after + 1) ::raise(signal->number);
  complete_request(hdr, execute(request->cdb, request->out), manifest_.faults.descriptor_sense);
  return 0;
}

int VirtualDrive::control(unsigned long request, int* value) {
  return adapter_control(request, value,
                         manifest_.faults.max_transfer.value_or(kDefaultMaxTransfer),
                         &reserved_size_);
}

void VirtualDrive::pause(uint32_t milliseconds) {
  count(&Counters::pauses);
  count(&Counters::paused_ms, milliseconds);
}

namespace {

constexpr CheckCondition kMediumError{0x3, 0x11, 0x00};
constexpr CheckCondition kEndOfData{0x8, 0x00, 0x05};
constexpr CheckCondition kFilemark{0x0, 0x00, 0x01};
constexpr CheckCondition kBeginning{0x0, 0x00, 0x04};
constexpr CheckCondition kNoSense{0x0, 0x00, 0x00};
constexpr CheckCondition kRecovered{0x1, 0x17, 0x01};
constexpr CheckCondition kDeferredWriteError{0x3, 0x0C, 0x00};
constexpr CheckCondition kInternalFailure{0x4, 0x44, 0x00};
constexpr CheckCondition kCleaningRequested{0x0, 0x82, 0x82};
constexpr uint8_t kDataProtectKey = 0x7;
constexpr uint8_t kSecurityError = 0x74;  // ASC of the data the drive cannot decrypt
constexpr uint8_t kUnitAttentionKey = 0x6;
constexpr UnitAttention kResetAttention{0x29, 0x00};
constexpr UnitAttention kMediumChanged{0x28, 0x00};

}  // namespace

namespace {
bool moves_tape(uint8_t op) {
  return op == opcode::kLocate10 || op == opcode::kLocate16 || op == opcode::kSpace6 ||
         op == opcode::kRewind;
}
}  // namespace

TapePlace VirtualDrive::place() {
  return TapePlace{partition_, medium_->partitions[partition_]->offset_of(object_), object_};
}

void VirtualDrive::account(uint8_t op, const TapePlace& from, const Reply& reply) {
  const DriveTimeFigures before = time_.figures();
  if (op == opcode::kRewind) {
    time_.rewind(from);
  } else if (moves_tape(op)) {
    time_.position(from, place());
  } else if (op == opcode::kRead6) {
    time_.read(reply.transferred);
    const uint64_t stops = host_.stops();
    if (host_.read(reply.transferred, HostPace::Clock::now())) time_.host_stop();
    count(&Counters::host_stops, host_.stops() - stops);
    count(&Counters::host_bytes, reply.transferred);
  } else {
    time_.other();
  }
  const DriveTimeFigures& after = time_.figures();
  const auto micros = [](double seconds) { return static_cast<uint64_t>(seconds * 1e6); };
  count(&Counters::drive_microseconds, micros(after.seconds) - micros(before.seconds));
  count(&Counters::stops, after.stops - before.stops);
  count(&Counters::backward, after.backward - before.backward);
  count(&Counters::partition_changes, after.partition_changes - before.partition_changes);
}

void VirtualDrive::unload() {
  account(opcode::kRewind, place(), Reply{});
  partition_ = 0;
  object_ = 0;
}

Reply VirtualDrive::execute(const Cdb& cdb, std::span<uint8_t> out) {
  const uint8_t op = cdb[0];
  const TapePlace from = moves_tape(op) ? place() : TapePlace{};
  const uint64_t host_before = host_.host_microseconds();
  host_.command(moves_tape(op), HostPace::Clock::now());
  count(&Counters::host_microseconds, host_.host_microseconds() - host_before);
  Reply reply = respond(cdb, out);
  account(op, from, reply);
  // A cartridge change comes after the command it follows, whatever its outcome.
  const std::optional<CartridgeChange>& change = manifest_.faults.cartridge_change;
  if (next_medium_ && counters_.commands == change->after + 1) change_cartridge();
  return reply;
}

Reply VirtualDrive::respond(const Cdb& cdb, std::span<uint8_t> out) {
  const uint8_t op = cdb[0];
  const uint64_t seen = opcode_seen_[op]++;
  if (std::optional<Reply> fault = injected(op, seen)) return *fault;
  Reply reply = serve(cdb, out);
  for (const CommandFault& f : manifest_.faults.recovered) {
    if (f.opcode == op && f.after == seen && reply.status == kGood) {
      const size_t transferred = reply.transferred;
      reply = check(kRecovered);
      reply.transferred = transferred;  // the data is delivered whole
    }
  }
  ask_for_cleaning(&reply);
  return reply;
}

void VirtualDrive::ask_for_cleaning(Reply* reply) const {
  const std::optional<uint64_t>& from = manifest_.faults.cleaning_request;
  // counters_.commands is the 1-based number of the command in hand.
  if (!from || counters_.commands <= *from || reply->status != kGood || reply->host_status != 0) {
    return;
  }
  const size_t transferred = reply->transferred;
  *reply = check(kCleaningRequested);
  reply->transferred = transferred;  // executed in full: its data as for GOOD
}

void VirtualDrive::change_cartridge() {
  medium_ = std::move(next_medium_);
  partition_ = 0;
  object_ = 0;
  unit_attentions_.push_front(kMediumChanged);
}

// Faults that answer the command instead of the drive, in the order a request meets them: the
// transport, the drive's state (unit attention, medium), an injected status, a deferred error, a
// medium error, a hardware error.
std::optional<Reply> VirtualDrive::injected(uint8_t op, uint64_t seen) {
  const Faults& faults = manifest_.faults;
  for (const TransportFault& f : faults.transport) {
    if (f.opcode != op || f.after != seen) continue;
    count(&Counters::injected_faults);
    // A timed-out positioning command leaves the tape where the drive stopped it: here, the
    // beginning of the partition. After a bus reset the next command meets a unit attention.
    const bool positions =
        op == opcode::kLocate10 || op == opcode::kLocate16 || op == opcode::kSpace6;
    if (f.host_status == kHostTimedOut && positions) object_ = 0;
    if (f.host_status == kHostBusReset) unit_attentions_.push_front(kResetAttention);
    Reply r;
    r.host_status = f.host_status;
    return r;
  }
  if (std::optional<Reply> r = drive_state_fault(op)) {
    count(&Counters::injected_faults);
    return r;
  }
  for (const StatusFault& fault : faults.status) {
    if (fault.opcode == op && fault.after == seen) {
      count(&Counters::injected_status);
      Reply r;
      r.status = fault.value;
      return r;
    }
  }
  for (const CommandFault& f : faults.deferred) {
    if (f.opcode == op && f.after == seen) {
      count(&Counters::injected_faults);
      return check(kDeferredWriteError, Sense{.deferred = true});
    }
  }
  // A transient medium error: the command fails before the tape moves, so a READ that is sent
  // again reads the same block.
  for (const CommandFault& f : faults.medium_error) {
    if (f.opcode == op && f.after == seen) {
      count(&Counters::injected_faults);
      return check(kMediumError);
    }
  }
  for (const CommandFault& f : faults.hardware_error) {
    if (f.opcode == op && f.after == seen) {
      count(&Counters::injected_faults);
      return check(kInternalFailure);
    }
  }
  return std::nullopt;
}

// A pending unit attention, a missing or unloaded cartridge: every command but INQUIRY meets it.
std::optional<Reply> VirtualDrive::drive_state_fault(uint8_t op) {
  if (op == opcode::kInquiry) return std::nullopt;
  if (!unit_attentions_.empty()) {
    const UnitAttention ua = unit_attentions_.front();
    unit_attentions_.pop_front();
    return check(CheckCondition{kUnitAttentionKey, ua.asc, ua.ascq});
  }
  if (manifest_.faults.no_medium) return check(kNoMedium);
  if (manifest_.faults.needs_load) return check(kNotLoaded);
  return std::nullopt;
}

Reply VirtualDrive::serve(const Cdb& cdb, std::span<uint8_t> out) {
  switch (cdb[0]) {
    case opcode::kTestUnitReady:
      count(&Counters::test_unit_ready);
      return test_unit_ready();
    case opcode::kRewind:
      count(&Counters::rewind);
      object_ = 0;
      return Reply{};
    case opcode::kReadBlockLimits:
      count(&Counters::read_block_limits);
      return read_block_limits(out);
    case opcode::kInquiry:
      count(&Counters::inquiry);
      return inquiry(cdb, out);
    case opcode::kLocate10:
      count(&Counters::locate);
      if (cdb[1] & 0x04) return check(kInvalidField);  // BT: no block addresses
      return locate(cdb[1] & 0x02, cdb[8], cdb_number(cdb, 3, 4));
    case opcode::kLocate16:
      count(&Counters::locate);
      return locate(cdb[1] & 0x02, cdb[3], cdb_number(cdb, 4, 8));
    case opcode::kSpace6:
      count(&Counters::space);
      return space(cdb);
    case opcode::kRead6:
      count(&Counters::read);
      return read(cdb, out);
    case opcode::kReadPosition:
      count(&Counters::read_position);
      return read_position(cdb, out);
    case opcode::kLogSense:
      count(&Counters::log_sense);
      return log_sense(cdb, out);
    case opcode::kReadAttribute:
      count(&Counters::read_attribute);
      return read_attribute(cdb, out);
    case opcode::kModeSense6:
      count(&Counters::mode_sense);
      return mode_sense(cdb, out);
    case opcode::kPreventAllowMediumRemoval:
      return prevent_allow_medium_removal(cdb);
    default:
      // Writes, erases, formats, attribute writes and everything else this drive does not know.
      count(&Counters::refused);
      return check(kInvalidOpcode);
  }
}

Reply VirtualDrive::test_unit_ready() {
  if (not_ready_served_ < manifest_.faults.not_ready) {
    ++not_ready_served_;
    return check(kNotReady);
  }
  return Reply{};
}

Reply VirtualDrive::inquiry(const Cdb& cdb, std::span<uint8_t> out) {
  return standard_inquiry(opcode::kSequentialAccess,
                          Identity{inquiry_.vendor, inquiry_.product, inquiry_.revision}, cdb, out);
}

Reply VirtualDrive::read_block_limits(std::span<uint8_t> out) {
  std::vector<uint8_t> data(kReadBlockLimitsLength, 0);  // granularity 0
  put_be(data, 1, 3, manifest_.faults.block_limits.value_or(kDefaultMaxBlockLength));
  put_be(data, 4, 2, 1);  // minimum block length
  Reply r;
  r.transferred = deliver(data, data.size(), out);
  return r;
}

Reply VirtualDrive::locate(bool change_partition, uint32_t partition,
                                         uint64_t target) {
  // The request is checked whole before anything moves.
  if (change_partition && partition >= medium_->partitions.size()) {
    return check(kInvalidField);
  }
  if (change_partition) partition_ = partition;
  PartitionFile& p = *medium_->partitions[partition_];
  if (!p.reach(target)) {
    object_ = p.checked();
    return check(kEndOfData);
  }
  object_ = target;
  return Reply{};
}

Reply VirtualDrive::space(const Cdb& cdb) {
  const uint8_t code = cdb[1] & 0x07;
  int64_t count = static_cast<int64_t>(cdb_number(cdb, 2, 3));
  if (count & 0x800000) count -= 0x1000000;  // signed 24-bit
  PartitionFile& p = *medium_->partitions[partition_];
  // INFORMATION of a move that stopped early: the part of the count not done.
  const auto residue = [](Sense s, uint64_t left) {
    s.info_valid = true;
    s.information = static_cast<int64_t>(left);
    return s;
  };

  if (code == 3) {
    object_ = p.end_of_data();
    return Reply{};
  }
  if (code != 0 && code != 1) return check(kInvalidField);
  if (count == 0) return Reply{};
  const uint64_t n = static_cast<uint64_t>(count > 0 ? count : -count);
  const uint64_t before = p.filemarks_before(object_);

  if (code == 0 && count > 0) {
    // The next filemark, if one lies among the n objects ahead.
    const std::optional<uint64_t> mark = p.filemark_object(before, object_ + n);
    if (mark && *mark < object_ + n) {
      const uint64_t left = n - (*mark - object_);
      object_ = *mark + 1;
      return check(kFilemark, residue(Sense{.filemark = true}, left));
    }
    if (p.reach(object_ + n)) {
      object_ += n;
      return Reply{};
    }
    const uint64_t left = n - (p.checked() - object_);
    object_ = p.checked();
    return check(kEndOfData, residue(Sense{}, left));
  }
  if (code == 0) {
    const std::optional<uint64_t> mark =
        before > 0 ? p.filemark_object(before - 1) : std::nullopt;  // the last filemark behind
    const uint64_t limit = mark ? *mark + 1 : 0;
    if (object_ - limit >= n) {
      object_ -= n;
      return Reply{};
    }
    const uint64_t left = n - (object_ - limit);
    if (mark) {
      object_ = *mark;  // on the beginning side of the filemark
      return check(kFilemark, residue(Sense{.filemark = true}, left));
    }
    object_ = 0;
    return check(kBeginning, residue(Sense{.eom = true}, left));
  }
  if (count > 0) {
    const std::optional<uint64_t> mark = p.filemark_object(before + n - 1);
    if (mark) {
      object_ = *mark + 1;
      return Reply{};
    }
    object_ = p.end_of_data();
    return check(kEndOfData, residue(Sense{}, n - (p.filemarks_before(object_) - before)));
  }
  if (n > before) {
    object_ = 0;
    return check(kBeginning, residue(Sense{.eom = true}, n - before));
  }
  object_ = *p.filemark_object(before - n);  // on the beginning side of the last one crossed
  return Reply{};
}

Reply VirtualDrive::read(const Cdb& cdb, std::span<uint8_t> out) {
  if (cdb[1] & 0x01) return check(kInvalidField);  // FIXED: only variable blocks
  const bool sili = cdb[1] & 0x02;
  const uint32_t length = static_cast<uint32_t>(cdb_number(cdb, 2, 3));
  if (length == 0) return Reply{};  // nothing to transfer, nothing moves
  PartitionFile& p = *medium_->partitions[partition_];
  const Sense residue{.info_valid = true, .information = length};
  if (!p.reach(object_ + 1)) return check(kEndOfData, residue);
  if (p.is_filemark(object_)) {
    ++object_;
    count(&Counters::filemarks_read);
    Sense s = residue;
    s.filemark = true;
    return check(kFilemark, s);
  }
  RecordInfo record;
  if (!p.record(object_, &record)) return check(kMediumError);  // file changed under us
  if (record.unreadable) {
    ++object_;
    return check(kMediumError);
  }
  const std::optional<EncryptedFault>& encrypted = manifest_.faults.encrypted;
  if (encrypted && encrypted->partition == partition_ && object_ >= encrypted->from) {
    return check(CheckCondition{kDataProtectKey, kSecurityError, encrypted->ascq});
  }
  const size_t take = std::min<size_t>({record.length, length, out.size()});
  if (!p.read(record.data_offset, out.first(take))) return check(kMediumError);
  ++object_;
  count(&Counters::blocks_read);
  count(&Counters::bytes_read, take);
  Reply r;
  r.transferred = take;
  // With SILI a shorter record is no error, and so is a longer one in variable-block mode: only
  // a drive left with a block length in its mode parameters reports it.
  const bool variable_blocks = !manifest_.faults.fixed_block_length;
  if (record.length == length || (sili && (record.length < length || variable_blocks))) return r;
  // Incorrect length: INFORMATION is the requested minus the actual length, negative (two's
  // complement) for a record longer than requested.
  Reply ili = check(kNoSense, Sense{.ili = true,
                                           .info_valid = true,
                                           .information = static_cast<int64_t>(length) -
                                                          static_cast<int64_t>(record.length)});
  ili.transferred = take;
  return ili;
}

Reply VirtualDrive::read_position(const Cdb& cdb, std::span<uint8_t> out) {
  if ((cdb[1] & 0x1F) != kReadPositionLongForm) return check(kInvalidField);
  const PartitionFile& p = *medium_->partitions[partition_];
  std::vector<uint8_t> data(kLongFormLength, 0);
  data[0] = object_ == 0 ? 0x80 : 0x00;  // BOP; never EOP, MPU or BPU
  put_be(data, 4, 4, partition_);
  put_be(data, 8, 8, object_);
  put_be(data, 16, 8, p.filemarks_before(object_));
  Reply r;
  r.transferred = deliver(data, data.size(), out);
  return r;
}

Reply VirtualDrive::log_sense(const Cdb& cdb, std::span<uint8_t> out) {
  if (!manifest_.faults.log_sense || (cdb[2] & 0x3F) != kVolumeStatisticsPage) {
    return check(kInvalidField);
  }
  const uint64_t pointer = cdb_number(cdb, 5, 2);
  std::vector<uint8_t> page(4, 0);
  page[0] = kVolumeStatisticsPage;
  if (pointer <= kVolumePersonality) {
    const std::string& text = medium_->volume_personality;
    page.push_back(kVolumePersonality >> 8);
    page.push_back(kVolumePersonality & 0xFF);
    page.push_back(0x03);
    page.push_back(static_cast<uint8_t>(text.size()));
    page.insert(page.end(), text.begin(), text.end());
  }
  put_be(page, 2, 2, page.size() - 4);
  Reply r;
  r.transferred = deliver(page, cdb_number(cdb, 7, 2), out);
  return r;
}

Reply VirtualDrive::read_attribute(const Cdb& cdb, std::span<uint8_t> out) {
  const uint32_t partition = cdb[7];
  const uint16_t first = static_cast<uint16_t>(cdb_number(cdb, 8, 2));
  const Faults& faults = manifest_.faults;
  if ((cdb[1] & 0x1F) != 0 || partition >= medium_->partitions.size()) {
    return check(kInvalidField);
  }
  if (std::find(faults.read_attribute.begin(), faults.read_attribute.end(), partition) !=
      faults.read_attribute.end()) {
    return check(kMediumError);
  }
  if (!faults.device_attributes && first < kFirstHostTypeAttribute) {
    return check(kInvalidField);
  }
  // AVAILABLE DATA counts every attribute asked for; only what the allocation length and the
  // buffer take is built and sent.
  const uint64_t limit = std::min<uint64_t>(cdb_number(cdb, 10, 4), out.size());
  std::vector<uint8_t> data(4, 0);
  uint64_t available = 0;
  const auto& index = medium_->attribute_index;
  const auto begin = index.lower_bound({partition, first});
  for (auto it = begin; it != index.end() && it->first.first == partition; ++it) {
    const Attribute& a = medium_->attributes[it->second];
    available += 5 + a.value.size();
    if (data.size() >= limit) continue;
    const uint16_t length = static_cast<uint16_t>(a.value.size());
    const uint8_t flags = static_cast<uint8_t>((a.read_only ? 0x80 : 0x00) | (a.format & 0x03));
    const uint8_t header[5] = {static_cast<uint8_t>(a.id >> 8), static_cast<uint8_t>(a.id), flags,
                               static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    data.insert(data.end(), header, header + 5);
    data.insert(data.end(), a.value.begin(), a.value.end());
  }
  put_be(data, 0, 4, std::min<uint64_t>(available, 0xFFFFFFFFu));
  Reply r;
  r.transferred = deliver(data, limit, out);
  return r;
}

Reply VirtualDrive::mode_sense(const Cdb& cdb, std::span<uint8_t> out) {
  const uint8_t page = cdb[2] & 0x3F;
  if (page != 0x00 && page != opcode::kAllPages) return check(kInvalidField);
  std::vector<uint8_t> data(kModeHeaderLength + kBlockDescriptorLength, 0);
  data[0] = static_cast<uint8_t>(data.size() - 1);  // mode data length; medium type 0
  data[2] = kWriteProtected;                        // the drive never writes
  data[3] = kBlockDescriptorLength;
  data[4] = medium_->density;  // number of blocks 0: the rest of the medium
  put_be(data, 9, 3, manifest_.faults.fixed_block_length.value_or(0));  // 0: variable blocks
  Reply r;
  r.transferred = deliver(data, cdb[4], out);
  return r;
}

Reply VirtualDrive::prevent_allow_medium_removal(const Cdb& cdb) {
  const bool prevent = cdb[4] & 0x01;
  count(prevent ? &Counters::prevent_removal : &Counters::allow_removal);
  counters_.removal_prevented = prevent;
  return Reply{};
}

}  // namespace vdrive

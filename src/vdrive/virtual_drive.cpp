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

namespace vdrive {

namespace {

// Operation codes served; every other one is refused as an invalid command.
constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kRewind = 0x01;
constexpr uint8_t kReadBlockLimits = 0x05;
constexpr uint8_t kRead6 = 0x08;
constexpr uint8_t kSpace6 = 0x11;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kPreventAllowMediumRemoval = 0x1E;
constexpr uint8_t kLocate10 = 0x2B;
constexpr uint8_t kReadPosition = 0x34;
constexpr uint8_t kLogSense = 0x4D;
constexpr uint8_t kReadAttribute = 0x8C;
constexpr uint8_t kLocate16 = 0x92;

constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;
constexpr uint8_t kDriverSense = 0x08;
constexpr uint8_t kHostTimedOut = 0x03;
constexpr uint8_t kHostBusReset = 0x08;

constexpr uint8_t kVolumeStatisticsPage = 0x17;
constexpr uint16_t kVolumePersonality = 0x0045;
constexpr uint8_t kReadPositionLongForm = 0x06;
constexpr size_t kLongFormLength = 32;
constexpr size_t kInquiryLength = 36;
constexpr uint16_t kFirstHostTypeAttribute = 0x0800;
// No real manifest comes near this; a larger file is refused before it is read.
constexpr size_t kMaxManifestLength = 4u << 20;
constexpr size_t kReadBlockLimitsLength = 6;
// MODE SENSE(6): the mode parameter header and one block descriptor, no pages.
constexpr uint8_t kAllPages = 0x3F;
constexpr size_t kModeHeaderLength = 4;
constexpr size_t kBlockDescriptorLength = 8;
constexpr uint8_t kWriteProtected = 0x80;

Counters process_totals;

uint64_t be(const std::array<uint8_t, 16>& cdb, size_t offset, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) value = (value << 8) | cdb[offset + i];
  return value;
}

void put_be(std::vector<uint8_t>& out, size_t offset, size_t size, uint64_t value) {
  for (size_t i = 0; i < size; ++i) {
    out[offset + size - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// Copies what fits of `data` into the host buffer, within the allocation length.
size_t deliver(const std::vector<uint8_t>& data, uint64_t allocation, std::span<uint8_t> out) {
  const size_t n = static_cast<size_t>(
      std::min<uint64_t>({data.size(), allocation, static_cast<uint64_t>(out.size())}));
  std::copy_n(data.begin(), n, out.begin());
  return n;
}

bool read_manifest(int dir_fd, std::string* text, std::string* error) {
  // Without blocking (a FIFO has no writer) and without following a link.
  support::UniqueFd fd(
      ::openat(dir_fd, kManifestFileName, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    *error = open_failure(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "is not a regular file";
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxManifestLength) {
    *error = "is larger than 4 MiB, far more than a manifest holds";
    return false;
  }
  text->clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::string("cannot be read: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
    if (text->size() > kMaxManifestLength) {
      *error = "is larger than 4 MiB, far more than a manifest holds";
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<uint8_t> sense_bytes(const Sense& sense, bool descriptor) {
  const uint8_t flags = static_cast<uint8_t>((sense.filemark ? 0x80 : 0) | (sense.eom ? 0x40 : 0) |
                                             (sense.ili ? 0x20 : 0));
  if (!descriptor) {
    std::vector<uint8_t> b(kSenseLength, 0);
    b[0] = static_cast<uint8_t>((sense.deferred ? 0x71 : 0x70) | (sense.info_valid ? 0x80 : 0));
    b[2] = static_cast<uint8_t>(flags | (sense.key & 0x0F));
    put_be(b, 3, 4, static_cast<uint64_t>(sense.information));
    b[7] = static_cast<uint8_t>(kSenseLength - 8);
    b[12] = sense.asc;
    b[13] = sense.ascq;
    return b;
  }
  std::vector<uint8_t> b = {static_cast<uint8_t>(sense.deferred ? 0x73 : 0x72),
                            static_cast<uint8_t>(sense.key & 0x0F),
                            sense.asc,
                            sense.ascq,
                            0,
                            0,
                            0,
                            0};
  if (sense.info_valid) {
    const size_t at = b.size();
    b.insert(b.end(), {0x00, 0x0A, 0x80, 0x00});  // information descriptor, VALID
    b.resize(at + 12, 0);
    put_be(b, at + 4, 8, static_cast<uint64_t>(sense.information));
  }
  b.insert(b.end(), {0x04, 0x02, 0x00, flags});  // stream commands descriptor
  b[7] = static_cast<uint8_t>(b.size() - 8);
  return b;
}

Counters total_counters() { return process_totals; }
void reset_total_counters() { process_totals = Counters{}; }

namespace {

// The manifest of the cartridge in `dir_fd`, read and checked; `*file` names it.
std::optional<Manifest> load_manifest(int dir_fd, const std::string& dir, std::string* file,
                                      std::string* error) {
  *file = dir + "/" + kManifestFileName;
  std::string text;
  if (!read_manifest(dir_fd, &text, error)) return std::nullopt;
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

// Why the directory `name` in `parent_fd`, on the way to another cartridge, could not be entered.
std::string entry_failure(int error, int parent_fd, const std::string& name) {
  struct stat st {};
  const bool link =
      ::fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
  if (error == ELOOP || link) return "\"" + name + "\" on its way is a symbolic link";
  if (error == ENOTDIR) return "\"" + name + "\" on its way is not a directory";
  if (error == ENOENT) return "\"" + name + "\" on its way does not exist";
  return "\"" + name + "\" on its way cannot be opened: " + std::strerror(error);
}

// Opens the directory `relative` below `dir_fd` one name at a time, never through a link (".."
// included, so that a cartridge beside this one can be named). Invalid, with why in `*why`, when
// it cannot.
support::UniqueFd open_directory_below(int dir_fd, const std::string& relative, std::string* why) {
  support::UniqueFd current(::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!current.valid()) {
    *why = std::string("the cartridge directory cannot be opened again: ") + std::strerror(errno);
    return current;
  }
  for (size_t start = 0; start <= relative.size();) {
    const size_t end = std::min(relative.find('/', start), relative.size());
    const std::string name = relative.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    support::UniqueFd next(
        ::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      *why = entry_failure(errno, current.get(), name);
      return next;
    }
    current = std::move(next);
  }
  return current;
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
  process_totals.*field += amount;
}

int VirtualDrive::submit(sg_io_hdr_t* hdr) {
  if (hdr == nullptr) {
    errno = EFAULT;
    return -1;
  }
  if (hdr->interface_id != 'S') {
    errno = EINVAL;
    return -1;
  }
  if (hdr->cmdp == nullptr || (hdr->mx_sb_len > 0 && hdr->sbp == nullptr) ||
      (hdr->dxfer_len > 0 && hdr->dxferp == nullptr && hdr->dxfer_direction != SG_DXFER_NONE)) {
    errno = EFAULT;
    return -1;
  }
  if (hdr->cmd_len < 6 || hdr->cmd_len > 16) {
    errno = EINVAL;
    return -1;
  }
  // The block layer refuses a transfer beyond the adapter's limit before the drive sees it.
  if (manifest_.faults.max_transfer && hdr->dxfer_len > *manifest_.faults.max_transfer) {
    errno = EINVAL;
    return -1;
  }
  // Bytes the request does not carry read as zero.
  Cdb cdb{};
  std::copy_n(hdr->cmdp, hdr->cmd_len, cdb.begin());
  last_.cdb.assign(hdr->cmdp, hdr->cmdp + hdr->cmd_len);
  last_.dxfer_direction = hdr->dxfer_direction;
  last_.dxfer_len = hdr->dxfer_len;
  last_.timeout = hdr->timeout;
  count(&Counters::commands);
  // Test hook: the tests of interrupted runs have the drive signal its own process at a chosen
  // command. A process that survives the signal gets the command served as usual.
  const std::optional<SignalFault>& signal = manifest_.faults.signal;
  if (signal && counters_.commands == signal->after + 1) ::raise(signal->number);

  // Data goes only into a buffer that the request opened for data from the device.
  std::span<uint8_t> out;
  if ((hdr->dxfer_direction == SG_DXFER_FROM_DEV || hdr->dxfer_direction == SG_DXFER_TO_FROM_DEV) &&
      hdr->dxferp != nullptr) {
    out = std::span<uint8_t>(static_cast<uint8_t*>(hdr->dxferp), hdr->dxfer_len);
  }
  const Reply reply = execute(cdb, out);

  hdr->status = reply.status;
  hdr->masked_status = static_cast<unsigned char>((reply.status >> 1) & 0x7F);
  hdr->msg_status = 0;
  hdr->host_status = reply.host_status;
  hdr->driver_status = reply.has_sense ? kDriverSense : 0;
  hdr->sb_len_wr = 0;
  if (reply.has_sense) {
    const std::vector<uint8_t> bytes = sense_bytes(reply.sense, manifest_.faults.descriptor_sense);
    const size_t n = std::min<size_t>(bytes.size(), hdr->mx_sb_len);
    std::copy_n(bytes.begin(), n, hdr->sbp);
    hdr->sb_len_wr = static_cast<unsigned char>(n);
  }
  hdr->resid = static_cast<int>(hdr->dxfer_len - reply.transferred);
  hdr->duration = 0;
  hdr->info = reply.status != kGood || reply.host_status != 0 ? SG_INFO_CHECK : SG_INFO_OK;
  return 0;
}

int VirtualDrive::control(unsigned long request, int* value) {
  if (value == nullptr) {
    errno = EFAULT;
    return -1;
  }
  const uint32_t max_transfer = manifest_.faults.max_transfer.value_or(kDefaultMaxTransfer);
  switch (request) {
    case BLKSECTGET:  // in bytes, as the sg driver answers it (a block device answers sectors)
      *value = static_cast<int>(max_transfer);
      return 0;
    case SG_GET_RESERVED_SIZE:
      *value = reserved_size_;
      return 0;
    case SG_SET_RESERVED_SIZE:
      if (*value < 0) {
        errno = EINVAL;
        return -1;
      }
      reserved_size_ =
          static_cast<int>(std::min<uint32_t>(static_cast<uint32_t>(*value), max_transfer));
      return 0;
    case SG_GET_VERSION_NUM:
      *value = kSgVersion;
      return 0;
    default:
      errno = ENOTTY;
      return -1;
  }
}

void VirtualDrive::pause(uint32_t milliseconds) {
  count(&Counters::pauses);
  count(&Counters::paused_ms, milliseconds);
}

namespace {

struct CheckCondition {
  uint8_t key;
  uint8_t asc;
  uint8_t ascq;
};
constexpr CheckCondition kInvalidOpcode{0x5, 0x20, 0x00};
constexpr CheckCondition kInvalidField{0x5, 0x24, 0x00};
constexpr CheckCondition kMediumError{0x3, 0x11, 0x00};
constexpr CheckCondition kEndOfData{0x8, 0x00, 0x05};
constexpr CheckCondition kFilemark{0x0, 0x00, 0x01};
constexpr CheckCondition kBeginning{0x0, 0x00, 0x04};
constexpr CheckCondition kNoSense{0x0, 0x00, 0x00};
constexpr CheckCondition kNotReady{0x2, 0x04, 0x01};
constexpr CheckCondition kNoMedium{0x2, 0x3A, 0x00};
constexpr CheckCondition kNotLoaded{0x2, 0x04, 0x02};
constexpr CheckCondition kRecovered{0x1, 0x17, 0x01};
constexpr CheckCondition kDeferredWriteError{0x3, 0x0C, 0x00};
constexpr CheckCondition kInternalFailure{0x4, 0x44, 0x00};
constexpr CheckCondition kCleaningRequested{0x0, 0x82, 0x82};
constexpr uint8_t kDataProtectKey = 0x7;
constexpr uint8_t kSecurityError = 0x74;  // ASC of the data the drive cannot decrypt
constexpr uint8_t kUnitAttentionKey = 0x6;
constexpr UnitAttention kResetAttention{0x29, 0x00};
constexpr UnitAttention kMediumChanged{0x28, 0x00};

// The reply of a command that ended in CHECK CONDITION.
template <typename Reply>
Reply check(CheckCondition cc, Sense sense = {}) {
  Reply r;
  r.status = kCheckCondition;
  r.has_sense = true;
  sense.key = cc.key;
  sense.asc = cc.asc;
  sense.ascq = cc.ascq;
  r.sense = sense;
  return r;
}
}  // namespace

namespace {
bool moves_tape(uint8_t op) {
  return op == kLocate10 || op == kLocate16 || op == kSpace6 || op == kRewind;
}
}  // namespace

TapePlace VirtualDrive::place() {
  return TapePlace{partition_, medium_->partitions[partition_]->offset_of(object_), object_};
}

void VirtualDrive::account(uint8_t op, const TapePlace& from, const Reply& reply) {
  const DriveTimeFigures before = time_.figures();
  if (op == kRewind) {
    time_.rewind(from);
  } else if (moves_tape(op)) {
    time_.position(from, place());
  } else if (op == kRead6) {
    time_.read(reply.transferred);
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

VirtualDrive::Reply VirtualDrive::execute(const Cdb& cdb, std::span<uint8_t> out) {
  const uint8_t op = cdb[0];
  const TapePlace from = moves_tape(op) ? place() : TapePlace{};
  Reply reply = respond(cdb, out);
  account(op, from, reply);
  // A cartridge change comes after the command it follows, whatever its outcome.
  const std::optional<CartridgeChange>& change = manifest_.faults.cartridge_change;
  if (next_medium_ && counters_.commands == change->after + 1) change_cartridge();
  return reply;
}

VirtualDrive::Reply VirtualDrive::respond(const Cdb& cdb, std::span<uint8_t> out) {
  const uint8_t op = cdb[0];
  const uint64_t seen = opcode_seen_[op]++;
  if (std::optional<Reply> fault = injected(op, seen)) return *fault;
  Reply reply = serve(cdb, out);
  for (const CommandFault& f : manifest_.faults.recovered) {
    if (f.opcode == op && f.after == seen && reply.status == kGood) {
      const size_t transferred = reply.transferred;
      reply = check<Reply>(kRecovered);
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
  *reply = check<Reply>(kCleaningRequested);
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
std::optional<VirtualDrive::Reply> VirtualDrive::injected(uint8_t op, uint64_t seen) {
  const Faults& faults = manifest_.faults;
  for (const TransportFault& f : faults.transport) {
    if (f.opcode != op || f.after != seen) continue;
    count(&Counters::injected_faults);
    // A timed-out positioning command leaves the tape where the drive stopped it: here, the
    // beginning of the partition. After a bus reset the next command meets a unit attention.
    const bool positions = op == kLocate10 || op == kLocate16 || op == kSpace6;
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
      return check<Reply>(kDeferredWriteError, Sense{.deferred = true});
    }
  }
  // A transient medium error: the command fails before the tape moves, so a READ that is sent
  // again reads the same block.
  for (const CommandFault& f : faults.medium_error) {
    if (f.opcode == op && f.after == seen) {
      count(&Counters::injected_faults);
      return check<Reply>(kMediumError);
    }
  }
  for (const CommandFault& f : faults.hardware_error) {
    if (f.opcode == op && f.after == seen) {
      count(&Counters::injected_faults);
      return check<Reply>(kInternalFailure);
    }
  }
  return std::nullopt;
}

// A pending unit attention, a missing or unloaded cartridge: every command but INQUIRY meets it.
std::optional<VirtualDrive::Reply> VirtualDrive::drive_state_fault(uint8_t op) {
  if (op == kInquiry) return std::nullopt;
  if (!unit_attentions_.empty()) {
    const UnitAttention ua = unit_attentions_.front();
    unit_attentions_.pop_front();
    return check<Reply>(CheckCondition{kUnitAttentionKey, ua.asc, ua.ascq});
  }
  if (manifest_.faults.no_medium) return check<Reply>(kNoMedium);
  if (manifest_.faults.needs_load) return check<Reply>(kNotLoaded);
  return std::nullopt;
}

VirtualDrive::Reply VirtualDrive::serve(const Cdb& cdb, std::span<uint8_t> out) {
  switch (cdb[0]) {
    case kTestUnitReady:
      count(&Counters::test_unit_ready);
      return test_unit_ready();
    case kRewind:
      count(&Counters::rewind);
      object_ = 0;
      return Reply{};
    case kReadBlockLimits:
      count(&Counters::read_block_limits);
      return read_block_limits(out);
    case kInquiry:
      count(&Counters::inquiry);
      return inquiry(cdb, out);
    case kLocate10:
      count(&Counters::locate);
      if (cdb[1] & 0x04) return check<Reply>(kInvalidField);  // BT: no block addresses
      return locate(cdb[1] & 0x02, cdb[8], be(cdb, 3, 4));
    case kLocate16:
      count(&Counters::locate);
      return locate(cdb[1] & 0x02, cdb[3], be(cdb, 4, 8));
    case kSpace6:
      count(&Counters::space);
      return space(cdb);
    case kRead6:
      count(&Counters::read);
      return read(cdb, out);
    case kReadPosition:
      count(&Counters::read_position);
      return read_position(cdb, out);
    case kLogSense:
      count(&Counters::log_sense);
      return log_sense(cdb, out);
    case kReadAttribute:
      count(&Counters::read_attribute);
      return read_attribute(cdb, out);
    case kModeSense6:
      count(&Counters::mode_sense);
      return mode_sense(cdb, out);
    case kPreventAllowMediumRemoval:
      return prevent_allow_medium_removal(cdb);
    default:
      // Writes, erases, formats, attribute writes and everything else this drive does not know.
      count(&Counters::refused);
      return check<Reply>(kInvalidOpcode);
  }
}

VirtualDrive::Reply VirtualDrive::test_unit_ready() {
  if (not_ready_served_ < manifest_.faults.not_ready) {
    ++not_ready_served_;
    return check<Reply>(kNotReady);
  }
  return Reply{};
}

VirtualDrive::Reply VirtualDrive::inquiry(const Cdb& cdb, std::span<uint8_t> out) {
  if (cdb[1] & 0x01) return check<Reply>(kInvalidField);  // EVPD: no vital product data pages
  std::vector<uint8_t> data(kInquiryLength, 0);
  data[0] = 0x01;  // sequential-access device
  data[2] = 0x06;
  data[3] = 0x02;
  data[4] = kInquiryLength - 5;
  std::copy_n(inquiry_.vendor.begin(), 8, data.begin() + 8);
  std::copy_n(inquiry_.product.begin(), 16, data.begin() + 16);
  std::copy_n(inquiry_.revision.begin(), 4, data.begin() + 32);
  Reply r;
  r.transferred = deliver(data, be(cdb, 3, 2), out);
  return r;
}

VirtualDrive::Reply VirtualDrive::read_block_limits(std::span<uint8_t> out) {
  std::vector<uint8_t> data(kReadBlockLimitsLength, 0);  // granularity 0
  put_be(data, 1, 3, manifest_.faults.block_limits.value_or(kDefaultMaxBlockLength));
  put_be(data, 4, 2, 1);  // minimum block length
  Reply r;
  r.transferred = deliver(data, data.size(), out);
  return r;
}

VirtualDrive::Reply VirtualDrive::locate(bool change_partition, uint32_t partition,
                                         uint64_t target) {
  // The request is checked whole before anything moves.
  if (change_partition && partition >= medium_->partitions.size()) {
    return check<Reply>(kInvalidField);
  }
  if (change_partition) partition_ = partition;
  PartitionFile& p = *medium_->partitions[partition_];
  if (!p.reach(target)) {
    object_ = p.checked();
    return check<Reply>(kEndOfData);
  }
  object_ = target;
  return Reply{};
}

VirtualDrive::Reply VirtualDrive::space(const Cdb& cdb) {
  const uint8_t code = cdb[1] & 0x07;
  int64_t count = static_cast<int64_t>(be(cdb, 2, 3));
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
  if (code != 0 && code != 1) return check<Reply>(kInvalidField);
  if (count == 0) return Reply{};
  const uint64_t n = static_cast<uint64_t>(count > 0 ? count : -count);
  const uint64_t before = p.filemarks_before(object_);

  if (code == 0 && count > 0) {
    // The next filemark, if one lies among the n objects ahead.
    const std::optional<uint64_t> mark = p.filemark_object(before, object_ + n);
    if (mark && *mark < object_ + n) {
      const uint64_t left = n - (*mark - object_);
      object_ = *mark + 1;
      return check<Reply>(kFilemark, residue(Sense{.filemark = true}, left));
    }
    if (p.reach(object_ + n)) {
      object_ += n;
      return Reply{};
    }
    const uint64_t left = n - (p.checked() - object_);
    object_ = p.checked();
    return check<Reply>(kEndOfData, residue(Sense{}, left));
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
      return check<Reply>(kFilemark, residue(Sense{.filemark = true}, left));
    }
    object_ = 0;
    return check<Reply>(kBeginning, residue(Sense{.eom = true}, left));
  }
  if (count > 0) {
    const std::optional<uint64_t> mark = p.filemark_object(before + n - 1);
    if (mark) {
      object_ = *mark + 1;
      return Reply{};
    }
    object_ = p.end_of_data();
    return check<Reply>(kEndOfData, residue(Sense{}, n - (p.filemarks_before(object_) - before)));
  }
  if (n > before) {
    object_ = 0;
    return check<Reply>(kBeginning, residue(Sense{.eom = true}, n - before));
  }
  object_ = *p.filemark_object(before - n);  // on the beginning side of the last one crossed
  return Reply{};
}

VirtualDrive::Reply VirtualDrive::read(const Cdb& cdb, std::span<uint8_t> out) {
  if (cdb[1] & 0x01) return check<Reply>(kInvalidField);  // FIXED: only variable blocks
  const bool sili = cdb[1] & 0x02;
  const uint32_t length = static_cast<uint32_t>(be(cdb, 2, 3));
  if (length == 0) return Reply{};  // nothing to transfer, nothing moves
  PartitionFile& p = *medium_->partitions[partition_];
  const Sense residue{.info_valid = true, .information = length};
  if (!p.reach(object_ + 1)) return check<Reply>(kEndOfData, residue);
  if (p.is_filemark(object_)) {
    ++object_;
    count(&Counters::filemarks_read);
    Sense s = residue;
    s.filemark = true;
    return check<Reply>(kFilemark, s);
  }
  RecordInfo record;
  if (!p.record(object_, &record)) return check<Reply>(kMediumError);  // file changed under us
  if (record.unreadable) {
    ++object_;
    return check<Reply>(kMediumError);
  }
  const std::optional<EncryptedFault>& encrypted = manifest_.faults.encrypted;
  if (encrypted && encrypted->partition == partition_ && object_ >= encrypted->from) {
    return check<Reply>(CheckCondition{kDataProtectKey, kSecurityError, encrypted->ascq});
  }
  const size_t take = std::min<size_t>({record.length, length, out.size()});
  if (!p.read(record.data_offset, out.first(take))) return check<Reply>(kMediumError);
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
  Reply ili = check<Reply>(kNoSense, Sense{.ili = true,
                                           .info_valid = true,
                                           .information = static_cast<int64_t>(length) -
                                                          static_cast<int64_t>(record.length)});
  ili.transferred = take;
  return ili;
}

VirtualDrive::Reply VirtualDrive::read_position(const Cdb& cdb, std::span<uint8_t> out) {
  if ((cdb[1] & 0x1F) != kReadPositionLongForm) return check<Reply>(kInvalidField);
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

VirtualDrive::Reply VirtualDrive::log_sense(const Cdb& cdb, std::span<uint8_t> out) {
  if (!manifest_.faults.log_sense || (cdb[2] & 0x3F) != kVolumeStatisticsPage) {
    return check<Reply>(kInvalidField);
  }
  const uint64_t pointer = be(cdb, 5, 2);
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
  r.transferred = deliver(page, be(cdb, 7, 2), out);
  return r;
}

VirtualDrive::Reply VirtualDrive::read_attribute(const Cdb& cdb, std::span<uint8_t> out) {
  const uint32_t partition = cdb[7];
  const uint16_t first = static_cast<uint16_t>(be(cdb, 8, 2));
  const Faults& faults = manifest_.faults;
  if ((cdb[1] & 0x1F) != 0 || partition >= medium_->partitions.size()) {
    return check<Reply>(kInvalidField);
  }
  if (std::find(faults.read_attribute.begin(), faults.read_attribute.end(), partition) !=
      faults.read_attribute.end()) {
    return check<Reply>(kMediumError);
  }
  if (!faults.device_attributes && first < kFirstHostTypeAttribute) {
    return check<Reply>(kInvalidField);
  }
  // AVAILABLE DATA counts every attribute asked for; only what the allocation length and the
  // buffer take is built and sent.
  const uint64_t limit = std::min<uint64_t>(be(cdb, 10, 4), out.size());
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

VirtualDrive::Reply VirtualDrive::mode_sense(const Cdb& cdb, std::span<uint8_t> out) {
  const uint8_t page = cdb[2] & 0x3F;
  if (page != 0x00 && page != kAllPages) return check<Reply>(kInvalidField);
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

VirtualDrive::Reply VirtualDrive::prevent_allow_medium_removal(const Cdb& cdb) {
  const bool prevent = cdb[4] & 0x01;
  count(prevent ? &Counters::prevent_removal : &Counters::allow_removal);
  counters_.removal_prevented = prevent;
  return Reply{};
}

}  // namespace vdrive

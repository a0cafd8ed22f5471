// Virtual cartridge writer: SIMH partition files and the manifest.
#include "cartridge/cartridge_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json-c/json.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vtape {

namespace {

std::runtime_error io_error(const std::string& what, const std::string& path) {
  return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

// Opens `path` for writing from its start: never through a link, and only a plain file of the
// running user's own with no other name (a file planted there by another user is not written).
FILE* open_for_writing(const std::string& path) {
  support::UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) throw io_error("cannot create", path);
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
    errno = EPERM;
    throw io_error("will not write the file (not a plain file of its own)", path);
  }
  if (::ftruncate(fd.get(), 0) != 0) throw io_error("cannot write", path);
  FILE* file = ::fdopen(fd.get(), "wb");
  if (file == nullptr) throw io_error("cannot write", path);
  fd.release();
  return file;
}

}  // namespace

PartitionWriter::PartitionWriter(const std::string& path) : path_(path) {
  file_ = open_for_writing(path);
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
}

PartitionWriter::PartitionWriter(support::UniqueFd fd, const std::string& path,
                                 uint64_t next_object, uint64_t filemarks)
    : path_(path), next_object_(next_object), filemarks_(filemarks) {
  file_ = ::fdopen(fd.get(), "wb");
  if (file_ == nullptr) throw io_error("cannot write", path);
  fd.release();
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
}

PartitionWriter::~PartitionWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

void PartitionWriter::put_word(uint32_t word) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                            static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
  if (std::fwrite(bytes, 1, 4, file_) != 4) throw io_error("cannot write", path_);
}

void PartitionWriter::record(std::span<const uint8_t> data, bool unreadable) {
  if (file_ == nullptr || ended_) throw std::runtime_error("record after end of medium: " + path_);
  if (data.empty() || data.size() > kMaxRecordLength) {
    throw std::runtime_error("record length out of range in " + path_);
  }
  const uint32_t word = static_cast<uint32_t>(data.size()) | (unreadable ? 0x80000000u : 0u);
  put_word(word);
  if (std::fwrite(data.data(), 1, data.size(), file_) != data.size()) {
    throw io_error("cannot write", path_);
  }
  if (data.size() % 2 == 1 && std::fputc(0, file_) == EOF) throw io_error("cannot write", path_);
  put_word(word);
  ++next_object_;
}

void PartitionWriter::filemark() {
  if (file_ == nullptr || ended_)
    throw std::runtime_error("filemark after end of medium: " + path_);
  put_word(0);
  ++next_object_;
  ++filemarks_;
}

void PartitionWriter::end_of_medium() {
  if (file_ == nullptr || ended_) return;
  put_word(0xFFFFFFFFu);
  ended_ = true;
}

void PartitionWriter::flush() {
  if (file_ != nullptr && std::fflush(file_) != 0) throw io_error("cannot write", path_);
}

void PartitionWriter::sync() {
  flush();
  if (file_ != nullptr && ::fsync(::fileno(file_)) != 0) throw io_error("cannot write", path_);
}

void PartitionWriter::close() {
  if (file_ == nullptr) return;
  end_of_medium();
  const int rc = std::fclose(file_);
  file_ = nullptr;
  if (rc != 0) throw io_error("cannot close", path_);
}

std::string to_hex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0F]);
  }
  return text;
}

namespace {

// {"opcode": OP, "after": K} and, when `value_name` is given, that member.
json_object* command_entry(uint8_t opcode, uint64_t after, const char* value_name = nullptr,
                           uint8_t value = 0) {
  json_object* o = json_object_new_object();
  json_object_object_add(o, "opcode", json_object_new_int(opcode));
  json_object_object_add(o, "after", json_object_new_uint64(after));
  if (value_name != nullptr) json_object_object_add(o, value_name, json_object_new_int(value));
  return o;
}

// Adds the array `name` to `f` when `entries` holds any; `entry` makes one element.
template <typename T, typename Entry>
void add_list(json_object* f, const char* name, const std::vector<T>& entries, Entry entry) {
  if (entries.empty()) return;
  json_object* list = json_object_new_array();
  for (const T& e : entries) json_object_array_add(list, entry(e));
  json_object_object_add(f, name, list);
}

// The faults of the medium and of the drive's state: cleaning, encryption, a cartridge change, a
// fixed block length.
void add_medium_faults(json_object* f, const Faults& faults) {
  if (faults.cleaning_request) {
    json_object_object_add(f, "cleaning_request", json_object_new_uint64(*faults.cleaning_request));
  }
  if (faults.encrypted) {
    json_object* encrypted = json_object_new_object();
    json_object_object_add(encrypted, "partition",
                           json_object_new_int64(faults.encrypted->partition));
    json_object_object_add(encrypted, "from", json_object_new_uint64(faults.encrypted->from));
    json_object_object_add(encrypted, "ascq", json_object_new_int(faults.encrypted->ascq));
    json_object_object_add(f, "encrypted", encrypted);
  }
  if (faults.cartridge_change) {
    const CartridgeChange& c = *faults.cartridge_change;
    json_object* change = json_object_new_object();
    json_object_object_add(change, "after", json_object_new_uint64(c.after));
    json_object_object_add(change, "cartridge", json_object_new_string(c.cartridge.c_str()));
    json_object_object_add(f, "cartridge_change", change);
  }
  if (faults.fixed_block_length) {
    json_object_object_add(f, "fixed_block_length",
                           json_object_new_int64(*faults.fixed_block_length));
  }
}

// The members of "faults" that differ from a sound drive, in the order the manifest lists them.
json_object* faults_json(const Faults& faults) {
  json_object* f = json_object_new_object();
  if (faults.not_ready != 0)
    json_object_object_add(f, "not_ready", json_object_new_uint64(faults.not_ready));
  add_list(f, "read_attribute", faults.read_attribute,
           [](uint32_t p) { return json_object_new_int64(p); });
  if (!faults.device_attributes)
    json_object_object_add(f, "device_attributes", json_object_new_boolean(0));
  if (!faults.log_sense) json_object_object_add(f, "log_sense", json_object_new_boolean(0));
  add_list(f, "status", faults.status,
           [](const StatusFault& s) { return command_entry(s.opcode, s.after, "value", s.value); });
  add_list(f, "transport", faults.transport, [](const TransportFault& t) {
    return command_entry(t.opcode, t.after, "host_status", t.host_status);
  });
  add_list(f, "unit_attention", faults.unit_attention, [](const UnitAttention& u) {
    json_object* pair = json_object_new_array();
    json_object_array_add(pair, json_object_new_int(u.asc));
    json_object_array_add(pair, json_object_new_int(u.ascq));
    return pair;
  });
  if (faults.no_medium) json_object_object_add(f, "no_medium", json_object_new_boolean(1));
  if (faults.needs_load) json_object_object_add(f, "needs_load", json_object_new_boolean(1));
  const auto command = [](const CommandFault& c) { return command_entry(c.opcode, c.after); };
  add_list(f, "recovered", faults.recovered, command);
  add_list(f, "deferred", faults.deferred, command);
  add_list(f, "medium_error", faults.medium_error, command);
  add_list(f, "hardware_error", faults.hardware_error, command);
  if (faults.block_limits)
    json_object_object_add(f, "block_limits", json_object_new_int64(*faults.block_limits));
  if (faults.max_transfer)
    json_object_object_add(f, "max_transfer", json_object_new_int64(*faults.max_transfer));
  if (faults.descriptor_sense)
    json_object_object_add(f, "sense_format", json_object_new_string("descriptor"));
  if (faults.signal) {
    json_object* signal = json_object_new_object();
    json_object_object_add(signal, "after", json_object_new_uint64(faults.signal->after));
    json_object_object_add(signal, "number", json_object_new_int(faults.signal->number));
    json_object_object_add(f, "signal", signal);
  }
  add_medium_faults(f, faults);
  return f;
}

}  // namespace

std::string to_json(const Manifest& manifest) {
  json_object* root = json_object_new_object();
  json_object_object_add(root, "vtape", json_object_new_int(1));
  json_object* parts = json_object_new_array();
  for (const std::string& p : manifest.partitions)
    json_object_array_add(parts, json_object_new_string(p.c_str()));
  json_object_object_add(root, "partitions", parts);
  json_object_object_add(root, "volume_personality",
                         json_object_new_string(manifest.volume_personality.c_str()));
  if (manifest.density != vdrive::kDefaultDensity) {
    json_object_object_add(root, "density", json_object_new_int(manifest.density));
  }
  if (manifest.inquiry) {
    const Inquiry& inquiry = *manifest.inquiry;
    json_object* inq = json_object_new_object();
    json_object_object_add(inq, "vendor", json_object_new_string(inquiry.vendor.c_str()));
    json_object_object_add(inq, "product", json_object_new_string(inquiry.product.c_str()));
    json_object_object_add(inq, "revision", json_object_new_string(inquiry.revision.c_str()));
    json_object_object_add(root, "inquiry", inq);
  }
  json_object* attrs = json_object_new_array();
  for (const Attribute& a : manifest.attributes) {
    json_object* o = json_object_new_object();
    json_object_object_add(o, "partition", json_object_new_int64(a.partition));
    json_object_object_add(o, "id", json_object_new_int(a.id));
    json_object_object_add(o, "format", json_object_new_int(a.format));
    json_object_object_add(o, "read_only", json_object_new_boolean(a.read_only));
    json_object_object_add(o, "hex", json_object_new_string(to_hex(a.value).c_str()));
    json_object_array_add(attrs, o);
  }
  json_object_object_add(root, "attributes", attrs);
  add_list(root, "unreadable", manifest.unreadable, [](const RecordRef& r) {
    json_object* o = json_object_new_object();
    json_object_object_add(o, "partition", json_object_new_int64(r.partition));
    json_object_object_add(o, "object", json_object_new_uint64(r.object));
    return o;
  });
  if (!manifest.faults.empty())
    json_object_object_add(root, "faults", faults_json(manifest.faults));
  std::string text = json_object_to_json_string_ext(root, JSON_C_TO_STRING_PRETTY);
  json_object_put(root);
  return text + "\n";
}

void write_manifest(const Manifest& manifest, const std::string& dir) {
  const std::string path = dir + "/" + vdrive::kManifestFileName;
  FILE* f = open_for_writing(path);
  const std::string text = to_json(manifest);
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !ok) throw io_error("cannot write", path);
}

}  // namespace vtape

// Virtual cartridge writer: SIMH partition files and the manifest.
#include "cartridge/cartridge_writer.h"

#include <json-c/json.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vtape {

namespace {

std::runtime_error io_error(const std::string& what, const std::string& path) {
  return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

PartitionWriter::PartitionWriter(const std::string& path) : path_(path) {
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) throw io_error("cannot create", path);
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

std::string to_json(const Manifest& manifest) {
  json_object* root = json_object_new_object();
  json_object_object_add(root, "vtape", json_object_new_int(1));
  json_object* parts = json_object_new_array();
  for (const std::string& p : manifest.partitions)
    json_object_array_add(parts, json_object_new_string(p.c_str()));
  json_object_object_add(root, "partitions", parts);
  json_object_object_add(root, "volume_personality",
                         json_object_new_string(manifest.volume_personality.c_str()));
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
  if (const Faults& faults = manifest.faults; !faults.empty()) {
    json_object* f = json_object_new_object();
    if (faults.not_ready != 0)
      json_object_object_add(f, "not_ready", json_object_new_uint64(faults.not_ready));
    if (!faults.read_attribute.empty()) {
      json_object* list = json_object_new_array();
      for (uint32_t p : faults.read_attribute) {
        json_object_array_add(list, json_object_new_int64(p));
      }
      json_object_object_add(f, "read_attribute", list);
    }
    if (!faults.device_attributes)
      json_object_object_add(f, "device_attributes", json_object_new_boolean(0));
    if (!faults.log_sense) json_object_object_add(f, "log_sense", json_object_new_boolean(0));
    if (!faults.status.empty()) {
      json_object* list = json_object_new_array();
      for (const StatusFault& s : faults.status) {
        json_object* o = json_object_new_object();
        json_object_object_add(o, "opcode", json_object_new_int(s.opcode));
        json_object_object_add(o, "after", json_object_new_uint64(s.after));
        json_object_object_add(o, "value", json_object_new_int(s.value));
        json_object_array_add(list, o);
      }
      json_object_object_add(f, "status", list);
    }
    json_object_object_add(root, "faults", f);
  }
  std::string text = json_object_to_json_string_ext(root, JSON_C_TO_STRING_PRETTY);
  json_object_put(root);
  return text + "\n";
}

void write_manifest(const Manifest& manifest, const std::string& dir) {
  const std::string path = dir + "/cartridge.json";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw io_error("cannot create", path);
  const std::string text = to_json(manifest);
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !ok) throw io_error("cannot write", path);
}

}  // namespace vtape

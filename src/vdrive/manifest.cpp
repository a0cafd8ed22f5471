// Parsing and checking "cartridge.json"; editing a manifest's attributes.
#include "vdrive/manifest.h"

#include <json-c/json.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <utility>

#include "vdrive/device_files.h"

namespace vdrive {

namespace {

constexpr int kFormatVersion = 1;
constexpr size_t kMaxPartitions = 256;          // LOCATE names a partition in one byte
constexpr size_t kMaxPersonalityLength = 255;   // a log parameter's length is one byte
constexpr size_t kMaxAttributeLength = 0xFFFF;  // an attribute's length is two bytes
constexpr int64_t kMaxSignal = 64;              // the highest signal number of Linux
constexpr int64_t kMaxBlockLength = 0xFFFFFF;   // a block length is three bytes in every CDB
constexpr int64_t kMaxCount = std::numeric_limits<int64_t>::max();

bool hex_value(char c, uint8_t* v) {
  if (c >= '0' && c <= '9')
    *v = static_cast<uint8_t>(c - '0');
  else if (c >= 'a' && c <= 'f')
    *v = static_cast<uint8_t>(c - 'a' + 10);
  else if (c >= 'A' && c <= 'F')
    *v = static_cast<uint8_t>(c - 'A' + 10);
  else
    return false;
  return true;
}

bool parse_hex(std::string_view text, std::vector<uint8_t>* out) {
  if (text.size() % 2 != 0) return false;
  out->clear();
  out->reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    uint8_t hi = 0;
    uint8_t lo = 0;
    if (!hex_value(text[i], &hi) || !hex_value(text[i + 1], &lo)) return false;
    out->push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

// A partition file is named by a plain file name of the cartridge directory: no "/" (so no other
// directory is reached), not "." or "..", no zero byte.
bool plain_file_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// An optional integer member of `parent` in [min, max]; `*out` is left alone when it is missing.
template <typename T>
bool optional_integer(Checker& c, json_object* parent, const char* where, const char* name,
                      int64_t min, int64_t max, std::optional<T>* out) {
  int64_t value = min - 1;
  if (!c.integer(parent, where, name, min, max, &value, true)) return false;
  if (value >= min) *out = static_cast<T>(value);
  return true;
}

bool parse_partitions(Checker& c, json_object* root, Manifest* m) {
  m->partitions.clear();
  json_object* list = nullptr;
  if (!c.member(root, "", "partitions", json_type_array, &list)) return false;
  const size_t count = json_object_array_length(list);
  if (count == 0 || count > kMaxPartitions) {
    return c.fail("member \"partitions\" must name 1 to " + std::to_string(kMaxPartitions) +
                  " partition files");
  }
  for (size_t i = 0; i < count; ++i) {
    json_object* item = json_object_array_get_idx(list, i);
    if (!json_object_is_type(item, json_type_string)) {
      return c.fail("partition " + std::to_string(i) + " of \"partitions\" must be a file name");
    }
    std::string name = text_of(item);
    if (!plain_file_name(name)) {
      return c.fail("partition file name \"" + name +
                    "\" must be a plain file name in the cartridge directory, without \"/\"");
    }
    m->partitions.push_back(std::move(name));
  }
  return true;
}

bool parse_inquiry(Checker& c, json_object* root, Manifest* m) {
  json_object* inquiry = nullptr;
  if (!c.member(root, "", "inquiry", json_type_object, &inquiry, true)) return false;
  if (inquiry == nullptr) return true;
  Inquiry& identity = m->inquiry.emplace();
  struct Field {
    const char* name;
    size_t width;
    std::string* target;
  } fields[] = {{"vendor", 8, &identity.vendor},
                {"product", 16, &identity.product},
                {"revision", 4, &identity.revision}};
  for (const Field& f : fields) {
    json_object* value = nullptr;
    if (!c.member(inquiry, " in \"inquiry\"", f.name, json_type_string, &value, true)) return false;
    if (value == nullptr) continue;
    std::string text = text_of(value);
    if (text.size() > f.width) {
      return c.fail(std::string("member \"") + f.name + "\" in \"inquiry\" is longer than " +
                    std::to_string(f.width) + " characters");
    }
    *f.target = std::move(text);
  }
  return true;
}

bool parse_attributes(Checker& c, json_object* root, Manifest* m) {
  json_object* list = nullptr;
  if (!c.member(root, "", "attributes", json_type_array, &list)) return false;
  const size_t count = json_object_array_length(list);
  std::set<std::pair<uint32_t, uint16_t>> listed;
  for (size_t i = 0; i < count; ++i) {
    const std::string where_text = " in attribute " + std::to_string(i);
    const char* where = where_text.c_str();
    json_object* item = json_object_array_get_idx(list, i);
    if (!json_object_is_type(item, json_type_object)) {
      return c.fail("attribute " + std::to_string(i) + " must be an object");
    }
    int64_t partition = 0;
    int64_t id = 0;
    int64_t format = 0;
    const int64_t last_partition = static_cast<int64_t>(m->partitions.size()) - 1;
    if (!c.integer(item, where, "partition", 0, last_partition, &partition) ||
        !c.integer(item, where, "id", 0, 0xFFFF, &id) ||
        !c.integer(item, where, "format", 0, 3, &format)) {
      return false;
    }
    json_object* read_only = nullptr;
    json_object* hex = nullptr;
    if (!c.member(item, where, "read_only", json_type_boolean, &read_only, true) ||
        !c.member(item, where, "hex", json_type_string, &hex)) {
      return false;
    }
    Attribute attribute;
    attribute.partition = static_cast<uint32_t>(partition);
    attribute.id = static_cast<uint16_t>(id);
    attribute.format = static_cast<uint8_t>(format);
    attribute.read_only = read_only != nullptr && json_object_get_boolean(read_only);
    if (!parse_hex(text_of(hex), &attribute.value)) {
      return c.fail("member \"hex\"" + where_text +
                    " must be hexadecimal digits, two per byte, without separators");
    }
    if (attribute.value.size() > kMaxAttributeLength) {
      return c.fail("member \"hex\"" + where_text + " is longer than 65535 bytes");
    }
    if (!listed.emplace(attribute.partition, attribute.id).second) {
      char text[96];
      std::snprintf(text, sizeof(text), "attribute %04Xh of partition %u is listed twice",
                    attribute.id, attribute.partition);
      return c.fail(text);
    }
    m->attributes.push_back(std::move(attribute));
  }
  return true;
}

// One entry of a list of command faults: {"opcode": OP, "after": K} and, when `value_name` is
// given, a byte of that name.
struct CommandEntry {
  uint8_t opcode = 0;
  uint64_t after = 0;
  uint8_t value = 0;
};

bool parse_command_entries(Checker& c, json_object* faults, const char* name,
                           const char* value_name, std::vector<CommandEntry>* out) {
  json_object* list = nullptr;
  if (!c.member(faults, " in \"faults\"", name, json_type_array, &list, true)) return false;
  for (size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i) {
    json_object* item = json_object_array_get_idx(list, i);
    const std::string at =
        std::string(" in \"") + name + "\" entry " + std::to_string(i) + " of \"faults\"";
    if (!json_object_is_type(item, json_type_object)) {
      return c.fail("entry " + std::to_string(i) + " of \"" + name +
                    "\" in \"faults\" must be an object");
    }
    int64_t opcode = 0;
    int64_t after = 0;
    int64_t value = 0;
    if (!c.integer(item, at.c_str(), "opcode", 0, 0xFF, &opcode) ||
        !c.integer(item, at.c_str(), "after", 0, std::numeric_limits<int64_t>::max(), &after) ||
        (value_name != nullptr && !c.integer(item, at.c_str(), value_name, 0, 0xFF, &value))) {
      return false;
    }
    out->push_back(CommandEntry{static_cast<uint8_t>(opcode), static_cast<uint64_t>(after),
                                static_cast<uint8_t>(value)});
  }
  return true;
}

bool parse_command_faults(Checker& c, json_object* faults, Faults* f) {
  std::vector<CommandEntry> status;
  std::vector<CommandEntry> transport;
  std::vector<CommandEntry> recovered;
  std::vector<CommandEntry> deferred;
  std::vector<CommandEntry> medium_error;
  std::vector<CommandEntry> hardware_error;
  if (!parse_command_entries(c, faults, "status", "value", &status) ||
      !parse_command_entries(c, faults, "transport", "host_status", &transport) ||
      !parse_command_entries(c, faults, "recovered", nullptr, &recovered) ||
      !parse_command_entries(c, faults, "deferred", nullptr, &deferred) ||
      !parse_command_entries(c, faults, "medium_error", nullptr, &medium_error) ||
      !parse_command_entries(c, faults, "hardware_error", nullptr, &hardware_error)) {
    return false;
  }
  for (const CommandEntry& e : status) f->status.push_back({e.opcode, e.after, e.value});
  for (const CommandEntry& e : transport) f->transport.push_back({e.opcode, e.after, e.value});
  for (const CommandEntry& e : recovered) f->recovered.push_back({e.opcode, e.after});
  for (const CommandEntry& e : deferred) f->deferred.push_back({e.opcode, e.after});
  for (const CommandEntry& e : medium_error) f->medium_error.push_back({e.opcode, e.after});
  for (const CommandEntry& e : hardware_error) f->hardware_error.push_back({e.opcode, e.after});
  return true;
}

// "unit_attention": [[ASC, ASCQ], ...]
bool parse_unit_attentions(Checker& c, json_object* faults, Faults* f) {
  json_object* list = nullptr;
  if (!c.member(faults, " in \"faults\"", "unit_attention", json_type_array, &list, true)) {
    return false;
  }
  for (size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i) {
    json_object* pair = json_object_array_get_idx(list, i);
    bool good = json_object_is_type(pair, json_type_array) && json_object_array_length(pair) == 2;
    uint8_t codes[2] = {};
    for (size_t k = 0; good && k < 2; ++k) {
      json_object* code = json_object_array_get_idx(pair, k);
      good = json_object_is_type(code, json_type_int) && json_object_get_int64(code) >= 0 &&
             json_object_get_int64(code) <= 0xFF;
      if (good) codes[k] = static_cast<uint8_t>(json_object_get_int64(code));
    }
    if (!good) {
      return c.fail("entry " + std::to_string(i) +
                    " of \"unit_attention\" in \"faults\" must be a pair [ASC, ASCQ] of bytes");
    }
    f->unit_attention.push_back(UnitAttention{codes[0], codes[1]});
  }
  return true;
}

bool parse_flag(Checker& c, json_object* faults, const char* name, bool* out) {
  json_object* flag = nullptr;
  if (!c.member(faults, " in \"faults\"", name, json_type_boolean, &flag, true)) return false;
  if (flag != nullptr) *out = json_object_get_boolean(flag);
  return true;
}

// The members about the drive's and the adapter's limits and the sense format.
bool parse_drive_settings(Checker& c, json_object* faults, Faults* f) {
  const char* where = " in \"faults\"";
  int64_t value = -1;
  if (!c.integer(faults, where, "block_limits", 1, 0xFFFFFF, &value, true)) return false;
  if (value >= 0) f->block_limits = static_cast<uint32_t>(value);
  value = -1;
  if (!c.integer(faults, where, "max_transfer", 1, std::numeric_limits<int32_t>::max(), &value,
                 true)) {
    return false;
  }
  if (value >= 0) f->max_transfer = static_cast<uint32_t>(value);
  if (!optional_integer(c, faults, where, "fixed_block_length", 1, kMaxBlockLength,
                        &f->fixed_block_length) ||
      !optional_integer(c, faults, where, "cleaning_request", 0, kMaxCount, &f->cleaning_request)) {
    return false;
  }
  json_object* format = nullptr;
  if (!c.member(faults, where, "sense_format", json_type_string, &format, true)) return false;
  if (format != nullptr) {
    const std::string text = text_of(format);
    if (text != "fixed" && text != "descriptor") {
      return c.fail("member \"sense_format\" in \"faults\" must be \"fixed\" or \"descriptor\"");
    }
    f->descriptor_sense = text == "descriptor";
  }
  return true;
}

// "signal": {"after": K, "number": S}, the test hook.
bool parse_signal(Checker& c, json_object* faults, Faults* f) {
  json_object* signal = nullptr;
  if (!c.member(faults, " in \"faults\"", "signal", json_type_object, &signal, true)) return false;
  if (signal == nullptr) return true;
  const char* where = " in \"signal\" of \"faults\"";
  int64_t after = 0;
  int64_t number = 0;
  if (!c.integer(signal, where, "after", 0, std::numeric_limits<int64_t>::max(), &after) ||
      !c.integer(signal, where, "number", 1, kMaxSignal, &number)) {
    return false;
  }
  f->signal = SignalFault{static_cast<uint64_t>(after), static_cast<int>(number)};
  return true;
}

// "encrypted": {"partition": P, "from": N, "ascq": Q}, Q 01h when missing.
bool parse_encrypted(Checker& c, json_object* faults, size_t partitions, Faults* f) {
  json_object* encrypted = nullptr;
  if (!c.member(faults, " in \"faults\"", "encrypted", json_type_object, &encrypted, true)) {
    return false;
  }
  if (encrypted == nullptr) return true;
  const char* where = " in \"encrypted\" of \"faults\"";
  EncryptedFault fault;
  int64_t partition = 0;
  int64_t from = 0;
  int64_t ascq = fault.ascq;
  if (!c.integer(encrypted, where, "partition", 0, static_cast<int64_t>(partitions) - 1,
                 &partition) ||
      !c.integer(encrypted, where, "from", 0, kMaxCount, &from) ||
      !c.integer(encrypted, where, "ascq", 0, 0xFF, &ascq, true)) {
    return false;
  }
  fault.partition = static_cast<uint32_t>(partition);
  fault.from = static_cast<uint64_t>(from);
  fault.ascq = static_cast<uint8_t>(ascq);
  f->encrypted = fault;
  return true;
}

// "cartridge_change": {"after": K, "cartridge": DIR}. Only the form of DIR is checked here; the
// drive checks, when it loads this cartridge, that DIR is a cartridge directory.
bool parse_cartridge_change(Checker& c, json_object* faults, Faults* f) {
  json_object* change = nullptr;
  if (!c.member(faults, " in \"faults\"", "cartridge_change", json_type_object, &change, true)) {
    return false;
  }
  if (change == nullptr) return true;
  const char* where = " in \"cartridge_change\" of \"faults\"";
  int64_t after = 0;
  json_object* cartridge = nullptr;
  if (!c.integer(change, where, "after", 0, kMaxCount, &after) ||
      !c.member(change, where, "cartridge", json_type_string, &cartridge)) {
    return false;
  }
  std::string path = text_of(cartridge);
  if (!relative_path(path)) {
    return c.fail(
        "member \"cartridge\" in \"cartridge_change\" of \"faults\" must name a directory "
        "relative to the cartridge directory (\".\" for the cartridge itself)");
  }
  f->cartridge_change = CartridgeChange{static_cast<uint64_t>(after), std::move(path)};
  return true;
}

bool parse_faults(Checker& c, json_object* root, Manifest* m) {
  json_object* faults = nullptr;
  if (!c.member(root, "", "faults", json_type_object, &faults, true)) return false;
  if (faults == nullptr) return true;
  const char* where = " in \"faults\"";
  Faults& f = m->faults;
  int64_t not_ready = 0;
  if (!c.integer(faults, where, "not_ready", 0, std::numeric_limits<int64_t>::max(), &not_ready,
                 true)) {
    return false;
  }
  f.not_ready = static_cast<uint64_t>(not_ready);
  json_object* list = nullptr;
  if (!c.member(faults, where, "read_attribute", json_type_array, &list, true)) return false;
  for (size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i) {
    json_object* item = json_object_array_get_idx(list, i);
    if (!json_object_is_type(item, json_type_int) || json_object_get_int64(item) < 0 ||
        json_object_get_int64(item) > std::numeric_limits<uint32_t>::max()) {
      return c.fail("member \"read_attribute\" in \"faults\" must list partition numbers");
    }
    f.read_attribute.push_back(static_cast<uint32_t>(json_object_get_int64(item)));
  }
  return parse_flag(c, faults, "device_attributes", &f.device_attributes) &&
         parse_flag(c, faults, "log_sense", &f.log_sense) &&
         parse_flag(c, faults, "no_medium", &f.no_medium) &&
         parse_flag(c, faults, "needs_load", &f.needs_load) &&
         parse_command_faults(c, faults, &f) && parse_unit_attentions(c, faults, &f) &&
         parse_drive_settings(c, faults, &f) && parse_signal(c, faults, &f) &&
         parse_encrypted(c, faults, m->partitions.size(), &f) &&
         parse_cartridge_change(c, faults, &f);
}

// What the drive reports of the medium: its volume personality and density code.
bool parse_volume(Checker& c, json_object* root, Manifest* m) {
  json_object* personality = nullptr;
  if (!c.member(root, "", "volume_personality", json_type_string, &personality)) return false;
  m->volume_personality = text_of(personality);
  if (m->volume_personality.size() > kMaxPersonalityLength) {
    return c.fail("member \"volume_personality\" is longer than 255 characters");
  }
  int64_t density = kDefaultDensity;
  if (!c.integer(root, "", "density", 0, 0xFF, &density, true)) return false;
  m->density = static_cast<uint8_t>(density);
  return true;
}

// "unreadable": [{"partition": P, "object": N}, ...]
bool parse_unreadable(Checker& c, json_object* root, Manifest* m) {
  json_object* list = nullptr;
  if (!c.member(root, "", "unreadable", json_type_array, &list, true)) return false;
  std::set<std::pair<uint32_t, uint64_t>> listed;
  for (size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i) {
    const std::string where = " in entry " + std::to_string(i) + " of \"unreadable\"";
    json_object* item = json_object_array_get_idx(list, i);
    if (!json_object_is_type(item, json_type_object)) {
      return c.fail("entry " + std::to_string(i) + " of \"unreadable\" must be an object");
    }
    int64_t partition = 0;
    int64_t object = 0;
    const int64_t last_partition = static_cast<int64_t>(m->partitions.size()) - 1;
    if (!c.integer(item, where.c_str(), "partition", 0, last_partition, &partition) ||
        !c.integer(item, where.c_str(), "object", 0, std::numeric_limits<int64_t>::max(),
                   &object)) {
      return false;
    }
    const RecordRef record{static_cast<uint32_t>(partition), static_cast<uint64_t>(object)};
    if (!listed.emplace(record.partition, record.object).second) {
      return c.fail("record " + std::to_string(record.object) + " of partition " +
                    std::to_string(record.partition) + " is listed twice in \"unreadable\"");
    }
    m->unreadable.push_back(record);
  }
  return true;
}

}  // namespace

Attribute* Manifest::find_attribute(uint32_t partition, uint16_t id) {
  for (Attribute& a : attributes) {
    if (a.partition == partition && a.id == id) return &a;
  }
  return nullptr;
}

const Attribute* Manifest::find_attribute(uint32_t partition, uint16_t id) const {
  for (const Attribute& a : attributes) {
    if (a.partition == partition && a.id == id) return &a;
  }
  return nullptr;
}

void Manifest::set_attribute(uint32_t partition, uint16_t id, uint8_t format,
                             std::vector<uint8_t> value) {
  if (Attribute* a = find_attribute(partition, id)) {
    a->format = format;
    a->value = std::move(value);
    return;
  }
  attributes.push_back(Attribute{partition, id, format, false, std::move(value)});
}

void Manifest::set_attribute_text(uint32_t partition, uint16_t id, const std::string& text,
                                  size_t width) {
  std::vector<uint8_t> value(width, ' ');
  std::copy_n(text.begin(), std::min(width, text.size()), value.begin());
  set_attribute(partition, id, 1, std::move(value));
}

void Manifest::drop_attribute(uint32_t partition, uint16_t id) {
  std::erase_if(attributes,
                [&](const Attribute& a) { return a.partition == partition && a.id == id; });
}

std::optional<Manifest> parse_manifest(std::string_view text, std::string* error) {
  Checker c(error);
  const JsonPtr root = c.parse_object(text);
  if (!root) return std::nullopt;

  Manifest m;
  int64_t version = 0;
  if (!c.integer(root.get(), "", "vtape", kFormatVersion, kFormatVersion, &version)) {
    return std::nullopt;
  }
  if (!parse_partitions(c, root.get(), &m)) return std::nullopt;
  if (!parse_volume(c, root.get(), &m) || !parse_inquiry(c, root.get(), &m) ||
      !parse_attributes(c, root.get(), &m) || !parse_unreadable(c, root.get(), &m) ||
      !parse_faults(c, root.get(), &m)) {
    return std::nullopt;
  }
  return m;
}

}  // namespace vdrive

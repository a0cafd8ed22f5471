// Parsing "library.json"; element addresses; generations.
#include "vdrive/library.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <set>

#include "vdrive/device_files.h"

namespace vdrive {

namespace {

constexpr int kFormatVersion = 1;
// Each range of addresses ends where the next one begins.
constexpr size_t kMaxImportExport = kDriveBase - kImportExportBase;
constexpr size_t kMaxDrives = kSlotBase - kDriveBase;
constexpr size_t kMaxSlots = 0x10000 - kSlotBase;
constexpr int64_t kMaxGeneration = 99;
constexpr int64_t kMaxCount = std::numeric_limits<int64_t>::max();

bool parse_slots(Checker& c, json_object* root, LibraryConfig* config) {
  json_object* list = nullptr;
  if (!c.member(root, "", "slots", json_type_array, &list)) return false;
  const size_t count = json_object_array_length(list);
  if (count > kMaxSlots) {
    return c.fail("member \"slots\" lists more than " + std::to_string(kMaxSlots) + " slots");
  }
  std::set<std::string> seen;
  for (size_t i = 0; i < count; ++i) {
    json_object* item = json_object_array_get_idx(list, i);
    if (item == nullptr) {
      config->slots.emplace_back();
      continue;
    }
    const std::string at = "slot " + std::to_string(i + 1) + " of \"slots\"";
    if (!json_object_is_type(item, json_type_string) || !relative_path(text_of(item))) {
      return c.fail(at + " must be null or a cartridge directory relative to the library");
    }
    if (!seen.insert(text_of(item)).second) {
      return c.fail(at + " names \"" + text_of(item) + "\", which another slot holds already");
    }
    config->slots.emplace_back(text_of(item));
  }
  return true;
}

bool parse_drives(Checker& c, json_object* root, LibraryConfig* config) {
  json_object* list = nullptr;
  if (!c.member(root, "", "drives", json_type_array, &list)) return false;
  const size_t count = json_object_array_length(list);
  if (count > kMaxDrives) {
    return c.fail("member \"drives\" lists more than " + std::to_string(kMaxDrives) + " drives");
  }
  for (size_t i = 0; i < count; ++i) {
    json_object* item = json_object_array_get_idx(list, i);
    const std::string where = " in drive " + std::to_string(i) + " of \"drives\"";
    if (!json_object_is_type(item, json_type_object)) {
      return c.fail("drive " + std::to_string(i) + " of \"drives\" must be an object");
    }
    int64_t generation = 0;
    if (!c.integer(item, where.c_str(), "generation", 1, kMaxGeneration, &generation)) return false;
    config->drives.push_back(static_cast<unsigned>(generation));
  }
  return true;
}

bool parse_identity(Checker& c, json_object* root, LibraryConfig* config) {
  json_object* inquiry = nullptr;
  if (!c.member(root, "", "inquiry", json_type_object, &inquiry, true)) return false;
  if (inquiry == nullptr) return true;
  struct Field {
    const char* name;
    size_t width;
    std::string* target;
  } fields[] = {{"vendor", 8, &config->inquiry.vendor},
                {"product", 16, &config->inquiry.product},
                {"revision", 4, &config->inquiry.revision}};
  for (const Field& f : fields) {
    json_object* value = nullptr;
    if (!c.member(inquiry, " in \"inquiry\"", f.name, json_type_string, &value, true)) return false;
    if (value == nullptr) continue;
    if (text_of(value).size() > f.width) {
      return c.fail(std::string("member \"") + f.name + "\" in \"inquiry\" is longer than " +
                    std::to_string(f.width) + " characters");
    }
    *f.target = text_of(value);
  }
  return true;
}

// "move_error": [{"after": K, "sense": [KEY, ASC, ASCQ]}, ...]
bool parse_move_errors(Checker& c, json_object* faults, LibraryConfig* config) {
  json_object* list = nullptr;
  if (!c.member(faults, " in \"faults\"", "move_error", json_type_array, &list, true)) return false;
  for (size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i) {
    json_object* item = json_object_array_get_idx(list, i);
    const std::string at = "entry " + std::to_string(i) + " of \"move_error\" in \"faults\"";
    const std::string where = " in " + at;
    if (!json_object_is_type(item, json_type_object)) return c.fail(at + " must be an object");
    int64_t after = 0;
    json_object* sense = nullptr;
    if (!c.integer(item, where.c_str(), "after", 0, kMaxCount, &after) ||
        !c.member(item, where.c_str(), "sense", json_type_array, &sense)) {
      return false;
    }
    uint8_t bytes[3] = {};
    bool good = json_object_array_length(sense) == 3;
    for (size_t k = 0; good && k < 3; ++k) {
      json_object* b = json_object_array_get_idx(sense, k);
      const int64_t limit = k == 0 ? 0x0F : 0xFF;
      good = json_object_is_type(b, json_type_int) && json_object_get_int64(b) >= 0 &&
             json_object_get_int64(b) <= limit;
      if (good) bytes[k] = static_cast<uint8_t>(json_object_get_int64(b));
    }
    if (!good) return c.fail("member \"sense\"" + where + " must be [KEY, ASC, ASCQ]");
    config->move_errors.push_back(
        MoveError{static_cast<uint64_t>(after), CheckCondition{bytes[0], bytes[1], bytes[2]}});
  }
  return true;
}

bool parse_library_faults(Checker& c, json_object* root, LibraryConfig* config) {
  json_object* faults = nullptr;
  if (!c.member(root, "", "faults", json_type_object, &faults, true)) return false;
  if (faults == nullptr) return true;
  int64_t not_ready = static_cast<int64_t>(kDefaultLoadNotReady);
  if (!c.integer(faults, " in \"faults\"", "load_not_ready", 0, kMaxCount, &not_ready, true)) {
    return false;
  }
  config->load_not_ready = static_cast<uint64_t>(not_ready);
  return parse_move_errors(c, faults, config);
}

}  // namespace

std::optional<LibraryConfig> parse_library(std::string_view text, std::string* error) {
  Checker c(error);
  const JsonPtr root = c.parse_object(text);
  if (!root) return std::nullopt;
  LibraryConfig config;
  int64_t version = 0;
  int64_t import_export = 0;
  if (!c.integer(root.get(), "", "vlibrary", kFormatVersion, kFormatVersion, &version) ||
      !parse_slots(c, root.get(), &config) || !parse_drives(c, root.get(), &config) ||
      !c.integer(root.get(), "", "import_export", 0, kMaxImportExport, &import_export, true) ||
      !parse_identity(c, root.get(), &config) || !parse_library_faults(c, root.get(), &config)) {
    return std::nullopt;
  }
  config.import_export = static_cast<size_t>(import_export);
  return config;
}

uint16_t address_of(const Element& element) {
  switch (element.type) {
    case ElementType::robot:
      return kRobotAddress;
    case ElementType::storage:
      return static_cast<uint16_t>(kSlotBase + element.index);
    case ElementType::import_export:
      return static_cast<uint16_t>(kImportExportBase + element.index);
    case ElementType::drive:
      return static_cast<uint16_t>(kDriveBase + element.index);
  }
  return kRobotAddress;
}

size_t element_count(const LibraryConfig& config, ElementType type) {
  switch (type) {
    case ElementType::robot:
      return 1;
    case ElementType::storage:
      return config.slots.size();
    case ElementType::import_export:
      return config.import_export;
    case ElementType::drive:
      return config.drives.size();
  }
  return 0;
}

std::optional<Element> element_at(const LibraryConfig& config, uint16_t address) {
  for (const ElementType type :
       {ElementType::robot, ElementType::import_export, ElementType::drive, ElementType::storage}) {
    const uint16_t first = address_of(Element{type, 0});
    if (address >= first && static_cast<size_t>(address - first) < element_count(config, type)) {
      return Element{type, static_cast<size_t>(address - first)};
    }
  }
  return std::nullopt;
}

std::optional<unsigned> cartridge_generation(std::string_view volume_personality) {
  size_t start = volume_personality.size();
  while (start > 0 && volume_personality[start - 1] >= '0' &&
         volume_personality[start - 1] <= '9') {
    --start;
  }
  const std::string_view digits = volume_personality.substr(start);
  if (digits.empty() || digits.size() > 2) return std::nullopt;
  unsigned generation = 0;
  for (const char d : digits) generation = generation * 10 + static_cast<unsigned>(d - '0');
  return generation;
}

bool drive_reads(unsigned drive_generation, std::optional<unsigned> cartridge_generation) {
  return cartridge_generation && (*cartridge_generation == drive_generation ||
                                  *cartridge_generation + 1 == drive_generation);
}

std::string drive_directory_name(size_t index) {
  return kDriveDirectoryPrefix + std::to_string(index);
}

}  // namespace vdrive

namespace vdrive {

std::optional<LibraryConfig> load_library(int library_fd, const std::string& dir, std::string* file,
                                          std::string* error) {
  *file = dir + "/" + kLibraryFileName;
  std::string text;
  if (!read_device_file(library_fd, kLibraryFileName, &text, error)) return std::nullopt;
  return parse_library(text, error);
}

bool make_drive_directories(int library_fd, const std::string& dir, const LibraryConfig& config,
                            std::string* error) {
  for (size_t k = 0; k < config.drives.size(); ++k) {
    const std::string name = drive_directory_name(k);
    if (::mkdirat(library_fd, name.c_str(), 0755) != 0 && errno != EEXIST) {
      *error = dir + "/" + name + " cannot be made: " + std::strerror(errno);
      return false;
    }
    std::string why;
    const support::UniqueFd drive = open_directory_below(library_fd, name, &why);
    if (!drive.valid()) {
      *error = dir + "/" + name + ": " + why;
      return false;
    }
    support::UniqueFd fd(::openat(drive.get(), kDriveFileName,
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid() && errno == EEXIST) continue;
    const std::string text = "{\"library\": \"..\", \"index\": " + std::to_string(k) + "}\n";
    if (!fd.valid() ||
        ::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      *error =
          dir + "/" + name + "/" + kDriveFileName + " cannot be written: " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace vdrive

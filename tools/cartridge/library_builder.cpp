// Writing "library.json" and building a library of sample tapes.
#include "cartridge/library_builder.h"

#include <json-c/json.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "vdrive/device_files.h"

namespace vtape {

namespace {

constexpr char kPersonalityPrefix[] = "Ultrium-";
constexpr uint16_t kBarcodeAttribute = 0x0806;

json_object* move_error_json(const vdrive::MoveError& e) {
  json_object* o = json_object_new_object();
  json_object_object_add(o, "after", json_object_new_int64(static_cast<int64_t>(e.after)));
  json_object* sense = json_object_new_array();
  for (const uint8_t b : {e.sense.key, e.sense.asc, e.sense.ascq}) {
    json_object_array_add(sense, json_object_new_int(b));
  }
  json_object_object_add(o, "sense", sense);
  return o;
}

json_object* faults_json(const vdrive::LibraryConfig& config) {
  json_object* faults = json_object_new_object();
  if (config.load_not_ready != vdrive::kDefaultLoadNotReady) {
    json_object_object_add(faults, "load_not_ready",
                           json_object_new_int64(static_cast<int64_t>(config.load_not_ready)));
  }
  if (!config.move_errors.empty()) {
    json_object* list = json_object_new_array();
    for (const vdrive::MoveError& e : config.move_errors) {
      json_object_array_add(list, move_error_json(e));
    }
    json_object_object_add(faults, "move_error", list);
  }
  return faults;
}

}  // namespace

std::string library_json(const vdrive::LibraryConfig& config) {
  const vdrive::JsonPtr root(json_object_new_object());
  json_object_object_add(root.get(), "vlibrary", json_object_new_int(1));
  json_object* slots = json_object_new_array();
  for (const std::optional<std::string>& slot : config.slots) {
    json_object_array_add(slots, slot ? json_object_new_string(slot->c_str()) : nullptr);
  }
  json_object_object_add(root.get(), "slots", slots);
  json_object* drives = json_object_new_array();
  for (const unsigned generation : config.drives) {
    json_object* drive = json_object_new_object();
    json_object_object_add(drive, "generation", json_object_new_int(static_cast<int>(generation)));
    json_object_array_add(drives, drive);
  }
  json_object_object_add(root.get(), "drives", drives);
  if (config.import_export > 0) {
    json_object_object_add(root.get(), "import_export",
                           json_object_new_int64(static_cast<int64_t>(config.import_export)));
  }
  json_object* faults = faults_json(config);
  if (json_object_object_length(faults) > 0) {
    json_object_object_add(root.get(), "faults", faults);
  } else {
    json_object_put(faults);
  }
  return std::string(json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_PRETTY)) + "\n";
}

void write_library(const vdrive::LibraryConfig& config, const std::string& dir) {
  const std::string path = dir + "/" + vdrive::kLibraryFileName;
  FILE* f = std::fopen(path.c_str(), "w");
  const std::string text = library_json(config);
  const bool written = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f == nullptr || std::fclose(f) != 0 || !written) {
    throw std::runtime_error(path + " cannot be written: " + std::strerror(errno));
  }
}

std::vector<BuildResult> build_library(const LibraryDescription& description,
                                       const std::string& dir) {
  vdrive::LibraryConfig config;
  std::vector<BuildResult> built;
  for (const LibraryCartridge& c : description.cartridges) {
    const std::string path = dir + "/" + c.name;
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
      throw std::runtime_error(path + " cannot be made: " + std::strerror(errno));
    }
    Description d = sample_description();
    d.seed = c.seed;
    d.personality = kPersonalityPrefix + std::to_string(c.generation);
    d.barcode = c.barcode;
    Deviations deviations;
    if (c.barcode.empty()) {
      AttributeEdit no_barcode;
      no_barcode.id = kBarcodeAttribute;
      no_barcode.drop = true;
      deviations.attributes.push_back(no_barcode);
    }
    if (c.damaged) {
      const Layout layout = plan_cartridge(d);
      deviations.unreadable.push_back(UnreadableBlock{1, layout.pos.front().place.block});
    }
    built.push_back(build_cartridge(d, path, deviations));
    config.slots.emplace_back(c.name);
  }
  config.slots.resize(config.slots.size() + description.empty_slots);
  config.drives = description.drives;
  config.import_export = description.import_export;
  config.move_errors = description.move_errors;
  config.load_not_ready = description.load_not_ready.value_or(vdrive::kDefaultLoadNotReady);
  write_library(config, dir);
  return built;
}

}  // namespace vtape

// Reading, checking and replacing "state.json" under the library's lock.
#include "vdrive/library_state.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <set>

#include "vdrive/device_files.h"

namespace vdrive {

namespace {

constexpr int kStateVersion = 1;
constexpr char kNewStateName[] = "state.json.new";  // only the holder of the lock writes it
constexpr int64_t kMaxCount = std::numeric_limits<int64_t>::max();

json_object* element_json(const ElementState& e) {
  if (e.cartridge.empty()) return nullptr;
  json_object* o = json_object_new_object();
  json_object_object_add(o, "cartridge", json_object_new_string(e.cartridge.c_str()));
  json_object_object_add(o, "source", e.source ? json_object_new_int(*e.source) : nullptr);
  return o;
}

json_object* drive_json(const DriveState& d) {
  json_object* o = element_json(d);
  if (o == nullptr) return nullptr;
  json_object_object_add(o, "inserted", json_object_new_int64(static_cast<int64_t>(d.inserted)));
  json_object_object_add(o, "load_counted", json_object_new_boolean(d.load_counted));
  json_object_object_add(o, "unloaded", json_object_new_boolean(d.unloaded));
  json_object_object_add(o, "prevented", json_object_new_boolean(d.prevented));
  return o;
}

bool flag(Checker& c, json_object* item, const char* where, const char* name, bool* out) {
  json_object* value = nullptr;
  if (!c.member(item, where, name, json_type_boolean, &value)) return false;
  *out = json_object_get_boolean(value);
  return true;
}

// One element: null, or its cartridge (one of the library's, not seen before) and source.
bool parse_element(Checker& c, json_object* item, const std::string& where,
                   const std::set<std::string>& cartridges, std::set<std::string>* placed,
                   ElementState* out) {
  if (item == nullptr) return true;
  json_object* cartridge = nullptr;
  json_object* source = nullptr;
  if (!json_object_is_type(item, json_type_object)) {
    return c.fail("each entry" + where.substr(where.find(" of ")) + " must be an object or null");
  }
  if (!c.member(item, where.c_str(), "cartridge", json_type_string, &cartridge)) return false;
  out->cartridge = text_of(cartridge);
  if (!cartridges.contains(out->cartridge) || !placed->insert(out->cartridge).second) {
    return c.fail("\"" + out->cartridge + "\"" + where +
                  " is no cartridge of the library, or one placed twice");
  }
  if (json_object_object_get_ex(item, "source", &source) && source != nullptr) {
    int64_t address = 0;
    if (!c.integer(item, where.c_str(), "source", 0, 0xFFFF, &address)) return false;
    out->source = static_cast<uint16_t>(address);
  }
  return true;
}

bool parse_drive(Checker& c, json_object* item, const std::string& where, DriveState* out) {
  if (item == nullptr) return true;
  int64_t inserted = 0;
  if (!c.integer(item, where.c_str(), "inserted", 0, kMaxCount, &inserted) ||
      !flag(c, item, where.c_str(), "load_counted", &out->load_counted) ||
      !flag(c, item, where.c_str(), "unloaded", &out->unloaded) ||
      !flag(c, item, where.c_str(), "prevented", &out->prevented)) {
    return false;
  }
  out->inserted = static_cast<uint64_t>(inserted);
  return true;
}

// The array `name` of `count` elements.
template <typename State>
bool parse_elements(Checker& c, json_object* root, const char* name, size_t count,
                    const std::set<std::string>& cartridges, std::set<std::string>* placed,
                    std::vector<State>* out) {
  json_object* list = nullptr;
  if (!c.member(root, "", name, json_type_array, &list)) return false;
  if (json_object_array_length(list) != count) {
    return c.fail(std::string("member \"") + name + "\" must have " + std::to_string(count) +
                  " entries, as the library has");
  }
  out->resize(count);
  for (size_t i = 0; i < count; ++i) {
    json_object* item = json_object_array_get_idx(list, i);
    const std::string where =
        std::string(" in entry ") + std::to_string(i) + " of \"" + name + "\"";
    if (!parse_element(c, item, where, cartridges, placed, &(*out)[i])) return false;
    if constexpr (std::is_same_v<State, DriveState>) {
      if (!parse_drive(c, item, where, &(*out)[i])) return false;
    }
  }
  return true;
}

}  // namespace

LibraryState initial_state(const LibraryConfig& config) {
  LibraryState state;
  for (const std::optional<std::string>& slot : config.slots) {
    state.slots.push_back(ElementState{slot.value_or(""), std::nullopt});
  }
  state.import_export.resize(config.import_export);
  state.drives.resize(config.drives.size());
  return state;
}

std::string state_json(const LibraryState& state) {
  const JsonPtr root(json_object_new_object());
  json_object_object_add(root.get(), "vlibrary_state", json_object_new_int(kStateVersion));
  json_object_object_add(root.get(), "move_commands",
                         json_object_new_int64(static_cast<int64_t>(state.move_commands)));
  json_object_object_add(root.get(), "moves",
                         json_object_new_int64(static_cast<int64_t>(state.moves)));
  const auto list = [](const auto& elements, auto to_json) {
    json_object* array = json_object_new_array();
    for (const auto& e : elements) json_object_array_add(array, to_json(e));
    return array;
  };
  json_object_object_add(root.get(), "slots", list(state.slots, element_json));
  json_object_object_add(root.get(), "import_export", list(state.import_export, element_json));
  json_object_object_add(root.get(), "drives", list(state.drives, drive_json));
  return std::string(json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_SPACED)) + "\n";
}

std::optional<LibraryState> parse_state(std::string_view text, const LibraryConfig& config,
                                        std::string* error) {
  Checker c(error);
  const JsonPtr root = c.parse_object(text);
  if (!root) return std::nullopt;
  std::set<std::string> cartridges;
  for (const std::optional<std::string>& slot : config.slots) {
    if (slot) cartridges.insert(*slot);
  }
  std::set<std::string> placed;
  LibraryState state;
  int64_t version = 0;
  int64_t move_commands = 0;
  int64_t moves = 0;
  if (!c.integer(root.get(), "", "vlibrary_state", kStateVersion, kStateVersion, &version) ||
      !c.integer(root.get(), "", "move_commands", 0, kMaxCount, &move_commands) ||
      !c.integer(root.get(), "", "moves", 0, kMaxCount, &moves) ||
      !parse_elements(c, root.get(), "slots", config.slots.size(), cartridges, &placed,
                      &state.slots) ||
      !parse_elements(c, root.get(), "import_export", config.import_export, cartridges, &placed,
                      &state.import_export) ||
      !parse_elements(c, root.get(), "drives", config.drives.size(), cartridges, &placed,
                      &state.drives)) {
    return std::nullopt;
  }
  state.move_commands = static_cast<uint64_t>(move_commands);
  state.moves = static_cast<uint64_t>(moves);
  return state;
}

StateFile::StateFile(support::UniqueFd library_fd, std::string dir, const LibraryConfig* config)
    : library_fd_(std::move(library_fd)), path_(dir + "/" + kStateFileName), config_(config) {}

std::optional<StateFile::Identity> StateFile::identity() const {
  struct stat st {};
  if (::fstatat(library_fd_.get(), kStateFileName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return Identity{st.st_dev, st.st_ino,
                  static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                  static_cast<int64_t>(st.st_size)};
}

bool StateFile::changed() const { return !seen_ || identity() != seen_; }

bool StateFile::read(LibraryState* state, std::string* error) {
  std::string text;
  const std::optional<Identity> before = identity();
  if (!before) {
    // Made once, by whichever process finds it missing first.
    return update([](LibraryState&) { return true; }, error) && read(state, error);
  }
  if (!read_device_file(library_fd_.get(), kStateFileName, &text, error)) {
    *error = path_ + " " + *error;
    return false;
  }
  std::optional<LibraryState> parsed = parse_state(text, *config_, error);
  if (!parsed) {
    *error = path_ + " " + *error;
    return false;
  }
  *state = std::move(*parsed);
  seen_ = before;
  return true;
}

bool StateFile::update(const std::function<bool(LibraryState&)>& change, std::string* error) {
  support::UniqueFd lock(
      ::openat(library_fd_.get(), kLibraryFileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  int locked = lock.valid() ? ::flock(lock.get(), LOCK_EX) : -1;
  while (locked != 0 && errno == EINTR) locked = ::flock(lock.get(), LOCK_EX);
  if (locked != 0) {
    *error = "the library's lock cannot be taken: " + std::string(std::strerror(errno));
    return false;
  }
  LibraryState state = initial_state(*config_);
  if (identity()) {
    seen_.reset();
    if (!read(&state, error)) return false;
  }
  if (!change(state)) return true;
  return write(state, error);
}

bool StateFile::write(const LibraryState& state, std::string* error) {
  const std::string text = state_json(state);
  const int dir = library_fd_.get();
  support::UniqueFd fd(
      ::openat(dir, kNewStateName, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  bool good = fd.valid();
  for (size_t done = 0; good && done < text.size();) {
    const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    good = n > 0;
    if (good) done += static_cast<size_t>(n);
  }
  good = good && ::fsync(fd.get()) == 0;
  fd.reset();
  if (!good || ::renameat(dir, kNewStateName, dir, kStateFileName) != 0) {
    *error = path_ + " cannot be written: " + std::strerror(errno);
    ::unlinkat(dir, kNewStateName, 0);
    return false;
  }
  seen_ = identity();
  return true;
}

}  // namespace vdrive

// The progress history "history.log": the counters of the place a dump records, the further keys
// of a tape's section, and the interval between records.
#include "walk/history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <span>
#include <sstream>
#include <optional>
#include <string>
#include <string_view>

#include "output_level.h"
#include "support/atomic_file.h"
#include "support/file_failure.h"
#include "support/file_helpers.h"
#include "support/safe_dir.h"
#include "support/unique_fd.h"

namespace {

constexpr const char* kHistoryPath = HISTORY_PATH;
constexpr const char* kHistoryKeys[] = {"PR", "OCM", "PO", "Object number"};
constexpr size_t kIniValueSize = 256;

// A line that opens a section: "[" and the name, then "]". The name must be the wanted one
// exactly: a tape whose identifier is the beginning of another tape's must not take that tape's
// section (the identifier is six characters when the drive reports no generation).
bool is_wanted_section(const std::string& line, const char* section) {
  if (line.empty() || line[0] != '[') return false;
  std::string_view name(line);
  name.remove_prefix(1);
  if (name.ends_with(']')) name.remove_suffix(1);
  return name == section;
}

bool is_key_line(const std::string& line, const char* key) {
  return line.starts_with(key) && line.size() > std::strlen(key) && line[std::strlen(key)] == '=';
}

int ini_open_error(const std::string& path) {
  return output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "fopen error(%s).\n", path.c_str());
}

// The whole text of the history file, read without following a link: a link in its place is
// refused (the program never writes through one). False when the file does not exist or cannot be
// read (errno set).
bool read_history_text(const char* ini_path, std::string* text) {
  text->clear();
  support::UniqueFd fd(open(ini_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ELOOP) refuse_directory(SafeDir::Refusal::link, ini_path);
    return false;
  }
  char buffer[65536];
  ssize_t n = 0;
  while ((n = read(fd.get(), buffer, sizeof(buffer))) > 0) text->append(buffer, n);
  return n == 0;
}

int write_history_text(const char* ini_path, const std::string& text);

// Write mode of read_or_write_ini: the file's text with the key set in the section is written
// under a temporary name beside it and then replaces it in one rename, so an interruption never
// leaves a half-written history behind.
int write_ini_key(const char* ini_path, const char* section, const char* key, const char* value) {
  std::string old_text;
  // A history that does not exist yet reads as empty.
  if (!read_history_text(ini_path, &old_text) && errno != ENOENT) return ini_open_error(ini_path);
  std::istringstream in(old_text);
  std::ostringstream out;
  const std::string key_line = std::string(key) + "=" + value + "\n";
  enum class Place { kBefore, kInSection, kAfter } place = Place::kBefore;
  bool key_written = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;  // empty lines are dropped
    switch (place) {
      case Place::kBefore:
        out << line << '\n';
        if (is_wanted_section(line, section)) place = Place::kInSection;
        break;
      case Place::kInSection:
        if (line[0] == '[') {
          if (!key_written) out << key_line;
          key_written = true;
          out << line << '\n';
          place = Place::kAfter;
        } else if (is_key_line(line, key)) {
          out << key_line;
          key_written = true;
        } else {
          out << line << '\n';
        }
        break;
      case Place::kAfter:
        out << line << '\n';
        break;
    }
  }
  if (place == Place::kBefore) out << '[' << section << "]\n" << key_line;
  if (place == Place::kInSection && !key_written) out << key_line;
  return write_history_text(ini_path, out.str());
}

// Read mode of read_or_write_ini: the rest of the key line after "=", with its line feed, cut to
// the caller's 256-byte buffer. Nothing is written.
int read_ini_key(const char* ini_path, const char* section, const char* key, char* value) {
  std::string text;
  if (!read_history_text(ini_path, &text)) return ini_open_error(ini_path);
  std::istringstream in(text);
  bool in_section = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (!in_section) {
      in_section = is_wanted_section(line, section);
      continue;
    }
    if (line[0] == '[') break;
    if (is_key_line(line, key)) {
      std::string found = line.substr(std::strlen(key) + 1);
      if (!in.eof()) found += '\n';
      const size_t length = std::min(found.size(), kIniValueSize - 1);
      std::memcpy(value, found.data(), length);
      value[length] = '\0';
      return 0;
    }
  }
  if (!in_section) {
    output_accdg_to_vl(LV_TRACE, VL_MISC, "section(%s) not found.\n", section);
  } else {
    output_accdg_to_vl(LV_TRACE, VL_MISC, "key(%s) is not found at the section(%s).\n", key,
                       section);
  }
  return 0;
}

// Writes `text` as the new history file: under a temporary name beside it, then renamed.
int write_history_text(const char* ini_path, const std::string& text) {
  AtomicFile file;
  if (!file.open(ini_path)) return ini_open_error(ini_path);
  if (!file.write(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())) ||
      !file.commit()) {
    return ini_open_error(file.temp_path());
  }
  return 0;
}

// A history value: decimal digits only, up to the end of its line; false for anything else (no
// digits, other characters behind them, a value that overflows).
bool parse_counter(const char* text, uint64_t* counter) {
  const char* end = text + std::strlen(text);
  if (end != text && end[-1] == '\n') --end;
  const auto [stop, error] = std::from_chars(text, end, *counter);
  return error == std::errc() && stop != text && stop == end;
}

// Whether the save path's file system runs short: of the dumps' margin, or, for a restore into a
// store, of the little room its history and lists take.
bool short_of_space(const HistoryClock& clock) {
  if (!clock.to_store) return check_disk_space(clock.save_path.c_str(), 0) != 0;
  const std::optional<uint64_t> free = free_bytes_at(clock.save_path.c_str());
  return free && *free < kStoreRunRoomBytes;
}

}  // namespace

int get_interval(HistoryClock& clock, long* interval) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_interval\n");
  clock.lap_end = std::time(nullptr);
  *interval = static_cast<long>(clock.lap_end - clock.lap_start);
  if (*interval > static_cast<long>(clock.interval)) clock.lap_start = clock.lap_end;
  return 0;
}

int output_history(HistoryClock& clock, const char* tape_id, uint64_t pr_cnt, uint64_t ocm_cnt,
                   uint64_t po_cnt, uint64_t obj_cnt, const HistoryKeys* more) {
  long interval = 0;
  int ret = get_interval(clock, &interval);
  const bool time_is_up = interval >= static_cast<long>(clock.interval);
  if (!time_is_up && !short_of_space(clock)) return ret;

  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:output_history\n");
  const uint64_t counters[] = {pr_cnt, ocm_cnt, po_cnt, obj_cnt};
  if (more != nullptr) {
    // The whole section in one rewrite: the counters, then the further keys.
    HistoryKeys keys;
    for (size_t i = 0; i < std::size(kHistoryKeys); ++i) {
      keys.emplace_back(kHistoryKeys[i], std::to_string(counters[i]));
    }
    keys.insert(keys.end(), more->begin(), more->end());
    ret |= write_history_section(tape_id, keys);
  }
  for (size_t i = 0; more == nullptr && i < std::size(kHistoryKeys); ++i) {
    char value[kIniValueSize];
    std::snprintf(value, sizeof(value), "%lu", static_cast<unsigned long>(counters[i]));
    ret |= read_or_write_ini(1, kHistoryPath, tape_id, kHistoryKeys[i], value);
  }
  // Written because the disk is filling up: stop here, the history is where -r resumes.
  if (!time_is_up) output_fatal(VL_COMMON, "No disk space(%s).\n", clock.save_path.c_str());
  return ret;
}

// Returns 1 when there is no history to resume from: no history file, no section for the tape,
// or a section that lacks one of the four counters or holds 0 or no number for one (counters
// start at 1). A walk that resumed from counters of 0 would start nowhere sensible, so all of
// these end the resume the same way as a missing file.
int get_history(const char* tape_id, uint64_t* pr_cnt, uint64_t* ocm_cnt, uint64_t* po_cnt,
                uint64_t* obj_cnt) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_history\n");
  struct stat status {};
  if (lstat(kHistoryPath, &status) != 0) return 1;
  uint64_t counters[std::size(kHistoryKeys)] = {};
  for (size_t i = 0; i < std::size(kHistoryKeys); ++i) {
    char value[kIniValueSize] = {};
    read_or_write_ini(0, kHistoryPath, tape_id, kHistoryKeys[i], value);
    if (!parse_counter(value, &counters[i]) || counters[i] == 0) return 1;
  }
  *pr_cnt = counters[0];
  *ocm_cnt = counters[1];
  *po_cnt = counters[2];
  *obj_cnt = counters[3];
  return 0;
}

int write_history_section(const char* tape_id, const HistoryKeys& keys) {
  std::string old_text;
  if (!read_history_text(kHistoryPath, &old_text) && errno != ENOENT) {
    return ini_open_error(kHistoryPath);
  }
  std::istringstream in(old_text);
  std::ostringstream out;
  bool in_section = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line[0] == '[') in_section = is_wanted_section(line, tape_id);
    if (!in_section) out << line << '\n';
  }
  out << '[' << tape_id << "]\n";
  for (const auto& [key, value] : keys) out << key << '=' << value << '\n';
  return write_history_text(kHistoryPath, out.str());
}

bool read_history_section(const char* tape_id, HistoryKeys* keys) {
  keys->clear();
  std::string text;
  if (!read_history_text(kHistoryPath, &text)) return false;
  std::istringstream in(text);
  bool in_section = false;
  bool found = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line[0] == '[') {
      in_section = is_wanted_section(line, tape_id);
      found = found || in_section;
      continue;
    }
    const size_t equals = line.find('=');
    if (in_section && equals != std::string::npos) {
      keys->emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
  }
  return found;
}

std::optional<std::vector<std::string>> history_tapes() {
  std::string text;
  if (!read_history_text(kHistoryPath, &text)) return std::nullopt;
  std::vector<std::string> tapes;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      tapes.push_back(line.substr(1, line.size() - 2));
    }
  }
  return tapes;
}

int read_or_write_ini(int rw, const char* ini_path, const char* section, const char* key,
                      char* value) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:read_or_write_ini\n");
  if (ini_path == nullptr || section == nullptr || key == nullptr || value == nullptr) {
    output_fatal(VL_MISC, "Invalid argument at read_or_write_ini.\n");
    return 1;
  }
  return rw == 1 ? write_ini_key(ini_path, section, key, value)
                 : read_ini_key(ini_path, section, key, value);
}

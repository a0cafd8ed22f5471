// Support library of the format checks: identifier and time validation, list-file writer and JSON
// helpers, progress history, save-path layout and local file helpers, tape generation.
#include <uuid/uuid.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "output_level.h"
#include "vexa_format_checker.h"

// =============================================================================================
// Identifier and time format validation
// =============================================================================================

namespace {

constexpr size_t kUuidLength = 36;
constexpr int kHyphenPositions[] = {8, 13, 18, 23};

// Deviations read from the cartridge memory are warnings; on tape they are errors.
const char* uuid_severity(const char* location) {
  static constexpr char kMam[] = "Medium Auxiliary Memory";
  return location != nullptr && std::strncmp(location, kMam, sizeof(kMam) - 1) == 0 ? LV_WARNING
                                                                                     : LV_ERROR;
}

// The character at `pos`, or the terminator when the text ends before it.
char uuid_char_at(const char* uuid, size_t pos) {
  return strnlen(uuid, kUuidLength) > pos ? uuid[pos] : '\0';
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int check_uuid_version(const char* uuid, const char* owner, const char* location) {
  const char found = uuid_char_at(uuid, 14);
  if (found == '4') return 0;
  return output_accdg_to_vl(uuid_severity(location), VL_DEFAULT,
                            "%s UUID (%s) version %c in %s should be %c.\n", owner, uuid, found,
                            location, '4');
}

int check_uuid_variant(const char* uuid, const char* owner, const char* location) {
  static constexpr char kVariants[] = "89ABab";
  const char found = uuid_char_at(uuid, 19);
  if (found != '\0' && std::strchr(kVariants, found) != nullptr) return 0;
  return output_accdg_to_vl(uuid_severity(location), VL_DEFAULT,
                            "%s UUID (%s) value %c which include variants in %s should be one of "
                            "\"%s\".\n",
                            owner, uuid, found, location, kVariants);
}

int check_uuid_character(const char* uuid, const char* owner, const char* location) {
  int ret = 0;
  const size_t length = strnlen(uuid, kUuidLength);
  for (size_t pos = 0; pos < length; ++pos) {
    const char c = uuid[pos];
    if (is_hex_digit(c)) continue;
    bool hyphen_place = false;
    for (int h : kHyphenPositions) hyphen_place |= (static_cast<size_t>(h) == pos);
    if (c == '-' && hyphen_place) continue;
    ret |= output_accdg_to_vl(uuid_severity(location), VL_DEFAULT,
                              "%s UUID (%s) format in %s is not correct.\n%sYou can not use "
                              "character '%c'.\n",
                              owner, uuid, location, INDENT, c);
  }
  // A text that ends early: its terminator is reported once, never the bytes behind it.
  if (length < kUuidLength) {
    ret |= output_accdg_to_vl(uuid_severity(location), VL_DEFAULT,
                              "%s UUID (%s) format in %s is not correct.\n%sYou can not use "
                              "character '%c'.\n",
                              owner, uuid, location, INDENT, '\0');
  }
  return ret;
}

int check_uuid_format(const char* uuid, const char* owner, const char* location) {
  int ret = 0;
  ret |= check_uuid_version(uuid, owner, location);
  ret |= check_uuid_variant(uuid, owner, location);
  ret |= check_uuid_character(uuid, owner, location);
  return ret;
}

int check_optional_uuid_format(const char* uuid, const char* owner, const char* location) {
  static constexpr char kZeroFilled[] =
      "The format of Pool Group ID is not correct.It can not be zero filled.\n";
  int ret = 0;
  if (uuid[0] == '\0') ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT, kZeroFilled);
  if (std::strcmp(uuid, NIL_UUID) == 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT, kZeroFilled);
  } else {
    ret |= check_uuid_format(uuid, owner, location);
  }
  return ret;
}

int check_utc_format(const char* utc) {
  constexpr int kLength = 27;
  const size_t length = std::strlen(utc);
  if (length != kLength) {
    return output_accdg_to_vl(LV_ERROR, VL_LABEL,
                              "Length of Time format is not correct.\n%sActual value  : %d\n%sExpected "
                              "value: %d\n",
                              INDENT, static_cast<int>(length), INDENT, kLength);
  }
  for (int pos = 0; pos < kLength; ++pos) {
    const char c = utc[pos];
    switch (pos) {
      case 4:
      case 7:
        if (c != '-') return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\"-\" does not exist at Byte %d or %d.\n", 4, 7);
        break;
      case 10:
        if (c != 'T') return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\"T\" does not exist at Byte %d.\n", 10);
        break;
      case 13:
      case 16:
        if (c != ':') return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\":\" does not exist at Byte %d or %d.\n", 13, 16);
        break;
      case 19:
        if (c != '.') return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\".\" does not exist at Byte %d.\n", 19);
        break;
      case 26:
        if (c != 'Z') return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\"Z\" does not exist at Byte %d.\n", 26);
        break;
      default:
        if (!is_digit(c)) {
          const char text[2] = {c, '\0'};
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "No digit [%s] is found at Byte %d.\n", text, pos);
        }
        break;
    }
  }
  return 0;
}

double compare_time_string(const char* first_time_string, const char* second_time_string) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start  :compare_time_string\n");
  auto to_time = [](const char* text) {
    tm broken{};
    strptime(text, "%Y-%m-%dT%H:%M:%S.", &broken);
    broken.tm_isdst = 0;
    return mktime(&broken);
  };
  const double diff = difftime(to_time(first_time_string), to_time(second_time_string));
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :compare_time_string\n");
  return diff;
}

int is_null_filled(const void* buffer, size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] != 0) return 0;
  }
  return 1;
}

// =============================================================================================
// Object list-file writer and JSON helpers
// =============================================================================================



// =============================================================================================
// Progress history
// =============================================================================================

namespace {

// Run-wide values registered by the run driver and read by the progress history.
char obj_save_path[4097] = "";
time_t lap_start = 0;
[[maybe_unused]] time_t lap_end = 0;
uint32_t history_interval = 0;

}  // namespace

void set_obj_save_path(const char* save_path) {
  std::strncpy(obj_save_path, save_path, sizeof(obj_save_path) - 1);
  obj_save_path[sizeof(obj_save_path) - 1] = '\0';
}

void set_lap_start(time_t lap_s) { lap_start = lap_s; }

void set_history_interval(uint32_t history_i) { history_interval = history_i; }



// =============================================================================================
// Save-path layout and local file helpers
// =============================================================================================

namespace {

// Two file slots: a stream stays open until its slot is opened for another name.
struct FileSlot {
  FILE* stream = nullptr;
  std::string name;
};
FileSlot file_slots[2];

}  // namespace

FILE* open_file(const char* filename, const char* mode, int index) {
  if (filename == nullptr || mode == nullptr) {
    output_accdg_to_vl(LV_SYS_ERR, VL_MISC,
                       "Invalid argument at open_file. filename %d and/or mode %d is NULL.\n",
                       filename == nullptr ? 0 : 1, mode == nullptr ? 0 : 1);
  }
  if (index != 0 && index != 1) {
    output_accdg_to_vl(LV_SYS_ERR, VL_MISC,
                       "Invalid argument at open_file. index %d should be 0 or 1.\n", index);
  }
  FileSlot& slot = file_slots[index];
  if (slot.stream != nullptr && slot.name == filename) return slot.stream;
  if (slot.stream != nullptr) {
    if (std::fclose(slot.stream) != 0) {
      slot.stream = nullptr;
      output_accdg_to_vl(LV_SYS_ERR, VL_MISC, "Failed to close file. error=%s\n",
                         std::strerror(errno));
    }
    slot.stream = nullptr;
  }
  slot.name = filename;
  slot.stream = std::fopen(filename, mode);
  if (slot.stream == nullptr) {
    const int error = errno;
    slot.name.clear();
    output_accdg_to_vl(LV_SYS_ERR, VL_MISC, "Failed to open file. path=%s, mode=%s, error=%s\n",
                       filename, mode, std::strerror(error));
  }
  return slot.stream;
}

FILE* clf_open_file(const char* filename, const char* mode) { return open_file(filename, mode, 0); }
FILE* clf_open_alt_file(const char* filename, const char* mode) {
  return open_file(filename, mode, 1);
}

// Streams stay open in their slots; closing is the slot's business.
int clf_close_file(FILE* /*fp*/) { return 0; }

size_t clf_read_file(void* buffer, size_t size, size_t count, FILE* fp) {
  const size_t read_count = std::fread(buffer, size, count, fp);
  if (std::feof(fp)) {
    std::clearerr(fp);
  } else if (std::ferror(fp)) {
    output_accdg_to_vl(LV_SYS_ERR, VL_MISC, "Failed to read file. error=%s\n",
                       std::strerror(errno));
  }
  return read_count;
}

int clf_check_read_data(size_t read_count, size_t expected_count, const char* what,
                        const char* filename) {
  if (read_count >= expected_count) return 0;
  return output_accdg_to_vl(LV_SYS_ERR, VL_MISC, "Failed to read %s from file %s.\n", what,
                            filename);
}

void* clf_allocate_memory(size_t size, const char* what) {
  void* memory = std::calloc(size == 0 ? 1 : size, 1);
  if (memory == nullptr) {
    output_accdg_to_vl(LV_SYS_ERR, VL_MISC, "Failed to allocate %zu bytes for %s.\n", size, what);
  }
  return memory;
}

void free_safely(char** text) {
  if (text == nullptr) return;
  std::free(*text);
  *text = nullptr;
}




// =============================================================================================
// Tape generation
// =============================================================================================

// The drive names the cartridge's volume personality in the volume statistics log page; the tape
// identifier carries the generation derived from it. (Included here so that this section stands
// on its own.)
#include <algorithm>
#include <vector>

#include "scsi/scsi_decode.h"

namespace {

constexpr uint32_t kVolumeStatisticsPage = 0x17;
constexpr uint16_t kVolumePersonalityParameter = 0x0045;
constexpr uint32_t kLogSenseLength = 32768;
constexpr size_t kPersonalityLength = 9;

}  // namespace

int get_tape_generation(void* scparam, char* tape_gen) {
  int ret = output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_tape_generation\n");
  if (tape_gen == nullptr) {
    output_accdg_to_vl(LV_SYS_ERR, VL_MISC, "Null pointer is detected at get_tape_generation");
    return 1;
  }
  std::vector<uint8_t> buffer(kLogSenseLength, 0);
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ST_SYSTEM_ERRORINFO syserr{};
  uint32_t received = 0;
  if (!spti_log_sense(scparam, kVolumeStatisticsPage, kVolumePersonalityParameter, kLogSenseLength,
                      buffer.data(), &received, &sense, &syserr)) {
    ret |= output_accdg_to_vl(LV_TRACE, VL_MISC, "spti_log_sense error.\n");
    received = 0;
  }
  // The personality is looked up by its parameter code within the bytes received, so that a
  // drive that returns another parameter first is not misread; missing, it stays empty.
  char personality[kPersonalityLength + 1] = {};
  const std::span<const uint8_t> value = find_log_parameter(
      std::span<const uint8_t>(buffer.data(), std::min<size_t>(received, buffer.size())),
      kVolumePersonalityParameter);
  std::copy_n(value.begin(), std::min(value.size(), kPersonalityLength), personality);

  if (std::memcmp(personality, "Ultrium-", 8) == 0) {
    tape_gen[0] = 'L';
    tape_gen[1] = personality[8];
  } else if (std::memcmp(personality, "LTO", 3) == 0) {
    // Two characters behind "LTO"; a zero byte ends them and zero-fills the rest.
    tape_gen[0] = personality[3];
    tape_gen[1] = personality[3] == '\0' ? '\0' : personality[4];
  } else {
    output_accdg_to_vl(LV_SYS_ERR, VL_MISC, "Volume personality is not correct.(%s)\n",
                       personality);
    return 1;
  }
  ret |= output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :get_tape_generation\n");
  return ret;
}

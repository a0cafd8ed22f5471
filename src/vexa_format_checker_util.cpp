// Support library of the format checks: identifier and time validation, list-file writer and JSON
// helpers, progress history, save-path layout and local file helpers, tape generation.
#include <dirent.h>
#include <sys/stat.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

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
    return output_accdg_to_vl(
        LV_ERROR, VL_LABEL,
        "Length of Time format is not correct.\n%sActual value  : %d\n%sExpected "
        "value: %d\n",
        INDENT, static_cast<int>(length), INDENT, kLength);
  }
  for (int pos = 0; pos < kLength; ++pos) {
    const char c = utc[pos];
    switch (pos) {
      case 4:
      case 7:
        if (c != '-')
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\"-\" does not exist at Byte %d or %d.\n",
                                    4, 7);
        break;
      case 10:
        if (c != 'T')
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\"T\" does not exist at Byte %d.\n", 10);
        break;
      case 13:
      case 16:
        if (c != ':')
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\":\" does not exist at Byte %d or %d.\n",
                                    13, 16);
        break;
      case 19:
        if (c != '.')
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\".\" does not exist at Byte %d.\n", 19);
        break;
      case 26:
        if (c != 'Z')
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "\"Z\" does not exist at Byte %d.\n", 26);
        break;
      default:
        if (!is_digit(c)) {
          const char text[2] = {c, '\0'};
          return output_accdg_to_vl(LV_ERROR, VL_LABEL, "No digit [%s] is found at Byte %d.\n",
                                    text, pos);
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

// ---------------------------------------------------------------------------------------------
// Directories

int mk_a_dir(const char* path) {
  struct stat status {};
  if (stat(path, &status) == 0) return 0;
  if (mkdir(path, 0777) != 0 && errno != EEXIST) {
    output_accdg_to_vl(LV_SYS_ERR, VL_MISC, "Failed to make directory.\n");
  }
  return 0;
}

int mk_deep_dir(const char* filepath) {
  int ret = 0;
  const std::string path(filepath);
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ret |= mk_a_dir(path.substr(0, slash).c_str());
  }
  if (ret != 0) ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "stat_mkdir error.\n");
  return ret;
}

int extract_dir_path(const char* filepath, std::string& dir_path) {
  const std::string_view path(filepath);
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    return output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "filename only.\n");
  }
  dir_path.assign(path.substr(0, slash));
  return 0;
}

int make_parent_dir(const char* filepath) {
  const std::string_view path(filepath);
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return 0;
  return mk_a_dir(std::string(path.substr(0, slash)).c_str());
}

// ---------------------------------------------------------------------------------------------
// Appending writer for object data and metadata

int write_object_and_meta_to_file(const char* path, const void* data, uint64_t str_offset,
                                  uint64_t object_size) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:write_object_and_meta_to_file(%s)\n", path);
  make_parent_dir(path);
  FILE* file = std::fopen(path, "ab");
  if (file == nullptr) output_accdg_to_vl(LV_SYS_ERR, VL_DEFAULT, "Can't open file: %s\n", path);
  bool written = true;
  if (object_size != 0) {
    written =
        std::fwrite(static_cast<const uint8_t*>(data) + str_offset, object_size, 1, file) == 1;
  }
  // A failed close loses buffered bytes just as a failed write does.
  written = (std::fclose(file) == 0) && written;
  if (!written) {
    output_accdg_to_vl(LV_SYS_ERR, VL_MISC,
                       "Failed to output %s.Disk space is likely to insufficient.\n", path);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Copy of a directory tree

int cp_dir(const char* from, const char* to) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::copy_options options = fs::copy_options::recursive |
                                   fs::copy_options::overwrite_existing |
                                   fs::copy_options::copy_symlinks;
  const std::string_view source(from);
  if (source.size() >= 2 && source.substr(source.size() - 2) == "/*") {
    // The contents of a directory, each entry copied into the destination directory.
    const fs::path dir(std::string(source.substr(0, source.size() - 2)));
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      fs::copy(it->path(), fs::path(to) / it->path().filename(), options, ec);
      if (ec) break;
    }
  } else {
    fs::path target(to);
    if (fs::is_directory(target, ec)) target /= fs::path(from).filename();
    fs::copy(from, target, options, ec);
  }
  if (ec) {
    output_accdg_to_vl(LV_SYS_ERR, VL_MISC, "Failed to copy (%s) to (%s).\n", from, to);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Per-bucket directory numbering

namespace {

constexpr int kObjectsPerSubDir = 1000;
constexpr int kMaxDirNumber = 1000;

bool path_exists(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0;
}

BucketInfo4ObjReader* find_bucket(BucketInfo4ObjReader* list, const char* bucket_name) {
  for (; list != nullptr; list = list->next) {
    if (std::strcmp(list->bucket_name, bucket_name) == 0) return list;
  }
  return nullptr;
}

}  // namespace

int add_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info, const char* bucket_name,
                                 int obj_reader_saved_counter, int savepath_dir_number,
                                 int savepath_sub_dir_number) {
  if (bucket_info == nullptr || bucket_name == nullptr) return 0;
  if (find_bucket(*bucket_info, bucket_name) != nullptr) return 0;
  auto* record = static_cast<BucketInfo4ObjReader*>(
      clf_allocate_memory(sizeof(BucketInfo4ObjReader), "bucket information"));
  std::strncpy(record->bucket_name, bucket_name, sizeof(record->bucket_name) - 1);
  record->obj_reader_saved_counter = obj_reader_saved_counter;
  record->savepath_dir_number = savepath_dir_number;
  record->savepath_sub_dir_number = savepath_sub_dir_number;
  BucketInfo4ObjReader** tail = bucket_info;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = record;
  return 0;
}

int initialize_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info,
                                        const char* obj_reader_saveroot) {
  DIR* dir = opendir(obj_reader_saveroot);
  if (dir == nullptr) {
    return output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "scandir error(%s).\n", obj_reader_saveroot);
  }
  int ret = 0;
  char path[4097 + 300];
  for (const dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    const char* name = entry->d_name;
    // "." and ".." are the save root and its parent, never a bucket.
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    for (int j = kMaxDirNumber; j >= 1; --j) {
      std::snprintf(path, sizeof(path), "%s/%s/%04d", obj_reader_saveroot, name, j);
      if (!path_exists(path)) continue;
      int found_sub = 0;
      for (int k = kMaxDirNumber; k >= 1 && found_sub == 0; --k) {
        std::snprintf(path, sizeof(path), "%s/%s/%04d/%04d", obj_reader_saveroot, name, j, k);
        if (path_exists(path)) found_sub = k;
      }
      if (found_sub != 0) {
        ret |= add_bucket_info_4_obj_reader(bucket_info, name, kObjectsPerSubDir, j, found_sub);
        break;
      }
    }
  }
  closedir(dir);
  return ret;
}

int update_bucket_info_4_obj_reader(BucketInfo4ObjReader* bucket_info) {
  int ret = 0;
  if (bucket_info->obj_reader_saved_counter >= kObjectsPerSubDir) {
    bucket_info->obj_reader_saved_counter = 0;
    if (bucket_info->savepath_sub_dir_number < kMaxDirNumber) {
      bucket_info->savepath_sub_dir_number += 1;
    } else {
      bucket_info->savepath_sub_dir_number = 1;
      if (bucket_info->savepath_dir_number < kMaxDirNumber) {
        bucket_info->savepath_dir_number += 1;
      } else {
        if (bucket_info->savepath_dir_number == kMaxDirNumber) {
          ret |= output_accdg_to_vl(LV_ERROR, VL_COMMON,
                                    "The maximum number of files that can be saved in the "
                                    "bucket(%s) has been exceeded.\n",
                                    bucket_info->bucket_name);
        }
        bucket_info->savepath_dir_number = kMaxDirNumber + 1;
        bucket_info->savepath_sub_dir_number = kMaxDirNumber;
        bucket_info->obj_reader_saved_counter = kObjectsPerSubDir - 1;
      }
    }
  }
  bucket_info->obj_reader_saved_counter += 1;
  return ret;
}

int get_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info, const char* bucket_name,
                                 int* savepath_dir_number, int* savepath_sub_dir_number) {
  if (bucket_info == nullptr || bucket_name == nullptr) return 0;
  BucketInfo4ObjReader* record = find_bucket(*bucket_info, bucket_name);
  if (record == nullptr) return 0;
  const int ret = update_bucket_info_4_obj_reader(record);
  *savepath_dir_number = record->savepath_dir_number;
  *savepath_sub_dir_number = record->savepath_sub_dir_number;
  return ret;
}

void free_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info) {
  if (bucket_info == nullptr) return;
  while (*bucket_info != nullptr) {
    BucketInfo4ObjReader* next = (*bucket_info)->next;
    std::free(*bucket_info);
    *bucket_info = next;
  }
}

// =============================================================================================
// Tape generation
// =============================================================================================

// Local file helpers: the two file slots of the format checks, directories, the appending
// writer, the copy of a directory tree, the temporary directory, and zero-filled buffers.
#include "support/file_helpers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "output_level.h"

int is_null_filled(const void* buffer, size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] != 0) return 0;
  }
  return 1;
}

// =============================================================================================
// Save-path layout and local file helpers
// =============================================================================================

namespace {

// Two file slots: a stream stays open until its slot is opened for another name.
struct FileSlot {
  FILE* stream = nullptr;
  std::string name;
};
// Per thread: a thread that checks a tape has slots of its own.
thread_local FileSlot file_slots[2];

}  // namespace

FILE* open_file(const char* filename, const char* mode, int index) {
  if (filename == nullptr || mode == nullptr) {
    output_fatal(VL_MISC, "Invalid argument at open_file. filename %d and/or mode %d is NULL.\n",
                 filename == nullptr ? 0 : 1, mode == nullptr ? 0 : 1);
  }
  if (index != 0 && index != 1) {
    output_fatal(VL_MISC, "Invalid argument at open_file. index %d should be 0 or 1.\n", index);
  }
  FileSlot& slot = file_slots[index];
  if (slot.stream != nullptr && slot.name == filename) {
    // The same stream serves the same name, as long as the name still refers to the file the
    // stream has open: a cache file removed and written again is opened afresh.
    struct stat named {};
    struct stat open_one {};
    if (stat(filename, &named) == 0 && fstat(fileno(slot.stream), &open_one) == 0 &&
        named.st_dev == open_one.st_dev && named.st_ino == open_one.st_ino) {
      return slot.stream;
    }
  }
  if (slot.stream != nullptr) {
    if (std::fclose(slot.stream) != 0) {
      slot.stream = nullptr;
      output_fatal(VL_MISC, "Failed to close file. error=%s\n", std::strerror(errno));
    }
    slot.stream = nullptr;
  }
  slot.name = filename;
  slot.stream = std::fopen(filename, mode);
  if (slot.stream == nullptr) {
    const int error = errno;
    slot.name.clear();
    output_fatal(VL_MISC, "Failed to open file. path=%s, mode=%s, error=%s\n", filename, mode,
                 std::strerror(error));
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
    output_fatal(VL_MISC, "Failed to read file. error=%s\n", std::strerror(errno));
  }
  return read_count;
}

int clf_check_read_data(size_t read_count, size_t expected_count, const char* what,
                        const char* filename) {
  if (read_count >= expected_count) return 0;
  output_fatal(VL_MISC, "Failed to read %s from file %s.\n", what, filename);
}

void* clf_allocate_memory(size_t size, const char* what) {
  void* memory = std::calloc(size == 0 ? 1 : size, 1);
  if (memory == nullptr) {
    output_fatal(VL_MISC, "Failed to allocate %zu bytes for %s.\n", size, what);
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
    output_fatal(VL_MISC, "Failed to make directory.\n");
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

std::string temporary_directory() {
  const char* base = std::getenv("TMPDIR");
  std::string dir = base != nullptr && base[0] == '/' ? base : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir != "/") dir += '/';
  return dir + "object_reader-" + std::to_string(geteuid()) + "/";
}

// ---------------------------------------------------------------------------------------------
// Appending writer for object data and metadata

int write_object_and_meta_to_file(const char* path, const void* data, uint64_t str_offset,
                                  uint64_t object_size) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:write_object_and_meta_to_file(%s)\n", path);
  make_parent_dir(path);
  FILE* file = std::fopen(path, "ab");
  if (file == nullptr) output_fatal(VL_DEFAULT, "Can't open file: %s\n", path);
  bool written = true;
  if (object_size != 0) {
    written =
        std::fwrite(static_cast<const uint8_t*>(data) + str_offset, object_size, 1, file) == 1;
  }
  // A failed close loses buffered bytes just as a failed write does.
  written = (std::fclose(file) == 0) && written;
  if (!written) {
    output_fatal(VL_MISC, "Failed to output %s.Disk space is likely to insufficient.\n", path);
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
    output_fatal(VL_MISC, "Failed to copy (%s) to (%s).\n", from, to);
  }
  return 0;
}

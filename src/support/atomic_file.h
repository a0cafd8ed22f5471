// A file that appears under its final name only when it is whole. It is written under a unique
// temporary name in the directory of its final name (so that two runs into one directory never
// share a temporary file), kept open until it is complete, and renamed into place by commit().
// A file neither committed nor discarded when the run ends (a fatal report calls exit) is removed
// by the clean-up list, so that no part of a file is left behind.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "vdrive/unique_fd.h"

class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile() { discard(); }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file for `final_path` (exclusively, never through a link). Returns
  // false with errno set when it cannot be created.
  bool open(const std::string& final_path);
  bool is_open() const { return fd_.valid(); }
  // Appends `bytes`; false with errno set when they could not all be written.
  bool write(std::span<const uint8_t> bytes);
  // Closes the file and renames it to its final name; false with errno set on failure (the
  // temporary file is then removed).
  bool commit();
  // Closes and removes the temporary file, if one is open.
  void discard();

  const std::string& final_path() const { return final_path_; }
  const std::string& temp_path() const { return temp_path_; }

 private:
  vdrive::UniqueFd fd_;
  std::string final_path_;
  std::string temp_path_;
};

// The temporary name of files written for `final_path` begins with this text.
std::string temporary_name_prefix(const std::string& final_path);

// Files being written under a temporary name. A run that a fatal report ends before they are
// complete removes them on its way out.
void add_unfinished_file(const char* path);
void remove_from_unfinished_files(const char* path);

// Copies the plain file `from` to `to` through an atomic file. Returns false with errno set when
// `from` is not a plain file or cannot be read, or when the copy cannot be written.
bool copy_file_atomically(const std::string& from, const std::string& to);

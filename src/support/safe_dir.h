// Directories below a root that the user chose (the save path, the working directory, the
// temporary directory), entered and created one name at a time from a directory descriptor with
// O_NOFOLLOW|O_DIRECTORY, and used only when they belong to the running user. A link planted below
// the root, or a directory that somebody else owns, is never written or deleted through.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/unique_fd.h"

class SafeDir {
 public:
  // Why a directory below the root was not entered.
  enum class Refusal { none, missing, link, foreign, not_directory, failed };

  SafeDir() = default;
  // The root itself, which may be a link: the user chose it. Ends the run when it cannot be
  // opened as a directory.
  static SafeDir root(const std::string& path);
  // The same, but a root that does not exist gives an invalid SafeDir.
  static SafeDir existing_root(const std::string& path);
  // The same, but any root that cannot be opened as a directory gives an invalid SafeDir (errno
  // set), for the caller to say so.
  static SafeDir try_root(const std::string& path);
  // The directory that holds the file `file_path`: relative paths below the working directory
  // (entered as below, created when missing), absolute ones as a root.
  static SafeDir parent_of(const std::string& file_path);
  // The existing directory of the running user's own at `path`: opened once
  // without following a link, and used only when it is a directory of the running user; it is
  // made private (0700) through its descriptor. Every later use goes through the descriptor, so
  // that the name being swapped for a link or another directory afterwards changes nothing. An
  // invalid SafeDir when it cannot be used, with why in `*problem` ("is a symbolic link", ...).
  static SafeDir private_directory(const std::string& path, std::string* problem);

  // Enters the directories `relative` (names separated by "/") below this one, creating missing
  // ones (mode 0777 before the umask) when `create`. A refusal ends the run with a message that
  // names the path and says why; a missing directory without `create` gives an invalid SafeDir.
  SafeDir enter(std::string_view relative, bool create) const;
  // The same, but a refusal is returned in `*why` (with an invalid SafeDir) for the caller to
  // decide; `*failed_at` names the path refused.
  SafeDir try_enter(std::string_view relative, bool create, Refusal* why,
                    std::string* failed_at) const;

  // Whether the last directory entered was made by this program just now (so that it is empty).
  bool made() const { return made_; }

  bool valid() const { return fd_ != nullptr && fd_->valid(); }
  int fd() const { return fd_ == nullptr ? -1 : fd_->get(); }
  // The path as the program names it in messages, ending with "/".
  const std::string& path() const { return path_; }

 private:
  SafeDir(support::UniqueFd fd, std::string path);
  std::shared_ptr<support::UniqueFd> fd_;
  std::string path_;
  bool made_ = false;
};

// Ends the run for a refusal of `path` with the message that says why.
[[noreturn]] void refuse_directory(SafeDir::Refusal why, const std::string& path);

// Opens the file `name` of `dir` for reading, never through a link. Returns -1 with errno set
// (ELOOP for a link) when it cannot.
int open_file_in(const SafeDir& dir, const std::string& name);

// Removes the plain files of `dir`. Anything else in it (a link, a directory, a device) is left,
// and its name goes to `*other` with a false result unless `leave_others`; a failed removal also
// gives false (its name in `*other`).
bool remove_plain_files(const SafeDir& dir, std::string* other, bool leave_others = false);
// The names of the directories in `dir` (not of links to directories).
std::vector<std::string> subdirectory_names(const SafeDir& dir);
// Removes the directory `name` of `dir` with its plain files, never through a link. False when
// it holds anything else, or a removal failed.
bool remove_directory_of_plain_files(const SafeDir& dir, const std::string& name);
// Whether `dir` holds nothing but plain files; the first other entry's name goes to `*other`.
bool holds_only_plain_files(const SafeDir& dir, std::string* other);
// Reads the whole plain file `name` of `dir` (never through a link) into `*bytes`. False when it
// is missing, not a plain file, or cannot be read.
bool read_plain_file(const SafeDir& dir, const std::string& name, std::string* bytes);
// Passes the bytes of the plain file `name` in `dir` to `take`, a piece at a time, so that a
// file of any size costs one buffer. False when it is not a plain file, cannot be read, or
// `take` refuses a piece.
bool stream_plain_file(const SafeDir& dir, const std::string& name,
                       const std::function<bool(std::span<const uint8_t>)>& take);

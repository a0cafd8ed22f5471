// A file that appears under its final name only when it is whole. It is written under a unique
// temporary name in the directory of its final name (so that two runs into one directory never
// share a temporary file), created with O_CREAT|O_EXCL|O_NOFOLLOW from the directory's descriptor
// (so that a planted link is never written through), kept open until it is complete, and renamed
// into place by commit(). A file neither committed nor discarded is removed by its destructor
// (a run that ends early unwinds to main), or by the clean-up list when the process exits, so that
// no part of a file is left behind.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "support/safe_dir.h"
#include "support/unique_fd.h"

class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile() { discard(); }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file for the file `name` of `dir`. Returns false with errno set when it
  // cannot be created.
  bool open(const SafeDir& dir, const std::string& name);
  // The same for a path: its directory is entered as SafeDir::parent_of does.
  bool open(const std::string& final_path);
  bool is_open() const { return fd_.valid(); }
  // Appends `bytes`; false with errno set when they could not all be written.
  bool write(std::span<const uint8_t> bytes);
  // Closes the file and renames it to its final name; false with errno set on failure (the
  // temporary file is then removed).
  bool commit();
  // Closes and removes the temporary file, if one is open or suspended.
  void discard();
  // Lets go of the file without finishing or removing it: in a process made by fork(), the
  // parent's file is the parent's.
  void abandon();
  // Closes the descriptor but keeps the temporary file, so that many files can be written in turn
  // without as many descriptors; false (errno set) when the close failed.
  bool suspend();
  // Opens the suspended temporary file again, for appending; false (errno set) when the file at
  // its name is no longer the one made here (removed, or replaced by another).
  bool resume();
  bool suspended() const { return !fd_.valid() && !temp_name_.empty(); }

  // The final path and the temporary one, as messages name them.
  const std::string& final_path() const { return final_path_; }
  std::string temp_path() const { return dir_.path() + temp_name_; }
  int fd() const { return fd_.get(); }

 private:
  SafeDir dir_;
  support::UniqueFd fd_;
  std::string name_;
  std::string temp_name_;
  std::string final_path_;
  uint64_t device_ = 0;  // of the temporary file, to know it again on resume()
  uint64_t inode_ = 0;
};

// Whether the file `name` of `dir` may be replaced: it is missing, or a file of the running user
// with no other link (a file of another user, or one hard-linked elsewhere, is not replaced; errno
// EPERM). commit() asks it before it renames the finished file into place.
bool may_replace(const SafeDir& dir, const std::string& name);

// The temporary names of files written for `final_name` begin with this text.
std::string temporary_name_prefix(const std::string& final_name);

// Removes the temporary files that atomic files for `final_name` left in `dir` when a run was
// killed before it could remove them.
void remove_stale_temporaries(const SafeDir& dir, const std::string& final_name);

// Removes the temporary files for `final_name` in `dir` that a process which no longer runs left
// (it was killed before it could remove them): plain files of the running user named
// "<final_name>.tmp.<pid>.<n>" whose process `pid` does not exist. A file of a process that still
// runs, or whose state cannot be learnt, is left alone.
void remove_orphaned_temporaries(const SafeDir& dir, const std::string& final_name);

// Copies the plain file `from` to `to` through an atomic file. Returns false with errno set when
// `from` is not a plain file (a link included) or cannot be read, or when the copy cannot be
// written.
bool copy_file_atomically(const std::string& from, const std::string& to);

// A process made by fork() for a job of its own forgets the files of its parent that are still
// being written: they are the parent's to finish or remove.
void forget_unfinished_files();

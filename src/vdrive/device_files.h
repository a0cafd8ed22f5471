// The files of a virtual device's directory as the devices read them: a description file (a
// manifest, library.json, drive.json, state.json) read whole, never through a link and within a
// size no real one comes near, a directory entered one name at a time, and the JSON checks every
// description goes through (the first problem found is said, naming the member).
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "support/unique_fd.h"

namespace vdrive {

// Reads the plain file `name` of `dir_fd` whole, without following a link and without blocking
// on a FIFO; false with what is wrong in `*error` (a file over 4 MiB is refused unread).
bool read_device_file(int dir_fd, const char* name, std::string* text, std::string* error);

// Opens the directory `relative` below `dir_fd` one name at a time, never through a link (".."
// included, so that a directory beside this one can be named). Invalid, with why in `*why`, when
// it cannot.
support::UniqueFd open_directory_below(int dir_fd, const std::string& relative, std::string* why);

// A path relative to a device's directory: not empty, not absolute, no zero byte, not longer than
// a path may be.
bool relative_path(const std::string& path);

struct JsonDeleter {
  void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonDeleter>;

std::string text_of(json_object* o);

// Collects the first problem found; every check below stops at the first one. `where` is the
// place of the parent in the text (" in \"faults\""), empty at the top.
class Checker {
 public:
  explicit Checker(std::string* error) : error_(error) {}
  bool fail(const std::string& what) {
    *error_ = what;
    return false;
  }
  // A member that must be there with the given type (or, when optional, may be missing).
  bool member(json_object* parent, const char* where, const char* name, json_type type,
              json_object** out, bool optional = false);
  bool integer(json_object* parent, const char* where, const char* name, int64_t min, int64_t max,
               int64_t* out, bool optional = false);
  // The text's one JSON object, nothing else around it but blanks; null after fail().
  JsonPtr parse_object(std::string_view text);

 private:
  std::string* error_;
};

}  // namespace vdrive

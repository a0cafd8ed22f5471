// Paths below the save path and the walk's mode names.
#include "walk/save_layout.h"

#include <cstdio>

namespace walk {

namespace {

constexpr const char* kModeNames[] = {"full_dump", "resume_dump", "output_list",
                                      "output_objects_in_object_list"};
constexpr size_t kMaxNamePart = 255;  // the longest file name

std::string four_digits(int number) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04d", number);
  return text;
}

}  // namespace

const char* mode_name(Mode mode) {
  const auto index = static_cast<size_t>(mode);
  return index < std::size(kModeNames) ? kModeNames[index] : "";
}

Mode mode_from_name(std::string_view name) {
  for (size_t i = 0; i < std::size(kModeNames); ++i) {
    if (name == kModeNames[i]) return static_cast<Mode>(i);
  }
  return Mode::unknown;
}

bool safe_path_part(std::string_view text, bool allow_slash) {
  if (!text.empty() && text.front() == '/') return false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view part = text.substr(start, end - start);
    if (part == ".." || part.size() > kMaxNamePart) return false;
    if (!allow_slash && (part == "." || end != text.size())) return false;
    start = end + 1;
  }
  return true;
}

std::string object_path(std::string_view save_root, std::string_view bucket, int dir_number,
                        int sub_dir_number, std::string_view key, std::string_view object_id,
                        const char* suffix) {
  std::string path(save_root);
  path.append("/").append(bucket).append("/").append(four_digits(dir_number));
  path.append("/").append(four_digits(sub_dir_number)).append("/").append(key);
  return path.append("/").append(object_id).append(suffix);
}

std::string list_file_path(std::string_view save_root, std::string_view tape_id,
                           std::string_view bucket, int number) {
  std::string path(save_root);
  path.append("/").append(tape_id).append("/").append(bucket).append("_");
  return path.append(four_digits(number)).append(".lst");
}

std::string lost_list_path(std::string_view save_root, std::string_view tape_id) {
  std::string path(save_root);
  return path.append("/").append(tape_id).append("/").append(kLostListName);
}

}  // namespace walk

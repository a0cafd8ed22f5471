// Where the walk writes under the save path, and the modes it runs in. Keys and bucket names come
// from the tape: safe_path_part decides whether one may become part of a path below the save path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace walk {

// The jobs the walk does, by the mode text the run driver passes to check_integrity.
enum class Mode { full_dump, resume_dump, output_list, output_objects_in_object_list, unknown };

const char* mode_name(Mode mode);
Mode mode_from_name(std::string_view name);
// Dumps and retrievals write objects; a list run writes list entries.
inline bool writes_objects(Mode mode) {
  return mode == Mode::full_dump || mode == Mode::resume_dump ||
         mode == Mode::output_objects_in_object_list;
}

// Whether `text` may stand in a path below the save path: not absolute, no ".." and no part
// longer than a file name may be; with `allow_slash` false also a single name (no "/", not ".").
bool safe_path_part(std::string_view text, bool allow_slash);

// "<save root>/<bucket>/<dir>/<sub dir>/<key>/<object id><suffix>" with the directory numbers as
// four digits.
std::string object_path(std::string_view save_root, std::string_view bucket, int dir_number,
                        int sub_dir_number, std::string_view key, std::string_view object_id,
                        const char* suffix);

// "<save root>/<tape id>/<bucket>_<number>.lst", the number as four digits.
std::string list_file_path(std::string_view save_root, std::string_view tape_id,
                           std::string_view bucket, int number);

// "<save root>/<tape id>/lost_objects.txt": the objects a run could not read from the tape.
inline constexpr char kLostListName[] = "lost_objects.txt";
std::string lost_list_path(std::string_view save_root, std::string_view tape_id);

}  // namespace walk

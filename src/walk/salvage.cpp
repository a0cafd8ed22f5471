#include "walk/salvage.h"

#include <json-c/json.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>
#include <optional>
#include <utility>
#include <vector>

#include "output_level.h"
#include "support/atomic_file.h"
#include "support/printable.h"
#include "support/run_record.h"
#include "support/safe_dir.h"
#include "walk/save_layout.h"
#include "walk/walk_steps.h"

namespace walk {
namespace {

constexpr char kRetrievalNumbers[] = "/0000/0000/";

using Hole = std::pair<uint64_t, uint64_t>;  // offset in the data, length

// Where a retrieval writes the object: null when its bucket or key cannot name a directory there.
std::optional<SafeDir> object_directory(Walk& w, const LostPlace& p) {
  if (!safe_path_part(p.bucket, false) || !safe_path_part(p.key, true)) return std::nullopt;
  SafeDir::Refusal why = SafeDir::Refusal::none;
  std::string failed_at;
  SafeDir dir =
      w.out.save_root.try_enter(p.bucket + kRetrievalNumbers + p.key, true, &why, &failed_at);
  if (!dir.valid()) return std::nullopt;
  return dir;
}

std::string holes_text(uint64_t size, uint64_t read, const std::vector<Hole>& holes) {
  json_object* doc = json_object_new_object();
  json_object_object_add(doc, "size", json_object_new_uint64(size));
  json_object_object_add(doc, "read", json_object_new_uint64(read));
  json_object* list = json_object_new_array();
  for (const auto& [offset, length] : holes) {
    json_object* hole = json_object_new_array();
    json_object_array_add(hole, json_object_new_uint64(offset));
    json_object_array_add(hole, json_object_new_uint64(length));
    json_object_array_add(list, hole);
  }
  json_object_object_add(doc, "holes", list);
  std::string text = json_object_to_json_string_ext(doc, JSON_C_TO_STRING_PLAIN) + std::string("\n");
  json_object_put(doc);
  return text;
}

void add_hole(std::vector<Hole>* holes, uint64_t offset, uint64_t length) {
  if (!holes->empty() && holes->back().first + holes->back().second == offset) {
    holes->back().second += length;
  } else {
    holes->emplace_back(offset, length);
  }
}

// Reads the object's data block by block into `partial`; the bytes of a block that does not read
// stay zeros and make a hole. At a filemark or the end of data nothing more of the object is on
// the tape (the record's size is not trusted to end before it): the rest is one hole, not
// written. Returns the bytes read, or nothing when the file could not be written.
std::optional<uint64_t> copy_readable(Walk& w, const LostPlace& p, AtomicFile& partial,
                                      std::vector<Hole>* holes) {
  const uint64_t bs = w.tape.block_size;
  if (p.block_address > (UINT64_MAX - p.offset - p.meta_size - p.size) / bs) {
    add_hole(holes, 0, p.size);  // a place beyond any tape
    return 0;
  }
  const uint64_t start = p.block_address * bs + p.offset + p.meta_size;
  const std::vector<uint8_t> zeros(bs, 0);
  uint64_t read = 0;
  for (uint64_t done = 0; done < p.size;) {
    const uint64_t at = start + done;
    const uint64_t take = std::min(bs - at % bs, p.size - done);
    if (w.cursor().position() != at / bs) w.cursor().locate(at / bs);
    uint32_t count = 0;
    int tries = 0;
    const Got got = read_with_retries(w, 1, &count, &tries);
    if (got == Got::filemark) {
      add_hole(holes, done, p.size - done);
      break;
    }
    std::span<const uint8_t> bytes(zeros.data(), take);
    if (got == Got::block) {
      bytes = w.cursor().block().subspan(at % bs, take);
      read += take;
    } else {
      add_hole(holes, done, take);
    }
    if (!partial.write(bytes)) return std::nullopt;
    done += take;
  }
  return read;
}

// Salvages one object; false when its files could not be written.
bool salvage(Walk& w, const LostPlace& p) {
  const std::string name = run_record::object_name(p.bucket, p.key, p.version, p.object_id);
  const std::optional<SafeDir> dir = object_directory(w, p);
  if (!dir) {
    output_accdg_to_vl(LV_ERROR, VL_COMMON, "%s cannot be salvaged: its key or bucket cannot name "
                       "a directory below the save path.\n", name.c_str());
    return false;
  }
  AtomicFile partial;
  AtomicFile map;
  std::vector<Hole> holes;
  const std::optional<uint64_t> read = partial.open(*dir, p.object_id + ".data.partial")
                                           ? copy_readable(w, p, partial, &holes)
                                           : std::nullopt;
  const std::string text_of_holes = read ? holes_text(p.size, *read, holes) : std::string();
  const bool written = read && map.open(*dir, p.object_id + ".holes.json") &&
                       map.write({reinterpret_cast<const uint8_t*>(text_of_holes.data()),
                                  text_of_holes.size()}) &&
                       partial.commit() && map.commit();
  if (!written) {
    output_accdg_to_vl(LV_ERROR, VL_COMMON, "%s could not be salvaged into %s: %s\n", name.c_str(),
                       printable(dir->path()).c_str(), std::strerror(errno));
    return false;
  }
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "%s is salvaged: %" PRIu64 " of its %" PRIu64 " bytes read, in %s%s.data.partial; "
                     "the holes are in %s.holes.json.\n",
                     name.c_str(), *read, p.size, printable(dir->path()).c_str(),
                     p.object_id.c_str(), p.object_id.c_str());
  return true;
}

}  // namespace

int salvage_lost_objects(Walk& w) {
  int ret = 0;
  for (const LostPlace& place : w.out.lost_places) ret |= salvage(w, place) ? 0 : 1;
  return ret;
}

}  // namespace walk

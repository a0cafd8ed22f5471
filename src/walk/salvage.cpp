#include "walk/salvage.h"

#include <json-c/json.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>
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

// Reads the object's data block by block into `partial`; the bytes of a block that does not read
// (or lies past the end of what the partition holds) stay zeros and make a hole.
bool copy_readable(Walk& w, const LostPlace& p, AtomicFile& partial, std::vector<Hole>* holes) {
  const uint64_t bs = w.tape.block_size;
  const uint64_t start = p.block_address * bs + p.offset + p.meta_size;
  const std::vector<uint8_t> zeros(bs, 0);
  bool ended = false;  // a filemark or the end of data: nothing more of the object is there
  for (uint64_t done = 0; done < p.size;) {
    const uint64_t at = start + done;
    const uint64_t block = at / bs;
    const uint64_t skip = at % bs;
    const uint64_t take = std::min(bs - skip, p.size - done);
    Got got = Got::damage;
    if (!ended) {
      if (w.cursor().position() != block) w.cursor().locate(block);
      uint32_t count = 0;
      int tries = 0;
      got = read_with_retries(w, 1, &count, &tries);
      ended = got == Got::filemark;
    }
    std::span<const uint8_t> bytes(zeros.data(), take);
    if (got == Got::block) {
      bytes = w.cursor().block().subspan(skip, take);
    } else if (!holes->empty() && holes->back().first + holes->back().second == done) {
      holes->back().second += take;
    } else {
      holes->emplace_back(done, take);
    }
    if (!partial.write(bytes)) return false;
    done += take;
  }
  return true;
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
  const std::string text_of_holes = [&] {
    if (!partial.open(*dir, p.object_id + ".data.partial") || !copy_readable(w, p, partial, &holes)) {
      return std::string();
    }
    uint64_t missing = 0;
    for (const Hole& h : holes) missing += h.second;
    return holes_text(p.size, p.size - missing, holes);
  }();
  const bool written = !text_of_holes.empty() && map.open(*dir, p.object_id + ".holes.json") &&
                       map.write({reinterpret_cast<const uint8_t*>(text_of_holes.data()),
                                  text_of_holes.size()}) &&
                       partial.commit() && map.commit();
  if (!written) {
    output_accdg_to_vl(LV_ERROR, VL_COMMON, "%s could not be salvaged into %s: %s\n", name.c_str(),
                       printable(dir->path()).c_str(), std::strerror(errno));
    return false;
  }
  uint64_t missing = 0;
  for (const Hole& h : holes) missing += h.second;
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "%s is salvaged: %" PRIu64 " of its %" PRIu64 " bytes read, in %s%s.data.partial; "
                     "the holes are in %s.holes.json.\n",
                     name.c_str(), p.size - missing, p.size, printable(dir->path()).c_str(),
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

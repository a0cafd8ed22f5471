// The history file as a resume reads it back: the four counters of a tape, its section's keys and
// the numbering of the buckets' directories recorded there. The first line of the input names the
// tape, the rest is the file.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_target.h"
#include "vexa_format_checker.h"
#include "walk/history.h"
#include "walk/numbering.h"
#include "walk/progress.h"

namespace {

// Owns a chain of bucket records.
struct Buckets {
  BucketInfo4ObjReader* head = nullptr;
  Buckets() = default;
  Buckets(const Buckets&) = delete;
  Buckets& operator=(const Buckets&) = delete;
  ~Buckets() { free_bucket_info_4_obj_reader(&head); }
};

}  // namespace

OR_FUZZ_TARGET(history) {
  fuzz::Bytes tape_line;
  fuzz::Bytes history;
  fuzz::split(input, "\n", &tape_line, &history);
  const std::string tape_id(reinterpret_cast<const char*>(tape_line.data()), tape_line.size());
  fuzz::write_input(HISTORY_PATH, history);
  uint64_t counters[4] = {};
  get_history(tape_id.c_str(), &counters[0], &counters[1], &counters[2], &counters[3]);
  HistoryKeys keys;
  if (!read_history_section(tape_id.c_str(), &keys)) return;
  Buckets buckets;
  std::string refused;
  walk::restore_numbering(keys, &buckets.head, &refused);
  walk::history_value(keys, walk::kSavePathKey);
}

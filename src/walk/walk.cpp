// The walk's handle: its construction from the run driver's setup, what a new walk over the data
// partition forgets, and the steps every pass shares (the names of markers and partitions, a block
// read with retries).
#include "walk/walk.h"

#include <algorithm>
#include <cinttypes>
#include <utility>

#include "output_level.h"
#include "walk/object_sink.h"
#include "walk/walk_steps.h"

namespace walk {

Walk::Walk(TapeDrive& drive, Setup setup) : drive_(drive), setup_(std::move(setup)) {
  // The history's free-space check looks at the save path the walk writes into.
  setup_.history.save_path = setup_.save_path;
}

Walk::~Walk() { free_bucket_info_4_obj_reader(&out.numbering); }

void Walk::begin_data_walk() {
  data.index.clear();
  data.places.clear();
  data.damage.clear();
  data.buckets.clear();
  const InHand kept = std::move(in_hand);
  in_hand = InHand{};
  // The object in hand of an earlier walk of the run: its bucket, numbering and list entry.
  in_hand.savepath_dir_number = kept.savepath_dir_number;
  in_hand.savepath_sub_dir_number = kept.savepath_sub_dir_number;
  std::copy(std::begin(kept.bucket_id), std::end(kept.bucket_id), in_hand.bucket_id);
  in_hand.bucket_name = kept.bucket_name;
  in_hand.list_entry = kept.list_entry;
  in_hand.pre_bucket_name = kept.pre_bucket_name;
  in_hand.pre_savepath_dir_number = kept.pre_savepath_dir_number;
  counts.object_errors = 0;
  std::fill(std::begin(counts.chosen), std::end(counts.chosen), 0);
  counts.objects_met = 0;
  counts.objects_total = 0;
  counts.bytes_met = 0;
  counts.bytes_total = 0;
  BucketInfo4ObjReader* const numbering = std::exchange(out.numbering, nullptr);
  out = Output{};
  out.numbering = numbering;
}

void settle_objects(Walk& w) {
  if (w.setup().sink != nullptr) w.setup().sink->finish();
}

Got read_with_retries(Walk& w, int partition, uint32_t* count, int* tries) {
  const uint64_t at = w.cursor().position();
  w.cursor().caller_reports_unreadable(true);
  Got got = Got::damage;
  // The sense data of a medium error are shown with -v only: the caller reports the block. A
  // READ that failed otherwise is no filemark either: it is tried again as an unreadable block
  // is, and stays damage when no try reads it. A record longer than a block is damage at once
  // (its READ said so).
  for (*tries = 1;; ++*tries) {
    w.cursor().quiet_sense(true);
    const int ret = w.cursor().read(w.tape.block_size, count);
    w.cursor().quiet_sense(false);
    const TapeCursor::Read kind = w.cursor().last_read();
    if (ret == 0 || kind == TapeCursor::Read::filemark || kind == TapeCursor::Read::end_of_data) {
      got = ret == 0 ? Got::block : Got::filemark;
      break;
    }
    if (kind == TapeCursor::Read::too_long || *tries > w.setup().read_retries) break;
    w.cursor().locate(at);
  }
  w.cursor().caller_reports_unreadable(false);
  if (got == Got::block && *tries > 1) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON, "Block %" PRIu64 " of the %s was read on try %d.\n",
                       at, get_partition_name(partition), *tries);
  }
  if (got == Got::damage) w.cursor().locate(at + 1);
  return got;
}

void keep_lost_places(Walk& w, const std::string& tape_id) {
  const std::string& root = w.setup().save_path;
  std::vector<LostPlace> places = w.out.lost_places;
  if (w.mode_is(Mode::resume_dump)) places = merged(read_lost_places(root, tape_id), places);
  std::erase_if(places, [&](const LostPlace& p) {
    return w.out.recovered.count({p.bucket, p.object_id}) != 0;
  });
  std::string why;
  if (!write_lost_places(root, tape_id, places, &why)) {
    output_accdg_to_vl(LV_ERROR, VL_COMMON,
                       "The places of the objects lost (%s/%s/%s) could not be recorded: %s\n",
                       root.c_str(), tape_id.c_str(), kLostPlacesName, why.c_str());
  }
}

}  // namespace walk

const char* get_marker_name(MARKER_TYPE m_type) {
  switch (m_type) {
    case OCM:
      return "ocm";
    case PO:
      return "po";
    case META:
      return "meta";
    default:
      return "unknown";
  }
}

const char* get_partition_name(int which_partition) {
  switch (which_partition) {
    case 0:
      return "reference partition";
    case 1:
      return "data partition";
    default:
      return "unknown";
  }
}

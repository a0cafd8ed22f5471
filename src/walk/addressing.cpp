// Marker addressing: every position on the data partition computed from the cached last reference
// commit marker and partial references, through the marker index (walk/marker_index), built once;
// and the choice of the marker the walk visits next.
#include <sys/stat.h>

#include <cinttypes>
#include <optional>
#include <string>
#include <vector>

#include "endian_utils.h"
#include "marker_layout.h"
#include "output_level.h"
#include "walk/walk.h"
#include "walk/walk_steps.h"

namespace ml = marker_layout;
using namespace walk;

int get_ocm_po_meta_num(Walk& w, int pr_count, uint64_t* ocm_total, uint64_t* po_total,
                        uint64_t* meta_total) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_ocm_po_meta_num\n");
  walk::MarkerIndex& index = w.data.index;
  index.build(pr_count < 0 ? 0 : static_cast<uint64_t>(pr_count));
  for (uint64_t k = 0; k < index.prs().size(); ++k) {
    const walk::PrEntry& pr = index.prs()[k];
    *ocm_total += pr.ocm_count;
    output_accdg_to_vl(LV_TRACE, VL_MISC, "pr%d: ocm_num=%" PRIu64 ", added=%" PRIu64 "\n",
                       static_cast<int>(k), *ocm_total, pr.ocm_count);
    for (uint64_t j = 0; j < pr.ocm_count; ++j) {
      const walk::OcmEntry& ocm = index.ocms()[pr.first_ocm + j];
      *po_total += ocm.po_count;
      output_accdg_to_vl(LV_TRACE, VL_MISC, "pr%d: ocm%d: po_num=%" PRIu64 ", added=%" PRIu64 "\n",
                         static_cast<int>(k), static_cast<int>(j), *po_total, ocm.po_count);
      for (uint64_t m = 0; m < ocm.po_count; ++m) {
        *meta_total += index.pos()[ocm.first_po + m].object_count;
      }
      output_accdg_to_vl(LV_TRACE, VL_MISC, "pr%d: ocm%d: meta_num=%" PRIu64 "\n",
                         static_cast<int>(k), static_cast<int>(j), *meta_total);
    }
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :get_ocm_po_meta_num\n");
  return 0;
}

namespace {

// How many blocks before the last reference commit marker of the data partition partial
// reference `pr_number` (1-based) begins, as the cache gives it.
uint64_t pr_distance(Walk& w, int pr_number) {
  std::optional<uint64_t> b;
  if (pr_number >= 1) b = w.data.index.pr_block_offset(static_cast<uint64_t>(pr_number - 1));
  if (!b) {
    char bytes[ml::kFieldSize] = {};
    read_marker_file(
        w, sizeof(bytes),
        ml::kRcmHeaderSize + ml::kRcmEntrySize * (static_cast<uint64_t>(pr_number) - 1),
        rcm_cache_file(1).c_str(), bytes);
    b = be64(reinterpret_cast<uint8_t*>(bytes));
  }
  return *b;
}

}  // namespace

namespace walk {

// Where the last reference commit marker of the data partition begins, counted forward: the VOL1
// label, the format label and the first reference commit marker at the beginning of the
// partition (the records of their cache files, each with its filemark), then the distance from
// the first packed object that the partial references give. Nothing when the cache does not
// tell, or its offsets (untrusted) add up beyond any block number.
std::optional<uint64_t> last_rcm_block_by_cache(Walk& w) {
  const walk::MarkerIndex& index = w.data.index;
  if (index.pos().empty() || w.tape.block_size == 0) return std::nullopt;
  uint64_t first_po = 0;
  for (const std::string& file : {marker_cache_file(CACHE_VOL1_LABEL),
                                  marker_cache_file(CACHE_FORMAT_LABEL), rcm_cache_file(0)}) {
    struct stat status {};
    if (stat(file.c_str(), &status) != 0 || status.st_size <= 0) return std::nullopt;
    first_po +=
        (static_cast<uint64_t>(status.st_size) + w.tape.block_size - 1) / w.tape.block_size + 1;
  }
  const walk::PoEntry& po = index.pos()[0];
  if (po.ocm >= index.ocms().size()) return std::nullopt;
  const walk::OcmEntry& ocm = index.ocms()[po.ocm];
  // The packed object lies before its commit marker, and that before its partial reference.
  uint64_t block = first_po;
  for (const uint64_t step :
       {pr_distance(w, static_cast<int>(ocm.pr + 1)), ocm.block_offset, po.block_offset}) {
    if (__builtin_add_overflow(block, step, &block)) return std::nullopt;
  }
  return block;
}

}  // namespace walk

int get_address_of_pr(Walk& w, int pr_number, uint64_t* block_number, uint64_t* offset) {
  output_accdg_to_vl(LV_TRACE, VL_PR, "start:get_address_of_pr\n");
  if (w.tape.dp_rcm_block_number == 0) {
    output_fatal(VL_MISC,
                 "Failed to get block number of the last reference commit marker of data "
                 "partition.\n");
  }
  *block_number = w.tape.dp_rcm_block_number - pr_distance(w, pr_number);
  *offset = 0;
  output_accdg_to_vl(LV_TRACE, VL_PR, "end  :get_address_of_pr\n");
  return 0;
}

namespace {

// The first block of the partial reference that holds object commit marker `ocm`.
uint64_t pr_block_of(Walk& w, const walk::OcmEntry& ocm) {
  uint64_t b_pr = 0;
  uint64_t unused = 0;
  get_address_of_pr(w, static_cast<int>(ocm.pr + 1), &b_pr, &unused);
  return b_pr;
}

MarkerAddress ocm_address(Walk& w, uint64_t n) {
  const walk::OcmEntry& ocm = w.data.index.ocms()[n];
  return {pr_block_of(w, ocm) - ocm.block_offset, ml::kIdentifierSize, ocm.pr, ocm.info_offset,
          ocm.length};
}

MarkerAddress po_address(Walk& w, uint64_t n) {
  const walk::PoEntry& po = w.data.index.pos()[n];
  const walk::OcmEntry& ocm = w.data.index.ocms()[po.ocm];
  return {pr_block_of(w, ocm) - ocm.block_offset - po.block_offset, ml::kIdentifierSize, ocm.pr,
          po.info_offset, po.data_offset};
}

MarkerAddress meta_address(Walk& w, uint64_t n) {
  walk::MarkerIndex& index = w.data.index;
  const uint64_t p = index.po_of_meta(n);
  const walk::PoEntry& po = index.pos()[p];
  const walk::OcmEntry& ocm = index.ocms()[po.ocm];
  const walk::PoDirectory& dir = index.po_directory(p);
  const size_t r = static_cast<size_t>(n - po.first_meta);
  const uint64_t m = dir.meta_offset[r];
  const uint64_t on_tape = m + ml::kIdentifierSize;  // the offsets count from the identifier's end
  return {pr_block_of(w, ocm) - ocm.block_offset - po.block_offset + on_tape / w.tape.block_size,
          on_tape % w.tape.block_size, ocm.pr, dir.copy_position[r], dir.data_offset[r] - m};
}

}  // namespace

namespace walk {

const std::vector<PackedObjectPlace>& packed_object_places(Walk& w) {
  std::vector<PackedObjectPlace>& places = w.data.places;
  if (!places.empty() && places.front().block == UINT64_MAX && w.tape.dp_rcm_block_number != 0) {
    for (uint64_t m = 0; m < places.size(); ++m) places[m].block = po_address(w, m).block_number;
  }
  return places;
}

}  // namespace walk

int get_address_of_marker(Walk& w, MARKER_TYPE m_type, uint64_t marker_num, uint64_t* block_number,
                          uint64_t* offset, uint64_t* pr_file_num, uint64_t* pr_file_offset,
                          uint64_t* marker_len) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_address_of_marker: m_type=%d, marker_num=%d\n",
                     static_cast<int>(m_type), static_cast<int>(marker_num));
  const char* end_line = "end  :get_address_of_marker\n";
  const walk::MarkerIndex& index = w.data.index;
  std::optional<MarkerAddress> address;
  if (marker_num >= 1) {
    const uint64_t n = marker_num - 1;
    if (m_type == OCM && n < index.ocms().size()) {
      address = ocm_address(w, n);
    } else if (m_type == PO && n < index.pos().size()) {
      address = po_address(w, n);
      end_line = "end  :get_address_of_marker in ocm loop\n";
    } else if (m_type == META && n < index.object_count()) {
      address = meta_address(w, n);
      end_line = "end  :get_address_of_marker in po loop\n";
    }
  }
  if (address) {
    *block_number = address->block_number;
    *offset = address->offset;
    *pr_file_num = address->pr_file_num;
    *pr_file_offset = address->pr_file_offset;
    *marker_len = address->length;
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "%s", end_line);
  return 0;
}

namespace {

// Whether marker `number` (1-based) of `kind` is the next one in the order the partial references
// list the markers, given the counters of the markers visited so far: a packed object after the
// objects before it and after the commit markers and partial references that come before it, an
// object after its packed object, a commit marker after its packed objects and their objects, a
// partial reference after its commit markers.
bool is_next_in_list_order(Walk& w, MARKER_TYPE kind, uint64_t number, uint64_t pr_cnt,
                           uint64_t ocm_cnt, uint64_t po_cnt, uint64_t meta_cnt) {
  const walk::MarkerIndex& index = w.data.index;
  const uint64_t n = number - 1;
  const uint64_t prs_done = pr_cnt - 1;
  const uint64_t ocms_done = ocm_cnt - 1;
  const uint64_t pos_done = po_cnt - 1;
  const uint64_t metas_done = meta_cnt - 1;
  // The objects before packed object `p`.
  auto objects_before = [&](uint64_t p) {
    return p < index.pos().size() ? index.pos()[p].first_meta : index.object_count();
  };
  switch (kind) {
    case PO: {
      const walk::PoEntry& po = index.pos()[n];
      return metas_done >= po.first_meta && ocms_done >= po.ocm &&
             prs_done >= index.ocms()[po.ocm].pr;
    }
    case META:
      return pos_done > index.po_of_meta(n);
    case OCM: {
      const walk::OcmEntry& ocm = index.ocms()[n];
      const uint64_t pos_end = ocm.first_po + ocm.po_count;
      return pos_done >= pos_end && metas_done >= objects_before(pos_end) && prs_done >= ocm.pr;
    }
    case PR: {
      const walk::PrEntry& pr = index.prs()[n];
      return ocms_done >= pr.first_ocm + pr.ocm_count;
    }
    default:
      return false;
  }
}

}  // namespace

int get_next_marker(Walk& w, uint64_t pr_cnt, uint64_t ocm_cnt, uint64_t po_cnt, uint64_t meta_cnt,
                    uint64_t pr_max, uint64_t ocm_max, uint64_t po_max, uint64_t meta_max,
                    MARKER_TYPE* m_type) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_next_marker\n");
  uint64_t npr = UINT64_MAX;
  uint64_t nocm = UINT64_MAX;
  uint64_t npo = UINT64_MAX;
  uint64_t nmeta = UINT64_MAX;
  uint64_t offset = 0;
  uint64_t file_num = 0;
  uint64_t file_offset = 0;
  uint64_t length = 0;
  if (pr_cnt <= pr_max) get_address_of_pr(w, static_cast<int>(pr_cnt), &npr, &offset);
  if (ocm_cnt <= ocm_max) {
    get_address_of_marker(w, OCM, ocm_cnt, &nocm, &offset, &file_num, &file_offset, &length);
  }
  if (po_cnt <= po_max) {
    get_address_of_marker(w, PO, po_cnt, &npo, &offset, &file_num, &file_offset, &length);
  }
  if (meta_cnt <= meta_max) {
    get_address_of_marker(w, META, meta_cnt, &nmeta, &offset, &file_num, &file_offset, &length);
  }
  MARKER_TYPE choice = META;
  if (npr < nocm && npr < npo && npr < nmeta) {
    choice = PR;
  } else if (nocm < npo && nocm < nmeta) {
    choice = OCM;
  } else if (npo <= nmeta) {
    choice = PO;
  }
  // Blocks computed from damaged offsets may wrap to the largest value: never choose a kind
  // that has no marker left, or the walk would not end.
  const bool left[7] = {false,
                        false,
                        false,
                        pr_cnt <= pr_max,
                        ocm_cnt <= ocm_max,
                        po_cnt <= po_max,
                        meta_cnt <= meta_max};
  if (!left[choice]) {
    for (MARKER_TYPE kind : {PR, OCM, PO, META}) {
      if (left[kind]) {
        choice = kind;
        break;
      }
    }
  }
  // A marker placed at or beyond the last reference commit marker cannot be there. It is chosen
  // where the partial references list it, to be reported and skipped, so that the markers around
  // it keep their order.
  const uint64_t block_of[7] = {0, 0, 0, npr, nocm, npo, nmeta};
  const uint64_t counter_of[7] = {0, 0, 0, pr_cnt, ocm_cnt, po_cnt, meta_cnt};
  for (MARKER_TYPE kind : {PR, OCM, PO, META}) {
    if (left[kind] && block_of[kind] >= w.tape.dp_rcm_block_number &&
        is_next_in_list_order(w, kind, counter_of[kind], pr_cnt, ocm_cnt, po_cnt, meta_cnt)) {
      choice = kind;
      break;
    }
  }
  *m_type = choice;
  const uint64_t counter = ++w.counts.chosen[choice];
  output_accdg_to_vl(LV_TRACE, VL_MISC,
                     "end  :get_next_marker: %s:%" PRIu64 " pr:%" PRIu64 ",%" PRIu64 " ocm:%" PRIu64
                     ",%" PRIu64 " po:%" PRIu64 ",%" PRIu64 " meta:%" PRIu64 ",%" PRIu64
                     "  npr=%" PRIu64 " nocm=%" PRIu64 " npo=%" PRIu64 ", nmeta=%" PRIu64 "\n",
                     get_marker_name(choice), counter, pr_cnt, pr_max, ocm_cnt, ocm_max, po_cnt,
                     po_max, meta_cnt, meta_max, npr, nocm, npo, nmeta);
  return 0;
}

int get_last_data_offset(Walk& w, const char* filepath, uint64_t pr_file_offset,
                         uint64_t marker_len) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_last_data_offset\n");
  // Read backwards from the end of the PO info's header and directory: the closing entry's data
  // offset, and the metadata offset of the entry before it (the last object's).
  auto field = [&](uint64_t back) -> uint64_t {
    // A header and directory too short to hold the field read as 0.
    if (marker_len < back) return 0;
    char bytes[ml::kFieldSize] = {};
    read_marker_file(w, sizeof(bytes), pr_file_offset + marker_len - back, filepath, bytes);
    return be64(reinterpret_cast<uint8_t*>(bytes));
  };
  w.counts.last_data_offset = field(ml::kObjectEntrySize - ml::kObjectEntryDataOffset);
  w.counts.last_meta_data_offset = field(2 * ml::kObjectEntrySize - ml::kObjectEntryMetaOffset);
  char bytes[ml::kFieldSize] = {};
  read_marker_file(w, sizeof(bytes), pr_file_offset + ml::kPoInfoObjectCount, filepath, bytes);
  w.counts.num_of_meta = be64(reinterpret_cast<uint8_t*>(bytes));
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :get_last_data_offset\n");
  return 0;
}

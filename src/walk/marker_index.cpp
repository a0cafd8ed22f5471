// Building the marker index from the cached markers.
#include "walk/marker_index.h"

#include <algorithm>
#include <cinttypes>
#include <string>

#include "endian_utils.h"
#include "marker_layout.h"
#include "output_level.h"
#include "vexa_format_checker.h"
#include "walk/cache_file.h"

namespace walk {

namespace ml = marker_layout;

namespace {

uint64_t cut_count(uint64_t announced, uint64_t start, uint64_t entry_size, uint64_t file_size,
                   const std::string& file, const char* what) {
  const uint64_t room = start >= file_size ? 0 : (file_size - start) / entry_size;
  if (announced <= room) return announced;
  output_accdg_to_vl(LV_ERROR, VL_PR,
                     "The %s of the partial reference file(%s) are cut short: %" PRIu64
                     " are listed, %" PRIu64 " are present.\n",
                     what, file.c_str(), announced, room);
  return room;
}

// Objects whose directory entries the file holds behind the PO info at `q`: one 32-byte entry per
// object and a closing one.
uint64_t objects_present(const CacheFile& pr, uint64_t q) {
  const uint64_t least = ml::kPoInfoHeaderSize + ml::kObjectEntrySize;
  if (q > pr.size() || pr.size() - q < least) return 0;
  return (pr.size() - q - ml::kPoInfoHeaderSize) / ml::kObjectEntrySize - 1;
}

// An info of `length` bytes at `start` must hold at least its header and end within `end`, so
// that infos never overlap and their number stays within the bytes of the file. Reports one that
// does not.
bool info_fits(const char* what, uint64_t number, uint64_t start, uint64_t length, uint64_t header,
               uint64_t end, const std::string& file) {
  if (length >= header && start <= end && length <= end - start) return true;
  output_accdg_to_vl(LV_ERROR, VL_PR,
                     "The %s info #%" PRIu64 " of the partial reference file(%s) is %" PRIu64
                     " bytes long, which does not fit between its header size (%" PRIu64
                     ") and the bytes that hold it. It and the infos after it are not read.\n",
                     what, number, file.c_str(), length, header);
  return false;
}

PoEntry read_po_entry(const CacheFile& pr, uint64_t directory, uint64_t m, uint64_t q) {
  PoEntry po;
  po.pos_in_ocm = m;
  po.info_offset = q;
  const uint64_t entry = directory + ml::kLevel32EntrySize * m;
  po.length = pr.u64(entry + ml::kEntryLength);
  po.block_offset = pr.u64(entry + ml::kEntryBlockOffset);
  po.data_offset = pr.u64(q + ml::kPoInfoDataOffset);
  const uint64_t announced = pr.u64(q + ml::kPoInfoObjectCount);
  // The entries must lie in the file and in the info's own length (an info too short for its
  // header is refused by the caller).
  if (po.length < ml::kPoInfoHeaderSize + ml::kObjectEntrySize) return po;
  const uint64_t room = std::min(objects_present(pr, q),
                                 (po.length - ml::kPoInfoHeaderSize) / ml::kObjectEntrySize - 1);
  po.object_count = announced;
  if (announced > room) {
    output_accdg_to_vl(LV_ERROR, VL_PR,
                       "The objects of the partial reference file(%s) are cut short: %" PRIu64
                       " are listed, %" PRIu64 " are present.\n",
                       pr.path().c_str(), announced, room);
    po.object_count = room;
  }
  return po;
}

}  // namespace

void MarkerIndex::clear() {
  prs_.clear();
  ocms_.clear();
  pos_.clear();
  pr_block_offsets_.clear();
  directories_[0] = PoDirectory{};
  directories_[1] = PoDirectory{};
}

void MarkerIndex::build(uint64_t pr_count) {
  clear();
  {
    CacheFile rcm(rcm_cache_file(1));
    for (uint64_t i = 0; i < pr_count; ++i) {
      pr_block_offsets_.push_back(rcm.u64(ml::kRcmHeaderSize + ml::kRcmEntrySize * i));
    }
  }
  uint64_t meta_total = 0;
  for (uint64_t k = 0; k < pr_count; ++k) {
    const CacheFile pr(pr_cache_file(k));
    PrEntry entry;
    entry.data_offset = pr.u64(ml::kPrDataOffset);
    entry.ocm_count =
        cut_count(pr.u64(ml::kPrMarkerCount), ml::kPrHeaderSize, ml::kLevel32EntrySize, pr.size(),
                  pr.path(), "object commit markers");
    entry.first_ocm = ocms_.size();
    uint64_t o = ml::kIdentifierSize + entry.data_offset;
    for (uint64_t j = 0; j < entry.ocm_count; ++j) {
      OcmEntry ocm;
      ocm.pr = k;
      ocm.pos_in_pr = j;
      ocm.info_offset = o;
      const uint64_t directory_entry = ml::kPrHeaderSize + ml::kLevel32EntrySize * j;
      ocm.length = pr.u64(directory_entry + ml::kEntryLength);
      ocm.block_offset = pr.u64(directory_entry + ml::kEntryBlockOffset);
      if (!info_fits("object commit marker", j, o, ocm.length, ml::kOcmInfoHeaderSize, pr.size(),
                     pr.path())) {
        entry.ocm_count = j;
        break;
      }
      const uint64_t ocm_data_offset = pr.u64(o + ml::kOcmInfoDataOffset);
      ocm.po_count =
          pr.holds(o, ml::kOcmInfoHeaderSize)
              ? cut_count(pr.u64(o + ml::kOcmInfoMarkerCount), o + ml::kOcmInfoHeaderSize,
                          ml::kLevel32EntrySize, pr.size(), pr.path(), "packed objects")
              : 0;
      ocm.first_po = pos_.size();
      uint64_t q = o + ocm_data_offset;
      for (uint64_t m = 0; m < ocm.po_count; ++m) {
        PoEntry po = read_po_entry(pr, o + ml::kOcmInfoHeaderSize, m, q);
        if (!info_fits("packed object", m, q, po.length,
                       ml::kPoInfoHeaderSize + ml::kObjectEntrySize, o + ocm.length, pr.path())) {
          ocm.po_count = m;
          break;
        }
        po.ocm = ocms_.size();
        po.first_meta = meta_total;
        meta_total += po.object_count;
        pos_.push_back(po);
        q += po.length;
      }
      ocms_.push_back(ocm);
      o += ocm.length;
    }
    prs_.push_back(entry);
  }
}

uint64_t MarkerIndex::object_count() const {
  return pos_.empty() ? 0 : pos_.back().first_meta + pos_.back().object_count;
}

std::optional<uint64_t> MarkerIndex::pr_block_offset(uint64_t k) const {
  if (k >= pr_block_offsets_.size()) return std::nullopt;
  return pr_block_offsets_[static_cast<size_t>(k)];
}

const PoDirectory& MarkerIndex::po_directory(uint64_t po) {
  for (const PoDirectory& d : directories_) {
    if (d.po == po) return d;
  }
  PoDirectory& d = directories_[next_directory_];
  next_directory_ ^= 1;
  d = PoDirectory{};
  d.po = po;
  const PoEntry& entry = pos_[po];
  const CacheFile& pr = files_->open(pr_cache_file(ocms_[entry.ocm].pr));
  const uint64_t entries = entry.object_count + 1;
  std::vector<uint8_t> raw(static_cast<size_t>(entries * ml::kObjectEntrySize));
  pr.read(entry.info_offset + ml::kPoInfoHeaderSize, raw.data(), raw.size());
  uint64_t position = entry.info_offset + entry.data_offset;
  for (uint64_t r = 0; r < entries; ++r) {
    const uint8_t* directory_entry = raw.data() + ml::kObjectEntrySize * r;
    const uint64_t m = be64(directory_entry + ml::kObjectEntryMetaOffset);
    const uint64_t x = be64(directory_entry + ml::kObjectEntryDataOffset);
    d.meta_offset.push_back(m);
    d.data_offset.push_back(x);
    d.copy_position.push_back(position);
    position += x - m;  // unsigned, as the offsets are read
  }
  return d;
}

uint64_t MarkerIndex::po_of_meta(uint64_t meta) const {
  auto it = std::upper_bound(pos_.begin(), pos_.end(), meta,
                             [](uint64_t value, const PoEntry& e) { return value < e.first_meta; });
  // Packed objects without objects share first_meta with the next one: step back to the one that
  // holds objects.
  size_t index = static_cast<size_t>(it - pos_.begin()) - 1;
  while (pos_[index].object_count == 0 && index > 0) --index;
  return index;
}

}  // namespace walk

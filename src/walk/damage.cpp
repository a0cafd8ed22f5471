// Finding and naming what a damaged block cost.
#include "walk/damage.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "marker_layout.h"
#include "support/printable.h"
#include "support/run_record.h"
#include "vexa_format_checker.h"
#include "walk/cache_file.h"

namespace walk {

namespace ml = marker_layout;

namespace {

constexpr uint64_t kMaxNamedMetadata = 2097152;  // a metadata copy longer than this is not parsed

}  // namespace

std::string ObjectName::text() const {
  return run_record::object_name(bucket, key, version, object_id);
}

ObjectName name_object(MarkerIndex& index, const BucketNames& buckets, uint64_t meta) {
  const uint64_t p = index.po_of_meta(meta);
  const size_t r = static_cast<size_t>(meta - index.pos()[p].first_meta);
  const PoEntry& po = index.pos()[p];
  const CacheFile& pr = index.files().open(pr_cache_file(index.ocms()[po.ocm].pr));
  uint8_t raw_bucket[ml::kUuidSize];
  pr.read(po.info_offset + ml::kPoInfoBucketId, raw_bucket, sizeof(raw_bucket));
  char bucket_id[37];
  uuid_unparse_lower(raw_bucket, bucket_id);
  ObjectName name;
  name.bucket = buckets.name_of(bucket_id).value_or(bucket_id);
  const PoDirectory& dir = index.po_directory(p);
  const uint64_t length = dir.data_offset[r] - dir.meta_offset[r];
  if (length <= kMaxNamedMetadata) {
    std::string text(static_cast<size_t>(length), '\0');
    pr.read(dir.copy_position[r], text.data(), text.size());
    text.resize(std::char_traits<char>::length(text.c_str()));
    uint64_t size = 0;
    if (get_element_from_metadata(text.c_str(), &size, &name.key, &name.object_id, nullptr,
                                  &name.version, nullptr) == 0) {
      name.size = size;
    }
  }
  // The object's data runs from its data offset to the next object's metadata.
  if (dir.meta_offset[r + 1] >= dir.data_offset[r] && dir.data_offset[r] >= dir.meta_offset[r]) {
    name.size = dir.meta_offset[r + 1] - dir.data_offset[r];
  }
  return name;
}

bool DamageMap::any_in(uint64_t first, uint64_t last) const {
  if (beyond_end(last)) return true;
  const auto it = blocks_.lower_bound(first);
  return it != blocks_.end() && *it <= last;
}

std::pair<uint64_t, uint64_t> blocks_of_object(MarkerIndex& index,
                                               const std::vector<PackedObjectPlace>& places,
                                               uint32_t block_size, uint64_t meta) {
  const uint64_t p = index.po_of_meta(meta);
  const PoDirectory& dir = index.po_directory(p);
  const size_t r = static_cast<size_t>(meta - index.pos()[p].first_meta);
  const uint64_t from = ml::kIdentifierSize + dir.meta_offset[r];
  const uint64_t to = ml::kIdentifierSize + std::max(dir.meta_offset[r + 1], dir.meta_offset[r]);
  const uint64_t start = p < places.size() ? places[p].block : 0;
  return {start + from / block_size, start + (to > from ? to - 1 : from) / block_size};
}

std::vector<LostObject> objects_in_block(MarkerIndex& index,
                                         const std::vector<PackedObjectPlace>& places,
                                         const BucketNames& buckets, uint32_t block_size,
                                         uint64_t block) {
  std::vector<LostObject> lost;
  for (uint64_t p = 0; p < places.size() && p < index.pos().size(); ++p) {
    const PackedObjectPlace& place = places[p];
    const uint64_t blocks = (place.length + block_size - 1) / block_size;
    if (block < place.block || block >= place.block + std::max<uint64_t>(blocks, 1)) continue;
    const PoEntry& po = index.pos()[p];
    for (uint64_t r = 0; r < po.object_count; ++r) {
      const auto [first, last] = blocks_of_object(index, places, block_size, po.first_meta + r);
      if (first <= block && block <= last) {
        lost.push_back({po.first_meta + r, name_object(index, buckets, po.first_meta + r).text()});
      }
    }
  }
  return lost;
}

}  // namespace walk

// The index of the data partition's markers, read once from the cached last reference commit
// marker and partial references: the partial references, object commit markers and packed objects
// in tape order, with where each one's info lies in its partial reference file. It makes the walk
// over a tape of many objects cost time in proportion to its size. Counts that the files cannot
// hold are reported and cut to what the files hold.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "walk/cache_file.h"

namespace walk {

struct PrEntry {
  uint64_t data_offset = 0;  // of the partial reference's header
  uint64_t ocm_count = 0;    // object commit markers it lists (cut to the file)
  uint64_t first_ocm = 0;    // index of its first one
};

struct OcmEntry {
  uint64_t pr = 0;           // 0-based partial reference
  uint64_t pos_in_pr = 0;    // 0-based position in the partial reference's directory
  uint64_t info_offset = 0;  // where its info lies in the partial reference file
  uint64_t length = 0;       // info length from the directory
  uint64_t block_offset = 0;
  uint64_t po_count = 0;
  uint64_t first_po = 0;
};

struct PoEntry {
  uint64_t ocm = 0;  // index of its object commit marker
  uint64_t pos_in_ocm = 0;
  uint64_t info_offset = 0;  // where its info lies in the partial reference file
  uint64_t length = 0;       // info length from the directory
  uint64_t block_offset = 0;
  uint64_t data_offset = 0;  // of the PO info header: the length of header and directory
  uint64_t object_count = 0;
  uint64_t first_meta = 0;  // 0-based number of its first object over the tape
};

// The object directory of one packed object, with where each object's metadata copy lies in the
// partial reference file.
struct PoDirectory {
  uint64_t po = UINT64_MAX;
  std::vector<uint64_t> meta_offset;    // of entries 0..n (the closing entry included)
  std::vector<uint64_t> data_offset;    // of entries 0..n
  std::vector<uint64_t> copy_position;  // of object r's metadata in the file
};

class MarkerIndex {
 public:
  // The index reads the cache through `files`, which must outlive it.
  explicit MarkerIndex(CacheFiles& files) : files_(&files) {}
  CacheFiles& files() const { return *files_; }
  // Reads the cached last reference commit marker and the first `pr_count` partial references.
  void build(uint64_t pr_count);
  void clear();

  const std::vector<PrEntry>& prs() const { return prs_; }
  const std::vector<OcmEntry>& ocms() const { return ocms_; }
  const std::vector<PoEntry>& pos() const { return pos_; }
  // Objects over all packed objects.
  uint64_t object_count() const;
  // Block offset of partial reference `k` (0-based) back from the last reference commit marker,
  // when the index holds it.
  std::optional<uint64_t> pr_block_offset(uint64_t k) const;
  // The object directory of packed object `po` (0-based), loaded once for all its objects. The
  // reference stays valid until the directory of a third packed object is loaded.
  const PoDirectory& po_directory(uint64_t po);
  // The packed object (0-based) that holds object `meta` (0-based over the tape).
  uint64_t po_of_meta(uint64_t meta) const;

 private:
  CacheFiles* files_;
  std::vector<PrEntry> prs_;
  std::vector<OcmEntry> ocms_;
  std::vector<PoEntry> pos_;
  std::vector<uint64_t> pr_block_offsets_;
  PoDirectory directories_[2];
  int next_directory_ = 0;
};

}  // namespace walk

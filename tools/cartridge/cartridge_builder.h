// Cartridge builder: lays out a complete Quorrant tape from a description of buckets and objects
// and writes it as a virtual cartridge (two SIMH partition files and "cartridge.json" with the
// cartridge memory). It writes cartridge images only, never a tape.
//
// Quick use:
//
//   vtape::Description d;
//   d.buckets = {{"photos"}, {"logs"}};                       // UUIDs derived from d.seed
//   d.objects.push_back({.bucket = 0, .key = "a/b.jpg", .data = vtape::ObjectData::text("xyz")});
//   d.grouping = {.objects_per_po = 2, .pos_per_ocm = 2, .ocms_per_pr = 1};
//   d.block_size = 4096;
//   vtape::BuildResult r = vtape::build_cartridge(d, dir);    // dir must exist
//   r.layout.objects[0].meta_block;                           // where things went
//
// Tape written (logical object numbers count records and filemarks, from 0 per partition):
//   partition 0: VOL1, FM, format label, FM, first RCM, FM, PR 0, FM, ..., PR n-1, FM, last RCM, FM
//   partition 1: VOL1, FM, format label, FM, first RCM, FM, then per PR: per OCM: its POs (whole
//                blocks of exactly block_size, zero-padded, no filemarks between), FM, OCM, FM;
//                then the PR, FM; finally the last RCM, FM.
// Markers other than POs are written as records of block_size bytes, the last one shorter. Block
// offsets: RCM entry = (data-partition block of the last RCM) - (block of the PR); PR entry =
// PR block - OCM block; OCM entry = OCM block - PO block. Metadata of object r lies at block
// PO block + (M_r + 32) / block_size, offset (M_r + 32) % block_size.
//
// Deviations (one at a time, for the tests of the reader): see `Deviations` below. Markers are
// addressed by MarkerRef {kind, index}; indexes count from 0 over the whole tape in tape order
// (PR k, OCM j, PO m, object r: the same numbering as Layout::prs/ocms/pos/objects).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cartridge/cartridge_format.h"
#include "cartridge/cartridge_writer.h"

namespace vtape {

// ---------------------------------------------------------------------------------------------
// Description

// Where an object's data comes from. Data is streamed block by block while the packed object is
// written; nothing holds a whole object in memory (except `bytes`, which already is there).
class ObjectData {
 public:
  ObjectData() = default;  // empty
  static ObjectData bytes(std::vector<uint8_t> data);
  static ObjectData text(std::string_view data);
  // A file of `size` bytes, read when the cartridge is written. A file whose size is then
  // different makes build_cartridge throw.
  static ObjectData file(std::string path, uint64_t size);
  // `size` bytes of the deterministic pattern of `seed` (fill_pattern), generated on the fly.
  static ObjectData pattern(uint64_t size, uint64_t seed);

  uint64_t size() const { return size_; }
  // The whole data in memory (for tests; reads the file for file data).
  std::vector<uint8_t> read_all() const;

  enum class Kind { bytes, file, pattern };
  Kind kind() const { return kind_; }
  const std::vector<uint8_t>& byte_data() const;
  const std::string& path() const { return path_; }
  uint64_t seed() const { return seed_; }

 private:
  Kind kind_ = Kind::bytes;
  std::shared_ptr<const std::vector<uint8_t>> bytes_;
  std::string path_;
  uint64_t size_ = 0;
  uint64_t seed_ = 0;
};

struct BucketEntry {
  std::string name;
  Uuid uuid{};  // all zero: derived from Description::seed
};

struct ObjectEntry {
  size_t bucket = 0;  // index into Description::buckets
  std::string key;
  ObjectData data;
  std::string last_modified;           // 27-character UTC text; empty: Description::format_time
  std::optional<std::string> version;  // "Version" member when set
  // Further members, placed after "Version": each a key and its value as raw JSON text
  // (for example {"ContentType", "\"text/plain\""} or {"UserMetadata", "{\"a\":\"b\"}"}).
  std::vector<std::pair<std::string, std::string>> members;
  bool vendor_member = true;            // ends the metadata with "VendorHalveronMetadata"
  std::optional<std::string> metadata;  // the whole metadata text instead of the generated one
  Uuid uuid{};  // object ID of the PO directory; zero: derived from the seed
};

// How objects are packed. Consecutive objects of one bucket share a packed object (a new one
// starts when the bucket changes or it is full); packed objects are grouped into object commit
// markers, and those into partial references, in order.
struct Grouping {
  size_t objects_per_po = 1;
  size_t pos_per_ocm = 1;
  size_t ocms_per_pr = 1;
};

// How the format label carries the block size.
enum class BlockSizeMember {
  number,  // "BlockSize":4096
  text,    // "BlockSize":"4096"
  absent,  // no member: the reader takes 1048576 (the layout still uses Description::block_size)
};

struct Description {
  std::vector<BucketEntry> buckets;
  std::vector<ObjectEntry> objects;
  Grouping grouping;
  uint32_t block_size = static_cast<uint32_t>(kDefaultBlockSize);  // 64 to kMaxRecordLength
  BlockSizeMember block_size_member = BlockSizeMember::number;

  std::string volume_id = "QT0001";  // VOL1 volume identifier (blank-padded or cut to 6)
  std::string owner;                 // VOL1 owner identifier (blank-padded or cut to 14)
  std::string barcode;               // 0806h; empty: volume_id followed by "L8"
  std::string personality = "Ultrium-8";
  std::string format_time = "2024-01-01T00:00:00.000000Z";  // format label "FormatTime"

  uint64_t seed = 1;  // every identifier left zero below is derived from it
  Uuid volume_uuid{};
  Uuid system_uuid{};
  Uuid pool_uuid{};
  Uuid pool_group_uuid{};
  std::string pool_group_name = "pool-group";  // "PoolGroupName" of the bucket list; "" omits it
  uint32_t volume_change_reference = 1;        // 0009h and the VCIs

  std::string application_vendor = "Quorrant";                  // 0800h (8 bytes)
  std::string application_name = "Quorrant Cartridge Builder";  // 0801h (32 bytes)
  std::string application_version = "2.0.0";                    // 0802h (8 bytes)
  std::string creator;  // format label "Creator"; empty: application_vendor + " cartridge builder"

  bool first_rcm_has_bucket_list = true;  // the first RCM carries the bucket list too
  // Replacements of generated texts, written as given.
  std::optional<std::string> label_text;        // whole format label
  std::optional<std::string> bucket_list_text;  // data area of both RCMs
};

// ---------------------------------------------------------------------------------------------
// Layout report: what was written where. Block numbers are logical object numbers of the
// partition (records and filemarks counted from 0).

struct Place {
  uint64_t block = 0;    // first record
  uint64_t records = 0;  // number of records (blocks)
  uint64_t length = 0;   // bytes of the marker (for a PO: 32 + last data offset, before padding)
};

struct PartitionLayout {
  Place vol1, label, first_rcm, last_rcm;
  std::vector<Place> prs;
  uint64_t filemarks = 0;
  uint64_t end_of_data = 0;  // logical object number of the end of data
};

struct PrLayout {
  size_t first_ocm = 0, ocm_count = 0;
  uint64_t block_offset = 0;  // entry in the last RCM's directory
  uint64_t length = 0;        // bytes of the PR
};

struct OcmLayout {
  Place place;  // on the data partition
  size_t pr = 0, index_in_pr = 0, first_po = 0, po_count = 0;
  uint64_t block_offset = 0;  // entry in the PR's directory
  uint64_t info_offset = 0;   // first byte of its OCM info inside the PR
  uint64_t info_length = 0;   // = place.length - 32
};

struct PoLayout {
  Place place;  // on the data partition; records = blocks
  size_t ocm = 0, index_in_ocm = 0, first_object = 0, object_count = 0, bucket = 0;
  Uuid pack_id{};
  uint64_t block_offset = 0;      // entry in the OCM's directory
  uint64_t info_offset = 0;       // first byte of its PO info inside the PR
  uint64_t info_length = 0;       // header + directory + all metadata
  uint64_t data_offset = 0;       // header + directory (D_po)
  uint64_t last_data_offset = 0;  // offset of the closing directory entry (L)
};

struct ObjectLayout {
  size_t bucket = 0;
  std::string bucket_name;
  std::string key;
  std::optional<std::string> version;
  std::string last_modified;
  Uuid uuid{};          // object ID in the PO directory
  std::string list_id;  // object identifier of list files and save paths (MD5, 32 hex digits)
  std::string metadata;
  uint64_t data_size = 0;
  uint64_t meta_offset = 0;  // M: from byte 32 of the PO
  uint64_t data_offset = 0;  // X = M + metadata length
  size_t po = 0, ocm = 0, pr = 0;
  uint64_t po_block = 0;           // "block_address" of the list files
  uint64_t meta_block = 0;         // block holding the first metadata byte
  uint64_t meta_block_offset = 0;  // its offset in that block
  uint64_t list_offset = 0;        // "offset" of the list files: M + 32
  uint64_t meta_info_offset = 0;   // first metadata byte inside the PR
};

struct Layout {
  uint32_t block_size = 0;
  PartitionLayout partitions[2];  // 0 reference, 1 data
  std::vector<PrLayout> prs;
  std::vector<OcmLayout> ocms;
  std::vector<PoLayout> pos;
  std::vector<ObjectLayout> objects;
  std::vector<std::string> bucket_names;
  std::vector<Uuid> bucket_ids;
  Uuid volume_uuid{}, system_uuid{}, pool_uuid{}, pool_group_uuid{};
  std::string vol1;
  std::string format_label;
  std::string bucket_list;                // data area of the last RCM
  bool first_rcm_has_bucket_list = true;  // the first RCM's data area is the bucket list too
  std::string barcode;
  uint32_t volume_change_reference = 0;
};

// ---------------------------------------------------------------------------------------------
// Deviations

enum class MarkerKind {
  vol1,       // both partitions
  label,      // both partitions
  first_rcm,  // both partitions
  last_rcm,   // both partitions
  pr,         // both partitions; index k
  ocm,        // data partition, its info also inside its PR; index j
  po,         // data partition, its info also inside its PR; index m; offsets over the whole PO
              // on tape, identifier, data and zero padding included
  meta,       // object r's metadata, offsets from its first byte (within a PO and a PR copy)
};

struct MarkerRef {
  MarkerKind kind = MarkerKind::vol1;
  size_t index = 0;  // ignored for vol1, label, first_rcm, last_rcm
};

// Which copies of a marker a change applies to (bits).
enum Copies : unsigned {
  kReferenceCopy = 1,  // on partition 0; for ocm/po/meta: their bytes inside the PR there
  kDataCopy = 2,       // on partition 1; for ocm/po/meta: the marker itself
  kDataPrCopy = 4,     // ocm/po/meta only: their bytes inside the PR on partition 1
  kBothCopies = kReferenceCopy | kDataCopy,
  kAllCopies = kReferenceCopy | kDataCopy | kDataPrCopy,  // a change consistent everywhere
};

// Replaces bytes of a marker. `offset` counts from the marker's first byte (its identifier) as it
// stands on the data partition; for the copies inside a PR it is mapped to the place of the same
// byte there (OCM byte 32 + x -> OCM info byte x; PO header, directory and metadata likewise).
// A byte that the selected copy does not hold (identifier or object data inside a PR, or beyond
// the marker's end) makes build_cartridge throw.
struct BytePatch {
  MarkerRef marker;
  unsigned copies = kDataCopy;
  uint64_t offset = 0;
  std::vector<uint8_t> bytes;
};

// Sets the length of a marker (zero-filled when it grows), before the byte patches of that
// marker are applied. Kinds vol1, label, first_rcm, last_rcm, pr (kReferenceCopy, kDataCopy) and
// ocm (kDataCopy only). Later positions on that partition move; the layout report does not.
struct MarkerResize {
  MarkerRef marker;
  unsigned copies = kDataCopy;
  uint64_t length = 1;
};

// Adds filemarks or drops the regular one at a place of one partition.
//   side after:  after the marker's records (vol1, label, first_rcm, last_rcm, pr on either
//                partition; ocm on 1). For po (partition 1): add only, right after its blocks.
//   side before: ocm only: the filemark between the OCM's packed objects and the OCM.
struct FilemarkEdit {
  enum class Side { after, before };
  enum class Action { drop, add };
  int partition = 1;
  MarkerRef marker;
  Side side = Side::after;
  Action action = Action::drop;
  int count = 1;  // filemarks added
};

// Marks the record at logical object number `block` of `partition` unreadable (SIMH error flag).
// The number counts objects as actually written (after filemark edits).
struct UnreadableBlock {
  int partition = 1;
  uint64_t block = 0;
};

// Changes one cartridge memory attribute after the builder set them all.
struct AttributeEdit {
  int partition = 0;
  uint16_t id = 0;
  bool drop = false;                          // remove it
  std::optional<std::vector<uint8_t>> value;  // new value (added when missing)
  std::optional<int> format;
  std::optional<bool> read_only;
};

// Patch helpers: a big-endian 64-bit value, or text bytes, at `offset`.
BytePatch u64_patch(MarkerRef marker, unsigned copies, uint64_t offset, uint64_t value);
BytePatch text_patch(MarkerRef marker, unsigned copies, uint64_t offset, std::string_view text);

struct Deviations {
  std::vector<BytePatch> patches;
  std::vector<MarkerResize> resizes;
  std::vector<FilemarkEdit> filemarks;
  std::vector<UnreadableBlock> unreadable;
  std::vector<AttributeEdit> attributes;
  Faults faults;                   // drive faults, written to the manifest
  std::optional<Inquiry> inquiry;  // INQUIRY identity of the virtual drive
};

// ---------------------------------------------------------------------------------------------
// Building

struct BuildResult {
  Layout layout;
  Manifest manifest;  // as written; a test may change it and write it again (write_manifest)
};

// Computes the layout without writing anything. Throws std::invalid_argument for a description
// that cannot be laid out (block size out of range, grouping of 0, bucket index out of range).
Layout plan_cartridge(const Description& description);

// Writes "p0.tap", "p1.tap" and "cartridge.json" into the existing directory `dir` (and nothing
// anywhere else): each is written fresh under a temporary name in `dir` and renamed into place
// when all three are complete, replacing earlier files. Memory stays bounded by a few blocks plus
// what is proportional to the number of objects (their layout and metadata, which the PRs hold).
// Throws std::invalid_argument for a bad description or deviation (also for a deviation that
// matched nothing on the tape, such as an unreadable block that is a filemark) and
// std::runtime_error for I/O failures (an object data file of another size included); on a
// throw nothing is left behind and earlier files under the three names are untouched.
BuildResult build_cartridge(const Description& description, const std::string& dir,
                            const Deviations& deviations = {});

// The cartridge memory of a laid-out tape: per partition 080Ch; on partition 0 0009h (read
// only), 0800h, 0801h, 0802h, 0806h, 0820h and 0821h. (Attribute deviations not applied.)
Manifest make_manifest(const Description& description, const Layout& layout);

// A small sound tape for tests: block size 4096; buckets "photos" and "logs.2024"; 24 objects
// in runs of the two buckets, with sizes 0, 1, 100, block size - 200, block size,
// block size + 1, 3 x block size + 17 and 9000 (pattern data), keys "dir<i % 3>/file-<i>";
// then three versions ("v0", "v1", "v2", an hour apart) of the key "versioned.txt" in
// "logs.2024". Grouping 3 objects per PO, 2 POs per OCM, 2 OCMs per PR (several PRs).
Description sample_description();

// Marker bytes of a laid-out tape (sound, without deviations), for tests.
std::vector<uint8_t> rcm_bytes(const Layout& layout, bool last);
std::vector<uint8_t> pr_bytes(const Layout& layout, size_t pr);
std::vector<uint8_t> ocm_bytes(const Layout& layout, size_t ocm);  // identifier + OCM info
// The PO's identifier, header and object directory (its first 32 + D_po bytes on tape).
std::vector<uint8_t> po_head_bytes(const Layout& layout, size_t po);

// Generated metadata of an object (what the builder writes when ObjectEntry::metadata is unset).
std::string object_metadata(const ObjectEntry& object, const std::string& last_modified,
                            const Uuid& object_uuid);

}  // namespace vtape

// Cartridge builder: layout of a Quorrant tape, marker encoding, deviations, and the streaming
// writer of both partitions.
#include "cartridge/cartridge_builder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <tuple>

#include "support/unique_fd.h"

namespace vtape {

namespace {

uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// Records that a marker of `length` bytes takes (a marker is never empty on tape).
uint64_t records_for(uint64_t length, uint32_t block_size) {
  return std::max<uint64_t>(1, ceil_div(length, block_size));
}

std::invalid_argument bad(const std::string& what) { return std::invalid_argument(what); }

std::string kind_name(MarkerKind kind) {
  switch (kind) {
    case MarkerKind::vol1:
      return "vol1";
    case MarkerKind::label:
      return "label";
    case MarkerKind::first_rcm:
      return "first_rcm";
    case MarkerKind::last_rcm:
      return "last_rcm";
    case MarkerKind::pr:
      return "pr";
    case MarkerKind::ocm:
      return "ocm";
    case MarkerKind::po:
      return "po";
    case MarkerKind::meta:
      return "meta";
  }
  return "unknown";
}

bool indexed(MarkerKind kind) {
  return kind == MarkerKind::pr || kind == MarkerKind::ocm || kind == MarkerKind::po ||
         kind == MarkerKind::meta;
}

std::string make_format_label(const Description& d, const Uuid& volume_uuid) {
  const std::string creator =
      d.creator.empty() ? d.application_vendor + " cartridge builder" : d.creator;
  std::string label =
      "{\"QuorrantLabel\":{\"Version\":\"2.0.0\",\"FormatTime\":" + json_string(d.format_time) +
      ",\"VolumeUuid\":\"" + uuid_text(volume_uuid) + "\",\"Creator\":" + json_string(creator) +
      ",\"Compression\":false";
  switch (d.block_size_member) {
    case BlockSizeMember::number:
      label += ",\"BlockSize\":" + std::to_string(d.block_size);
      break;
    case BlockSizeMember::text:
      label += ",\"BlockSize\":\"" + std::to_string(d.block_size) + "\"";
      break;
    case BlockSizeMember::absent:
      break;
  }
  return label + "}}";
}

std::string make_bucket_list(const Description& d, const std::vector<std::string>& names,
                             const std::vector<Uuid>& ids) {
  if (names.empty() && d.pool_group_name.empty()) return "";
  std::string text = "{";
  if (!d.pool_group_name.empty())
    text += "\"PoolGroupName\":" + json_string(d.pool_group_name) + ",";
  text += "\"BucketList\":[";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ",";
    text +=
        "{\"BucketID\":\"" + uuid_text(ids[i]) + "\",\"BucketName\":" + json_string(names[i]) + "}";
  }
  return text + "]}";
}

Uuid given_or_derived(const Uuid& given, uint64_t seed, UuidDomain domain, uint64_t index) {
  return is_nil(given) ? derived_uuid(seed, domain, index) : given;
}

void append_identifier(std::vector<uint8_t>& out, const char* identifier) {
  append_bytes(out, std::string_view(identifier, kIdentifierSize));
}

// PO header and object directory (D_po bytes, no identifier).
void append_po_head(std::vector<uint8_t>& out, const Layout& layout, size_t m) {
  const PoLayout& po = layout.pos[m];
  append_u64(out, kPoHeaderSize);
  append_u64(out, po.data_offset);
  append_u64(out, po.object_count);
  append_bytes(out, std::span<const uint8_t>(po.pack_id));
  append_bytes(out, std::span<const uint8_t>(layout.bucket_ids[po.bucket]));
  append_bytes(out, std::span<const uint8_t>(layout.system_uuid));
  for (size_t r = po.first_object; r < po.first_object + po.object_count; ++r) {
    const ObjectLayout& o = layout.objects[r];
    append_bytes(out, std::span<const uint8_t>(o.uuid));
    append_u64(out, o.meta_offset);
    append_u64(out, o.data_offset);
  }
  append_bytes(out, std::string(16, '\0'));
  append_u64(out, po.last_data_offset);
  append_u64(out, po.last_data_offset);
}

void append_ocm_info(std::vector<uint8_t>& out, const Layout& layout, size_t j) {
  const OcmLayout& ocm = layout.ocms[j];
  append_u64(out, kInfoHeaderSize);
  append_u64(out, kInfoHeaderSize + kInfoEntrySize * ocm.po_count);
  append_u64(out, ocm.po_count);
  for (size_t m = ocm.first_po; m < ocm.first_po + ocm.po_count; ++m) {
    append_u64(out, layout.pos[m].info_length);
    append_u64(out, layout.pos[m].block_offset);
  }
  for (size_t m = ocm.first_po; m < ocm.first_po + ocm.po_count; ++m) {
    append_po_head(out, layout, m);
    const PoLayout& po = layout.pos[m];
    for (size_t r = po.first_object; r < po.first_object + po.object_count; ++r) {
      append_bytes(out, layout.objects[r].metadata);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Deviations, validated against the layout and put in the form the writer applies.

struct Edit {
  uint64_t offset = 0;
  std::vector<uint8_t> bytes;
};

using MarkerKey = std::tuple<int, MarkerKind, size_t>;  // partition, kind, index
using FilemarkKey = std::tuple<int, MarkerKind, size_t, FilemarkEdit::Side>;

struct FilemarkChange {
  bool drop = false;
  int add = 0;
  bool used = false;
};

struct PreparedDeviations {
  std::map<MarkerKey, std::vector<Edit>> record_edits;  // vol1 ... ocm, marker coordinates
  std::map<MarkerKey, uint64_t> resizes;
  std::map<size_t, std::vector<Edit>> po_edits;  // PO on tape coordinates
  std::map<std::pair<int, size_t>, std::vector<std::pair<uint64_t, uint8_t>>> pr_inner;
  std::map<FilemarkKey, FilemarkChange> filemarks;
  std::map<std::pair<int, uint64_t>, bool> unreadable;
};

size_t marker_count(const Layout& layout, MarkerKind kind) {
  switch (kind) {
    case MarkerKind::pr:
      return layout.prs.size();
    case MarkerKind::ocm:
      return layout.ocms.size();
    case MarkerKind::po:
      return layout.pos.size();
    case MarkerKind::meta:
      return layout.objects.size();
    default:
      return 1;
  }
}

MarkerRef checked(const Layout& layout, MarkerRef ref) {
  if (!indexed(ref.kind)) return MarkerRef{ref.kind, 0};
  if (ref.index >= marker_count(layout, ref.kind)) {
    throw bad("no " + kind_name(ref.kind) + " " + std::to_string(ref.index) + " on this tape");
  }
  return ref;
}

// Place inside the PR of a byte of an OCM, PO or metadata (offset as on the data partition).
std::optional<uint64_t> place_in_pr(const Layout& layout, MarkerRef ref, uint64_t t) {
  switch (ref.kind) {
    case MarkerKind::ocm: {
      const OcmLayout& ocm = layout.ocms[ref.index];
      if (t < kIdentifierSize || t - kIdentifierSize >= ocm.info_length) return std::nullopt;
      return ocm.info_offset + (t - kIdentifierSize);
    }
    case MarkerKind::po: {
      const PoLayout& po = layout.pos[ref.index];
      if (t < kIdentifierSize) return std::nullopt;
      const uint64_t u = t - kIdentifierSize;
      if (u < po.data_offset) return po.info_offset + u;
      const auto first = layout.objects.begin() + static_cast<ptrdiff_t>(po.first_object);
      const auto last = first + static_cast<ptrdiff_t>(po.object_count);
      auto it = std::upper_bound(first, last, u, [](uint64_t value, const ObjectLayout& o) {
        return value < o.meta_offset;
      });
      if (it == first) return std::nullopt;
      --it;
      if (u >= it->data_offset) return std::nullopt;  // object data: not in the PR
      return it->meta_info_offset + (u - it->meta_offset);
    }
    case MarkerKind::meta: {
      const ObjectLayout& o = layout.objects[ref.index];
      if (t >= o.metadata.size()) return std::nullopt;
      return o.meta_info_offset + t;
    }
    default:
      return std::nullopt;
  }
}

// The data partition copy of a patched OCM, PO or metadata: an OCM is written as records, a PO
// or metadata patch lands in the packed object's blocks, which must hold all of it.
void prepare_data_copy(PreparedDeviations& p, const Layout& layout, const BytePatch& patch,
                       MarkerRef ref) {
  if (ref.kind == MarkerKind::ocm) {
    p.record_edits[{1, ref.kind, ref.index}].push_back({patch.offset, patch.bytes});
    return;
  }
  size_t po = ref.index;
  uint64_t offset = patch.offset;
  if (ref.kind == MarkerKind::meta) {
    const ObjectLayout& o = layout.objects[ref.index];
    po = o.po;
    offset = kIdentifierSize + o.meta_offset + patch.offset;
  }
  const uint64_t end = layout.pos[po].place.records * layout.block_size;
  if (offset + patch.bytes.size() > end) {
    throw bad("byte patch of " + kind_name(ref.kind) + " " + std::to_string(ref.index) +
              " reaches beyond the packed object's blocks");
  }
  p.po_edits[po].push_back({offset, patch.bytes});
}

// The copies of a patched OCM, PO or metadata inside its PR on either partition, byte by byte:
// the PR repeats them, so every patched byte must have a place there.
void prepare_pr_copies(PreparedDeviations& p, const Layout& layout, const BytePatch& patch,
                       MarkerRef ref) {
  for (int part = 0; part < 2; ++part) {
    if ((patch.copies & (part == 0 ? kReferenceCopy : kDataPrCopy)) == 0) continue;
    size_t pr = 0;
    if (ref.kind == MarkerKind::ocm) pr = layout.ocms[ref.index].pr;
    if (ref.kind == MarkerKind::po) pr = layout.ocms[layout.pos[ref.index].ocm].pr;
    if (ref.kind == MarkerKind::meta) pr = layout.objects[ref.index].pr;
    auto& list = p.pr_inner[{part, pr}];
    for (size_t i = 0; i < patch.bytes.size(); ++i) {
      const std::optional<uint64_t> at = place_in_pr(layout, ref, patch.offset + i);
      if (!at) {
        throw bad("byte " + std::to_string(patch.offset + i) + " of " + kind_name(ref.kind) + " " +
                  std::to_string(ref.index) + " has no copy inside its PR");
      }
      list.emplace_back(*at, patch.bytes[i]);
    }
  }
}

// One byte patch, checked for the copies it selects and put where each of them is written.
void prepare_patch(PreparedDeviations& p, const Layout& layout, const BytePatch& patch) {
  const MarkerRef ref = checked(layout, patch.marker);
  if (patch.copies == 0 || (patch.copies & ~static_cast<unsigned>(kAllCopies)) != 0) {
    throw bad("byte patch of " + kind_name(ref.kind) + ": no valid copy selected");
  }
  const bool inner =
      ref.kind == MarkerKind::ocm || ref.kind == MarkerKind::po || ref.kind == MarkerKind::meta;
  if (!inner && (patch.copies & kDataPrCopy) != 0) {
    throw bad("byte patch of " + kind_name(ref.kind) + ": it has no copy inside a PR");
  }
  if (!inner) {
    for (int part = 0; part < 2; ++part) {
      if ((patch.copies & (part == 0 ? kReferenceCopy : kDataCopy)) == 0) continue;
      p.record_edits[{part, ref.kind, ref.index}].push_back({patch.offset, patch.bytes});
    }
    return;
  }
  if ((patch.copies & kDataCopy) != 0) prepare_data_copy(p, layout, patch, ref);
  prepare_pr_copies(p, layout, patch, ref);
}

// One resize, checked: only markers written as records change length, an OCM on the data
// partition only.
void prepare_resize(PreparedDeviations& p, const Layout& layout, const MarkerResize& resize) {
  const MarkerRef ref = checked(layout, resize.marker);
  if (ref.kind == MarkerKind::po || ref.kind == MarkerKind::meta) {
    throw bad("packed objects and metadata cannot be resized");
  }
  if (resize.length == 0) throw bad("a marker needs at least one byte");
  if (ref.kind == MarkerKind::ocm && resize.copies != kDataCopy) {
    throw bad("an OCM can be resized on the data partition only");
  }
  if (resize.copies == 0 || (resize.copies & ~static_cast<unsigned>(kBothCopies)) != 0) {
    throw bad("resize of " + kind_name(ref.kind) + ": no valid copy selected");
  }
  for (int part = 0; part < 2; ++part) {
    if ((resize.copies & (part == 0 ? kReferenceCopy : kDataCopy)) == 0) continue;
    p.resizes[{part, ref.kind, ref.index}] = resize.length;
  }
}

// One filemark edit, checked against the filemark places the tape has; edits of one place add up.
void prepare_filemark(PreparedDeviations& p, const Layout& layout, const FilemarkEdit& edit) {
  const MarkerRef ref = checked(layout, edit.marker);
  const std::string where = kind_name(ref.kind) + " " + std::to_string(ref.index);
  if (edit.partition != 0 && edit.partition != 1)
    throw bad("no partition " + std::to_string(edit.partition));
  if (ref.kind == MarkerKind::meta) throw bad("no filemark belongs to metadata");
  if ((ref.kind == MarkerKind::ocm || ref.kind == MarkerKind::po) && edit.partition != 1) {
    throw bad(where + " lies on the data partition only");
  }
  if (edit.side == FilemarkEdit::Side::before && ref.kind != MarkerKind::ocm) {
    throw bad("only an OCM has a filemark before it");
  }
  if (ref.kind == MarkerKind::po && edit.action == FilemarkEdit::Action::drop) {
    throw bad("no filemark of its own follows " + where + " (drop the one before its OCM)");
  }
  if (edit.action == FilemarkEdit::Action::add && edit.count < 1)
    throw bad("add at least one filemark");
  FilemarkChange& change = p.filemarks[{edit.partition, ref.kind, ref.index, edit.side}];
  if (edit.action == FilemarkEdit::Action::drop) change.drop = true;
  if (edit.action == FilemarkEdit::Action::add) change.add += edit.count;
}

PreparedDeviations prepare(const Layout& layout, const Deviations& dev) {
  PreparedDeviations p;
  for (const BytePatch& patch : dev.patches) prepare_patch(p, layout, patch);
  for (const MarkerResize& resize : dev.resizes) prepare_resize(p, layout, resize);
  for (const FilemarkEdit& edit : dev.filemarks) prepare_filemark(p, layout, edit);
  for (const UnreadableBlock& u : dev.unreadable) {
    if (u.partition != 0 && u.partition != 1)
      throw bad("no partition " + std::to_string(u.partition));
    p.unreadable[{u.partition, u.block}] = false;
  }
  return p;
}

void apply_edits(std::vector<uint8_t>& bytes, const std::vector<Edit>& edits,
                 const std::string& what) {
  for (const Edit& e : edits) {
    if (e.offset + e.bytes.size() > bytes.size()) {
      throw bad("byte patch beyond the end of " + what + " (" + std::to_string(bytes.size()) +
                " bytes)");
    }
    std::copy(e.bytes.begin(), e.bytes.end(), bytes.begin() + static_cast<ptrdiff_t>(e.offset));
  }
}

// Resize and byte patches of one copy of a marker written as records.
void apply_record_deviations(std::vector<uint8_t>& bytes, const PreparedDeviations& p,
                             const MarkerKey& key) {
  if (auto it = p.resizes.find(key); it != p.resizes.end()) bytes.resize(it->second, 0);
  if (auto it = p.record_edits.find(key); it != p.record_edits.end()) {
    apply_edits(bytes, it->second,
                kind_name(std::get<1>(key)) + " " + std::to_string(std::get<2>(key)));
  }
}

// ---------------------------------------------------------------------------------------------
// Writing

std::runtime_error io_failure(const std::string& what, const std::string& path) {
  return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

// One partition file, with the filemark and unreadable-block deviations applied as it goes.
class Emitter {
 public:
  Emitter(const std::string& path, int partition, uint32_t block_size, PreparedDeviations& p)
      : writer_(path), partition_(partition), block_size_(block_size), p_(p) {}

  void record(std::span<const uint8_t> data) {
    bool unreadable = false;
    if (!p_.unreadable.empty()) {
      auto it = p_.unreadable.find({partition_, writer_.next_object()});
      if (it != p_.unreadable.end()) {
        unreadable = true;
        it->second = true;
      }
    }
    writer_.record(data, unreadable);
  }

  void records(std::span<const uint8_t> bytes) {
    for (size_t at = 0; at < bytes.size(); at += block_size_) {
      record(bytes.subspan(at, std::min<size_t>(block_size_, bytes.size() - at)));
    }
  }

  // The filemark place after (or before) a marker: the regular filemark unless dropped, then
  // any added ones.
  void filemarks(MarkerRef ref, FilemarkEdit::Side side, bool regular) {
    FilemarkChange none;
    FilemarkChange* change = &none;
    if (!p_.filemarks.empty()) {
      auto it = p_.filemarks.find({partition_, ref.kind, ref.index, side});
      if (it != p_.filemarks.end()) {
        change = &it->second;
        change->used = true;
      }
    }
    if (regular && !change->drop) writer_.filemark();
    for (int i = 0; i < change->add; ++i) writer_.filemark();
  }

  void close() { writer_.close(); }
  int partition() const { return partition_; }

 private:
  PartitionWriter writer_;
  int partition_;
  uint32_t block_size_;
  PreparedDeviations& p_;
};

// Streams one packed object as whole blocks, applying its byte patches block by block.
class PoStream {
 public:
  PoStream(Emitter& out, std::vector<uint8_t>& block, const std::vector<Edit>* edits)
      : out_(out), block_(block), edits_(edits) {}

  void put(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      const size_t n = std::min(block_.size() - fill_, bytes.size());
      std::memcpy(block_.data() + fill_, bytes.data(), n);
      fill_ += n;
      bytes = bytes.subspan(n);
      if (fill_ == block_.size()) flush();
    }
  }

  void put_data(const ObjectData& data) {
    switch (data.kind()) {
      case ObjectData::Kind::bytes:
        put(data.byte_data());
        return;
      case ObjectData::Kind::pattern: {
        uint64_t position = 0;
        while (position < data.size()) {
          const size_t n = static_cast<size_t>(
              std::min<uint64_t>(block_.size() - fill_, data.size() - position));
          fill_pattern(data.seed(), position, std::span<uint8_t>(block_.data() + fill_, n));
          fill_ += n;
          position += n;
          if (fill_ == block_.size()) flush();
        }
        return;
      }
      case ObjectData::Kind::file: {
        std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(data.path().c_str(), "rb"),
                                                   &std::fclose);
        if (!file) throw io_failure("cannot open object data", data.path());
        uint64_t position = 0;
        while (position < data.size()) {
          const size_t n = static_cast<size_t>(
              std::min<uint64_t>(block_.size() - fill_, data.size() - position));
          const size_t got = std::fread(block_.data() + fill_, 1, n, file.get());
          if (got == 0) {
            if (std::ferror(file.get())) throw io_failure("cannot read object data", data.path());
            throw std::runtime_error("object data file became shorter while building: " +
                                     data.path());
          }
          fill_ += got;
          position += got;
          if (fill_ == block_.size()) flush();
        }
        if (std::fgetc(file.get()) != EOF) {
          throw std::runtime_error("object data file became longer while building: " + data.path());
        }
        return;
      }
    }
  }

  // Zero-pads the last block; returns the number of blocks written.
  uint64_t finish() {
    if (fill_ > 0) {
      std::fill(block_.begin() + static_cast<ptrdiff_t>(fill_), block_.end(), 0);
      fill_ = block_.size();
      flush();
    }
    return blocks_;
  }

 private:
  void flush() {
    if (edits_ != nullptr) {
      const uint64_t start = blocks_ * block_.size();
      const uint64_t end = start + block_.size();
      for (const Edit& e : *edits_) {
        const uint64_t from = std::max(start, e.offset);
        const uint64_t to = std::min(end, e.offset + e.bytes.size());
        for (uint64_t at = from; at < to; ++at) block_[at - start] = e.bytes[at - e.offset];
      }
    }
    out_.record(block_);
    ++blocks_;
    fill_ = 0;
  }

  Emitter& out_;
  std::vector<uint8_t>& block_;
  const std::vector<Edit>* edits_;
  size_t fill_ = 0;
  uint64_t blocks_ = 0;
};

std::vector<uint8_t> to_bytes(std::string_view text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> be32_bytes(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

std::vector<uint8_t> two_uuids(const Uuid& a, const Uuid& b) {
  std::vector<uint8_t> value;
  append_bytes(value, std::span<const uint8_t>(a));
  append_bytes(value, std::span<const uint8_t>(b));
  value.resize(36, 0);
  return value;
}

void apply_attribute_edits(Manifest& manifest, const Deviations& deviations) {
  for (const AttributeEdit& edit : deviations.attributes) {
    if (edit.drop) {
      manifest.drop_attribute(edit.partition, edit.id);
      continue;
    }
    Attribute* a = manifest.find_attribute(edit.partition, edit.id);
    if (a == nullptr) {
      manifest.set_attribute(edit.partition, edit.id, edit.format.value_or(0),
                             edit.value.value_or(std::vector<uint8_t>{}));
      a = manifest.find_attribute(edit.partition, edit.id);
    } else if (edit.value) {
      a->value = *edit.value;
    }
    if (edit.format) a->format = *edit.format;
    if (edit.read_only) a->read_only = *edit.read_only;
  }
  manifest.faults = deviations.faults;
  if (deviations.inquiry) manifest.inquiry = deviations.inquiry;
}

// Creates `path`, which must not exist yet, with `text`.
void write_new_file(const std::string& path, const std::string& text) {
  support::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd.valid()) throw io_failure("cannot create", path);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int saved = errno;
      fd.reset();
      errno = saved;
      throw io_failure("cannot write", path);
    }
    done += static_cast<size_t>(n);
  }
  if (fd.close() != 0) throw io_failure("cannot close", path);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Object data

ObjectData ObjectData::bytes(std::vector<uint8_t> data) {
  ObjectData d;
  d.kind_ = Kind::bytes;
  d.size_ = data.size();
  d.bytes_ = std::make_shared<const std::vector<uint8_t>>(std::move(data));
  return d;
}

ObjectData ObjectData::text(std::string_view data) { return bytes(to_bytes(data)); }

ObjectData ObjectData::file(std::string path, uint64_t size) {
  ObjectData d;
  d.kind_ = Kind::file;
  d.path_ = std::move(path);
  d.size_ = size;
  return d;
}

ObjectData ObjectData::pattern(uint64_t size, uint64_t seed) {
  ObjectData d;
  d.kind_ = Kind::pattern;
  d.size_ = size;
  d.seed_ = seed;
  return d;
}

const std::vector<uint8_t>& ObjectData::byte_data() const {
  static const std::vector<uint8_t> kEmpty;
  return bytes_ ? *bytes_ : kEmpty;
}

std::vector<uint8_t> ObjectData::read_all() const {
  switch (kind_) {
    case Kind::bytes:
      return byte_data();
    case Kind::pattern: {
      std::vector<uint8_t> out(size_);
      fill_pattern(seed_, 0, out);
      return out;
    }
    case Kind::file: {
      std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path_.c_str(), "rb"), &std::fclose);
      if (!file) throw io_failure("cannot open object data", path_);
      std::vector<uint8_t> out(size_);
      if (std::fread(out.data(), 1, out.size(), file.get()) != out.size()) {
        throw io_failure("cannot read object data", path_);
      }
      return out;
    }
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// Texts and markers

std::string object_metadata(const ObjectEntry& object, const std::string& last_modified,
                            const Uuid& object_uuid) {
  std::string m = "{\"MetadataVersion\":1,\"Key\":" + json_string(object.key) +
                  ",\"Size\":" + std::to_string(object.data.size()) +
                  ",\"LastModifiedTime\":" + json_string(last_modified);
  if (object.version) m += ",\"Version\":" + json_string(*object.version);
  for (const auto& [key, value] : object.members) {
    m.append(",").append(json_string(key)).append(":").append(value);
  }
  if (object.vendor_member) {
    m += ",\"VendorHalveronMetadata\":{\"ObjectId\":\"" + uuid_text(object_uuid) + "\"}";
  }
  return m + "}";
}

std::vector<uint8_t> rcm_bytes(const Layout& layout, bool last) {
  const size_t n = last ? layout.prs.size() : 0;
  const std::string& list = layout.bucket_list;
  const bool with_list = last || layout.first_rcm_has_bucket_list;
  const uint64_t data_length = with_list ? list.size() : 0;
  std::vector<uint8_t> out;
  out.reserve(kRcmHeaderSize + 8 * n + data_length);
  append_identifier(out, kLevel4Identifier);
  append_u64(out, kRcmDirectoryOffset);
  append_u64(out, kRcmDirectoryOffset + 8 * n);
  append_u64(out, data_length);
  append_u64(out, n);
  append_bytes(out, std::span<const uint8_t>(layout.system_uuid));
  append_bytes(out, std::span<const uint8_t>(layout.pool_uuid));
  append_bytes(out, std::span<const uint8_t>(layout.pool_group_uuid));
  for (size_t k = 0; k < n; ++k) append_u64(out, layout.prs[k].block_offset);
  if (with_list) append_bytes(out, list);
  return out;
}

std::vector<uint8_t> pr_bytes(const Layout& layout, size_t k) {
  const PrLayout& pr = layout.prs.at(k);
  std::vector<uint8_t> out;
  out.reserve(pr.length);
  append_identifier(out, kLevel3Identifier);
  append_u64(out, kInfoHeaderSize);
  append_u64(out, kInfoHeaderSize + kInfoEntrySize * pr.ocm_count);
  append_u64(out, pr.ocm_count);
  for (size_t j = pr.first_ocm; j < pr.first_ocm + pr.ocm_count; ++j) {
    append_u64(out, layout.ocms[j].info_length);
    append_u64(out, layout.ocms[j].block_offset);
  }
  for (size_t j = pr.first_ocm; j < pr.first_ocm + pr.ocm_count; ++j) {
    append_ocm_info(out, layout, j);
  }
  return out;
}

std::vector<uint8_t> ocm_bytes(const Layout& layout, size_t j) {
  std::vector<uint8_t> out;
  out.reserve(layout.ocms.at(j).place.length);
  append_identifier(out, kLevel2Identifier);
  append_ocm_info(out, layout, j);
  return out;
}

std::vector<uint8_t> po_head_bytes(const Layout& layout, size_t m) {
  std::vector<uint8_t> out;
  out.reserve(kIdentifierSize + layout.pos.at(m).data_offset);
  append_identifier(out, kLevel1Identifier);
  append_po_head(out, layout, m);
  return out;
}

BytePatch u64_patch(MarkerRef marker, unsigned copies, uint64_t offset, uint64_t value) {
  BytePatch patch{marker, copies, offset, {}};
  append_u64(patch.bytes, value);
  return patch;
}

BytePatch text_patch(MarkerRef marker, unsigned copies, uint64_t offset, std::string_view text) {
  return BytePatch{marker, copies, offset, to_bytes(text)};
}

Description sample_description() {
  Description d;
  d.block_size = 4096;
  d.buckets = {{"photos", {}}, {"logs.2024", {}}};
  d.grouping = {3, 2, 2};
  const uint64_t bs = d.block_size;
  const uint64_t sizes[] = {0, 1, 100, bs - 200, bs, bs + 1, 3 * bs + 17, 9000};
  for (int i = 0; i < 24; ++i) {
    ObjectEntry o;
    o.bucket = static_cast<size_t>((i / 5) % 2);
    o.key = "dir" + std::to_string(i % 3) + "/file-" + std::to_string(i);
    o.data = ObjectData::pattern(sizes[i % 8], 1000 + static_cast<uint64_t>(i));
    o.last_modified = utc_text(1700000000 + i, 123456);
    d.objects.push_back(std::move(o));
  }
  for (int v = 0; v < 3; ++v) {
    ObjectEntry o;
    o.bucket = 1;
    o.key = "versioned.txt";
    o.data = ObjectData::text("version " + std::to_string(v));
    o.version = "v" + std::to_string(v);
    o.last_modified = utc_text(1710000000 + 3600 * v, 0);
    d.objects.push_back(std::move(o));
  }
  return d;
}

// ---------------------------------------------------------------------------------------------
// Layout

namespace {

// Refuses a description that cannot be laid out, before anything is planned.
void check_description(const Description& d) {
  if (d.block_size < 64 || d.block_size > kMaxRecordLength) {
    throw bad("block size " + std::to_string(d.block_size) + " out of range (64 to " +
              std::to_string(kMaxRecordLength) + ")");
  }
  if (d.grouping.objects_per_po == 0 || d.grouping.pos_per_ocm == 0 ||
      d.grouping.ocms_per_pr == 0) {
    throw bad("every grouping count must be at least 1");
  }
  if (d.label_text && d.label_text->empty()) throw bad("the format label needs at least one byte");
}

// The volume's identifiers and buckets, and the texts of its labels and bucket list.
void plan_volume(Layout& L, const Description& d) {
  L.block_size = d.block_size;
  L.volume_uuid = given_or_derived(d.volume_uuid, d.seed, UuidDomain::volume, 0);
  L.system_uuid = given_or_derived(d.system_uuid, d.seed, UuidDomain::system, 0);
  L.pool_uuid = given_or_derived(d.pool_uuid, d.seed, UuidDomain::pool, 0);
  L.pool_group_uuid = given_or_derived(d.pool_group_uuid, d.seed, UuidDomain::pool_group, 0);
  for (size_t b = 0; b < d.buckets.size(); ++b) {
    L.bucket_names.push_back(d.buckets[b].name);
    L.bucket_ids.push_back(given_or_derived(d.buckets[b].uuid, d.seed, UuidDomain::bucket, b));
  }
  L.vol1 = vol1_label(d.volume_id, d.owner);
  L.format_label = d.label_text ? *d.label_text : make_format_label(d, L.volume_uuid);
  L.bucket_list =
      d.bucket_list_text ? *d.bucket_list_text : make_bucket_list(d, L.bucket_names, L.bucket_ids);
  L.first_rcm_has_bucket_list = d.first_rcm_has_bucket_list;
  L.barcode = d.barcode.empty() ? d.volume_id + tape_generation(d.personality) : d.barcode;
  L.volume_change_reference = d.volume_change_reference;
}

// Objects and their metadata; each must name one of the buckets.
void plan_objects(Layout& L, const Description& d) {
  L.objects.resize(d.objects.size());
  for (size_t r = 0; r < d.objects.size(); ++r) {
    const ObjectEntry& entry = d.objects[r];
    if (entry.bucket >= d.buckets.size()) {
      throw bad("object " + std::to_string(r) + " names bucket " + std::to_string(entry.bucket) +
                " of " + std::to_string(d.buckets.size()));
    }
    ObjectLayout& o = L.objects[r];
    o.bucket = entry.bucket;
    o.bucket_name = d.buckets[entry.bucket].name;
    o.key = entry.key;
    o.version = entry.version;
    o.last_modified = entry.last_modified.empty() ? d.format_time : entry.last_modified;
    o.uuid = given_or_derived(entry.uuid, d.seed, UuidDomain::object, r);
    o.metadata = entry.metadata ? *entry.metadata : object_metadata(entry, o.last_modified, o.uuid);
    o.list_id = list_object_id(o.metadata);
    o.data_size = entry.data.size();
  }
}

// Packed objects: consecutive objects of one bucket, at most objects_per_po each; after the
// header and directory come the metadata and data of each object in turn.
void plan_packed_objects(Layout& L, const Description& d) {
  const uint32_t bs = L.block_size;
  for (size_t r = 0; r < L.objects.size(); ++r) {
    ObjectLayout& o = L.objects[r];
    if (L.pos.empty() || L.pos.back().bucket != o.bucket ||
        L.pos.back().object_count == d.grouping.objects_per_po) {
      PoLayout po;
      po.first_object = r;
      po.bucket = o.bucket;
      L.pos.push_back(po);
    }
    ++L.pos.back().object_count;
    o.po = L.pos.size() - 1;
  }
  for (size_t m = 0; m < L.pos.size(); ++m) {
    PoLayout& po = L.pos[m];
    po.pack_id = derived_uuid(d.seed, UuidDomain::pack, m);
    po.data_offset = kPoHeaderSize + kPoEntrySize * (po.object_count + 1);
    uint64_t cursor = po.data_offset;
    uint64_t metadata_total = 0;
    for (size_t r = po.first_object; r < po.first_object + po.object_count; ++r) {
      ObjectLayout& o = L.objects[r];
      o.meta_offset = cursor;
      o.data_offset = cursor + o.metadata.size();
      cursor = o.data_offset + o.data_size;
      metadata_total += o.metadata.size();
    }
    po.last_data_offset = cursor;
    po.info_length = po.data_offset + metadata_total;
    po.place.length = kIdentifierSize + cursor;
    po.place.records = records_for(po.place.length, bs);
  }
}

// Object commit markers and partial references: packed objects grouped pos_per_ocm to an OCM,
// OCMs ocms_per_pr to a PR, and each OCM as long as the infos of its packed objects make it.
void plan_commit_markers(Layout& L, const Description& d) {
  const uint32_t bs = L.block_size;
  for (size_t m = 0; m < L.pos.size(); ++m) {
    if (L.ocms.empty() || L.ocms.back().po_count == d.grouping.pos_per_ocm) {
      OcmLayout ocm;
      ocm.first_po = m;
      L.ocms.push_back(ocm);
    }
    OcmLayout& ocm = L.ocms.back();
    L.pos[m].ocm = L.ocms.size() - 1;
    L.pos[m].index_in_ocm = ocm.po_count++;
  }
  for (size_t j = 0; j < L.ocms.size(); ++j) {
    OcmLayout& ocm = L.ocms[j];
    ocm.info_length = kInfoHeaderSize + kInfoEntrySize * ocm.po_count;
    for (size_t m = ocm.first_po; m < ocm.first_po + ocm.po_count; ++m) {
      ocm.info_length += L.pos[m].info_length;
    }
    ocm.place.length = kIdentifierSize + ocm.info_length;
    ocm.place.records = records_for(ocm.place.length, bs);
    if (L.prs.empty() || L.prs.back().ocm_count == d.grouping.ocms_per_pr) {
      PrLayout pr;
      pr.first_ocm = j;
      L.prs.push_back(pr);
    }
    ocm.pr = L.prs.size() - 1;
    ocm.index_in_pr = L.prs.back().ocm_count++;
  }
}

// Where each OCM info, PO info and metadata lies inside its PR (the PR repeats them all in tape
// order after its directory), and so the length of each PR.
void plan_pr_contents(Layout& L) {
  for (PrLayout& pr : L.prs) {
    uint64_t cursor = kPrHeaderSize + kInfoEntrySize * pr.ocm_count;
    for (size_t j = pr.first_ocm; j < pr.first_ocm + pr.ocm_count; ++j) {
      OcmLayout& ocm = L.ocms[j];
      ocm.info_offset = cursor;
      uint64_t po_cursor = cursor + kInfoHeaderSize + kInfoEntrySize * ocm.po_count;
      for (size_t m = ocm.first_po; m < ocm.first_po + ocm.po_count; ++m) {
        PoLayout& po = L.pos[m];
        po.info_offset = po_cursor;
        uint64_t meta_cursor = po_cursor + po.data_offset;
        for (size_t r = po.first_object; r < po.first_object + po.object_count; ++r) {
          L.objects[r].meta_info_offset = meta_cursor;
          meta_cursor += L.objects[r].metadata.size();
        }
        po_cursor += po.info_length;
      }
      cursor += ocm.info_length;
    }
    pr.length = cursor;
  }
}

// Positions on both partitions: every marker in tape order with the filemark after it, the
// packed objects and OCMs before their PR on the data partition only.
void plan_positions(Layout& L, const Description& d) {
  const uint32_t bs = L.block_size;
  const uint64_t first_rcm_length =
      kRcmHeaderSize + (d.first_rcm_has_bucket_list ? L.bucket_list.size() : 0);
  const uint64_t last_rcm_length = kRcmHeaderSize + 8 * L.prs.size() + L.bucket_list.size();
  for (int p = 0; p < 2; ++p) {
    PartitionLayout& part = L.partitions[p];
    uint64_t at = 0;
    auto put = [&](Place& place, uint64_t length) {
      place.block = at;
      place.length = length;
      place.records = records_for(length, bs);
      at += place.records + 1;
      ++part.filemarks;
    };
    put(part.vol1, kVol1Size);
    put(part.label, L.format_label.size());
    put(part.first_rcm, first_rcm_length);
    part.prs.resize(L.prs.size());
    for (size_t k = 0; k < L.prs.size(); ++k) {
      const PrLayout& pr = L.prs[k];
      if (p == 1) {
        for (size_t j = pr.first_ocm; j < pr.first_ocm + pr.ocm_count; ++j) {
          OcmLayout& ocm = L.ocms[j];
          for (size_t m = ocm.first_po; m < ocm.first_po + ocm.po_count; ++m) {
            L.pos[m].place.block = at;
            at += L.pos[m].place.records;
          }
          ++at;  // filemark between the packed objects and the OCM
          ++part.filemarks;
          ocm.place.block = at;
          at += ocm.place.records + 1;
          ++part.filemarks;
        }
      }
      put(part.prs[k], pr.length);
    }
    put(part.last_rcm, last_rcm_length);
    part.end_of_data = at;
  }
}

// Block offsets: how far back each marker lies from the one whose directory lists it; and where
// each object's metadata lies, as the list files give it.
void plan_block_offsets(Layout& L) {
  const uint32_t bs = L.block_size;
  const PartitionLayout& data = L.partitions[1];
  for (size_t k = 0; k < L.prs.size(); ++k) {
    L.prs[k].block_offset = data.last_rcm.block - data.prs[k].block;
  }
  for (OcmLayout& ocm : L.ocms) ocm.block_offset = data.prs[ocm.pr].block - ocm.place.block;
  for (PoLayout& po : L.pos) po.block_offset = L.ocms[po.ocm].place.block - po.place.block;
  for (ObjectLayout& o : L.objects) {
    const PoLayout& po = L.pos[o.po];
    o.ocm = po.ocm;
    o.pr = L.ocms[po.ocm].pr;
    o.po_block = po.place.block;
    o.list_offset = o.meta_offset + kIdentifierSize;
    o.meta_block = o.po_block + o.list_offset / bs;
    o.meta_block_offset = o.list_offset % bs;
  }
}

}  // namespace

Layout plan_cartridge(const Description& d) {
  check_description(d);
  Layout L;
  plan_volume(L, d);
  plan_objects(L, d);
  plan_packed_objects(L, d);
  plan_commit_markers(L, d);
  plan_pr_contents(L);
  plan_positions(L, d);
  plan_block_offsets(L);
  return L;
}

// ---------------------------------------------------------------------------------------------
// Cartridge memory

Manifest make_manifest(const Description& d, const Layout& layout) {
  Manifest m;
  m.volume_personality = d.personality;
  m.set_attribute(0, 0x0009, 0, be32_bytes(layout.volume_change_reference));
  m.find_attribute(0, 0x0009)->read_only = true;
  m.set_attribute_text(0, 0x0800, d.application_vendor, 8);
  m.set_attribute_text(0, 0x0801, d.application_name, 32);
  m.set_attribute_text(0, 0x0802, d.application_version, 8);
  m.set_attribute_text(0, 0x0806, layout.barcode, 32);
  for (int p = 0; p < 2; ++p) {
    m.set_attribute(p, 0x080C, 0,
                    vci_value(layout.volume_change_reference, layout.prs.size(),
                              layout.partitions[p].last_rcm.block, layout.volume_uuid));
    if (p == 0) {
      m.set_attribute(0, 0x0820, 0, two_uuids(layout.system_uuid, layout.volume_uuid));
      m.set_attribute(0, 0x0821, 0, two_uuids(layout.pool_uuid, layout.pool_group_uuid));
    }
  }
  return m;
}

// ---------------------------------------------------------------------------------------------
// Building

namespace {

// Packed object m on the data partition: its header and directory, then the metadata and data of
// each object, streamed as whole blocks with its byte patches; then the filemarks added after it.
void write_po(Emitter& e1, std::vector<uint8_t>& block, const Description& d, const Layout& L,
              const PreparedDeviations& p, size_t m) {
  const PoLayout& po = L.pos[m];
  auto edits = p.po_edits.find(m);
  PoStream stream(e1, block, edits == p.po_edits.end() ? nullptr : &edits->second);
  stream.put(po_head_bytes(L, m));
  for (size_t r = po.first_object; r < po.first_object + po.object_count; ++r) {
    const std::string& meta = L.objects[r].metadata;
    stream.put(std::span(reinterpret_cast<const uint8_t*>(meta.data()), meta.size()));
    stream.put_data(d.objects[r].data);
  }
  if (stream.finish() != po.place.records) {
    throw std::logic_error("packed object " + std::to_string(m) + " took other blocks");
  }
  e1.filemarks({MarkerKind::po, m}, FilemarkEdit::Side::after, false);
}

// OCM j on the data partition: its packed objects, the filemark between them and the OCM, the
// OCM's records and the filemark after them.
void write_ocm(Emitter& e1, std::vector<uint8_t>& block, const Description& d, const Layout& L,
               const PreparedDeviations& p, size_t j) {
  const OcmLayout& ocm = L.ocms[j];
  for (size_t m = ocm.first_po; m < ocm.first_po + ocm.po_count; ++m) {
    write_po(e1, block, d, L, p, m);
  }
  e1.filemarks({MarkerKind::ocm, j}, FilemarkEdit::Side::before, true);
  std::vector<uint8_t> bytes = ocm_bytes(L, j);
  apply_record_deviations(bytes, p, {1, MarkerKind::ocm, j});
  e1.records(bytes);
  e1.filemarks({MarkerKind::ocm, j}, FilemarkEdit::Side::after, true);
}

// PR k on the data partition, then on the reference partition: each copy with the patches of
// the markers it repeats, then its own resize and patches.
void write_pr(Emitter& e0, Emitter& e1, const Layout& L, const PreparedDeviations& p, size_t k) {
  const std::vector<uint8_t> sound = pr_bytes(L, k);
  for (Emitter* e : {&e1, &e0}) {
    std::vector<uint8_t> copy = sound;
    if (auto it = p.pr_inner.find({e->partition(), k}); it != p.pr_inner.end()) {
      for (const auto& [at, byte] : it->second) copy[at] = byte;
    }
    apply_record_deviations(copy, p, {e->partition(), MarkerKind::pr, k});
    e->records(copy);
    e->filemarks({MarkerKind::pr, k}, FilemarkEdit::Side::after, true);
  }
}

// Both partition files, marker by marker in tape order, with the deviations applied as they go.
void write_partitions(const Description& d, const Layout& L, PreparedDeviations& p,
                      const std::string& path0, const std::string& path1) {
  Emitter e0(path0, 0, L.block_size, p);
  Emitter e1(path1, 1, L.block_size, p);
  Emitter* emitters[2] = {&e0, &e1};

  auto on_both = [&](MarkerKind kind, const std::vector<uint8_t>& bytes) {
    for (Emitter* e : emitters) {
      std::vector<uint8_t> copy = bytes;
      apply_record_deviations(copy, p, {e->partition(), kind, 0});
      e->records(copy);
      e->filemarks({kind, 0}, FilemarkEdit::Side::after, true);
    }
  };
  on_both(MarkerKind::vol1, to_bytes(L.vol1));
  on_both(MarkerKind::label, to_bytes(L.format_label));
  on_both(MarkerKind::first_rcm, rcm_bytes(L, false));

  std::vector<uint8_t> block(L.block_size);
  for (size_t k = 0; k < L.prs.size(); ++k) {
    const PrLayout& pr = L.prs[k];
    for (size_t j = pr.first_ocm; j < pr.first_ocm + pr.ocm_count; ++j) {
      write_ocm(e1, block, d, L, p, j);
    }
    write_pr(e0, e1, L, p, k);
  }
  on_both(MarkerKind::last_rcm, rcm_bytes(L, true));
  e0.close();
  e1.close();
}

// Every filemark edit and unreadable block must have found its place on the tape as written:
// one that matched nothing would leave the tape sound where a fault was asked for.
void check_deviations_used(const PreparedDeviations& p) {
  for (const auto& [key, change] : p.filemarks) {
    if (!change.used) throw bad("a filemark edit matched no place on the tape");
  }
  for (const auto& [where, used] : p.unreadable) {
    if (!used) {
      throw bad("no record at block " + std::to_string(where.second) + " of partition " +
                std::to_string(where.first));
    }
  }
}

}  // namespace

BuildResult build_cartridge(const Description& d, const std::string& dir,
                            const Deviations& deviations) {
  namespace fs = std::filesystem;
  Layout L = plan_cartridge(d);
  PreparedDeviations p = prepare(L, deviations);
  const std::string names[3] = {"p0.tap", "p1.tap", "cartridge.json"};
  const std::string temps[3] = {dir + "/.p0.tap.part", dir + "/.p1.tap.part",
                                dir + "/.cartridge.json.part"};
  Manifest manifest = make_manifest(d, L);
  apply_attribute_edits(manifest, deviations);
  try {
    // Fresh files under temporary names, renamed into place when complete: a stale name (or a
    // link planted under it) never redirects the output.
    for (const std::string& t : temps) fs::remove(t);
    write_partitions(d, L, p, temps[0], temps[1]);
    check_deviations_used(p);
    write_new_file(temps[2], to_json(manifest));
    for (int i = 0; i < 3; ++i) fs::rename(temps[i], dir + "/" + names[i]);
  } catch (...) {
    std::error_code ec;
    for (const std::string& t : temps) fs::remove(t, ec);
    throw;
  }
  return BuildResult{std::move(L), std::move(manifest)};
}

}  // namespace vtape

// Test-only reader of virtual cartridges and cache-free walk of a Quorrant tape.
#include "common/simh_image.h"

#include <json-c/json.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

#include "vdrive/manifest.h"

namespace simh {

namespace {

constexpr char kLevel[5][33] = {
    "", "Quorrant 1.0 Level1             ", "Quorrant 1.0 Level2             ",
    "Quorrant 1.0 Level3             ", "Quorrant 1.0 Level4             "};

uint32_t le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

// Bounds-checked big-endian reads over a byte vector.
struct Bytes {
  const std::vector<uint8_t>& b;
  bool has(uint64_t at, uint64_t n) const { return at <= b.size() && n <= b.size() - at; }
  std::optional<uint64_t> u64(uint64_t at) const {
    if (!has(at, 8)) return std::nullopt;
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | b[at + i];
    return v;
  }
  std::string uuid(uint64_t at) const {
    if (!has(at, 16)) return "";
    char text[37];
    uuid_unparse_lower(b.data() + at, text);
    return text;
  }
  std::string text(uint64_t at, uint64_t n) const {
    if (!has(at, n)) return "";
    return std::string(b.begin() + static_cast<ptrdiff_t>(at),
                       b.begin() + static_cast<ptrdiff_t>(at + n));
  }
};

bool starts_with_level(const std::vector<uint8_t>& bytes, int level) {
  return bytes.size() >= 32 && std::memcmp(bytes.data(), kLevel[level], 32) == 0;
}

std::string readable(const std::vector<uint8_t>& value) {
  return std::string(value.begin(), value.end());
}

vdrive::Manifest read_manifest(const std::string& dir) {
  std::ifstream in(dir + "/cartridge.json", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string error;
  std::optional<vdrive::Manifest> m = vdrive::parse_manifest(text, &error);
  if (!m) throw std::runtime_error("cartridge.json " + error);
  return std::move(*m);
}

// Reads `n` bytes at byte `at` of the packed object that starts at `block`: the object spans
// whole records of exactly block_size bytes.
bool po_read(const Partition& part, uint64_t block, uint32_t bs, uint64_t at, uint64_t n,
             std::vector<uint8_t>& out, std::string& fault) {
  out.clear();
  out.reserve(n);
  while (n > 0) {
    const uint64_t b = block + at / bs;
    const uint64_t off = at % bs;
    if (b >= part.size() || part[b].filemark) {
      fault = "no record at block " + std::to_string(b);
      return false;
    }
    if (part[b].unreadable) {
      fault = "unreadable block " + std::to_string(b);
      return false;
    }
    if (part[b].data.size() != bs) {
      fault = "block " + std::to_string(b) + " holds " + std::to_string(part[b].data.size()) +
              " bytes, not the block size";
      return false;
    }
    const uint64_t take = std::min<uint64_t>(n, bs - off);
    out.insert(out.end(), part[b].data.begin() + static_cast<ptrdiff_t>(off),
               part[b].data.begin() + static_cast<ptrdiff_t>(off + take));
    at += take;
    n -= take;
  }
  return true;
}

uint32_t label_block_size(const std::vector<uint8_t>& label) {
  const std::string text(label.begin(), label.end());
  json_object* root = json_tokener_parse(text.c_str());
  uint32_t bs = 1048576;
  json_object *inner = nullptr, *value = nullptr;
  if (root != nullptr && json_object_object_get_ex(root, "QuorrantLabel", &inner) &&
      json_object_object_get_ex(inner, "BlockSize", &value)) {
    const long long v = std::atoll(json_object_get_string(value));
    if (v >= 64) bs = static_cast<uint32_t>(v);
  }
  json_object_put(root);
  return bs;
}

std::map<std::string, std::string> bucket_names(const std::string& list) {
  std::map<std::string, std::string> names;
  json_object* root = json_tokener_parse(list.c_str());
  json_object* buckets = nullptr;
  if (root != nullptr && json_object_object_get_ex(root, "BucketList", &buckets) &&
      json_object_is_type(buckets, json_type_array)) {
    for (size_t i = 0; i < json_object_array_length(buckets); ++i) {
      json_object* e = json_object_array_get_idx(buckets, i);
      json_object *id = nullptr, *name = nullptr;
      if (json_object_object_get_ex(e, "BucketID", &id) &&
          json_object_object_get_ex(e, "BucketName", &name)) {
        names[json_object_get_string(id)] = json_object_get_string(name);
      }
    }
  }
  json_object_put(root);
  return names;
}

// Key and Size of a metadata text; false when it does not parse.
bool metadata_fields(const std::string& meta, std::string& key, int64_t& size) {
  json_object* root = json_tokener_parse(meta.c_str());
  if (root == nullptr) return false;
  json_object *k = nullptr, *s = nullptr;
  const bool ok =
      json_object_object_get_ex(root, "Key", &k) && json_object_object_get_ex(root, "Size", &s);
  if (ok) {
    key = json_object_get_string(k);
    size = json_object_get_int64(s);
  }
  json_object_put(root);
  return ok;
}

}  // namespace

Partition read_partition(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  const std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Partition part;
  size_t at = 0;
  while (at < s.size()) {
    if (s.size() - at < 4) throw std::runtime_error(path + ": partial length word");
    const uint32_t word = le32(s, at);
    at += 4;
    if (word == 0xFFFFFFFFu) break;
    if (word == 0) {
      part.push_back(TapeObject{true, false, {}});
      continue;
    }
    if ((word & 0x7F000000u) != 0) throw std::runtime_error(path + ": bad length word");
    const uint32_t n = word & 0x00FFFFFFu;
    const size_t padded = n + (n % 2);
    if (s.size() - at < padded + 4) throw std::runtime_error(path + ": file ends inside a record");
    TapeObject rec;
    rec.unreadable = (word & 0x80000000u) != 0;
    rec.data.assign(s.begin() + static_cast<ptrdiff_t>(at),
                    s.begin() + static_cast<ptrdiff_t>(at + n));
    at += padded;
    if (le32(s, at) != word) throw std::runtime_error(path + ": lengths disagree");
    at += 4;
    part.push_back(std::move(rec));
  }
  return part;
}

MarkerRead read_marker(const Partition& partition, uint64_t block) {
  MarkerRead m;
  for (uint64_t b = block; b < partition.size(); ++b) {
    if (partition[b].filemark) {
      m.filemark = true;
      break;
    }
    m.unreadable |= partition[b].unreadable;
    m.bytes.insert(m.bytes.end(), partition[b].data.begin(), partition[b].data.end());
    ++m.records;
  }
  return m;
}

uint64_t filemark_count(const Partition& partition) {
  return static_cast<uint64_t>(std::count_if(partition.begin(), partition.end(),
                                             [](const TapeObject& o) { return o.filemark; }));
}

std::optional<uint64_t> last_rcm_block(const Partition& partition) {
  int crossed = 0;
  for (uint64_t b = partition.size(); b > 0; --b) {
    if (partition[b - 1].filemark && ++crossed == 2) return b;  // just past that filemark
  }
  return std::nullopt;
}

Walk walk_cartridge(const std::string& dir) {
  Walk w;
  auto problem = [&](const std::string& text) { w.problems.push_back(text); };
  const vdrive::Manifest manifest = read_manifest(dir);
  if (manifest.partitions.size() != 2) {
    problem("manifest names " + std::to_string(manifest.partitions.size()) + " partitions");
    return w;
  }
  const Partition p[2] = {read_partition(dir + "/" + manifest.partitions[0]),
                          read_partition(dir + "/" + manifest.partitions[1])};

  // Reference partition: its markers one after another, each closed by a filemark.
  std::vector<MarkerRead> ref;
  std::vector<uint64_t> ref_blocks;
  for (uint64_t b = 0; b < p[0].size();) {
    MarkerRead m = read_marker(p[0], b);
    if (!m.filemark) {
      if (m.records > 0) problem("reference partition: records after the last filemark");
      break;
    }
    ref_blocks.push_back(b);
    b += m.records + 1;
    ref.push_back(std::move(m));
  }
  if (ref.size() < 4) {
    problem("reference partition holds " + std::to_string(ref.size()) + " markers");
    return w;
  }
  for (const MarkerRead& m : ref) {
    if (m.unreadable) problem("reference partition: unreadable record");
  }
  if (ref[0].bytes.size() != 80 || Bytes{ref[0].bytes}.text(0, 4) != "VOL1") {
    problem("reference partition: no VOL1 label first");
  }
  w.block_size = label_block_size(ref[1].bytes);
  const uint32_t bs = w.block_size;

  // The last RCM of both partitions, found from their ends.
  for (int i = 0; i < 2; ++i) {
    const std::optional<uint64_t> at = last_rcm_block(p[i]);
    if (!at) {
      problem("partition " + std::to_string(i) + ": no last RCM");
      return w;
    }
    w.last_rcm[i] = *at;
    w.filemarks[i] = filemark_count(p[i]);
  }
  if (w.last_rcm[0] != ref_blocks.back()) problem("reference partition: last RCM not at its end");
  const MarkerRead rcm = read_marker(p[0], w.last_rcm[0]);
  const MarkerRead rcm_data = read_marker(p[1], w.last_rcm[1]);
  if (!starts_with_level(rcm.bytes, 4)) problem("reference partition: last RCM identifier");
  if (rcm.bytes != rcm_data.bytes) problem("last RCM differs between the partitions");
  const Bytes rb{rcm_data.bytes};
  const uint64_t pr_count = rb.u64(56).value_or(0);
  const uint64_t data_offset = rb.u64(40).value_or(0);
  const uint64_t data_length = rb.u64(48).value_or(0);
  if (!rb.has(32 + data_offset, data_length)) {
    problem("last RCM: bucket list outside the marker");
  } else {
    w.bucket_list = rb.text(32 + data_offset, data_length);
  }
  if (!rb.has(112, 8 * pr_count)) {
    problem("last RCM: directory outside the marker");
    return w;
  }
  const std::map<std::string, std::string> names = bucket_names(w.bucket_list);
  if (ref.size() != pr_count + 4) {
    problem("reference partition holds " + std::to_string(ref.size()) + " markers for " +
            std::to_string(pr_count) + " partial references");
  }

  // Labels and the first RCM on the data partition, in order, each closed by a filemark.
  uint64_t b = 0;
  for (int i = 0; i < 3; ++i) {
    const MarkerRead m = read_marker(p[1], b);
    if (!m.filemark || m.bytes != ref[i].bytes) {
      problem("data partition: marker " + std::to_string(i) + " differs from the reference copy");
    }
    b += m.records + 1;
  }

  uint64_t ocm_total = 0;
  uint64_t next_expected = b;  // where the next packed object or OCM group must begin
  for (uint64_t k = 0; k < pr_count; ++k) {
    const uint64_t pr_block = w.last_rcm[1] - *rb.u64(112 + 8 * k);
    w.pr_blocks.push_back(pr_block);
    const std::string where = "PR " + std::to_string(k);
    if (pr_block == 0 || pr_block > p[1].size() || !p[1][pr_block - 1].filemark) {
      problem(where + ": no filemark before block " + std::to_string(pr_block));
      continue;
    }
    const MarkerRead pr = read_marker(p[1], pr_block);
    if (!pr.filemark) problem(where + ": no filemark after it");
    if (pr.unreadable) problem(where + ": unreadable record");
    if (k + 4 <= ref.size() && pr.bytes != ref[3 + k].bytes) {
      problem(where + ": differs from the reference copy");
    }
    if (!starts_with_level(pr.bytes, 3)) problem(where + ": identifier");
    const Bytes prb{pr.bytes};
    const uint64_t d_pr = prb.u64(40).value_or(0);
    const uint64_t n_ocm = prb.u64(48).value_or(0);
    if (!prb.has(56, 16 * n_ocm)) {
      problem(where + ": directory outside the marker");
      continue;
    }
    uint64_t o = 32 + d_pr;
    for (uint64_t j = 0; j < n_ocm; ++j, ++ocm_total) {
      const uint64_t ocm_len = *prb.u64(56 + 16 * j);
      const uint64_t ocm_block = pr_block - *prb.u64(56 + 16 * j + 8);
      w.ocm_blocks.push_back(ocm_block);
      const std::string ow = where + " OCM " + std::to_string(j);
      if (!prb.has(o, ocm_len)) {
        problem(ow + ": info outside the PR");
        break;
      }
      if (ocm_block == 0 || ocm_block > p[1].size() || !p[1][ocm_block - 1].filemark) {
        problem(ow + ": no filemark before block " + std::to_string(ocm_block));
      }
      const MarkerRead ocm = ocm_block < p[1].size() ? read_marker(p[1], ocm_block) : MarkerRead{};
      if (!starts_with_level(ocm.bytes, 2)) problem(ow + ": identifier");
      if (!ocm.filemark) problem(ow + ": no filemark after it");
      if (ocm.unreadable) problem(ow + ": unreadable record");
      if (ocm.bytes.size() != 32 + ocm_len ||
          !std::equal(pr.bytes.begin() + static_cast<ptrdiff_t>(o),
                      pr.bytes.begin() + static_cast<ptrdiff_t>(o + ocm_len),
                      ocm.bytes.begin() + std::min<ptrdiff_t>(32, ocm.bytes.size()))) {
        problem(ow + ": differs from its info in the PR");
      }
      const uint64_t d_ocm = prb.u64(o + 8).value_or(0);
      const uint64_t n_po = prb.u64(o + 16).value_or(0);
      if (!prb.has(o + 24, 16 * n_po)) {
        problem(ow + ": directory outside the info");
        o += ocm_len;
        continue;
      }
      uint64_t q = o + d_ocm;
      for (uint64_t m = 0; m < n_po; ++m) {
        const uint64_t po_info_len = *prb.u64(o + 24 + 16 * m);
        const uint64_t po_block = ocm_block - *prb.u64(o + 24 + 16 * m + 8);
        w.po_blocks.push_back(po_block);
        const std::string pw = ow + " PO " + std::to_string(m);
        if (po_block != next_expected) {
          problem(pw + ": at block " + std::to_string(po_block) + ", expected " +
                  std::to_string(next_expected));
        }
        const uint64_t d_po = prb.u64(q + 8).value_or(0);
        const uint64_t n_obj = prb.u64(q + 16).value_or(0);
        if (!prb.has(q, po_info_len) || !prb.has(q + 72, 32 * (n_obj + 1)) || d_po > po_info_len) {
          problem(pw + ": info outside the PR");
          break;
        }
        const uint64_t last = *prb.u64(q + 72 + 32 * n_obj + 24);
        std::vector<uint8_t> head;
        std::string fault;
        if (!po_read(p[1], po_block, bs, 0, 32 + d_po, head, fault)) {
          problem(pw + ": " + fault);
          q += po_info_len;
          continue;
        }
        if (!starts_with_level(head, 1)) problem(pw + ": identifier");
        if (!std::equal(head.begin() + 32, head.end(),
                        pr.bytes.begin() + static_cast<ptrdiff_t>(q))) {
          problem(pw + ": header or directory differs from its info in the PR");
        }
        const std::string bucket_id = prb.uuid(q + 40);
        uint64_t meta_in_pr = q + d_po;
        for (uint64_t r = 0; r < n_obj; ++r) {
          const uint64_t mo = *prb.u64(q + 72 + 32 * r + 16);
          const uint64_t xo = *prb.u64(q + 72 + 32 * r + 24);
          const uint64_t next_mo = *prb.u64(q + 72 + 32 * (r + 1) + 16);
          const std::string tw = pw + " object " + std::to_string(r);
          if (xo < mo || next_mo < xo || !prb.has(meta_in_pr, xo - mo)) {
            problem(tw + ": offsets out of order");
            break;
          }
          FoundObject f;
          f.bucket_id = bucket_id;
          f.bucket_name = names.count(bucket_id) ? names.at(bucket_id) : "";
          f.object_uuid = prb.uuid(q + 72 + 32 * r);
          f.po_block = po_block;
          // Where the metadata lies: by block arithmetic from the packed object's block.
          f.meta_block = po_block + (mo + 32) / bs;
          f.meta_block_offset = (mo + 32) % bs;
          std::vector<uint8_t> meta;
          const uint64_t meta_at = (f.meta_block - po_block) * bs + f.meta_block_offset;
          if (!po_read(p[1], po_block, bs, meta_at, xo - mo, meta, fault)) {
            problem(tw + ": metadata: " + fault);
            break;
          }
          if (!std::equal(meta.begin(), meta.end(),
                          pr.bytes.begin() + static_cast<ptrdiff_t>(meta_in_pr))) {
            problem(tw + ": metadata differs from its copy in the PR");
          }
          meta_in_pr += xo - mo;
          f.metadata.assign(meta.begin(), meta.end());
          int64_t size = -1;
          if (!metadata_fields(f.metadata, f.key, size)) {
            problem(tw + ": metadata without Key and Size");
          } else if (static_cast<uint64_t>(size) != next_mo - xo) {
            problem(tw + ": Size " + std::to_string(size) + " but " + std::to_string(next_mo - xo) +
                    " data bytes");
          }
          if (!po_read(p[1], po_block, bs, 32 + xo, next_mo - xo, f.data, fault)) {
            problem(tw + ": data: " + fault);
            break;
          }
          w.objects.push_back(std::move(f));
        }
        // Whole zero-padded blocks, then the next packed object or the filemark.
        const uint64_t blocks = (32 + last + bs - 1) / bs;
        std::vector<uint8_t> tail;
        if (!po_read(p[1], po_block, bs, 32 + last, blocks * bs - 32 - last, tail, fault)) {
          problem(pw + ": " + fault);
        } else if (std::any_of(tail.begin(), tail.end(), [](uint8_t c) { return c != 0; })) {
          problem(pw + ": not zero-padded");
        }
        next_expected = po_block + blocks;
        q += po_info_len;
      }
      if (next_expected + 1 != ocm_block) {
        problem(ow + ": at block " + std::to_string(ocm_block) + ", expected " +
                std::to_string(next_expected + 1));
      }
      next_expected = ocm_block + ocm.records + 1;
      o += ocm_len;
    }
    if (next_expected != pr_block) {
      problem(where + ": at block " + std::to_string(pr_block) + ", expected " +
              std::to_string(next_expected));
    }
    next_expected = pr_block + pr.records + 1;
  }
  if (next_expected != w.last_rcm[1]) {
    problem("data partition: last RCM at block " + std::to_string(w.last_rcm[1]) + ", expected " +
            std::to_string(next_expected));
  }
  if (w.filemarks[0] != pr_count + 4) problem("reference partition: filemark count");
  if (w.filemarks[1] != pr_count + 2 * ocm_total + 4) problem("data partition: filemark count");

  // Cartridge memory against the tape.
  auto attr = [&](uint32_t part, uint16_t id) -> const std::vector<uint8_t>* {
    const vdrive::Attribute* a = manifest.find_attribute(part, id);
    return a == nullptr ? nullptr : &a->value;
  };
  const std::vector<uint8_t>* vcr = attr(0, 0x0009);
  const std::vector<uint8_t>* ids = attr(0, 0x0820);
  for (int i = 0; i < 2; ++i) {
    const std::vector<uint8_t>* vci = attr(i, 0x080C);
    const std::string vw = "VCI of partition " + std::to_string(i);
    if (vci == nullptr || vci->size() != 52) {
      problem(vw + ": missing or not 52 bytes");
      continue;
    }
    const Bytes v{*vci};
    if ((*vci)[0] != 8) problem(vw + ": VCR length");
    if (v.u64(9) != pr_count) problem(vw + ": partial reference count");
    if (v.u64(17) != w.last_rcm[i]) problem(vw + ": last RCM block");
    if (v.text(27, 8) != "Quorrant" || (*vci)[35] != 1 || (*vci)[26] != 25) problem(vw + ": ACSI");
    if (vcr == nullptr || vcr->size() != 4 ||
        v.u64(1) !=
            ((uint64_t{(*vcr)[0]} << 24) | ((*vcr)[1] << 16) | ((*vcr)[2] << 8) | (*vcr)[3])) {
      problem(vw + ": VCR differs from 0009h");
    }
    if (ids == nullptr || ids->size() != 36 ||
        !std::equal(ids->begin() + 16, ids->begin() + 32, vci->begin() + 36)) {
      problem(vw + ": volume UUID differs from 0820h");
    }
  }
  const std::vector<uint8_t>* name = attr(0, 0x0801);
  if (name == nullptr || name->size() != 32 || readable(*name).rfind("Quorrant ", 0) != 0) {
    problem("application name");
  }
  for (int id : {0x0800, 0x0802, 0x0806, 0x0821}) {
    if (attr(0, id) == nullptr) problem("attribute " + std::to_string(id) + " missing");
  }
  return w;
}

}  // namespace simh

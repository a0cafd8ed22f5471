// Cartridge builder: marker layouts, block addressing, record order, cartridge memory,
// determinism and the deviation hooks, checked against an independent reader of the files.
#include "cartridge/cartridge_builder.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/simh_image.h"
#include "common/test_util.h"
#include "endian_utils.h"

namespace {

using vtape::BlockSizeMember;
using vtape::Description;
using vtape::Deviations;
using vtape::MarkerKind;
using vtape::ObjectData;
using vtape::ObjectEntry;

constexpr uint32_t kBs = 4096;

// Metadata of exactly `length` bytes, padded with blanks before its closing brace.
std::string padded_metadata(const std::string& key, uint64_t size, size_t length) {
  const std::string head = "{\"MetadataVersion\":1,\"Key\":\"" + key +
                           "\",\"Size\":" + std::to_string(size) +
                           ",\"LastModifiedTime\":\"2024-01-01T00:00:00.000000Z\"";
  EXPECT_GT(length, head.size());
  return head + std::string(length - head.size() - 1, ' ') + "}";
}

ObjectEntry padded_object(size_t bucket, const std::string& key, uint64_t size, size_t meta_len) {
  ObjectEntry o;
  o.bucket = bucket;
  o.key = key;
  o.data = ObjectData::pattern(size, size + meta_len);
  o.metadata = padded_metadata(key, size, meta_len);
  return o;
}

Description two_bucket_description() {
  Description d;
  d.block_size = kBs;
  d.buckets = {{"photos"}, {"logs.2024"}};
  d.grouping = {3, 2, 2};
  const uint64_t sizes[] = {0, 1, 100, kBs - 200, kBs, kBs + 1, 3 * kBs + 17, 9000};
  for (int i = 0; i < 40; ++i) {
    ObjectEntry o;
    o.bucket = (i / 7) % 2;  // runs of seven objects per bucket
    o.key = "dir" + std::to_string(i % 5) + "/file-" + std::to_string(i) + ".bin";
    o.data = ObjectData::pattern(sizes[i % 8], 1000 + i);
    o.last_modified = vtape::utc_text(1700000000 + i, 123456);
    d.objects.push_back(o);
  }
  for (int v = 0; v < 3; ++v) {  // three versions of one key
    ObjectEntry o;
    o.bucket = 1;
    o.key = "versioned.txt";
    o.data = ObjectData::text("version " + std::to_string(v));
    o.version = "v" + std::to_string(v);
    o.last_modified = vtape::utc_text(1710000000 + 3600 * v, 0);
    d.objects.push_back(o);
  }
  return d;
}

uint64_t u64_at(const std::vector<uint8_t>& bytes, uint64_t at) { return be64(bytes.data() + at); }

std::vector<uint8_t> file_bytes(const testutil::TempDir& dir, const std::string& name) {
  return testutil::read_bytes(dir / name);
}

bool has_problem(const simh::Walk& w, const std::string& text) {
  for (const std::string& p : w.problems) {
    if (p.find(text) != std::string::npos) return true;
  }
  return false;
}

std::string problems_of(const simh::Walk& w) {
  std::string all;
  for (const std::string& p : w.problems) all += p + "\n";
  return all;
}

// ---------------------------------------------------------------------------------------------
// Marker layouts

TEST(CartridgeLayout, OneObjectWithHundredBytesOfMetadataHasPoInfoOf236) {
  Description d;
  d.block_size = kBs;
  d.buckets = {{"bucket-a"}};
  d.objects = {padded_object(0, "k", 10, 100)};
  const vtape::Layout L = vtape::plan_cartridge(d);
  ASSERT_EQ(L.pos.size(), 1u);
  EXPECT_EQ(L.pos[0].info_length, 236u);
  EXPECT_EQ(L.pos[0].data_offset, 136u);
  EXPECT_EQ(L.pos[0].last_data_offset, 246u);

  const std::vector<uint8_t> pr = vtape::pr_bytes(L, 0);
  ASSERT_EQ(pr.size(), L.prs[0].length);
  const uint64_t o = L.ocms[0].info_offset;
  EXPECT_EQ(u64_at(pr, o + 24), 236u);  // po_info_length in the OCM directory
  const uint64_t q = L.pos[0].info_offset;
  EXPECT_EQ(q, o + 24 + 16);
  EXPECT_EQ(u64_at(pr, q), 72u);
  EXPECT_EQ(u64_at(pr, q + 8), 136u);
  EXPECT_EQ(u64_at(pr, q + 16), 1u);
  EXPECT_EQ(u64_at(pr, q + 72 + 16), 136u);  // (id, 136, 236)
  EXPECT_EQ(u64_at(pr, q + 72 + 24), 236u);
  EXPECT_EQ(std::vector<uint8_t>(pr.begin() + q + 104, pr.begin() + q + 120),
            std::vector<uint8_t>(16, 0));  // (nil, L, L)
  EXPECT_EQ(u64_at(pr, q + 120), 246u);
  EXPECT_EQ(u64_at(pr, q + 128), 246u);
  EXPECT_EQ(q + 236, pr.size());  // metadata closes the PR
  EXPECT_EQ(std::string(pr.begin() + q + 136, pr.end()), L.objects[0].metadata);
}

TEST(CartridgeLayout, HeadersOfEveryLevelCarryTheirCounts) {
  const Description d = two_bucket_description();
  const vtape::Layout L = vtape::plan_cartridge(d);
  const std::vector<uint8_t> rcm = vtape::rcm_bytes(L, true);
  EXPECT_EQ(std::string(rcm.begin(), rcm.begin() + 32), "Quorrant 1.0 Level4             ");
  EXPECT_EQ(u64_at(rcm, 32), 80u);
  EXPECT_EQ(u64_at(rcm, 40), 80u + 8 * L.prs.size());
  EXPECT_EQ(u64_at(rcm, 48), L.bucket_list.size());
  EXPECT_EQ(u64_at(rcm, 56), L.prs.size());
  EXPECT_EQ(rcm.size(), 112 + 8 * L.prs.size() + L.bucket_list.size());
  const std::vector<uint8_t> first = vtape::rcm_bytes(L, false);
  EXPECT_EQ(u64_at(first, 56), 0u);
  EXPECT_EQ(u64_at(first, 40), 80u);

  for (size_t k = 0; k < L.prs.size(); ++k) {
    const std::vector<uint8_t> pr = vtape::pr_bytes(L, k);
    EXPECT_EQ(u64_at(pr, 32), 24u);
    EXPECT_EQ(u64_at(pr, 40), 24u + 16 * L.prs[k].ocm_count);
    EXPECT_EQ(u64_at(pr, 48), L.prs[k].ocm_count);
  }
  for (size_t j = 0; j < L.ocms.size(); ++j) {
    const std::vector<uint8_t> ocm = vtape::ocm_bytes(L, j);
    EXPECT_EQ(ocm.size(), L.ocms[j].place.length);
    EXPECT_EQ(u64_at(ocm, 32 + 8), 24u + 16 * L.ocms[j].po_count);
    // The OCM on tape is its identifier followed by its info inside the PR.
    const std::vector<uint8_t> pr = vtape::pr_bytes(L, L.ocms[j].pr);
    EXPECT_TRUE(std::equal(ocm.begin() + 32, ocm.end(),
                           pr.begin() + static_cast<ptrdiff_t>(L.ocms[j].info_offset)));
  }
  // Buckets change inside a grouping run: a packed object never mixes buckets.
  for (const vtape::PoLayout& po : L.pos) {
    for (size_t r = po.first_object; r < po.first_object + po.object_count; ++r) {
      EXPECT_EQ(L.objects[r].bucket, po.bucket);
    }
    EXPECT_LE(po.object_count, 3u);
  }
}

TEST(CartridgeLayout, MetadataIsDeterministicJsonWithTheVendorMember) {
  ObjectEntry o;
  o.key = "a/\"q\".txt";
  o.data = ObjectData::text("12345");
  o.version = "v1";
  o.members = {{"ContentType", "\"text/plain\""}};
  vtape::Uuid id{};
  id[6] = 0x40;
  id[8] = 0x80;
  const std::string meta = vtape::object_metadata(o, "2024-02-03T04:05:06.000007Z", id);
  EXPECT_EQ(meta,
            "{\"MetadataVersion\":1,\"Key\":\"a/\\\"q\\\".txt\",\"Size\":5,"
            "\"LastModifiedTime\":\"2024-02-03T04:05:06.000007Z\",\"Version\":\"v1\","
            "\"ContentType\":\"text/plain\",\"VendorHalveronMetadata\":{\"ObjectId\":"
            "\"00000000-0000-4000-8000-000000000000\"}}");
  json_object* parsed = json_tokener_parse(meta.c_str());
  ASSERT_NE(parsed, nullptr);
  json_object* key = nullptr;
  ASSERT_TRUE(json_object_object_get_ex(parsed, "Key", &key));
  EXPECT_STREQ(json_object_get_string(key), "a/\"q\".txt");
  json_object_put(parsed);
  // The list identifier is the MD5 of the text without its double quotes.
  EXPECT_EQ(vtape::list_object_id("\"abc\""), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(vtape::list_object_id(""), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(CartridgeLayout, IdentifiersAreVersion4AndTimesHaveTheFixedForm) {
  for (uint64_t i = 0; i < 64; ++i) {
    const std::string text = vtape::uuid_text(vtape::derived_uuid(7, vtape::UuidDomain::object, i));
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos) << text;
  }
  EXPECT_NE(vtape::derived_uuid(7, vtape::UuidDomain::object, 0),
            vtape::derived_uuid(7, vtape::UuidDomain::pack, 0));
  EXPECT_NE(vtape::derived_uuid(7, vtape::UuidDomain::object, 0),
            vtape::derived_uuid(8, vtape::UuidDomain::object, 0));
  EXPECT_EQ(vtape::utc_text(0, 0), "1970-01-01T00:00:00.000000Z");
  EXPECT_EQ(vtape::utc_text(1554122096, 123456), "2019-04-01T12:34:56.123456Z");
  EXPECT_TRUE(vtape::is_utc_text("2019-04-01T12:34:56.123456Z"));
  EXPECT_FALSE(vtape::is_utc_text("2019-04-01T12:34:56.12345Z"));
  const std::string vol1 = vtape::vol1_label("ABC123", "");
  EXPECT_EQ(vol1.size(), 80u);
  EXPECT_EQ(vol1, "VOL1ABC123" + std::string(14, ' ') + "Quorrant" + std::string(47, ' ') + "4");
}

TEST(CartridgeLayout, BucketNameRules) {
  for (const char* good : {"abc", "logs.2024", "a-b.c", "1.2.3", "1.2.3.x"}) {
    EXPECT_TRUE(vtape::valid_bucket_name(good)) << good;
  }
  const std::vector<std::string> bad_names = {
      "ab", "-ab", "ab-", "a..b", "a.-b", "aB3", "a_b", "192.168.0.1", std::string(64, 'a')};
  for (const std::string& bad : bad_names) {
    EXPECT_FALSE(vtape::valid_bucket_name(bad)) << bad;
  }
}

TEST(CartridgeLayout, FormatLabelCarriesTheBlockSizeAsAskedFor) {
  Description d;
  d.block_size = 8192;
  EXPECT_NE(vtape::plan_cartridge(d).format_label.find("\"BlockSize\":8192}"), std::string::npos);
  d.block_size_member = BlockSizeMember::text;
  EXPECT_NE(vtape::plan_cartridge(d).format_label.find("\"BlockSize\":\"8192\"}"),
            std::string::npos);
  d.block_size_member = BlockSizeMember::absent;
  EXPECT_EQ(vtape::plan_cartridge(d).format_label.find("BlockSize"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Addressing

// One PR of two OCMs of one PO each, sized so that the PR lies at block 990 with the last RCM
// at 1000 (block offset 10), the second OCM at 986 (offset 4) and its PO at 966 (offset 20).
TEST(CartridgeAddressing, WorkedExampleBlocks990And986And966) {
  testutil::TempDir dir;
  Description d;
  d.block_size = kBs;
  d.buckets = {{"bucket-a"}};
  d.grouping = {1, 1, 2};
  d.objects = {padded_object(0, "a", 3875224, 24000), padded_object(0, "b", 67556, 10000)};
  const vtape::BuildResult r = vtape::build_cartridge(d, dir.path());
  const vtape::Layout& L = r.layout;
  ASSERT_EQ(L.prs.size(), 1u);
  ASSERT_EQ(L.ocms.size(), 2u);
  EXPECT_EQ(L.partitions[1].last_rcm.block, 1000u);
  EXPECT_EQ(L.partitions[1].prs[0].block, 990u);
  EXPECT_EQ(L.prs[0].block_offset, 10u);
  EXPECT_EQ(L.ocms[1].place.block, 986u);
  EXPECT_EQ(L.ocms[1].block_offset, 4u);
  EXPECT_EQ(L.pos[1].place.block, 966u);
  EXPECT_EQ(L.pos[1].block_offset, 20u);
  EXPECT_EQ(L.pos[0].place.block, 6u);

  const std::vector<uint8_t> rcm = vtape::rcm_bytes(L, true);
  EXPECT_EQ(u64_at(rcm, 112), 10u);
  const std::vector<uint8_t> pr = vtape::pr_bytes(L, 0);
  EXPECT_EQ(u64_at(pr, 56 + 16 + 8), 4u);
  EXPECT_EQ(u64_at(pr, L.ocms[1].info_offset + 24 + 8), 20u);

  const simh::Walk w = simh::walk_cartridge(dir.path());
  EXPECT_TRUE(w.problems.empty()) << problems_of(w);
  EXPECT_EQ(w.last_rcm[1], 1000u);
  EXPECT_EQ(w.pr_blocks, std::vector<uint64_t>{990});
  EXPECT_EQ(w.ocm_blocks, (std::vector<uint64_t>{L.ocms[0].place.block, 986}));
  EXPECT_EQ(w.po_blocks, (std::vector<uint64_t>{6, 966}));
  ASSERT_EQ(w.objects.size(), 2u);
  EXPECT_EQ(w.objects[1].data, d.objects[1].data.read_all());
  // The first PO's data ends exactly at a block boundary: no padding at all.
  EXPECT_EQ((32 + L.pos[0].last_data_offset) % kBs, 0u);
}

TEST(CartridgeAddressing, MetadataAtABlockBoundaryStartsTheNextBlock) {
  testutil::TempDir dir;
  Description d;
  d.block_size = kBs;
  d.buckets = {{"bucket-a"}};
  d.grouping = {2, 1, 1};
  // Directory of 3 entries: M0 = 168; 168 + 200 + 3696 = 4064 = block size - 32.
  d.objects = {padded_object(0, "a", 3696, 200), padded_object(0, "b", 50, 150)};
  const vtape::BuildResult r = vtape::build_cartridge(d, dir.path());
  const vtape::ObjectLayout& a = r.layout.objects[0];
  const vtape::ObjectLayout& b = r.layout.objects[1];
  EXPECT_EQ(a.meta_offset, 168u);
  EXPECT_EQ(a.meta_block, a.po_block);
  EXPECT_EQ(a.meta_block_offset, 200u);
  EXPECT_EQ(b.meta_offset, kBs - 32);
  EXPECT_EQ(b.meta_block, b.po_block + 1);
  EXPECT_EQ(b.meta_block_offset, 0u);
  EXPECT_EQ(b.list_offset, kBs);

  const simh::Walk w = simh::walk_cartridge(dir.path());
  EXPECT_TRUE(w.problems.empty()) << problems_of(w);
  ASSERT_EQ(w.objects.size(), 2u);
  EXPECT_EQ(w.objects[1].meta_block, b.meta_block);
  EXPECT_EQ(w.objects[1].metadata, b.metadata);
  const simh::Partition p1 = simh::read_partition(dir / "p1.tap");
  EXPECT_EQ(p1[b.meta_block].data[0], '{');
}

TEST(CartridgeAddressing, MetadataStraddlingABlockIsRecovered) {
  testutil::TempDir dir;
  Description d;
  d.block_size = kBs;
  d.buckets = {{"bucket-a"}};
  d.grouping = {2, 1, 1};
  d.objects = {padded_object(0, "a", 3632, 200), padded_object(0, "b", 5000, 300)};
  const vtape::BuildResult r = vtape::build_cartridge(d, dir.path());
  const vtape::ObjectLayout& b = r.layout.objects[1];
  EXPECT_EQ(b.meta_block, b.po_block);
  EXPECT_EQ(b.meta_block_offset, 4032u);
  EXPECT_GT(b.meta_block_offset + b.metadata.size(), kBs);

  const simh::Walk w = simh::walk_cartridge(dir.path());
  EXPECT_TRUE(w.problems.empty()) << problems_of(w);
  ASSERT_EQ(w.objects.size(), 2u);
  EXPECT_EQ(w.objects[1].metadata, b.metadata);
  EXPECT_EQ(w.objects[1].data, d.objects[1].data.read_all());
}

TEST(CartridgeAddressing, ObjectOfExactlyOneBlock) {
  testutil::TempDir dir;
  Description d;
  d.block_size = kBs;
  d.buckets = {{"bucket-a"}};
  ObjectEntry o;
  o.key = "one-block";
  o.data = ObjectData::pattern(kBs, 5);
  d.objects = {o};
  const vtape::BuildResult r = vtape::build_cartridge(d, dir.path());
  EXPECT_EQ(r.layout.pos[0].place.records, 2u);
  const simh::Walk w = simh::walk_cartridge(dir.path());
  EXPECT_TRUE(w.problems.empty()) << problems_of(w);
  ASSERT_EQ(w.objects.size(), 1u);
  EXPECT_EQ(w.objects[0].data, o.data.read_all());
  EXPECT_EQ(w.objects[0].key, "one-block");
}

TEST(CartridgeAddressing, EmptyBucketListAndNoPartialReferences) {
  testutil::TempDir dir;
  Description d;
  d.block_size = kBs;
  d.pool_group_name = "";
  const vtape::BuildResult r = vtape::build_cartridge(d, dir.path());
  const vtape::Layout& L = r.layout;
  EXPECT_TRUE(L.bucket_list.empty());
  EXPECT_TRUE(L.prs.empty());
  const std::vector<uint8_t> rcm = vtape::rcm_bytes(L, true);
  EXPECT_EQ(rcm.size(), 112u);
  EXPECT_EQ(u64_at(rcm, 48), 0u);
  for (int p = 0; p < 2; ++p) {
    EXPECT_EQ(L.partitions[p].filemarks, 4u);
    EXPECT_EQ(L.partitions[p].last_rcm.block, 6u);
    EXPECT_EQ(L.partitions[p].end_of_data, 8u);
  }
  // Both partitions hold the same four markers.
  EXPECT_EQ(file_bytes(dir, "p0.tap"), file_bytes(dir, "p1.tap"));
  const simh::Walk w = simh::walk_cartridge(dir.path());
  EXPECT_TRUE(w.problems.empty()) << problems_of(w);
  EXPECT_TRUE(w.objects.empty());
}

TEST(CartridgeAddressing, BucketsWithoutObjectsGiveNoPartialReference) {
  testutil::TempDir dir;
  Description d;
  d.block_size = kBs;
  d.buckets = {{"empty-one"}, {"empty-two"}};
  const vtape::BuildResult r = vtape::build_cartridge(d, dir.path());
  EXPECT_TRUE(r.layout.prs.empty());
  EXPECT_NE(r.layout.bucket_list.find("\"BucketName\":\"empty-two\""), std::string::npos);
  EXPECT_NE(r.layout.bucket_list.find("\"PoolGroupName\":\"pool-group\""), std::string::npos);
  const simh::Walk w = simh::walk_cartridge(dir.path());
  EXPECT_TRUE(w.problems.empty()) << problems_of(w);
  EXPECT_EQ(w.bucket_list, r.layout.bucket_list);
}

// Builds `d` and checks that a walk by the addressing rules finds what the layout reports.
void expect_walk_matches_layout(const Description& d) {
  testutil::TempDir dir;
  const vtape::BuildResult r = vtape::build_cartridge(d, dir.path());
  const vtape::Layout& L = r.layout;
  EXPECT_GT(L.prs.size(), 2u);

  const simh::Walk w = simh::walk_cartridge(dir.path());
  EXPECT_TRUE(w.problems.empty()) << problems_of(w);
  EXPECT_EQ(w.block_size, kBs);
  EXPECT_EQ(w.last_rcm[0], L.partitions[0].last_rcm.block);
  EXPECT_EQ(w.last_rcm[1], L.partitions[1].last_rcm.block);
  EXPECT_EQ(w.filemarks[0], L.partitions[0].filemarks);
  EXPECT_EQ(w.filemarks[1], L.partitions[1].filemarks);
  ASSERT_EQ(w.pr_blocks.size(), L.prs.size());
  for (size_t k = 0; k < L.prs.size(); ++k) EXPECT_EQ(w.pr_blocks[k], L.partitions[1].prs[k].block);
  ASSERT_EQ(w.ocm_blocks.size(), L.ocms.size());
  for (size_t j = 0; j < L.ocms.size(); ++j) EXPECT_EQ(w.ocm_blocks[j], L.ocms[j].place.block);
  ASSERT_EQ(w.po_blocks.size(), L.pos.size());
  for (size_t m = 0; m < L.pos.size(); ++m) EXPECT_EQ(w.po_blocks[m], L.pos[m].place.block);

  ASSERT_EQ(w.objects.size(), d.objects.size());
  for (size_t i = 0; i < d.objects.size(); ++i) {
    const simh::FoundObject& f = w.objects[i];
    const vtape::ObjectLayout& o = L.objects[i];
    EXPECT_EQ(f.bucket_name, d.buckets[d.objects[i].bucket].name) << i;
    EXPECT_EQ(f.key, d.objects[i].key) << i;
    EXPECT_EQ(f.data, d.objects[i].data.read_all()) << i;
    EXPECT_EQ(f.metadata, o.metadata) << i;
    EXPECT_EQ(f.object_uuid, vtape::uuid_text(o.uuid)) << i;
    EXPECT_EQ(f.po_block, o.po_block) << i;
    EXPECT_EQ(f.meta_block, o.meta_block) << i;
    EXPECT_EQ(f.meta_block_offset, o.meta_block_offset) << i;
    EXPECT_EQ((f.meta_block - f.po_block) * kBs + f.meta_block_offset, o.list_offset) << i;
    EXPECT_EQ(o.list_id, vtape::list_object_id(f.metadata)) << i;
  }
  EXPECT_EQ(L.objects.back().version, "v2");
  EXPECT_NE(L.objects.back().metadata.find("\"Version\":\"v2\""), std::string::npos);
}

TEST(CartridgeAddressing, WalkByBlockOffsetsFindsEveryMarkerAndObject) {
  expect_walk_matches_layout(two_bucket_description());
  expect_walk_matches_layout(vtape::sample_description());
}

TEST(CartridgeAddressing, DataPartitionLayoutWithLargeBlocksAndDefaultLabel) {
  testutil::TempDir dir;
  Description d;  // 1 MiB blocks, the default
  d.buckets = {{"bucket-a"}};
  ObjectEntry o;
  o.key = "big";
  o.data = ObjectData::pattern(2 * 1048576 + 5, 9);
  d.objects = {o};
  d.block_size_member = BlockSizeMember::absent;
  vtape::build_cartridge(d, dir.path());
  const simh::Walk w = simh::walk_cartridge(dir.path());
  EXPECT_TRUE(w.problems.empty()) << problems_of(w);
  EXPECT_EQ(w.block_size, 1048576u);
  ASSERT_EQ(w.objects.size(), 1u);
  EXPECT_EQ(w.objects[0].data, o.data.read_all());
}

// ---------------------------------------------------------------------------------------------
// Cartridge memory and manifest

TEST(CartridgeMemory, AttributesMatchTheTape) {
  testutil::TempDir dir;
  Description d = two_bucket_description();
  d.volume_change_reference = 0x01020304;
  d.barcode = "BC0001L8";
  const vtape::BuildResult r = vtape::build_cartridge(d, dir.path());
  const vtape::Layout& L = r.layout;
  vtape::Manifest m = r.manifest;
  for (int p = 0; p < 2; ++p) {
    const vtape::Attribute* vci = m.find_attribute(p, 0x080C);
    ASSERT_NE(vci, nullptr);
    EXPECT_EQ(vci->value, vtape::vci_value(0x01020304, L.prs.size(), L.partitions[p].last_rcm.block,
                                           L.volume_uuid));
    ASSERT_EQ(vci->value.size(), 52u);
    EXPECT_EQ(u64_at(vci->value, 9), L.prs.size());
    EXPECT_EQ(u64_at(vci->value, 17), L.partitions[p].last_rcm.block);
    EXPECT_EQ(std::string(vci->value.begin() + 27, vci->value.begin() + 35), "Quorrant");
    EXPECT_EQ(vci->value[35], 1);
  }
  EXPECT_EQ(m.find_attribute(1, 0x0801), nullptr);  // host-type attributes: partition 0 only
  const vtape::Attribute* vcr = m.find_attribute(0, 0x0009);
  ASSERT_NE(vcr, nullptr);
  EXPECT_EQ(vcr->value, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_TRUE(vcr->read_only);
  const vtape::Attribute* name = m.find_attribute(0, 0x0801);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(std::string(name->value.begin(), name->value.end()),
            "Quorrant Cartridge Builder      ");
  EXPECT_EQ(name->format, 1);
  const vtape::Attribute* version = m.find_attribute(0, 0x0802);
  EXPECT_EQ(std::string(version->value.begin(), version->value.end()), "2.0.0   ");
  const vtape::Attribute* barcode = m.find_attribute(0, 0x0806);
  EXPECT_EQ(std::string(barcode->value.begin(), barcode->value.end()),
            "BC0001L8" + std::string(24, ' '));
  const vtape::Attribute* ids = m.find_attribute(0, 0x0820);
  ASSERT_EQ(ids->value.size(), 36u);
  EXPECT_TRUE(std::equal(L.system_uuid.begin(), L.system_uuid.end(), ids->value.begin()));
  EXPECT_TRUE(std::equal(L.volume_uuid.begin(), L.volume_uuid.end(), ids->value.begin() + 16));
  EXPECT_EQ(std::vector<uint8_t>(ids->value.begin() + 32, ids->value.end()),
            std::vector<uint8_t>(4, 0));
  const vtape::Attribute* pool = m.find_attribute(0, 0x0821);
  EXPECT_TRUE(
      std::equal(L.pool_group_uuid.begin(), L.pool_group_uuid.end(), pool->value.begin() + 16));
  EXPECT_EQ(m.volume_personality, "Ultrium-8");
  // The manifest on disk is what the result holds.
  EXPECT_EQ(testutil::read_file(dir / "cartridge.json"), vtape::to_json(m));
  // The label names the same volume as the cartridge memory.
  EXPECT_NE(L.format_label.find("\"VolumeUuid\":\"" + vtape::uuid_text(L.volume_uuid) + "\""),
            std::string::npos);
}

TEST(CartridgeMemory, DefaultBarcodeIsTheVolumeIdentifierAndTheGeneration) {
  Description d;
  EXPECT_EQ(vtape::plan_cartridge(d).barcode, "QT0001L8");
  d.personality = "LTOM8";
  d.volume_id = "ABC123";
  EXPECT_EQ(vtape::plan_cartridge(d).barcode, "ABC123M8");
  EXPECT_EQ(vtape::tape_generation("Ultrium-5"), "L5");
}

TEST(CartridgeMemory, SameInputGivesIdenticalFilesAndTheSeedChangesIdentifiers) {
  testutil::TempDir one, two, three;
  Description d = two_bucket_description();
  vtape::build_cartridge(d, one.path());
  vtape::build_cartridge(d, two.path());
  for (const char* f : {"p0.tap", "p1.tap", "cartridge.json"}) {
    EXPECT_EQ(file_bytes(one, f), file_bytes(two, f)) << f;
  }
  d.seed = 2;
  const vtape::BuildResult r = vtape::build_cartridge(d, three.path());
  EXPECT_NE(file_bytes(one, "p1.tap"), file_bytes(three, "p1.tap"));
  EXPECT_TRUE(simh::walk_cartridge(three.path()).problems.empty());
  // Given identifiers are kept.
  d.buckets[0].uuid = vtape::derived_uuid(99, vtape::UuidDomain::bucket, 0);
  EXPECT_EQ(vtape::plan_cartridge(d).bucket_ids[0], d.buckets[0].uuid);
}

// ---------------------------------------------------------------------------------------------
// Streaming from files

TEST(CartridgeStreaming, FileDataIsReadInBlocksAndAChangedFileFailsTheBuild) {
  testutil::TempDir dir, data;
  std::vector<uint8_t> content(3 * kBs + 17);
  vtape::fill_pattern(3, 0, content);
  testutil::write_bytes(data / "obj", content);
  Description d;
  d.block_size = kBs;
  d.buckets = {{"bucket-a"}};
  ObjectEntry o;
  o.key = "from-file";
  o.data = ObjectData::file(data / "obj", content.size());
  d.objects = {o};
  vtape::build_cartridge(d, dir.path());
  const simh::Walk w = simh::walk_cartridge(dir.path());
  ASSERT_EQ(w.objects.size(), 1u);
  EXPECT_EQ(w.objects[0].data, content);

  testutil::TempDir fails;
  d.objects[0].data = ObjectData::file(data / "obj", content.size() + 1);
  EXPECT_THROW(vtape::build_cartridge(d, fails.path()), std::runtime_error);
  d.objects[0].data = ObjectData::file(data / "obj", content.size() - 1);
  EXPECT_THROW(vtape::build_cartridge(d, fails.path()), std::runtime_error);
  d.objects[0].data = ObjectData::file(data / "missing", 1);
  EXPECT_THROW(vtape::build_cartridge(d, fails.path()), std::runtime_error);
  EXPECT_TRUE(std::filesystem::is_empty(fails.path()));  // nothing left behind
}

TEST(CartridgeStreaming, ManySmallObjects) {
  testutil::TempDir dir;
  Description d;
  d.block_size = kBs;
  d.buckets = {{"many"}};
  d.grouping = {50, 10, 4};
  for (int i = 0; i < 20000; ++i) {
    ObjectEntry o;
    o.key = std::string("k").append(std::to_string(i));
    o.data = ObjectData::text(std::to_string(i));
    d.objects.push_back(std::move(o));
  }
  const vtape::BuildResult r = vtape::build_cartridge(d, dir.path());
  EXPECT_EQ(r.layout.pos.size(), 400u);
  EXPECT_EQ(r.layout.prs.size(), 10u);
  const simh::Walk w = simh::walk_cartridge(dir.path());
  EXPECT_TRUE(w.problems.empty()) << problems_of(w);
  ASSERT_EQ(w.objects.size(), 20000u);
  EXPECT_EQ(w.objects[12345].key, "k12345");
  EXPECT_EQ(std::string(w.objects[12345].data.begin(), w.objects[12345].data.end()), "12345");
}

TEST(CartridgeStreaming, RejectsDescriptionsThatCannotBeLaidOut) {
  Description d;
  d.block_size = 32;
  EXPECT_THROW(vtape::plan_cartridge(d), std::invalid_argument);
  d.block_size = kBs;
  d.grouping.pos_per_ocm = 0;
  EXPECT_THROW(vtape::plan_cartridge(d), std::invalid_argument);
  d.grouping.pos_per_ocm = 1;
  d.objects.push_back(ObjectEntry{});  // names bucket 0 of none
  EXPECT_THROW(vtape::plan_cartridge(d), std::invalid_argument);
}

// ---------------------------------------------------------------------------------------------
// Deviations

class CartridgeDeviation : public ::testing::Test {
 protected:
  vtape::BuildResult build(const Deviations& dev) {
    return vtape::build_cartridge(description_, dir_.path(), dev);
  }
  simh::Partition partition(int p) {
    return simh::read_partition(dir_ / std::string("p").append(std::to_string(p)).append(".tap"));
  }

  Description description_ = vtape::sample_description();
  testutil::TempDir dir_;
};

TEST_F(CartridgeDeviation, PatchOfTheReferenceCopyOfAPrOnly) {
  Deviations dev;
  dev.patches.push_back({{MarkerKind::pr, 1}, vtape::kReferenceCopy, 60, {0xEE}});
  const vtape::BuildResult r = build(dev);
  const simh::Walk w = simh::walk_cartridge(dir_.path());
  EXPECT_TRUE(has_problem(w, "PR 1: differs from the reference copy")) << problems_of(w);
  EXPECT_EQ(w.problems.size(), 1u) << problems_of(w);
  const simh::Partition p0 = partition(0);
  const simh::MarkerRead pr = simh::read_marker(p0, r.layout.partitions[0].prs[1].block);
  EXPECT_EQ(pr.bytes[60], 0xEE);
  EXPECT_EQ(w.objects.size(), description_.objects.size());  // data partition untouched
}

TEST_F(CartridgeDeviation, PatchOfAnOcmEverywhereKeepsTheCopiesEqual) {
  Deviations dev;
  dev.patches.push_back({{MarkerKind::ocm, 2}, vtape::kAllCopies, 32 + 7, {0x19}});
  const vtape::BuildResult r = build(dev);
  const vtape::OcmLayout& ocm = r.layout.ocms[2];
  for (int p = 0; p < 2; ++p) {
    const simh::MarkerRead pr =
        simh::read_marker(partition(p), r.layout.partitions[p].prs[ocm.pr].block);
    EXPECT_EQ(pr.bytes[ocm.info_offset + 7], 0x19) << p;
  }
  const simh::MarkerRead tape = simh::read_marker(partition(1), ocm.place.block);
  EXPECT_EQ(tape.bytes[32 + 7], 0x19);
  const simh::Walk w = simh::walk_cartridge(dir_.path());
  EXPECT_FALSE(has_problem(w, "differs")) << problems_of(w);
}

TEST_F(CartridgeDeviation, PatchesOfPackedObjectsAndMetadataMapIntoThePr) {
  const vtape::Layout L = vtape::plan_cartridge(description_);
  const size_t r = 4;  // an object that is not the first of its PO
  const vtape::ObjectLayout& o = L.objects[r];
  ASSERT_GT(r, L.pos[o.po].first_object);
  Deviations dev;
  dev.patches.push_back({{MarkerKind::po, o.po}, vtape::kReferenceCopy, 32 + 24, {0xAB}});
  dev.patches.push_back({{MarkerKind::meta, r}, vtape::kReferenceCopy, 1, {'X'}});
  // A PO offset inside the object's metadata lands at the same place.
  dev.patches.push_back(
      {{MarkerKind::po, o.po}, vtape::kReferenceCopy, 32 + o.meta_offset + 2, {'Y'}});
  build(dev);
  const simh::MarkerRead pr0 = simh::read_marker(partition(0), L.partitions[0].prs[o.pr].block);
  EXPECT_EQ(pr0.bytes[L.pos[o.po].info_offset + 24], 0xAB);
  EXPECT_EQ(pr0.bytes[o.meta_info_offset + 1], 'X');
  EXPECT_EQ(pr0.bytes[o.meta_info_offset + 2], 'Y');
  const simh::MarkerRead pr1 = simh::read_marker(partition(1), L.partitions[1].prs[o.pr].block);
  EXPECT_EQ(pr1.bytes, vtape::pr_bytes(L, o.pr));
  const simh::Walk w = simh::walk_cartridge(dir_.path());
  EXPECT_TRUE(has_problem(w, "differs from the reference copy")) << problems_of(w);
}

TEST_F(CartridgeDeviation, PatchOfMetadataOnTapeAndOfPackedObjectPadding) {
  const vtape::Layout L = vtape::plan_cartridge(description_);
  const size_t last_po = L.pos.size() - 1;
  const uint64_t padding_at = L.pos[last_po].place.length;  // first byte after the data
  Deviations dev;
  dev.patches.push_back({{MarkerKind::meta, 5}, vtape::kDataCopy, 0, {'['}});
  dev.patches.push_back({{MarkerKind::po, last_po}, vtape::kDataCopy, padding_at, {1}});
  build(dev);
  const simh::Walk w = simh::walk_cartridge(dir_.path());
  EXPECT_TRUE(has_problem(w, "metadata differs from its copy in the PR")) << problems_of(w);
  EXPECT_TRUE(has_problem(w, "not zero-padded")) << problems_of(w);
}

TEST_F(CartridgeDeviation, PartialReferenceCountOfTheLastRcmOnBothPartitions) {
  Deviations dev;
  dev.patches.push_back(vtape::u64_patch({MarkerKind::last_rcm}, vtape::kBothCopies, 56, 1));
  dev.patches.push_back(vtape::text_patch({MarkerKind::vol1}, vtape::kBothCopies, 4, "abc123"));
  const vtape::BuildResult r = build(dev);
  ASSERT_GT(r.layout.prs.size(), 1u);
  const simh::Walk w = simh::walk_cartridge(dir_.path());
  EXPECT_FALSE(has_problem(w, "last RCM differs")) << problems_of(w);
  EXPECT_TRUE(has_problem(w, "VCI of partition 0: partial reference count")) << problems_of(w);
  const simh::Partition p1 = partition(1);
  EXPECT_EQ(std::string(p1[0].data.begin(), p1[0].data.begin() + 10), "VOL1abc123");
}

TEST_F(CartridgeDeviation, BytesACopyDoesNotHoldAreRefused) {
  const vtape::Layout L = vtape::plan_cartridge(description_);
  const vtape::ObjectLayout& o = L.objects[2];
  ASSERT_GT(o.data_size, 0u);
  Deviations data_in_pr;  // object data has no copy inside the PR
  data_in_pr.patches.push_back(
      {{MarkerKind::po, o.po}, vtape::kReferenceCopy, 32 + o.data_offset, {0}});
  EXPECT_THROW(build(data_in_pr), std::invalid_argument);
  Deviations identifier_in_pr;
  identifier_in_pr.patches.push_back({{MarkerKind::ocm, 0}, vtape::kDataPrCopy, 3, {0}});
  EXPECT_THROW(build(identifier_in_pr), std::invalid_argument);
  Deviations beyond;
  beyond.patches.push_back({{MarkerKind::vol1, 0}, vtape::kDataCopy, 80, {0}});
  EXPECT_THROW(build(beyond), std::invalid_argument);
  Deviations no_such;
  no_such.patches.push_back({{MarkerKind::pr, L.prs.size()}, vtape::kDataCopy, 0, {0}});
  EXPECT_THROW(build(no_such), std::invalid_argument);
  Deviations label_in_pr;
  label_in_pr.patches.push_back({{MarkerKind::label, 0}, vtape::kDataPrCopy, 0, {0}});
  EXPECT_THROW(build(label_in_pr), std::invalid_argument);
  EXPECT_FALSE(testutil::exists(dir_ / "p0.tap"));
}

TEST_F(CartridgeDeviation, DroppedAndAddedFilemarks) {
  {
    Deviations dev;
    dev.filemarks.push_back({0,
                             {MarkerKind::pr, 0},
                             vtape::FilemarkEdit::Side::after,
                             vtape::FilemarkEdit::Action::drop,
                             1});
    const vtape::BuildResult r = build(dev);
    EXPECT_EQ(simh::filemark_count(partition(0)), r.layout.partitions[0].filemarks - 1);
    EXPECT_EQ(simh::filemark_count(partition(1)), r.layout.partitions[1].filemarks);
    EXPECT_FALSE(simh::walk_cartridge(dir_.path()).problems.empty());
  }
  {
    Deviations dev;
    dev.filemarks.push_back({1,
                             {MarkerKind::ocm, 1},
                             vtape::FilemarkEdit::Side::before,
                             vtape::FilemarkEdit::Action::drop,
                             1});
    const vtape::BuildResult r = build(dev);
    const simh::Partition p1 = partition(1);
    EXPECT_EQ(simh::filemark_count(p1), r.layout.partitions[1].filemarks - 1);
    // The OCM now follows its last packed object directly.
    const vtape::OcmLayout& ocm = r.layout.ocms[1];
    const vtape::PoLayout& last = r.layout.pos[ocm.first_po + ocm.po_count - 1];
    const uint64_t at = last.place.block + last.place.records;
    EXPECT_EQ(std::string(p1[at].data.begin(), p1[at].data.begin() + 19), "Quorrant 1.0 Level2");
  }
  {
    Deviations dev;
    dev.filemarks.push_back({1,
                             {MarkerKind::po, 0},
                             vtape::FilemarkEdit::Side::after,
                             vtape::FilemarkEdit::Action::add,
                             2});
    const vtape::BuildResult r = build(dev);
    const simh::Partition p1 = partition(1);
    EXPECT_EQ(simh::filemark_count(p1), r.layout.partitions[1].filemarks + 2);
    const uint64_t after = r.layout.pos[0].place.block + r.layout.pos[0].place.records;
    EXPECT_TRUE(p1[after].filemark);
    EXPECT_TRUE(p1[after + 1].filemark);
  }
  Deviations bad;
  bad.filemarks.push_back({0,
                           {MarkerKind::ocm, 0},
                           vtape::FilemarkEdit::Side::after,
                           vtape::FilemarkEdit::Action::add,
                           1});
  EXPECT_THROW(build(bad), std::invalid_argument);  // no OCM on the reference partition
}

TEST_F(CartridgeDeviation, UnreadableBlock) {
  const vtape::Layout L = vtape::plan_cartridge(description_);
  Deviations dev;
  dev.unreadable.push_back({1, L.objects[0].meta_block});
  dev.unreadable.push_back({0, L.partitions[0].label.block});
  build(dev);
  const simh::Partition p1 = partition(1);
  EXPECT_TRUE(p1[L.objects[0].meta_block].unreadable);
  EXPECT_EQ(p1[L.objects[0].meta_block].data.size(), kBs);  // the bytes are still there
  EXPECT_TRUE(partition(0)[L.partitions[0].label.block].unreadable);
  const simh::Walk w = simh::walk_cartridge(dir_.path());
  EXPECT_TRUE(has_problem(w, "unreadable")) << problems_of(w);

  Deviations at_filemark;
  at_filemark.unreadable.push_back({1, 1});  // the filemark after VOL1
  EXPECT_THROW(build(at_filemark), std::invalid_argument);
}

TEST_F(CartridgeDeviation, ResizedMarkers) {
  const vtape::Layout L = vtape::plan_cartridge(description_);
  Deviations dev;
  dev.resizes.push_back({{MarkerKind::ocm, 0}, vtape::kDataCopy, L.ocms[0].place.length + 10});
  dev.resizes.push_back({{MarkerKind::vol1, 0}, vtape::kReferenceCopy, 79});
  build(dev);
  EXPECT_EQ(simh::read_marker(partition(1), L.ocms[0].place.block).bytes.size(),
            L.ocms[0].place.length + 10);
  EXPECT_EQ(partition(0)[0].data.size(), 79u);
  EXPECT_EQ(partition(1)[0].data.size(), 80u);
  const simh::Walk w = simh::walk_cartridge(dir_.path());
  EXPECT_TRUE(has_problem(w, "OCM 0: differs from its info in the PR")) << problems_of(w);
}

TEST_F(CartridgeDeviation, AttributeEditsAndDriveFaults) {
  Deviations dev;
  dev.attributes.push_back({0, 0x0801, true, std::nullopt, std::nullopt, std::nullopt});
  dev.attributes.push_back(
      {1, 0x080C, false, vtape::vci_value(1, 99, 5, vtape::Uuid{}), std::nullopt, std::nullopt});
  dev.attributes.push_back({0, 0x1607, false, std::vector<uint8_t>(36, 7), 0, true});
  dev.faults.not_ready = 2;
  dev.faults.read_attribute = {1};
  dev.faults.status.push_back({0x08, 3, 0x08});
  dev.inquiry = vtape::Inquiry{"VENDOR  ", "PRODUCT         ", "0002"};
  const vtape::BuildResult r = build(dev);
  EXPECT_EQ(r.manifest.attributes.size(), 9u);
  vtape::Manifest m = r.manifest;
  EXPECT_EQ(m.find_attribute(0, 0x0801), nullptr);
  EXPECT_EQ(u64_at(m.find_attribute(1, 0x080C)->value, 9), 99u);
  EXPECT_TRUE(m.find_attribute(0, 0x1607)->read_only);

  const std::string json = testutil::read_file(dir_ / "cartridge.json");
  json_object* root = json_tokener_parse(json.c_str());
  ASSERT_NE(root, nullptr);
  json_object *faults = nullptr, *not_ready = nullptr, *inquiry = nullptr;
  ASSERT_TRUE(json_object_object_get_ex(root, "faults", &faults));
  ASSERT_TRUE(json_object_object_get_ex(faults, "not_ready", &not_ready));
  EXPECT_EQ(json_object_get_int(not_ready), 2);
  EXPECT_TRUE(json_object_object_get_ex(root, "inquiry", &inquiry));
  json_object_put(root);

  const simh::Walk w = simh::walk_cartridge(dir_.path());
  EXPECT_TRUE(has_problem(w, "application name"));
  EXPECT_TRUE(has_problem(w, "VCI of partition 1: partial reference count"));
  EXPECT_TRUE(has_problem(w, "VCI of partition 1: last RCM block"));
  EXPECT_FALSE(has_problem(w, "VCI of partition 0"));
}

}  // namespace

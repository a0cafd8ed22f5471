// make_cartridge run as a program: a tree of objects in two buckets becomes a cartridge whose
// SIMH files, walked by their own block offsets, give back every file; same input, same bytes;
// bad invocations are refused and nothing is written outside the cartridge directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cartridge/cartridge_format.h"
#include "cartridge/cartridge_writer.h"
#include "common/simh_image.h"
#include "common/test_util.h"

namespace fs = std::filesystem;

namespace {

struct TreeFile {
  std::string bucket;
  std::string key;
  std::vector<uint8_t> content;
  int64_t mtime = 0;
};

// Two buckets of a few hundred files in nested directories, of sizes from 0 to a few blocks.
std::vector<TreeFile> make_tree(const std::string& root) {
  std::vector<TreeFile> files;
  for (int i = 0; i < 300; ++i) {
    TreeFile f;
    f.bucket = i % 3 == 0 ? "logs.2024" : "photos";
    f.key = std::string("d").append(std::to_string(i % 7)).append("/s");
    f.key.append(std::to_string(i % 4)).append("/f").append(std::to_string(i));
    f.key.append(i % 2 ? ".bin" : ".txt");
    if (i % 50 == 0) f.key = std::string("top-").append(std::to_string(i));
    f.content.resize(i % 13 == 0 ? 0 : (i * 977) % 12000 + 1);
    vtape::fill_pattern(i, 0, f.content);
    f.mtime = 1600000000 + i * 61;
    const fs::path path = fs::path(root) / f.bucket / f.key;
    fs::create_directories(path.parent_path());
    testutil::write_bytes(path.string(), f.content);
    const timespec times[2] = {{f.mtime, 250000000}, {f.mtime, 250000000}};
    EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    files.push_back(std::move(f));
  }
  return files;
}

std::string json_member(const std::string& json, const std::string& key) {
  const std::string open = "\"" + key + "\":\"";
  const size_t at = json.find(open);
  if (at == std::string::npos) return "";
  const size_t start = at + open.size();
  return json.substr(start, json.find('"', start) - start);
}

std::string problems_of(const simh::Walk& w) {
  std::string all;
  for (const std::string& p : w.problems) all += p + "\n";
  return all;
}

testutil::RunResult make_cartridge(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv = {testutil::bin("make_cartridge")};
  argv.insert(argv.end(), args.begin(), args.end());
  return testutil::run(argv, cwd);
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(MakeCartridge, TurnsATreeOfTwoBucketsIntoASoundCartridge) {
  testutil::TempDir work;
  const std::vector<TreeFile> files = make_tree(work / "objs");
  const testutil::RunResult r = make_cartridge({"-b", "4096", "-p", "7", "-o", "3", "-r", "2", "-V",
                                                "TST001", "-B", "TST001L8", "objs", "cart"},
                                               work.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("make_cartridge: wrote cart: 2 buckets, 300 objects,"), std::string::npos)
      << r.out;
  EXPECT_EQ(entries(work / "cart"),
            (std::vector<std::string>{"cartridge.json", "p0.tap", "p1.tap"}));
  EXPECT_EQ(entries(work.path()), (std::vector<std::string>{"cart", "objs"}));

  const simh::Walk w = simh::walk_cartridge(work / "cart");
  EXPECT_TRUE(w.problems.empty()) << problems_of(w);
  EXPECT_EQ(w.block_size, 4096u);
  ASSERT_EQ(w.objects.size(), files.size());
  std::map<std::pair<std::string, std::string>, const TreeFile*> by_name;
  for (const TreeFile& f : files) by_name[{f.bucket, f.key}] = &f;
  std::vector<std::pair<std::string, std::string>> order;
  for (const simh::FoundObject& o : w.objects) {
    order.emplace_back(o.bucket_name, o.key);
    auto it = by_name.find({o.bucket_name, o.key});
    ASSERT_NE(it, by_name.end()) << o.bucket_name << "/" << o.key;
    EXPECT_EQ(o.data, it->second->content) << o.key;
    EXPECT_EQ(json_member(o.metadata, "LastModifiedTime"),
              vtape::utc_text(it->second->mtime, 250000))
        << o.key;
    EXPECT_NE(o.metadata.find("\"VendorHalveronMetadata\""), std::string::npos);
  }
  // Buckets in name order, keys in byte order within each.
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(order.front().first, "logs.2024");

  const simh::Partition p0 = simh::read_partition(work / "cart/p0.tap");
  EXPECT_EQ(std::string(p0[0].data.begin(), p0[0].data.end()).substr(0, 10), "VOL1TST001");
  const std::string manifest = testutil::read_file(work / "cart/cartridge.json");
  EXPECT_NE(manifest.find(vtape::to_hex(
                std::vector<uint8_t>{'T', 'S', 'T', '0', '0', '1', 'L', '8', ' ', ' '})),
            std::string::npos);
  const simh::MarkerRead label = simh::read_marker(p0, 2);
  const std::string label_text(label.bytes.begin(), label.bytes.end());
  // The format time is the newest modification time.
  EXPECT_EQ(json_member(label_text, "FormatTime"), vtape::utc_text(1600000000 + 299 * 61, 250000));
}

TEST(MakeCartridge, SameTreeAndOptionsGiveIdenticalFiles) {
  testutil::TempDir work;
  make_tree(work / "objs");
  ASSERT_EQ(make_cartridge({"-b", "8192", "objs", "one"}, work.path()).status, 0);
  ASSERT_EQ(make_cartridge({"-b", "8192", "objs", "two"}, work.path()).status, 0);
  ASSERT_EQ(make_cartridge({"-b", "8192", "-s", "2", "objs", "three"}, work.path()).status, 0);
  for (const char* f : {"p0.tap", "p1.tap", "cartridge.json"}) {
    EXPECT_EQ(testutil::read_bytes(work / "one/" + f), testutil::read_bytes(work / "two/" + f))
        << f;
  }
  EXPECT_NE(testutil::read_bytes(work / "one/p1.tap"), testutil::read_bytes(work / "three/p1.tap"));
  // A cartridge directory that holds a cartridge is replaced only with --overwrite.
  const testutil::RunResult refused = make_cartridge({"-b", "8192", "objs", "three"}, work.path());
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("CARTRIDGE_DIR three already holds a cartridge (cartridge.json): "
                             "give --overwrite to replace it"),
            std::string::npos)
      << refused.err;
  EXPECT_NE(testutil::read_bytes(work / "one/p1.tap"), testutil::read_bytes(work / "three/p1.tap"));
  ASSERT_EQ(make_cartridge({"--overwrite", "-b", "8192", "objs", "three"}, work.path()).status, 0);
  EXPECT_EQ(testutil::read_bytes(work / "one/p1.tap"), testutil::read_bytes(work / "three/p1.tap"));
}

// Any one file of a cartridge (a link under its name too) makes the directory one that holds a
// cartridge; it is left as it was.
TEST(MakeCartridge, RefusesEachFileOfAnEarlierCartridgeWithoutOverwrite) {
  testutil::TempDir work;
  make_tree(work / "objs");
  for (const char* name : {"cartridge.json", "p0.tap", "p1.tap"}) {
    fs::remove_all(work / "cart");
    fs::create_directories(work / "cart");
    fs::create_symlink(work / "no-such-file", work / "cart/" + name);
    const testutil::RunResult r = make_cartridge({"objs", "cart"}, work.path());
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_NE(r.err.find(std::string("already holds a cartridge (") + name + ")"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(entries(work / "cart"), std::vector<std::string>{name});
  }
}

TEST(MakeCartridge, FixedTimeReplacesModificationTimes) {
  testutil::TempDir work;
  make_tree(work / "objs");
  const std::string t = "2030-01-02T03:04:05.678901Z";
  ASSERT_EQ(make_cartridge({"-t", t, "-p", "100", "objs", "cart"}, work.path()).status, 0);
  const simh::Walk w = simh::walk_cartridge(work / "cart");
  EXPECT_TRUE(w.problems.empty()) << problems_of(w);
  EXPECT_EQ(w.block_size, 1048576u);
  for (const simh::FoundObject& o : w.objects) {
    EXPECT_EQ(json_member(o.metadata, "LastModifiedTime"), t);
  }
  EXPECT_EQ(w.po_blocks.size(), 3u);  // 100 logs, then 200 photos in two
}

TEST(MakeCartridge, EmptyTreeGivesATapeWithoutPartialReferences) {
  testutil::TempDir work;
  fs::create_directories(work / "objs/empty-bucket");
  ASSERT_EQ(make_cartridge({"objs", "cart"}, work.path()).status, 0);
  const simh::Walk w = simh::walk_cartridge(work / "cart");
  EXPECT_TRUE(w.problems.empty()) << problems_of(w);
  EXPECT_TRUE(w.pr_blocks.empty());
  EXPECT_NE(w.bucket_list.find("empty-bucket"), std::string::npos);
}

TEST(MakeCartridge, RefusesBadInvocationsWithoutWritingAnything) {
  testutil::TempDir work;
  fs::create_directories(work / "objs/good-bucket/sub");
  testutil::write_file(work / "objs/good-bucket/sub/file", "data");

  const testutil::RunResult bare = make_cartridge({}, work.path());
  EXPECT_EQ(bare.status, 1);
  EXPECT_NE(bare.out.find("Usage: make_cartridge [options] OBJECTS_DIR CARTRIDGE_DIR"),
            std::string::npos);
  const testutil::RunResult help = make_cartridge({"--help"}, work.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--objects-per-po"), std::string::npos);

  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"objs"}, "expected OBJECTS_DIR and CARTRIDGE_DIR"},
      {{"missing", "cart"}, "OBJECTS_DIR missing is not a directory"},
      {{"-V", "abc123", "objs", "cart"}, "--volume-id must be 6 upper-case letters or digits"},
      {{"-b", "4095", "objs", "cart"}, "--block-size must be a number from 4096 to 16777215"},
      {{"-p", "0", "objs", "cart"}, "--objects-per-po must be a number from 1"},
      {{"-t", "2030-01-02", "objs", "cart"}, "--time must read YYYY-MM-DDThh:mm:ss.uuuuuuZ"},
      {{"-B", std::string(33, 'X'), "objs", "cart"}, "--barcode must be 1 to 32"},
      {{"--bogus", "objs", "cart"}, "unknown option --bogus"},
      {{"-s"}, "option -s needs a value"},
      {{"objs", "objs/good-bucket/cart"}, "lies inside OBJECTS_DIR"},
      {{"objs", "objs"}, "lies inside OBJECTS_DIR"},
      {{"objs", "no/such/parent"}, "cannot create CARTRIDGE_DIR no/such/parent"},
  };
  for (const auto& [args, message] : cases) {
    const testutil::RunResult r = make_cartridge(args, work.path());
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_NE(r.err.find("[SYS_ERR] "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  }
  EXPECT_EQ(entries(work.path()), std::vector<std::string>{"objs"});
  EXPECT_EQ(entries(work / "objs/good-bucket"), std::vector<std::string>{"sub"});

  fs::create_directories(work / "objs/Bad_Bucket");
  testutil::RunResult r = make_cartridge({"objs", "cart"}, work.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("bucket directory \"Bad_Bucket\" breaks the bucket name rules"),
            std::string::npos)
      << r.err;
  fs::remove(work / "objs/Bad_Bucket");
  testutil::write_file(work / "objs/stray", "x");
  r = make_cartridge({"objs", "cart"}, work.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("only bucket directories may stand directly under OBJECTS_DIR"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(testutil::exists(work / "cart"));
}

TEST(MakeCartridge, LinksInsideTheTreeOrTheCartridgeDirectoryAreNotFollowed) {
  testutil::TempDir work;
  fs::create_directories(work / "objs/bucket-a");
  testutil::write_file(work / "objs/bucket-a/real", "real");
  testutil::write_file(work / "outside", "keep me");
  fs::create_symlink(work / "outside", work / "objs/bucket-a/link");
  fs::create_directories(work / "cart");
  fs::create_symlink(work / "outside", work / "cart/cartridge.json");
  fs::create_symlink(work / "outside", work / "cart/.p1.tap.part");

  const testutil::RunResult r = make_cartridge({"--overwrite", "objs", "cart"}, work.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("skipped objs/bucket-a/link (not a regular file)"), std::string::npos);
  EXPECT_EQ(testutil::read_file(work / "outside"), "keep me");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(work / "cart/cartridge.json")));
  EXPECT_EQ(entries(work / "cart"),
            (std::vector<std::string>{"cartridge.json", "p0.tap", "p1.tap"}));
  const simh::Walk w = simh::walk_cartridge(work / "cart");
  EXPECT_TRUE(w.problems.empty()) << problems_of(w);
  ASSERT_EQ(w.objects.size(), 1u);
  EXPECT_EQ(w.objects[0].key, "real");
}

}  // namespace

// make_cartridge --versions: files named NAME@vN become versions of the key NAME, in increasing
// N, each with its own "Version" and LastModifiedTime; object_reader then finds the highest N as
// the latest version. Without the option such names are plain keys; bad names are refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "cartridge/cartridge_format.h"
#include "common/simh_image.h"
#include "common/test_util.h"

namespace fs = std::filesystem;

namespace {

const char kTime[] = "2030-01-02T03:04:05.678901Z";

testutil::RunResult make_cartridge(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv = {testutil::bin("make_cartridge")};
  argv.insert(argv.end(), args.begin(), args.end());
  return testutil::run(argv, cwd);
}

// The value of a member of a flat JSON text: a quoted string without its quotes, or "" when the
// member is missing.
std::string json_member(const std::string& json, const std::string& key) {
  const std::string open = "\"" + key + "\":\"";
  const size_t at = json.find(open);
  if (at == std::string::npos) return "";
  const size_t start = at + open.size();
  return json.substr(start, json.find('"', start) - start);
}

void write_with_mtime(const std::string& path, const std::string& content, int64_t mtime) {
  fs::create_directories(fs::path(path).parent_path());
  testutil::write_file(path, content);
  const timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Bucket "docs": three versions of "a/r.txt" (numbers 1, 2 and 10, so that byte order of the
// names and version order differ), a plain file, and a name whose "@v" is not followed by
// digits only. Modification times increase with the version number.
void make_versioned_tree(const std::string& root) {
  write_with_mtime(root + "/docs/a/r.txt@v1", "first", 1700000000);
  write_with_mtime(root + "/docs/a/r.txt@v2", "second", 1700000100);
  write_with_mtime(root + "/docs/a/r.txt@v10", "tenth", 1700000200);
  write_with_mtime(root + "/docs/plain", "plain", 1700000300);
  write_with_mtime(root + "/docs/mail@vx", "not a version", 1700000400);
}

struct Seen {
  std::string key, version, time, data;
};

std::vector<Seen> objects_of(const std::string& cartridge) {
  const simh::Walk w = simh::walk_cartridge(cartridge);
  std::string problems;
  for (const std::string& p : w.problems) problems += p + "\n";
  EXPECT_TRUE(w.problems.empty()) << problems;
  std::vector<Seen> seen;
  for (const simh::FoundObject& o : w.objects) {
    seen.push_back({o.key, json_member(o.metadata, "Version"),
                    json_member(o.metadata, "LastModifiedTime"),
                    std::string(o.data.begin(), o.data.end())});
  }
  return seen;
}

TEST(MakeCartridgeVersions, VersionFilesBecomeVersionsOfOneKeyInNumberOrder) {
  testutil::TempDir work;
  make_versioned_tree(work / "objs");
  const testutil::RunResult r = make_cartridge({"--versions", "objs", "cart"}, work.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<Seen> seen = objects_of(work / "cart");
  ASSERT_EQ(seen.size(), 5u);
  const std::vector<std::string> keys = {"a/r.txt", "a/r.txt", "a/r.txt", "mail@vx", "plain"};
  const std::vector<std::string> versions = {"v1", "v2", "v10", "", ""};
  const std::vector<std::string> data = {"first", "second", "tenth", "not a version", "plain"};
  const std::vector<int64_t> mtimes = {1700000000, 1700000100, 1700000200, 1700000400, 1700000300};
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].key, keys[i]);
    EXPECT_EQ(seen[i].version, versions[i]) << i;
    EXPECT_EQ(seen[i].data, data[i]);
    EXPECT_EQ(seen[i].time, vtape::utc_text(mtimes[i], 0)) << i;
  }

  // With a fixed time, version N is N seconds after it; other objects keep the time itself.
  ASSERT_EQ(make_cartridge({"--versions", "-t", kTime, "objs", "fixed"}, work.path()).status, 0);
  const std::vector<Seen> fixed = objects_of(work / "fixed");
  ASSERT_EQ(fixed.size(), 5u);
  EXPECT_EQ(fixed[0].time, "2030-01-02T03:04:06.678901Z");
  EXPECT_EQ(fixed[1].time, "2030-01-02T03:04:07.678901Z");
  EXPECT_EQ(fixed[2].time, "2030-01-02T03:04:15.678901Z");
  EXPECT_EQ(fixed[3].time, kTime);
  EXPECT_EQ(fixed[4].time, kTime);

  // Same tree and options, same files.
  ASSERT_EQ(make_cartridge({"--versions", "-t", kTime, "objs", "again"}, work.path()).status, 0);
  for (const char* f : {"p0.tap", "p1.tap", "cartridge.json"}) {
    EXPECT_EQ(testutil::read_bytes(work / "fixed/" + f), testutil::read_bytes(work / "again/" + f))
        << f;
  }
}

TEST(MakeCartridgeVersions, WithoutTheOptionVersionNamesArePlainKeys) {
  testutil::TempDir work;
  make_versioned_tree(work / "objs");
  ASSERT_EQ(make_cartridge({"-t", kTime, "objs", "cart"}, work.path()).status, 0);
  const std::vector<Seen> seen = objects_of(work / "cart");
  std::vector<std::string> keys;
  for (const Seen& s : seen) {
    keys.push_back(s.key);
    EXPECT_EQ(s.version, "");
    EXPECT_EQ(s.time, kTime);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"a/r.txt@v1", "a/r.txt@v10", "a/r.txt@v2", "mail@vx",
                                            "plain"}));
}

TEST(MakeCartridgeVersions, VersionsOutOfTimeOrderAreReported) {
  testutil::TempDir work;
  write_with_mtime(work / "objs/docs/k@v1", "one", 1700000500);
  write_with_mtime(work / "objs/docs/k@v2", "two", 1700000400);
  const testutil::RunResult r = make_cartridge({"--versions", "objs", "cart"}, work.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("[WARNING] "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("objs/docs/k@v2 is not newer than objs/docs/k@v1"), std::string::npos)
      << r.err;
  // A fixed time orders them by number: no warning.
  const testutil::RunResult fixed =
      make_cartridge({"--overwrite", "--versions", "-t", kTime, "objs", "cart"}, work.path());
  ASSERT_EQ(fixed.status, 0);
  EXPECT_EQ(fixed.err, "");
}

TEST(MakeCartridgeVersions, AmbiguousNamesAndTimesAreRefused) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"k@v0"}, "k@v0: a version file is named NAME@vN"},
      {{"k@v01"}, "k@v01: a version file is named NAME@vN"},
      {{"sub/@v3"}, "@v3: a version file is named NAME@vN"},
      {{"k@v99999999999999999999"}, "a version file is named NAME@vN"},
      {{"k", "k@v1"}, "give the same key: with --versions every file of a key is named NAME@vN"},
  };
  for (const auto& [names, message] : cases) {
    testutil::TempDir work;
    for (const std::string& name : names) write_with_mtime(work / "objs/docs/" + name, "x", 1);
    const testutil::RunResult r = make_cartridge({"--versions", "objs", "cart"}, work.path());
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_FALSE(testutil::exists(work / "cart"));
    // Without the option the same names are plain keys.
    EXPECT_EQ(make_cartridge({"objs", "cart"}, work.path()).status, 0) << message;
  }

  testutil::TempDir work;
  write_with_mtime(work / "objs/docs/k@v1", "x", 1);
  for (const char* time : {"2030-02-30T00:00:00.000000Z", "2030-01-01T24:00:00.000000Z"}) {
    const testutil::RunResult r =
        make_cartridge({"--versions", "-t", time, "objs", "cart"}, work.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(std::string("--time \"") + time + "\" is not a valid time"),
              std::string::npos)
        << r.err;
  }
  write_with_mtime(work / "objs/docs/k@v4000", "x", 1);
  const testutil::RunResult late = make_cartridge(
      {"--versions", "-t", "9999-12-31T23:50:00.000000Z", "objs", "cart"}, work.path());
  EXPECT_EQ(late.status, 1);
  EXPECT_NE(late.err.find("k@v4000: --time plus 4000 seconds lies beyond the year 9999"),
            std::string::npos)
      << late.err;
}

// The reader picks the highest version as the latest, and every version with "all".
TEST(MakeCartridgeVersions, ReaderRetrievesTheHighestVersionAsLatest) {
  testutil::TempDir work;
  make_versioned_tree(work / "objs");
  ASSERT_EQ(make_cartridge({"--versions", "-t", kTime, "objs", "cart"}, work.path()).status, 0);
  fs::create_directories(work / "save");
  fs::create_directories(work / "run");
  const std::string reader = testutil::bin("object_reader");
  const testutil::RunResult list =
      testutil::run({reader, "-d", work / "cart", "-l", "-F", "-s", work / "save"}, work / "run");
  ASSERT_EQ(list.status, 0) << list.err;
  const std::string lst = testutil::read_file(work / "save/QT0001L8/docs_0001.lst");
  EXPECT_EQ(testutil::count(lst, "\"version_id\":\"v"), 3u);

  const testutil::RunResult retrieved = testutil::run(
      {reader, "-d", work / "cart", "-b", "docs", "-o", "a/r.txt", "-F", "-s", work / "save"},
      work / "run");
  ASSERT_EQ(retrieved.status, 0) << retrieved.err;
  std::vector<std::string> contents;
  for (const auto& e : fs::recursive_directory_iterator(work / "save/docs/0000/0000")) {
    if (e.path().extension() == ".data") contents.push_back(testutil::read_file(e.path()));
  }
  EXPECT_EQ(contents, std::vector<std::string>{"tenth"});

  const testutil::RunResult all = testutil::run({reader, "-d", work / "cart", "-b", "docs", "-o",
                                                 "a/r.txt", "-O", "all", "-F", "-s", work / "save"},
                                                work / "run");
  ASSERT_EQ(all.status, 0) << all.err;
  std::set<std::string> every;
  for (const auto& e : fs::recursive_directory_iterator(work / "save/docs/0000/0000")) {
    if (e.path().extension() == ".data") every.insert(testutil::read_file(e.path()));
  }
  EXPECT_EQ(every, (std::set<std::string>{"first", "second", "tenth"}));
}

}  // namespace

namespace {

// The member's JSON text in a metadata text, "" when missing (objects and literals only).
std::string raw_member(const std::string& json, const std::string& key) {
  const std::string open = "\"" + key + "\":";
  const size_t at = json.find(open);
  if (at == std::string::npos) return "";
  const size_t start = at + open.size();
  return json.substr(start, json[start] == '{' ? json.find('}', start) - start + 1
                                               : json.find_first_of(",}", start) - start);
}

}  // namespace

// A description file gives what a tree cannot: versions out of time order, delete markers,
// metadata (an empty value too) and content headers, on the tape in the lines' order; a bad line
// is refused with its number.
TEST(MakeCartridgeVersions, DescriptionFileRoundTrip) {
  testutil::TempDir work;
  testutil::write_file(work / "body-v2", "second");
  testutil::write_file(work / "body-v1", "first");
  testutil::write_file(
      work / "objects.jsonl",
      "# versions of one key, newest first, then its delete marker\n"
      R"({"bucket":"docs","key":"a.txt","data":"body-v2","modified":"2030-01-02T03:04:06.000000Z",)"
      R"("version":"v2","metadata":{"owner":"ops","empty":""},"headers":{"ContentType":"text/plain"}})"
      "\n\n"
      R"({"bucket":"docs","key":"a.txt","data":"body-v1","version":"v1"})" "\n"
      R"({"bucket":"logs","key":"a.txt","version":"v3","deleted":true})" "\n");
  const testutil::RunResult r =
      make_cartridge({"-t", kTime, "--from", "objects.jsonl", "cart"}, work.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const simh::Walk w = simh::walk_cartridge(work / "cart");
  ASSERT_TRUE(w.problems.empty());
  ASSERT_EQ(w.objects.size(), 3u);
  const std::vector<std::string> data = {"second", "first", ""};
  const std::vector<std::string> times = {"2030-01-02T03:04:06.000000Z", kTime, kTime};
  const std::vector<std::string> deleted = {"", "", "true"};
  for (size_t i = 0; i < w.objects.size(); ++i) {
    const std::string& meta = w.objects[i].metadata;
    EXPECT_EQ(w.objects[i].key, "a.txt");
    EXPECT_EQ(std::string(w.objects[i].data.begin(), w.objects[i].data.end()), data[i]);
    EXPECT_EQ(json_member(meta, "LastModifiedTime"), times[i]) << i;
    EXPECT_EQ(json_member(meta, "Version"), "v" + std::to_string(i == 0 ? 2 : i == 1 ? 1 : 3));
    EXPECT_EQ(raw_member(meta, "IsDeleted"), deleted[i]) << meta;
  }
  EXPECT_EQ(raw_member(w.objects[0].metadata, "UserMetadata"), R"({"owner":"ops","empty":""})");
  EXPECT_EQ(json_member(w.objects[0].metadata, "ContentType"), "text/plain");

  for (const char* bad : {R"({"bucket":"docs","key":"k","colour":"red"})",
                          R"({"bucket":"docs","key":"k","headers":{"Expires":"x"}})",
                          R"({"bucket":"Docs","key":"k"})", "[1]"}) {
    testutil::write_file(work / "bad.jsonl", std::string("# comment\n") + bad + "\n");
    const testutil::RunResult refused =
        make_cartridge({"-t", kTime, "--from", "bad.jsonl", "--overwrite", "cart"}, work.path());
    EXPECT_EQ(refused.status, 1) << bad;
    EXPECT_NE(refused.err.find("bad.jsonl line 2: "), std::string::npos) << refused.err;
  }
}

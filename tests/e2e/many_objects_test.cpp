// Many objects in one pass: the listing of a tape on standard output, a retrieval list served in
// one forward pass, and a dump or list run that writes only the objects selected.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e/reader_fixture.h"

namespace {

namespace fs = std::filesystem;
using testutil::RunResult;

class ManyObjectsTest : public e2e::ReaderTest {
 protected:
  void SetUp() override {
    build(vtape::sample_description());
    fs::create_directories(save());
  }

  // The listing's line of object `i`.
  std::string listing_line(size_t i) const {
    const vtape::ObjectLayout& o = layout_.objects[i];
    return o.bucket_name + "\t" + o.key + "\t" + o.version.value_or("") + "\t" + o.list_id + "\t" +
           std::to_string(o.data_size) + "\t" + o.last_modified + "\t" +
           std::to_string(o.po_block) + "\t" + std::to_string(o.list_offset) + "\n";
  }
};

TEST_F(ManyObjectsTest, ListingOnStandardOutputInTapeOrder) {
  const RunResult r = reader({"-l", "--ls"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string want;
  for (size_t i = 0; i < layout_.objects.size(); ++i) want += listing_line(i);
  EXPECT_EQ(r.out, want);  // nothing else: the messages and the summary went to standard error
  EXPECT_NE(r.err.find("[COMMON] Objects: "), std::string::npos);
  const RunResult json = reader({"-l", "--ls", "--ls-format", "json"});
  ASSERT_EQ(json.status, 0) << json.err;
  const vtape::ObjectLayout& first = layout_.objects[0];
  EXPECT_TRUE(json.out.starts_with("{\"bucket\":\"" + first.bucket_name + "\",\"key\":\"" +
                                   first.key + "\",\"version\":\"\",\"object_id\":\"" +
                                   first.list_id + "\",\"size\":" +
                                   std::to_string(first.data_size) + ","))
      << json.out;
  EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'),
            static_cast<long>(layout_.objects.size()));
}

// Lines in any order, one bad, one for a missing key, one asked twice: the rest is read in one
// forward pass over the data partition, and the status says that not everything was served.
TEST_F(ManyObjectsTest, RetrievalListIsServedInOneForwardPass) {
  const size_t late = 20, early = 2;
  const vtape::ObjectLayout& a = layout_.objects[late];
  const vtape::ObjectLayout& b = layout_.objects[early];
  testutil::write_file(work() + "/wanted.txt",
                       a.bucket_name + "\t" + a.key + "\n" + "no tab here\n\n" + b.bucket_name +
                           "\t" + b.key + "\tlatest\n" + b.bucket_name + "\tmissing/key\n" +
                           a.bucket_name + "\t" + a.key + "\t" + a.list_id + "\n" +
                           "logs.2024\tversioned.txt\tall\n");
  const RunResult r = reader({"-l", "--retrieve-list", "wanted.txt", "-v", "vvvvvv"});
  EXPECT_EQ(r.status, 1) << r.err;
  // Six objects asked for (the refused line too), five versions found, one of them asked twice.
  EXPECT_NE(r.out.find("[COMMON] Asked: 6; found 5 ("), std::string::npos) << r.out;
  EXPECT_EQ(e2e::report_lines(r.err),
            (std::vector<std::string>{
                "[ERROR  ] [COMMON] Line 2 of the retrieval list: it is not a bucket, a tab and a "
                "key.",
                "[ERROR  ] [COMMON] Line 5 of the retrieval list (" + b.bucket_name +
                    ", missing/key): no such object on the tape."}));
  std::map<std::string, std::string> want;
  for (const auto& [path, content] : e2e::expected_dump(desc_, layout_, 0, SIZE_MAX, 0)) {
    const bool asked = path.find("/" + a.key + "/" + a.list_id) != std::string::npos ||
                       path.find("/" + b.key + "/" + b.list_id) != std::string::npos ||
                       path.find("/versioned.txt/") != std::string::npos;
    std::string retrieved = path;  // a retrieval writes into directories 0000/0000
    if (asked) want[retrieved.replace(path.find('/') + 1, 9, "0000/0000")] = content;
  }
  std::map<std::string, std::string> got;
  for (const auto& [path, content] : saved()) {
    if (!path.ends_with(".lst")) got[path] = content;
  }
  e2e::expect_same_files(got, want);
  // Once the data partition is reached, every LOCATE goes forward.
  uint64_t last = 0;
  const std::string locate = "start:spti_locate_partition: partition=";
  for (size_t at = r.out.find(locate + "1, "); at != std::string::npos;
       at = r.out.find(locate, at + 1)) {
    const size_t block = r.out.find("block=", at) + 6;
    EXPECT_GE(std::stoull(r.out.substr(block)), last) << r.out.substr(at, 80);
    last = std::stoull(r.out.substr(block));
  }
  EXPECT_GT(last, 0u);
}

// A selection: the dump writes the versions of one key of one bucket, and records the selection,
// which a resume must repeat.
TEST_F(ManyObjectsTest, SelectionWritesOnlyWhatItNames) {
  const RunResult r = reader({"-f", "--bucket-filter", "logs.2024", "--prefix", "versioned",
                              "--report", work() + "/selection.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::report_lines(r.err), std::vector<std::string>{});
  // The packed objects without a selected object are not read.
  ASSERT_EQ(reader({"-l", "--report", work() + "/whole.json"}).status, 0);
  const auto bytes_read = [](const std::string& report) {
    const std::string text = testutil::read_file(report);
    const size_t at = text.find("\"bytes_read\":");
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + 13));
  };
  EXPECT_LT(bytes_read(work() + "/selection.json"), bytes_read(work() + "/whole.json") / 2);
  std::map<std::string, std::string> want;
  for (const auto& [path, content] : e2e::expected_dump(desc_, layout_)) {
    if (path.starts_with("logs.2024/") && path.find("/versioned.txt/") != std::string::npos) {
      want[path] = content;
    }
  }
  ASSERT_EQ(want.size(), 6u);
  std::map<std::string, std::string> got;
  for (const auto& [path, content] : saved()) {
    if (path.find("reference_partition/") == std::string::npos) got[path] = content;
  }
  e2e::expect_same_files(got, want);
  EXPECT_NE(r.out.find("Objects: 3 written, 0 already there"), std::string::npos) << r.out;
  const RunResult resumed = reader({"-r"});
  EXPECT_EQ(resumed.status, 1);
  EXPECT_EQ(e2e::report_lines(resumed.err),
            std::vector<std::string>{
                "[SYS_ERR] [COMMON] The dump of the tape " + tape_id_ + " " +
                "was made with the selection (buckets: logs.2024; prefix: versioned), this "
                "resume asks for (every object). Resume it with the --bucket-filter and --prefix "
                "of the dump."});
}

}  // namespace

namespace {

// A second pass: a dump loses the objects of an unreadable block and records where they lie; once
// the block reads (here: the image mended), -r --retry-lost brings back exactly those objects,
// where a retrieval writes them, and the record goes.
TEST_F(ManyObjectsTest, SecondPassBringsBackWhatADumpLost) {
  const size_t lost = 6;
  vtape::Deviations damage;
  damage.unreadable.push_back({1, layout_.objects[lost].meta_block + 1});
  build(desc_, damage);
  const std::string record = tape_dir() + "/lost_places.jsonl";
  ASSERT_EQ(reader({"-f"}).status, 2);
  ASSERT_TRUE(fs::exists(record));
  const std::string places = testutil::read_file(record);
  EXPECT_EQ(std::count(places.begin(), places.end(), '\n'), 1) << places;
  // Still unreadable: --salvage keeps what reads beside the map of the hole, never as the object.
  const vtape::ObjectLayout o = layout_.objects[lost];  // a copy: the cartridge is built again
  const std::string base = save() + "/" + o.bucket_name + "/0000/0000/" + o.key + "/" + o.list_id;
  const RunResult salvaged = reader({"-r", "--retry-lost", "--salvage"});
  EXPECT_EQ(salvaged.status, 2) << salvaged.err;
  const uint64_t bs = layout_.block_size;
  const uint64_t start = o.po_block * bs + o.list_offset + o.metadata.size();
  const uint64_t hole = (o.meta_block + 2) * bs - start - bs;
  std::string want = e2e::text_of(desc_.objects[lost].data.read_all());
  const uint64_t hole_length = std::min<uint64_t>(bs, want.size() - hole);
  want.replace(hole, hole_length, std::string(hole_length, '\0'));
  EXPECT_EQ(testutil::read_file(base + ".data.partial"), want);
  EXPECT_EQ(testutil::read_file(base + ".holes.json"),
            "{\"size\":" + std::to_string(want.size()) + ",\"read\":" +
                std::to_string(want.size() - hole_length) + ",\"holes\":[[" +
                std::to_string(hole) + "," + std::to_string(hole_length) + "]]}\n");
  EXPECT_FALSE(fs::exists(base + ".data"));
  EXPECT_TRUE(fs::exists(record));
  // A list run does not list it; a retrieval by its key finds it in the record of places.
  ASSERT_EQ(reader({"-l"}).status, 2);
  const RunResult by_key = reader({"-b", o.bucket_name, "-o", o.key});
  EXPECT_EQ(by_key.status, 2) << by_key.err;
  EXPECT_TRUE(e2e::has_line(by_key.err, "The object is not in the list files: a dump of the tape "
                                        "lost it. It is read again from the place the dump "
                                        "recorded."))
      << by_key.err;

  build(desc_);  // the block reads again
  const RunResult r = reader({"-r", "--retry-lost"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testutil::read_file(base + ".meta"), o.metadata);
  EXPECT_EQ(testutil::read_file(base + ".data"), e2e::text_of(desc_.objects[lost].data.read_all()));
  EXPECT_NE(r.out.find("Objects: 1 written"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(record));
  const RunResult again = reader({"-r", "--retry-lost"});
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.out.find("is recorded as lost in " + save() + ": there is nothing to read again."),
            std::string::npos)
      << again.out;
}

}  // namespace

// object_reader restoring builder cartridges into the local store (--s3), read back with curl:
// every version with its body, headers and user metadata, the tape's latest current whatever the
// order on tape, a delete marker as one, a large object as a multipart upload, a body that its
// "ContentMd5" contradicts not stored, a store that refuses the credentials, a resume after a
// stop that adds no second version, and a restore killed and resumed that ends with the versions
// of one restore and counts what it left out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "e2e/reader_fixture.h"
#include "s3/store_reader.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testutil::RunResult;

constexpr uint64_t kLargeObjectBytes = 200 * s3::kMiB;
constexpr uint8_t kRead = 0x08;

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

vtape::ObjectEntry object(size_t bucket, const std::string& key, const std::string& body,
                          int second, const std::string& version,
                          std::vector<std::pair<std::string, std::string>> members = {}) {
  char time[32];
  std::snprintf(time, sizeof(time), "2024-06-01T12:00:%02d.000000Z", second);
  vtape::ObjectEntry o;
  o.bucket = bucket;
  o.key = key;
  o.data = vtape::ObjectData::text(body);
  o.last_modified = time;
  o.version = version;
  o.members = std::move(members);
  return o;
}

// One entry of the run's report: what became of an object, and the address of its version.
struct Reported {
  std::string outcome;
  std::string address;
};

class S3RestoreTest : public e2e::ReaderTest {
 protected:
  void SetUp() override {
    if (s3test::environment("OR_S3_ENDPOINT").empty()) {
      GTEST_SKIP() << "OR_S3_ENDPOINT is not set (scripts/s3-server.sh start prints it)";
    }
    endpoint_ = s3test::environment("OR_S3_ENDPOINT");
    std::string problem;
    credentials_ = s3::credentials_from_environment(&problem);
    ASSERT_EQ(problem, "");
    prefix_ = "or-e2e-" + std::to_string(getpid()) + "-";
  }

  // The program restoring into the store (its buckets named after `prefix`, the test's own by
  // default), with a report.
  RunResult restore(std::vector<std::string> args, const std::string& prefix = "") const {
    args.insert(args.end(), {"--s3", endpoint_, "--s3-bucket-prefix",
                             prefix.empty() ? prefix_ : prefix, "--report", tmp_ / "report.json"});
    return reader(args);
  }

  s3test::StoreReader store() const { return {endpoint_, credentials_, tmp_.path()}; }
  std::string bucket(const std::string& tape_bucket) const { return prefix_ + tape_bucket; }

  // The objects of the last report, by object identifier.
  std::map<std::string, Reported> reported() const {
    std::map<std::string, Reported> found;
    json_object* root = json_tokener_parse(testutil::read_file(tmp_ / "report.json").c_str());
    json_object* objects = nullptr;
    EXPECT_TRUE(json_object_object_get_ex(root, "objects", &objects));
    for (size_t i = 0; objects != nullptr && i < json_object_array_length(objects); ++i) {
      json_object* entry = json_object_array_get_idx(objects, i);
      const auto text = [&](const char* name) {
        json_object* member = nullptr;
        json_object_object_get_ex(entry, name, &member);
        return std::string(json_object_get_string(member));
      };
      json_object* paths = nullptr;
      json_object_object_get_ex(entry, "paths", &paths);
      std::string address;
      if (json_object_array_length(paths) == 1) {
        address = json_object_get_string(json_object_array_get_idx(paths, 0));
        address.erase(0, endpoint_.size());
      }
      found[text("object_id")] = {text("outcome"), address};
    }
    json_object_put(root);
    return found;
  }

  // A figure the virtual drive counted in the last report.
  uint64_t drive_figure(const char* name) const {
    json_object* root = json_tokener_parse(testutil::read_file(tmp_ / "report.json").c_str());
    json_object* drive = nullptr;
    json_object* figure = nullptr;
    EXPECT_TRUE(json_object_object_get_ex(root, "virtual_drive", &drive) &&
                json_object_object_get_ex(drive, name, &figure))
        << name;
    const uint64_t value = static_cast<uint64_t>(json_object_get_int64(figure));
    json_object_put(root);
    return value;
  }

  std::string endpoint_;
  s3::Credentials credentials_;
  std::string prefix_;
};

TEST_F(S3RestoreTest, EveryVersionComesBackWithTheTapesLatestCurrent) {
  vtape::Description d;
  d.buckets = {{"docs"}, {"media"}};
  const s3::Md5 two = s3::md5_of(std::string_view("two"));
  d.objects = {
      // The latest first, then older ones: the latest must end current.
      object(0, "report.txt", "three", 3, "v3",
             {{"ContentType", quoted("text/plain")},
              {"ContentLanguage", quoted("en")},
              {"UserMetadata", R"({"Owner":"ops","note":"h\u00e9llo","empty":""})"}}),
      object(0, "report.txt", "one", 1, "v1", {{"ContentEncoding", quoted("identity")}}),
      object(0, "report.txt", "two", 2, "v2", {{"ContentMd5", quoted(s3::base64_encode(two))}}),
      object(0, "gone.txt", "here", 1, "v1"),
      object(0, "gone.txt", "", 2, "v2", {{"IsDeleted", "true"}}),
      object(0, "damaged.txt", "body", 1, "v1",
             {{"ContentMd5", quoted(s3::hex_encode(s3::md5_of(std::string_view("other"))))}}),
  };
  d.objects.push_back(object(1, "big.bin", "", 1, "v1"));
  d.objects.back().data = vtape::ObjectData::pattern(kLargeObjectBytes, 7);
  d.grouping = {.objects_per_po = 3, .pos_per_ocm = 2, .ocms_per_pr = 1};
  build(d);
  const std::vector<vtape::ObjectLayout>& tape = layout_.objects;

  // A wrong secret: one line, before the tape is read.
  const RunResult refused =
      testutil::run({"/usr/bin/env", "AWS_SECRET_ACCESS_KEY=wrong", testutil::bin("object_reader"),
                     "-d", cart(), "-F", "-s", save(), "-f", "--s3", endpoint_},
                    work());
  EXPECT_EQ(refused.status, 1);
  ASSERT_EQ(e2e::report_lines(refused.err).size(), 1U) << refused.err;
  EXPECT_THAT(refused.err, HasSubstr("[SYS_ERR] [COMMON] The S3 store at " + endpoint_ +
                                     " refuses the credentials of "));
  EXPECT_TRUE(fs::is_empty(work()));

  // The object its "ContentMd5" contradicts is not in the store: the status says so.
  const RunResult r = restore({"-f"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(e2e::report_lines(r.err),
            (std::vector<std::string>{
                "[ERROR  ] [COMMON] The data of the object (docs/damaged.txt (object id " +
                    tape[5].list_id +
                    ", version v1)) does not match its \"ContentMd5\" "
                    "(795f3202b17cb6bc3d4b771d8c6c9eaf): its MD5 is "
                    "841a2d689ad86bd1611447453c22c6fc. The object is not stored.",
                "[ERROR  ] [MISC  ] Some error has occurred at check_integrity.",
                "[ERROR  ] [COMMON] 1 object was not stored in the S3 store (named above). Run a "
                "full dump (-f) or the retrieval again: the versions stored already are found "
                "and not stored twice."}));
  EXPECT_THAT(testutil::strip_headers(r.out),
              HasSubstr("Objects: 6 stored, 0 already there, 0 refused, 1 not readable, 0 not "
                        "stored, 0 lost; "));
  EXPECT_EQ(store().versions(bucket("docs"), "damaged.txt").size(), 0U);

  // Each version as the report addresses it: its body and headers.
  const std::map<std::string, Reported> outcomes = reported();
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(tape[i].key + " " + tape[i].version.value_or(""));
    const Reported& got = outcomes.at(tape[i].list_id);
    EXPECT_EQ(got.outcome, "written");
    const s3test::Fetched fetched = store().fetch_path(got.address);
    EXPECT_EQ(fetched.status, 200);
    EXPECT_EQ(fetched.body, e2e::text_of(d.objects[i].data.read_all()));
    EXPECT_EQ(fetched.headers.at(s3::kObjectIdHeader), tape[i].list_id);
    EXPECT_EQ(fetched.headers.at(s3::kVersionIdHeader), tape[i].version);
    EXPECT_EQ(fetched.headers.at(s3::kLastModifiedHeader), tape[i].last_modified);
  }
  const std::map<std::string, std::string> headers =
      store().fetch_path(outcomes.at(tape[0].list_id).address).headers;
  EXPECT_EQ(headers.at("content-type"), "text/plain");
  EXPECT_EQ(headers.at("content-language"), "en");
  EXPECT_EQ(headers.at("x-amz-meta-owner"), "ops");
  EXPECT_EQ(headers.at("x-amz-meta-note"), s3::header_value("h\xc3\xa9llo"));
  // Sent as libcurl's empty header ("name;") and signed as such: the store checked the signature.
  EXPECT_EQ(headers.count("x-amz-meta-empty"), 1U);
  EXPECT_EQ(store().fetch_path(outcomes.at(tape[1].list_id).address).headers.at("content-encoding"),
            "identity");
  EXPECT_EQ(store().fetch(bucket("docs"), "report.txt").body, "three");

  // The deleted version is the key's delete marker, and current.
  EXPECT_EQ(store().fetch(bucket("docs"), "gone.txt").status, 404);
  const std::vector<s3test::Listed> gone = store().versions(bucket("docs"), "gone.txt");
  ASSERT_EQ(gone.size(), 2U);
  EXPECT_TRUE(gone[0].delete_marker && gone[0].latest);
  EXPECT_THAT(outcomes.at(tape[4].list_id).address, HasSubstr(gone[0].version_id));

  // The large object went in parts (its ETag ends in their number) and comes back whole.
  const std::string big = outcomes.at(tape[6].list_id).address;
  std::vector<std::string> head = store().curl(big);
  head.insert(head.begin() + 1, "-I");
  EXPECT_THAT(testutil::run(head).out,
              HasSubstr("-" + std::to_string(kLargeObjectBytes / (8 * s3::kMiB)) + "\""));
  std::string command;
  for (const std::string& word : store().curl(big)) command += "'" + word + "' ";
  const RunResult sum = testutil::run({"/bin/sh", "-c", command + "| md5sum"});
  EXPECT_EQ(sum.out.substr(0, 32), s3::hex_encode(s3::md5_of(d.objects[6].data.read_all())));
}

TEST_F(S3RestoreTest, AResumeAfterAStopAddsNoSecondVersion) {
  constexpr int kObjects = 12;
  constexpr int kKeys = 4;
  vtape::Description d;
  d.block_size = 4096;
  d.buckets = {{"logs"}};
  for (int n = 0; n < kObjects; ++n) {
    d.objects.push_back(object(0, "key-" + std::to_string(n % kKeys), "body " + std::to_string(n),
                               n + 1, "v" + std::to_string(n / kKeys)));
  }
  d.grouping = {.objects_per_po = 1, .pos_per_ocm = 1, .ocms_per_pr = 2};
  build(d);
  const RunResult sound = reader({"-f", "-v", "vvvvvv"});
  ASSERT_EQ(sound.status, 0) << sound.err;
  const size_t reads =
      testutil::count(testutil::strip_headers(sound.out), "start SCSI_COMMAND:(8)\n");
  fs::remove_all(work());
  fs::remove_all(save());

  // The drive is gone two thirds of the way.
  vtape::Deviations gone;
  gone.faults.transport = {{kRead, reads * 2 / 3, 0x01}};
  build(d, gone);
  // One request at a time: the objects read well before the stop are surely stored by then.
  const RunResult stopped = restore({"-f", "--s3-in-flight", "1"});
  EXPECT_EQ(stopped.status, 1);
  EXPECT_THAT(stopped.err, HasSubstr("the drive is gone"));
  const size_t stored = store().versions(bucket("logs")).size();
  EXPECT_GT(stored, 0U) << stopped.err;
  EXPECT_LT(stored, static_cast<size_t>(kObjects));

  // The history taken back to the start: the resume meets every object stored before the stop.
  const std::string history = work() + "/history.log";
  testutil::write_file(history,
                       std::regex_replace(testutil::read_file(history),
                                          std::regex("(PR|OCM|PO|Object number)=\\d+"), "$1=1"));
  build(d);
  const RunResult resumed = restore({"-r"});
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(resumed.err, "");
  std::smatch counts;
  const std::string out = testutil::strip_headers(resumed.out);
  ASSERT_TRUE(std::regex_search(out, counts, std::regex("Objects: (\\d+) stored, (\\d+) already")))
      << out;
  EXPECT_EQ(std::stoul(counts[1]) + std::stoul(counts[2]), static_cast<size_t>(kObjects));
  EXPECT_GE(std::stoul(counts[2]), stored);

  // Each object once, the latest of each key current.
  std::multiset<std::string> ids;
  for (const s3test::Listed& version : store().versions(bucket("logs"))) {
    ids.insert(store()
                   .fetch(bucket("logs"), version.key, version.version_id)
                   .headers[s3::kObjectIdHeader]);
  }
  std::multiset<std::string> want;
  for (const vtape::ObjectLayout& o : layout_.objects) want.insert(o.list_id);
  EXPECT_EQ(ids, want);
  for (int k = 0; k < kKeys; ++k) {
    EXPECT_EQ(store().fetch(bucket("logs"), "key-" + std::to_string(k)).body,
              "body " + std::to_string(kObjects - kKeys + k));
  }
}

TEST_F(S3RestoreTest, ARetrievalStoresTheVersionsAskedForOnce) {
  vtape::Description d;
  d.buckets = {{"docs"}};
  d.objects = {object(0, "a.txt", "newer", 2, "v2"), object(0, "b.txt", "other", 1, "v1"),
               object(0, "a.txt", "older", 1, "v1")};
  build(d);
  ASSERT_EQ(reader({"-l"}).status, 0);
  const std::vector<std::string> retrieval = {"-b", "docs", "-o", "a.txt", "-O", "all"};

  const RunResult first = restore(retrieval);
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err, "");
  const std::string out = testutil::strip_headers(first.out);
  EXPECT_EQ(testutil::count(out, "[INFO   ] [COMMON] Stored: " + endpoint_ + "/" + bucket("docs") +
                                     "/a.txt?versionId="),
            2U)
      << out;
  // The older version, met second on the tape, is followed by a copy of the newer one.
  EXPECT_EQ(store().versions(bucket("docs")).size(), 3U);
  EXPECT_EQ(store().fetch(bucket("docs"), "a.txt").body, "newer");

  // Asked again: found there, nothing added.
  const RunResult again = restore(retrieval);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(testutil::count(testutil::strip_headers(again.out),
                            "is in the S3 store already. It is not stored again."),
            2U)
      << again.out;
  EXPECT_EQ(store().versions(bucket("docs")).size(), 3U);
}

}  // namespace

namespace {

// A bucket's versions and markers as the store lists them, each key's newest first: what a
// repeated restore must leave as it is. Without the store's identifiers, two buckets restored from
// one tape list the same.
std::vector<std::string> listing_of(const s3test::StoreReader& store, const std::string& bucket,
                                    bool with_ids = true) {
  std::vector<std::string> entries;
  for (const s3test::Listed& v : store.versions(bucket)) {
    entries.push_back(v.key + (with_ids ? " " + v.version_id : "") + " " +
                      (v.delete_marker ? "marker" : v.etag) + (v.latest ? " latest" : ""));
  }
  return entries;
}

}  // namespace

// Every pattern of delete markers (newest, between versions, first, two in a row, older than the
// current version), empty and long metadata values: a second full dump, and one without the record
// of the versions stored, find everything there and add nothing.
TEST_F(S3RestoreTest, RepeatedRestoresAddNoVersionAndNoDeleteMarker) {
  vtape::Description d;
  d.buckets = {{"marks"}};
  const auto marker = [](const std::string& key, int second, const std::string& version) {
    return object(0, key, "", second, version, {{"IsDeleted", "true"}});
  };
  const std::string long_value(1000, 'x');
  d.objects = {
      object(0, "newest", "a", 1, "v1",
             {{"UserMetadata", R"({"empty":"","long":")" + long_value + "\"}"}}),
      marker("newest", 2, "v2"),
      object(0, "between", "a", 1, "v1"), marker("between", 2, "v2"),
      object(0, "between", "c", 3, "v3"),
      marker("first", 1, "v1"), object(0, "first", "b", 2, "v2"),
      object(0, "twice", "a", 1, "v1"), marker("twice", 2, "v2"), marker("twice", 3, "v3"),
      object(0, "older", "b", 2, "v2"), marker("older", 1, "v1"),
  };
  d.grouping = {.objects_per_po = 2, .pos_per_ocm = 2, .ocms_per_pr = 1};
  build(d);
  const RunResult first = restore({"-f"});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::vector<std::string> stored = listing_of(store(), bucket("marks"));
  EXPECT_EQ(store().fetch(bucket("marks"), "between").body, "c");
  EXPECT_EQ(store().fetch(bucket("marks"), "older").body, "b");
  EXPECT_EQ(store().fetch(bucket("marks"), "twice").status, 404);

  const std::string objects = std::to_string(d.objects.size());
  for (const bool with_record : {true, false}) {
    SCOPED_TRACE(with_record ? "with the record" : "without the record");
    if (!with_record) fs::remove(work() + "/store.log");
    const RunResult again = restore({"-f"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_THAT(testutil::strip_headers(again.out),
                HasSubstr("Objects: 0 stored, " + objects + " already there, 0 refused"));
    EXPECT_EQ(listing_of(store(), bucket("marks")), stored);
  }
}

// A restore killed three quarters of the way, resumed, then run again as a full dump: the bucket
// ends with the versions and markers of one uninterrupted restore, and each run counts what is not
// in the store. The object that the killed run lost to a block its drive could not read is left
// to the resume, which does not meet it again (the history carries it: status 2); the next full
// dump stores it and finds everything else there.
TEST_F(S3RestoreTest, AKilledRestoreResumedEndsWithTheVersionsOfOneRestore) {
  vtape::Description d;
  d.block_size = 4096;
  d.buckets = {{"marks"}};
  const auto marker = [](const std::string& key, int second, const std::string& version) {
    return object(0, key, "", second, version, {{"IsDeleted", "true"}});
  };
  // Keys whose versions lie on both sides of the place where the run is killed, one of them met
  // out of time order.
  d.objects = {
      object(0, "newest", "a", 1, "v1"), object(0, "lost.bin", "", 1, "v1"),
      object(0, "report", "three", 3, "v3", {{"UserMetadata", R"({"empty":""})"}}),
      marker("newest", 2, "v2"), object(0, "between", "a", 1, "v1"),
      object(0, "older", "b", 2, "v2"), marker("between", 2, "v2"),
      object(0, "between", "c", 3, "v3"), marker("first", 1, "v1"),
      object(0, "report", "one", 1, "v1"), object(0, "first", "b", 2, "v2"),
      object(0, "twice", "a", 1, "v1"), marker("twice", 2, "v2"),
      marker("older", 1, "v1"), marker("twice", 3, "v3"),
      object(0, "report", "two", 2, "v2"),
  };
  constexpr size_t kLost = 1;
  d.objects[kLost].data = vtape::ObjectData::pattern(3 * d.block_size, 5);
  for (int n = 0; n < 8; ++n) {
    d.objects.push_back(object(0, "later-" + std::to_string(n), "x", 1, "v1"));
  }
  d.grouping = {.objects_per_po = 1, .pos_per_ocm = 2, .ocms_per_pr = 2};
  build(d);
  const std::string all = std::to_string(d.objects.size());

  // One uninterrupted restore, into buckets of another prefix: what the others must end with.
  const std::string whole = prefix_ + "whole-";
  const RunResult reference = restore({"-f"}, whole);
  ASSERT_EQ(reference.status, 0) << reference.err;
  const std::vector<std::string> want = listing_of(store(), whole + "marks", false);
  const uint64_t commands = drive_figure("commands");
  fs::remove_all(work());
  fs::create_directories(work());

  // Killed, after the drive failed to read a block of the lost object. One request at a time, so
  // that the history has recorded a place beyond the lost object by then.
  vtape::Deviations damage;
  damage.unreadable.push_back({1, layout_.objects[kLost].meta_block + 1});
  build(d, damage);
  signal_at(commands * 3 / 4, SIGKILL);
  const RunResult killed = restore({"-f", "--s3-in-flight", "1"});
  ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;
  ASSERT_THAT(testutil::read_file(work() + "/history.log"), HasSubstr("\nNot stored=1\n"));

  // The drive mended, the resume stores the rest and counts the lost object.
  build(d);
  const RunResult resumed = restore({"-r"});
  EXPECT_EQ(resumed.status, 2) << resumed.err;
  EXPECT_THAT(testutil::strip_headers(resumed.out),
              HasSubstr(" 0 refused, 0 not readable, 1 not stored, 0 lost; "));
  EXPECT_TRUE(e2e::has_line(resumed.err,
                            "[ERROR  ] [COMMON] 1 object was not stored in the S3 store (named "
                            "above, 1 of them by the interrupted run). Run a full dump (-f) or "
                            "the retrieval again: the versions stored already are found and not "
                            "stored twice."))
      << resumed.err;
  EXPECT_TRUE(store().versions(bucket("marks"), "lost.bin").empty());

  // A full dump stores it alone: the versions of one restore, the empty value kept.
  const RunResult completed = restore({"-f"});
  EXPECT_EQ(completed.status, 0) << completed.err;
  EXPECT_THAT(testutil::strip_headers(completed.out),
              HasSubstr("Objects: 1 stored, " + std::to_string(d.objects.size() - 1) +
                        " already there, 0 refused, 0 not readable, 0 not stored, 0 lost; "));
  EXPECT_EQ(listing_of(store(), bucket("marks"), false), want);
  EXPECT_EQ(store().fetch(bucket("marks"), "report").headers.count("x-amz-meta-empty"), 1U);

  // Once more: nothing stored, no marker added.
  const std::vector<std::string> stored = listing_of(store(), bucket("marks"));
  const RunResult again = restore({"-f"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_THAT(testutil::strip_headers(again.out),
              HasSubstr("Objects: 0 stored, " + all + " already there, 0 refused"));
  EXPECT_EQ(listing_of(store(), bucket("marks")), stored);
}

// The S3 client against a real store (scripts/s3-server.sh start, then the variables it prints
// in the environment). Each test process writes into buckets of its own, and reads what was
// stored back with the curl program, independently of the client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "output_level.h"
#include "s3/object_mapping.h"
#include "s3/store.h"
#include "s3/store_reader.h"
#include "support/unique_fd.h"

namespace {

using s3test::environment;
using s3test::Fetched;
using testing::HasSubstr;

constexpr uint64_t kLargeObjectBytes = 200 * s3::kMiB;

std::string metadata(const std::string& key, const std::string& time, const std::string& more = "",
                     uint64_t size = 0) {
  return R"({"MetadataVersion":1,"Key":")" + key + R"(","Size":)" + std::to_string(size) +
         R"(,"LastModifiedTime":")" + time + "\"" + more + "}";
}

class S3StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (environment("OR_S3_ENDPOINT").empty()) {
      GTEST_SKIP() << "OR_S3_ENDPOINT is not set (scripts/s3-server.sh start prints it)";
    }
    set_vl(verbosity_);
    options_.endpoint = environment("OR_S3_ENDPOINT");
    options_.bucket_prefix = "or-test-" + std::to_string(getpid()) + "-";
    options_.list_page_size = 2;  // several pages for a few versions
    options_.first_retry_delay_ms = 100;
    std::string problem;
    credentials_ = s3::credentials_from_environment(&problem);
    ASSERT_EQ(problem, "");
  }

  // Maps the metadata and stores the body in pieces of `piece` bytes; `md5` replaces the
  // body's digest when given.
  static s3::Outcome put(s3::Store& store, const std::string& bucket, const std::string& meta,
                         const std::string& body, const std::optional<s3::Md5>& md5 = {},
                         size_t piece = 1000) {
    const s3::ObjectRequest request =
        s3::map_object_metadata(meta, s3::hex_encode(s3::md5_of(meta)));
    s3::Outcome outcome;
    s3::ObjectUpload upload =
        store.begin_object(bucket, request, [&](const s3::Outcome& got) { outcome = got; });
    for (size_t at = 0; at < body.size(); at += piece) {
      upload.write(as_bytes(body).subspan(at, std::min(piece, body.size() - at)));
    }
    upload.finish(md5.value_or(s3::md5_of(body)));
    store.finish();
    return outcome;
  }

  static std::span<const uint8_t> as_bytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
  }

  std::vector<std::string> curl(const std::string& path) const { return reader().curl(path); }

  s3test::Fetched fetch(const std::string& bucket, const std::string& key,
                        const std::string& version_id = "") const {
    return reader().fetch(options_.bucket_prefix + bucket, key, version_id);
  }

  s3test::StoreReader reader() const { return {options_.endpoint, credentials_, dir_.path()}; }

  testutil::TempDir dir_;
  s3::StoreOptions options_;
  s3::Credentials credentials_;
  char verbosity_[1] = "";
};

// Versions arrive in tape order; the tape's latest (by LastModifiedTime) must end current.
TEST_F(S3StoreTest, TapesLatestVersionEndsCurrentWhateverTheOrderOfArrival) {
  struct Case {
    const char* key;
    std::vector<std::pair<std::string, std::string>> versions;  // time, body ("" for a marker)
    const char* current;                                        // body, or "" for a marker
  };
  const Case cases[] = {
      {"in-order", {{"2020-01-01T00:00:01Z", "one"}, {"2020-01-01T00:00:02Z", "two"}}, "two"},
      {"newest-first",
       {{"2020-01-01T00:00:03Z", "three"},
        {"2020-01-01T00:00:01Z", "one"},
        {"2020-01-01T00:00:02Z", "two"}},
       "three"},
      {"marker-newest", {{"2020-01-01T00:00:09Z", ""}, {"2020-01-01T00:00:05Z", "five"}}, ""},
      {"marker-older", {{"2020-01-01T00:00:09Z", "nine"}, {"2020-01-01T00:00:05Z", ""}}, "nine"},
  };
  s3::Store store(options_, credentials_);
  ASSERT_TRUE(store.prepare_bucket("order"));
  for (const Case& c : cases) {
    for (const auto& [time, body] : c.versions) {
      const std::string deleted = body.empty() ? R"(,"IsDeleted":true)" : "";
      EXPECT_TRUE(put(store, "order", metadata(c.key, time, deleted, body.size()), body).stored)
          << c.key << " " << time;
    }
    const Fetched current = fetch("order", c.key);
    if (*c.current == '\0') {
      EXPECT_EQ(current.status, 404) << c.key;
      const auto versions = store.list_versions("order", c.key);
      ASSERT_TRUE(versions.has_value());
      ASSERT_FALSE(versions->empty());
      EXPECT_TRUE(versions->front().latest && versions->front().delete_marker) << c.key;
    } else {
      EXPECT_EQ(current.status, 200) << c.key;
      EXPECT_EQ(current.body, c.current) << c.key;
    }
  }
  EXPECT_EQ(store.counts().failed, 0U);
}

// Many versions in flight at once, the keys interleaved and each key's versions out of order.
TEST_F(S3StoreTest, VersionsInFlightTogetherKeepTheOrderOfTheirKey) {
  constexpr int kKeys = 10;
  const int times[] = {3, 1, 5, 2, 6, 4};  // the tape's order; 6 is the latest
  s3::Store store(options_, credentials_);
  ASSERT_TRUE(store.prepare_bucket("flight"));
  std::vector<s3::Outcome> outcomes(kKeys * std::size(times));
  size_t next = 0;
  for (const int time : times) {
    for (int k = 0; k < kKeys; ++k) {
      const std::string key = "key" + std::to_string(k);
      const std::string body = key + "/" + std::to_string(time);
      const std::string meta =
          metadata(key, "2020-01-01T00:00:0" + std::to_string(time) + "Z", "", body.size());
      store.put_object("flight", s3::map_object_metadata(meta, body), as_bytes(body),
                       [outcome = &outcomes[next++]](const s3::Outcome& got) { *outcome = got; });
    }
  }
  store.finish();
  EXPECT_EQ(store.counts().stored, outcomes.size());
  for (const s3::Outcome& outcome : outcomes) EXPECT_TRUE(outcome.stored) << outcome.error;
  for (int k = 0; k < kKeys; ++k) {
    const std::string key = "key" + std::to_string(k);
    EXPECT_EQ(fetch("flight", key).body, key + "/6");
  }
}

TEST_F(S3StoreTest, BodyHeadersAndUserMetadataComeBack) {
  const std::string body = "a body of some bytes\n\x01\xff";
  const std::string long_value(1000, 'v');
  const std::string meta =
      metadata("dir/sub dir/file+name (1).txt", "2021-03-04T05:06:07.000008Z",
               R"(,"Version":"ver-7","ContentType":"text/plain; charset=utf-8",)"
               R"("ContentEncoding":"identity","ContentLanguage":"fr",)"
               R"("UserMetadata":{"Owner":"ops","note":"h\u00e9llo w\u00f6rld","long":")" +
                   long_value + "\"}",
               body.size());
  s3::Store store(options_, credentials_);
  ASSERT_TRUE(store.prepare_bucket("meta"));
  const s3::Outcome outcome = put(store, "meta", meta, body, {}, 7);
  ASSERT_TRUE(outcome.stored) << outcome.error;

  const Fetched got = fetch("meta", "dir/sub dir/file+name (1).txt", outcome.version_id);
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(got.body, body);
  const std::map<std::string, std::string> expected = {
      {"content-type", "text/plain; charset=utf-8"},
      {"content-encoding", "identity"},
      {"content-language", "fr"},
      {"x-amz-meta-owner", "ops"},
      {"x-amz-meta-note", s3::header_value("h\u00e9llo w\u00f6rld")},
      {"x-amz-meta-long", long_value},
      {s3::kLastModifiedHeader, "2021-03-04T05:06:07.000008Z"},
      {s3::kVersionIdHeader, "ver-7"},
      {s3::kObjectIdHeader, s3::hex_encode(s3::md5_of(meta))},
  };
  for (const auto& [name, value] : expected) {
    const auto found = got.headers.find(name);
    EXPECT_EQ(found == got.headers.end() ? "(none)" : found->second, value) << name;
  }
}

TEST_F(S3StoreTest, LargeObjectGoesAsMultipartUploadStreamedInPieces) {
  s3::Store store(options_, credentials_);
  ASSERT_TRUE(store.prepare_bucket("large"));
  const s3::ObjectRequest request = s3::map_object_metadata(
      metadata("big", "2022-01-01T00:00:00Z", "", kLargeObjectBytes), "big-object");
  s3::ObjectUpload upload = store.begin_object("large", request);
  // Made on the fly, piece by piece, as a tape read hands them over.
  std::vector<uint8_t> piece(s3::kMiB);
  s3::Md5Stream md5;
  for (uint64_t n = 0; n < kLargeObjectBytes / piece.size(); ++n) {
    for (size_t i = 0; i < piece.size(); i += 8) piece[i] = static_cast<uint8_t>(n + i / 8);
    md5.update(piece);
    upload.write(piece);
  }
  const s3::Md5 digest = md5.finish();
  ASSERT_TRUE(upload.finish(digest));
  store.finish();
  ASSERT_EQ(store.counts().stored, 1U);
#if !defined(__SANITIZE_ADDRESS__)
  // Never the whole body at once: the parts in flight, within in-flight x part size.
  const std::string status = testutil::read_file("/proc/self/status");
  const uint64_t peak_kib = std::stoull(status.substr(status.find("VmHWM:") + 6));
  EXPECT_LT(peak_kib * 1024, s3::memory_budget(options_) + 64 * s3::kMiB);
#endif

  std::vector<std::string> head = curl(s3::object_path(options_.bucket_prefix + "large", "big"));
  head.insert(head.begin() + 1, "-I");
  const testutil::RunResult headers = testutil::run(head);
  const uint64_t parts = kLargeObjectBytes / s3::StoreOptions().part_size;
  // The ETag of a multipart upload ends in the number of its parts.
  EXPECT_THAT(headers.out, HasSubstr("-" + std::to_string(parts) + "\""));
  std::string command;
  for (const std::string& word : curl(s3::object_path(options_.bucket_prefix + "large", "big"))) {
    command += "'" + word + "' ";
  }
  const testutil::RunResult sum = testutil::run({"/bin/sh", "-c", command + "| md5sum"});
  EXPECT_EQ(sum.out.substr(0, 32), s3::hex_encode(digest));
}

// A resumed restore asks before each version and passes over those stored already; listings
// are paged by the last version seen.
TEST_F(S3StoreTest, ResumedRestoreAddsNoSecondVersion) {
  std::vector<std::string> metas, ids;
  for (int n = 1; n <= 5; ++n) {
    metas.push_back(metadata("key", "2023-01-0" + std::to_string(n) + "T00:00:00Z", "", 1));
    ids.push_back(s3::hex_encode(s3::md5_of(metas.back())));
  }
  // One run (a store of its own, as a new process has) over the first `count` versions;
  // returns how many it found stored.
  const auto restore = [&](size_t count) {
    s3::Store store(options_, credentials_);
    EXPECT_TRUE(store.prepare_bucket("resume"));
    size_t found = 0;
    for (size_t i = 0; i < count; ++i) {
      const std::optional<bool> stored = store.has_version("resume", "key", ids[i]);
      EXPECT_TRUE(stored.has_value());
      if (stored == true) {
        ++found;
      } else {
        EXPECT_TRUE(put(store, "resume", metas[i], std::to_string(i)).stored);
      }
    }
    return found;
  };
  EXPECT_EQ(restore(3), 0U);  // stopped after the third
  EXPECT_EQ(restore(5), 3U);  // resumed from the start

  s3::Store store(options_, credentials_);
  // Another key that the prefix "key" also finds.
  ASSERT_TRUE(put(store, "resume", metadata("key2", "2023-01-01T00:00:00Z", "", 1), "x").stored);
  const auto versions = store.list_versions("resume", "key");
  ASSERT_TRUE(versions.has_value());
  ASSERT_EQ(versions->size(), ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ((*versions)[i].object_id, ids[ids.size() - 1 - i]) << i;  // newest first
  }
  EXPECT_EQ(store.has_version("resume", "no-such-key", ids[0]), false);
}

// A run that ended between an older version (or marker) and the copy (or marker) that makes the
// newest current again left the older one current: the next run that finds it takes that step.
TEST_F(S3StoreTest, AnOlderVersionLeftCurrentIsFollowedByTheNewestOnceFound) {
  const struct {
    const char* key;
    bool newer_marker, older_marker;
  } cases[] = {
      {"versions", false, false}, {"older-marker", false, true}, {"newer-marker", true, false}};
  const auto meta = [](const char* key, bool marker, int second) {
    return metadata(key, "2024-01-01T00:00:0" + std::to_string(second) + "Z",
                    marker ? R"(,"IsDeleted":true)" : "", marker ? 0 : 5);
  };
  for (const auto& c : cases) {
    const std::string newer = meta(c.key, c.newer_marker, 3);
    const std::string older = meta(c.key, c.older_marker, 1);
    // Each by a run of its own, which knows nothing of the other.
    for (const auto& [version, body] : {std::pair{newer, "newer"}, {older, "older"}}) {
      s3::Store run(options_, credentials_);
      ASSERT_TRUE(run.prepare_bucket("ended"));
      ASSERT_TRUE(put(run, "ended", version, body).stored);
    }
    s3::Store next(options_, credentials_);
    for (const std::string& version : {newer, older}) {  // met in the tape's order
      const s3::ObjectRequest r =
          s3::map_object_metadata(version, s3::hex_encode(s3::md5_of(version)));
      const std::optional<std::string> found =
          next.find_version("ended", c.key, {r.object_id, r.delete_marker, {}, r.last_modified});
      EXPECT_TRUE(found && !found->empty()) << c.key;
    }
    next.finish();
    const Fetched current = fetch("ended", c.key);
    EXPECT_EQ(current.status, c.newer_marker ? 404 : 200) << c.key;
    if (!c.newer_marker) {
      EXPECT_EQ(current.body, "newer") << c.key;
    }
  }
}

// Keys a normalisation of the path would fold are stored under their own bytes, in their own
// bucket.
TEST_F(S3StoreTest, FoldableKeysAreStoredUnderTheirOwnKey) {
  const std::vector<std::string> keys = {"../escape/x", "a/./b", "a//b", "/lead"};
  s3::Store store(options_, credentials_);
  ASSERT_TRUE(store.prepare_bucket("fold"));
  for (const std::string& key : keys) {
    EXPECT_TRUE(put(store, "fold", metadata(key, "2024-01-01T00:00:00Z", "", 4), "body").stored)
        << key;
  }
  std::vector<std::string> listed;
  for (const s3test::Listed& entry : reader().versions(options_.bucket_prefix + "fold")) {
    listed.push_back(entry.key);
  }
  std::vector<std::string> expected = keys;
  std::sort(expected.begin(), expected.end());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, expected);
}

// Each refusal is one ERROR naming the object, and nothing is stored.
TEST_F(S3StoreTest, RefusedObjectsAreReportedAndNotStored) {
  struct Case {
    const char* key;
    std::string more;            // metadata members
    std::optional<s3::Md5> md5;  // a digest other than the body's
    const char* reason;
  };
  const Case cases[] = {
      {"wrong-md5", "", s3::md5_of("other"), "HTTP 400 BadDigest"},
      {"content-md5",
       R"(,"ContentMd5":"00112233445566778899aabbccddeeff")",
       {},
       "differs from its \"ContentMd5\""},
      // Swift 2.30 answers 500 InternalError: tried again, then reported.
      {"huge-metadata",
       R"(,"UserMetadata":{"big":")" + std::string(5000, 'x') + "\"}",
       {},
       "HTTP "},
  };
  s3::Store store(options_, credentials_);
  ASSERT_TRUE(store.prepare_bucket("refused"));
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    const s3::Outcome outcome =
        put(store, "refused", metadata(c.key, "2024-01-01T00:00:00Z", c.more, 4), "body", c.md5);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(outcome.stored) << c.key;
    EXPECT_EQ(testutil::count(err, "\n"), 1U) << err;
    EXPECT_THAT(err, HasSubstr("[ERROR  ] [COMMON] Failed to store the object(bucket " +
                               options_.bucket_prefix + "refused, key " + c.key + ")"));
    EXPECT_THAT(err, HasSubstr(c.reason)) << c.key;
    EXPECT_EQ(fetch("refused", c.key).status, 404) << c.key;
  }
  EXPECT_EQ(store.counts().failed, std::size(cases));
}

TEST_F(S3StoreTest, StoreThatRefusesOrCannotBeReachedEndsTheRunWithOneLine) {
  struct Case {
    const char* name;
    std::string endpoint;
    std::string secret;
    const char* line;
  };
  const Case cases[] = {
      {"wrong secret", options_.endpoint, "wrong-secret",
       "refuses the credentials of [^ ]+: HTTP 403 SignatureDoesNotMatch"},
      {"nothing listening", "http://127.0.0.1:1", credentials_.secret_key, "cannot be reached"},
  };
  for (const Case& c : cases) {
    s3::StoreOptions options = options_;
    options.endpoint = c.endpoint;
    s3::Credentials credentials = credentials_;
    credentials.secret_key = c.secret;
    const std::string one_line = "^[^\n]*\\[SYS_ERR\\] \\[COMMON\\] The S3 store at [^\n]*" +
                                 std::string(c.line) + "[^\n]*\n$";
    EXPECT_EXIT(RUN_ENDS(s3::Store(options, credentials)), testing::ExitedWithCode(1), one_line)
        << c.name;
  }
}

// A store on loopback, in a child process, that answers the start-up check and then every
// request with `reply` (or closes the connection without a word when `reply` is empty). It
// writes the request line of each request after the check into a pipe.
class FakeStore {
 public:
  explicit FakeStore(const std::string& reply) {
    support::UniqueFd listener(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int ends[2];
    if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener.get(), 8) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        pipe(ends) != 0) {
      ADD_FAILURE() << "no loopback listener";
      return;
    }
    port_ = ntohs(address.sin_port);
    counted_.reset(ends[0]);
    support::UniqueFd counter(ends[1]);
    pid_ = fork();
    if (pid_ == 0) serve(listener.get(), counter.get(), reply);
  }
  ~FakeStore() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The request lines ("PUT /bucket/key HTTP/1.1") answered after the start-up check so far.
  std::vector<std::string> request_lines() {
    char bytes[4096];
    pollfd ready{counted_.get(), POLLIN, 0};
    while (poll(&ready, 1, 0) == 1) {
      const ssize_t got = read(counted_.get(), bytes, sizeof(bytes));
      if (got <= 0) break;
      received_.append(bytes, static_cast<size_t>(got));
    }
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = received_.find('\n', start)) != std::string::npos;
         start = end + 1) {
      lines.push_back(received_.substr(start, end - start));
    }
    return lines;
  }
  size_t requests() { return request_lines().size(); }

 private:
  [[noreturn]] static void serve(int listener, int counter, const std::string& reply) {
    alarm(60);  // never outlives a test that went wrong
    for (bool checked = false;; checked = true) {
      const support::UniqueFd connection(accept(listener, nullptr, nullptr));
      std::string request;
      char buffer[4096];
      size_t head_end = std::string::npos;
      while (head_end == std::string::npos) {
        const ssize_t got = read(connection.get(), buffer, sizeof(buffer));
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
        head_end = request.find("\r\n\r\n");
      }
      const std::string answer =
          checked ? reply : "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      // Counted before the answer leaves, so that a client that has it finds it counted.
      const std::string line = request.substr(0, request.find("\r\n")) + "\n";
      if (checked && write(counter, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        _exit(1);
      }
      if (write(connection.get(), answer.data(), answer.size()) < 0) _exit(1);
    }
  }

  int port_ = 0;
  pid_t pid_ = -1;
  support::UniqueFd counted_;
  std::string received_;
};

// Transient failures are tried max_attempts times in all, then reported with the status and
// the store's code; other failures are reported at once.
TEST(S3RetryTest, TransientFailuresAreTriedAgainThenReported) {
  const std::string slow_down =
      "<Error><Code>SlowDown</Code><Message>Reduce your request rate.</Message></Error>";
  const struct {
    std::string reply;
    size_t requests;
    const char* reported;
  } cases[] = {
      {"HTTP/1.1 503 Service Unavailable\r\nContent-Length: " + std::to_string(slow_down.size()) +
           "\r\nConnection: close\r\n\r\n" + slow_down,
       4, "HTTP 503 SlowDown (Reduce your request rate.)"},
      {"", 4, "no answer ("},
      {"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", 1, "HTTP 400"},
  };
  char verbosity[1] = "";
  set_vl(verbosity);
  for (const auto& c : cases) {
    FakeStore fake(c.reply);
    s3::StoreOptions options;
    options.endpoint = fake.endpoint();
    options.max_attempts = 4;
    options.first_retry_delay_ms = 10;
    s3::Store store(options, s3::Credentials{"key", "secret", "", "us-east-1"});
    testing::internal::CaptureStderr();
    const s3::ObjectRequest request =
        s3::map_object_metadata(metadata("k", "2020-01-01T00:00:00Z", "", 1), "id");
    s3::ObjectUpload upload = store.begin_object("bucket", request);
    upload.write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("x"), 1));
    upload.finish(s3::md5_of("x"));
    store.finish();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(fake.requests(), c.requests) << c.reported;
    EXPECT_THAT(err, HasSubstr("Failed to store the object(bucket bucket, key k) in the S3 "
                               "store: " +
                               std::string(c.reported)));
    EXPECT_EQ(store.counts().failed, 1U);
  }
}

// Keys whose path a proxy or store could fold ("..", ".", "//", a leading "/") go with their
// slashes encoded: no request line holds a segment that a normalisation removes, so none can
// reach another key or bucket. A session token over http:// is said once; a refused key is named.
TEST(S3RequestTest, FoldableKeysTokensAndRefusedKeys) {
  char verbosity[1] = "";
  set_vl(verbosity);
  FakeStore fake("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  s3::StoreOptions options;
  options.endpoint = fake.endpoint();
  testing::internal::CaptureStderr();
  s3::Store store(options, s3::Credentials{"key", "secret", "token", "us-east-1"});
  const std::string warned = testing::internal::GetCapturedStderr();
  EXPECT_THAT(warned, HasSubstr("[WARNING] [COMMON] The S3 store at " + fake.endpoint() +
                                " is reached over http://: the session token"));
  for (const char* key : {"../other/x", "a/./b", "a//b", "/lead", "dir/."}) {
    const s3::ObjectRequest request =
        s3::map_object_metadata(metadata(key, "2020-01-01T00:00:00Z", "", 1), "id");
    s3::ObjectUpload upload = store.begin_object("bucket", request);
    upload.write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("x"), 1));
    upload.finish(s3::md5_of("x"));
  }
  store.finish();
  const std::vector<std::string> lines = fake.request_lines();
  ASSERT_EQ(lines.size(), 5U);
  for (const std::string& line : lines) {
    std::string target = line.substr(line.find(' ') + 1);
    target = target.substr(0, target.find_first_of(" ?"));
    EXPECT_TRUE(target.starts_with("/bucket/")) << line;
    for (size_t start = 1, end = 0; end != std::string::npos; start = end + 1) {
      end = target.find('/', start);
      const std::string segment = target.substr(start, end == std::string::npos ? end : end - start);
      EXPECT_TRUE(segment != "" && segment != "." && segment != "..") << line;
    }
  }
  testing::internal::CaptureStderr();
  const std::string long_key = "k" + std::string(1100, 'y');
  s3::ObjectUpload refused = store.begin_object(
      "bucket", s3::map_object_metadata(metadata(long_key, "2020-01-01T00:00:00Z"), "id"));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("key kyyyy")) << err;
  EXPECT_THAT(err, HasSubstr("the key is longer than 1024 bytes")) << err;
}

}  // namespace

// What a store holds, read with the curl program (signed with --aws-sigv4), independently of the
// S3 client under test: objects with their headers, and the versions of a key.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "s3/s3_config.h"
#include "s3/s3_text.h"
#include "s3/store.h"

namespace s3test {

inline std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

// An object or marker as read back.
struct Fetched {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// One entry of a version listing.
struct Listed {
  std::string key;
  std::string version_id;
  bool latest = false;
  bool delete_marker = false;
  std::string etag;  // "" for a delete marker
};

class StoreReader {
 public:
  StoreReader(std::string endpoint, s3::Credentials credentials, std::string dir)
      : endpoint_(std::move(endpoint)),
        credentials_(std::move(credentials)),
        dir_(std::move(dir)) {}

  // The curl command that sends a signed request for `path` (with its query) to the store.
  std::vector<std::string> curl(const std::string& path) const {
    const size_t host = endpoint_.find("://") + 3;
    const std::string user = s3::uri_encode(credentials_.access_key, false) + ":" +
                             s3::uri_encode(credentials_.secret_key, false) + "@";
    return {"/usr/bin/curl",
            "-s",
            "--aws-sigv4",
            "aws:amz:" + credentials_.region + ":s3",
            "-H",
            "x-amz-content-sha256: UNSIGNED-PAYLOAD",
            endpoint_.substr(0, host) + user + endpoint_.substr(host) + path};
  }

  // The object at `path` (a path of the store, with its query), headers and body.
  Fetched fetch_path(const std::string& path) const {
    std::vector<std::string> command = curl(path);
    const std::string headers_file = dir_ + "/headers";
    const std::string body_file = dir_ + "/body";
    std::remove(body_file.c_str());
    command.insert(command.begin() + 1, {"-D", headers_file, "-o", body_file});
    const testutil::RunResult result = testutil::run(command);
    EXPECT_EQ(result.status, 0) << result.err;
    Fetched fetched;
    fetched.body = testutil::exists(body_file) ? testutil::read_file(body_file) : "";
    const std::string headers = testutil::read_file(headers_file);
    fetched.status = std::atoi(headers.substr(headers.find(' ') + 1, 3).c_str());
    size_t line = headers.find('\n');
    for (size_t next; line != std::string::npos; line = next) {
      next = headers.find('\n', line + 1);
      const std::string text = headers.substr(line + 1, next - line - 1);
      const size_t colon = text.find(':');
      if (colon == std::string::npos) continue;
      std::string name = text.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      fetched.headers[name] = text.substr(colon + 2, text.find_last_not_of('\r') - colon - 1);
    }
    return fetched;
  }

  Fetched fetch(const std::string& bucket, const std::string& key,
                const std::string& version_id = "") const {
    std::string path = s3::object_path(bucket, key);
    if (!version_id.empty()) path += "?versionId=" + version_id;
    return fetch_path(path);
  }

  // The versions and delete markers of a bucket (of keys beginning with `prefix`), newest first
  // for each key; one page is enough for a test.
  std::vector<Listed> versions(const std::string& bucket, const std::string& prefix = "") const {
    const testutil::RunResult listing =
        testutil::run(curl(s3::object_path(bucket) + "?" +
                           s3::canonical_query({{"prefix", prefix}, {"versions", ""}})));
    EXPECT_EQ(listing.status, 0) << listing.err;
    std::vector<Listed> found;
    for (const s3::XmlElement& entry : s3::xml_elements(listing.out, {"Version", "DeleteMarker"})) {
      found.push_back({s3::xml_text(entry.inner, "Key"), s3::xml_text(entry.inner, "VersionId"),
                       s3::xml_text(entry.inner, "IsLatest") == "true",
                       entry.name == "DeleteMarker", s3::xml_text(entry.inner, "ETag")});
    }
    return found;
  }

 private:
  std::string endpoint_;
  s3::Credentials credentials_;
  std::string dir_;
};

}  // namespace s3test

// Credentials from the environment and the checks of the restore options.
#include "s3/s3_config.h"

#include <algorithm>
#include <cstdlib>

namespace s3 {

namespace {

constexpr char kDefaultRegion[] = "us-east-1";

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

Credentials credentials_from_environment(std::string* problem) {
  Credentials credentials;
  credentials.access_key = environment("AWS_ACCESS_KEY_ID");
  credentials.secret_key = environment("AWS_SECRET_ACCESS_KEY");
  credentials.session_token = environment("AWS_SESSION_TOKEN");
  credentials.region = environment("AWS_REGION");
  if (credentials.region.empty()) credentials.region = environment("AWS_DEFAULT_REGION");
  if (credentials.region.empty()) credentials.region = kDefaultRegion;
  problem->clear();
  if (credentials.access_key.empty()) {
    *problem = "AWS_ACCESS_KEY_ID is not set";
  } else if (credentials.secret_key.empty()) {
    *problem = "AWS_SECRET_ACCESS_KEY is not set";
  }
  return credentials;
}

std::string check_options(const StoreOptions& options) {
  const std::string& url = options.endpoint;
  const size_t scheme_end = url.find("://");
  const std::string scheme = url.substr(0, scheme_end);
  if (scheme_end == std::string::npos || (scheme != "http" && scheme != "https") ||
      url.size() == scheme_end + 3) {
    return "the endpoint is not an http:// or https:// URL";
  }
  const size_t path = url.find('/', scheme_end + 3);
  if (path != std::string::npos && path + 1 != url.size()) {
    return "the endpoint has a path; buckets are addressed as its first path segment";
  }
  if (url.find_first_of("?#@ ") != std::string::npos) {
    return "the endpoint holds a query, a fragment, a user or a blank";
  }
  if (options.max_in_flight < 1) return "the number of requests in flight is below 1";
  if (options.part_size < kMinPartSize) return "the part size is below 5 MiB";
  if (options.max_attempts < 1) return "the number of attempts is below 1";
  if (options.list_page_size < 1) return "the listing page size is below 1";
  return "";
}

uint64_t memory_budget(const StoreOptions& options) {
  return static_cast<uint64_t>(options.max_in_flight) * options.part_size;
}

uint64_t single_put_limit(const StoreOptions& options) {
  return std::min(options.multipart_threshold, memory_budget(options));
}

uint64_t part_size_for(const StoreOptions& options, uint64_t size) {
  const uint64_t needed = (size + kMaxParts - 1) / kMaxParts;
  if (needed <= options.part_size) return options.part_size;
  return (needed + kMiB - 1) / kMiB * kMiB;
}

}  // namespace s3

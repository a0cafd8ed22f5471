// What the S3 client needs to reach a store: the credentials (from the environment only, never
// from the command line, where ps shows them) and the options of a restore.
#pragma once

#include <cstdint>
#include <string>

namespace s3 {

inline constexpr uint64_t kMiB = 1024 * 1024;
// The smallest part a multipart upload accepts (all parts but the last).
inline constexpr uint64_t kMinPartSize = 5 * kMiB;
// The most parts of one multipart upload: larger objects get larger parts.
inline constexpr uint64_t kMaxParts = 10000;
// The largest object a store takes in one PUT.
inline constexpr uint64_t kMaxSinglePut = 5 * 1024 * kMiB;
// The longest key a store accepts, in bytes.
inline constexpr size_t kMaxKeyBytes = 1024;

struct Credentials {
  std::string access_key;     // AWS_ACCESS_KEY_ID
  std::string secret_key;     // AWS_SECRET_ACCESS_KEY
  std::string session_token;  // AWS_SESSION_TOKEN, may be empty
  std::string region;         // AWS_REGION, else AWS_DEFAULT_REGION, else us-east-1
};

// Reads the credentials from the environment. `problem` receives what is missing, or "" when
// they are complete.
Credentials credentials_from_environment(std::string* problem);

struct StoreOptions {
  std::string endpoint;       // http[s]://host[:port], addressed path-style (endpoint/bucket/key)
  std::string bucket_prefix;  // put before every bucket name of the tape
  int max_in_flight = 8;      // requests on the wire at once
  uint64_t part_size = 8 * kMiB;
  uint64_t multipart_threshold = 64 * kMiB;  // larger objects go as multipart uploads
  int max_attempts = 5;                      // tries of a request that fails transiently
  long first_retry_delay_ms = 500;           // doubled at each further try
  long connect_timeout_s = 10;
  long stall_timeout_s = 60;  // a transfer with no byte moving for that long has timed out
  int list_page_size = 1000;  // versions asked for per listing request
};

// "" when the options can be used, else what is wrong with them.
std::string check_options(const StoreOptions& options);

// The bytes of bodies held at once, in flight or being filled: max_in_flight parts.
uint64_t memory_budget(const StoreOptions& options);
// The largest object sent in one PUT: the threshold, but never above the memory budget.
uint64_t single_put_limit(const StoreOptions& options);
// The part size for an object of `size` bytes: the option's, or larger when the object would
// otherwise need more than kMaxParts parts.
uint64_t part_size_for(const StoreOptions& options, uint64_t size);

}  // namespace s3

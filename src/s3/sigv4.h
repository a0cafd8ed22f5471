// Request signing of the S3 protocol (AWS Signature Version 4, service "s3"): the Authorization
// header of one request from its method, its path as the store reads it, its canonical query and
// its headers. A pure function of its inputs and the time, so that it is tested on the protocol's
// published example.
//
// The path signed is the one the store computes from the key it decodes (each byte but the
// unreserved ones and "/" percent-encoded), which need not be the path sent: a key whose segments
// a proxy could fold ("..", ".", "//") is sent with its slashes encoded, and signed as the store
// reads it.
#pragma once

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "s3/s3_config.h"

namespace s3 {

using RequestHeaders = std::vector<std::pair<std::string, std::string>>;

struct SigningInput {
  std::string method;           // GET, PUT, ...
  std::string canonical_path;   // URI-encoded, "/" kept
  std::string canonical_query;  // see canonical_query()
  RequestHeaders headers;           // every header sent and signed, "host" and "x-amz-date" included
  std::string payload_hash = "UNSIGNED-PAYLOAD";
};

// "YYYYMMDDTHHMMSSZ" of `when` (UTC), the x-amz-date of a request.
std::string amz_date(time_t when);

// The canonical request: method, path, query, the headers (names in lower case, values trimmed
// and their inner runs of blanks folded, sorted by name), the names signed, the payload's hash.
std::string canonical_request(const SigningInput& input);

// The value of the Authorization header of a request sent at `date` (an amz_date()).
std::string authorization(const SigningInput& input, const Credentials& credentials,
                          const std::string& date);

}  // namespace s3

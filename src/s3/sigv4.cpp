// AWS Signature Version 4 for the S3 service: the canonical request, the string to sign, the
// signing key derived from the secret key, the date, the region and the service, and the
// Authorization header.
#include "s3/sigv4.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <span>
#include <string_view>

#include "output_level.h"
#include "s3/s3_text.h"

namespace s3 {

namespace {

using Digest = std::array<uint8_t, 32>;

std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Digest sha256(std::string_view text) {
  Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    output_fatal(VL_MISC, "The SHA-256 digest of a request could not be computed.\n");
  }
  return digest;
}

Digest hmac(std::span<const uint8_t> key, std::string_view text) {
  Digest digest{};
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const uint8_t*>(text.data()), text.size(), digest.data(),
           &length) == nullptr) {
    output_fatal(VL_MISC, "The signature of a request could not be computed.\n");
  }
  return digest;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// A header value as it is signed: without blanks around it, and each inner run of blanks one.
std::string folded(std::string_view value) {
  std::string out;
  bool blank = false;
  for (const char c : value) {
    if (c == ' ' || c == '\t') {
      blank = !out.empty();
      continue;
    }
    if (blank) out += ' ';
    blank = false;
    out += c;
  }
  return out;
}

// The headers by name in lower case, sorted; several of one name joined with commas.
std::vector<std::pair<std::string, std::string>> canonical_headers(const RequestHeaders& headers) {
  std::vector<std::pair<std::string, std::string>> sorted;
  for (const auto& [name, value] : headers) sorted.emplace_back(lower(name), folded(value));
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<std::string, std::string>> joined;
  for (auto& [name, value] : sorted) {
    if (!joined.empty() && joined.back().first == name) {
      joined.back().second += "," + value;
    } else {
      joined.emplace_back(std::move(name), std::move(value));
    }
  }
  return joined;
}

std::string signed_header_names(const RequestHeaders& headers) {
  std::string names;
  for (const auto& [name, value] : canonical_headers(headers)) {
    names += (names.empty() ? "" : ";") + name;
  }
  return names;
}

}  // namespace

std::string amz_date(time_t when) {
  tm utc{};
  gmtime_r(&when, &utc);
  char text[32];
  std::strftime(text, sizeof(text), "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

std::string canonical_request(const SigningInput& input) {
  std::string request = input.method + "\n" + input.canonical_path + "\n" +
                        input.canonical_query + "\n";
  for (const auto& [name, value] : canonical_headers(input.headers)) {
    request += name + ":" + value + "\n";
  }
  return request + "\n" + signed_header_names(input.headers) + "\n" + input.payload_hash;
}

std::string authorization(const SigningInput& input, const Credentials& credentials,
                          const std::string& date) {
  const std::string day = date.substr(0, 8);
  const std::string scope = day + "/" + credentials.region + "/s3/aws4_request";
  const std::string string_to_sign = "AWS4-HMAC-SHA256\n" + date + "\n" + scope + "\n" +
                                     hex_encode(sha256(canonical_request(input)));
  Digest key = hmac(bytes_of("AWS4" + credentials.secret_key), day);
  for (const std::string_view part : {std::string_view(credentials.region),
                                      std::string_view("s3"), std::string_view("aws4_request")}) {
    key = hmac(key, part);
  }
  return "AWS4-HMAC-SHA256 Credential=" + credentials.access_key + "/" + scope +
         ", SignedHeaders=" + signed_header_names(input.headers) +
         ", Signature=" + hex_encode(hmac(key, string_to_sign));
}

}  // namespace s3

// Texts of the S3 protocol: digests in base64 and hexadecimal, URI encoding as request signing
// wants it, canonical query strings, and the few XML elements read from the store's answers.
// Pure functions, no I/O.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace s3 {

using Md5 = std::array<uint8_t, 16>;

std::string base64_encode(std::span<const uint8_t> bytes);
// Strict: padded, no blanks; nullopt for anything else.
std::optional<std::vector<uint8_t>> base64_decode(std::string_view text);
std::string hex_encode(std::span<const uint8_t> bytes);

// An MD5 digest written as S3 sends it (24 characters of base64) or in hexadecimal (32 digits,
// either case); nullopt for any other text.
std::optional<Md5> parse_md5(std::string_view text);

// MD5 of a body that arrives in pieces.
class Md5Stream {
 public:
  Md5Stream();
  void update(std::span<const uint8_t> bytes);
  Md5 finish();

 private:
  struct Free {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> context_;
};
Md5 md5_of(std::span<const uint8_t> bytes);
Md5 md5_of(std::string_view text);
// The header by which the store checks a body: "Content-MD5: <base64>".
std::string content_md5_header(const Md5& md5);

// Percent-encodes every byte but A-Z a-z 0-9 - _ . ~ (and '/' when `keep_slash`), as signed
// requests must carry paths and query values.
std::string uri_encode(std::string_view text, bool keep_slash);

// The path a request is sent with, for the URI-encoded path `canonical_path` ("/bucket" or
// "/bucket/key") it is signed with: the same, but for a key that a proxy or store could fold
// (a leading "/", a "//", a "." or ".." segment), whose slashes are sent encoded ("%2F"), so that
// no normalisation of the path can move the object to another key or bucket. The store decodes
// the key it names to the same bytes.
std::string wire_path(std::string_view canonical_path);

// The host and port of an endpoint URL, as the Host header of its requests names them
// ("http://h:9000/" gives "h:9000").
std::string authority_of(std::string_view endpoint);

// A query string in the canonical form that request signing expects: the parameters sorted by
// name, names and values URI-encoded, and "name=" for a parameter without value.
using QueryParams = std::vector<std::pair<std::string, std::string>>;
std::string canonical_query(QueryParams params);

// XML of the store's answers (listings, errors, upload identifiers). Elements are found by name
// in document order; nesting of an element in one of the same name is not supported.
struct XmlElement {
  std::string_view name;
  std::string_view inner;  // raw, entities not decoded
};
// The elements named one of `names`, in document order.
std::vector<XmlElement> xml_elements(std::string_view xml,
                                     std::initializer_list<std::string_view> names);
// The decoded text of the first element `name`, or "" when there is none.
std::string xml_text(std::string_view xml, std::string_view name);
std::string xml_escape(std::string_view text);
std::string xml_unescape(std::string_view text);

}  // namespace s3

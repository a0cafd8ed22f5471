// From one object version's metadata on tape to what the store is sent: its key, its headers,
// whether it is a delete marker, and the MD5 its body must have. A pure function.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "s3/s3_text.h"

namespace s3 {

// Headers that record what S3 cannot set itself (the tape's time, version and object).
inline constexpr char kLastModifiedHeader[] = "x-amz-meta-qrt-last-modified";
inline constexpr char kVersionIdHeader[] = "x-amz-meta-qrt-version-id";
inline constexpr char kObjectIdHeader[] = "x-amz-meta-qrt-object-id";
inline constexpr char kUserMetadataPrefix[] = "x-amz-meta-";

using Header = std::pair<std::string, std::string>;  // name (lower case), value to send

struct ObjectRequest {
  std::string key;
  uint64_t size = 0;
  bool delete_marker = false;  // "IsDeleted": true
  std::string last_modified;   // orders the versions of a key
  std::string version;         // the tape's "Version", for messages
  std::string object_id;
  std::optional<Md5> expected_md5;  // from "ContentMd5", when it is an MD5 digest
  std::vector<Header> headers;      // content headers and x-amz-meta-*, none for a marker
  std::string error;                // why the object cannot be stored; "" when it can
};

// Maps the metadata (a JSON object: "Key", "Size", "ContentType", "ContentEncoding",
// "ContentLanguage", "ContentMd5", "UserMetadata", "LastModifiedTime", "Version", "IsDeleted")
// and the object identifier the reader computed for it.
ObjectRequest map_object_metadata(std::string_view metadata_json, std::string_view object_id);

// A text by which LastModifiedTime values order as times: a UTC time written
// "YYYY-MM-DDThh:mm:ss[.fraction]Z" gets its fraction to nine digits, so that "...:05Z" comes
// before "...:05.5Z"; any other text is kept as it is.
std::string time_order_key(std::string_view time);

// A header value as sent: printable ASCII without blanks at either end goes as it is; anything
// else (non-ASCII, control characters, outer blanks, or a text that looks encoded already) is
// sent as an RFC 2047 encoded word, "=?UTF-8?B?<base64>?=", which S3 stores decoded and a
// store that keeps header texts as they come returns unchanged.
std::string header_value(std::string_view text);

}  // namespace s3

// A cartridge described line by line: one object version a line, as a JSON object (JSON Lines),
// for the cartridges a directory tree cannot describe (delete markers, metadata, content headers,
// versions in any order). Read by make_cartridge --from FILE.
//
//   {"bucket":"docs","key":"a.txt","data":"a-v1.txt","modified":"2024-06-01T12:00:00.000000Z",
//    "version":"v1","metadata":{"owner":"ops"},"headers":{"ContentType":"text/plain"}}
//   {"bucket":"docs","key":"a.txt","modified":"2024-06-01T12:00:01.000000Z","version":"v2",
//    "deleted":true}
//
// "bucket" and "key" are required; "data" names the file of the body (relative to the
// description's directory; none: an empty body); "modified" is the version's time (required
// unless a fixed time is given); "version", "deleted", "metadata" (the "UserMetadata", string
// values) and "headers" ("ContentType", "ContentEncoding", "ContentLanguage", "ContentMd5") are
// optional. Objects go on the tape in the order of the lines; buckets in the order they first
// appear. Empty lines and lines beginning with "#" are passed over.
#pragma once

#include <string>

#include "cartridge/cartridge_builder.h"

namespace vtape {

// Adds the buckets and objects of the description in `path` to `d`, each object's time from its
// line or else `fixed_time`. Returns "" or what is wrong, with the line's number.
std::string read_description_file(const std::string& path, const std::string& fixed_time,
                                  Description* d);

}  // namespace vtape

// Small helpers shared by the label and marker checks: bounds-checked reading of marker bytes,
// position arithmetic that never wraps, owned allocations and JSON values, and the cached-file
// reader. Nothing here reports; the checks decide what a short buffer means.
#pragma once

#include <json-c/json.h>
#include <sys/stat.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "endian_utils.h"
#include "support/file_helpers.h"
#include "vexa_format_checker.h"

namespace fmtcheck {

// Bytes of `buffer` from `position` on; 0 when the position lies at or past its end.
inline uint64_t bytes_left(std::span<const uint8_t> buffer, uint64_t position) {
  return position < buffer.size() ? buffer.size() - position : 0;
}

// Position arithmetic on untrusted values: held at the largest value instead of wrapping.
inline uint64_t add_sat(uint64_t a, uint64_t b) {
  uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}
inline uint64_t mul_sat(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// One big-endian 64-bit value at `position`; 0 when its 8 bytes are not all in the buffer.
inline uint64_t read_be64(std::span<const uint8_t> buffer, uint64_t position) {
  if (bytes_left(buffer, position) < 8) return 0;
  return be64(buffer.data() + position);
}

// Copies up to `count` bytes from `position` into `out`, zero-filling what the buffer lacks.
// Returns the number of bytes that were in the buffer.
inline size_t copy_bytes(std::span<const uint8_t> buffer, uint64_t position, uint8_t* out,
                         size_t count) {
  const size_t present =
      static_cast<size_t>(std::min<uint64_t>(count, bytes_left(buffer, position)));
  std::memset(out, 0, count);
  if (present > 0) std::memcpy(out, buffer.data() + position, present);
  return present;
}

// 16 raw bytes at `position` (zero where missing) as 36-character lower-case UUID text.
inline void unparse_uuid_at(std::span<const uint8_t> buffer, uint64_t position, char text[37]) {
  uuid_t raw;
  copy_bytes(buffer, position, raw, sizeof(raw));
  uuid_unparse_lower(raw, text);
}

// Whether the marker bytes begin with the 32-byte identifier `identifier`.
inline bool begins_with_identifier(std::span<const uint8_t> buffer, const char* identifier) {
  return buffer.size() >= MARKER_IDENTIFIER_SIZE &&
         std::memcmp(buffer.data(), identifier, MARKER_IDENTIFIER_SIZE) == 0;
}

// Blocks from clf_allocate_memory (zero-filled; a failed allocation ends the run).
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T[], FreeDeleter>;

template <typename T>
Owned<T> allocate_array(uint64_t count, const char* what) {
  // A count whose byte size overflows asks for the impossible, which fails like any other
  // allocation that cannot be made.
  return Owned<T>(static_cast<T*>(clf_allocate_memory(mul_sat(count, sizeof(T)), what)));
}

struct JsonDeleter {
  void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonDeleter>;

// A value's text: strings as they are, other values as the parser renders them, null as "null".
inline const char* json_text(json_object* value) {
  const char* text = json_object_get_string(value);
  return text != nullptr ? text : "null";
}

// A fixed-size text field of a cartridge memory record, cut at its terminator or at its size.
inline std::string field_text(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

// Opens a cached file in slot 0 and places it at its first byte. The slot may hand back the
// stream of an earlier check of the same name, positioned anywhere and holding buffered bytes of
// a file that has since been rewritten: the buffer is dropped (fflush on an input stream) before
// the seek, so the check reads what the file holds now.
inline FILE* open_from_start(const char* filename) {
  FILE* fp = clf_open_file(filename, "rb");
  std::fflush(fp);
  std::rewind(fp);
  return fp;
}

// Bytes from the stream's position to the end of its file; the largest value when the stream
// is not a regular file (the read itself then tells).
inline uint64_t stream_bytes_left(FILE* fp) {
  struct stat st {};
  if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) return UINT64_MAX;
  const off_t position = ftello(fp);
  if (position < 0 || position >= st.st_size) return 0;
  return static_cast<uint64_t>(st.st_size - position);
}

}  // namespace fmtcheck

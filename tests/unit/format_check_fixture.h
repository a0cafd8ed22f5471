// Shared pieces of the label and marker check tests: a fixture that runs each test in a fresh
// directory holding "reference_partition/", captures everything the checks print in the order
// it was printed, and builders for marker bytes (big-endian integers, identifiers, UUIDs).
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/test_util.h"
#include "output_level.h"
#include "support/file_helpers.h"
#include "vexa_format_checker.h"

namespace fmtest {

inline constexpr char kUuid1[] = "3f2504e0-4f89-41d3-9a0c-0305e82c3301";
inline constexpr char kUuid2[] = "6ba7b810-9dad-41d1-80b4-00c04fd430c8";
inline constexpr char kUuid3[] = "9b2f6a3c-1d4e-4f5a-b6c7-d8e9f0a1b2c3";
inline constexpr char kUuid4[] = "01234567-89ab-4cde-8f01-23456789abcd";

// Marker bytes under construction.
struct Bytes {
  std::vector<uint8_t> v;

  Bytes& u64(uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8) v.push_back(static_cast<uint8_t>(value >> shift));
    return *this;
  }
  Bytes& text(std::string_view s) {
    // Byte by byte: g++ 12 at -O3 takes a range insert here for an overflow.
    for (char c : s) v.push_back(static_cast<uint8_t>(c));
    return *this;
  }
  Bytes& identifier(const char* id) { return text(std::string_view(id, MARKER_IDENTIFIER_SIZE)); }
  Bytes& uuid(const char* s) {
    uuid_t raw{};
    if (s != nullptr) uuid_parse(s, raw);
    v.insert(v.end(), raw, raw + sizeof(raw));
    return *this;
  }
  Bytes& bytes(const Bytes& other) {
    v.insert(v.end(), other.v.begin(), other.v.end());
    return *this;
  }
  Bytes& zeros(size_t n) {
    v.insert(v.end(), n, 0);
    return *this;
  }
  size_t size() const { return v.size(); }
  std::span<const uint8_t> span() const { return {v.data(), v.size()}; }
};

// Level4 marker: header, N block offsets, bucket list.
inline Bytes rcm_marker(const std::vector<uint64_t>& blocks, std::string_view bucket_list,
                        const char* pool_group = kUuid3) {
  Bytes b;
  b.identifier(LEVEL4_IDENTIFIER).u64(80).u64(80 + 8 * blocks.size()).u64(bucket_list.size());
  b.u64(blocks.size()).uuid(kUuid1).uuid(kUuid2).uuid(pool_group);
  for (uint64_t block : blocks) b.u64(block);
  return b.text(bucket_list);
}

// Packed object info with one object per metadata text; each object's data takes
// `data_bytes` on tape, so the closing offsets are the packed object's length.
inline Bytes po_info(const std::vector<std::string>& metas, uint64_t data_bytes = 10) {
  const uint64_t n = metas.size();
  Bytes b;
  b.u64(72).u64(72 + 32 * (n + 1)).u64(n).uuid(kUuid1).uuid(kUuid2).uuid(kUuid3);
  uint64_t offset = 72 + 32 * (n + 1);
  for (const std::string& meta : metas) {
    b.uuid(kUuid4).u64(offset).u64(offset + meta.size());
    offset += meta.size() + data_bytes;
  }
  b.uuid(nullptr).u64(offset).u64(offset);
  for (const std::string& meta : metas) b.text(meta);
  return b;
}

// OCM info (no identifier): header, directory of the PO infos, the PO infos.
inline Bytes ocm_info(const std::vector<Bytes>& po_infos) {
  const uint64_t m = po_infos.size();
  Bytes b;
  b.u64(24).u64(24 + 16 * m).u64(m);
  uint64_t block = 10 * (m + 1);
  for (const Bytes& po : po_infos) b.u64(po.size()).u64(block -= 10);
  for (const Bytes& po : po_infos) b.bytes(po);
  return b;
}

// Partial reference: Level3 header, OCM directory, the OCM infos.
inline Bytes partial_reference(const std::vector<Bytes>& infos) {
  const uint64_t n = infos.size();
  Bytes b;
  b.identifier(LEVEL3_IDENTIFIER).u64(24).u64(24 + 16 * n).u64(n);
  uint64_t block = 100 * (n + 1);
  for (const Bytes& info : infos) b.u64(info.size()).u64(block -= 100);
  for (const Bytes& info : infos) b.bytes(info);
  return b;
}

inline std::string metadata(std::string_view extra = "", std::string_view version = "1",
                            std::string_view size = "5") {
  std::string text = "{\"MetadataVersion\": ";
  text += version;
  text += ", \"Key\": \"a.txt\", \"Size\": ";
  text += size;
  text += ", \"LastModifiedTime\": \"2021-02-03T04:05:06.123456Z\"";
  text += extra;
  text += "}";
  return text;
}

// The checks' combined output with line headers removed.
struct Output {
  int ret = -1;
  std::string text;
};

class FormatCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    saved_cwd_ = cwd;
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    ASSERT_EQ(mkdir("reference_partition", 0755), 0);
    set_vl(verbosity_);
    set_top_verbose(nullptr);
    release_file_slots();
  }
  void TearDown() override {
    release_file_slots();
    set_top_verbose(nullptr);
    ASSERT_EQ(chdir(saved_cwd_.c_str()), 0);
  }

  // The file slots keep streams open by name; the same relative name in the next test's
  // directory must not find the previous test's stream.
  static void release_file_slots() {
    clf_open_file("/dev/null", "rb");
    clf_open_alt_file("/dev/null", "rb");
  }

  // Informational messages off (death tests print from the child process).
  void quiet() { verbosity_[0] = '\0'; }

  void write(const std::string& name, const Bytes& b) { testutil::write_bytes(name, b.v); }
  void write(const std::string& name, const std::string& text) { testutil::write_file(name, text); }

  // Runs `check` with standard output and standard error sent to one file, in order.
  Output capture(const std::function<int()>& check) {
    std::fflush(stdout);
    std::fflush(stderr);
    FILE* log = std::tmpfile();
    const int out = dup(1);
    const int err = dup(2);
    dup2(fileno(log), 1);
    dup2(fileno(log), 2);
    Output result;
    result.ret = check();
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    std::rewind(log);
    std::string text;
    char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof(chunk), log)) > 0) text.append(chunk, n);
    std::fclose(log);
    result.text = testutil::strip_headers(text);
    return result;
  }

  testutil::TempDir dir_;
  std::string saved_cwd_;
  char verbosity_[8] = "vvvvvv";
};

// Number of lines of `text` that contain `needle`.
inline size_t count(const std::string& text, const std::string& needle) {
  return testutil::count(text, needle);
}

// Whether `first` occurs in `text` before `second` (both present).
inline bool in_order(const std::string& text, const std::string& first, const std::string& second) {
  const size_t a = text.find(first);
  const size_t b = text.find(second);
  return a != std::string::npos && b != std::string::npos && a < b;
}

}  // namespace fmtest

// Shared by the end-to-end tests of the walk and of the jobs: a cartridge built from a
// description in a fresh directory, the program run on it with a working directory and a save
// path of its own, and what the builder's layout says the program must write.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cartridge/cartridge_builder.h"
#include "common/simh_image.h"
#include "common/test_util.h"
#include "e2e/reader_e2e.h"

namespace e2e {

namespace fs = std::filesystem;

// Files below `root` (relative path -> content), the tape's own directory left out when named.
inline std::map<std::string, std::string> files_below(const std::string& root,
                                                      const std::string& skip_dir = "") {
  std::map<std::string, std::string> files;
  if (!fs::exists(root)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string rel = fs::relative(entry.path(), root).string();
    if (!skip_dir.empty() && rel.rfind(skip_dir + "/", 0) == 0) continue;
    files[rel] = testutil::read_file(entry.path().string());
  }
  return files;
}

// The ".meta" and ".data" files a dump writes for objects [from, to) of a tape, numbered as a
// dump into a save path without earlier objects numbers them, starting at sub-directory
// `first_sub` of each bucket.
inline std::map<std::string, std::string> expected_dump(const vtape::Description& d,
                                                        const vtape::Layout& layout,
                                                        size_t from = 0, size_t to = SIZE_MAX,
                                                        int first_sub = 1) {
  std::map<std::string, std::string> files;
  std::map<std::string, size_t> per_bucket;
  to = std::min(to, layout.objects.size());
  for (size_t i = from; i < to; ++i) {
    const vtape::ObjectLayout& o = layout.objects[i];
    const size_t n = per_bucket[o.bucket_name]++;
    char numbers[32];
    std::snprintf(numbers, sizeof(numbers), "%04zu/%04zu", n / 1000000 + 1,
                  (n / 1000) % 1000 + static_cast<size_t>(first_sub));
    const std::string base = o.bucket_name + "/" + numbers + "/" + o.key + "/" + o.list_id;
    files[base + ".meta"] = o.metadata;
    files[base + ".data"] = text_of(d.objects[i].data.read_all());
  }
  return files;
}

// Compares two sets of files by path and content, reporting only the paths that differ.
inline void expect_same_files(const std::map<std::string, std::string>& actual,
                              const std::map<std::string, std::string>& expected) {
  for (const auto& [path, content] : expected) {
    const auto it = actual.find(path);
    if (it == actual.end()) {
      ADD_FAILURE() << "missing: " << path;
    } else if (it->second != content) {
      ADD_FAILURE() << "different: " << path << " (" << it->second.size() << " bytes, "
                    << content.size() << " expected)";
    }
  }
  for (const auto& [path, content] : actual) {
    if (expected.count(path) == 0) ADD_FAILURE() << "unexpected: " << path;
  }
}

// One list-file entry as the list run writes it.
inline std::string list_entry(const vtape::Layout& layout, size_t i) {
  const vtape::ObjectLayout& o = layout.objects[i];
  return "\"object_key\":\"" + o.key + "\",\n\"size\":" + std::to_string(o.data_size) +
         ",\n\"last_modified\":\"" + o.last_modified + "\",\n\"version_id\":\"" +
         o.version.value_or("") + "\",\n\"content_md5\":\"\",\n\"object_id\":\"" + o.list_id +
         "\",\n\"block_address\":" + std::to_string(o.po_block) +
         ",\n\"offset\":" + std::to_string(o.list_offset) +
         ",\n\"meta_size\":" + std::to_string(o.data_offset - o.meta_offset);
}

// A complete list file of the given objects, in this order.
inline std::string list_file(const vtape::Layout& layout, const std::vector<size_t>& objects) {
  std::string text = "{\n\"ObjectList\":[\n";
  for (size_t n = 0; n < objects.size(); ++n) {
    text += (n == 0 ? "{\n" : ",\n{\n") + list_entry(layout, objects[n]) + "\n}\n";
  }
  return text + "]\n}";
}

// The bytes of packed object `po` on the data partition, identifier to last data byte.
inline std::string packed_object_bytes(const std::string& cartridge, const vtape::Layout& layout,
                                       size_t po) {
  const simh::Partition p1 = simh::read_partition(cartridge + "/p1.tap");
  const vtape::PoLayout& place = layout.pos.at(po);
  std::string bytes;
  for (uint64_t b = 0; b < place.place.records; ++b) {
    const simh::TapeObject& record = p1.at(place.place.block + b);
    bytes.append(record.data.begin(), record.data.end());
  }
  bytes.resize(place.place.length);
  return bytes;
}

// Error and warning lines of a run's standard error, without their time headers.
inline std::vector<std::string> report_lines(const std::string& err) {
  std::vector<std::string> lines;
  const std::string text = testutil::strip_headers(err);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.rfind("[ERROR  ]", 0) == 0 || line.rfind("[WARNING]", 0) == 0 ||
        line.rfind("[SYS_ERR]", 0) == 0) {
      lines.push_back(line);
    }
    start = end + 1;
  }
  return lines;
}

inline bool has_line(const std::string& err, const std::string& text) {
  for (const std::string& line : report_lines(err)) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

// Adds user metadata to object `i` so that its metadata, from its first byte in its block,
// reaches `reach` bytes past the start of that block.
inline void pad_metadata(vtape::Description& d, size_t i, uint64_t reach) {
  d.objects[i].members.push_back({"UserMetadata", "{\"note\":\"\"}"});
  const vtape::ObjectLayout o = vtape::plan_cartridge(d).objects[i];
  const uint64_t now = o.meta_block_offset + (o.data_offset - o.meta_offset);
  ASSERT_LT(now, reach);
  d.objects[i].members.back().second =
      "{\"note\":\"" + std::string(static_cast<size_t>(reach - now), 'n') + "\"}";
}

// A section of the progress history: where a dump of `tape` stands.
inline std::string history_section(const std::string& tape, uint64_t pr, uint64_t ocm, uint64_t po,
                                   uint64_t object) {
  return "[" + tape + "]\nPR=" + std::to_string(pr) + "\nOCM=" + std::to_string(ocm) +
         "\nPO=" + std::to_string(po) + "\nObject number=" + std::to_string(object) + "\n";
}

// The counters of the walk while it checks packed object `m` (0-based): partial references and
// object commit markers already passed, and the numbers of that packed object and its first
// object.
inline std::string history_at(const vtape::Layout& layout, const std::string& tape, size_t m) {
  const vtape::PoLayout& po = layout.pos[m];
  const vtape::OcmLayout& ocm = layout.ocms[po.ocm];
  return history_section(tape, ocm.pr + 1, po.ocm + 1, m + 1, po.first_object + 1);
}

// Object files named without their directory numbers: what a dump and a resumed dump must agree
// on, whatever sub-directories the resume opened.
inline std::map<std::string, std::string> without_numbers(
    const std::map<std::string, std::string>& in) {
  std::map<std::string, std::string> out;
  for (const auto& [path, content] : in) {
    const size_t first = path.find('/');
    out[path.substr(0, first) + path.substr(first + 10)] = content;  // drops "/NNNN/NNNN"
  }
  return out;
}

// A cartridge in a fresh directory, and the program run on it.
class ReaderTest : public ::testing::Test {
 protected:
  std::string cart() const { return tmp_ / "cart"; }
  std::string work() const { return tmp_ / "work"; }
  std::string save() const { return tmp_ / "save"; }
  std::string tape_dir() const { return save() + "/" + tape_id_; }

  void build(const vtape::Description& d, const vtape::Deviations& deviations = {}) {
    fs::create_directories(cart());
    fs::create_directories(work());
    desc_ = d;
    vtape::BuildResult built = vtape::build_cartridge(d, cart(), deviations);
    layout_ = std::move(built.layout);
    manifest_ = std::move(built.manifest);
    tape_id_ = d.volume_id + "L8";
  }

  // The virtual drive's test hook for the runs that follow: before its command `after` + 1 since
  // the load, the drive raises the signal `number` on the program (0: no signal).
  void signal_at(uint64_t after, int number) const {
    vtape::Manifest m = manifest_;
    if (number != 0) m.faults.signal = vtape::SignalFault{after, number};
    vtape::write_manifest(m, cart());
  }

  // The program with the cartridge, the save path and -F, then `args`; run in the working
  // directory.
  testutil::RunResult reader(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {
        testutil::bin("object_reader"), "-d", cart(), "-F", "-s", save()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::run(argv, work());
  }

  // The object files under the save path.
  std::map<std::string, std::string> saved() const { return files_below(save(), tape_id_); }

  testutil::TempDir tmp_;
  vtape::Description desc_;
  vtape::Layout layout_;
  vtape::Manifest manifest_;  // as built
  std::string tape_id_;
};

}  // namespace e2e

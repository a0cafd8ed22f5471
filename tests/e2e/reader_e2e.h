// Shared pieces of the end-to-end tests that run the built object_reader against cartridges built
// in the test: a cartridge in its own directory, a small sound tape description, and a workspace
// (working directory and save path) in which the program runs.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cartridge/cartridge_builder.h"
#include "common/test_util.h"

namespace e2e {

// A virtual cartridge built into a directory of its own.
struct Tape {
  testutil::TempDir dir;
  vtape::Layout layout;
  vtape::Manifest manifest;
  const std::string& path() const { return dir.path(); }
  // Writes the manifest again after a test changed it.
  void rewrite_manifest() const { vtape::write_manifest(manifest, dir.path()); }
};

inline std::unique_ptr<Tape> build_tape(const vtape::Description& description,
                                        const vtape::Deviations& deviations = {}) {
  auto tape = std::make_unique<Tape>();
  vtape::BuildResult built = vtape::build_cartridge(description, tape->path(), deviations);
  tape->layout = std::move(built.layout);
  tape->manifest = std::move(built.manifest);
  return tape;
}

// A small sound tape: block size 4096, two buckets, two small objects per partial reference (one
// object per packed object, one packed object per object commit marker, two object commit markers
// per partial reference), so `prs` partial references.
inline vtape::Description small_description(size_t prs = 3, uint64_t seed = 1) {
  vtape::Description d;
  d.seed = seed;
  d.block_size = 4096;
  d.buckets = {{"photos"}, {"logs.2024"}};
  for (size_t i = 0; i < 2 * prs; ++i) {
    vtape::ObjectEntry object;
    object.bucket = i % 2;
    object.key = "dir/file-" + std::to_string(i);
    object.data = vtape::ObjectData::pattern(100 + 37 * i, i);
    d.objects.push_back(std::move(object));
  }
  d.grouping = {.objects_per_po = 1, .pos_per_ocm = 1, .ocms_per_pr = 2};
  return d;
}

// A cartridge memory attribute set to `value`.
inline vtape::AttributeEdit attribute_value(int partition, uint16_t id,
                                            std::vector<uint8_t> value) {
  vtape::AttributeEdit edit;
  edit.partition = partition;
  edit.id = id;
  edit.value = std::move(value);
  return edit;
}

// A working directory ("work") and a save path ("save") side by side in a fresh directory.
class Workspace {
 public:
  Workspace() {
    std::filesystem::create_directory(root_ / "work");
    std::filesystem::create_directory(root_ / "save");
  }
  std::string cwd() const { return root_ / "work"; }
  std::string save() const { return root_ / "save"; }
  std::string cache(const std::string& name = "") const {
    return cwd() + "/reference_partition/" + name;
  }

  // Runs object_reader -d <cartridge> -s <save> <args...> in the working directory.
  testutil::RunResult run(const std::string& cartridge,
                          const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {testutil::bin("object_reader"), "-d", cartridge, "-s", save()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::run(argv, cwd());
  }

 private:
  testutil::TempDir root_;
};

// A full dump with -F at the verbosity `verbose` ("" for none), into a save path without the
// objects of earlier dumps (their saved marker caches stay), so that it is a first dump.
inline testutil::RunResult dump(const Workspace& ws, const std::string& cartridge,
                                const std::string& verbose = "") {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(ws.save(), ec)) {
    if (!std::filesystem::exists(e.path() / "reference_partition")) {
      std::filesystem::remove_all(e.path(), ec);
    }
  }
  std::vector<std::string> args = {"-f", "-F"};
  if (!verbose.empty()) args.insert(args.end(), {"-v", verbose});
  return ws.run(cartridge, args);
}

inline const std::vector<std::string>& all_verbosities() {
  static const std::vector<std::string> kAll = {"", "v", "vv", "vvv", "vvvv", "vvvvv", "vvvvvv"};
  return kAll;
}

inline std::string text_of(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// The lines of `text` (each with its line feed) that contain `needle`.
inline std::string lines_with(const std::string& text, const std::string& needle) {
  std::string found;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string line = text.substr(start, end - start);
    if (line.find(needle) != std::string::npos) found += line;
    start = end;
  }
  return found;
}

inline const std::string kIndent(19, ' ');

}  // namespace e2e

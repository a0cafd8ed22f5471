// Replays inputs through a fuzz target without libFuzzer, so that any compiler's build runs the
// seed corpora and the regression inputs of the fuzzers:
//   fuzz_replay TARGET PATH...   (a PATH is an input file or a directory of them, searched deeply)
// Exits 1 on an unknown target or when no input was found; a fault aborts as under the fuzzer.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.h"

namespace {

std::vector<std::filesystem::path> inputs_of(const std::filesystem::path& path) {
  std::vector<std::filesystem::path> inputs;
  if (std::filesystem::is_directory(path)) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
  } else if (std::filesystem::is_regular_file(path)) {
    inputs.push_back(path);
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

std::vector<uint8_t> read_input(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s TARGET PATH...\n", argv[0]);
    return 1;
  }
  const fuzz::Target target = fuzz::find_target(argv[1]);
  if (target == nullptr) {
    std::fprintf(stderr, "%s: no target named %s\n", argv[0], argv[1]);
    return 1;
  }
  // Relative paths are taken from where the program started, not from the target's directory.
  std::vector<std::filesystem::path> inputs;
  for (int i = 2; i < argc; ++i) {
    for (auto& input : inputs_of(std::filesystem::absolute(argv[i]))) inputs.push_back(input);
  }
  for (const auto& input : inputs) {
    const std::vector<uint8_t> bytes = read_input(input);
    fuzz::run_target(target, bytes);
  }
  std::printf("%s: %zu inputs replayed\n", argv[1], inputs.size());
  return inputs.empty() ? 1 : 0;
}

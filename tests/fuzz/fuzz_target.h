// Fuzz targets: each one hands the fuzzer's bytes to one reader of untrusted input. A target is
// registered by name; the same sources build a libFuzzer program per target (with clang, see
// scripts/fuzz.sh) and the replay program of the normal test suite, which runs each target over
// its seed corpus and its regression inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace fuzz {

using Bytes = std::span<const uint8_t>;
using Target = void (*)(Bytes input);

// Registers `target` under `name` (at static initialisation).
struct Registration {
  Registration(const char* name, Target target);
};

// The target registered under `name`, or null.
Target find_target(std::string_view name);
// The one target of a program built for a single target (null when there are several or none).
Target only_target();

// Runs `target` on `input` in the fuzzing environment: the first call makes a private working
// directory (holding the marker cache directory) and enters it, and turns a message that would
// end the run into an unwinding that stops here. Between inputs the format checks' open streams
// and the structure being checked are forgotten.
void run_target(Target target, Bytes input);

// Writes `input` to `path` (relative to the working directory), replacing it.
void write_input(const std::string& path, Bytes input);

// The working directory made by run_target, ending with "/".
const std::string& work_directory();

// Splits `input` at the first occurrence of `separator`: the part before it goes to `*head`, the
// rest to `*tail` (all of `input` to `*head` when it does not occur).
void split(Bytes input, std::string_view separator, Bytes* head, Bytes* tail);

}  // namespace fuzz

#define OR_FUZZ_CONCAT_(a, b) a##b
#define OR_FUZZ_CONCAT(a, b) OR_FUZZ_CONCAT_(a, b)
// Defines the target `name`: OR_FUZZ_TARGET(vol1_label) { ... uses `input` ... }
#define OR_FUZZ_TARGET(name)                                                  \
  static void OR_FUZZ_CONCAT(fuzz_target_, name)(::fuzz::Bytes input);        \
  static const ::fuzz::Registration OR_FUZZ_CONCAT(fuzz_registration_, name){ \
      #name, &OR_FUZZ_CONCAT(fuzz_target_, name)};                            \
  static void OR_FUZZ_CONCAT(fuzz_target_, name)(::fuzz::Bytes input)

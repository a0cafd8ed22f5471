// Helpers shared by the tests: fresh temporary directories, file access, and running a built
// program with its output captured.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "output_level.h"

// Runs `statement` and ends the process with the status of the RunEnded it throws, as the
// program's main ends a run: a death test (EXPECT_EXIT) then sees the run's end and its message.
#define RUN_ENDS(statement)               \
  do {                                    \
    try {                                 \
      statement;                          \
    } catch (const RunEnded& run_ended) { \
      std::exit(run_ended.status());      \
    }                                     \
  } while (0)

namespace testutil {

// A fresh directory under /tmp, removed with everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number when killed by a signal
  std::string out;
  std::string err;
};

// What a run may do beside running the program: variables of its environment (set after TMPDIR,
// so they may replace it), a step taken each time the program stops (SIGSTOP) before it is
// continued, and a cut of power: with `kill_after_ms`, the program runs in a process group of
// its own, which is killed whole (SIGKILL, the processes the program made included) once that
// many milliseconds have passed, unless the program ended before.
struct RunHooks {
  std::vector<std::pair<std::string, std::string>> env;
  std::function<void()> when_stopped;
  std::optional<int> kill_after_ms;
};

// Runs `argv` (argv[0] is the program path) in `cwd` (the current directory when empty) and
// captures its standard output and standard error. The report the run wrote (--report FILE) is
// copied into OR_REPORT_COPIES, where the test report_schema checks it.
RunResult run(const std::vector<std::string>& argv, const std::string& cwd = "",
              const RunHooks& hooks = {});

// The temporary directory the programs run by run() use (their TMPDIR is private to the test
// process), without its final "/".
std::string program_temporary_directory();

// Paths of the built programs.
std::string bin(const std::string& name);

std::string read_file(const std::string& path);
std::vector<uint8_t> read_bytes(const std::string& path);
void write_file(const std::string& path, const std::string& content);
void write_bytes(const std::string& path, const std::vector<uint8_t>& content);
bool exists(const std::string& path);

// Number of (non-overlapping) occurrences of `needle` in `hay`.
size_t count(const std::string& hay, const std::string& needle);

// The output lines without their "YYYY/MM/DD hh:mm:ss.mmm " headers.
std::string strip_headers(const std::string& text);

}  // namespace testutil

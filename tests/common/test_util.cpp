#include "common/test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testutil {

TempDir::TempDir() {
  std::string pattern = "/tmp/or_test_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

namespace {

// The TMPDIR of the programs a test process runs: a directory of its own, so that test processes
// running side by side never share the programs' temporary directory.
const std::string& tmpdir_of_programs() {
  static const TempDir dir;
  return dir.path();
}

// The report a run of `argv` in `cwd` was asked to write (--report FILE), or "".
std::string report_of(const std::vector<std::string>& argv, const std::string& cwd) {
  std::string path;
  for (size_t i = 1; i < argv.size(); ++i) {
    if (argv[i] == "--report" && i + 1 < argv.size()) path = argv[i + 1];
    if (argv[i].starts_with("--report=")) path = argv[i].substr(std::strlen("--report="));
  }
  return path.empty() || path[0] == '/' || cwd.empty() ? path : cwd + "/" + path;
}

// Keeps a copy of the report a run wrote, for the check of every report against the schema.
void keep_report_copy(const std::vector<std::string>& argv, const std::string& cwd) {
  const std::string report = report_of(argv, cwd);
  std::error_code ec;
  if (report.empty() || !fs::is_regular_file(fs::symlink_status(report, ec))) return;
  fs::create_directories(OR_REPORT_COPIES, ec);
  std::string copy = std::string(OR_REPORT_COPIES) + "/report-XXXXXX.json";
  const int fd = mkstemps(copy.data(), std::strlen(".json"));
  if (fd < 0) throw std::runtime_error("no copy of the report " + report);
  close(fd);
  fs::copy_file(report, copy, fs::copy_options::overwrite_existing);
}

using Clock = std::chrono::steady_clock;

// How long run() waits for output: a program that may stop is looked at every few milliseconds
// (stopped, it holds its pipes open and writes nothing); one to be killed, until its moment.
int poll_timeout(const RunHooks& hooks, std::optional<Clock::time_point> kill_at) {
  int timeout = hooks.when_stopped ? 10 : -1;
  if (kill_at) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*kill_at - Clock::now());
    const int ms = static_cast<int>(std::max<int64_t>(0, left.count()));
    timeout = timeout < 0 ? ms : std::min(timeout, ms);
  }
  return timeout;
}

// Appends what the program wrote on the pipes that poll() found ready; a pipe at its end is
// closed and no longer polled.
void read_ready(pollfd (&fds)[2], int* open_count, RunResult* result) {
  char buffer[65536];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
    if (n > 0) {
      (i == 0 ? result->out : result->err).append(buffer, static_cast<size_t>(n));
    } else {
      close(fds[i].fd);
      fds[i].fd = -1;
      --*open_count;
    }
  }
}

}  // namespace

std::string program_temporary_directory() {
  return tmpdir_of_programs() + "/object_reader-" + std::to_string(geteuid());
}

RunResult run(const std::vector<std::string>& argv, const std::string& cwd,
              const RunHooks& hooks) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  tmpdir_of_programs();  // made before the child needs it
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (hooks.kill_after_ms) setpgid(0, 0);  // a group of its own, to be killed whole
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    close(out_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[0]);
    close(err_pipe[1]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    setenv("TMPDIR", tmpdir_of_programs().c_str(), 1);
    for (const auto& [name, value] : hooks.env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  std::optional<Clock::time_point> kill_at;
  if (hooks.kill_after_ms) {
    setpgid(pid, pid);  // before the kill, whichever of the two runs first
    kill_at = Clock::now() + std::chrono::milliseconds(*hooks.kill_after_ms);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_count = 2;
  int status = 0;
  bool reaped = false;
  while (open_count > 0) {
    const int ready = poll(fds, 2, poll_timeout(hooks, kill_at));
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (kill_at && Clock::now() >= *kill_at) {
      // Until the program is reaped its group is its own: the kill reaches its processes only.
      if (!reaped) kill(-pid, SIGKILL);
      kill_at.reset();
    }
    if (ready == 0 && !reaped && hooks.when_stopped) {
      const pid_t changed = waitpid(pid, &status, WNOHANG | WUNTRACED);
      if (changed == pid && WIFSTOPPED(status)) {
        hooks.when_stopped();
        kill(pid, SIGCONT);
      } else if (changed == pid) {
        reaped = true;
      }
      continue;
    }
    read_ready(fds, &open_count, &result);
  }
  if (!reaped) waitpid(pid, &status, 0);
  result.status = WIFEXITED(status)     ? WEXITSTATUS(status)
                  : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                        : -1;
  keep_report_copy(argv, cwd);
  return result;
}

std::string bin(const std::string& name) { return std::string(OR_BIN_DIR) + "/" + name; }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> read_bytes(const std::string& path) {
  const std::string text = read_file(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& content) {
  write_file(path, std::string(content.begin(), content.end()));
}

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

size_t count(const std::string& hay, const std::string& needle) {
  if (needle.empty()) return 0;
  size_t n = 0;
  for (size_t pos = hay.find(needle); pos != std::string::npos;
       pos = hay.find(needle, pos + needle.size())) {
    ++n;
  }
  return n;
}

std::string strip_headers(const std::string& text) {
  static const std::regex kHeader(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )");
  return std::regex_replace(text, kHeader, "");
}

}  // namespace testutil

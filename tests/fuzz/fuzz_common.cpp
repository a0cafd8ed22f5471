// The fuzzing environment shared by every target: the registry, the private working directory,
// and the catch of a run's end (RunEnded), so that one process explores input after input.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <utility>
#include <vector>

#include "fuzz/fuzz_target.h"
#include "output_level.h"
#include "support/file_helpers.h"
#include "support/unique_fd.h"
#include "vexa_format_checker.h"

namespace fuzz {
namespace {

std::vector<std::pair<std::string, Target>>& registry() {
  static std::vector<std::pair<std::string, Target>> targets;
  return targets;
}

// The private working directory, removed with what the targets left in it when the program ends.
class WorkDirectory {
 public:
  WorkDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/or-fuzz.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp: " + pattern);
    path_ = pattern + "/";
    if (chdir(path_.c_str()) != 0) throw std::runtime_error("chdir: " + path_);
    std::filesystem::create_directory(MARKER_CACHE_DIR);
  }
  // Removed by the process that made it, not by a child process that ends.
  ~WorkDirectory() {
    if (getpid() != owner_) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  pid_t owner_ = getpid();
};

char quiet_level[] = "";

void prepare() {
  static const bool prepared = [] {
    work_directory();
    set_vl(quiet_level);
    return true;
  }();
  (void)prepared;
}

// The format checks keep streams open by name; the next input written under the same name must
// be read afresh.
void forget_open_files() {
  clf_open_file("/dev/null", "rb");
  clf_open_alt_file("/dev/null", "rb");
  set_top_verbose(nullptr);
}

}  // namespace

Registration::Registration(const char* name, Target target) {
  registry().emplace_back(name, target);
}

Target find_target(std::string_view name) {
  for (const auto& [known, target] : registry()) {
    if (known == name) return target;
  }
  return nullptr;
}

Target only_target() { return registry().size() == 1 ? registry().front().second : nullptr; }

const std::string& work_directory() {
  static const WorkDirectory directory;
  return directory.path();
}

void run_target(Target target, Bytes input) {
  prepare();
  try {
    target(input);
  } catch (const RunEnded&) {
    // A fatal report: the run would have ended here.
  }
  forget_open_files();
}

void write_input(const std::string& path, Bytes input) {
  support::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd.valid()) throw std::runtime_error("cannot write " + path);
  size_t done = 0;
  while (done < input.size()) {
    const ssize_t n = write(fd.get(), input.data() + done, input.size() - done);
    if (n <= 0) throw std::runtime_error("cannot write " + path);
    done += static_cast<size_t>(n);
  }
}

void split(Bytes input, std::string_view separator, Bytes* head, Bytes* tail) {
  const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
  const size_t at = text.find(separator);
  if (at == std::string_view::npos) {
    *head = input;
    *tail = {};
    return;
  }
  *head = input.first(at);
  *tail = input.subspan(at + separator.size());
}

}  // namespace fuzz

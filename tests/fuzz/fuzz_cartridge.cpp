// The whole reader on an edited cartridge. A small sound cartridge is built once; each input is a
// list of edits to its partition files and its cartridge memory (byte flips, record lengths,
// filemarks added or removed or records doubled, attribute bytes). A full dump and a list run
// then read the edited cartridge in a child process each (the run ends the process it runs in),
// and the target checks on every input:
//   - the runs end, by themselves and within kRunSeconds (no hang);
//   - no crash and no sanitizer report (the child's status tells);
//   - nothing is written outside the save path, the working directory and the temporary one;
//   - under the save path every object file is whole: no temporary file is left, each data file
//     has its metadata beside it and holds the size the metadata gives.
// A broken rule aborts, so that the fuzzer keeps the input.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cartridge/cartridge_builder.h"
#include "cartridge/cartridge_writer.h"
#include "fuzz/fuzz_target.h"
#include "object_reader.h"
#include "output_level.h"
#include "support/run_record.h"
#include "vdrive/manifest.h"
#include "vdrive/partition_file.h"
#include "vexa_format_checker.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OR_FUZZ_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define OR_FUZZ_SANITIZED 1
#endif
#ifdef OR_FUZZ_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr int kRunSeconds = 20;
constexpr int kSanitizerStatus = 86;  // a child's status after a sanitizer report
constexpr size_t kEditBytes = 6;      // operation, file, object index (2), position, value
constexpr size_t kMaxEdits = 64;
constexpr size_t kMaxRecord = 1 << 20;
constexpr char kCartridge[] = "cart";
constexpr char kSave[] = "save";
constexpr char kRun[] = "run";
constexpr char kTemporary[] = "tmp";
constexpr size_t kPartitions = 2;

// A partition as its objects: a record's bytes, or nothing for a filemark.
using Partition = std::vector<std::optional<std::vector<uint8_t>>>;

struct Cartridge {
  Partition partitions[kPartitions];
  vdrive::Manifest manifest;
};

vtape::ObjectEntry object(size_t bucket, std::string key, vtape::ObjectData data) {
  vtape::ObjectEntry entry;
  entry.bucket = bucket;
  entry.key = std::move(key);
  entry.data = std::move(data);
  return entry;
}

vtape::Description description() {
  vtape::Description d;
  d.buckets = {{"photos"}, {"logs"}};
  d.objects.push_back(object(0, "2021/a.jpg", vtape::ObjectData::text("jpeg")));
  d.objects.push_back(object(0, "b.txt", vtape::ObjectData::pattern(5000, 1)));
  d.objects.push_back(object(1, "day one.log", vtape::ObjectData::text("")));
  d.objects.push_back(object(1, "x/y/z", vtape::ObjectData::pattern(300, 2)));
  d.objects.push_back(object(1, "last", vtape::ObjectData::text("end")));
  d.grouping = {.objects_per_po = 2, .pos_per_ocm = 2, .ocms_per_pr = 1};
  d.block_size = 4096;
  return d;
}

// The standard error of the last run, beside the cartridge's directory.
std::string child_log() { return fuzz::work_directory() + "run.log"; }

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Partition read_partition(const std::string& name) {
  std::string error;
  auto file = vdrive::PartitionFile::open(AT_FDCWD, name, name, &error);
  if (file == nullptr) throw std::runtime_error(error);
  Partition objects;
  const uint64_t end = file->end_of_data();
  for (uint64_t object = 0; object < end; ++object) {
    vdrive::RecordInfo info;
    if (file->is_filemark(object) || !file->record(object, &info)) {
      objects.emplace_back();
      continue;
    }
    std::vector<uint8_t> data(info.length);
    file->read(info.data_offset, data);
    objects.emplace_back(std::move(data));
  }
  return objects;
}

// The sound cartridge, built once.
const Cartridge& sound_cartridge() {
  static const Cartridge cartridge = [] {
    const std::string dir = fuzz::work_directory() + "sound";
    fs::create_directory(dir);
    vtape::build_cartridge(description(), dir);
    Cartridge c;
    std::string error;
    c.manifest = *vdrive::parse_manifest(read_text(dir + "/" + vdrive::kManifestFileName), &error);
    for (size_t p = 0; p < kPartitions; ++p) {
      c.partitions[p] = read_partition(dir + "/" + c.manifest.partitions[p]);
    }
    return c;
  }();
  return cartridge;
}

void edit_partition(Partition& objects, uint8_t operation, size_t index, uint8_t position,
                    uint8_t value) {
  if (objects.empty()) return;
  index %= objects.size();
  auto& object = objects[index];
  switch (operation % 5) {
    case 0:  // flip bits of one byte of a record
      if (object && !object->empty()) (*object)[position * object->size() / 256] ^= value | 1;
      break;
    case 1:  // a record of another length
      if (object) object->resize(std::min(kMaxRecord, (object->size() * value) / 128 + 1));
      break;
    case 2:  // a filemark more
      objects.insert(objects.begin() + static_cast<long>(index), std::nullopt);
      break;
    case 3:  // a record or filemark less
      objects.erase(objects.begin() + static_cast<long>(index));
      break;
    default:  // a record or filemark twice
      objects.insert(objects.begin() + static_cast<long>(index), objects[index]);
      break;
  }
}

void edit_attribute(vdrive::Manifest& manifest, size_t index, uint8_t position, uint8_t value) {
  if (manifest.attributes.empty()) return;
  auto& bytes = manifest.attributes[index % manifest.attributes.size()].value;
  if (!bytes.empty()) bytes[position * bytes.size() / 256] ^= value | 1;
}

Cartridge edited(fuzz::Bytes input) {
  Cartridge c = sound_cartridge();
  for (size_t at = 0; at + kEditBytes <= input.size() && at < kMaxEdits * kEditBytes;
       at += kEditBytes) {
    const uint8_t* e = input.data() + at;
    const size_t index = static_cast<size_t>(e[2] << 8 | e[3]);
    const size_t file = e[1] % (kPartitions + 1);
    if (file == kPartitions) {
      edit_attribute(c.manifest, index, e[4], e[5]);
    } else {
      edit_partition(c.partitions[file], e[0], index, e[4], e[5]);
    }
  }
  return c;
}

void write_cartridge(const Cartridge& c, const std::string& dir) {
  fs::create_directory(dir);
  for (size_t p = 0; p < kPartitions; ++p) {
    vtape::PartitionWriter writer(dir + "/" + c.manifest.partitions[p]);
    for (const auto& object : c.partitions[p]) {
      if (object && !object->empty()) {
        writer.record(*object);
      } else {
        writer.filemark();
      }
    }
    writer.close();
  }
  vtape::write_manifest(c.manifest, dir);
}

void end_child() { _exit(0); }

#ifdef OR_FUZZ_SANITIZED
[[noreturn]] void child_exit() { _exit(kSanitizerStatus); }
#endif

// Runs the reader with `options` in a child process; the child's status, or nothing after a hang.
std::optional<int> run_reader(const std::string& root, std::vector<std::string> options) {
  const pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
#ifdef OR_FUZZ_SANITIZED
    __sanitizer_set_death_callback(&child_exit);
#endif
    // Registered before anything of the run, so called after the run's own exit work: the
    // parent's exit work (the fuzzer's report of a target that exited among it) is not the child's.
    std::atexit(&end_child);
    // The reader's messages and any report of a sanitizer go to the log, which the parent shows
    // when a rule is broken.
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    const int log = open(child_log().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(log, STDERR_FILENO);
    if (chdir((root + kRun).c_str()) != 0) _exit(1);
    setenv("TMPDIR", (root + kTemporary).c_str(), 1);
    std::vector<std::string> args{"object_reader", "-d", root + kCartridge, "-F", "-s",
                                  root + kSave};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    // The child ends as the program's main ends a run.
    try {
      std::exit(object_reader_main(static_cast<int>(args.size()), argv.data()));
    } catch (const RunEnded& ended) {
      run_record::set_exit_status(ended.status());
      std::exit(ended.status());
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRunSeconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return status;
}

void require(bool rule, const char* what, const std::string& where) {
  if (rule) return;
  std::fprintf(stderr, "%s\nfuzz_cartridge: %s: %s\n", read_text(child_log()).c_str(), what,
               where.c_str());
  std::abort();
}

// Every object file under the save path is whole.
void check_save_path(const std::string& save) {
  for (const auto& entry : fs::recursive_directory_iterator(save)) {
    const std::string path = entry.path().string();
    require(path.find(".tmp.") == std::string::npos, "a temporary file is left", path);
    if (entry.path().extension() != ".data") continue;
    fs::path meta = entry.path();
    meta.replace_extension(".meta");
    require(fs::is_regular_file(meta), "a data file without its metadata", path);
    uint64_t size = 0;
    get_element_from_metadata(read_text(meta).c_str(), &size, nullptr, nullptr, nullptr, nullptr,
                              nullptr);
    require(fs::file_size(entry.path()) == size, "a data file not of its object's size", path);
  }
}

void check_run(const std::string& root, std::optional<int> status) {
  require(status.has_value(), "the run did not end", root);
  require(!WIFSIGNALED(*status), "the run was killed by a signal", root);
  require(WEXITSTATUS(*status) != kSanitizerStatus, "a sanitizer report", root);
  for (const auto& entry : fs::directory_iterator(root)) {
    const std::string name = entry.path().filename();
    require(name == kCartridge || name == kSave || name == kRun || name == kTemporary,
            "a file outside the save path, the working and the temporary directory", entry.path());
  }
  check_save_path(root + kSave);
}

}  // namespace

OR_FUZZ_TARGET(cartridge) {
  const Cartridge c = edited(input);
  const std::string root = fuzz::work_directory() + "input/";
  std::error_code ignored;
  fs::remove_all(root, ignored);
  fs::create_directory(root);
  for (const char* dir : {kSave, kRun, kTemporary}) fs::create_directory(root + dir);
  write_cartridge(c, root + kCartridge);
  check_run(root, run_reader(root, {"-f"}));
  check_run(root, run_reader(root, {"-l"}));
}

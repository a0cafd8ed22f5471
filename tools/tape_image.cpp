// tape_image: makes a virtual cartridge of a tape, so that a tape is read once, at streaming
// speed, and then worked on offline. The manifest holds the drive's identity, the volume
// personality and every cartridge memory attribute; each partition is copied record by record
// into its SIMH partition file, a record that cannot be read written as an unreadable one and
// named in the manifest. It only reads and positions the tape. An imaging that stopped (a signal,
// a failure, a killed process) continues where it stopped when started again on the same
// directory: the manifest is written last, so a directory without one is an imaging in progress.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "cartridge/cartridge_writer.h"
#include "image/cartridge_description.h"
#include "image/partition_copy.h"
#include "output_level.h"
#include "scsi/readiness.h"
#include "scsi_util.h"
#include "spti_lib.h"
#include "support/atomic_file.h"
#include "support/printable.h"
#include "support/safe_dir.h"
#include "support/status_line.h"
#include "support/stop_signal.h"
#include "support/tape_presence.h"
#include "tape_device.h"
#include "vdrive/manifest.h"

namespace {

constexpr char kProgram[] = "tape_image";
// The manifest of an imaging in progress, without the unreadable records: written before the
// partition files, and compared with the cartridge in the drive when the imaging continues.
constexpr char kImagingName[] = "imaging.json";
constexpr int kExitComplete = 0;
constexpr int kExitUnreadable = 2;

struct Options {
  std::string device;
  std::string directory;
  unsigned retries = image::kDefaultRetries;
  int progress = -1;  // 1 --progress, 0 --no-progress, -1 on a terminal only
  unsigned ready_wait = scsi::kLoadWaitSeconds;
};
// A first load's calibration takes up to two hours: a day is the longest wait asked for.
constexpr unsigned kMaxReadyWait = 86400;

char verbosity[64] = "";

void print_usage() {
  std::printf(
      "Usage: %s [options] DEVICE CARTRIDGE_DIR\n"
      "\n"
      "Makes a virtual cartridge of the tape in DEVICE (a SCSI generic node such as /dev/sg1,\n"
      "an st node, or a virtual cartridge directory) in CARTRIDGE_DIR: cartridge.json with the\n"
      "drive's identity, the volume personality and every cartridge memory attribute, and one\n"
      "partition file per partition (p0.tap, p1.tap) holding every record and filemark from\n"
      "the beginning of the partition to its end of data. It reads each partition once,\n"
      "forward, and repositions only to read again a record that could not be read. A record\n"
      "that stays unreadable is written as an unreadable record (as long as the tape's block\n"
      "size, or the longest record read so far) and named in cartridge.json under\n"
      "\"unreadable\". It never writes to the tape.\n"
      "\n"
      "CARTRIDGE_DIR is made when missing (its parent must exist). Until cartridge.json is\n"
      "written the directory holds an imaging in progress: started again on it with the same\n"
      "cartridge, %s checks the partition files and continues where it stopped.\n"
      "\n"
      "Options:\n"
      "  -R, --retries N        read a record that could not be read up to N times more,\n"
      "                         locating back to it before each (0 to %u, default %u)\n"
      "  -v, --verbose LEVEL    show diagnostics up to LEVEL, v to vvvvvv (vvvvvv: every SCSI\n"
      "                         command)\n"
      "      --ready-wait SECONDS  wait up to SECONDS for a cartridge that is loading (1 to %u,\n"
      "                         default %u; a first load may take up to two hours)\n"
      "      --progress         show the status line even when standard error is no terminal\n"
      "      --no-progress      do not show it\n"
      "  -h, --help             show this text\n"
      "      --version          print the version and exit\n"
      "\n"
      "Exit status: 0 the image is complete and every record was read; 2 the image is complete\n"
      "but holds unreadable records; 1 a failure (the imaging can be continued when the cause\n"
      "is removed); 129, 130, 143 stopped by SIGHUP, SIGINT or SIGTERM (it can be continued).\n",
      kProgram, kProgram, image::kMaxRetries, image::kDefaultRetries, kMaxReadyWait,
      scsi::kLoadWaitSeconds);
}

[[noreturn]] void usage_error(const std::string& message) {
  output_fatal(VL_COMMON, "%s: %s (see %s --help)\n", kProgram, message.c_str(), kProgram);
}

unsigned number_option(const char* name, const char* text, unsigned lowest, unsigned highest) {
  unsigned value = 0;
  const char* end = text + std::strlen(text);
  const auto [ptr, ec] = std::from_chars(text, end, value);
  if (*text == '\0' || ec != std::errc() || ptr != end || value < lowest || value > highest) {
    usage_error(std::string(name) + " must be a number from " + std::to_string(lowest) + " to " +
                std::to_string(highest) + ", not \"" + printable(text) + "\"");
  }
  return value;
}

Options parse_options(int argc, char** argv) {
  enum { kProgress = 256, kNoProgress, kReadyWait, kVersion };
  static const option kLong[] = {{"retries", required_argument, nullptr, 'R'},
                                 {"verbose", required_argument, nullptr, 'v'},
                                 {"progress", no_argument, nullptr, kProgress},
                                 {"no-progress", no_argument, nullptr, kNoProgress},
                                 {"ready-wait", required_argument, nullptr, kReadyWait},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, kVersion},
                                 {nullptr, 0, nullptr, 0}};
  Options o;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "+R:v:h", kLong, nullptr)) != -1;) {
    if (c == 'R') {
      o.retries = number_option("--retries", optarg, 0, image::kMaxRetries);
    } else if (c == kReadyWait) {
      o.ready_wait = number_option("--ready-wait", optarg, 1, kMaxReadyWait);
    } else if (c == 'v' && std::strlen(optarg) < sizeof(verbosity)) {
      std::snprintf(verbosity, sizeof(verbosity), "%s", optarg);
    } else if (c == kProgress || c == kNoProgress) {
      o.progress = c == kProgress ? 1 : 0;
    } else if (c == 'h') {
      print_usage();
      throw RunEnded(kExitComplete);
    } else if (c == kVersion) {
      std::printf("%s %s\n", kProgram, OR_VERSION);
      throw RunEnded(kExitComplete);
    } else {
      usage_error(std::string("the option ") + argv[optind - 1] +
                  " is not known, lacks its value or has a value too long");
    }
  }
  if (argc - optind != 2) usage_error("give a DEVICE and a CARTRIDGE_DIR");
  o.device = argv[optind];
  o.directory = argv[optind + 1];
  return o;
}

bool file_exists(const SafeDir& dir, const std::string& name) {
  struct stat st {};
  return ::fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void write_atomically(const SafeDir& dir, const std::string& name, const std::string& text) {
  AtomicFile file;
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (!file.open(dir, name) || !file.write(bytes) || ::fsync(file.fd()) != 0 || !file.commit()) {
    output_fatal(VL_COMMON, "The file %s%s cannot be written: %s.\n", dir.path().c_str(),
                 name.c_str(), std::strerror(errno));
  }
}

// The cartridge directory, made when missing. One that is not the running user's, or that holds a
// complete image, is refused; the temporary files a killed imaging left are removed.
SafeDir prepare_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
    output_fatal(VL_COMMON, "The directory %s cannot be made: %s.\n", path.c_str(),
                 std::strerror(errno));
  }
  SafeDir dir = SafeDir::root(path);
  struct stat status {};
  if (::fstat(dir.fd(), &status) != 0 || status.st_uid != ::geteuid()) {
    refuse_directory(SafeDir::Refusal::foreign, path);
  }
  if (file_exists(dir, vdrive::kManifestFileName)) {
    output_fatal(VL_COMMON,
                 "%s already holds a virtual cartridge (%s): image into another "
                 "directory.\n",
                 path.c_str(), vdrive::kManifestFileName);
  }
  for (const char* name : {kImagingName, vdrive::kManifestFileName}) {
    remove_stale_temporaries(dir, name);
  }
  return dir;
}

// Opens the drive for this program alone and waits until it is ready.
std::unique_ptr<TapeDrive> open_drive(const std::string& device, unsigned ready_wait) {
  // An st or nst node is replaced by its drive's sg node; a name that is no tape ends the run.
  const std::string node =
      is_virtual_cartridge(device.c_str()) ? device : tape_node_to_open(device.c_str());
  std::string refusal;
  const int fd = tape_device_open(node.c_str(), TapeAccess::exclusive, &refusal);
  if (fd < 0) {
    const int e = errno;
    if (!refusal.empty()) {
      output_fatal(VL_COMMON, "The drive %s cannot be opened: %s.\n", node.c_str(),
                   printable(refusal).c_str());
    }
    if (e == EBUSY) {
      output_fatal(VL_COMMON, "The drive %s is in use by another program (%s).\n", node.c_str(),
                   std::strerror(e));
    }
    output_fatal(VL_COMMON, "The drive %s cannot be opened: %s.\n", node.c_str(), std::strerror(e));
  }
  auto drive = std::make_unique<TapeDrive>(fd);
  scsi::wait_until_ready(drive->param(), drive->sense(), node.c_str(), ready_wait);
  drive->begin_job();
  drive->learn_transfer_limits();
  return drive;
}

// The manifest of the image: read from the cartridge for a new imaging (and written as the
// imaging's description before anything else), or the one that an earlier imaging of the same
// cartridge wrote.
vdrive::Manifest image_manifest(const SafeDir& dir, void* scparam) {
  const vdrive::Manifest tape = image::describe_cartridge(scparam);
  if (!file_exists(dir, kImagingName)) {
    for (const std::string& name : tape.partitions) {
      if (file_exists(dir, name)) {
        output_fatal(VL_COMMON,
                     "%s holds %s but no %s: it holds no imaging of %s. Image into "
                     "an empty directory.\n",
                     dir.path().c_str(), name.c_str(), kImagingName, kProgram);
      }
    }
    write_atomically(dir, kImagingName, vtape::to_json(tape));
    return tape;
  }
  std::string text;
  std::string error = "it cannot be read";
  std::optional<vdrive::Manifest> saved;
  if (read_plain_file(dir, kImagingName, &text)) saved = vdrive::parse_manifest(text, &error);
  if (!saved) {
    output_fatal(VL_COMMON, "The imaging in %s cannot be continued: %s%s %s.\n", dir.path().c_str(),
                 dir.path().c_str(), kImagingName, error.c_str());
  }
  const std::string differs = image::difference(*saved, tape);
  if (!differs.empty()) {
    output_fatal(VL_COMMON,
                 "%s holds the imaging of another cartridge (%s differs): image this "
                 "one into another directory.\n",
                 dir.path().c_str(), differs.c_str());
  }
  output_accdg_to_vl(LV_INFO, VL_COMMON, "The imaging in %s continues.\n", dir.path().c_str());
  return *saved;
}

// Copies the partitions in order, each file complete before the next is begun; false when a stop
// signal ended the copy.
bool copy_partitions(TapeDrive& drive, const SafeDir& dir, const vdrive::Manifest& m,
                     unsigned retries, image::ImageState* state) {
  for (uint32_t p = 0; p < m.partitions.size(); ++p) {
    const image::PartitionFileState file =
        image::examine_partition_file(dir, m.partitions[p], p, state);
    if (file.complete) continue;
    for (size_t later = p + 1; later < m.partitions.size(); ++later) {
      if (file_exists(dir, m.partitions[later])) {
        output_fatal(VL_COMMON,
                     "%s holds %s while %s is not complete: %s writes the partition "
                     "files in order. Image into an empty directory.\n",
                     dir.path().c_str(), m.partitions[later].c_str(), m.partitions[p].c_str(),
                     kProgram);
      }
    }
    if (file.objects > 0) {
      output_accdg_to_vl(LV_INFO, VL_COMMON,
                         "Partition %" PRIu32 " continues at object %" PRIu64 ".\n", p,
                         file.objects);
    }
    if (image::copy_partition(drive, dir, m.partitions[p], p, file, retries, state) ==
        image::CopyEnd::stopped) {
      return false;
    }
  }
  return true;
}

int run(const Options& o) {
  const SafeDir dir = prepare_directory(o.directory);
  std::unique_ptr<TapeDrive> drive = open_drive(o.device, o.ready_wait);
  vdrive::Manifest m = image_manifest(dir, drive->param());
  status_line::set_mode(
      status_line::mode_for(o.progress, isatty(STDERR_FILENO) != 0, get_verbose_rank(verbosity)));
  image::ImageState state;
  const bool whole = copy_partitions(*drive, dir, m, o.retries, &state);
  status_line::finish();
  drive->end_job();
  drive.reset();
  if (!whole) {
    const int signal_number = stop_requested();
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "Interrupted by %s: the partition files in %s hold "
                       "the objects copied so far; %s started again on it continues there.\n",
                       stop_signal_name(signal_number), dir.path().c_str(), kProgram);
    return stop_exit_status(signal_number);
  }
  m.unreadable = state.unreadable;
  write_atomically(dir, vdrive::kManifestFileName, vtape::to_json(m));
  ::unlinkat(dir.fd(), kImagingName, 0);
  output_accdg_to_vl(LV_INFO, VL_COMMON,
                     "The image in %s is complete: %" PRIu64
                     " objects "
                     "(records and filemarks) in %zu partitions, %zu of the records unreadable.\n",
                     dir.path().c_str(), state.objects, m.partitions.size(),
                     state.unreadable.size());
  return state.unreadable.empty() ? kExitComplete : kExitUnreadable;
}

// Runs the copy; a partition file that cannot be written ends it as a system failure does.
int run_or_fail(const Options& options) {
  try {
    return run(options);
  } catch (const RunEnded&) {
    throw;
  } catch (const std::exception& e) {
    output_fatal(VL_COMMON, "%s: %s.\n", kProgram, e.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  set_vl(verbosity);
  try {
    const Options options = parse_options(argc, argv);
    install_stop_handlers();
    return run_or_fail(options);
  } catch (const RunEnded& ended) {
    status_line::finish();
    return ended.status();
  }
}

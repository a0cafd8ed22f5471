// Run driver of object_reader: options and argument rules, drive opening, run preparation and
// the dispatch of the one job the user asked for.
#include "object_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/free_space.h"
#include "driver/library_job.h"
#include "driver/retrieval_list.h"
#include "driver/run_temporary.h"
#include "driver/tape_listing.h"
#include "walk/salvage.h"
#include "endian_utils.h"
#include "marker_layout.h"
#include "output_level.h"
#include "s3/s3_config.h"
#include "scsi/readiness.h"
#include "scsi/scsi_decode.h"
#include "scsi_util.h"
#include "support/atomic_file.h"
#include "support/file_failure.h"
#include "support/file_helpers.h"
#include "support/printable.h"
#include "support/run_record.h"
#include "support/safe_dir.h"
#include "support/status_line.h"
#include "support/stop_signal.h"
#include "support/tape_presence.h"
#include "support/unique_fd.h"
#include "tape_device.h"
#include "vdrive/vdrive.h"
#include "vexa_format_checker.h"
#include "walk/cache_file.h"
#include "walk/history.h"
#include "walk/list_files.h"
#include "walk/lost_report.h"
#include "walk/numbering.h"
#include "walk/progress.h"
#include "walk/save_layout.h"
#include "walk/store_sink.h"
#include "walk/walk.h"

namespace {

constexpr int kBucketNameMin = 3;
constexpr uint32_t kIntervalMin = 60;
constexpr uint32_t kIntervalMax = 86400;
// Long options without a short form.
constexpr int kVersionOption = 1000;
constexpr int kProgressOption = 1001;
constexpr int kNoProgressOption = 1002;
constexpr int kReportOption = 1003;
constexpr int kReadRetriesOption = 1004;
constexpr int kS3Option = 1005;
constexpr int kS3BucketPrefixOption = 1006;
constexpr int kS3MultipartThresholdOption = 1007;
constexpr int kS3InFlightOption = 1008;
constexpr int kReadyWaitOption = 1009;
constexpr int kLogJsonOption = 1010;
constexpr int kRetrieveListOption = 1011;
constexpr int kLsOption = 1012;
constexpr int kLsFormatOption = 1013;
constexpr int kBucketFilterOption = 1014;
constexpr int kPrefixOption = 1015;
constexpr int kRetryLostOption = 1016;
constexpr int kSalvageOption = 1017;
constexpr int kChangerOption = 1018;
constexpr int kSlotsOption = 1019;
constexpr int kBarcodesOption = 1020;
// A first load's calibration takes up to two hours: a day is the longest wait asked for.
constexpr int kMaxReadyWait = 86400;
constexpr int kMaxReadRetries = 100;
constexpr int kMaxInFlight = 64;
// Bucket names are at most 63 characters: a prefix leaves room for the shortest one.
constexpr size_t kMaxBucketPrefix = 63 - kBucketNameMin;

// The run's settings, owned by object_reader_main for the whole run. The verbosity text is
// registered with the diagnostic output by reference: it lives as long as the run.
struct Settings {
  char drive_name[4097] = "";
  char bucket_name[64] = "";
  char object_key[1025] = "";
  char object_id[37] = "latest";
  uint32_t structure_level = 0;
  char save_path[4097] = "";
  char verbose_level[4097] = "";
  uint32_t history_interval = 0;
  time_t started = 0;                            // the first interval of the history begins here
  int read_retries = 2;                          // --read-retries
  uint32_t ready_wait = scsi::kLoadWaitSeconds;  // --ready-wait
  Bool is_drive_specified = False;
  Bool is_full_dump_required = False;
  Bool is_resume_dump_required = False;
  Bool is_output_list = False;
  Bool is_output_object = False;
  Bool is_force_enabled = False;
  // Options beyond the historical set: the status line, the report and the message log.
  int progress = -1;   // 1 --progress, 0 --no-progress, -1 on a terminal only
  bool quiet = false;  // -q: problems and the summary only; no status line unless --progress
  std::string report_path;
  std::string log_json_path;
  // --s3 and the options that go with it: the objects restored into an S3 store.
  bool to_store = false;
  bool store_option = false;  // --s3-bucket-prefix, --s3-multipart-threshold or --s3-in-flight
  s3::StoreOptions store;
  // Many objects in one pass, and what a dump or a list run writes.
  std::string retrieve_list_path;  // --retrieve-list
  bool listing = false;            // --ls
  ListingFormat listing_format = ListingFormat::tsv;
  bool listing_format_given = false;
  walk::Filter filter;  // --bucket-filter, --prefix
  bool prefix_given = false;
  bool retry_lost = false;  // --retry-lost: a second pass over the objects a dump lost
  bool salvage = false;     // --salvage: what reads of those still lost, beside a map of holes
  // A library job: the changer, every -d given, the cartridges chosen.
  std::string changer;
  std::vector<std::string> drives;
  std::optional<std::pair<int, int>> slots;
  std::vector<std::string> barcodes;
};

// The status line of a long job: on a terminal unless --no-progress or -q (or wherever --progress
// asks for it, -q or not); elsewhere, with -v v or more, a progress message a minute.
void choose_progress_display(const Settings& settings) {
  const bool terminal = isatty(STDERR_FILENO) != 0 && !settings.quiet;
  if (settings.progress == 1 || (settings.progress == -1 && terminal)) {
    status_line::set_mode(status_line::Mode::terminal);
  } else if (settings.progress == -1 && get_verbose_rank(settings.verbose_level) >= 1) {
    status_line::set_mode(status_line::Mode::periodic);
  }
}

std::string with_unit(uint64_t bytes) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.1f MiB (%" PRIu64 " bytes)",
                static_cast<double>(bytes) / 1048576.0, bytes);
  return text;
}

bool selecting(const Settings& settings);

// The lines after a job's completion message: what became of the objects, the messages, the time.
void print_summary(const Settings& settings, bool listing) {
  status_line::finish();
  const run_record::Totals& t = run_record::totals();
  const double seconds = run_record::elapsed_seconds();
  const bool storing = settings.to_store && !listing;
  const char* done = listing ? "listed" : storing ? "stored" : "written";
  const std::string not_stored = storing ? std::to_string(t.not_stored) + " not stored, " : "";
  output_summary("Objects: %" PRIu64 " %s, %" PRIu64 " already there, %" PRIu64 " refused, %" PRIu64
                 " not readable, %s%" PRIu64 " lost; %s.\n",
                 listing ? t.listed : t.written, done, t.exists, t.refused, t.unreadable,
                 not_stored.c_str(), t.lost, with_unit(t.bytes).c_str());
  // What the job asked for, found, wrote and lost, in bytes too.
  const std::string asked = t.asked ? std::to_string(*t.asked)
                            : selecting(settings) ? "the selection"
                                                  : "every object";
  output_summary("Asked: %s; found %" PRIu64 " (%s); %s %" PRIu64 " (%s); lost %" PRIu64
                 " (%s).\n",
                 asked.c_str(), t.asked ? t.found : t.met,
                 with_unit(t.asked ? t.found_bytes : t.met_bytes).c_str(), done,
                 listing ? t.listed : t.written, with_unit(t.bytes).c_str(), t.lost,
                 with_unit(t.lost_bytes).c_str());
  output_summary("Messages: %" PRIu64 " errors, %" PRIu64 " warnings.\n", t.errors, t.warnings);
  const auto whole = static_cast<uint64_t>(seconds);
  output_summary("Time: %" PRIu64 ":%02" PRIu64 ":%02" PRIu64 ", %.1f MiB/s on average.\n",
                 whole / 3600, whole / 60 % 60, whole % 60,
                 seconds > 0 ? static_cast<double>(t.bytes) / 1048576.0 / seconds : 0.0);
}

// Copies `src` into a fixed field, cut to the field's length.
template <size_t N>
void copy_field(char (&field)[N], const char* src) {
  std::strncpy(field, src, N - 1);
  field[N - 1] = '\0';
}

// A number of bytes, with K, M or G for KiB, MiB or GiB.
bool parse_bytes(std::string_view text, uint64_t* bytes) {
  uint64_t unit = 1;
  if (!text.empty() && std::string_view("KMG").find(text.back()) != std::string_view::npos) {
    for (const char c : std::string_view("KMG")) {
      unit *= 1024;
      if (c == text.back()) break;
    }
    text.remove_suffix(1);
  }
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
      value > UINT64_MAX / unit) {
    return false;
  }
  *bytes = value * unit;
  return true;
}

// A bucket prefix makes a bucket name with any bucket name of the tape: the name's characters,
// beginning with a letter or digit.
bool valid_bucket_prefix(std::string_view prefix) {
  const auto alnum = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
  return !prefix.empty() && prefix.size() <= kMaxBucketPrefix && alnum(prefix.front()) &&
         std::all_of(prefix.begin(), prefix.end(),
                     [&](char c) { return alnum(c) || c == '.' || c == '-'; });
}

// The whole decimal number `text` of option `name`, from `lowest` to `highest`; anything else
// ends the run.
int number_option(const char* text, const char* name, int lowest, int highest) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < lowest || value > highest) {
    output_fatal(VL_COMMON, "%s must be a number from %d to %d.\n", name, lowest, highest);
  }
  return static_cast<int>(value);
}

// Applies one of the options of a restore into an S3 store.
void apply_store_option(Settings& settings, int opt) {
  s3::StoreOptions& store = settings.store;
  if (opt != kS3Option) settings.store_option = true;
  if (opt == kS3Option) {
    settings.to_store = true;
    store.endpoint = optarg;
  } else if (opt == kS3BucketPrefixOption) {
    if (!valid_bucket_prefix(optarg)) {
      output_fatal(VL_COMMON,
                   "--s3-bucket-prefix must be 1 to %zu characters of a-z 0-9 . -, beginning "
                   "with a letter or digit.\n",
                   kMaxBucketPrefix);
    }
    store.bucket_prefix = optarg;
  } else if (opt == kS3MultipartThresholdOption) {
    if (!parse_bytes(optarg, &store.multipart_threshold) ||
        store.multipart_threshold < s3::kMinPartSize ||
        store.multipart_threshold > s3::kMaxSinglePut) {
      output_fatal(VL_COMMON,
                   "--s3-multipart-threshold must be a number of bytes from %" PRIu64
                   "M to %" PRIu64 "G (K, M and G for KiB, MiB and GiB).\n",
                   s3::kMinPartSize / s3::kMiB, s3::kMaxSinglePut / s3::kMiB / 1024);
    }
  } else if (opt == kS3InFlightOption) {
    store.max_in_flight = number_option(optarg, "--s3-in-flight", 1, kMaxInFlight);
  }
}

// The options that choose the object of a retrieval.
void apply_object_option(Settings& settings, int opt) {
  switch (opt) {
    case 'b':
      copy_field(settings.bucket_name, optarg);
      if (std::strlen(settings.bucket_name) < static_cast<size_t>(kBucketNameMin)) {
        output_fatal(VL_COMMON, "Bucket name length must be %d or longer.\n", kBucketNameMin);
      }
      if (check_bucket_name(settings.bucket_name) != 0) {
        output_fatal(VL_COMMON, "Bucket name is invalid.\n");
      }
      settings.is_output_object = True;
      break;
    case 'L': {
      unsigned int level = 0;
      if (std::sscanf(optarg, "%u", &level) == 1) settings.structure_level = level;
      if (settings.structure_level > 1) {
        output_fatal(VL_COMMON, "Only 0 or 1 is allowed to be option of \"Level\".\n");
      }
      settings.is_output_object = True;
      break;
    }
    case 'o':
      copy_field(settings.object_key, optarg);
      settings.is_output_object = True;
      break;
    case 'O':
      copy_field(settings.object_id, optarg);
      if (std::strcmp(settings.object_id, "latest") != 0 &&
          std::strcmp(settings.object_id, "all") != 0) {
        settings.is_output_object = True;
      }
      break;
    default:
      break;
  }
}

// The options of many objects in one pass, of a listing, and of what a dump or a list run writes.
void apply_selection_option(Settings& settings, int opt) {
  switch (opt) {
    case kRetrieveListOption:
      if (*optarg == '\0') output_fatal(VL_COMMON, "The option (--retrieve-list) needs a value.\n");
      settings.retrieve_list_path = optarg;
      break;
    case kLsOption:
      settings.listing = true;
      break;
    case kRetryLostOption:
      settings.retry_lost = true;
      break;
    case kSalvageOption:
      settings.salvage = true;
      break;
    case kChangerOption:
      settings.changer = optarg;
      break;
    case kSlotsOption: {
      int first = 0;
      int last = 0;
      char rest = 0;
      if (std::sscanf(optarg, "%d-%d%c", &first, &last, &rest) != 2 || first < 1 || last < first) {
        output_fatal(VL_COMMON, "--slots must be FIRST-LAST, two slot numbers from 1.\n");
      }
      settings.slots = std::pair{first, last};
      break;
    }
    case kBarcodesOption:
      for (std::string_view list = optarg; !list.empty();) {
        const size_t comma = std::min(list.find(','), list.size());
        if (comma > 0) settings.barcodes.emplace_back(list.substr(0, comma));
        list.remove_prefix(std::min(comma + 1, list.size()));
      }
      break;
    case kLsFormatOption:
      if (std::strcmp(optarg, "tsv") != 0 && std::strcmp(optarg, "json") != 0) {
        output_fatal(VL_COMMON, "--ls-format must be tsv or json.\n");
      }
      settings.listing_format =
          std::strcmp(optarg, "json") == 0 ? ListingFormat::json : ListingFormat::tsv;
      settings.listing_format_given = true;
      break;
    case kBucketFilterOption:
      if (std::strlen(optarg) >= 64 || check_bucket_name(optarg) != 0) {
        output_fatal(VL_COMMON, "--bucket-filter (%s) is not a valid bucket name.\n",
                     printable(optarg).c_str());
      }
      settings.filter.buckets.emplace_back(optarg);
      break;
    case kPrefixOption:
      // Recorded in the history, one line a key: no line breaks or other control characters.
      if (std::any_of(optarg, optarg + std::strlen(optarg),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        output_fatal(VL_COMMON, "--prefix must not hold control characters.\n");
      }
      settings.filter.prefix = optarg;
      settings.prefix_given = true;
      break;
    default:
      break;  // refused by check_command_line before any option took effect
  }
}

// The long options without a short form. False when the option was the whole job (--version).
bool apply_long_option(Settings& settings, int opt) {
  switch (opt) {
    case kVersionOption:
      std::printf("object_reader %s\n", OR_VERSION);
      return false;
    case kProgressOption:
    case kNoProgressOption:
      settings.progress = opt == kProgressOption ? 1 : 0;
      break;
    case kReportOption:
    case kLogJsonOption:
      if (*optarg == '\0') {
        output_fatal(VL_COMMON, "The option (%s) needs a value. See --help.\n",
                     opt == kReportOption ? "--report" : "--log-json");
      }
      (opt == kReportOption ? settings.report_path : settings.log_json_path) = optarg;
      break;
    case kReadRetriesOption:
      settings.read_retries = number_option(optarg, "--read-retries", 0, kMaxReadRetries);
      break;
    case kReadyWaitOption:
      settings.ready_wait =
          static_cast<uint32_t>(number_option(optarg, "--ready-wait", 1, kMaxReadyWait));
      break;
    case kS3Option:
    case kS3BucketPrefixOption:
    case kS3MultipartThresholdOption:
    case kS3InFlightOption:
      apply_store_option(settings, opt);
      break;
    default:
      apply_selection_option(settings, opt);
      break;
  }
  return true;
}

// Applies one option that getopt_long returned. False when the option was the whole job (--help,
// --version): the options after it are not applied.
bool apply_option(Settings& settings, int opt, const char* appname) {
  switch (opt) {
    case 'b':
    case 'L':
    case 'o':
    case 'O':
      apply_object_option(settings, opt);
      break;
    case 'd':
      copy_field(settings.drive_name, optarg);
      settings.is_drive_specified = True;
      settings.drives.emplace_back(optarg);
      break;
    case 'F':
      settings.is_force_enabled = True;
      break;
    case 'f':
      settings.is_full_dump_required = True;
      break;
    case 'h':
      print_usage(appname);
      return false;
    case 'i':
      check_interval(optarg, &settings.history_interval);
      break;
    case 'l':
      settings.is_output_list = True;
      break;
    case 'q':
      settings.quiet = true;
      break;
    case 'r':
      settings.is_resume_dump_required = True;
      break;
    case 's':
      copy_field(settings.save_path, optarg);
      break;
    case 'v':
      copy_field(settings.verbose_level, optarg);
      break;
    default:
      return apply_long_option(settings, opt);
  }
  return true;
}

constexpr char kShortOptions[] = ":b:d:Ffhi:L:lo:O:qrs:v:";
const option kLongOptions[] = {
    {"bucket", required_argument, nullptr, 'b'},
    {"drive", required_argument, nullptr, 'd'},
    {"Force", no_argument, nullptr, 'F'},
    {"full-dump", no_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, 'h'},
    {"interval", required_argument, nullptr, 'i'},
    {"Level", required_argument, nullptr, 'L'},
    {"list", no_argument, nullptr, 'l'},
    {"object-key", required_argument, nullptr, 'o'},
    {"Object-id", required_argument, nullptr, 'O'},
    {"quiet", no_argument, nullptr, 'q'},
    {"resume-dump", no_argument, nullptr, 'r'},
    {"save-path", required_argument, nullptr, 's'},
    {"verbose", required_argument, nullptr, 'v'},
    {"version", no_argument, nullptr, kVersionOption},
    {"progress", no_argument, nullptr, kProgressOption},
    {"no-progress", no_argument, nullptr, kNoProgressOption},
    {"report", required_argument, nullptr, kReportOption},
    {"log-json", required_argument, nullptr, kLogJsonOption},
    {"read-retries", required_argument, nullptr, kReadRetriesOption},
    {"ready-wait", required_argument, nullptr, kReadyWaitOption},
    {"s3", required_argument, nullptr, kS3Option},
    {"s3-bucket-prefix", required_argument, nullptr, kS3BucketPrefixOption},
    {"s3-multipart-threshold", required_argument, nullptr, kS3MultipartThresholdOption},
    {"s3-in-flight", required_argument, nullptr, kS3InFlightOption},
    {"retrieve-list", required_argument, nullptr, kRetrieveListOption},
    {"ls", no_argument, nullptr, kLsOption},
    {"ls-format", required_argument, nullptr, kLsFormatOption},
    {"bucket-filter", required_argument, nullptr, kBucketFilterOption},
    {"prefix", required_argument, nullptr, kPrefixOption},
    {"retry-lost", no_argument, nullptr, kRetryLostOption},
    {"salvage", no_argument, nullptr, kSalvageOption},
    {"changer", required_argument, nullptr, kChangerOption},
    {"slots", required_argument, nullptr, kSlotsOption},
    {"barcodes", required_argument, nullptr, kBarcodesOption},
    {nullptr, 0, nullptr, 0},
};

// The option getopt_long just refused, as the user wrote it (a short one by its letter).
std::string refused_option(char** argv) {
  const std::string_view word = argv[optind - 1];
  if (optopt > 0 && optopt < kVersionOption && !word.starts_with("--")) {
    return std::string("-") + static_cast<char>(optopt);
  }
  return printable(argv[optind - 1]);
}

// The whole command line is checked before any option takes effect: an unknown option, an option
// without its value, or a word that is no option's value ends the run, naming it. Passing them
// over would run a job the user did not ask for (a mistyped -s dumps into the working
// directory).
void check_command_line(int argc, char** argv) {
  opterr = 0;
  optind = 0;
  int opt = 0;
  while ((opt = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
    // A long option given a value it does not take (--progress=yes): getopt_long names it by its
    // short form or its number, not as written.
    const std::string_view word = argv[optind - 1];
    if (opt == '?' && optopt != 0 && word.starts_with("--") && word.find('=') != word.npos) {
      output_fatal(VL_COMMON, "The option (%s) takes no value. See --help.\n",
                   refused_option(argv).c_str());
    }
    if (opt == '?') {
      output_fatal(VL_COMMON, "The option (%s) is not known. See --help.\n",
                   refused_option(argv).c_str());
    }
    if (opt == ':') {
      output_fatal(VL_COMMON, "The option (%s) needs a value. See --help.\n", argv[optind - 1]);
    }
  }
  if (optind < argc) {
    output_fatal(VL_COMMON, "The word (%s) is not the value of an option. See --help.\n",
                 argv[optind]);
  }
  optind = 0;
}

// Applies the options; false when one of them was the whole job (--help, --version).
bool parse_options(Settings& settings, int argc, char** argv) {
  check_command_line(argc, argv);
  int opt = 0;
  while ((opt = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
    if (!apply_option(settings, opt, argv[0])) return false;
  }
  return true;
}

}  // namespace

void print_usage(const char* appname) {
  std::fprintf(stderr, "usage: %s <options>\n", appname);
  std::fputs(
      "Available options are:\n"
      "  -b, --bucket          = <name>   Specify a bucket name in which an object you specified "
      "is stored.\n"
      "  -d, --drive           = <name>   Specify a device name of a tape drive.\n"
      "  -F, --Force           : Avoid to check a disk space during either Full dump or Resume "
      "dump.\n"
      "  -f, --full-dump       : Read all objects from a tape formatted with the Quorrant.\n"
      "  -h, --help\n"
      "  -i, --interval        : Output a progress to \"history.log\" during either Full dump or "
      "Resume dump.\n"
      "  -L, --Level           = <value>  Specify output level. default is 0\n"
      "                                   0: Object Data and Meta\n"
      "                                   1: Packed Object\n"
      "  -l, --list            : Output a list of all objects in each bucket stored in a tape.\n"
      "  -o, --object-key      = <name>   Specify an object KEY.\n"
      "  -O, --Object-id       = <ID or Option> Specify an Object version. default is "
      "\"latest\".\n"
      "                          <ID>     Specify a versioned object ID, which will be shown in a "
      "list file.\n"
      "                          <Option> Either \"latest\" or \"all\" is available.\n"
      "                                   \"latest\" : Output ONLY the latest version object. \n"
      "                                   \"all\"    : Output ALL versions with the Object-Key. \n"
      "  -r, --resume-dump     : Resume a Full dump process when \"history.log\" file was "
      "updated.\n"
      "  -s, --save-path       = <path>   Specify a full path where data will be stored. Default "
      "is the application path.\n"
      "  -v, --verbose         = <level>  Specify output_level.\n"
      "                                   If this option is not set, nothing will be displayed.\n"
      "                                   v:information about header.\n"
      "                                   vv:information about L4 in addition to above.\n"
      "                                   vvv:information about L3 in addition to above.\n"
      "                                   vvvv:information about L2 in addition to above.\n"
      "                                   vvvvv:information about L1 in addition to above.\n"
      "                                   vvvvvv:information about MISC for MAM and others in "
      "addition to above.\n",
      stderr);
  // The options added since, in the same style.
  std::fputs(
      "      --ready-wait      = <seconds> Wait up to the seconds for a "
      "drive that is loading. default is 180\n"
      "      --read-retries    = <count>  Read an unreadable block up to the "
      "count more times. default is 2\n"
      "      --progress        : Show the status line of a dump or a list run.\n"
      "      --no-progress     : Do not show the status line.\n"
      "      --report          = <file>   Write a JSON report of the run to the file.\n"
      "      --log-json        = <file>   Append every message to the file, a JSON object a line.\n"
      "  -q, --quiet           : Show only warnings, errors and the summary.\n"
      "      --retrieve-list   = <file>   Retrieve the objects the file asks for, in one pass.\n"
      "      --ls              : With --list, print every object version on standard output.\n"
      "      --ls-format       = <format> tsv or json. default is tsv\n"
      "      --bucket-filter   = <name>   Write only the objects of the bucket (repeatable).\n"
      "      --prefix          = <text>   Write only the objects whose keys begin with the text.\n"
      "      --retry-lost      : With --resume-dump, read again the objects a dump lost.\n"
      "      --salvage         : With --retry-lost, keep what reads of those still lost.\n"
      "      --changer         = <device> Read the cartridges of a library, on every -d.\n"
      "      --slots           = <first-last> The library's storage slots to read.\n"
      "      --barcodes        = <list>   The cartridges to read, by barcode, comma-separated.\n"
      "      --s3              = <URL>    Put the objects into an "
      "S3-compatible store instead of files.\n"
      "      --s3-bucket-prefix = <text>   Put the text before every bucket name in the store.\n"
      "      --s3-multipart-threshold = <bytes> Send larger objects in parts. default is 64M\n"
      "      --s3-in-flight    = <count>  Requests on the wire at once. default is 8\n"
      "      --version         : Output the version of the program.\n",
      stderr);
}

int check_interval(const char* str_interval, uint32_t* interval) {
  for (const char* c = str_interval; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') {
      output_fatal(VL_COMMON, "Interval must be digit(s).\n");
    }
  }
  *interval = static_cast<uint32_t>(std::strtoul(str_interval, nullptr, 10));
  if (*interval < kIntervalMin) {
    output_fatal(VL_COMMON, "Interval must be greater than %d seconds.\n",
                 static_cast<int>(kIntervalMin));
  }
  if (*interval > kIntervalMax) {
    output_fatal(VL_COMMON, "Interval must be %d seconds or less.\n",
                 static_cast<int>(kIntervalMax));
  }
  return 0;
}

int check_arguments(int is_drive_specified, int is_output_list, int is_resume_dump_required,
                    int is_full_dump_required, int is_output_object, const char* bucket_name,
                    const char* object_key, const char* object_id, uint32_t structure_level) {
  auto fail = [](const char* message) -> int { output_fatal(VL_COMMON, "%s", message); };
  if (!is_drive_specified) return fail("Please specify --drive option.\n");
  if (!is_output_list && !is_resume_dump_required && !is_full_dump_required && !is_output_object) {
    return fail(
        "Please specify at least --full-dump, --resume-dump, --list, or both --bucket and "
        "--object option.\n");
  }
  if (is_output_object && (bucket_name[0] == '\0' || object_key[0] == '\0')) {
    return fail("Please specify both --bucket and --object.\n");
  }
  if (structure_level == 1 && std::strncmp(object_id, "all", 3) == 0) {
    output_fatal(VL_COMMON,
                 "You cannot specify \"-O all -L 1\".\n%sIf you want to get packed "
                 "objects, please specify \"-O latest\" or \"-O {specific object id}\"\n",
                 INDENT);
  }
  if (is_output_list && is_resume_dump_required && is_full_dump_required) {
    return fail("Please specify either --full-dump, --resume-dump, or --list option.\n");
  }
  if (is_output_list && is_resume_dump_required) {
    return fail("Please specify either --resume-dump or --list option.\n");
  }
  if (is_output_list && is_full_dump_required) {
    return fail("Please specify either --full-dump or --list option.\n");
  }
  if (is_output_object && is_resume_dump_required && is_full_dump_required) {
    return fail(
        "Please specify either --full-dump, --resume-dump, or both --bucket and --object "
        "option.\n");
  }
  if (is_output_object && is_resume_dump_required) {
    return fail("Please specify either --resume-dump or both --bucket and --object option.\n");
  }
  if (is_output_object && is_full_dump_required) {
    return fail("Please specify either --full-dump or both --bucket and --object option.\n");
  }
  if (is_resume_dump_required && is_full_dump_required) {
    return fail("Please specify either --full-dump or --resume-dump.\n");
  }
  return 0;
}

namespace {

// --s3 goes with the jobs that write objects, and the options of a restore with --s3.
void check_store_arguments(const Settings& settings) {
  if (!settings.to_store) {
    if (settings.store_option) {
      output_fatal(VL_COMMON,
                   "--s3-bucket-prefix, --s3-multipart-threshold and --s3-in-flight go with "
                   "--s3.\n");
    }
    return;
  }
  if (!settings.is_full_dump_required && !settings.is_resume_dump_required &&
      !settings.is_output_object && settings.retrieve_list_path.empty()) {
    output_fatal(VL_COMMON,
                 "--s3 goes with a full dump, a resume dump or a retrieval (--bucket and "
                 "--object).\n");
  }
  // A packed object is the tape's own container, not an object of the store.
  if (settings.structure_level == 1) {
    output_fatal(VL_COMMON, "--s3 does not go with -L 1: the store takes objects only.\n");
  }
  const std::string problem = s3::check_options(settings.store);
  if (!problem.empty()) output_fatal(VL_COMMON, "--s3 cannot be used: %s.\n", problem.c_str());
}

bool selecting(const Settings& settings) {
  return !settings.filter.buckets.empty() || settings.prefix_given;
}

// The combinations of the options of many objects, a listing and a selection.
void check_selection_arguments(const Settings& settings) {
  const auto fail = [](const char* message) { output_fatal(VL_COMMON, "%s", message); };
  const bool dump = settings.is_full_dump_required || settings.is_resume_dump_required;
  if (!settings.retrieve_list_path.empty() &&
      (dump || settings.is_output_object || std::strcmp(settings.object_id, "latest") != 0 ||
       settings.structure_level != 0)) {
    fail(
        "--retrieve-list goes alone or with --list: not with a dump, --bucket, --object-key, "
        "--Object-id or --Level.\n");
  }
  if (settings.listing && (!settings.is_output_list || settings.is_output_object ||
                           !settings.retrieve_list_path.empty())) {
    fail("--ls goes with --list alone: the listing is all that standard output carries.\n");
  }
  if (settings.listing_format_given && !settings.listing) fail("--ls-format goes with --ls.\n");
  if (settings.retry_lost && (!settings.is_resume_dump_required || selecting(settings))) {
    fail("--retry-lost goes with --resume-dump, without --bucket-filter or --prefix.\n");
  }
  if (settings.salvage && (!settings.retry_lost || settings.to_store)) {
    fail("--salvage goes with --retry-lost, into files.\n");
  }
  const bool library = !settings.changer.empty();
  if (library && (settings.is_output_object || !settings.retrieve_list_path.empty() ||
                  settings.retry_lost || settings.listing ||
                  (!dump && !settings.is_output_list))) {
    fail("--changer goes with a full dump, a resume dump or a list run of the library.\n");
  }
  if (!library && (settings.slots || !settings.barcodes.empty() || settings.drives.size() > 1)) {
    fail("--slots, --barcodes and more than one --drive go with --changer.\n");
  }
  if (selecting(settings) && (settings.is_output_object || !settings.retrieve_list_path.empty() ||
                    (!dump && !settings.is_output_list))) {
    fail("--bucket-filter and --prefix go with a full dump, a resume dump or a list run.\n");
  }
}

// The store a restore puts the objects into, checked (credentials, reachability) before the
// drive is opened: a store that cannot be used ends the run before the tape moves. Nothing
// without --s3.
std::unique_ptr<walk::StoreSink> open_store(const Settings& settings) {
  if (!settings.to_store) return nullptr;
  auto sink = std::make_unique<walk::StoreSink>(settings.store);
  return sink;
}

}  // namespace

// =============================================================================================
// Drive opening
// =============================================================================================

// For a virtual cartridge, the report gains what the virtual drive counted: the commands, the
// reads and positionings, and the estimated time a real drive would have spent on them.
void note_virtual_drive_figures() {
  run_record::note_late_figures("virtual_drive", [] {
    const vdrive::Counters c = vdrive::total_counters();
    return run_record::Figures{{"commands", c.commands},
                               {"reads", c.read},
                               {"bytes_read", c.bytes_read},
                               {"locates", c.locate},
                               {"spaces", c.space},
                               {"rewinds", c.rewind},
                               {"stops", c.stops},
                               {"backward", c.backward},
                               {"partition_changes", c.partition_changes},
                               {"prevent_removal", c.prevent_removal},
                               {"allow_removal", c.allow_removal},
                               {"drive_seconds", c.drive_microseconds / 1e6},
                               {"host_stops", c.host_stops},
                               {"host_seconds", c.host_microseconds / 1e6},
                               {"host_bytes_per_second", c.host_bytes_per_second()}};
  });
}

int open_drive(const char* device_name, std::unique_ptr<TapeDrive>* drive, MamVci* mamvci,
               MamHta* mamhta, uint32_t ready_wait_seconds) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:open_drive\n");
  // An st or nst node is replaced by its drive's sg node; a name that is no tape ends the run.
  const std::string node =
      is_virtual_device(device_name) ? std::string(device_name) : tape_node_to_open(device_name);
  std::string refusal;
  const int fd = tape_device_open(node.c_str(), TapeAccess::exclusive, &refusal);
  if (fd >= 0 && is_virtual_device(node.c_str())) note_virtual_drive_figures();
  if (fd < 0) {
    const int error = errno;
    if (!refusal.empty()) {
      output_fatal(VL_MISC, "Can't open file: %s\n%s%s.\n", node.c_str(), INDENT,
                   printable(refusal).c_str());
    }
    if (error == EBUSY) {
      output_fatal(VL_MISC, "The drive %s is in use by another program (%s).\n", node.c_str(),
                   std::strerror(error));
    }
    output_fatal(VL_MISC, "Can't open file: %s\n%sfd = %d, errno = %d: %s\n", node.c_str(), INDENT,
                 fd, error, std::strerror(error));
  }
  *drive = std::make_unique<TapeDrive>(fd);
  scsi::wait_until_ready((*drive)->param(), (*drive)->sense(), node.c_str(), ready_wait_seconds);
  // The job begins before the cartridge memory is read: from here on, a cartridge changed in the
  // drive is noticed.
  (*drive)->begin_job();
  int ret = 0;
  if (clf_check_mam_coherency((*drive)->param(), mamvci, mamhta) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_MISC, "MAM Check Error\n");
  }
  (*drive)->learn_transfer_limits();
  output_accdg_to_vl(LV_INFO, VL_MISC, "Device: %s is opened.\n", device_name);
  return ret;
}

namespace {

// =============================================================================================
// Run preparation
// =============================================================================================

constexpr char kLockFile[] = "object_reader.lock";

// The working marker cache and the progress history live in the working directory: two runs
// there at once would mix them. The lock is released when the process ends, however it ends.
void lock_working_directory() {
  char cwd[4097] = ".";
  if (getcwd(cwd, sizeof(cwd)) == nullptr) std::strcpy(cwd, ".");
  // A link in place of the lock file is not followed.
  const int fd = open(kLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int error = errno;
    output_fatal(VL_COMMON, "The lock file (%s/%s) could not be opened: %s\n", cwd, kLockFile,
                 std::strerror(error));
  }
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return;  // kept open for the whole run
  output_fatal(VL_COMMON, "The working directory (%s) is in use by another run of the program.\n",
               cwd);
}

// Two dumps into one save path (from two working directories) would write the same objects at
// once: a dump locks the save path, on the directory itself so that nothing is added to it. The
// lock goes with the descriptor, when the run ends however it ends.
support::UniqueFd lock_save_path(const char* save_path) {
  support::UniqueFd fd(open(save_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    output_fatal(VL_COMMON, "The save path (%s) could not be opened: %s\n",
                 printable(save_path).c_str(), std::strerror(errno));
  }
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    output_fatal(VL_COMMON, "The save path (%s) is in use by another dump.\n",
                 printable(save_path).c_str());
  }
  return fd;
}

// The barcode identifier names a directory under the save path. The cartridge memory is not
// trusted to keep it there: a '/' becomes '_', and "." or ".." become "_" or "__".
void set_barcode_identifier(const char* barcode, char (&barcode_id)[9]) {
  if (barcode[0] == ' ') return;  // stays "null"
  std::snprintf(barcode_id, sizeof(barcode_id), "%.8s", barcode);
  const std::string_view id(barcode_id);
  const bool dots_only = id == "." || id == "..";
  for (char& c : barcode_id) {
    if (c == '/' || (dots_only && c == '.')) c = '_';
  }
}

// What the run holds: the drive, the walk over its tape, the cartridge memory and the tape's
// identifiers. The walk refers to the drive: it is declared after it, and goes first.
struct RunState {
  char barcode_id[9] = "null";
  char tape_id[9] = "";
  std::optional<RunTemporary> temporary;  // the run's own temporary directory, open
  support::UniqueFd save_path_lock;       // held by a dump
  std::unique_ptr<TapeDrive> drive;
  std::unique_ptr<Walk> walk;
  MamVci mamvci[2]{};
  MamHta mamhta{};
  uint64_t total_fm_num_in_rp = 0;
  uint64_t total_pr_num_in_rp = 0;
};
// Reads the partial references of the reference partition: into the temporary directory, or, with
// a restored cache, compared with the cached copies. A restored cache that differs from the tape
// anywhere is not used: the run goes on as a first run, which copies the tape afresh.
void read_partial_references(RunState& run) {
  Walk& walk = *run.walk;
  const bool restored = get_marker_file_flg(walk) != 0;
  for (uint64_t i = 0; i < run.total_pr_num_in_rp; ++i) {
    const std::string name = CACHE_PR_PREFIX + std::to_string(i);
    const int failed = restored ? write_markers_to_file(walk, pr_cache_file(i).c_str(), 1)
                                : write_markers_into(walk, run.temporary->dir(), name, 1);
    if (failed != 0) output_fatal(VL_PR, "Failed to write partial reference to file.\n");
    // The temporary copy of a restored run stays empty, as a copy that is not written.
    AtomicFile empty;
    if (restored && (!empty.open(run.temporary->dir(), name) || !empty.commit())) {
      output_fatal(VL_MISC, "Failed to open file.\n");
    }
  }
  drop_differing_cache(walk, run.barcode_id);
}

// The drive and the cartridge memory as the run's report shows them.
void note_drive_and_cartridge(const Settings& settings, RunState& run) {
  run_record::note_drive("device", settings.drive_name);
  uint8_t inquiry[INQUIRY_ALLOCATION_LENGTH] = {};
  uint32_t received = 0;
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ST_SYSTEM_ERRORINFO syserr{};
  if (spti_inquiry(run.drive->param(), 0, sizeof(inquiry), inquiry, &received, &sense, &syserr)) {
    const InquiryIdentity identity = decode_inquiry(
        std::span<const uint8_t>(inquiry, std::min<size_t>(received, sizeof(inquiry))));
    run_record::note_drive("vendor", printable(unpadded(identity.vendor)));
    run_record::note_drive("product", printable(unpadded(identity.product)));
    run_record::note_drive("revision", printable(unpadded(identity.revision)));
  }
  const MamHtaData& hta = run.mamhta.Data;
  const std::pair<const char*, std::string> texts[] = {
      {"application_vendor", hta.application_vendor},
      {"application_name", hta.application_name},
      {"application_version", hta.application_version},
      {"system_id", hta.system_id},
      {"volume_id", hta.volume_id},
      {"pool_id", hta.pool_id},
      {"pool_group_id", hta.pool_group_id},
      {"barcode", hta.barcode}};
  for (const auto& [name, value] : texts) {
    run_record::note_cartridge_memory(name, printable(unpadded(value)));
  }
  for (int p = 0; p < 2; ++p) {
    if (!run.mamvci[p].is_valid) continue;
    const std::string prefix = "partition_" + std::to_string(p) + "_";
    const Data& vci = run.mamvci[p].Data;
    run_record::note_cartridge_memory(prefix + "volume_change_reference",
                                      uint64_t{vci.volume_change_ref});
    run_record::note_cartridge_memory(prefix + "partial_references", uint64_t{vci.pr_count});
    run_record::note_cartridge_memory(prefix + "last_rcm_block", uint64_t{vci.rcm_block});
    run_record::note_cartridge_memory(prefix + "volume_uuid", printable(unpadded(vci.uuid)));
  }
  run_record::note_drive("barcode", printable(unpadded(run.barcode_id)));
}

// What the walk of this run is told: where the objects go, how hard an unreadable block is tried,
// and when a dump records where it stands. The job's mode is set when the job begins.
walk::Setup walk_setup(const Settings& settings, walk::ObjectSink* sink) {
  walk::Setup setup;
  setup.save_path = settings.save_path;
  setup.sink = sink;
  setup.read_retries = settings.read_retries;
  setup.filter = settings.filter;
  setup.history.interval = settings.history_interval;
  setup.history.lap_start = settings.started;
  setup.history.to_store = settings.to_store;
  return setup;
}

void prepare_run(const Settings& settings, RunState& run, walk::ObjectSink* sink) {
  lock_working_directory();
  run.temporary.emplace();
  set_force_flag(settings.is_force_enabled);
  // A dump keeps the margin beyond its data; a list run, a retrieval and a restore into a store
  // are checked against what they will write once that is known.
  const bool dump = settings.is_full_dump_required || settings.is_resume_dump_required;
  if (dump && !settings.to_store && check_disk_space(settings.save_path, 0) != 0) {
    output_fatal(VL_COMMON, "Failed to check the disk space.\n");
  }
  if (open_drive(settings.drive_name, &run.drive, run.mamvci, &run.mamhta, settings.ready_wait) !=
      0) {
    output_fatal(VL_COMMON, "Tape Drive is not accessible.\n");
  }
  run.walk = std::make_unique<Walk>(*run.drive, walk_setup(settings, sink));
  Walk& walk = *run.walk;
  set_barcode_identifier(run.mamhta.Data.barcode, run.barcode_id);
  note_drive_and_cartridge(settings, run);
  restore_marker_cache(walk, run.barcode_id);
  if (check_reference_partition_lable(walk, run.mamvci, &run.mamhta, &run.total_fm_num_in_rp) !=
      0) {
    output_fatal(VL_COMMON, "This tape is not formatted in Quorrant.\n");
  }
  if (get_pr_num(walk, &run.total_pr_num_in_rp) != 0) {
    output_fatal(VL_PR, "Failed to get the number of Partial References.\n");
  }
  output_accdg_to_vl(LV_DEBUG, VL_PR, "main: pr_num=%" PRIu64 "\n", run.total_pr_num_in_rp);
  read_partial_references(run);
  if (settings.is_output_list) {
    check_space_for_list(settings.save_path, temporary_bytes(run.temporary->dir()),
                         settings.is_force_enabled);
  } else if (dump && settings.to_store) {
    check_space_for_store_run(settings.save_path, free_bytes_at(settings.save_path),
                              temporary_bytes(run.temporary->dir()), settings.is_force_enabled);
  }
}

// =============================================================================================
// Mode dispatch and single-object retrieval
// =============================================================================================

// Creates the save path when it does not exist yet (one level).
void make_save_path(const Settings& settings) {
  struct stat status {};
  if (stat(settings.save_path, &status) != 0 && mkdir(settings.save_path, 0777) != 0) {
    const int error = errno;
    output_fatal(VL_MISC,
                 "Failed to make directory.\n%s%s: %s. The save path is made one level "
                 "deep: its parent directory must exist.\n",
                 INDENT, printable(settings.save_path).c_str(), std::strerror(error));
  }
}

// The save path as the history records it: the canonical path, or as given when it cannot be
// resolved.
std::string canonical_path(const char* path) {
  char canonical[PATH_MAX];
  return realpath(path, canonical) != nullptr ? canonical : path;
}

// A resume into a save path that no dump of this working directory's history was made into is
// refused before the drive is opened or anything is made (the tape's own section is checked again
// once the tape is known).
void check_resume_save_path(const Settings& settings) {
  const std::optional<std::vector<std::string>> tapes = history_tapes();
  if (!tapes) return;  // the walk says there is no history
  const std::string save_path = canonical_path(settings.save_path);
  std::string made;
  for (const std::string& tape : *tapes) {
    HistoryKeys keys;
    const std::optional<std::string> recorded = read_history_section(tape.c_str(), &keys)
                                                    ? walk::history_value(keys, walk::kSavePathKey)
                                                    : std::nullopt;
    if (!recorded || *recorded == save_path) return;  // a section without one: the tape decides
    made += std::string("\n") + INDENT + "the tape " + printable(tape) + " into " +
            printable(*recorded);
  }
  if (made.empty()) return;
  output_fatal(VL_COMMON,
               "No dump recorded in history.log of this working directory was made into %s. "
               "Resume with -s and the save path of the tape's dump:%s\n",
               printable(save_path).c_str(), made.c_str());
}

// Before a resume reads the tape: its dump must have been made into this save path, and a dump
// that completed has nothing to resume (false: the job is done).
bool check_resume(const Settings& settings, RunState& run) {
  char tape_id[9] = {};
  get_tape_identifier(*run.walk, tape_id);
  HistoryKeys keys;
  if (!read_history_section(tape_id, &keys)) return true;  // the walk reports the missing history
  const std::string save_path = canonical_path(settings.save_path);
  const std::optional<std::string> recorded = walk::history_value(keys, walk::kSavePathKey);
  if (recorded && *recorded != save_path) {
    output_fatal(VL_COMMON,
                 "The dump of the tape %s was made into %s. Resume it with -s %s, from this "
                 "working directory.\n",
                 tape_id, printable(*recorded).c_str(), printable(*recorded).c_str());
  }
  const std::string selection = walk::selection_text(settings.filter);
  if (walk::history_value(keys, walk::kSelectionKey).value_or("") != selection) {
    output_fatal(
        VL_COMMON,
        "The dump of the tape %s was made with the selection (%s), this resume asks for "
        "(%s). Resume it with the --bucket-filter and --prefix of the dump.\n",
        tape_id,
        printable(walk::history_value(keys, walk::kSelectionKey).value_or("every object")).c_str(),
        selection.empty() ? "every object" : printable(selection).c_str());
  }
  if (walk::history_value(keys, walk::kCompleteKey) == "1") {
    output_accdg_to_vl(LV_INFO, VL_COMMON,
                       "The dump of the tape %s into %s is complete: there is nothing to resume.\n",
                       tape_id, printable(save_path).c_str());
    output_accdg_to_vl(LV_INFO, VL_COMMON, "Resume dump is complete.\n");
    return false;
  }
  return true;
}

// The last lines of a job whose objects did not all reach their files or the store: those the
// drive could not read, and, into a store, every object that is not there. Returns the exit
// status they call for, 0 when there are none.
int objects_missing_status(const Settings& settings, const RunState& run) {
  const int lost = walk::report_lost_objects(settings.save_path, run.tape_id);
  if (settings.to_store) return std::max(lost, walk::report_not_stored());
  return settings.is_resume_dump_required == True
             ? std::max(lost, walk::report_lost_before(settings.save_path, run.tape_id))
             : lost;
}

// A resume of a dump that completed: the objects that dump lost into files are still missing.
int objects_lost_before_status(const Settings& settings, const RunState& run) {
  return settings.to_store ? 0 : walk::report_lost_before(settings.save_path, run.tape_id);
}

// A full or a resumed dump; returns the run's exit status.
int run_dump(const Settings& settings, RunState& run) {
  make_save_path(settings);
  run.save_path_lock = lock_save_path(settings.save_path);
  get_tape_identifier(*run.walk, run.tape_id);
  run_record::note_drive("tape_id", printable(run.tape_id));
  warn_space_for_dump(*run.drive, settings.save_path);
  const bool resume = settings.is_resume_dump_required == True;
  if (resume && !check_resume(settings, run)) return objects_lost_before_status(settings, run);
  run.walk->setup().mode = resume ? walk::Mode::resume_dump : walk::Mode::full_dump;
  int walked = check_integrity(*run.walk, run.mamvci, &run.mamhta);
  save_marker_cache(*run.walk, run.barcode_id);
  walked |= record_dump_complete(*run.walk);
  if (walked != 0) {
    output_accdg_to_vl(LV_ERROR, VL_MISC, "Some error has occurred at check_integrity.\n");
  }
  if (const uint64_t there = run.walk->counts.already_there; there > 1) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "%" PRIu64
                       " objects already there: their files were found in the save path "
                       "and are not written again.\n",
                       there);
  }
  run.drive->end_job();
  output_accdg_to_vl(LV_INFO, VL_COMMON,
                     resume ? "Resume dump is complete.\n" : "Full dump is complete.\n");
  print_summary(settings, false);
  return objects_missing_status(settings, run);
}

int make_lists(const Settings& settings, RunState& run) {
  // The list files are written below the save path, which a list run creates as a dump does.
  make_save_path(settings);
  const std::string dir = std::string(settings.save_path) + "/" + run.tape_id + "/";
  if (delete_files_in_directory(dir.c_str(), ".lst") != 0) {
    output_fatal(VL_COMMON, "Existing list files could not be deleted at %s.\n", dir.c_str());
  }
  // Format errors of the list run are reported; they do not decide the exit status.
  run.walk->setup().mode = walk::Mode::output_list;
  if (check_integrity(*run.walk, run.mamvci, &run.mamhta) != 0) {
    output_accdg_to_vl(LV_ERROR, VL_MISC, "Some error has occurred at check_integrity.\n");
  }
  // The walk completes its list files before it renames them into place.
  std::string failed;
  if (!remove_plain_files(run.temporary->dir(), &failed, true)) {
    output_accdg_to_vl(LV_ERROR, VL_COMMON, "Temporary files could not be deleted at %s.\n",
                       run.temporary->dir().path().c_str());
  }
  return output_accdg_to_vl(LV_INFO, VL_COMMON, "Making and output the list file is complete.\n");
}

// No list file of the bucket: says which step of the way to it is missing.
[[noreturn]] void no_list_file(const Settings& settings, const char* tape_id,
                               const std::string& path) {
  struct stat st {};
  const std::string tape_dir = std::string(settings.save_path) + "/" + tape_id;
  std::string why = "There is no list file " + path + ": make the list first (-l).";
  if (stat(settings.save_path, &st) != 0) {
    why = "The save path " + std::string(settings.save_path) +
          " does not exist: give the one the list run wrote into.";
  } else if (stat(tape_dir.c_str(), &st) != 0) {
    why = "No list of the tape " + std::string(tape_id) + " was made into " + settings.save_path +
          ": make it first (-l).";
  }
  output_fatal(VL_COMMON,
               "Specify \"--list\" option if you did not make a list before.\n%sIf already done "
               "it, the bucket you specified is not found.\n%s%s\n",
               INDENT, INDENT, printable(why).c_str());
}

// A retrieval's request: `asked` objects or lines, and the versions found for them.
void note_request(uint64_t asked, const object_list* versions) {
  uint64_t found = 0;
  uint64_t bytes = 0;
  for (const object_list* v = versions; v != nullptr; v = v->next) {
    ++found;
    bytes += v->size;
  }
  run_record::note_request(asked, found, bytes);
}

// The versions of the object -b/-o/-O name, from the bucket's list files, in tape order.
// The versions of the object that the dumps of the tape lost (the list runs do not list them), as
// the record of their places gives them: by object ID, every one ("all"), or the last on the
// tape ("latest": the record keeps no times). Null when none is recorded.
object_list* lost_versions_asked_for(const Settings& settings, const RunState& run) {
  const std::string_view which = settings.object_id;
  std::vector<walk::LostPlace> chosen;
  for (walk::LostPlace& p : walk::read_lost_places(settings.save_path, run.tape_id)) {
    if (p.bucket != settings.bucket_name || p.key != settings.object_key) continue;
    if (which == "all" || which == "latest" || which == p.object_id) chosen.push_back(p);
  }
  if (chosen.empty()) return nullptr;
  object_list* objects = walk::chain_of(chosen);
  sort_in_tape_order(&objects);
  if (which == "latest") {
    object_list* last = objects;
    while (last->next != nullptr) last = last->next;
    for (object_list* v = objects; v != last;) std::free(std::exchange(v, v->next));
    objects = last;
  }
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "The object is not in the list files: a dump of the tape lost it. It is read "
                     "again from the place the dump recorded.\n");
  return objects;
}

// The versions of the object -b/-o/-O name, from the bucket's list files (or, for an object a
// dump lost, from the record of its place), in tape order.
object_list* versions_asked_for(const Settings& settings, const RunState& run) {
  object_list* objects = nullptr;
  std::string list_path;
  std::string missing_list;
  for (int n = 1; n <= 1000; ++n) {
    const std::string path =
        walk::list_file_path(settings.save_path, run.tape_id, settings.bucket_name, n);
    if (check_file(path.c_str()) != 0) {
      if (list_path.empty()) missing_list = path;
      break;
    }
    list_path = path;
    get_object_info_in_list(settings.object_key, settings.object_id, list_path.c_str(), &objects);
  }
  if (objects == nullptr) objects = lost_versions_asked_for(settings, run);
  if (objects == nullptr && !missing_list.empty()) no_list_file(settings, run.tape_id, missing_list);
  if (objects == nullptr) {
    output_fatal(VL_MISC, "The object you specified was not found in the list(%s).\n",
                 list_path.c_str());
  }
  sort_in_tape_order(&objects);
  note_request(1, objects);
  return objects;
}

// Reads the versions of `objects` (in tape order) in one forward pass, and says what it wrote;
// `more` is done with the tape before the job ends.
int retrieve_versions(const Settings& settings, RunState& run, object_list* objects,
                      const std::function<int()>& more = {}) {
  int ret = 0;
  check_space_for_retrieval(settings.save_path, objects, settings.is_force_enabled);
  run.walk->setup().mode = walk::Mode::output_objects_in_object_list;
  run.walk->setup().selection = {objects, settings.bucket_name};
  if (check_integrity(*run.walk, run.mamvci, &run.mamhta) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_MISC, "Some error has occurred at check_integrity.\n");
  }
  if (settings.structure_level == 1)
    ret |= extract_packed_object(*run.walk, objects->block_address);
  if (more) ret |= more();
  run.drive->end_job();
  output_accdg_to_vl(LV_INFO, VL_COMMON, "All of the processes are complete.\n");
  for (const std::string& path : run_record::written_files()) {
    output_accdg_to_vl(LV_INFO, VL_COMMON, settings.to_store ? "Stored: %s\n" : "Written: %s\n",
                       printable(path).c_str());
  }
  print_summary(settings, false);
  run.walk->setup().selection = {};
  free_object_list(objects);
  return ret;
}

// A second pass over the objects the dumps of the tape lost: each read again where the record of
// their places says, written where a retrieval writes, and the record kept for those still lost.
int retry_lost_objects(const Settings& settings, RunState& run) {
  make_save_path(settings);
  run.save_path_lock = lock_save_path(settings.save_path);
  get_tape_identifier(*run.walk, run.tape_id);
  run_record::note_drive("tape_id", printable(run.tape_id));
  const std::vector<walk::LostPlace> places =
      walk::read_lost_places(settings.save_path, run.tape_id);
  if (places.empty()) {
    run.drive->end_job();
    output_accdg_to_vl(LV_INFO, VL_COMMON,
                       "No object of the tape %s is recorded as lost in %s: there is nothing to "
                       "read again.\n",
                       run.tape_id, printable(settings.save_path).c_str());
    return 0;
  }
  output_accdg_to_vl(LV_INFO, VL_COMMON, "%zu objects recorded as lost are read again.\n",
                     places.size());
  object_list* objects = walk::chain_of(places);
  sort_in_tape_order(&objects);
  note_request(places.size(), objects);
  int ret = retrieve_versions(settings, run, objects, [&] {
    return settings.salvage ? walk::salvage_lost_objects(*run.walk) : 0;
  });
  walk::keep_lost_places(*run.walk, run.tape_id);
  ret = std::max(ret, walk::report_lost_objects(settings.save_path, run.tape_id));
  return ret;
}

int retrieve_object(const Settings& settings, RunState& run) {
  if (settings.retrieve_list_path.empty()) {
    return retrieve_versions(settings, run, versions_asked_for(settings, run));
  }
  size_t refused = 0;
  const std::vector<RetrievalRequest> requests =
      read_retrieval_list(settings.retrieve_list_path, &refused);
  size_t unsatisfied = 0;
  object_list* objects =
      select_requested_versions(settings.save_path, run.tape_id, requests, &unsatisfied);
  output_accdg_to_vl(
      LV_INFO, VL_COMMON,
      "The retrieval list asks for %zu objects; %zu of its lines cannot be served.\n",
      requests.size() + refused, refused + unsatisfied);
  note_request(requests.size() + refused, objects);
  if (objects == nullptr) {
    output_fatal(VL_COMMON, "No object of the retrieval list is on this tape.\n");
  }
  // A line that could not be served decides the status, as a retrieval of a missing object does.
  return retrieve_versions(settings, run, objects) | (refused + unsatisfied > 0 ? 1 : 0);
}

}  // namespace

namespace {

// Applies the options and the defaults they leave, and checks their combination. False when an
// option was the whole job (--help, --version).
bool take_options(Settings& settings, int argc, char** argv) {
  set_vl(settings.verbose_level);
  if (!parse_options(settings, argc, argv)) return false;
  if (!settings.log_json_path.empty() && !run_record::enable_message_log(settings.log_json_path)) {
    output_fatal(VL_COMMON, "The message log (%s) could not be opened: %s\n",
                 settings.log_json_path.c_str(), std::strerror(errno));
  }
  if (!settings.report_path.empty() && !run_record::enable_report(settings.report_path)) {
    output_fatal(VL_COMMON, "The report (%s) could not be created: %s\n",
                 settings.report_path.c_str(), std::strerror(errno));
  }
  if (settings.quiet) copy_field(settings.verbose_level, "");  // -q overrides -v
  set_messages_to_stderr(settings.listing);
  set_quiet(settings.quiet);
  set_vl(settings.verbose_level);
  if (settings.save_path[0] == '\0') {
    if (getcwd(settings.save_path, sizeof(settings.save_path)) == nullptr) {
      output_fatal(VL_COMMON,
                   "Failed to get the application path. Specify a valid path with "
                   "--save-path option.\n");
    }
  }
  check_selection_arguments(settings);
  // A retrieval list is a job of its own, which the historical checks know as a list run's.
  check_arguments(settings.is_drive_specified,
                  settings.is_output_list || !settings.retrieve_list_path.empty() ? True : False,
                  settings.is_resume_dump_required, settings.is_full_dump_required,
                  settings.is_output_object, settings.bucket_name, settings.object_key,
                  settings.object_id, settings.structure_level);
  check_store_arguments(settings);
  return true;
}

// Whether the options name an object to retrieve (alone, or after a list run).
bool asks_retrieval(const Settings& settings) {
  return (settings.object_key[0] != '\0' && std::strlen(settings.bucket_name) >= 3) ||
         !settings.retrieve_list_path.empty();
}

// The job the options ask for, as the report names it.
run_record::Job job_of(const Settings& settings) {
  using run_record::Job;
  if (settings.is_full_dump_required) return Job::full_dump;
  if (settings.is_resume_dump_required) return Job::resume_dump;
  if (!settings.is_output_list) return Job::retrieval;
  return asks_retrieval(settings) ? Job::list_and_retrieval : Job::list;
}

// A list run, and the retrieval that may follow it in the same run, or a retrieval alone.
int list_and_retrieve(const Settings& settings, RunState& run) {
  // List files are written, completed, deleted and read under the identifier the walk names them
  // with: the VOL1 volume identifier and the tape generation.
  get_tape_identifier(*run.walk, run.tape_id);
  run_record::note_drive("tape_id", printable(run.tape_id));
  int ret = 0;
  if (settings.is_output_list) {
    ret = make_lists(settings, run);
    if (settings.listing)
      print_tape_listing(settings.save_path, run.tape_id, settings.listing_format);
    const bool retrieval = asks_retrieval(settings);
    if (!retrieval) run.drive->end_job();
    print_summary(settings, true);
    if (!retrieval) return walk::report_lost_objects(settings.save_path, run.tape_id);
    output_accdg_to_vl(LV_INFO, VL_COMMON,
                       "Continue to read the specified object from the tape.\n");
  }
  ret |= retrieve_object(settings, run);
  // An object the drive could not read, or that is not in the store, decides the status, whatever
  // else the retrieval met.
  const int missing = objects_missing_status(settings, run);
  return missing != 0 ? missing : ret;
}

// The command line of one cartridge's job in a library job: the library's own options left out,
// its drive, its save path and its job in, a report of its own in its working directory.
std::vector<std::string> cartridge_arguments(const Settings& settings, const std::string& drive,
                                             const std::string& save_path, bool resume) {
  std::vector<std::string> args = {"object_reader", "-d", drive, "-s", save_path,
                                   settings.is_output_list ? "-l" : resume ? "-r" : "-f",
                                   "--no-progress", "--report", "report.json",
                                   "--read-retries", std::to_string(settings.read_retries),
                                   "--ready-wait", std::to_string(settings.ready_wait)};
  if (settings.is_force_enabled) args.emplace_back("-F");
  if (settings.quiet) args.emplace_back("-q");
  if (settings.verbose_level[0] != '\0') args.insert(args.end(), {"-v", settings.verbose_level});
  if (settings.history_interval != 0) {
    args.insert(args.end(), {"-i", std::to_string(settings.history_interval)});
  }
  for (const std::string& bucket : settings.filter.buckets) {
    args.insert(args.end(), {"--bucket-filter", bucket});
  }
  if (settings.prefix_given) args.insert(args.end(), {"--prefix", settings.filter.prefix});
  if (settings.to_store) {
    const s3::StoreOptions& store = settings.store;
    args.insert(args.end(), {"--s3", store.endpoint, "--s3-multipart-threshold",
                             std::to_string(store.multipart_threshold), "--s3-in-flight",
                             std::to_string(store.max_in_flight)});
    if (!store.bucket_prefix.empty()) args.insert(args.end(), {"--s3-bucket-prefix", store.bucket_prefix});
  }
  return args;
}

// One cartridge's job, in the process made for it: a run of its own from its command line.
int run_cartridge_job(const std::vector<std::string>& args) {
  forget_unfinished_files();
  run_record::start_afresh();
  vdrive::reset_total_counters();  // the figures of its report are its own, not the library's
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int status = 1;
  try {
    status = object_reader_main(static_cast<int>(args.size()), argv.data());
  } catch (const RunEnded& ended) {
    status_line::finish();
    run_record::set_exit_status(ended.status());
    status = ended.status();
  }
  return status;
}

// A library job: the cartridges the options choose, one process for each, on every drive given.
int run_library(const Settings& settings) {
  lock_working_directory();
  choose_progress_display(settings);  // one line per drive
  // A virtual library's report shows what its changer and the drives' loads and unloads cost.
  if (is_virtual_device(settings.changer.c_str())) note_virtual_drive_figures();
  make_save_path(settings);  // each cartridge's save path is made below it
  LibraryJob job;
  job.changer = settings.changer;
  job.drives = settings.drives;
  job.slots = settings.slots;
  job.barcodes = settings.barcodes;
  job.resume = settings.is_resume_dump_required == True;
  job.save_root = canonical_path(settings.save_path);
  job.run_one = [&settings](const std::string& drive, const std::string& save_path, bool resume) {
    return run_cartridge_job(cartridge_arguments(settings, drive, save_path, resume));
  };
  return run_library_job(job);
}

// The job the options ask for, from the store and the drive on; returns its exit status.
int run_job(const Settings& settings) {
  install_stop_handlers();
  run_record::note_job(job_of(settings));
  if (!settings.changer.empty()) return run_library(settings);
  // Declared before the run: the walk hands objects to the store until the run is over.
  const std::unique_ptr<walk::StoreSink> store = open_store(settings);
  if (settings.is_resume_dump_required) check_resume_save_path(settings);
  RunState run;
  prepare_run(settings, run, store.get());
  if (stop_requested() != 0) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON, "Interrupted by %s before the job began.\n",
                       stop_signal_name(stop_requested()));
    throw RunEnded(stop_exit_status(stop_requested()));
  }
  if (!settings.is_output_object) choose_progress_display(settings);
  if (settings.retry_lost) return retry_lost_objects(settings, run);
  if (settings.is_full_dump_required || settings.is_resume_dump_required) {
    return run_dump(settings, run);
  }
  return list_and_retrieve(settings, run);
}

}  // namespace

int object_reader_main(int argc, char** argv) {
  run_record::begin(OR_VERSION, argc, argv);
  Settings settings;
  settings.started = std::time(nullptr);
  if (!take_options(settings, argc, argv)) {
    run_record::set_exit_status(0);
    return 0;
  }
  try {
    const int status = run_job(settings);
    run_record::set_exit_status(status);
    return status;
  } catch (const RunEnded&) {
    // An interrupted job says what it did before it stopped, as a finished one does.
    if (stop_requested() != 0) print_summary(settings, job_of(settings) == run_record::Job::list);
    throw;
  }
}

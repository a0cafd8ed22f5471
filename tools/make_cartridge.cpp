// make_cartridge: turns a directory tree of objects into a virtual cartridge holding a sound
// Quorrant tape (two SIMH partition files and "cartridge.json"). The first level of the tree
// names the buckets; every regular file below a bucket is an object whose key is its path below
// the bucket. The output is deterministic: identifiers come from a seed, times from the files'
// modification times or from one fixed time. It writes into the cartridge directory only.
// With --versions, files named "<name>@v<N>" are the versions of the key "<name>".
#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "cartridge/cartridge_builder.h"
#include "cartridge/description_file.h"
#include "output_level.h"
#include "vdrive/manifest.h"

namespace fs = std::filesystem;

namespace {

constexpr const char kProgram[] = "make_cartridge";

void print_usage() {
  std::printf(
      "Usage: %s [options] OBJECTS_DIR CARTRIDGE_DIR\n"
      "       %s [options] --from FILE CARTRIDGE_DIR\n"
      "\n"
      "Writes a virtual cartridge holding a Quorrant tape into CARTRIDGE_DIR: cartridge.json,\n"
      "p0.tap (reference partition) and p1.tap (data partition). Every directory directly\n"
      "under OBJECTS_DIR is a bucket (its name follows the bucket name rules); every regular\n"
      "file below a bucket is an object whose key is its path below the bucket. Symbolic\n"
      "links and files of other types are skipped. CARTRIDGE_DIR is created when missing (its\n"
      "parent must exist) and must not lie inside OBJECTS_DIR; nothing is written anywhere\n"
      "else. A CARTRIDGE_DIR that already holds a cartridge (cartridge.json or a partition\n"
      "file) is refused unless --overwrite is given.\n"
      "\n"
      "Options:\n"
      "  -p, --objects-per-po N  objects per packed object (default 16)\n"
      "  -o, --pos-per-ocm N     packed objects per object commit marker (default 4)\n"
      "  -r, --ocms-per-pr N     object commit markers per partial reference (default 4)\n"
      "  -b, --block-size N      block size in bytes, 4096 to 16777215 (default 1048576)\n"
      "  -V, --volume-id ID      volume identifier: 6 upper-case letters or digits\n"
      "                          (default QT0001)\n"
      "  -B, --barcode TEXT      barcode, 1 to 32 printable characters (default: the volume\n"
      "                          identifier followed by L8)\n"
      "  -s, --seed N            seed of every identifier (default 1)\n"
      "  -t, --time UTC          one time for the format label and every object, as\n"
      "                          YYYY-MM-DDThh:mm:ss.uuuuuuZ (default: each file's modification\n"
      "                          time; the format time is the newest of them)\n"
      "  -g, --pool-group NAME   pool group name of the bucket list (default pool-group)\n"
      "  -P, --personality TEXT  volume personality (default Ultrium-8)\n"
      "      --versions          files named NAME@vN (N = 1, 2, ...: a positive decimal\n"
      "                          without leading zeros) are the versions of the key NAME,\n"
      "                          written in increasing N with the \"Version\" vN; with\n"
      "                          --time, version N is N seconds after that time\n"
      "      --overwrite         replace the cartridge that CARTRIDGE_DIR holds\n"
      "      --from FILE         the objects described in FILE, one version a line as a JSON\n"
      "                          object: \"bucket\", \"key\", \"data\" (a file, relative to\n"
      "                          FILE's directory), \"modified\", \"version\", \"deleted\",\n"
      "                          \"metadata\" and \"headers\" (ContentType, ContentEncoding,\n"
      "                          ContentLanguage, ContentMd5); on the tape in the lines' order\n"
      "  -h, --help              show this text\n"
      "      --version           print the version and exit\n"
      "\n"
      "The same input and options give identical files. Exit status: 0 written, 1 failure.\n",
      kProgram, kProgram);
}

// Reports a failure and ends the program with status 1.
[[noreturn]] void fail(const std::string& message) {
  output_fatal(VL_COMMON, "%s: %s\n", kProgram, message.c_str());
}

[[noreturn]] void usage_error(const std::string& message) {
  fail(message + " (see " + kProgram + " --help)");
}

uint64_t number_option(const char* name, const char* text, uint64_t low, uint64_t high) {
  uint64_t value = 0;
  const char* end = text + std::strlen(text);
  const auto [ptr, ec] = std::from_chars(text, end, value);
  if (*text == '\0' || ec != std::errc() || ptr != end || value < low || value > high) {
    usage_error(std::string("--") + name + " must be a number from " + std::to_string(low) +
                " to " + std::to_string(high) + ", not \"" + text + "\"");
  }
  return value;
}

bool printable(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

bool valid_pool_group_name(const std::string& name) {
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  return name.size() >= 3 && name.size() <= 63 && name.front() >= 'a' && name.front() <= 'z' &&
         (letter(name.back()) || digit(name.back())) &&
         std::all_of(name.begin(), name.end(),
                     [&](char c) { return letter(c) || digit(c) || c == '-'; });
}

struct FoundFile {
  std::string key;
  uint64_t version = 0;  // N of a "<name>@v<N>" file under --versions; 0: not a version
  std::string path;
  uint64_t size = 0;
  int64_t mtime_seconds = 0;
  uint32_t mtime_microseconds = 0;
};

// Under --versions: the N of a file name "<name>@v<N>" (0 when the name has no such ending).
// A number with a leading zero, 0 itself or one too large is refused, so that every version
// number names exactly one file.
uint64_t version_of(const std::string& file_name, const fs::path& path) {
  const size_t at = file_name.rfind("@v");
  if (at == std::string::npos || at + 2 == file_name.size()) return 0;
  const std::string_view digits = std::string_view(file_name).substr(at + 2);
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return 0;
  }
  uint64_t n = 0;
  const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (at == 0 || digits.front() == '0' || ec != std::errc() || ptr != digits.end()) {
    fail(path.string() +
         ": a version file is named NAME@vN, NAME not empty and N a positive decimal "
         "without leading zeros");
  }
  return n;
}

// The regular files below one bucket directory, sorted by key (and versions of one key by N).
std::vector<FoundFile> bucket_files(const fs::path& bucket, bool versions) {
  std::vector<FoundFile> files;
  std::error_code ec;
  fs::recursive_directory_iterator it(bucket, ec);
  if (ec) fail("cannot read " + bucket.string() + ": " + ec.message());
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) fail("cannot read below " + bucket.string() + ": " + ec.message());
    const fs::path& path = it->path();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      fail("cannot read " + path.string() + ": " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) continue;
    if (!S_ISREG(st.st_mode)) {
      output_accdg_to_vl(LV_WARNING, VL_COMMON, "%s: skipped %s (not a regular file)\n", kProgram,
                         path.c_str());
      continue;
    }
    FoundFile f;
    f.key = path.lexically_relative(bucket).generic_string();
    if (versions) {
      const std::string name = path.filename().string();
      f.version = version_of(name, path);
      if (f.version != 0) f.key.resize(f.key.size() - (name.size() - name.rfind("@v")));
    }
    if (f.key.size() > 1024) fail("object key longer than 1024 bytes: " + path.string());
    f.path = path.string();
    f.size = static_cast<uint64_t>(st.st_size);
    f.mtime_seconds = st.st_mtim.tv_sec;
    f.mtime_microseconds = static_cast<uint32_t>(st.st_mtim.tv_nsec / 1000);
    files.push_back(std::move(f));
  }
  std::sort(files.begin(), files.end(), [](const FoundFile& a, const FoundFile& b) {
    return a.key != b.key ? a.key < b.key : a.version < b.version;
  });
  // A key is either one plain file or a set of versions.
  for (size_t i = 1; i < files.size(); ++i) {
    if (files[i].key == files[i - 1].key && files[i - 1].version == 0) {
      fail(files[i - 1].path + " and " + files[i].path +
           " give the same key: with --versions every file of a key is named NAME@vN");
    }
  }
  return files;
}

// True when `a` was modified after `b`.
bool newer(const FoundFile& a, const FoundFile& b) {
  return a.mtime_seconds != b.mtime_seconds ? a.mtime_seconds > b.mtime_seconds
                                            : a.mtime_microseconds > b.mtime_microseconds;
}

// The time `seconds_later` seconds after the UTC text `fixed` (already of the right form), so
// that the versions of a key built with one fixed time follow each other in time.
std::string fixed_time_plus(const std::string& fixed, uint64_t seconds_later,
                            const std::string& path) {
  tm utc{};
  unsigned microseconds = 0;
  if (std::sscanf(fixed.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%6uZ", &utc.tm_year, &utc.tm_mon,
                  &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &microseconds) != 7) {
    usage_error("--time \"" + fixed + "\" is not a time");
  }
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  const int64_t base = timegm(&utc);
  try {
    // Only a time that reads back the same is a real one (no 31 April, no hour 24).
    if (vtape::utc_text(base, microseconds) != fixed) throw std::invalid_argument(fixed);
  } catch (const std::invalid_argument&) {
    usage_error("--time \"" + fixed + "\" is not a valid time");
  }
  // Up to year 9999 from year 0 is less than 2^39 seconds: larger numbers are out of range anyway.
  constexpr uint64_t kMaxSecondsLater = uint64_t{1} << 40;
  try {
    if (seconds_later > kMaxSecondsLater) throw std::invalid_argument(path);
    return vtape::utc_text(base + static_cast<int64_t>(seconds_later), microseconds);
  } catch (const std::invalid_argument&) {
    fail(path + ": --time plus " + std::to_string(seconds_later) +
         " seconds lies beyond the year 9999");
  }
}

struct Options {
  vtape::Description description;
  bool versions = false;
  bool overwrite = false;
  std::string fixed_time;
  std::string from;  // --from: the description file instead of a tree
  std::string objects_dir;
  std::string cartridge_dir;
};

// The long options without a short form.
constexpr int kVersionsOption = 1000;
constexpr int kOverwriteOption = 1001;
constexpr int kVersionOption = 1002;
constexpr int kFromOption = 1003;

// The options of text, each checked against its rules before it is taken.
void apply_text_option(int c, Options& o) {
  vtape::Description& d = o.description;
  switch (c) {
    case 'V':
      if (!vtape::valid_volume_id(optarg)) {
        usage_error(std::string("--volume-id must be 6 upper-case letters or digits, not \"") +
                    optarg + "\"");
      }
      d.volume_id = optarg;
      break;
    case 'B':
      d.barcode = optarg;
      if (d.barcode.empty() || d.barcode.size() > 32 || !printable(d.barcode)) {
        usage_error("--barcode must be 1 to 32 printable characters");
      }
      break;
    case 't':
      if (!vtape::is_utc_text(optarg)) {
        usage_error(std::string("--time must read YYYY-MM-DDThh:mm:ss.uuuuuuZ, not \"") + optarg +
                    "\"");
      }
      o.fixed_time = optarg;
      break;
    case 'g':
      if (!valid_pool_group_name(optarg)) {
        usage_error(std::string("--pool-group \"") + optarg +
                    "\" breaks the pool group name rules (3 to 63 letters, digits and '-', "
                    "starting with a lower-case letter)");
      }
      d.pool_group_name = optarg;
      break;
    case 'P':
      if (*optarg == '\0' || !printable(optarg)) {
        usage_error("--personality must be printable text");
      }
      d.personality = optarg;
      break;
    default:
      break;
  }
}

// Applies one option that getopt_long returned; an unknown one or one without its value ends
// the program.
void apply_option(int c, Options& o, char** argv) {
  vtape::Description& d = o.description;
  switch (c) {
    case 'p':
      d.grouping.objects_per_po = number_option("objects-per-po", optarg, 1, 1000000);
      break;
    case 'o':
      d.grouping.pos_per_ocm = number_option("pos-per-ocm", optarg, 1, 1000000);
      break;
    case 'r':
      d.grouping.ocms_per_pr = number_option("ocms-per-pr", optarg, 1, 1000000);
      break;
    case 'b':
      d.block_size =
          static_cast<uint32_t>(number_option("block-size", optarg, 4096, vtape::kMaxRecordLength));
      break;
    case 's':
      d.seed = number_option("seed", optarg, 0, UINT64_MAX);
      break;
    case 'V':
    case 'B':
    case 't':
    case 'g':
    case 'P':
      apply_text_option(c, o);
      break;
    case kVersionsOption:
      o.versions = true;
      break;
    case kOverwriteOption:
      o.overwrite = true;
      break;
    case kFromOption:
      o.from = optarg;
      break;
    case kVersionOption:
      std::printf("%s %s\n", kProgram, OR_VERSION);
      std::exit(0);
    case 'h':
      print_usage();
      std::exit(0);
    case ':':
      usage_error(std::string("option ") + argv[optind - 1] + " needs a value");
    default:
      usage_error(std::string("unknown option ") + argv[optind - 1]);
  }
}

Options parse_options(int argc, char** argv) {
  Options o;
  vtape::Description& d = o.description;
  d.grouping = {16, 4, 4};
  static const option kLong[] = {
      {"objects-per-po", required_argument, nullptr, 'p'},
      {"pos-per-ocm", required_argument, nullptr, 'o'},
      {"ocms-per-pr", required_argument, nullptr, 'r'},
      {"block-size", required_argument, nullptr, 'b'},
      {"volume-id", required_argument, nullptr, 'V'},
      {"barcode", required_argument, nullptr, 'B'},
      {"seed", required_argument, nullptr, 's'},
      {"time", required_argument, nullptr, 't'},
      {"pool-group", required_argument, nullptr, 'g'},
      {"personality", required_argument, nullptr, 'P'},
      {"versions", no_argument, nullptr, kVersionsOption},
      {"overwrite", no_argument, nullptr, kOverwriteOption},
      {"from", required_argument, nullptr, kFromOption},
      {"version", no_argument, nullptr, kVersionOption},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, argv, ":p:o:r:b:V:B:s:t:g:P:h", kLong, nullptr)) != -1) {
    apply_option(c, o, argv);
  }
  if (!o.from.empty()) {
    if (o.versions) usage_error("--versions does not go with --from");
    if (argc - optind != 1) usage_error("expected CARTRIDGE_DIR after --from FILE");
    o.cartridge_dir = argv[optind];
    return o;
  }
  if (argc - optind != 2) usage_error("expected OBJECTS_DIR and CARTRIDGE_DIR");
  o.objects_dir = argv[optind];
  o.cartridge_dir = argv[optind + 1];
  return o;
}

// The buckets and objects of the tree, in a fixed order: buckets by name, objects by key.
void collect_objects(Options& o) {
  vtape::Description& d = o.description;
  std::error_code ec;
  const fs::path root(o.objects_dir);
  if (!fs::is_directory(fs::symlink_status(root, ec)) && !fs::is_directory(root, ec)) {
    fail("OBJECTS_DIR " + o.objects_dir + " is not a directory");
  }
  std::vector<fs::path> buckets;
  fs::directory_iterator it(root, ec);
  if (ec) fail("cannot read " + o.objects_dir + ": " + ec.message());
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) fail("cannot read " + o.objects_dir + ": " + ec.message());
    const fs::file_status status = fs::symlink_status(it->path(), ec);
    if (!fs::is_directory(status)) {
      fail(it->path().string() + ": only bucket directories may stand directly under OBJECTS_DIR");
    }
    buckets.push_back(it->path());
  }
  std::sort(buckets.begin(), buckets.end());
  int64_t newest = -1;
  uint32_t newest_us = 0;
  for (const fs::path& bucket : buckets) {
    const std::string name = bucket.filename().string();
    if (!vtape::valid_bucket_name(name)) {
      fail("bucket directory \"" + name +
           "\" breaks the bucket name rules (3 to 63 characters of a-z, 0-9, '-' and '.', "
           "alphanumeric at both ends, no \"..\", \".-\" or \"-.\", not an IPv4 address)");
    }
    d.buckets.push_back({name, {}});
    std::vector<FoundFile> files = bucket_files(bucket, o.versions);
    // Versions of one key follow each other, sorted by number: each is checked against the one
    // before it (before the keys and paths are moved into the description below).
    for (size_t i = 1; i < files.size(); ++i) {
      const FoundFile& f = files[i];
      const FoundFile& before = files[i - 1];
      if (o.fixed_time.empty() && f.version != 0 && before.key == f.key && !newer(f, before)) {
        output_accdg_to_vl(LV_WARNING, VL_COMMON,
                           "%s: %s is not newer than %s: the latest version of \"%s\" is the one "
                           "modified last, not the one of the highest number\n",
                           kProgram, f.path.c_str(), before.path.c_str(), f.key.c_str());
      }
    }
    for (FoundFile& f : files) {
      vtape::ObjectEntry entry;
      entry.bucket = d.buckets.size() - 1;
      entry.key = std::move(f.key);
      if (f.version != 0) entry.version = std::string("v").append(std::to_string(f.version));
      entry.data = vtape::ObjectData::file(std::move(f.path), f.size);
      if (o.fixed_time.empty()) {
        try {
          entry.last_modified = vtape::utc_text(f.mtime_seconds, f.mtime_microseconds);
        } catch (const std::invalid_argument&) {
          fail("modification time of " + entry.data.path() + " out of range (use --time)");
        }
        if (f.mtime_seconds > newest ||
            (f.mtime_seconds == newest && f.mtime_microseconds > newest_us)) {
          newest = f.mtime_seconds;
          newest_us = f.mtime_microseconds;
        }
      } else if (f.version != 0) {
        entry.last_modified = fixed_time_plus(o.fixed_time, f.version, entry.data.path());
      } else {
        entry.last_modified = o.fixed_time;
      }
      d.objects.push_back(std::move(entry));
    }
  }
  d.format_time = !o.fixed_time.empty() ? o.fixed_time
                  : newest >= 0         ? vtape::utc_text(newest, newest_us)
                                        : vtape::utc_text(0, 0);
}

// Refuses a directory that already holds a cartridge: its manifest or one of its partition files
// (a link under such a name included).
void refuse_existing_cartridge(const std::string& dir) {
  std::vector<std::string> names = vdrive::Manifest{}.partitions;
  names.insert(names.begin(), vdrive::kManifestFileName);
  for (const std::string& name : names) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(fs::path(dir) / name, ec))) {
      fail("CARTRIDGE_DIR " + dir + " already holds a cartridge (" + name +
           "): give --overwrite to replace it");
    }
  }
}

// Refuses a cartridge directory inside the object tree (or the tree itself), one that is not a
// directory, and one that holds a cartridge unless --overwrite is given.
void check_cartridge_dir(const Options& o) {
  std::error_code ec;
  auto resolved = [&](const std::string& dir) {
    fs::path p = fs::weakly_canonical(dir, ec);
    if (ec) fail("cannot resolve " + dir + ": " + ec.message());
    p = p.lexically_normal();
    return p.has_filename() ? p : p.parent_path();  // without a trailing separator
  };
  const fs::path cartridge = resolved(o.cartridge_dir);
  if (!o.objects_dir.empty()) {
    const fs::path objects = resolved(o.objects_dir);
    const auto [end, rest] =
        std::mismatch(objects.begin(), objects.end(), cartridge.begin(), cartridge.end());
    if (end == objects.end()) {
      fail("CARTRIDGE_DIR " + o.cartridge_dir + " lies inside OBJECTS_DIR " + o.objects_dir);
    }
  }
  const fs::file_status status = fs::status(o.cartridge_dir, ec);
  if (fs::exists(status) && !fs::is_directory(status)) {
    fail("CARTRIDGE_DIR " + o.cartridge_dir + " is not a directory");
  }
  if (!o.overwrite && fs::is_directory(status)) refuse_existing_cartridge(o.cartridge_dir);
}

// Creates CARTRIDGE_DIR (one level, its parent must exist) when missing.
void make_cartridge_dir(const Options& o) {
  std::error_code ec;
  if (fs::is_directory(o.cartridge_dir, ec)) return;
  if (::mkdir(o.cartridge_dir.c_str(), 0755) != 0) {
    fail("cannot create CARTRIDGE_DIR " + o.cartridge_dir + ": " + std::strerror(errno));
  }
}

// Builds the cartridge the command line describes; a refusal ends the run with status 1.
int make_cartridge_main(int argc, char** argv) {
  if (argc == 1) {
    print_usage();
    return 1;
  }
  Options o = parse_options(argc, argv);
  check_cartridge_dir(o);
  if (o.from.empty()) {
    collect_objects(o);
  } else if (const std::string problem =
                 vtape::read_description_file(o.from, o.fixed_time, &o.description);
             !problem.empty()) {
    fail(problem);
  }
  make_cartridge_dir(o);
  vtape::BuildResult result;
  try {
    result = vtape::build_cartridge(o.description, o.cartridge_dir);
  } catch (const RunEnded&) {
    throw;
  } catch (const std::exception& e) {
    fail(std::string("cannot write the cartridge: ") + e.what());
  }
  const vtape::Layout& L = result.layout;
  output_accdg_to_vl(LV_INFO, VL_COMMON,
                     "%s: wrote %s: %zu buckets, %zu objects, %zu packed objects, %zu object "
                     "commit markers, %zu partial references, block size %u.\n",
                     kProgram, o.cartridge_dir.c_str(), L.bucket_names.size(), L.objects.size(),
                     L.pos.size(), L.ocms.size(), L.prs.size(), L.block_size);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return make_cartridge_main(argc, argv);
  } catch (const RunEnded& ended) {
    return ended.status();
  }
}

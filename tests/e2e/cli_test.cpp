// The command line: usage text byte for byte, every argument rule with its message and status,
// and the order in which options take effect.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_util.h"

namespace {

using testutil::RunResult;

RunResult run_reader(std::vector<std::string> args) {
  args.insert(args.begin(), testutil::bin("object_reader"));
  return testutil::run(args);
}

// The one "[SYS_ERR] " line of an argument error, without its time header.
void expect_argument_error(const std::vector<std::string>& args, const std::string& message) {
  const RunResult r = run_reader(args);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(testutil::strip_headers(r.err), "[SYS_ERR] [COMMON] " + message);
  EXPECT_EQ(r.out, "");
}

const char kUsageBody[] =
    "Available options are:\n"
    "  -b, --bucket          = <name>   Specify a bucket name in which an object you specified is "
    "stored.\n"
    "  -d, --drive           = <name>   Specify a device name of a tape drive.\n"
    "  -F, --Force           : Avoid to check a disk space during either Full dump or Resume "
    "dump.\n"
    "  -f, --full-dump       : Read all objects from a tape formatted with the Quorrant.\n"
    "  -h, --help\n"
    "  -i, --interval        : Output a progress to \"history.log\" during either Full dump or "
    "Resume "
    "dump.\n"
    "  -L, --Level           = <value>  Specify output level. default is 0\n"
    "                                   0: Object Data and Meta\n"
    "                                   1: Packed Object\n"
    "  -l, --list            : Output a list of all objects in each bucket stored in a tape.\n"
    "  -o, --object-key      = <name>   Specify an object KEY.\n"
    "  -O, --Object-id       = <ID or Option> Specify an Object version. default is \"latest\".\n"
    "                          <ID>     Specify a versioned object ID, which will be shown in a "
    "list "
    "file.\n"
    "                          <Option> Either \"latest\" or \"all\" is available.\n"
    "                                   \"latest\" : Output ONLY the latest version object. \n"
    "                                   \"all\"    : Output ALL versions with the Object-Key. \n"
    "  -r, --resume-dump     : Resume a Full dump process when \"history.log\" file was updated.\n"
    "  -s, --save-path       = <path>   Specify a full path where data will be stored. Default is "
    "the "
    "application path.\n"
    "  -v, --verbose         = <level>  Specify output_level.\n"
    "                                   If this option is not set, nothing will be displayed.\n"
    "                                   v:information about header.\n"
    "                                   vv:information about L4 in addition to above.\n"
    "                                   vvv:information about L3 in addition to above.\n"
    "                                   vvvv:information about L2 in addition to above.\n"
    "                                   vvvvv:information about L1 in addition to above.\n"
    "                                   vvvvvv:information about MISC for MAM and others in "
    "addition "
    "to above.\n"
    // The options added since, in the same style.
    "      --ready-wait      = <seconds> Wait up to the seconds for a drive that is loading. "
    "default is 180\n"
    "      --read-retries    = <count>  Read an unreadable block up to the count more times. "
    "default is 2\n"
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
    "      --s3              = <URL>    Put the objects into an S3-compatible store instead of "
    "files.\n"
    "      --s3-bucket-prefix = <text>   Put the text before every bucket name in the store.\n"
    "      --s3-multipart-threshold = <bytes> Send larger objects in parts. default is 64M\n"
    "      --s3-in-flight    = <count>  Requests on the wire at once. default is 8\n"
    "      --version         : Output the version of the program.\n";

TEST(CommandLine, HelpPrintsTheUsageExactly) {
  for (const char* option : {"-h", "--help"}) {
    const RunResult r = run_reader({option});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "usage: " + testutil::bin("object_reader") + " <options>\n" + kUsageBody);
  }
}

// Every program of the package prints the same version, and nothing else.
TEST(CommandLine, EveryProgramPrintsTheProjectVersion) {
  for (const char* program : {"object_reader", "tape_image", "make_cartridge", "tape_selftest"}) {
    const RunResult r = testutil::run({testutil::bin(program), "--version"});
    EXPECT_EQ(r.status, 0) << program;
    EXPECT_EQ(r.out, std::string(program) + " " + OR_VERSION + "\n");
    EXPECT_EQ(r.err, "") << program;
  }
}

TEST(CommandLine, DriveIsRequired) {
  expect_argument_error({"-f"}, "Please specify --drive option.\n");
  expect_argument_error({}, "Please specify --drive option.\n");
}

TEST(CommandLine, AJobIsRequired) {
  const std::string message =
      "Please specify at least --full-dump, --resume-dump, --list, or both --bucket and --object "
      "option.\n";
  expect_argument_error({"-d", "x"}, message);
  // "-O all" asks for nothing by itself.
  expect_argument_error({"-d", "x", "-O", "all"}, message);
  expect_argument_error({"-d", "x", "-F", "-v", "vvv", "-s", "/tmp"}, message);
}

TEST(CommandLine, RetrievalNeedsBucketAndKey) {
  const std::string message = "Please specify both --bucket and --object.\n";
  expect_argument_error({"-d", "x", "-l", "-L", "0"}, message);
  expect_argument_error({"-d", "x", "-O", "0123abcd"}, message);
  expect_argument_error({"-d", "x", "-b", "bucket"}, message);
  expect_argument_error({"-d", "x", "--object-key", "k"}, message);
}

TEST(CommandLine, AllVersionsCannotBePacked) {
  const std::string message =
      "You cannot specify \"-O all -L 1\".\n                   If you want to get packed objects, "
      "please specify \"-O latest\" or \"-O {specific object id}\"\n";
  expect_argument_error({"-d", "x", "-b", "bkt", "-o", "k", "-O", "all", "-L", "1"}, message);
  // Only three characters are compared.
  expect_argument_error({"-d", "x", "-b", "bkt", "-o", "k", "-O", "allx", "-L", "1"}, message);
}

TEST(CommandLine, ModesExcludeEachOther) {
  expect_argument_error({"-d", "x", "-l", "-f", "-r"},
                        "Please specify either --full-dump, --resume-dump, or --list option.\n");
  expect_argument_error({"-d", "x", "-l", "-r"},
                        "Please specify either --resume-dump or --list option.\n");
  expect_argument_error({"-d", "x", "-l", "-f"},
                        "Please specify either --full-dump or --list option.\n");
  expect_argument_error({"-d", "x", "-b", "bkt", "-o", "k", "-f", "-r"},
                        "Please specify either --full-dump, --resume-dump, or both --bucket and "
                        "--object option.\n");
  expect_argument_error({"-d", "x", "-b", "bkt", "-o", "k", "-r"},
                        "Please specify either --resume-dump or both --bucket and --object "
                        "option.\n");
  expect_argument_error({"-d", "x", "-b", "bkt", "-o", "k", "-f"},
                        "Please specify either --full-dump or both --bucket and --object "
                        "option.\n");
  expect_argument_error({"-d", "x", "-f", "-r"},
                        "Please specify either --full-dump or --resume-dump.\n");
}

TEST(CommandLine, ChecksMadeWhileParsingEndTheRunAtTheirOption) {
  // -L 5 ends the run before -h is seen.
  expect_argument_error({"-L", "5", "-h"}, "Only 0 or 1 is allowed to be option of \"Level\".\n");
  expect_argument_error({"-d", "x", "-L", "-1"},
                        "Only 0 or 1 is allowed to be option of \"Level\".\n");
  // A two-character bucket ends the run even before the missing drive is noticed.
  expect_argument_error({"-b", "ab"}, "Bucket name length must be 3 or longer.\n");
}

TEST(CommandLine, InvalidBucketNameIsReportedThenRejected) {
  const RunResult r = run_reader({"-d", "x", "-b", "Bad_Bucket", "-o", "k"});
  EXPECT_EQ(r.status, 1);
  const std::string err = testutil::strip_headers(r.err);
  EXPECT_NE(err.find("[ERROR  ] [RCM   ] Bucket name format is not correct.\n"), std::string::npos);
  EXPECT_NE(err.find("[SYS_ERR] [COMMON] Bucket name is invalid.\n"), std::string::npos);
}

TEST(CommandLine, IntervalBounds) {
  auto interval_error = [](const std::string& value, const std::string& message) {
    const RunResult r = run_reader({"-d", "x", "-f", "-i", value});
    EXPECT_EQ(r.status, 1) << value;
    EXPECT_EQ(testutil::strip_headers(r.err), "[SYS_ERR] [COMMON] " + message) << value;
  };
  interval_error("59", "Interval must be greater than 60 seconds.\n");
  interval_error("86401", "Interval must be 86400 seconds or less.\n");
  interval_error("60s", "Interval must be digit(s).\n");
  interval_error("", "Interval must be greater than 60 seconds.\n");
  for (const char* ok : {"60", "86400"}) {
    const RunResult r = run_reader({"-i", ok});
    EXPECT_EQ(testutil::strip_headers(r.err),
              "[SYS_ERR] [COMMON] Please specify --drive option.\n");
  }
}

// A mistyped option, a missing value or a stray word would run another job than the one asked
// for: each ends the run with one line naming it, before any option takes effect.
TEST(CommandLine, UnknownOptionsMissingValuesAndStrayWordsEndTheRun) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-d", "x", "-x", "-f"}, "The option (-x) is not known."},
      {{"--bogus", "-f"}, "The option (--bogus) is not known."},
      {{"-S", "/big/disk", "-d", "x", "-f"}, "The option (-S) is not known."},
      {{"-d", "x", "-f", "-v"}, "The option (-v) needs a value."},
      {{"-d", "x", "-f", "--save-path"}, "The option (--save-path) needs a value."},
      {{"-d", "x", "-f", "stray"}, "The word (stray) is not the value of an option."},
      {{"-b", "ab", "-x"}, "The option (-x) is not known."},  // before -b's own check
  };
  for (const auto& c : cases) {
    const RunResult r = run_reader(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(testutil::strip_headers(r.err), "[SYS_ERR] [COMMON] " + c.message + " See --help.\n")
        << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// The options of a restore into a store are checked like the others, before anything takes
// effect; a sound set goes on to the store's own check (here: no credentials).
TEST(CommandLine, StoreOptionsAreCheckedBeforeTheStoreIsAsked) {
  const std::string threshold =
      "--s3-multipart-threshold must be a number of bytes from 5M to 5G (K, M and G for KiB, MiB "
      "and GiB).\n";
  const std::string prefix =
      "--s3-bucket-prefix must be 1 to 60 characters of a-z 0-9 . -, beginning with a letter or "
      "digit.\n";
  const std::string in_flight = "--s3-in-flight must be a number from 1 to 64.\n";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-d", "x", "-l", "--s3", "http://h"},
       "--s3 goes with a full dump, a resume dump or a retrieval (--bucket and --object).\n"},
      {{"-d", "x", "-b", "bkt", "-o", "k", "-L", "1", "--s3", "http://h"},
       "--s3 does not go with -L 1: the store takes objects only.\n"},
      {{"-d", "x", "-f", "--s3-in-flight", "4"},
       "--s3-bucket-prefix, --s3-multipart-threshold and --s3-in-flight go with --s3.\n"},
      {{"-d", "x", "-f", "--s3", "ftp://h"},
       "--s3 cannot be used: the endpoint is not an http:// or https:// URL.\n"},
      {{"-d", "x", "-f", "--s3", "http://h/restore"},
       "--s3 cannot be used: the endpoint has a path; buckets are addressed as its first path "
       "segment.\n"},
      {{"--s3-in-flight", "0"}, in_flight},
      {{"--s3-in-flight", "65"}, in_flight},
      {{"--s3-in-flight", "8x"}, in_flight},
      {{"--s3-multipart-threshold", "4M"}, threshold},
      {{"--s3-multipart-threshold", "6G"}, threshold},
      {{"--s3-multipart-threshold", "64MB"}, threshold},
      {{"--s3-multipart-threshold", "M"}, threshold},
      {{"--s3-bucket-prefix", "Restored-"}, prefix},
      {{"--s3-bucket-prefix", "-restored"}, prefix},
      {{"--s3-bucket-prefix", std::string(61, 'r')}, prefix},
  };
  for (const auto& c : cases) expect_argument_error(c.args, c.message);
  const RunResult r =
      testutil::run({"/usr/bin/env", "-u", "AWS_ACCESS_KEY_ID", testutil::bin("object_reader"),
                     "-d", "x", "-f", "--s3-bucket-prefix", "r-", "--s3-multipart-threshold",
                     "5242880", "--s3-in-flight", "64", "--s3", "http://127.0.0.1:1"});
  EXPECT_EQ(testutil::strip_headers(r.err),
            "[SYS_ERR] [COMMON] No S3 credentials: AWS_ACCESS_KEY_ID is not set.\n");
}

// A retrieval list, a listing and a selection go with the jobs they serve, and nothing else.
TEST(CommandLine, ManyObjectOptionsGoWithTheirJobs) {
  const std::string list =
      "--retrieve-list goes alone or with --list: not with a dump, --bucket, --object-key, "
      "--Object-id or --Level.\n";
  const std::string ls = "--ls goes with --list alone: the listing is all that standard output "
                         "carries.\n";
  const std::string selection =
      "--bucket-filter and --prefix go with a full dump, a resume dump or a list run.\n";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-d", "x", "-f", "--retrieve-list", "f"}, list},
      {{"-d", "x", "-b", "bkt", "-o", "k", "--retrieve-list", "f"}, list},
      {{"-d", "x", "-O", "all", "--retrieve-list", "f"}, list},
      {{"-d", "x", "-f", "--ls"}, ls},
      {{"-d", "x", "-l", "--ls", "--retrieve-list", "f"}, ls},
      {{"-d", "x", "-l", "--ls-format", "json"}, "--ls-format goes with --ls.\n"},
      {{"-d", "x", "-l", "--ls", "--ls-format", "csv"}, "--ls-format must be tsv or json.\n"},
      {{"-d", "x", "--retrieve-list", "f", "--prefix", "a"}, selection},
      {{"-d", "x", "-b", "bkt", "-o", "k", "--bucket-filter", "bkt"}, selection},
      {{"-d", "x", "-f", "--prefix", "a\nb"}, "--prefix must not hold control characters.\n"},
      {{"-d", "x", "-f", "--retry-lost"},
       "--retry-lost goes with --resume-dump, without --bucket-filter or --prefix.\n"},
      {{"-d", "x", "-r", "--retry-lost", "--prefix", "a"},
       "--retry-lost goes with --resume-dump, without --bucket-filter or --prefix.\n"},
      {{"-d", "x", "-r", "--salvage"}, "--salvage goes with --retry-lost, into files.\n"},
      {{"-d", "x", "-b", "bkt", "-o", "k", "--changer", "lib"},
       "--changer goes with a full dump, a resume dump or a list run of the library.\n"},
      {{"-d", "x", "-d", "y", "-f"},
       "--slots, --barcodes and more than one --drive go with --changer.\n"},
      {{"-d", "x", "-f", "--slots", "3-1", "--changer", "lib"},
       "--slots must be FIRST-LAST, two slot numbers from 1.\n"},
  };
  for (const auto& c : cases) expect_argument_error(c.args, c.message);
  // A bucket name is checked as -b's is, the checker naming each rule broken.
  const RunResult r = run_reader({"-d", "x", "-f", "--bucket-filter", "B"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.ends_with("[SYS_ERR] [COMMON] --bucket-filter (B) is not a valid bucket name.\n"))
      << r.err;
}

}  // namespace

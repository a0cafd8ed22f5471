// Run driver of object_reader: options and argument rules, drive opening, run preparation and
// the dispatch of the one job the user asked for.
#include "object_reader.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "output_level.h"
#include "vexa_format_checker.h"

namespace {

constexpr int kBucketNameMin = 3;
constexpr uint32_t kIntervalMin = 60;
constexpr uint32_t kIntervalMax = 86400;

// The run's settings, owned by the driver for the whole run. The verbosity text is registered
// with the diagnostic output by reference, so it lives in static storage.
struct Settings {
  char drive_name[4097] = "";
  char bucket_name[64] = "";
  char object_key[1025] = "";
  char object_id[37] = "latest";
  uint32_t structure_level = 0;
  char save_path[4097] = "";
  char verbose_level[4097] = "";
  uint32_t history_interval = 0;
  Bool is_drive_specified = False;
  Bool is_full_dump_required = False;
  Bool is_resume_dump_required = False;
  Bool is_output_list = False;
  Bool is_output_object = False;
  Bool is_force_enabled = False;
};

Settings settings;
char continue_mode[] = "cont";

// Copies `src` into a fixed field, cut to the field's length.
template <size_t N>
void copy_field(char (&field)[N], const char* src) {
  std::strncpy(field, src, N - 1);
  field[N - 1] = '\0';
}

void parse_options(int argc, char** argv) {
  static const option kLongOptions[] = {
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
      {"resume-dump", no_argument, nullptr, 'r'},
      {"save-path", required_argument, nullptr, 's'},
      {"verbose", required_argument, nullptr, 'v'},
      {nullptr, 0, nullptr, 0},
  };
  int opt = 0;
  while ((opt = getopt_long(argc, argv, "b:d:Ffhi:L:lo:O:rs:v:", kLongOptions, nullptr)) != -1) {
    switch (opt) {
      case 'b':
        copy_field(settings.bucket_name, optarg);
        if (std::strlen(settings.bucket_name) < static_cast<size_t>(kBucketNameMin)) {
          output_accdg_to_vl(LV_SYS_ERR, VL_COMMON, "Bucket name length must be %d or longer.\n",
                             kBucketNameMin);
        }
        if (check_bucket_name(settings.bucket_name) != 0) {
          output_accdg_to_vl(LV_SYS_ERR, VL_COMMON, "Bucket name is invalid.\n");
        }
        settings.is_output_object = True;
        break;
      case 'd':
        copy_field(settings.drive_name, optarg);
        settings.is_drive_specified = True;
        break;
      case 'F':
        settings.is_force_enabled = True;
        break;
      case 'f':
        settings.is_full_dump_required = True;
        break;
      case 'h':
        print_usage(argv[0]);
        std::exit(0);
      case 'i':
        check_interval(optarg, &settings.history_interval);
        set_history_interval(settings.history_interval);
        break;
      case 'L': {
        unsigned int level = 0;
        if (std::sscanf(optarg, "%u", &level) == 1) settings.structure_level = level;
        if (settings.structure_level > 1) {
          output_accdg_to_vl(LV_SYS_ERR, VL_COMMON,
                             "Only 0 or 1 is allowed to be option of \"Level\".\n");
        }
        settings.is_output_object = True;
        break;
      }
      case 'l':
        settings.is_output_list = True;
        break;
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
      case 'r':
        settings.is_resume_dump_required = True;
        break;
      case 's':
        copy_field(settings.save_path, optarg);
        set_obj_save_path(settings.save_path);
        break;
      case 'v':
        copy_field(settings.verbose_level, optarg);
        break;
      default:
        // getopt has printed its own diagnostic; the option is passed over.
        break;
    }
  }
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
}

int check_interval(const char* str_interval, uint32_t* interval) {
  int ret = 0;
  for (const char* c = str_interval; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') {
      ret |= output_accdg_to_vl(LV_SYS_ERR, VL_LABEL, "Interval must be digit(s).\n");
    }
  }
  *interval = static_cast<uint32_t>(std::strtoul(str_interval, nullptr, 10));
  if (*interval < kIntervalMin) {
    ret |= output_accdg_to_vl(LV_SYS_ERR, VL_LABEL, "Interval must be greater than %d seconds.\n",
                              static_cast<int>(kIntervalMin));
  }
  if (*interval > kIntervalMax) {
    ret |= output_accdg_to_vl(LV_SYS_ERR, VL_LABEL, "Interval must be %d seconds or less.\n",
                              static_cast<int>(kIntervalMax));
  }
  return ret;
}

int check_arguments(int is_drive_specified, int is_output_list, int is_resume_dump_required,
                    int is_full_dump_required, int is_output_object, const char* bucket_name,
                    const char* object_key, const char* object_id, uint32_t structure_level) {
  auto fail = [](const char* message) {
    return output_accdg_to_vl(LV_SYS_ERR, VL_COMMON, "%s", message);
  };
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
    return output_accdg_to_vl(
        LV_SYS_ERR, VL_COMMON,
        "You cannot specify \"-O all -L 1\".\n%sIf you want to get packed "
        "objects, please specify \"-O latest\" or \"-O {specific object id}\"",
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

int object_reader_main(int argc, char** argv) {
  set_lap_start(std::time(nullptr));
  set_vl(settings.verbose_level);
  set_c_mode(continue_mode);

  parse_options(argc, argv);

  set_vl(settings.verbose_level);
  if (settings.save_path[0] == '\0') {
    if (getcwd(settings.save_path, sizeof(settings.save_path)) == nullptr) {
      output_accdg_to_vl(LV_SYS_ERR, VL_COMMON,
                         "Failed to get the application path. Specify a valid path with "
                         "--save-path option.\n");
    }
  }
  set_obj_save_path(settings.save_path);
  check_arguments(settings.is_drive_specified, settings.is_output_list,
                  settings.is_resume_dump_required, settings.is_full_dump_required,
                  settings.is_output_object, settings.bucket_name, settings.object_key,
                  settings.object_id, settings.structure_level);

  output_accdg_to_vl(LV_SYS_ERR, VL_COMMON,
                     "Opening the drive is not available in this version of the program.\n");
  return 1;
}

// tape_selftest: sends single SCSI commands to a tape drive or a virtual cartridge, one after the
// other, and prints each answer decoded (selftest/decoded.cpp), or with --raw as the command
// layer's self-test entry points print it. It is how an operator checks a drive, and how the
// command layer is tested from outside.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "output_level.h"
#include "selftest/changer.h"
#include "selftest/decoded.h"
#include "spti_lib.h"
#include "tape_device.h"

namespace {

using selftest::Step;

constexpr char kProgram[] = "tape_selftest";
constexpr int kExitGood = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void print_usage(FILE* stream, const char* program) {
  std::fprintf(stream,
               "Usage: %s [--raw] [-v LEVEL] DEVICE COMMAND [ARGS] [COMMAND [ARGS]]...\n"
               "Sends SCSI commands to a tape drive (its SCSI generic node, such as /dev/sg1), a\n"
               "library's medium changer, a virtual cartridge directory, a virtual library's\n"
               "directory (its changer) or one of its drive<k> directories, and prints what the\n"
               "device returns: for each\n"
               "command a line with how it ended, then the answer's fields and the sense data.\n"
               "\n"
               "Commands:\n"
               "  test_unit_ready                 TEST UNIT READY\n"
               "  rewind                          REWIND to the beginning of the partition\n"
               "  locate BLOCK [PARTITION]        LOCATE to logical object BLOCK (of PARTITION)\n"
               "  locate16 BLOCK [PARTITION]      LOCATE(16): the same with a 64-bit BLOCK\n"
               "  space CODE COUNT                SPACE: CODE 0 blocks, 1 filemarks, 3 end of\n"
               "                                  data; a negative COUNT moves backwards\n"
               "  read                            READ one block whole: it asks for as much as\n"
               "                                  the adapter and the drive allow\n"
               "  read_block_limits               READ BLOCK LIMITS, and the host adapter's\n"
               "                                  limits (largest transfer, reserved buffer)\n"
               "  read_position                   READ POSITION\n"
               "  inquiry                         INQUIRY: device type, vendor, product,\n"
               "                                  revision, version\n"
               "  mode_sense [PAGE]               MODE SENSE(6) of PAGE (default 0x3F, every\n"
               "                                  page): density, block length, write\n"
               "                                  protection\n"
               "  prevent                         PREVENT MEDIUM REMOVAL: the cartridge stays\n"
               "                                  in the drive until allowed\n"
               "  allow                           ALLOW MEDIUM REMOVAL again\n"
               "  read_attribute                  READ ATTRIBUTE 080Ch of partition 0\n"
               "  read_drive_attribute            device-type cartridge memory attributes\n"
               "                                  (identifiers below 0800h)\n"
               "  read_drive_host_type_attribute  host-type cartridge memory attributes\n"
               "                                  (identifiers from 0800h)\n"
               "  serial                          INQUIRY page 80h: the drive's serial number\n"
               "  load, unload                    LOAD UNLOAD: a drive of a library loads its\n"
               "                                  cartridge, or rewinds and unloads it\n"
               "\n"
               "Commands to a library's changer (its sg node, or a virtual library directory):\n"
               "  inventory                       the element addresses, then READ ELEMENT\n"
               "                                  STATUS: each slot and drive, full or empty,\n"
               "                                  the barcode, where it came from, each\n"
               "                                  drive's identifier\n"
               "  move SOURCE DESTINATION         MOVE MEDIUM between two element addresses\n"
               "                                  (such as 0x1000 and 0x100)\n"
               "\n"
               "Numbers are decimal, or hexadecimal with 0x. Several commands run in order on\n"
               "the same drive, which keeps its position between them.\n"
               "\n"
               "Options:\n"
               "  --raw      print the answers undecoded, as earlier versions did (the library\n"
               "             commands print theirs decoded): fields as\n"
               "             numbers, attribute values byte by byte\n"
               "  -v LEVEL   show diagnostics up to LEVEL, v to vvvvvv (vvvvvv: command traces\n"
               "             and sense data)\n"
               "  -h, --help show this help\n"
               "  --version  print the version and exit\n"
               "\n"
               "Exit status: 0 when every command returned GOOD status, 1 otherwise, 2 for a\n"
               "usage error.\n",
               program);
}

bool parse_number(const char* text, int64_t min, int64_t max, int64_t* out) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || value < min || value > max) return false;
  *out = value;
  return true;
}

bool is_number(const char* text) {
  int64_t ignored = 0;
  return parse_number(text, INT64_MIN, INT64_MAX, &ignored);
}

// The commands with the number of arguments each takes (minimum, maximum) and their ranges.
struct CommandSpec {
  const char* name;
  size_t min_args;
  size_t max_args;
  int64_t min_value[2];
  int64_t max_value[2];
};
constexpr CommandSpec kCommands[] = {
    {"test_unit_ready", 0, 0, {}, {}},
    {"rewind", 0, 0, {}, {}},
    {"locate", 1, 2, {0, 0}, {0xFFFFFFFF, 0xFF}},
    {"locate16", 1, 2, {0, 0}, {INT64_MAX, 0xFF}},
    {"space", 2, 2, {0, -0x800000}, {7, 0x7FFFFF}},
    {"read", 0, 0, {}, {}},
    {"read_block_limits", 0, 0, {}, {}},
    {"read_position", 0, 0, {}, {}},
    {"inquiry", 0, 0, {}, {}},
    {"mode_sense", 0, 1, {0}, {0x3F}},
    {"prevent", 0, 0, {}, {}},
    {"allow", 0, 0, {}, {}},
    {"read_attribute", 0, 0, {}, {}},
    {"read_drive_attribute", 0, 0, {}, {}},
    {"read_drive_host_type_attribute", 0, 0, {}, {}},
    {"inventory", 0, 0, {}, {}},
    {"move", 2, 2, {0, 0}, {0xFFFF, 0xFFFF}},
    {"load", 0, 0, {}, {}},
    {"unload", 0, 0, {}, {}},
    {"serial", 0, 0, {}, {}},
};

const CommandSpec* find_command(std::string_view name) {
  for (const CommandSpec& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

// Parses COMMAND [ARGS] ... into steps; false with a message on a usage error.
bool parse_steps(int argc, char** argv, int first, std::vector<Step>* steps) {
  for (int i = first; i < argc;) {
    const CommandSpec* command = find_command(argv[i]);
    if (command == nullptr) {
      std::fprintf(stderr, "Unknown command '%s'.\n", argv[i]);
      return false;
    }
    Step step{command->name, {}};
    ++i;
    while (i < argc && step.args.size() < command->max_args && is_number(argv[i])) {
      const size_t n = step.args.size();
      int64_t value = 0;
      if (!parse_number(argv[i], command->min_value[n], command->max_value[n], &value)) {
        std::fprintf(stderr, "Argument '%s' of %s is out of range.\n", argv[i], command->name);
        return false;
      }
      step.args.push_back(value);
      ++i;
    }
    if (step.args.size() < command->min_args) {
      std::fprintf(stderr, "Command %s needs %zu argument%s.\n", command->name, command->min_args,
                   command->min_args == 1 ? "" : "s");
      return false;
    }
    if (i < argc && is_number(argv[i])) {
      std::fprintf(stderr, "Command %s takes at most %zu argument%s.\n", command->name,
                   command->max_args, command->max_args == 1 ? "" : "s");
      return false;
    }
    steps->push_back(std::move(step));
  }
  return true;
}

BOOL run_step(const char* device, const Step& step) {
  const std::string& n = step.name;
  if (n == "test_unit_ready") return test_test_unit_ready(device);
  if (n == "rewind") return test_rewind(device);
  if (n == "locate") {
    const bool change = step.args.size() == 2;
    return test_locate(device, static_cast<uint32_t>(step.args[0]), change ? 1 : 0,
                       change ? static_cast<uint32_t>(step.args[1]) : 0);
  }
  if (n == "locate16") {
    const bool change = step.args.size() == 2;
    return test_locate16(device, static_cast<uint64_t>(step.args[0]), change ? 1 : 0,
                         change ? static_cast<uint32_t>(step.args[1]) : 0);
  }
  if (n == "space") {
    return test_space(device, static_cast<uint8_t>(step.args[0]),
                      static_cast<uint32_t>(step.args[1]));
  }
  if (n == "read") return test_read_data(device);
  if (n == "read_block_limits") return test_read_block_limits(device);
  if (n == "read_position") return test_read_position(device);
  if (n == "inquiry") return test_inquiry(device);
  if (n == "mode_sense") {
    return test_mode_sense6(
        device, step.args.empty() ? MODE_SENSE_ALL_PAGES : static_cast<uint32_t>(step.args[0]));
  }
  if (n == "prevent" || n == "allow") {
    return test_prevent_allow_medium_removal(device, n == "prevent" ? 1 : 0);
  }
  if (n == "read_attribute") return test_read_attribute(device);
  if (n == "read_drive_attribute") return test_read_drive_attribute(device);
  return test_read_drive_host_type_attribute(device);
}

// The self-tests whose success line carries no line end of its own.
bool ends_without_newline(const std::string& name) {
  return name == "test_unit_ready" || name == "rewind" || name == "space" ||
         name == "read_drive_attribute";
}

// The options before DEVICE.
struct Options {
  bool raw = false;
  int first_operand = 1;  // index of DEVICE in argv
};

enum class Parsed { run, help, version, usage };

Parsed parse_options(int argc, char** argv, char (&verbosity)[64], Options* options) {
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string_view option = argv[i];
    if (option == "-h" || option == "--help") return Parsed::help;
    if (option == "--version") return Parsed::version;
    if (option == "--raw") {
      options->raw = true;
    } else if (option == "-v" && i + 1 < argc && std::strlen(argv[i + 1]) < sizeof(verbosity)) {
      std::snprintf(verbosity, sizeof(verbosity), "%s", argv[++i]);
    } else {
      return Parsed::usage;
    }
  }
  options->first_operand = i;
  return argc - i < 2 ? Parsed::usage : Parsed::run;
}

// Sends every step on the descriptor `held`: decoded, or (raw) through the self-test entry
// points, which open the device for each command beside it.
int run_steps(const char* device, int held, const std::vector<Step>& steps, bool raw) {
  SCSI_DEVICE_PARAM param{held};
  int status = kExitGood;
  for (const Step& step : steps) {
    bool good = false;
    if (raw && !selftest::is_changer_command(step.name)) {
      good = run_step(device, step);
      if (good && ends_without_newline(step.name)) std::printf("\n");
    } else {
      good = selftest::run_decoded(&param, step);
    }
    std::fflush(stdout);
    if (!good) status = kExitFailed;
  }
  return status;
}

// The self-tests of one run; a system failure ends it with status 1.
int selftest_main(int argc, char** argv) {
  static char verbosity[64] = "";
  set_vl(verbosity);
  const char* program = argc > 0 ? argv[0] : kProgram;

  Options options;
  const Parsed parsed = parse_options(argc, argv, verbosity, &options);
  if (parsed == Parsed::help) {
    print_usage(stdout, program);
    return kExitGood;
  }
  if (parsed == Parsed::version) {
    std::printf("%s %s\n", kProgram, OR_VERSION);
    return kExitGood;
  }
  const char* device = parsed == Parsed::run ? argv[options.first_operand] : nullptr;
  std::vector<Step> steps;
  if (parsed == Parsed::usage || !parse_steps(argc, argv, options.first_operand + 1, &steps)) {
    print_usage(stderr, program);
    return kExitUsage;
  }

  // Held open for the whole run: a virtual drive keeps its cartridge and position while a
  // descriptor is open on it, and a device that cannot be opened is reported once, here.
  const int held = tape_device_open(device);
  if (held < 0) {
    // A malformed cartridge has been reported with what is wrong; anything else is reported here.
    const int error = errno;
    if (!is_virtual_device(device) || error != EINVAL) {
      output_accdg_to_vl(LV_ERROR, VL_COMMON, "Can't open device %s: %s.\n", device,
                         std::strerror(error));
    }
    return kExitFailed;
  }
  const int status = run_steps(device, held, steps, options.raw);
  tape_device_close(held);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return selftest_main(argc, argv);
  } catch (const RunEnded& ended) {
    return ended.status();
  }
}

// tape_selftest's decoded output. Every command is sent on the descriptor the run holds, its answer
// decoded by the command layer (scsi_decode.h, mam_attributes.h, command_table.h) and printed as
// fields; how a command ended and its sense data come from the command layer's report of the
// last command, so that they read as the program's own messages do.
#include "selftest/decoded.h"

#include "selftest/changer.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <utility>

#include "scsi/command_table.h"
#include "scsi/mam_attributes.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"
#include "scsi/transfer_limits.h"
#include "support/printable.h"

namespace selftest {

namespace {

constexpr size_t kLabelWidth = 16;  // values start in one column unless a label is longer
constexpr uint32_t kNoAttributeLimit = 0x10000;  // above every attribute identifier
constexpr size_t kLargestNumber = 8;             // binary values of up to 8 bytes read as numbers

using Field = std::pair<std::string, std::string>;

struct Answer {
  BOOL good = 0;
  std::vector<Field> fields;
  bool sense_shown = true;  // false: the check is the answer's own (a READ of a shorter record)
};

// The records every command fills.
struct Records {
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ST_SYSTEM_ERRORINFO error{};
};

std::string format(const char* pattern, auto... values) {
  char text[128];
  std::snprintf(text, sizeof(text), pattern, values...);
  return text;
}

std::string bytes_text(uint64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

// A code with its words when the command layer has some: "sequential-access device (01h)".
std::string code_text(const char* words, unsigned code, const char* pattern = "%02Xh") {
  const std::string number = format(pattern, code);
  return words[0] == '\0' ? number : std::string(words) + " (" + number + ")";
}

// A text value as received, without the blanks and zero bytes that pad it.
std::string text_of(std::string_view text) {
  const size_t end = text.find_last_not_of(std::string_view(" \0", 2));
  text = end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
  return text.empty() ? "(empty)" : printable(text);
}

std::string text_of(std::span<const uint8_t> bytes) {
  return text_of(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string hex_of(std::span<const uint8_t> bytes) {
  std::string hex;
  for (const uint8_t b : bytes) hex += format("%02X", b);
  return hex;
}

std::string heading(const Step& step) {
  std::string text = step.name;
  for (const int64_t arg : step.args) text += " " + std::to_string(arg);
  return text;
}

std::string ending(const Answer& answer, const scsi::Outcome& outcome) {
  if (answer.good) return "GOOD";
  if (outcome.ending == scsi::Ending::check_condition) return "CHECK CONDITION";
  return "failed: " + scsi::describe(outcome);
}

// What INFORMATION holds after the commands that say it: the part of the request not done, or
// for a READ of a record longer than asked for (negative) the part of the record not read.
std::string information_text(const std::string& command, int64_t information) {
  std::string text = std::to_string(information);
  if (command == "read") {
    text += information < 0 ? " (bytes of the record beyond those asked for)"
                            : " (bytes asked for and not read)";
  }
  if (command == "space") text += " (of the count, not spaced)";
  return text;
}

void add_sense(const std::string& command, const scsi::SenseData& s, std::vector<Field>* fields) {
  if (!s.present) return;
  std::string key = code_text(sense_key_description(s.key), s.key, "%Xh");
  if (s.deferred) key += ", deferred: the error of an earlier command";
  fields->emplace_back("Sense key", key);
  const char* words = scsi::asc_text(s.asc, s.ascq);
  std::string asc = format("%02Xh/%02Xh", s.asc, s.ascq);
  if (words[0] != '\0') asc += std::string(" ") + words;
  fields->emplace_back("ASC/ASCQ", asc);
  std::string flags;
  for (const auto& [set, name] :
       {std::pair{s.filemark, "FILEMARK (a filemark was met)"},
        std::pair{s.eom, "EOM (early warning, or an end of the partition was met)"},
        std::pair{s.ili, "ILI (the block was not of the length asked for)"}}) {
    if (set) flags += flags.empty() ? name : std::string(", ") + name;
  }
  if (!flags.empty()) fields->emplace_back("Flags", flags);
  if (s.valid) fields->emplace_back("Information", information_text(command, s.information));
}

Answer inquiry(SCSI_DEVICE_PARAM* device) {
  uint8_t data[INQUIRY_ALLOCATION_LENGTH] = {};
  uint32_t received = 0;
  Records r;
  Answer a;
  a.good = spti_inquiry(device, 0, sizeof(data), data, &received, &r.sense, &r.error);
  if (!a.good) return a;
  const InquiryIdentity d =
      decode_inquiry(std::span<const uint8_t>(data, std::min<size_t>(received, sizeof(data))));
  a.fields = {{"Device type", code_text(device_type_name(d.device_type), d.device_type)},
              {"Vendor", text_of(d.vendor)},
              {"Product", text_of(d.product)},
              {"Revision", text_of(d.revision)},
              {"Version", code_text(version_name(d.version), d.version)}};
  return a;
}

Answer read_position(SCSI_DEVICE_PARAM* device) {
  ST_SPTI_CMD_POSITIONDATA pos{};
  Records r;
  Answer a;
  a.good = spti_read_position(device, &pos, &r.sense, &r.error);
  if (!a.good) return a;
  // BPU: the block (logical object) number is not known; MPU: the file number is not known.
  std::string flags;
  for (const auto& [set, name] : {std::pair{pos.bop, "BOP (beginning of partition)"},
                                  std::pair{pos.eop, "EOP (end of partition)"},
                                  std::pair{pos.bpu, "BPU (block position unknown)"},
                                  std::pair{pos.mpu, "MPU (mark position unknown)"}}) {
    if (set) flags += flags.empty() ? name : std::string(", ") + name;
  }
  a.fields = {{"Partition", std::to_string(pos.partitionNumber)},
              {"Block", pos.bpu ? "unknown" : std::to_string(pos.blockNumber)},
              {"File", pos.mpu ? "unknown" : std::to_string(pos.fileNumber)},
              {"Flags", flags.empty() ? "none" : flags}};
  return a;
}

Answer read_block_limits(SCSI_DEVICE_PARAM* device) {
  ST_SPTI_BLOCK_LIMITS limits{};
  Records r;
  Answer a;
  a.good = spti_read_block_limits(device, &limits, &r.sense, &r.error);
  if (a.good) {
    a.fields = {{"Longest block", bytes_text(limits.max_block_length)},
                {"Shortest block", bytes_text(limits.min_block_length)},
                {"Granularity", format("%u: block lengths are multiples of %s", limits.granularity,
                                       bytes_text(uint64_t{1} << limits.granularity).c_str())}};
  }
  // What one command may carry between the host and the drive, whatever the drive answered.
  a.fields.emplace_back("Adapter", scsi::describe_adapter(scsi::query_adapter_limits(device)));
  return a;
}

Answer mode_sense(SCSI_DEVICE_PARAM* device, uint32_t page) {
  uint8_t data[MODE_SENSE6_ALLOCATION_LENGTH] = {};
  uint32_t received = 0;
  Records r;
  Answer a;
  a.good = spti_mode_sense6(device, page, sizeof(data), data, &received, &r.sense, &r.error);
  if (!a.good) return a;
  const ModeSense6Data d =
      decode_mode_sense6(std::span<const uint8_t>(data, std::min<size_t>(received, sizeof(data))));
  a.fields.emplace_back("Write protected", d.write_protected ? "yes" : "no");
  if (!d.has_block_descriptor) {
    a.fields.emplace_back("Block descriptor", "none");
    return a;
  }
  a.fields.emplace_back("Density", code_text(density_name(d.density_code), d.density_code));
  a.fields.emplace_back("Block length", d.block_length == 0
                                            ? std::string("0: variable-length blocks")
                                            : bytes_text(d.block_length) + ": fixed-length blocks");
  return a;
}

// One record, whole: the READ asks for as much as the adapter and the drive allow, with SILI
// clear, so that a record longer than that is told (check with ILI, negative INFORMATION); a
// drive in variable-block mode with SILI set would cut it silently. A shorter record, which with
// SILI clear also ends in a check with ILI, is the usual answer: GOOD with its length.
Answer read_block(SCSI_DEVICE_PARAM* device) {
  const uint32_t length = scsi::query_transfer_limits(device).whole_record_read();
  std::vector<uint8_t> buffer(length);
  uint32_t received = 0;
  Records r;
  Answer a;
  a.good = read_block_command(device, length, buffer.data(), &received, &r.sense,
                              {.suppress_incorrect_length = false});
  const scsi::SenseData& s = scsi::last_command_report().outcome.sense;
  if (!a.good && s.present && s.key == 0 && s.asc == 0 && s.ascq == 0 && s.ili && s.valid &&
      s.information > 0 && !s.filemark && !s.eom) {
    a.good = 1;
    a.sense_shown = false;
  }
  if (a.good || received > 0) a.fields.emplace_back("Bytes read", std::to_string(received));
  return a;
}

uint64_t number_of(std::span<const uint8_t> bytes) {
  return btoui(bytes.data(), static_cast<int>(bytes.size()));
}

// Volume coherency information: the volume change reference (of the length its first byte
// gives), the coherency count and set identifier, and the application's own information. "" when
// the value is too short for the lengths inside it.
std::string coherency_text(std::span<const uint8_t> v) {
  using namespace scsi::mam;
  if (v.empty()) return "";
  const size_t reference_length = v[0];
  const size_t counts_at = 1 + reference_length;
  const size_t application_at = counts_at + 2 * kCoherencyNumberLength + kApplicationLengthLength;
  if (reference_length > kLargestNumber || v.size() < application_at) return "";
  const std::span<const uint8_t> application = v.subspan(application_at);
  if (application.size() !=
      number_of(v.subspan(application_at - kApplicationLengthLength, kApplicationLengthLength))) {
    return "";
  }
  return "change reference " + std::to_string(number_of(v.subspan(1, reference_length))) +
         ", count " + std::to_string(number_of(v.subspan(counts_at, kCoherencyNumberLength))) +
         ", set " +
         std::to_string(
             number_of(v.subspan(counts_at + kCoherencyNumberLength, kCoherencyNumberLength))) +
         ", application information (" + bytes_text(application.size()) + ")" +
         (application.empty() ? "" : ": " + hex_of(application));
}

std::string attribute_value(const MamAttributeView& attribute) {
  const uint8_t format_bits = attribute.flags & scsi::mam::kFormatMask;
  if (format_bits == scsi::mam::kFormatAscii || format_bits == scsi::mam::kFormatText) {
    return text_of(attribute.value);
  }
  if (attribute.value.empty()) return "(empty)";
  if (attribute.id == scsi::mam::kVolumeCoherencyInformation) {
    const std::string coherency = coherency_text(attribute.value);
    if (!coherency.empty()) return coherency;
  }
  std::string hex = hex_of(attribute.value);
  if (attribute.value.size() <= kLargestNumber) {
    hex += " (" + std::to_string(number_of(attribute.value)) + ")";
  }
  return hex;
}

// Which attributes a command shows: those of partition 0 from `first` up to (not including)
// `end`, at most `count` of them.
struct AttributeQuery {
  uint16_t first;
  uint32_t end;
  size_t count;
};

Answer read_attributes(SCSI_DEVICE_PARAM* device, const AttributeQuery& query) {
  std::vector<uint8_t> list(ATTRIBUTE_LIST_LENGTH);
  uint32_t received = 0;
  Records r;
  Answer a;
  a.good = spti_read_attribute(device, 0, 0, query.first, ATTRIBUTE_LIST_LENGTH, list.data(),
                               &received, &r.sense, &r.error);
  if (!a.good) return a;
  const std::span<const uint8_t> data(list.data(), std::min<size_t>(received, list.size()));
  size_t offset = kAttributeListHeaderLength;
  MamAttributeView attribute;
  while (a.fields.size() < query.count && next_attribute(data, &offset, &attribute) &&
         attribute.id < query.end) {
    const char* name = scsi::mam::attribute_name(attribute.id);
    std::string label = format("%04Xh", attribute.id);
    if (name[0] != '\0') label += std::string(" ") + name;
    a.fields.emplace_back(label, attribute_value(attribute));
  }
  if (a.fields.empty()) a.fields.emplace_back("Attributes", "none");
  return a;
}

Answer ask(SCSI_DEVICE_PARAM* device, const Step& step) {
  Records r;
  const std::string& n = step.name;
  const auto arg = [&](size_t i) { return step.args[i]; };
  // A LOCATE without a partition stays in the current one.
  const uint32_t partition =
      step.args.size() > 1 ? static_cast<uint32_t>(arg(1)) : INVALID_PARTITION_NUMBER;
  if (is_changer_command(n)) {
    ChangerAnswer changer = ask_changer(device, n, step.args);
    return {changer.good, std::move(changer.fields)};
  }
  if (n == "test_unit_ready") return {spti_test_unit_ready(device, &r.sense, &r.error), {}};
  if (n == "rewind") return {spti_rewind(device, &r.sense, &r.error), {}};
  if (n == "locate") {
    return {
        spti_locate_partition(device, partition, static_cast<uint32_t>(arg(0)), &r.sense, &r.error),
        {}};
  }
  if (n == "locate16") {
    return {spti_locate16(device, partition, static_cast<uint64_t>(arg(0)), &r.sense, &r.error),
            {}};
  }
  if (n == "space") {
    return {spti_space(device, static_cast<uint8_t>(arg(0)), static_cast<uint32_t>(arg(1)),
                       &r.sense, &r.error),
            {}};
  }
  if (n == "read") return read_block(device);
  if (n == "read_block_limits") return read_block_limits(device);
  if (n == "read_position") return read_position(device);
  if (n == "inquiry") return inquiry(device);
  if (n == "mode_sense") {
    return mode_sense(device,
                      step.args.empty() ? MODE_SENSE_ALL_PAGES : static_cast<uint32_t>(arg(0)));
  }
  if (n == "prevent" || n == "allow") {
    return {spti_prevent_allow_medium_removal(device, n == "prevent" ? 1 : 0, &r.sense, &r.error),
            {}};
  }
  if (n == "read_attribute") {
    return read_attributes(device, {scsi::mam::kVolumeCoherencyInformation, kNoAttributeLimit, 1});
  }
  if (n == "read_drive_attribute") {
    return read_attributes(device,
                           {scsi::mam::kFirstDeviceType, scsi::mam::kFirstHostType, SIZE_MAX});
  }
  return read_attributes(device, {scsi::mam::kFirstHostType, kNoAttributeLimit, SIZE_MAX});
}

}  // namespace

bool run_decoded(SCSI_DEVICE_PARAM* device, const Step& step) {
  Answer answer = ask(device, step);
  const scsi::Outcome& outcome = scsi::last_command_report().outcome;
  std::printf("%s: %s\n", heading(step).c_str(), ending(answer, outcome).c_str());
  if (answer.sense_shown) add_sense(step.name, outcome.sense, &answer.fields);
  size_t width = kLabelWidth;
  for (const auto& field : answer.fields) width = std::max(width, field.first.size() + 1);
  for (const auto& [label, value] : answer.fields) {
    std::printf("  %-*s %s\n", static_cast<int>(width), (label + ":").c_str(), value.c_str());
  }
  return answer.good != 0;
}

}  // namespace selftest

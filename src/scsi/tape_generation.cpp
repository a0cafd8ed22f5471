// The tape generation: from the drive's volume personality (the volume statistics log page), or,
// when the drive does not tell it, from the density code the cartridge memory keeps.
#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "output_level.h"
#include "scsi/mam_attributes.h"
#include "scsi/scsi_command.h"
#include "scsi/scsi_decode.h"
#include "scsi_util.h"

// The drive names the cartridge's volume personality in the volume statistics log page; the tape
// identifier carries the generation derived from it.
namespace {

constexpr uint32_t kVolumeStatisticsPage = 0x17;
constexpr uint16_t kVolumePersonalityParameter = 0x0045;
constexpr uint32_t kLogSenseLength = 32768;
constexpr size_t kPersonalityLength = 9;

}  // namespace

std::string read_volume_personality(void* scparam) {
  std::vector<uint8_t> buffer(kLogSenseLength, 0);
  ST_SPTI_REQUEST_SENSE_RESPONSE sense{};
  ST_SYSTEM_ERRORINFO syserr{};
  uint32_t received = 0;
  if (!spti_log_sense(scparam, kVolumeStatisticsPage, kVolumePersonalityParameter, kLogSenseLength,
                      buffer.data(), &received, &sense, &syserr)) {
    output_accdg_to_vl(LV_TRACE, VL_MISC, "spti_log_sense error.\n");
    return "";
  }
  // The personality is looked up by its parameter code within the bytes received, so that a
  // drive that returns another parameter first is not misread.
  const std::span<const uint8_t> value = find_log_parameter(
      std::span<const uint8_t>(buffer.data(), std::min<size_t>(received, buffer.size())),
      kVolumePersonalityParameter);
  return std::string(value.begin(), value.end());
}

namespace {

// The generation the cartridge memory's density code names ("" when none).
std::string generation_of_density(void* scparam, uint8_t* code) {
  const std::optional<std::vector<uint8_t>> density =
      read_one_attribute(scparam, 0, scsi::mam::kMediumDensityCode);
  if (!density || density->size() != 1) return "";
  *code = density->front();
  return density_generation(*code);
}

}  // namespace

int get_tape_generation(void* scparam, char* tape_gen) {
  int ret = output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_tape_generation\n");
  if (tape_gen == nullptr) {
    output_fatal(VL_MISC, "Null pointer is detected at get_tape_generation");
    return 1;
  }
  // Missing, the personality stays empty.
  char personality[kPersonalityLength + 1] = {};
  const std::string text = read_volume_personality(scparam);
  std::copy_n(text.begin(), std::min(text.size(), kPersonalityLength), personality);

  if (std::memcmp(personality, "Ultrium-", 8) == 0) {
    tape_gen[0] = 'L';
    tape_gen[1] = personality[8];
  } else if (std::memcmp(personality, "LTO", 3) == 0) {
    // Two characters behind "LTO"; a zero byte ends them and zero-fills the rest.
    tape_gen[0] = personality[3];
    tape_gen[1] = personality[3] == '\0' ? '\0' : personality[4];
  } else {
    // A drive that does not tell the personality: the cartridge memory names the generation.
    uint8_t code = 0;
    const std::string g = text.empty() ? generation_of_density(scparam, &code) : "";
    if (g.size() != 2) output_fatal(VL_MISC, "Volume personality is not correct.(%s)\n", personality);
    output_accdg_to_vl(LV_WARNING, VL_MISC,
                       "The drive does not tell the volume personality (log page 17h, parameter "
                       "0045h); the generation %s is taken from the cartridge memory's density "
                       "code %02Xh.\n",
                       g.c_str(), code);
    tape_gen[0] = g[0];
    tape_gen[1] = g[1];
  }
  ret |= output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :get_tape_generation\n");
  return ret;
}

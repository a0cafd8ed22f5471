// LOAD UNLOAD: a drive of a library loads its cartridge, or rewinds and unloads it so that the
// robot can take it out. Nothing is written to the tape either way.
#include "output_level.h"
#include "scsi/changer.h"
#include "scsi/scsi_command.h"

namespace scsi::changer {

namespace {
constexpr uint8_t kOpLoadUnload = 0x1B;
constexpr uint8_t kLoad = 0x01;
}  // namespace

std::array<uint8_t, 6> load_unload_cdb(bool load) {
  std::array<uint8_t, 6> cdb{};
  cdb[0] = kOpLoadUnload;
  cdb[4] = load ? kLoad : 0;
  return cdb;
}

BOOL load_unload(void* scparam, bool load, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:load_unload: load=%d\n", load ? 1 : 0);
  std::array<uint8_t, 6> cdb = load_unload_cdb(load);
  uint32_t transferred = 0;
  const BOOL result =
      issue_scsi_command(scparam, cdb, SG_DXFER_NONE, 0, nullptr, &transferred, sbp);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :load_unload\n");
  return result;
}

}  // namespace scsi::changer

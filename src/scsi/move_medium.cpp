// MOVE MEDIUM: the robot takes a cartridge from one element to another.
#include "output_level.h"
#include "scsi/changer.h"
#include "scsi/scsi_command.h"

namespace scsi::changer {

namespace {
constexpr uint8_t kOpMoveMedium = 0xA5;
}  // namespace

std::array<uint8_t, 12> move_medium_cdb(uint16_t robot, uint16_t source, uint16_t destination) {
  std::array<uint8_t, 12> cdb{};
  cdb[0] = kOpMoveMedium;
  put_be(cdb, 2, 2, robot);
  put_be(cdb, 4, 2, source);
  put_be(cdb, 6, 2, destination);
  return cdb;
}

BOOL move_medium(void* scparam, uint16_t robot, uint16_t source, uint16_t destination,
                 ST_SPTI_REQUEST_SENSE_RESPONSE* sbp) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:move_medium: %04Xh to %04Xh\n", source, destination);
  std::array<uint8_t, 12> cdb = move_medium_cdb(robot, source, destination);
  uint32_t transferred = 0;
  const BOOL result = issue_scsi_command(scparam, cdb, SG_DXFER_NONE, 0, nullptr, &transferred, sbp,
                                         {.return_transport_failures = true});
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :move_medium\n");
  return result;
}

}  // namespace scsi::changer

// PREVENT ALLOW MEDIUM REMOVAL: keeps the cartridge in the drive while it is read, or lets it be
// taken out again.
#include <cstdio>

#include "output_level.h"
#include "scsi/scsi_command.h"

namespace {
constexpr unsigned char kOpPreventAllowMediumRemoval = 0x1E;
constexpr unsigned char kPrevent = 0x01;  // PREVENT field 01b: the medium changer is not involved
}  // namespace

BOOL spti_prevent_allow_medium_removal(void* scparam, int prevent,
                                       ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                                       ST_SYSTEM_ERRORINFO* /*syserr*/) {
  return prevent_allow_command(scparam, prevent, sbp, {});
}

BOOL prevent_allow_command(void* scparam, int prevent, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                           const CommandOptions& options) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:spti_prevent_allow_medium_removal: prevent=%d\n",
                     prevent != 0 ? 1 : 0);
  unsigned char cdb[6] = {};
  cdb[0] = kOpPreventAllowMediumRemoval;
  cdb[4] = prevent != 0 ? kPrevent : 0;
  uint32_t transferred = 0;
  const BOOL result =
      issue_scsi_command(scparam, cdb, SG_DXFER_NONE, 0, nullptr, &transferred, sbp, options);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :spti_prevent_allow_medium_removal\n");
  return result;
}

BOOL test_prevent_allow_medium_removal(const char* path, int prevent) {
  SelfTestDevice device(path);
  const BOOL result =
      spti_prevent_allow_medium_removal(device.param(), prevent, device.sense(), device.error());
  if (result) std::printf("%s Medium Removal: OK\n", prevent != 0 ? "Prevent" : "Allow");
  return result;
}

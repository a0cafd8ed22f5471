// The drive handle of the self-test entry points: open a device (a SCSI node or a virtual
// cartridge) for SG_IO, and close it again.
#include <new>

#include "output_level.h"
#include "spti_lib.h"
#include "tape_device.h"

SCSI_DEVICE_PARAM* init_scsi_device_param(const char* path) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:init_scsi_device_param\n");
  SCSI_DEVICE_PARAM* sdp = new (std::nothrow) SCSI_DEVICE_PARAM{};
  if (sdp != nullptr) {
    // A failed open leaves -1; the first command then reports the failure.
    sdp->fd_scsidevice = path != nullptr ? tape_device_open(path) : -1;
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :init_scsi_device_param\n");
  return sdp;
}

void destroy_scsi_device_param(SCSI_DEVICE_PARAM* sdp) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:destroy_scsi_device_param\n");
  if (sdp != nullptr) {
    if (sdp->fd_scsidevice >= 0) tape_device_close(sdp->fd_scsidevice);
    delete sdp;
  }
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :destroy_scsi_device_param\n");
}

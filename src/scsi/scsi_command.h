// What the command sources share: the build-send-decode sequence of one command, big-endian CDB
// fields, and the device a self-test entry point opens for its one command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "spti_lib.h"

// init_sg_io_hdr, run_scsi_command, destroy_sg_io_hdr. `resid` receives the bytes transferred.
BOOL issue_scsi_command(void* scparam, std::span<unsigned char> cdb, int dxfer_direction,
                        uint32_t dxfer_len, void* dxferp, uint32_t* resid,
                        ST_SPTI_REQUEST_SENSE_RESPONSE* sbp);

// Stores the low `size` bytes of `value` big-endian at cdb[offset].
inline void put_be(std::span<unsigned char> cdb, size_t offset, size_t size, uint64_t value) {
  for (size_t i = 0; i < size; ++i) {
    cdb[offset + size - 1 - i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

// The device of one self-test: opened with init_scsi_device_param, zeroed sense and error
// records, closed with destroy_scsi_device_param when it goes out of scope.
class SelfTestDevice {
 public:
  explicit SelfTestDevice(const char* path) : param_(init_scsi_device_param(path)) {}
  ~SelfTestDevice() { destroy_scsi_device_param(param_); }
  SelfTestDevice(const SelfTestDevice&) = delete;
  SelfTestDevice& operator=(const SelfTestDevice&) = delete;

  void* param() const { return param_; }
  ST_SPTI_REQUEST_SENSE_RESPONSE* sense() { return &sense_; }
  ST_SYSTEM_ERRORINFO* error() { return &error_; }

 private:
  SCSI_DEVICE_PARAM* param_;
  ST_SPTI_REQUEST_SENSE_RESPONSE sense_{};
  ST_SYSTEM_ERRORINFO error_{};
};

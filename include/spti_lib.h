// The SCSI command layer: the drive handle, the SG_IO transport and one function per command.
// Every command returns BOOL: 1 when the drive returned GOOD status, 0 otherwise.
#pragma once

#include <scsi/sg.h>

#include <cstdint>

#include "scsi_resparam.h"

typedef int BOOL;

// The handle of the opened drive; commands take it as an untyped pointer. They read the fd, and
// set `medium_changed` when the drive answers a unit attention 6/28/00 (the cartridge may have
// been changed): the drive's owner checks the cartridge and clears it.
typedef struct scsi_device_param {
  int fd_scsidevice;
  bool medium_changed = false;
} SCSI_DEVICE_PARAM;

// Tells spti_locate_partition not to change the partition.
inline constexpr uint32_t INVALID_PARTITION_NUMBER = 0xFFFFFFFFu;

// SPACE codes.
inline constexpr uint8_t SPACE_BLOCKS = 0;
inline constexpr uint8_t SPACE_FILEMARKS = 1;
inline constexpr uint8_t SPACE_SEQ_FILEMARKS = 2;
inline constexpr uint8_t SPACE_END_OF_DATA = 3;

// Buffer length: an attribute list as the record readers and the self-tests read it.
inline constexpr uint32_t ATTRIBUTE_LIST_LENGTH = 4096;

// Transport (sg_io_hdr, scsi_device_param).
SCSI_DEVICE_PARAM* init_scsi_device_param(const char* path);
void destroy_scsi_device_param(SCSI_DEVICE_PARAM* sdp);
sg_io_hdr_t* init_sg_io_hdr(unsigned char cmd_len, unsigned char* cmdp, int dxfer_direction,
                            unsigned int dxfer_len, void* dxferp,
                            ST_SPTI_REQUEST_SENSE_RESPONSE* sbp);
void destroy_sg_io_hdr(sg_io_hdr_t* hdr);
BOOL run_scsi_command(const void* scparam, sg_io_hdr_t* hdr, uint32_t* resid);
uint64_t btoui(const unsigned char* buf, int size);
// Prints the decoded sense at `level`, or (null) WARNING for a non-zero sense key, INFO otherwise.
void show_sense_data(const ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, uint8_t operation_code,
                     const char* level = nullptr);

// Tape commands.
BOOL spti_test_unit_ready(void* scparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                          ST_SYSTEM_ERRORINFO* syserr);
BOOL spti_rewind(void* scparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* syserr);
BOOL spti_locate_partition(void* scparam, uint32_t partition, uint32_t block_address,
                           ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* syserr);
BOOL spti_locate(void* scparam, uint32_t block_address, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                 ST_SYSTEM_ERRORINFO* syserr);
// LOCATE(16): a logical object of 64 bits, optionally in another partition (as
// spti_locate_partition). LOCATE(10) names only 32 bits.
BOOL spti_locate16(void* scparam, uint32_t partition, uint64_t block_address,
                   ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* syserr);
BOOL spti_read_block_limits(void* scparam, ST_SPTI_BLOCK_LIMITS* limits,
                            ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* syserr);
BOOL spti_space(void* scparam, uint8_t code, uint32_t block_address,
                ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* syserr);
BOOL spti_read_data(void* scparam, uint32_t dxfer_len, void* dxferp, uint32_t* resid,
                    ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* syserr);
BOOL spti_read_position(void* scparam, ST_SPTI_CMD_POSITIONDATA* pos,
                        ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* syserr);
BOOL spti_log_sense(void* scparam, uint32_t page_code, uint32_t parameter, uint32_t dxfer_len,
                    void* dxferp, uint32_t* resid, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                    ST_SYSTEM_ERRORINFO* syserr);
// The allocation length INQUIRY asks for: a buffer this long takes all the drive returns.
inline constexpr uint32_t INQUIRY_ALLOCATION_LENGTH = 0xFF;
BOOL spti_inquiry(void* scparam, uint32_t page_code, uint32_t dxfer_len, void* dxferp,
                  uint32_t* resid, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                  ST_SYSTEM_ERRORINFO* syserr);
// MODE SENSE(6) of the current values of page `page_code` (3Fh: every page) with the block
// descriptor; the allocation length is the buffer's, at most the one-byte field's 255.
inline constexpr uint32_t MODE_SENSE6_ALLOCATION_LENGTH = 0xFF;
inline constexpr uint32_t MODE_SENSE_ALL_PAGES = 0x3F;
BOOL spti_mode_sense6(void* scparam, uint32_t page_code, uint32_t dxfer_len, void* dxferp,
                      uint32_t* resid, ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                      ST_SYSTEM_ERRORINFO* syserr);
// PREVENT ALLOW MEDIUM REMOVAL: `prevent` not 0 keeps the cartridge in the drive, 0 lets it be
// taken out.
BOOL spti_prevent_allow_medium_removal(void* scparam, int prevent,
                                       ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                                       ST_SYSTEM_ERRORINFO* syserr);

// Cartridge memory attributes.
BOOL spti_read_attribute(void* scparam, uint8_t partition, uint8_t action, uint16_t id,
                         uint32_t dxfer_len, void* dxferp, uint32_t* resid,
                         ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* syserr);
BOOL spti_read_drive_attribute(void* scparam, uint8_t action, uint16_t id,
                               ST_SPTI_DEVICE_TYPE_ATTRIBUTE* attr_data,
                               ST_SPTI_REQUEST_SENSE_RESPONSE* sbp, ST_SYSTEM_ERRORINFO* syserr);
BOOL spti_read_drive_host_type_attribute(void* scparam, uint8_t action, uint16_t id,
                                         ST_SPTI_HOST_TYPE_ATTRIBUTE* attr_data,
                                         ST_SPTI_REQUEST_SENSE_RESPONSE* sbp,
                                         ST_SYSTEM_ERRORINFO* syserr);

// Self-test entry points: open the device, issue one command, print the result, close.
BOOL test_test_unit_ready(const char* path);
BOOL test_rewind(const char* path);
BOOL test_locate(const char* path, uint32_t block_address, int change_partition,
                 uint32_t partition);
BOOL test_locate16(const char* path, uint64_t block_address, int change_partition,
                   uint32_t partition);
BOOL test_space(const char* path, uint8_t code, uint32_t block_address);
BOOL test_read_block_limits(const char* path);
BOOL test_read_data(const char* path);
BOOL test_read_position(const char* path);
BOOL test_inquiry(const char* path);
BOOL test_mode_sense6(const char* path, uint32_t page_code);
BOOL test_prevent_allow_medium_removal(const char* path, int prevent);
BOOL test_read_attribute(const char* path);
BOOL test_read_drive_attribute(const char* path);
BOOL test_read_drive_host_type_attribute(const char* path);

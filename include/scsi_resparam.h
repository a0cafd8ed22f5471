// Result records of the SCSI command layer: decoded sense data, operating-system error details,
// READ POSITION data and the cartridge memory attribute records.
#pragma once

#include <cstdint>

// Decoded sense data of the last command (byte numbers are those of fixed-format sense; from
// descriptor-format sense the key, ASC, ASCQ, stream bits and INFORMATION are taken from their
// descriptors, the fixed-format-only fields are 0).
typedef struct st_spti_request_sense_response {
  uint32_t infomation;              // bytes 3..6 (low 32 bits), 0 unless valid
  uint32_t cmd_spec_info;           // bytes 8..11
  uint16_t field_pointer;           // bytes 16..17
  uint8_t scsi_status;              // the command's SCSI status byte
  uint8_t valid;                    // byte 0 bit 7: INFORMATION holds a value
  uint8_t error_code;               // byte 0 bits 6..0: the response code (70h to 73h)
  uint8_t segment_number;           // not filled by decoding
  uint8_t filemark;                 // byte 2 bit 7
  uint8_t eom;                      // byte 2 bit 6
  uint8_t ili;                      // byte 2 bit 5
  uint8_t sense_key;                // byte 2 bits 3..0
  uint8_t additional_sense_length;  // byte 7
  uint8_t asc;                      // byte 12
  uint8_t ascq;                     // byte 13
  uint8_t field_rep_unit_code;      // byte 14
  uint8_t bit_pointer;              // byte 15 bits 2..0
  uint8_t bpv;                      // byte 15 bit 3
  uint8_t c_d;                      // byte 15 bit 6
  uint8_t sksv;                     // byte 15 bit 7
  uint8_t cln;                      // byte 21 bit 3
  uint8_t vendor_unique1[8];
  uint8_t vendor_unique2[4];
  uint8_t vendor_unique3[4];
} ST_SPTI_REQUEST_SENSE_RESPONSE;

// Operating-system error details; passed along by every command, filled by none.
typedef struct st_system_errorinfo {
  uint32_t code;
  uint32_t msg_len;
  char message[255];
} ST_SYSTEM_ERRORINFO;

// Decoded long-form READ POSITION data.
typedef struct st_spti_cmd_positiondata {
  uint64_t blockNumber;
  uint64_t fileNumber;
  uint8_t bop;
  uint8_t eop;
  uint8_t mpu;
  uint8_t bpu;
  uint32_t partitionNumber;
} ST_SPTI_CMD_POSITIONDATA;

// Decoded READ BLOCK LIMITS data: the block lengths the drive reads in one command.
typedef struct st_spti_block_limits {
  uint32_t max_block_length;  // bytes 1..3
  uint16_t min_block_length;  // bytes 4..5
  uint8_t granularity;        // byte 0 bits 4..0
} ST_SPTI_BLOCK_LIMITS;

// Device-type attributes of the cartridge memory.
typedef struct st_spti_device_type_attribute {
  uint64_t remaining_capacity;              // 0000h
  uint64_t muximum_capacity;                // 0001h
  uint64_t tape_alert_flags;                // 0002h
  uint64_t load_count;                      // 0003h
  uint64_t mam_space_remaining;             // 0004h
  uint8_t assigning_orgnizization[8];       // 0005h
  uint8_t formatted_density_code;           // 0006h
  uint16_t initialization_count;            // 0007h
  uint8_t volume_id[32];                    // 0008h
  uint8_t serialno_last_load[40];           // 020Ah
  uint8_t serialno_load_1[40];              // 020Bh
  uint8_t serialno_load_2[40];              // 020Ch
  uint8_t serialno_load_3[40];              // 020Dh
  uint64_t totalbytes_written_medium_life;  // 0220h
  uint64_t totalbytes_read_medium_life;     // 0221h
  uint64_t totalbytes_written_last_load;    // 0222h
  uint64_t totalbytes_read_last_load;       // 0223h
  uint32_t volume_change_reference;         // 0009h
} ST_SPTI_DEVICE_TYPE_ATTRIBUTE;

// Host-type attributes of the cartridge memory.
typedef struct st_spti_host_type_attribute {
  uint8_t application_vendor[8];                      // 0800h
  uint8_t application_name[32];                       // 0801h
  uint8_t application_version[8];                     // 0802h
  uint8_t user_medium_text_label[160];                // 0803h
  uint8_t date_time_last_written[12];                 // 0804h
  uint8_t text_localization_identifier;               // 0805h
  uint8_t barcode[32];                                // 0806h
  uint8_t owning_hoste_textual_name[80];              // 0807h
  uint8_t media_pool[160];                            // 0808h
  uint8_t partition_user_text_label[16];              // 0809h
  uint8_t load_unload_at_partition;                   // 080Ah
  uint8_t volume_coherency_information[70];           // 080Ch
  uint8_t medium_globally_unique_identifier[37];      // 0820h
  uint8_t media_pool_globally_unique_identifier[37];  // 0821h
  uint8_t system_globally_unique_identifier[37];      // 1607h
} ST_SPTI_HOST_TYPE_ATTRIBUTE;

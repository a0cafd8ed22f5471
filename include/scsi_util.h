// Tape access facade: the calls through which the walk and the run driver read and position the
// tape, without passing the drive handle around. Results: 0 success; read_data 1 at a filemark or
// on a read error. Positioning failures end the run.
#pragma once

#include <cstdint>

#include "spti_lib.h"

void set_device_pram(SCSI_DEVICE_PARAM* scsiparam, ST_SPTI_REQUEST_SENSE_RESPONSE* sensedata,
                     ST_SYSTEM_ERRORINFO* errinfo);
int read_data(const uint32_t data_trans_len, void* data_pointer, uint32_t* residual_count);
int move_on_tape(const uint8_t code, const uint32_t block_address);
int read_position_on_tape(ST_SPTI_CMD_POSITIONDATA* pos);
int set_tape_head(const int which_partition);
int locate_to_tape(const uint32_t block_addres);

// The tape generation from the drive's volume personality: two characters (no terminator written
// beyond the two). A personality of neither the "Ultrium-" nor the "LTO" form ends the run.
int get_tape_generation(void* scparam, char* tape_gen);

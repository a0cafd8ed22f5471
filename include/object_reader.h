// Run driver: the option checks and the drive opening.
#pragma once

#include <cstdint>
#include <memory>

#include "spti_lib.h"
#include "walk/list_files.h"  // object_list, the record of a list entry

struct MamVci;
struct MamHta;
class TapeDrive;

// The program's real entry point (main only calls it).
int object_reader_main(int argc, char** argv);

void print_usage(const char* appname);
int check_interval(const char* str_interval, uint32_t* interval);
int check_arguments(int is_drive_specified, int is_output_list, int is_resume_dump_required,
                    int is_full_dump_required, int is_output_object, const char* bucket_name,
                    const char* object_key, const char* object_id, uint32_t structure_level);

// Opens and checks the drive into `*drive`, waiting up to `ready_wait_seconds` for a cartridge
// that is loading, and begins the drive's job; 0 ready and cartridge memory sound, 1 cartridge
// memory error.
int open_drive(const char* device_name, std::unique_ptr<TapeDrive>* drive, MamVci* mamvci,
               MamHta* mamhta, uint32_t ready_wait_seconds);

// Run driver: the option checks, the drive opening, and the object record that list files yield.
#pragma once

#include <cstdint>
#include <memory>

#include "spti_lib.h"

struct MamVci;
struct MamHta;
class TapeDrive;

// One selected object version, read from a list file. Chained through `next`.
typedef struct object_list {
  char key[1025];
  char id[37];
  char verson_id[37];
  uint64_t size;
  uint64_t metadata_size;
  uint64_t meta_offset;
  uint64_t data_offset;
  char last_mod_date[28];
  char md5[33];
  uint64_t block_address;
  struct object_list* next;
} object_list;

// The program's real entry point (main only calls it).
int object_reader_main(int argc, char** argv);

void print_usage(const char* appname);
int check_interval(const char* str_interval, uint32_t* interval);
int check_arguments(int is_drive_specified, int is_output_list, int is_resume_dump_required,
                    int is_full_dump_required, int is_output_object, const char* bucket_name,
                    const char* object_key, const char* object_id, uint32_t structure_level);

// Opens and checks the drive into `*drive`; 0 ready and cartridge memory sound, 1 cartridge
// memory error.
int open_drive(const char* device_name, std::unique_ptr<TapeDrive>* drive, MamVci* mamvci,
               MamHta* mamhta);

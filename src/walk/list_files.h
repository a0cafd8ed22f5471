// List files "<save path>/<tape id>/<bucket>_<nnnn>.lst": the JSON entries a list run writes, one
// per object version with its place on the tape, and the records a retrieval reads back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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
  // The bucket of the version, when a chain holds versions of several buckets (a retrieval list);
  // empty: the selection's bucket.
  char bucket[64];
  struct object_list* next;
} object_list;

int make_key_str_value_pairs(std::string& json_obj, const char* key, const char* value);
int make_key_ulong_int_value_pairs(std::string& json_obj, const char* key, uint64_t value);
int add_key_value_pairs_to_array_in_json_file(int new_list_flag, FILE* fp_list,
                                              const char* json_path,
                                              const std::string& key_value_pairs);
int comlete_list_files(const char* list_dir);
// Appends the versions of `object_key` that `object_id` selects ("latest", "all" or an object ID)
// in the list file to the chain; a null key selects every object of the file ("all" then keeps
// every version).
int get_object_info_in_list(const char* object_key, const char* object_id, const char* list_path,
                            object_list** objects);
void free_object_list(object_list* objects);
// Orders the chain by the place of each version's metadata on the tape, so that a retrieval of
// several versions visits them in one forward pass (records of equal place keep their order).
void sort_in_tape_order(object_list** objects);
int check_file(const char* filename);

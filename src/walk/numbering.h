// The numbering of each bucket's directories under the save path ("<bucket>/<dir>/<sub dir>/"):
// learnt from the save path, advanced a thousand objects at a time, and recorded in the history so
// that a resume gives every object the directory the dump gave it.
#pragma once

// Per-bucket save-path numbering: at most MAX_DIR_NUMBER directories of MAX_DIR_NUMBER
// sub-directories per bucket.
inline constexpr int MAX_DIR_NUMBER = 1000;
// The objects of one sub-directory.
inline constexpr int kObjectsPerSubDir = 1000;
typedef struct bucket_info_4_obj_reader {
  char bucket_name[64];
  int savepath_dir_number;
  int savepath_sub_dir_number;
  int obj_reader_saved_counter;
  struct bucket_info_4_obj_reader* next;
} BucketInfo4ObjReader;

int initialize_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info,
                                        const char* obj_reader_saveroot);
int add_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info, const char* bucket_name,
                                 int obj_reader_saved_counter, int savepath_dir_number,
                                 int savepath_sub_dir_number);
int get_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info, const char* bucket_name,
                                 int* savepath_dir_number, int* savepath_sub_dir_number);
int update_bucket_info_4_obj_reader(BucketInfo4ObjReader* bucket_info);
void free_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info);

// The numbering of each bucket's directories under the save path: at most MAX_DIR_NUMBER
// directories of MAX_DIR_NUMBER sub-directories, each holding the objects of a thousand versions.
#include "walk/numbering.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "output_level.h"
#include "support/file_helpers.h"

// ---------------------------------------------------------------------------------------------
// Per-bucket directory numbering

namespace {

constexpr int kMaxDirNumber = MAX_DIR_NUMBER;

bool path_exists(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0;
}

BucketInfo4ObjReader* find_bucket(BucketInfo4ObjReader* list, const char* bucket_name) {
  for (; list != nullptr; list = list->next) {
    if (std::strcmp(list->bucket_name, bucket_name) == 0) return list;
  }
  return nullptr;
}

}  // namespace

int add_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info, const char* bucket_name,
                                 int obj_reader_saved_counter, int savepath_dir_number,
                                 int savepath_sub_dir_number) {
  if (bucket_info == nullptr || bucket_name == nullptr) return 0;
  if (find_bucket(*bucket_info, bucket_name) != nullptr) return 0;
  auto* record = static_cast<BucketInfo4ObjReader*>(
      clf_allocate_memory(sizeof(BucketInfo4ObjReader), "bucket information"));
  std::strncpy(record->bucket_name, bucket_name, sizeof(record->bucket_name) - 1);
  record->obj_reader_saved_counter = obj_reader_saved_counter;
  record->savepath_dir_number = savepath_dir_number;
  record->savepath_sub_dir_number = savepath_sub_dir_number;
  BucketInfo4ObjReader** tail = bucket_info;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = record;
  return 0;
}

int initialize_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info,
                                        const char* obj_reader_saveroot) {
  DIR* dir = opendir(obj_reader_saveroot);
  if (dir == nullptr) {
    return output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "scandir error(%s).\n", obj_reader_saveroot);
  }
  int ret = 0;
  char path[4097 + 300];
  for (const dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    const char* name = entry->d_name;
    // "." and ".." are the save root and its parent, never a bucket.
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    for (int j = kMaxDirNumber; j >= 1; --j) {
      std::snprintf(path, sizeof(path), "%s/%s/%04d", obj_reader_saveroot, name, j);
      if (!path_exists(path)) continue;
      int found_sub = 0;
      for (int k = kMaxDirNumber; k >= 1 && found_sub == 0; --k) {
        std::snprintf(path, sizeof(path), "%s/%s/%04d/%04d", obj_reader_saveroot, name, j, k);
        if (path_exists(path)) found_sub = k;
      }
      if (found_sub != 0) {
        ret |= add_bucket_info_4_obj_reader(bucket_info, name, kObjectsPerSubDir, j, found_sub);
        break;
      }
    }
  }
  closedir(dir);
  return ret;
}

int update_bucket_info_4_obj_reader(BucketInfo4ObjReader* bucket_info) {
  int ret = 0;
  if (bucket_info->obj_reader_saved_counter >= kObjectsPerSubDir) {
    bucket_info->obj_reader_saved_counter = 0;
    if (bucket_info->savepath_sub_dir_number < kMaxDirNumber) {
      bucket_info->savepath_sub_dir_number += 1;
    } else {
      bucket_info->savepath_sub_dir_number = 1;
      if (bucket_info->savepath_dir_number < kMaxDirNumber) {
        bucket_info->savepath_dir_number += 1;
      } else {
        if (bucket_info->savepath_dir_number == kMaxDirNumber) {
          ret |= output_accdg_to_vl(LV_ERROR, VL_COMMON,
                                    "The maximum number of files that can be saved in the "
                                    "bucket(%s) has been exceeded.\n",
                                    bucket_info->bucket_name);
        }
        bucket_info->savepath_dir_number = kMaxDirNumber + 1;
        bucket_info->savepath_sub_dir_number = kMaxDirNumber;
        bucket_info->obj_reader_saved_counter = kObjectsPerSubDir - 1;
      }
    }
  }
  bucket_info->obj_reader_saved_counter += 1;
  return ret;
}

int get_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info, const char* bucket_name,
                                 int* savepath_dir_number, int* savepath_sub_dir_number) {
  if (bucket_info == nullptr || bucket_name == nullptr) return 0;
  BucketInfo4ObjReader* record = find_bucket(*bucket_info, bucket_name);
  if (record == nullptr) return 0;
  const int ret = update_bucket_info_4_obj_reader(record);
  *savepath_dir_number = record->savepath_dir_number;
  *savepath_sub_dir_number = record->savepath_sub_dir_number;
  return ret;
}

void free_bucket_info_4_obj_reader(BucketInfo4ObjReader** bucket_info) {
  if (bucket_info == nullptr) return;
  while (*bucket_info != nullptr) {
    BucketInfo4ObjReader* next = (*bucket_info)->next;
    std::free(*bucket_info);
    *bucket_info = next;
  }
}

// Local file helpers: the two file slots the format checks read their cached files through,
// directories, the appending writer, the copy of a directory tree, the free disk space of the save
// path, the run's temporary directory, and small text helpers. Nothing here knows of tapes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

int mk_a_dir(const char* path);
int mk_deep_dir(const char* filepath);
// Directory part of `filepath` (up to the last "/") into `dir_path`; 1 when there is no "/".
int extract_dir_path(const char* filepath, std::string& dir_path);
// Creates the directory part of a file path when it is missing (one level); failure ends the run.
int make_parent_dir(const char* filepath);

// Two-slot file opener used by the format checks: slot 0 and slot 1.
FILE* open_file(const char* filename, const char* mode, int index);
FILE* clf_open_file(const char* filename, const char* mode);
FILE* clf_open_alt_file(const char* filename, const char* mode);
int clf_close_file(FILE* fp);
size_t clf_read_file(void* buffer, size_t size, size_t count, FILE* fp);
int clf_check_read_data(size_t read_count, size_t expected_count, const char* what,
                        const char* filename);
void* clf_allocate_memory(size_t size, const char* what);
void free_safely(char** text);

int write_object_and_meta_to_file(const char* path, const void* data, uint64_t str_offset,
                                  uint64_t object_size);
void set_force_flag(int is_force_enabled);
int check_disk_space(const char* path, uint64_t data_size);
int cp_dir(const char* from, const char* to);

char* str_substring(const char* str, int start, int c_num);
int str_replace(const char* src, const char* target, const char* replace, char* result);

// Temporary directory of the run's partial-reference copies, one per user so that runs of
// different users never share it: "object_reader-<uid>/" under $TMPDIR (an absolute path), or
// under "/tmp" when TMPDIR is unset. Ends with "/".
std::string temporary_directory();

// 1 when the `length` bytes at `buffer` are all zero, else 0.
int is_null_filled(const void* buffer, size_t length);

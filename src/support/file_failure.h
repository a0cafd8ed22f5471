// Reports of a file that could not be opened or written: the report's own first line, then a
// continuation line that says where, why, and what to do. A full disk (ENOSPC, EDQUOT) is named
// with its free space and how the job goes on once space is freed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The continuation line (INDENT first, "\n" last) for `path` that failed with `error`.
std::string file_failure_detail(const std::string& path, int error);

// "Can't open file: PATH" and the detail; ends the run.
[[noreturn]] void output_open_failed(const std::string& path, int error);
// "Failed to output PATH.Disk space is likely to insufficient." and the detail; ends the run.
[[noreturn]] void output_write_failed(const std::string& path, int error);

// Free bytes of the file system that holds `path` (or, for a path not made yet, its nearest
// existing ancestor); nothing when it cannot be asked.
std::optional<uint64_t> free_bytes_at(const std::string& path);
// "12.3 GiB", "512.0 MiB": a size as a person reads it.
std::string readable_size(uint64_t bytes);

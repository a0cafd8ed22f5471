// The listing of a tape on standard output (--ls, after a list run): one line per object version,
// in tape order, from the list files the run wrote. Lines are tab-separated (bucket, key,
// version, object ID, size, modification time, block address, offset; a tab, a line feed or a
// backslash in a text is written \t, \n or \\), or JSON objects with those members (--ls-format
// json).
#pragma once

#include <string>

enum class ListingFormat { tsv, json };

// Prints the listing of the tape `tape_id` from its list files under `save_path`.
void print_tape_listing(const std::string& save_path, const char* tape_id, ListingFormat format);

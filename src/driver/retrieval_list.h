// A retrieval list: many objects of one tape in one run. Each line asks for one object: its
// bucket, a tab, its key, and optionally a tab and which versions ("latest", the default, "all",
// or an object ID). The versions asked for are looked up in the tape's list files and read in one
// forward pass, in their order on the tape.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "walk/list_files.h"

struct RetrievalRequest {
  size_t line = 0;  // from 1, for the messages
  std::string bucket;
  std::string key;
  std::string which = "latest";
};

// The requests of the file `path` ("-": standard input). Blank lines are passed over; a line that
// is not a request is reported (ERROR) and counted in `*refused`. Ends the run when the file
// cannot be read.
std::vector<RetrievalRequest> read_retrieval_list(const std::string& path, size_t* refused);

// The versions the requests select in the list files of `tape_id` under `save_path`: one chain in
// tape order, each version once, with its bucket. A request that selects nothing is reported
// (ERROR, naming its line and why) and counted in `*unsatisfied`.
object_list* select_requested_versions(const std::string& save_path, const char* tape_id,
                                       const std::vector<RetrievalRequest>& requests,
                                       size_t* unsatisfied);

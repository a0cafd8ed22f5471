// The free space each job needs on the save path's file system. A dump keeps the rule of a
// margin of 100 GiB beyond the data (check_disk_space, unless -F) and says at its start when the
// data partition, as the cartridge memory sizes it, holds more than there is free. A list run
// needs room for its list files, about the size of the partial references; a retrieval the sizes
// its list files give; a dump into a store the copy of the marker cache and its history. -F
// skips the checks that stop a job.
#pragma once

#include <cstdint>
#include <optional>

#include "walk/list_files.h"

class SafeDir;
class TapeDrive;

// Ends the run when the list files, about `list_bytes`, do not fit.
void check_space_for_list(const char* save_path, uint64_t list_bytes, bool force);
// Ends the run when a dump into a store cannot write what it keeps on the save path: the copy
// of the marker cache, about `cache_bytes`, and its history and lists (kStoreRunRoomBytes), with
// `free` bytes free there (free_bytes_at; nothing when that cannot be asked). Such a dump writes
// no object there, so it is not held to the dumps' margin.
void check_space_for_store_run(const char* save_path, std::optional<uint64_t> free,
                               uint64_t cache_bytes, bool force);
// The bytes of the plain files of the temporary directory (the partial references' copies).
uint64_t temporary_bytes(const SafeDir& temporary);
// Ends the run when the objects of `objects` do not fit.
void check_space_for_retrieval(const char* save_path, const object_list* objects, bool force);
// A WARNING when the cartridge memory gives the data partition's used capacity and it is more
// than the free space.
void warn_space_for_dump(TapeDrive& drive, const char* save_path);

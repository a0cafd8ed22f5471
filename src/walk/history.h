// The progress history "history.log" in the working directory: one section per tape, holding the
// place a dump recorded last (its four counters) and what a resume needs beside them.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The history file, in the working directory.
inline constexpr char HISTORY_PATH[] = "./history.log";

// Keys and values of a tape's section of the history, in order.
using HistoryKeys = std::vector<std::pair<std::string, std::string>>;

// The room a restore into a store keeps free for its history, its record of the versions stored
// and its lists: it writes no object data.
inline constexpr uint64_t kStoreRunRoomBytes = 16 * 1048576;

// When the history is written: at most once per interval (-i, from the start of the current
// one), and at once when the save path's file system runs short of space, which then ends the
// run so that it can be resumed. The run driver sets it up; the walk keeps it.
struct HistoryClock {
  std::string save_path;
  time_t lap_start = 0;
  time_t lap_end = 0;
  uint32_t interval = 0;
  // A restore into a store writes only the history and lists there: no margin for object data.
  bool to_store = false;
};

// The seconds since the interval began; an interval that has passed begins again now.
int get_interval(HistoryClock& clock, long* interval);
// Records the four counters of the tape's section when the interval has passed or space runs
// short. With `more`, the tape's section is written whole in one rewrite: the four counters, then
// `more`.
int output_history(HistoryClock& clock, const char* tape_id, uint64_t pr_cnt, uint64_t ocm_cnt,
                   uint64_t po_cnt, uint64_t obj_cnt, const HistoryKeys* more = nullptr);
// Replaces the section of `tape_id` (or appends it) with `keys`, in one rewrite of the file.
int write_history_section(const char* tape_id, const HistoryKeys& keys);
// The keys of the section of `tape_id`; false when there is no history or no such section.
bool read_history_section(const char* tape_id, HistoryKeys* keys);
// The tapes the history has sections for; nothing when there is no history file.
std::optional<std::vector<std::string>> history_tapes();
int get_history(const char* tape_id, uint64_t* pr_cnt, uint64_t* ocm_cnt, uint64_t* po_cnt,
                uint64_t* obj_cnt);
int read_or_write_ini(int rw, const char* ini_path, const char* section, const char* key,
                      char* value /* 256 bytes */);

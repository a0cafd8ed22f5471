// The drive time of a library job, for a virtual library (whose devices estimate what a real
// drive and robot would spend; a real library tells nothing of it). Each drive's time is what
// its cartridges cost it: the moves, loads and unloads the library job made for them, and their
// jobs' own drive time. The drives work at once, so the library's estimated time is that of
// the busiest drive; beside it, the time the cartridges would take to stream their bytes once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json-c/json.h>

struct DriveFigures {
  std::string drive;
  int cartridges = 0;            // the cartridges read in it this run
  double handling_seconds = 0;   // moves, loads and unloads for them
  double job_seconds = 0;        // their jobs' drive time
  double streaming_seconds = 0;  // their bytes read, at the drive's native rate
  uint64_t host_stops = 0;
  double host_seconds = 0;
  double host_bytes = 0;
  bool known = false;  // a virtual device told its figures

  double seconds() const { return handling_seconds + job_seconds; }
  // Adds a cartridge's job from the "virtual_drive" member of its report (null: nothing known).
  void add_job(json_object* virtual_drive);
};

// The library's members for the report: "estimated_seconds", "streaming_seconds",
// "handling_seconds" and "drives" (each drive's figures), added to `library`. Nothing when no
// drive's figures are known.
void add_library_time(json_object* library, const std::vector<DriveFigures>& drives);
// The summary's lines: one per drive, then the library's estimated time. Empty when unknown.
std::vector<std::string> library_time_lines(const std::vector<DriveFigures>& drives);

#include "driver/library_figures.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "vdrive/drive_time.h"

namespace {

double member(json_object* object, const char* name) {
  json_object* value = nullptr;
  if (object == nullptr || !json_object_object_get_ex(object, name, &value)) return 0;
  return json_object_get_double(value);
}

void add_double(json_object* object, const char* name, double value) {
  json_object_object_add(object, name, json_object_new_double(value));
}

double host_rate(const DriveFigures& d) {
  return d.host_seconds > 0 ? d.host_bytes / d.host_seconds : 0;
}

bool any_known(const std::vector<DriveFigures>& drives) {
  return std::any_of(drives.begin(), drives.end(), [](const DriveFigures& d) { return d.known; });
}

struct LibraryTime {
  double estimated = 0;  // the busiest drive's
  double streaming = 0;
  double handling = 0;
};

LibraryTime library_time(const std::vector<DriveFigures>& drives) {
  LibraryTime t;
  for (const DriveFigures& d : drives) {
    t.estimated = std::max(t.estimated, d.seconds());
    t.streaming += d.streaming_seconds;
    t.handling += d.handling_seconds;
  }
  return t;
}

}  // namespace

void DriveFigures::add_job(json_object* virtual_drive) {
  ++cartridges;
  if (virtual_drive == nullptr) return;
  known = true;
  job_seconds += member(virtual_drive, "drive_seconds");
  streaming_seconds +=
      member(virtual_drive, "bytes_read") / vdrive::DriveTime::kStreamingBytesPerSecond;
  const double seconds = member(virtual_drive, "host_seconds");
  host_seconds += seconds;
  host_bytes += seconds * member(virtual_drive, "host_bytes_per_second");
  host_stops += static_cast<uint64_t>(member(virtual_drive, "host_stops"));
}

void add_library_time(json_object* library, const std::vector<DriveFigures>& drives) {
  if (!any_known(drives)) return;
  const LibraryTime t = library_time(drives);
  add_double(library, "estimated_seconds", t.estimated);
  add_double(library, "streaming_seconds", t.streaming);
  add_double(library, "handling_seconds", t.handling);
  json_object* list = json_object_new_array();
  for (const DriveFigures& d : drives) {
    json_object* entry = json_object_new_object();
    json_object_object_add(entry, "drive", json_object_new_string(d.drive.c_str()));
    json_object_object_add(entry, "cartridges", json_object_new_int(d.cartridges));
    add_double(entry, "seconds", d.seconds());
    add_double(entry, "handling_seconds", d.handling_seconds);
    add_double(entry, "streaming_seconds", d.streaming_seconds);
    json_object_object_add(entry, "host_stops", json_object_new_uint64(d.host_stops));
    add_double(entry, "host_seconds", d.host_seconds);
    add_double(entry, "host_bytes_per_second", host_rate(d));
    json_object_array_add(list, entry);
  }
  json_object_object_add(library, "drives", list);
}

std::vector<std::string> library_time_lines(const std::vector<DriveFigures>& drives) {
  std::vector<std::string> lines;
  if (!any_known(drives)) return lines;
  char text[512];
  for (const DriveFigures& d : drives) {
    std::snprintf(text, sizeof(text),
                  "Drive %s: %d cartridges, %.0f s of drive time (%.0f s moving, loading and "
                  "unloading); host %.1f MiB/s, %" PRIu64 " host stops.\n",
                  d.drive.c_str(), d.cartridges, d.seconds(), d.handling_seconds,
                  host_rate(d) / 1048576.0, d.host_stops);
    lines.emplace_back(text);
  }
  const LibraryTime t = library_time(drives);
  std::snprintf(text, sizeof(text),
                "Library time (estimated): %.0f s with %zu drives; streaming every cartridge "
                "once takes %.0f s, the moves, loads and unloads %.0f s.\n",
                t.estimated, drives.size(), t.streaming, t.handling);
  lines.emplace_back(text);
  return lines;
}

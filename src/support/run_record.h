// What a run did: the counts of its messages and objects for the summary after its completion
// message, and, with --report FILE, a JSON document of the whole run written when the run ends
// (also after a fatal stop or an interruption), under a temporary name first. Objects are written
// to the report as they are met, so that a run of millions of objects keeps little in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace run_record {

// What happened to one object.
// `unreadable`: its metadata or data break the format; `lost`: the drive could not read it;
// `not_stored`: the S3 store did not take it (a restore into a store counts `written` objects
// as stored). The report names them "written", "listed", "already_there", "refused",
// "not_readable", "lost" and "not_stored".
enum class Outcome { written, listed, exists, refused, unreadable, lost, not_stored };

// The job a run does; the report names it as written here.
enum class Job { full_dump, resume_dump, list, retrieval, list_and_retrieval };

// The version of the report's layout that schema/report.schema.json describes.
inline constexpr int kReportSchemaVersion = 2;

struct Object {
  std::string bucket;
  std::string key;
  std::string version;
  std::string object_id;
  uint64_t size = 0;
  bool size_known = true;  // false for a lost object whose size the tape did not tell
  uint64_t block = 0;  // the first block of its metadata on the data partition
  uint64_t offset = 0;
  Outcome outcome = Outcome::written;
  std::vector<std::string> paths;  // the files written for it, or the address of its version
};

struct Totals {
  uint64_t written = 0;
  uint64_t listed = 0;
  uint64_t exists = 0;
  uint64_t refused = 0;
  uint64_t unreadable = 0;
  uint64_t lost = 0;
  uint64_t lost_bytes = 0;  // of the lost objects whose size is known
  uint64_t not_stored = 0;
  uint64_t not_stored_before = 0;  // of `not_stored`: objects an interrupted run left out
  uint64_t bytes = 0;  // of the objects written or listed
  uint64_t errors = 0;
  uint64_t warnings = 0;
  // What the job asked for: the versions a retrieval asked for and found in the list files (none
  // noted: every object the job met), and the objects it met on the tape, with their sizes.
  std::optional<uint64_t> asked;
  uint64_t found = 0;
  uint64_t found_bytes = 0;
  uint64_t met = 0;
  uint64_t met_bytes = 0;
};

// The program's version and command line; the start of the run's clock.
void begin(const std::string& version, int argc, char** argv);
// Writes the report to `path` when the run ends. False (errno set) when it cannot be created.
// Temporary files of the same report left by runs that were killed (their process no longer
// runs) are removed first.
bool enable_report(const std::string& path);
// Appends every printed message to `path` as it is printed, one JSON object a line. False (errno
// set) when the file cannot be opened.
bool enable_message_log(const std::string& path);
// The job the run does: the report's "job" (null until it is known).
void note_job(Job job);
// A member of the report's "drive" object (INQUIRY identity, barcode, tape identifier, ...).
void note_drive(const std::string& name, const std::string& value);
// A member of the report's "cartridge_memory" object.
void note_cartridge_memory(const std::string& name, const std::string& value);
void note_cartridge_memory(const std::string& name, uint64_t value);
// One printed message (called by the leveled output), `text` as it was printed: the report and
// the message log keep it without its final line feed and its continuation lines without the
// indentation the console gives them.
void note_message(const char* level, const char* tag, const std::string& text);
void note_object(const Object& object);
// Objects that an interrupted run passed over without storing them (its history counts them): a
// resume counts them as not stored, since it does not meet them again.
void note_not_stored_before(uint64_t count);
// A member of the report made of figures known only when the run ends (for example what a
// virtual drive counted): `figures` is asked then, once.
using Figures = std::vector<std::pair<std::string, double>>;
// Figures given again under the same name replace the earlier ones.
void note_late_figures(const std::string& name, std::function<Figures()> figures);

const Totals& totals();
// A retrieval's request: `asked` objects (or lines), of which the list files gave `found`
// versions of `found_bytes` bytes.
void note_request(uint64_t asked, uint64_t found, uint64_t found_bytes);
// The files written for objects, in order (kept for the first thousand objects written).
const std::vector<std::string>& written_files();
// A file written for the objects as a whole (the packed object of a retrieval with -L 1).
void note_file_written(const std::string& path);
// How messages name an object: "bucket/key (object id X, version V)", printable, without the
// version when it has none.
std::string object_name(const std::string& bucket, const std::string& key,
                        const std::string& version, const std::string& object_id);
// The objects lost to damage, named by object_name, in order.
const std::vector<std::string>& lost_objects();
double elapsed_seconds();

// The status the run will exit with (1 until a job says otherwise: a run that ends any other way
// has stopped on a failure). The report is finished with it when the process exits.
void set_exit_status(int exit_status);

// Ends the report with the totals and the exit status and renames it into place. Runs when the
// process exits; later calls do nothing.
void finish();
// In a process made by fork() for a job of its own: a record that starts now, the parent's
// report left to the parent.
void start_afresh();
// A member of the report made whole by the caller (the library job's cartridges), as JSON text.
void note_section(const std::string& name, const std::string& json_text);

}  // namespace run_record

// Counts and report of a run.
#include "support/run_record.h"

#include <json-c/json.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <span>
#include <string_view>

#include "output_level.h"
#include "support/atomic_file.h"
#include "support/printable.h"
#include "support/unique_fd.h"

namespace run_record {

namespace {

struct JsonPut {
  void operator()(json_object* o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

// Messages kept for the report: all errors and warnings, and the other shown messages up to a
// bound, so that a run at the highest verbosity does not keep millions of lines.
constexpr size_t kMaxOtherMessages = 10000;

struct Run {
  Totals totals;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  Json header{json_object_new_object()};
  Json drive{json_object_new_object()};
  Json cartridge_memory{json_object_new_object()};
  Json messages{json_object_new_array()};
  size_t other_messages = 0;
  uint64_t messages_left_out = 0;
  std::unique_ptr<AtomicFile> report;
  support::UniqueFd message_log;  // --log-json
  std::vector<std::string> written_files;
  std::vector<std::string> lost_objects;
  std::vector<std::pair<std::string, std::function<Figures()>>> late_figures;
  std::vector<std::pair<std::string, std::string>> sections;  // name, JSON text
  bool first_object = true;
  bool finished = false;
  int exit_status = 1;
};

Run& run() {
  static Run state;
  return state;
}

const char* outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::written:
      return "written";
    case Outcome::listed:
      return "listed";
    case Outcome::exists:
      return "already_there";
    case Outcome::refused:
      return "refused";
    case Outcome::unreadable:
      return "not_readable";
    case Outcome::lost:
      return "lost";
    case Outcome::not_stored:
      return "not_stored";
  }
  return "";
}

const char* job_name(Job job) {
  switch (job) {
    case Job::full_dump:
      return "full_dump";
    case Job::resume_dump:
      return "resume_dump";
    case Job::list:
      return "list";
    case Job::retrieval:
      return "retrieval";
    case Job::list_and_retrieval:
      return "list_and_retrieval";
  }
  return "";
}

// "[INFO   ] " as "INFO".
std::string bare(std::string_view tag) {
  const size_t first = tag.find_first_not_of("[ ");
  const size_t last = tag.find_last_not_of("] ");
  return first == std::string_view::npos ? "" : std::string(tag.substr(first, last - first + 1));
}

// The time now in UTC, as "2026-12-08T16:45:10.123Z".
std::string now_text() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm utc{};
  gmtime_r(&tv.tv_sec, &utc);
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(tv.tv_usec / 1000));
  return text;
}

// A message as printed, without its final line feed and without the indentation of its
// continuation lines.
std::string plain_text(std::string_view printed) {
  if (printed.ends_with('\n')) printed.remove_suffix(1);
  const std::string continued = std::string("\n") + INDENT;
  std::string text;
  size_t from = 0;
  for (size_t at = printed.find(continued); at != std::string_view::npos;
       at = printed.find(continued, from)) {
    text.append(printed.substr(from, at + 1 - from));
    from = at + continued.size();
  }
  return text.append(printed.substr(from));
}

void add_string(json_object* object, const char* name, const std::string& value) {
  json_object_object_add(object, name,
                         json_object_new_string_len(value.data(), static_cast<int>(value.size())));
}

// Appends one line to the message log in a single write, so that lines of runs sharing the file
// never mix. A line that cannot be written is passed over: the console has the message.
void append_to_log(const std::string& line) {
  const int fd = run().message_log.get();
  if (fd < 0) return;
  ssize_t n = -1;
  do {
    n = ::write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
}

void write_text(const std::string& text) {
  if (run().report != nullptr) {
    run().report->write(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }
}

std::string rendered(json_object* object) {
  return json_object_to_json_string_ext(object,
                                        JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

void count(Outcome outcome, uint64_t size) {
  Totals& t = run().totals;
  ++t.met;
  t.met_bytes += size;
  switch (outcome) {
    case Outcome::written:
      ++t.written;
      t.bytes += size;
      break;
    case Outcome::listed:
      ++t.listed;
      t.bytes += size;
      break;
    case Outcome::exists:
      ++t.exists;
      break;
    case Outcome::refused:
      ++t.refused;
      break;
    case Outcome::unreadable:
      ++t.unreadable;
      break;
    case Outcome::lost:
      ++t.lost;
      t.lost_bytes += size;
      break;
    case Outcome::not_stored:
      ++t.not_stored;
      break;
  }
}

}  // namespace

void begin(const std::string& version, int argc, char** argv) {
  Run& r = run();
  r.start = std::chrono::steady_clock::now();
  add_string(r.header.get(), "program", "object_reader");
  add_string(r.header.get(), "version", version);
  json_object* command_line = json_object_new_array();
  for (int i = 0; i < argc; ++i)
    json_object_array_add(command_line, json_object_new_string(argv[i]));
  json_object_object_add(r.header.get(), "command_line", command_line);
  json_object_object_add(r.header.get(), "schema_version",
                         json_object_new_int(kReportSchemaVersion));
  json_object_object_add(r.header.get(), "job", nullptr);
  add_string(r.header.get(), "started", now_text());
}

void note_section(const std::string& name, const std::string& json_text) {
  run().sections.emplace_back(name, json_text);
}

void start_afresh() {
  Run& r = run();
  // The parent's report is the parent's to write: its file is let go, neither finished nor
  // removed here.
  if (r.report != nullptr) r.report->abandon();
  r = Run{};
}

void note_job(Job job) { add_string(run().header.get(), "job", job_name(job)); }

bool enable_message_log(const std::string& path) {
  support::UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid()) return false;
  run().message_log = std::move(fd);
  return true;
}

bool enable_report(const std::string& path) {
  // The user chose the path: its directory is taken as it stands, links and ".." included. The
  // report itself is written there under a temporary name and renamed into place at the end.
  const size_t slash = path.rfind('/');
  const std::string dir_path =
      slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    errno = EISDIR;
    return false;
  }
  const SafeDir dir = SafeDir::try_root(dir_path);
  if (!dir.valid()) return false;
  remove_orphaned_temporaries(dir, name);
  struct stat status {};
  if (fstatat(dir.fd(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(status.st_mode)) {
    errno = EISDIR;
    return false;
  }
  auto file = std::make_unique<AtomicFile>();
  if (!file->open(dir, name)) return false;
  run().report = std::move(file);
  write_text("{\"objects\":[");
  // Registered after the atomic file's clean-up, so it runs before it: the report is whole and
  // in place before unfinished files are removed.
  std::atexit(finish);
  return true;
}

void set_exit_status(int exit_status) { run().exit_status = exit_status; }

void note_drive(const std::string& name, const std::string& value) {
  add_string(run().drive.get(), name.c_str(), value);
}

void note_cartridge_memory(const std::string& name, const std::string& value) {
  add_string(run().cartridge_memory.get(), name.c_str(), value);
}

void note_cartridge_memory(const std::string& name, uint64_t value) {
  json_object_object_add(run().cartridge_memory.get(), name.c_str(), json_object_new_uint64(value));
}

void note_message(const char* level, const char* tag, const std::string& text) {
  Run& r = run();
  const std::string_view l(level);
  if (l.starts_with("[ERROR") || l.starts_with("[SYS_ERR")) ++r.totals.errors;
  if (l.starts_with("[WARNING")) ++r.totals.warnings;
  const bool other =
      !l.starts_with("[ERROR") && !l.starts_with("[SYS_ERR") && !l.starts_with("[WARNING");
  if (r.report == nullptr && !r.message_log.valid()) return;
  Json message(json_object_new_object());
  add_string(message.get(), "time", now_text());
  add_string(message.get(), "level", bare(level));
  add_string(message.get(), "tag", bare(tag));
  add_string(message.get(), "text", plain_text(text));
  append_to_log(rendered(message.get()) + "\n");
  if (r.report == nullptr) return;
  if (other && r.other_messages >= kMaxOtherMessages) {
    ++r.messages_left_out;
    return;
  }
  if (other) ++r.other_messages;
  json_object_array_add(r.messages.get(), message.release());
}

void note_late_figures(const std::string& name, std::function<Figures()> figures) {
  auto& late = run().late_figures;
  for (auto& [known, taken] : late) {
    if (known == name) {
      taken = std::move(figures);  // one set of figures by a name
      return;
    }
  }
  late.emplace_back(name, std::move(figures));
}

void note_object(const Object& object) {
  count(object.outcome, object.size_known ? object.size : 0);
  Run& r = run();
  if (object.outcome == Outcome::lost) {
    r.lost_objects.push_back(
        object_name(object.bucket, object.key, object.version, object.object_id));
  }
  constexpr size_t kMaxWrittenKept = 2000;
  if (r.written_files.size() < kMaxWrittenKept) {
    r.written_files.insert(r.written_files.end(), object.paths.begin(), object.paths.end());
  }
  if (r.report == nullptr) return;
  const Json entry(json_object_new_object());
  add_string(entry.get(), "bucket", object.bucket);
  add_string(entry.get(), "key", object.key);
  add_string(entry.get(), "version", object.version);
  add_string(entry.get(), "object_id", object.object_id);
  json_object_object_add(entry.get(), "size",
                         object.size_known ? json_object_new_uint64(object.size) : nullptr);
  json_object_object_add(entry.get(), "block", json_object_new_uint64(object.block));
  json_object_object_add(entry.get(), "offset", json_object_new_uint64(object.offset));
  add_string(entry.get(), "outcome", outcome_name(object.outcome));
  json_object* paths = json_object_new_array();
  for (const std::string& path : object.paths) {
    json_object_array_add(paths, json_object_new_string(path.c_str()));
  }
  json_object_object_add(entry.get(), "paths", paths);
  write_text((r.first_object ? "\n" : ",\n") + rendered(entry.get()));
  r.first_object = false;
}

std::string object_name(const std::string& bucket, const std::string& key,
                        const std::string& version, const std::string& object_id) {
  std::string name = printable(bucket + "/" + key) + " (object id " + printable(object_id);
  if (!version.empty()) name += ", version " + printable(version);
  return name + ")";
}

const Totals& totals() { return run().totals; }

void note_request(uint64_t asked, uint64_t found, uint64_t found_bytes) {
  Totals& t = run().totals;
  t.asked = asked;
  t.found = found;
  t.found_bytes = found_bytes;
}

void note_not_stored_before(uint64_t count) {
  run().totals.not_stored += count;
  run().totals.not_stored_before += count;
}

const std::vector<std::string>& written_files() { return run().written_files; }

void note_file_written(const std::string& path) { run().written_files.push_back(path); }

const std::vector<std::string>& lost_objects() { return run().lost_objects; }

double elapsed_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - run().start).count();
}

void finish() {
  Run& r = run();
  if (r.finished || r.report == nullptr) return;
  const int exit_status = r.exit_status;
  r.finished = true;
  const Totals& t = r.totals;
  const Json totals(json_object_new_object());
  for (const auto& [name, value] : {std::pair{"written", t.written},
                                    {"listed", t.listed},
                                    {"already_there", t.exists},
                                    {"refused", t.refused},
                                    {"not_readable", t.unreadable},
                                    {"lost", t.lost},
                                    {"lost_bytes", t.lost_bytes},
                                    {"not_stored", t.not_stored},
                                    {"bytes", t.bytes},
                                    {"errors", t.errors},
                                    {"warnings", t.warnings},
                                    {"messages_left_out", r.messages_left_out},
                                    {"met", t.met},
                                    {"met_bytes", t.met_bytes}}) {
    json_object_object_add(totals.get(), name, json_object_new_uint64(value));
  }
  if (t.asked) {
    const Json request(json_object_new_object());
    for (const auto& [name, value] : {std::pair{"asked", *t.asked},
                                      {"found", t.found},
                                      {"found_bytes", t.found_bytes}}) {
      json_object_object_add(request.get(), name, json_object_new_uint64(value));
    }
    json_object_object_add(totals.get(), "request", json_object_get(request.get()));
  }
  json_object_object_add(totals.get(), "seconds", json_object_new_double(elapsed_seconds()));
  add_string(r.header.get(), "ended", now_text());
  std::string rest = "\n]";
  json_object_object_foreach(r.header.get(), name, value) {
    rest += ",\"" + std::string(name) + "\":" + rendered(value);
  }
  rest += ",\"drive\":" + rendered(r.drive.get());
  rest += ",\"cartridge_memory\":" + rendered(r.cartridge_memory.get());
  rest += ",\"messages\":" + rendered(r.messages.get());
  for (const auto& [name, figures] : r.late_figures) {
    const Json object(json_object_new_object());
    for (const auto& [figure, value] : figures()) {
      const bool whole =
          value >= 0 && value < 1e18 && value == static_cast<double>(static_cast<uint64_t>(value));
      json_object_object_add(object.get(), figure.c_str(),
                             whole ? json_object_new_uint64(static_cast<uint64_t>(value))
                                   : json_object_new_double(value));
    }
    rest += ",\"" + name + "\":" + rendered(object.get());
  }
  for (const auto& [name, text] : r.sections) rest += ",\"" + name + "\":" + text;
  rest += ",\"totals\":" + rendered(totals.get());
  rest += ",\"exit_status\":" + std::to_string(exit_status) + "}\n";
  write_text(rest);
  r.report->commit();
}

}  // namespace run_record

#include "driver/library_job.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <json-c/json.h>
#include <map>
#include <string_view>
#include <thread>

#include "driver/library_figures.h"
#include "driver/library_relay.h"
#include "output_level.h"
#include "scsi/changer.h"
#include "scsi/scsi_command.h"
#include "support/atomic_file.h"
#include "support/printable.h"
#include "support/run_record.h"
#include "support/status_line.h"
#include "support/stop_signal.h"
#include "tape_device.h"
#include "vdrive/vdrive.h"

namespace {

using scsi::changer::ElementReport;
using scsi::changer::ElementStatus;
using scsi::changer::ElementType;

constexpr char kJournal[] = "library.journal";
constexpr int kReadyTries = 600;          // a drive loading a cartridge: up to ten minutes
constexpr uint32_t kReadyPauseMs = 1000;
constexpr int kExitLost = 2;
constexpr int kPollMs = 250;  // the display's pace, and how soon a stop reaches the cartridges

struct Cartridge {
  uint16_t slot = 0;   // the element address of its storage slot
  int number = 0;      // its slot, from 1
  std::string barcode;
  std::string drive;  // the drive it went into, once it did
};

struct Worker {
  std::string path;  // the drive's device
  uint16_t element = 0;
  pid_t child = -1;
  Cartridge cartridge;
  std::vector<std::string> cannot_read;  // barcodes this drive refused (another generation)
  CartridgeRelay relay;                  // what its cartridge's process says
  DriveFigures figures;                  // its drive time this run
};

// The drive time the virtual devices of this process estimated so far, in microseconds (0 for
// real devices).
uint64_t drive_microseconds() { return vdrive::total_counters().drive_microseconds; }

// What the library job's own commands cost a drive's time (the moves, loads and unloads for its
// cartridges) while it lives, added to the drive's figures.
class PaidBy {
 public:
  explicit PaidBy(DriveFigures& figures) : figures_(figures), before_(drive_microseconds()) {}
  ~PaidBy() { figures_.handling_seconds += static_cast<double>(drive_microseconds() - before_) / 1e6; }
  PaidBy(const PaidBy&) = delete;
  PaidBy& operator=(const PaidBy&) = delete;

 private:
  DriveFigures& figures_;
  uint64_t before_;
};

// The journal of the library job: one line per cartridge, "<barcode>\t<state>", rewritten whole
// after every change. States: started, complete, lost (complete, with objects lost), failed.
class Journal {
 public:
  explicit Journal(bool resume) {
    if (!resume) return;
    std::ifstream in(kJournal);
    std::string line;
    while (std::getline(in, line)) {
      const size_t tab = line.find('\t');
      if (tab != std::string::npos) entries_[line.substr(0, tab)] = line.substr(tab + 1);
    }
  }
  std::string state(const std::string& barcode) const {
    const auto found = entries_.find(barcode);
    return found == entries_.end() ? "" : found->second;
  }
  void set(const std::string& barcode, const std::string& state) {
    entries_[barcode] = state;
    std::string text;
    for (const auto& [name, value] : entries_) text += name + "\t" + value + "\n";
    AtomicFile file;
    if (!file.open(std::string("./") + kJournal) ||
        !file.write({reinterpret_cast<const uint8_t*>(text.data()), text.size()}) ||
        !file.commit()) {
      output_fatal(VL_COMMON, "The library journal (%s) could not be written: %s\n", kJournal,
                   std::strerror(errno));
    }
  }

 private:
  std::map<std::string, std::string> entries_;
};

// A device of the library, open for the commands the parent sends it.
using Device = SelfTestDevice;

std::string sense_text() {
  const scsi::SenseData& s = scsi::last_command_report().outcome.sense;
  char text[48];
  std::snprintf(text, sizeof(text), "sense %X/%02X/%02X", s.key, s.asc, s.ascq);
  return text;
}

ElementReport inventory(Device& changer) {
  std::string error;
  scsi::changer::ElementQuery query;
  const std::optional<ElementReport> report =
      scsi::changer::read_element_status(changer.param(), query, changer.sense(), &error);
  if (!report) {
    output_fatal(VL_COMMON, "The changer's inventory could not be read: %s.\n",
                 error.empty() ? sense_text().c_str() : error.c_str());
  }
  return *report;
}

// The identifier a virtual library reports for its drive<k>: "drive<k>", the index its
// "drive.json" gives. Nothing for any other device.
std::optional<std::string> virtual_drive_identifier(const std::string& path) {
  std::ifstream file(path + "/drive.json");
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  json_object* doc = text.empty() ? nullptr : json_tokener_parse(text.c_str());
  json_object* index = nullptr;
  std::optional<std::string> identifier;
  if (doc != nullptr && json_object_object_get_ex(doc, "index", &index) &&
      json_object_is_type(index, json_type_int) && json_object_get_int64(index) >= 0) {
    identifier = "drive" + std::to_string(json_object_get_int64(index));
  }
  json_object_put(doc);
  return identifier;
}

// The element of each drive of the job, matched by its serial number (a virtual library's drive:
// its identifier) against the identifiers the changer reports for its drives.
std::vector<Worker> match_drives(const std::vector<std::string>& paths, const ElementReport& r) {
  std::vector<Worker> workers;
  for (const std::string& path : paths) {
    std::optional<std::string> serial = virtual_drive_identifier(path);
    if (!serial) {
      Device drive(path.c_str());
      serial = scsi::changer::read_unit_serial(drive.param(), drive.sense());
    }
    const auto element = std::find_if(r.elements.begin(), r.elements.end(), [&](const auto& e) {
      return e.type == ElementType::drive && serial && !serial->empty() && e.identifier == *serial;
    });
    if (element == r.elements.end()) {
      output_fatal(VL_COMMON,
                   "The drive %s is not a drive of this library: its serial number (%s) is none "
                   "of the identifiers the changer reports for its drives.\n",
                   printable(path).c_str(), serial ? printable(*serial).c_str() : "not told");
    }
    Worker worker;
    // The cartridges' processes work in directories of their own: a drive named relative to
    // the working directory is named from the root for them.
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    worker.path = error ? path : absolute.lexically_normal().string();
    worker.element = element->address;
    worker.figures.drive = printable(path);
    workers.push_back(std::move(worker));
  }
  return workers;
}

// MOVE MEDIUM, tried once more when it fails.
bool move(Device& changer, uint16_t from, uint16_t to) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (scsi::changer::move_medium(changer.param(), scsi::changer::kRobotElement, from, to,
                                   changer.sense())) {
      return true;
    }
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "Moving the cartridge from element %04Xh to %04Xh failed (%s)%s\n", from,
                       to, sense_text().c_str(), attempt == 0 ? ": it is tried once more." : ".");
  }
  return false;
}

enum class Readiness { ready, incompatible, failed };

// Waits until the drive has loaded the cartridge moved into it; `meanwhile` is called between
// its questions (the other cartridges' processes go on talking).
Readiness wait_for_drive(const std::string& path, const std::function<void()>& meanwhile) {
  Device drive(path.c_str());
  for (int tries = 0; tries < kReadyTries; ++tries) {
    meanwhile();
    // The drive's answers while it loads are expected: they are shown at the highest verbosity only.
    unsigned char cdb[6] = {};  // TEST UNIT READY
    uint32_t received = 0;
    if (issue_scsi_command(drive.param(), cdb, SG_DXFER_NONE, 0, nullptr, &received, drive.sense(),
                           {.report_check_condition = false})) {
      return Readiness::ready;
    }
    const scsi::SenseData& s = scsi::last_command_report().outcome.sense;
    if (s.key == 2 && s.asc == 0x30) return Readiness::incompatible;
    if (!(s.key == 2 && s.asc == 0x04) && !(s.key == 6)) return Readiness::failed;
    tape_device_pause(static_cast<SCSI_DEVICE_PARAM*>(drive.param())->fd_scsidevice, kReadyPauseMs);
  }
  return Readiness::failed;
}

// Rewinds and unloads the drive's cartridge, so that the changer can take it. A job killed
// before it allowed the cartridge's removal left it prevented: it is allowed first.
void unload(const std::string& path) {
  Device drive(path.c_str());
  spti_prevent_allow_medium_removal(drive.param(), 0, drive.sense(), drive.error());
  if (!scsi::changer::load_unload(drive.param(), false, drive.sense())) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON, "The drive %s did not unload its cartridge (%s).\n",
                       printable(path).c_str(), sense_text().c_str());
  }
}

// Whether a stop signal has reached the process: one is pending, or it has taken one already
// (that signal's handler is then reset; a second stop would end it at once, with no clean stop).
// From /proc/PID/status.
bool stop_reached(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const uint64_t stops = (1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1)) | (1ULL << (SIGHUP - 1));
  std::string line;
  while (std::getline(status, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = line.substr(0, colon);
    if (name != "SigPnd" && name != "ShdPnd" && name != "SigCgt") continue;
    const uint64_t mask = std::strtoull(line.c_str() + colon + 1, nullptr, 16) & stops;
    if (name == "SigCgt" ? mask != stops : mask != 0) return true;
  }
  return false;
}

// The cartridges of the job: the full storage slots chosen, with a barcode, not done before.
using Outcomes = std::vector<std::pair<Cartridge, std::string>>;

// A barcode names the cartridge's save path, working directory and journal line: letters, digits,
// '-' and '_' only. The changer's volume tag is not trusted to be one.
bool usable_barcode(std::string_view barcode) {
  return std::all_of(barcode.begin(), barcode.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_';
  });
}

std::deque<Cartridge> cartridges_of(const LibraryJob& job, const ElementReport& report,
                                    const scsi::changer::ElementAssignment& a,
                                    const Journal& journal, Outcomes* done) {
  std::deque<Cartridge> chosen;
  for (const ElementStatus& e : report.elements) {
    if (e.type != ElementType::storage || !e.full) continue;
    const Cartridge c{e.address, e.address - a.storage.first + 1, e.volume_tag.value_or(""), ""};
    if (job.slots && (c.number < job.slots->first || c.number > job.slots->second)) continue;
    if (!job.barcodes.empty() &&
        std::find(job.barcodes.begin(), job.barcodes.end(), c.barcode) == job.barcodes.end()) {
      continue;
    }
    const std::string state = journal.state(c.barcode);
    if (c.barcode.empty()) {
      output_accdg_to_vl(LV_WARNING, VL_COMMON,
                         "The cartridge in slot %d has no barcode: it is left in its slot.\n",
                         c.number);
    } else if (!usable_barcode(c.barcode)) {
      output_accdg_to_vl(LV_WARNING, VL_COMMON,
                         "The cartridge in slot %d has a barcode (%s) that cannot name a "
                         "directory: it is left in its slot.\n",
                         c.number, printable(c.barcode).c_str());
    } else if (state == "complete" || state == "lost") {
      output_accdg_to_vl(LV_INFO, VL_COMMON,
                         "The cartridge %s (slot %d) is done: it is not read again.\n",
                         printable(c.barcode).c_str(), c.number);
      done->emplace_back(c, state);
    } else {
      chosen.push_back(c);
    }
  }
  return chosen;
}

// Puts back into their slots the cartridges that an earlier run left in the job's drives.
void empty_drives(Device& changer, const ElementReport& report, std::vector<Worker>& workers) {
  for (Worker& w : workers) {
    const auto e = std::find_if(report.elements.begin(), report.elements.end(),
                                [&](const ElementStatus& s) { return s.address == w.element; });
    if (e == report.elements.end() || !e->full) continue;
    if (!e->source) {
      output_fatal(VL_COMMON,
                   "The drive %s holds a cartridge whose slot the changer does not know. Move it "
                   "back first.\n",
                   printable(w.path).c_str());
    }
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "The drive %s holds a cartridge left by an earlier run: it goes back to "
                       "element %04Xh.\n",
                       printable(w.path).c_str(), *e->source);
    unload(w.path);
    if (!move(changer, w.element, *e->source)) {
      output_fatal(VL_COMMON, "The cartridge in the drive %s could not be put back.\n",
                   printable(w.path).c_str());
    }
  }
}

// The job's run over the library: the workers, the cartridges waiting, the outcomes.
class LibraryRun {
 public:
  LibraryRun(const LibraryJob& job, Device& changer, std::vector<Worker> workers,
             std::deque<Cartridge> waiting, Journal& journal, Outcomes done)
      : job_(job), changer_(changer), workers_(std::move(workers)), waiting_(std::move(waiting)),
        journal_(journal), outcomes_(std::move(done)) {}

  int run() {
    while (true) {
      if (stop_requested() == 0) {
        start_idle_workers();
      } else {
        pass_on_stop();
      }
      if (busy() == 0) break;
      wait_a_moment();
      reap();
      display();
    }
    status_line::finish();
    for (const Cartridge& c : waiting_) {
      if (stop_requested() != 0) break;
      ++left_;
      output_accdg_to_vl(LV_ERROR, VL_COMMON,
                         "No drive of the job reads the cartridge %s (slot %d): it is left in "
                         "its slot.\n",
                         printable(c.barcode).c_str(), c.number);
    }
    return summarize();
  }

 private:
  int busy() const {
    return static_cast<int>(std::count_if(workers_.begin(), workers_.end(),
                                          [](const Worker& w) { return w.child > 0; }));
  }

  // Waits until a cartridge's process says something or a moment passes, and relays it.
  void wait_a_moment() {
    std::vector<pollfd> fds;
    for (const Worker& w : workers_) {
      if (w.child > 0) w.relay.add_to(&fds);
    }
    if (poll(fds.data(), fds.size(), kPollMs) < 0 && errno != EINTR) {
      // Cannot happen with descriptors of its own; never spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    pump_all();
  }

  void pump_all() {
    for (Worker& w : workers_) {
      if (w.child > 0) w.relay.pump();
    }
  }

  // Collects the cartridges' processes that ended.
  void reap() {
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      for (Worker& w : workers_) {
        if (w.child == pid) finish(w, status);
      }
    }
  }

  // A stop of the library job stops each cartridge's job cleanly: SIGTERM to each process the
  // stop did not reach already (a stop from the terminal reaches them all).
  void pass_on_stop() {
    if (stop_passed_on_) return;
    stop_passed_on_ = true;
    for (const Worker& w : workers_) {
      if (w.child > 0 && !stop_reached(w.child)) kill(w.child, SIGTERM);
    }
  }

  // On a terminal, one line per drive: the cartridge in it and its job's progress.
  void display() const {
    if (status_line::mode() != status_line::Mode::terminal) return;
    std::vector<std::string> lines;
    for (const Worker& w : workers_) {
      std::string line = w.figures.drive + ": ";
      if (w.child <= 0) {
        line += "idle";
      } else {
        line += w.cartridge.barcode + " " +
                (w.relay.status().empty() ? std::string("starting") : w.relay.status());
      }
      lines.push_back(line);
    }
    status_line::show_lines(lines);
  }

  void start_idle_workers() {
    for (Worker& w : workers_) {
      while (w.child <= 0 && stop_requested() == 0) {
        const auto next = std::find_if(waiting_.begin(), waiting_.end(), [&](const Cartridge& c) {
          return std::find(w.cannot_read.begin(), w.cannot_read.end(), c.barcode) ==
                 w.cannot_read.end();
        });
        if (next == waiting_.end()) break;
        const Cartridge c = *next;
        waiting_.erase(next);
        start(w, c);
      }
    }
  }

  // Moves the cartridge into the drive and starts its job; a cartridge the drive cannot read
  // goes back to its slot and waits for another drive.
  void start(Worker& w, Cartridge c) {
    const PaidBy paid(w.figures);
    c.drive = w.path;
    if (!move(changer_, c.slot, w.element)) {
      record(c, "failed", "it could not be moved into the drive " + w.path);
      return;
    }
    const Readiness ready = wait_for_drive(w.path, [this] { pump_all(); });
    if (ready != Readiness::ready) {
      // A cartridge the drive cannot read was never loaded: the changer takes it as it is.
      if (ready != Readiness::incompatible) unload(w.path);
      const bool back = move(changer_, w.element, c.slot);
      if (ready == Readiness::incompatible && back) {
        output_accdg_to_vl(LV_INFO, VL_COMMON, "The drive %s cannot read the cartridge %s.\n",
                           printable(w.path).c_str(), printable(c.barcode).c_str());
        w.cannot_read.push_back(c.barcode);
        c.drive.clear();
        waiting_.push_back(c);
        return;
      }
      record(c, "failed", back ? "the drive " + w.path + " did not become ready"
                               : "it could not be put back from the drive " + w.path);
      if (!back) failed_library_ = true;
      return;
    }
    const bool resume = fork_job(w, c);
    output_accdg_to_vl(LV_INFO, VL_COMMON, "The cartridge %s (slot %d) is %s in the drive %s.\n",
                       printable(c.barcode).c_str(), c.number, resume ? "resumed" : "read",
                       printable(w.path).c_str());
  }

  // The cartridge's job in a process of its own, in its working directory. True when it
  // resumes an earlier run's dump.
  bool fork_job(Worker& w, const Cartridge& c) {
    const std::string dir = c.barcode;
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
      output_fatal(VL_COMMON, "The working directory %s could not be made: %s\n", dir.c_str(),
                   std::strerror(errno));
    }
    struct stat st {};
    const bool resume = job_.resume && stat((dir + "/history.log").c_str(), &st) == 0;
    // The report of an earlier, unfinished run of the cartridge is not this run's.
    unlink((dir + "/report.json").c_str());
    journal_.set(c.barcode, "started");
    if (!w.relay.open()) {
      output_fatal(VL_COMMON, "No pipe could be made: %s\n", std::strerror(errno));
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) output_fatal(VL_COMMON, "No process could be made: %s\n", std::strerror(errno));
    if (pid == 0) {
      // The cartridge's process: its job, then back to main, which ends it with the job's status.
      // It ends at once with the library job (as at a power cut: the history resumes it).
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent || chdir(dir.c_str()) != 0) throw ForkedJobEnded(1);
      w.relay.attach_child();
      throw ForkedJobEnded(job_.run_one(w.path, job_.save_root + "/" + c.barcode, resume));
    }
    w.relay.attach_parent(c.barcode);
    w.child = pid;
    w.cartridge = c;
    return resume;
  }

  void finish(Worker& w, int wait_status) {
    w.relay.drain();
    w.child = -1;
    const Cartridge& c = w.cartridge;
    const int status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    add_job_figures(w);
    const PaidBy paid(w.figures);
    unload(w.path);
    if (!move(changer_, w.element, c.slot)) {
      failed_library_ = true;
      output_accdg_to_vl(LV_ERROR, VL_COMMON,
                         "The cartridge %s could not be put back into slot %d from the drive %s.\n",
                         printable(c.barcode).c_str(), c.number, printable(w.path).c_str());
    }
    if (status == 0) {
      record(c, "complete", "");
    } else if (status == kExitLost) {
      record(c, "lost", "");
    } else if (status > 128 && stop_requested() != 0) {
      record(c, "started", "stopped");  // the whole job was stopped: -r resumes it
    } else {
      record(c, "failed", "its job ended with status " + std::to_string(status));
    }
  }

  // The cartridge's job's drive figures, from its report, count for its drive.
  static void add_job_figures(Worker& w) {
    json_object* report = json_object_from_file((w.cartridge.barcode + "/report.json").c_str());
    json_object* figures = nullptr;
    if (report == nullptr || !json_object_object_get_ex(report, "virtual_drive", &figures)) {
      figures = nullptr;
    }
    w.figures.add_job(figures);
    json_object_put(report);
  }

  void record(const Cartridge& c, const std::string& state, const std::string& why) {
    journal_.set(c.barcode, state);
    outcomes_.emplace_back(c, state);
    const char* level = state == "complete" ? LV_INFO : state == "lost" ? LV_WARNING : LV_ERROR;
    if (state == "started") level = LV_WARNING;
    output_accdg_to_vl(level, VL_COMMON, "The cartridge %s (slot %d): %s%s%s.\n",
                       printable(c.barcode).c_str(), c.number,
                       state == "complete" ? "complete"
                       : state == "lost"   ? "complete, with objects lost"
                       : state == "started" ? "interrupted"
                                            : "failed",
                       why.empty() ? "" : ": ", why.c_str());
  }

  // The library's member of the report: each cartridge with its state and, from its own report,
  // what its job wrote and lost and the drive time it took.
  void note_report(uint64_t* written, uint64_t* lost, uint64_t* bytes) const {
    json_object* cartridges = json_object_new_array();
    for (const auto& [c, state] : outcomes_) {
      json_object* entry = json_object_new_object();
      json_object_object_add(entry, "barcode", json_object_new_string(c.barcode.c_str()));
      json_object_object_add(entry, "slot", json_object_new_int(c.number));
      json_object_object_add(entry, "state", json_object_new_string(state.c_str()));
      if (!c.drive.empty()) {
        json_object_object_add(entry, "drive", json_object_new_string(c.drive.c_str()));
      }
      json_object* report = json_object_from_file((c.barcode + "/report.json").c_str());
      json_object* member = nullptr;
      for (const char* name : {"totals", "virtual_drive"}) {
        if (report != nullptr && json_object_object_get_ex(report, name, &member)) {
          json_object_object_add(entry, name, json_object_get(member));
        }
      }
      json_object* totals = nullptr;
      json_object* figure = nullptr;
      // The summary's figures are this run's: a cartridge done before (never given a drive by
      // this run) shows its figures in the report only.
      const bool this_run = !c.drive.empty();
      if (this_run && report != nullptr && json_object_object_get_ex(report, "totals", &totals)) {
        for (const auto& [name, sum] : {std::pair{"written", written}, {"lost", lost},
                                        {"bytes", bytes}}) {
          if (json_object_object_get_ex(totals, name, &figure)) {
            *sum += json_object_get_uint64(figure);
          }
        }
      }
      json_object_put(report);
      json_object_array_add(cartridges, entry);
    }
    json_object* library = json_object_new_object();
    json_object_object_add(library, "cartridges", cartridges);
    add_library_time(library, drive_figures());
    run_record::note_section("library",
                             json_object_to_json_string_ext(library, JSON_C_TO_STRING_PLAIN));
    json_object_put(library);
  }

  std::vector<DriveFigures> drive_figures() const {
    std::vector<DriveFigures> figures;
    for (const Worker& w : workers_) figures.push_back(w.figures);
    return figures;
  }

  int summarize() const {
    uint64_t written = 0;
    uint64_t lost_objects = 0;
    uint64_t bytes = 0;
    note_report(&written, &lost_objects, &bytes);
    int complete = 0, lost = 0, failed = 0, stopped = 0;
    for (const auto& [c, state] : outcomes_) {
      complete += state == "complete";
      lost += state == "lost";
      failed += state == "failed";
      stopped += state == "started";
    }
    output_summary("Library: %d cartridges complete, %d with objects lost, %d failed, %d "
                   "interrupted, %d left in their slots.\n",
                   complete, lost, failed, stopped, left_);
    output_summary("Library objects (this run): %" PRIu64 " written, %" PRIu64
                   " lost; %.1f MiB (%" PRIu64 " bytes).\n",
                   written, lost_objects, static_cast<double>(bytes) / 1048576.0, bytes);
    for (const std::string& line : library_time_lines(drive_figures())) {
      output_summary("%s", line.c_str());
    }
    if (stop_requested() != 0) return 128 + stop_requested();
    if (failed > 0 || left_ > 0 || failed_library_) return 1;
    return lost > 0 ? kExitLost : 0;
  }

  const LibraryJob& job_;
  Device& changer_;
  std::vector<Worker> workers_;
  std::deque<Cartridge> waiting_;
  Journal& journal_;
  Outcomes outcomes_;  // of every cartridge of the job, those done before included
  int left_ = 0;
  bool failed_library_ = false;
  bool stop_passed_on_ = false;
};

}  // namespace

int run_library_job(const LibraryJob& job) {
  Device changer(job.changer.c_str());
  const std::optional<scsi::changer::ElementAssignment> assignment =
      scsi::changer::read_element_assignment(changer.param(), changer.sense());
  if (!assignment) {
    output_fatal(VL_COMMON, "%s answers no element address assignment: is it a changer? (%s)\n",
                 printable(job.changer).c_str(), sense_text().c_str());
  }
  std::vector<Worker> workers = match_drives(job.drives, inventory(changer));
  empty_drives(changer, inventory(changer), workers);
  Journal journal(job.resume);
  Outcomes done;
  std::deque<Cartridge> waiting =
      cartridges_of(job, inventory(changer), *assignment, journal, &done);
  output_accdg_to_vl(LV_INFO, VL_COMMON, "Library: %zu cartridges to read with %zu drives.\n",
                     waiting.size(), workers.size());
  LibraryRun run(job, changer, std::move(workers), std::move(waiting), journal, std::move(done));
  return run.run();
}

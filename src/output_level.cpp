// Leveled diagnostic output: headers, tags, ranks, streams and the fatal stop.
#include "output_level.h"

#include <sys/time.h>

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>

#include "support/printable.h"
#include "support/run_record.h"
#include "support/status_line.h"

namespace {

// What the user asked to be shown: the verbosity text (-v) and -q.
struct Shown {
  const char* verbose_level = nullptr;
  bool quiet = false;
  bool all_to_stderr = false;  // standard output carries the job's own output (a listing)
};

Shown& shown() {
  static Shown settings;
  return settings;
}

thread_local const char* top_verbose = nullptr;

bool same(const char* a, const char* b) { return a != nullptr && std::strcmp(a, b) == 0; }

const char* verbose_tag(const char* verbose) {
  static constexpr const char* kTags[] = {"[COMMON] ", "[LABEL ] ", "[RCM   ] ", "[PR    ] ",
                                          "[OCM   ] ", "[POINFO] ", "[MISC  ] "};
  if (same(verbose, "")) return kTags[0];
  const int rank = get_verbose_rank(verbose);
  return rank > 0 ? kTags[rank] : "[UNKNOWN] ";
}

}  // namespace

void set_vl(const char* vl) { shown().verbose_level = vl; }
void set_quiet(bool quiet) { shown().quiet = quiet; }
void set_messages_to_stderr(bool all) { shown().all_to_stderr = all; }
void set_top_verbose(const char* t_verbose) { top_verbose = t_verbose; }
const char* get_top_verbose() { return top_verbose; }

int get_verbose_rank(const char* verbose) {
  static constexpr const char* kRanked[] = {"v", "vv", "vvv", "vvvv", "vvvvv", "vvvvvv"};
  for (int i = 0; i < 6; ++i) {
    if (same(verbose, kRanked[i])) return i + 1;
  }
  return 0;
}

void print_header(FILE* stream, const char* log_level, const char* verbose) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  std::fprintf(stream, "%04d/%02d/%02d %02d:%02d:%02d.%03d ", local.tm_year + 1900, local.tm_mon + 1,
               local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
               static_cast<int>(tv.tv_usec / 1000));
  std::fputs(log_level, stream);
  std::fputs(verbose_tag(verbose), stream);
}

namespace {

// The verbose string a message is printed with: "default" stands for the structure being
// checked, and a missing one prints as unknown.
const char* resolve_verbose(const char* verbose) {
  if (verbose == nullptr) return "UNKNOWN";
  if (same(verbose, VL_DEFAULT)) return top_verbose == nullptr ? "UNKNOWN" : top_verbose;
  return verbose;
}

std::string formatted(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

// Prints one message with its header: above the status line, which is drawn again after it, and
// noted in the run's record.
void print_message(FILE* stream, const char* log_level, const char* verbose,
                   const std::string& raw) {
  // Whatever a message carries (texts of the tape among them), nothing but its own lines reaches
  // the terminal as a control character.
  const std::string text = printable_lines(raw);
  status_line::clear_for_message();
  if (stream == stderr) std::fflush(stdout);
  print_header(stream, log_level, verbose);
  std::fwrite(text.data(), 1, text.size(), stream);
  if (stream == stderr) std::fflush(stderr);
  run_record::note_message(log_level, verbose_tag(verbose), text);
  status_line::redraw_after_message();
}

}  // namespace

void output_fatal(const char* verbose, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  // The run ends: the status line is not drawn again below the report.
  status_line::finish();
  print_message(stderr, LV_SYS_ERR, resolve_verbose(verbose), text);
  throw RunEnded(1);
}

int output_accdg_to_vl(const char* log_level, const char* verbose, const char* format, ...) {
  if (log_level == nullptr || format == nullptr) return 0;
  verbose = resolve_verbose(verbose);
  const bool to_stderr =
      same(log_level, LV_ERROR) || same(log_level, LV_WARNING) || same(log_level, LV_SYS_ERR);
  const bool to_stdout =
      !to_stderr &&
      (same(log_level, LV_INFO) || same(log_level, LV_DEBUG) || same(log_level, LV_TRACE)) &&
      !shown().quiet && get_verbose_rank(shown().verbose_level) >= get_verbose_rank(verbose);
  if (!to_stderr && !to_stdout) return 0;
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  print_message(to_stderr || shown().all_to_stderr ? stderr : stdout, log_level, verbose, text);
  return same(log_level, LV_ERROR) || same(log_level, LV_SYS_ERR) ? 1 : 0;
}

void output_summary(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  print_message(shown().all_to_stderr ? stderr : stdout, LV_INFO, VL_COMMON, text);
}

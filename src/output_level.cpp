// Leveled diagnostic output: headers, tags, ranks, streams and the fatal stop.
#include "output_level.h"

#include <sys/time.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char* verbose_level = nullptr;
const char* continue_mode = nullptr;
const char* top_verbose = nullptr;

bool same(const char* a, const char* b) { return a != nullptr && std::strcmp(a, b) == 0; }

const char* verbose_tag(const char* verbose) {
  static constexpr const char* kTags[] = {"[COMMON] ", "[LABEL ] ", "[RCM   ] ", "[PR    ] ",
                                          "[OCM   ] ", "[POINFO] ", "[MISC  ] "};
  if (same(verbose, "")) return kTags[0];
  const int rank = get_verbose_rank(verbose);
  return rank > 0 ? kTags[rank] : "[UNKNOWN] ";
}

}  // namespace

void set_vl(const char* vl) { verbose_level = vl; }
void set_c_mode(const char* c_mode) { continue_mode = c_mode; }
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
  std::fprintf(stream, "%04d/%02d/%02d %02d:%02d:%02d.%3d ", local.tm_year + 1900, local.tm_mon + 1,
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

void print_to_stderr(const char* log_level, const char* verbose, const char* format, va_list args) {
  std::fflush(stdout);
  print_header(stderr, log_level, verbose);
  std::vfprintf(stderr, format, args);
  std::fflush(stderr);
}

}  // namespace

void output_fatal(const char* verbose, const char* format, ...) {
  va_list args;
  va_start(args, format);
  print_to_stderr(LV_SYS_ERR, resolve_verbose(verbose), format, args);
  va_end(args);
  std::exit(1);
}

int output_accdg_to_vl(const char* log_level, const char* verbose, const char* format, ...) {
  if (log_level == nullptr || format == nullptr) return 0;
  verbose = resolve_verbose(verbose);

  va_list args;
  va_start(args, format);
  int result = 0;
  if (same(log_level, LV_ERROR) || same(log_level, LV_WARNING) || same(log_level, LV_SYS_ERR)) {
    print_to_stderr(log_level, verbose, format, args);
    va_end(args);
    if (same(log_level, LV_SYS_ERR)) std::exit(1);
    if (same(log_level, LV_ERROR)) {
      if (!same(continue_mode, "cont")) std::exit(1);
      result = 1;
    }
    return result;
  }
  if (same(log_level, LV_INFO) || same(log_level, LV_DEBUG) || same(log_level, LV_TRACE)) {
    if (get_verbose_rank(verbose_level) >= get_verbose_rank(verbose)) {
      print_header(stdout, log_level, verbose);
      std::vfprintf(stdout, format, args);
    }
  }
  va_end(args);
  return result;
}

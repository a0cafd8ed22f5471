// Leveled diagnostic output: every message of the program goes through output_accdg_to_vl.
// A message has a log level (its stream and its result) and a verbose string (which structure it
// is about, and whether an informational message is shown at the user's -v). Printing a message
// never ends the run: output_fatal is the one way a failure ends it, by throwing RunEnded.
#pragma once

#include <cstdio>
#include <exception>

// Log levels: ten-character tags printed unchanged.
inline constexpr const char LV_SYS_ERR[] = "[SYS_ERR] ";  // stderr; output_fatal's level
inline constexpr const char LV_ERROR[] = "[ERROR  ] ";    // stderr; returns 1
inline constexpr const char LV_WARNING[] = "[WARNING] ";  // stderr; returns 0
inline constexpr const char LV_INFO[] = "[INFO   ] ";     // stdout when the rank allows; returns 0
inline constexpr const char LV_DEBUG[] = "[DEBUG  ] ";
inline constexpr const char LV_TRACE[] = "[TRACE  ] ";

// Continuation lines of multi-line messages are indented by the width of the two tags.
inline constexpr const char INDENT[] = "                   ";  // 19 blanks

// Verbose strings.
inline constexpr const char VL_COMMON[] = "";
inline constexpr const char VL_LABEL[] = "v";
inline constexpr const char VL_RCM[] = "vv";
inline constexpr const char VL_PR[] = "vvv";
inline constexpr const char VL_OCM[] = "vvvv";
inline constexpr const char VL_POINFO[] = "vvvvv";
inline constexpr const char VL_MISC[] = "vvvvvv";
inline constexpr const char VL_DEFAULT[] = "default";  // stands for the structure being checked

// The references are stored, not copied: the caller keeps the texts alive for the run. The top
// verbose string is the checker's own, kept per thread: each thread that checks a tape has its
// own structure in hand.
void set_vl(const char* vl);
// -q: no INFO, DEBUG or TRACE message is shown, whatever the verbosity, but the closing summary
// (output_summary).
// Every message, the summary too, goes to standard error: standard output is the job's (--ls).
void set_messages_to_stderr(bool all);
void set_quiet(bool quiet);
void set_top_verbose(const char* t_verbose);
const char* get_top_verbose();

// 1 to 6 for "v" to "vvvvvv", 0 for any other text (the empty text included).
int get_verbose_rank(const char* verbose);

// Writes "YYYY/MM/DD hh:mm:ss.mmm " (local time), the log level and the verbose tag.
void print_header(FILE* stream, const char* log_level, const char* verbose);

// Formats and routes one message. Returns 1 when an ERROR (or a SYS_ERR) was printed, else 0.
// It never ends the run: a caller that must stop after a message says so (output_fatal).
int output_accdg_to_vl(const char* log_level, const char* verbose, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Prints one line of the closing summary of a job as an INFO of [COMMON]: shown at every
// verbosity, -q included.
void output_summary(const char* format, ...) __attribute__((format(printf, 1, 2)));

// What ends a run: thrown by output_fatal after its message, and by a stop that a signal asked
// for, with the exit status the run ends with. main (and each worker of a job) catches it;
// everything between is cleaned up by its destructors on the way (files still under a temporary
// name are removed, the drive is closed).
class RunEnded : public std::exception {
 public:
  explicit RunEnded(int status) : status_(status) {}
  int status() const { return status_; }
  const char* what() const noexcept override { return "the run ended"; }

 private:
  int status_;
};

// A process made by fork() for a job of its own (a cartridge of a library job) has done it: main
// returns its status, the frames the process shares with its parent unwound on the way. Not a
// RunEnded: nothing of the parent's run is reported for it.
class ForkedJobEnded {
 public:
  explicit ForkedJobEnded(int status) : status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// Prints a "[SYS_ERR] " message to standard error and ends the run with status 1 by throwing
// RunEnded: the one way a system failure stops the run, so that readers and the compiler see
// control stop here.
[[noreturn]] void output_fatal(const char* verbose, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

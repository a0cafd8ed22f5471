// Leveled diagnostic output: every message of the program goes through output_accdg_to_vl.
// A message has a log level (stream, and what happens after printing) and a verbose string
// (which structure it is about, and whether an informational message is shown at the user's -v).
#pragma once

#include <cstdio>

// Log levels: ten-character tags printed unchanged.
inline constexpr const char LV_SYS_ERR[] =
    "[SYS_ERR] ";  // stderr, then the process ends with status 1
inline constexpr const char LV_ERROR[] =
    "[ERROR  ] ";  // stderr; returns 1 in continue mode, else ends
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

// The three references are stored, not copied: the caller keeps the texts alive for the run.
void set_vl(const char* vl);
void set_c_mode(const char* c_mode);
void set_top_verbose(const char* t_verbose);
const char* get_top_verbose();

// 1 to 6 for "v" to "vvvvvv", 0 for any other text (the empty text included).
int get_verbose_rank(const char* verbose);

// Writes "YYYY/MM/DD hh:mm:ss.mmm " (milliseconds space-padded), the log level and the verbose tag.
void print_header(FILE* stream, const char* log_level, const char* verbose);

// Formats and routes one message. Returns 1 only when an ERROR was printed in continue mode.
// A "[SYS_ERR] " message ends the process as output_fatal does.
int output_accdg_to_vl(const char* log_level, const char* verbose, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Prints a "[SYS_ERR] " message to standard error and ends the process with status 1: the one
// way a system failure stops the run, so that readers and the compiler see control stop here.
[[noreturn]] void output_fatal(const char* verbose, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// How a message that ends the run ends it. By default the process exits with status 1 (the atomic
// files still under a temporary name are removed on the way out). A harness that runs the checks
// many times in one process installs a handler that unwinds instead (by throwing): it is called
// with the exit status after the message was printed, and the process exits if it returns. Null
// restores the default.
using RunEndHandler = void (*)(int status);
void set_run_end_handler(RunEndHandler handler);

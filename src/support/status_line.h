// The progress of a long job. On a terminal (standard error), one status line kept up to date in
// place, at most four times a second, that messages print above without tearing it; elsewhere,
// when asked for, one progress message a minute instead.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace status_line {

enum class Mode { off, terminal, periodic };
void set_mode(Mode mode);
Mode mode();
// The mode a program's options ask for: `wanted` 1 (--progress), 0 (--no-progress) or -1 (on a
// terminal only; elsewhere, with a verbosity of v or more, the periodic messages).
Mode mode_for(int wanted, bool terminal, int verbose_rank);

// Where the job stands: objects and bytes done out of the totals known (both 0 for a job that
// cannot know its end), and what it works on.
struct Progress {
  uint64_t objects_done = 0;
  uint64_t objects_total = 0;
  uint64_t bytes_done = 0;
  uint64_t bytes_total = 0;
  std::string current;  // the bucket and key being written, as shown
};
// Shows `progress` when it is time to (a terminal: at most 4 times a second; periodic: once a
// minute).
void update(const Progress& progress);
// Removes the line from the terminal for good (the job ends).
void finish();

// A job run for another process (a cartridge's job in a library job): from here on every update,
// at most four times a second and whatever the mode, is written as one line to `fd` (with what
// `detail` adds after the figures) instead of being shown. A line that does not fit into the pipe
// at once is dropped: the job never waits for the one that reads them.
void feed_to(int fd, std::function<std::string()> detail);

// Several lines kept up to date in place on a terminal (a library job: one line per drive), in
// terminal mode only; messages print above them as above the single line.
void show_lines(const std::vector<std::string>& lines);
// Prints `text` (whole lines already formatted) to `stream` above the status lines.
void print_above(FILE* stream, const std::string& text);

// Called by the leveled output around each message it prints.
void clear_for_message();
void redraw_after_message();

}  // namespace status_line

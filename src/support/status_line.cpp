// The status line and the periodic progress messages.
#include "support/status_line.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cinttypes>
#include <cstdio>

#include "output_level.h"

namespace status_line {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTerminalInterval = std::chrono::milliseconds(250);
constexpr auto kPeriodicInterval = std::chrono::seconds(60);
// The line is cut to the terminal's width less one column (a line that fills the last column
// wraps on some terminals); when the width cannot be asked, to this one.
constexpr size_t kDefaultWidth = 80;

struct State {
  Mode mode = Mode::off;
  bool shown = false;
  std::vector<std::string> lines;  // shown on the terminal, the first on top
  Clock::time_point start = Clock::now();
  Clock::time_point last = Clock::time_point{};
  int feed_fd = -1;  // feed_to: where the updates go as lines
  std::function<std::string()> detail;
};

State& state() {
  static State s;
  return s;
}

size_t terminal_width() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) return size.ws_col - 1u;
  return kDefaultWidth - 1;
}

// The first `width` bytes of `text`, never cutting a UTF-8 character in two.
void cut_to(std::string& text, size_t width) {
  if (text.size() <= width) return;
  size_t end = width;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
}

std::string amount(uint64_t bytes) {
  char text[32];
  const double mib = static_cast<double>(bytes) / 1048576.0;
  if (mib >= 1024.0) {
    std::snprintf(text, sizeof(text), "%.1f GiB", mib / 1024.0);
  } else {
    std::snprintf(text, sizeof(text), "%.1f MiB", mib);
  }
  return text;
}

std::string describe(const Progress& p, double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(p.bytes_done) / seconds : 0;
  if (p.objects_total == 0 && p.bytes_total == 0) {  // a job that cannot know its end
    char text[256];
    std::snprintf(text, sizeof(text), "%" PRIu64 " objects, %s, %s/s: ", p.objects_done,
                  amount(p.bytes_done).c_str(), amount(static_cast<uint64_t>(rate)).c_str());
    return text + p.current;
  }
  std::string left = "--:--:--";
  if (rate > 0 && p.bytes_total > p.bytes_done) {
    const auto s = static_cast<uint64_t>(static_cast<double>(p.bytes_total - p.bytes_done) / rate);
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600, s / 60 % 60,
                  s % 60);
    left = text;
  }
  char text[256];
  std::snprintf(text, sizeof(text),
                "%" PRIu64 "/%" PRIu64 " objects, %s/%s, %s/s, %s left: ", p.objects_done,
                p.objects_total, amount(p.bytes_done).c_str(), amount(p.bytes_total).c_str(),
                amount(static_cast<uint64_t>(rate)).c_str(), left.c_str());
  return text + p.current;
}

// The figures, then the detail, then what the job works on (after the figures' ": ").
std::string describe_detail(const std::string& text, const std::string& detail) {
  const size_t colon = text.find(": ");
  if (colon == std::string::npos) return text + ", " + detail;
  return text.substr(0, colon) + ", " + detail + text.substr(colon);
}

void draw() {
  State& s = state();
  const size_t width = terminal_width();  // asked at every draw: the terminal may have been resized
  for (size_t i = 0; i < s.lines.size(); ++i) {
    std::string line = s.lines[i];
    cut_to(line, width);
    std::fprintf(stderr, "%s\r%s\033[K", i == 0 ? "" : "\n", line.c_str());
  }
  std::fflush(stderr);
  s.shown = !s.lines.empty();
}

// Writes the update as one line to the feed, never waiting for its reader.
void feed(const std::string& text) {
  State& s = state();
  std::string line = text;
  if (s.detail) {
    const std::string detail = s.detail();
    if (!detail.empty()) line = describe_detail(line, detail);
  }
  // A line of at most PIPE_BUF bytes goes into the pipe whole or not at all.
  cut_to(line, PIPE_BUF - 1);
  line += '\n';
  [[maybe_unused]] const ssize_t written = ::write(s.feed_fd, line.data(), line.size());
}

}  // namespace

Mode mode_for(int wanted, bool terminal, int verbose_rank) {
  if (wanted == 1 || (wanted == -1 && terminal)) return Mode::terminal;
  if (wanted == -1 && verbose_rank >= 1) return Mode::periodic;
  return Mode::off;
}

void set_mode(Mode mode) {
  state().mode = mode;
  state().start = Clock::now();
}

Mode mode() { return state().mode; }

void update(const Progress& progress) {
  State& s = state();
  if (s.mode == Mode::off && s.feed_fd < 0) return;
  const Clock::time_point now = Clock::now();
  const bool fast = s.mode == Mode::terminal || s.feed_fd >= 0;
  const auto interval = fast ? kTerminalInterval : kPeriodicInterval;
  if (s.last != Clock::time_point{} && now - s.last < interval) return;
  s.last = now;
  const double seconds = std::chrono::duration<double>(now - s.start).count();
  std::string text = describe(progress, seconds);
  if (s.feed_fd >= 0) {
    feed(text);
    return;
  }
  if (s.mode == Mode::periodic) {
    output_accdg_to_vl(LV_INFO, VL_COMMON, "Progress: %s\n", text.c_str());
    return;
  }
  s.lines = {text};
  draw();
}

void finish() {
  clear_for_message();
  state().lines.clear();
}

void feed_to(int fd, std::function<std::string()> detail) {
  State& s = state();
  // Lines a process it was made from had shown are not this one's to clear.
  s.lines.clear();
  s.shown = false;
  s.feed_fd = fd;
  s.detail = std::move(detail);
  s.start = Clock::now();
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void show_lines(const std::vector<std::string>& lines) {
  State& s = state();
  if (s.mode != Mode::terminal || lines == s.lines) return;
  clear_for_message();
  s.lines = lines;
  draw();
}

void print_above(FILE* stream, const std::string& text) {
  clear_for_message();
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
  redraw_after_message();
}

void clear_for_message() {
  State& s = state();
  if (!s.shown) return;
  // From the last line up to the first: each emptied, the cursor left at the start of the first.
  for (size_t i = 1; i < s.lines.size(); ++i) std::fputs("\r\033[K\033[A", stderr);
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  s.shown = false;
}

void redraw_after_message() {
  State& s = state();
  if (s.mode == Mode::terminal && !s.lines.empty()) draw();
}

}  // namespace status_line

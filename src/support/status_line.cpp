// The status line and the periodic progress messages.
#include "support/status_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
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
  std::string text;
  Clock::time_point start = Clock::now();
  Clock::time_point last = Clock::time_point{};
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

void draw() {
  State& s = state();
  std::fprintf(stderr, "\r%s\033[K", s.text.c_str());
  std::fflush(stderr);
  s.shown = true;
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
  if (s.mode == Mode::off) return;
  const Clock::time_point now = Clock::now();
  const auto interval = s.mode == Mode::terminal ? kTerminalInterval : kPeriodicInterval;
  if (s.last != Clock::time_point{} && now - s.last < interval) return;
  s.last = now;
  const double seconds = std::chrono::duration<double>(now - s.start).count();
  std::string text = describe(progress, seconds);
  if (s.mode == Mode::periodic) {
    output_accdg_to_vl(LV_INFO, VL_COMMON, "Progress: %s\n", text.c_str());
    return;
  }
  cut_to(text, terminal_width());  // asked at every update: the terminal may have been resized
  s.text = text;
  draw();
}

void finish() {
  clear_for_message();
  state().text.clear();
}

void clear_for_message() {
  State& s = state();
  if (!s.shown) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  s.shown = false;
}

void redraw_after_message() {
  State& s = state();
  if (s.mode == Mode::terminal && !s.text.empty()) draw();
}

}  // namespace status_line

#include "driver/library_relay.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "support/status_line.h"
#include "vdrive/vdrive.h"

namespace {

constexpr size_t kOut = 0;
constexpr size_t kErr = 1;
constexpr size_t kFeed = 2;
constexpr size_t kReadSize = 4096;
// A line is printed once it is this long even without its newline: what waits for one is bounded.
constexpr size_t kLongestLine = 65536;

// The drive's view of the host, for the status feed: how fast the job takes the records and how
// often a virtual drive had to stop for it. Nothing for a real drive, which does not tell.
std::string host_pace() {
  const vdrive::Counters c = vdrive::total_counters();
  if (c.host_microseconds == 0) return "";
  char text[96];
  std::snprintf(text, sizeof(text), "host %.1f MiB/s, %llu host stops",
                c.host_bytes_per_second() / 1048576.0,
                static_cast<unsigned long long>(c.host_stops));
  return text;
}

// A relayed line as it may reach a terminal: the bytes that would steer it (control characters
// but the tab) shown as '?'. The process's own messages never hold them; this is a second guard.
std::string plain(std::string line) {
  for (char& c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7F) c = '?';
  }
  return line;
}

}  // namespace

bool CartridgeRelay::open() {
  for (Stream& s : streams_) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    s.read.reset(ends[0]);
    s.write.reset(ends[1]);
  }
  return true;
}

void CartridgeRelay::attach_child() {
  std::signal(SIGPIPE, SIG_IGN);  // a library job that went away: writes fail, the job stops
  dup2(streams_[kOut].write.get(), STDOUT_FILENO);
  dup2(streams_[kErr].write.get(), STDERR_FILENO);
  setvbuf(stdout, nullptr, _IOLBF, 0);  // lines in the order they were printed, not at the end
  for (Stream& s : streams_) s.read.reset();
  streams_[kOut].write.reset();
  streams_[kErr].write.reset();
  status_line::feed_to(streams_[kFeed].write.release(), host_pace);
}

void CartridgeRelay::attach_parent(const std::string& label) {
  label_ = label;
  status_.clear();
  for (Stream& s : streams_) {
    s.write.reset();
    s.pending.clear();
    fcntl(s.read.get(), F_SETFL, fcntl(s.read.get(), F_GETFL) | O_NONBLOCK);
  }
}

void CartridgeRelay::add_to(std::vector<pollfd>* fds) const {
  for (const Stream& s : streams_) {
    if (s.read.valid()) fds->push_back({s.read.get(), POLLIN, 0});
  }
}

bool CartridgeRelay::read_some(Stream& s) {
  char buffer[kReadSize];
  const ssize_t got = ::read(s.read.get(), buffer, sizeof(buffer));
  if (got > 0) {
    s.pending.append(buffer, static_cast<size_t>(got));
    return true;
  }
  if (got < 0 && errno == EINTR) return true;
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
  s.read.reset();  // its end, or an error: nothing more comes from it
  return false;
}

void CartridgeRelay::deliver(size_t index, bool everything) {
  Stream& s = streams_[index];
  FILE* to = index == kOut ? stdout : stderr;
  size_t start = 0;
  for (size_t end; (end = s.pending.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = plain(s.pending.substr(start, end - start));
    if (index == kFeed) {
      status_ = line;
    } else {
      status_line::print_above(to, label_ + ": " + line + "\n");
    }
  }
  s.pending.erase(0, start);
  const bool rest = everything || s.pending.size() >= kLongestLine;
  if (rest && !s.pending.empty() && index != kFeed) {
    status_line::print_above(to, label_ + ": " + plain(s.pending) + "\n");
  }
  if (rest) s.pending.clear();
}

void CartridgeRelay::pump() {
  for (size_t i = 0; i < streams_.size(); ++i) {
    // Each read's lines printed before the next read: what waits in memory stays bounded.
    while (streams_[i].read.valid() && read_some(streams_[i])) deliver(i, false);
  }
}

void CartridgeRelay::drain() {
  for (size_t i = 0; i < streams_.size(); ++i) {
    Stream& s = streams_[i];
    if (s.read.valid()) {
      // Every writer is gone: the pipe ends; reading waits for nothing.
      fcntl(s.read.get(), F_SETFL, fcntl(s.read.get(), F_GETFL) & ~O_NONBLOCK);
      while (s.read.valid()) read_some(s);
    }
    deliver(i, true);
  }
}

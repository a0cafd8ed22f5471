// The record of the versions restores stored, and what one listing of a bucket found of it.
#include "walk/store_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "output_level.h"
#include "s3/s3_text.h"
#include "support/printable.h"

namespace walk {

namespace {

constexpr size_t kHexDigits = 16;
constexpr size_t kLineBytes = 2 * kHexDigits + 2;  // two numbers, a blank and the line feed
constexpr size_t kReadBytes = 1 << 16;

// The first 64 bits of the MD5 of the texts, each ended by a zero byte.
uint64_t name_of(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const std::string_view part : parts) {
    text.append(part);
    text.push_back('\0');
  }
  const s3::Md5 md5 = s3::md5_of(std::string_view(text));
  uint64_t value = 0;
  for (size_t i = 0; i < sizeof(value); ++i) value = value << 8 | md5[i];
  return value;
}

std::string hex(uint64_t value) {
  char text[kHexDigits + 1];
  std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(value));
  return text;
}

bool parse_hex(std::string_view text, uint64_t* value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value, 16);
  return error == std::errc() && text.size() == kHexDigits && end == text.data() + text.size();
}

void warn(const char* what) {
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "The record of the versions stored (%s) cannot be %s: %s. The objects are "
                     "looked up in the S3 store one by one.\n",
                     kStoreJournalPath, what, std::strerror(errno));
}

}  // namespace

void StoreJournal::open() {
  fd_.reset(::open(kStoreJournalPath, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd_.valid()) {
    warn("opened");
    return;
  }
  if (!read_record()) warn("read");
}

// Reads the record line by line; only lines of the layout count.
bool StoreJournal::read_record() {
  std::string pending;
  char buffer[kReadBytes];
  ssize_t n = 0;
  off_t offset = 0;
  while ((n = pread(fd_.get(), buffer, sizeof(buffer), offset)) > 0) {
    offset += n;
    pending.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string_view line(pending.data() + start, end - start + 1);
      uint64_t object = 0;
      uint64_t version = 0;
      if (line.size() == kLineBytes && line[kHexDigits] == ' ' &&
          parse_hex(line.substr(0, kHexDigits), &object) &&
          parse_hex(line.substr(kHexDigits + 1, kHexDigits), &version)) {
        versions_of_.emplace(object, version);
        known_.insert(version);
      }
    }
    pending.erase(0, start);
    // A line longer than any of the layout is no line of it: dropped as it comes.
    if (pending.size() > kReadBytes) pending.clear();
  }
  return n == 0;
}

void StoreJournal::append(const std::string& bucket, std::string_view object_id,
                          std::string_view key, std::string_view version_id) {
  if (version_id.empty()) return;
  const uint64_t object = name_of({bucket, object_id});
  const uint64_t version = name_of({bucket, key, version_id});
  versions_of_.emplace(object, version);
  known_.insert(version);
  present_.insert(version);
  keys_.insert(name_of({bucket, key}));
  if (!fd_.valid()) return;
  const std::string line = hex(object) + " " + hex(version) + "\n";
  if (write(fd_.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    warn("written");
    fd_.reset();
  }
}

void StoreJournal::listed(const std::string& bucket, const s3::ListedVersion& entry) {
  keys_.insert(name_of({bucket, entry.key}));
  const uint64_t version = name_of({bucket, entry.key, entry.version_id});
  if (known_.count(version) != 0) present_.insert(version);
}

bool StoreJournal::stored(const std::string& bucket, std::string_view object_id) const {
  const auto [first, last] = versions_of_.equal_range(name_of({bucket, object_id}));
  for (auto it = first; it != last; ++it) {
    if (present_.count(it->second) != 0) return true;
  }
  return false;
}

bool StoreJournal::key_listed(const std::string& bucket, std::string_view key) const {
  return keys_.count(name_of({bucket, key})) != 0;
}

bool StoreJournal::knows(const std::string& bucket, std::string_view key,
                         std::string_view version_id) const {
  return known_.count(name_of({bucket, key, version_id})) != 0;
}

}  // namespace walk

// Writing list files through temporary names.
#include "walk/list_writer.h"

#include <cerrno>
#include <span>

#include "output_level.h"
#include "support/file_failure.h"

namespace walk {

namespace {

// Descriptors kept open at a time for list files.
constexpr size_t kMaxOpenFiles = 64;

constexpr char kDocumentHead[] = "{\n\"ObjectList\":[\n{\n";
constexpr char kEntryHead[] = ",\n{\n";
constexpr char kEntryTail[] = "\n}\n";
constexpr char kDocumentTail[] = "]\n}";

[[noreturn]] void output_failed(const AtomicFile& file) {
  output_write_failed(file.final_path(), errno);
}

void write_text(AtomicFile& file, const std::string& text) {
  if (!file.write(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()))) {
    output_failed(file);
  }
}

}  // namespace

void ListWriter::begin(const SafeDir& dir) {
  files_.clear();
  open_count_ = 0;
  dir_ = dir;
}

void ListWriter::make_room() {
  if (open_count_ < kMaxOpenFiles) return;
  auto oldest = files_.end();
  for (auto it = files_.begin(); it != files_.end(); ++it) {
    if (it->second.file->is_open() &&
        (oldest == files_.end() || it->second.last_use < oldest->second.last_use)) {
      oldest = it;
    }
  }
  if (oldest == files_.end()) return;
  if (!oldest->second.file->suspend()) output_failed(*oldest->second.file);
  --open_count_;
}

ListWriter::File& ListWriter::file_for(const std::string& name, bool* is_new) {
  auto it = files_.find(name);
  *is_new = it == files_.end();
  if (*is_new) {
    make_room();
    File entry;
    entry.file = std::make_unique<AtomicFile>();
    if (!entry.file->open(dir_, name)) output_open_failed(dir_.path() + name, errno);
    ++open_count_;
    it = files_.emplace(name, std::move(entry)).first;
  } else if (it->second.file->suspended()) {
    make_room();
    if (!it->second.file->resume()) output_open_failed(it->second.file->temp_path(), errno);
    ++open_count_;
  }
  it->second.last_use = ++clock_;
  return it->second;
}

void ListWriter::append(const std::string& name, const std::string& members) {
  bool is_new = false;
  File& file = file_for(name, &is_new);
  write_text(*file.file, (is_new ? kDocumentHead : kEntryHead) + members + kEntryTail);
}

void ListWriter::finish() {
  for (auto& [name, entry] : files_) {
    AtomicFile& file = *entry.file;
    if (file.suspended() && !file.resume()) output_failed(file);
    write_text(file, kDocumentTail);
    if (!file.commit()) output_failed(file);
  }
  files_.clear();
  open_count_ = 0;
  dir_ = SafeDir();
}

}  // namespace walk

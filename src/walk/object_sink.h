// Where a dump or a retrieval puts the objects it reads: files under the save path (the walk's
// own way), or versions in an S3-compatible store (a sink, src/walk/store_sink.h). Either way the
// walk decides what an object is, reads its data once, and hands each piece to the object's
// target; the target computes the data's MD5 as it comes and checks it against the metadata's
// "ContentMd5" before the object is published: renamed into place, or sent to the store.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "s3/s3_text.h"
#include "support/atomic_file.h"
#include "support/run_record.h"
#include "vexa_format_checker.h"
#include "walk/history.h"

namespace walk {

// What became of an object once its data was read.
struct Published {
  run_record::Outcome outcome = run_record::Outcome::unreadable;
  std::vector<std::string> paths;  // the files written, or the address of the stored version
  bool recorded_later = false;     // the store's answer is awaited: the sink records the object
  int errors = 0;                  // an ERROR was reported about the object

  static Published as(run_record::Outcome outcome, std::vector<std::string> paths = {}) {
    Published p;
    p.outcome = outcome;
    p.paths = std::move(paths);
    return p;
  }
  static Published with_errors(int errors) {
    Published p;
    p.errors = errors;
    return p;
  }
  static Published later() {
    Published p;
    p.recorded_later = true;
    return p;
  }
};

// The data of one object on its way out.
class ObjectTarget {
 public:
  enum class Digest { when_expected, always };
  // `object` names the object in messages; `metadata` is its metadata text; `published_as` is
  // how messages say what a published object becomes ("written", "stored").
  ObjectTarget(const run_record::Object& object, std::string_view metadata, Digest digest,
               const char* published_as);
  virtual ~ObjectTarget() = default;
  ObjectTarget(const ObjectTarget&) = delete;
  ObjectTarget& operator=(const ObjectTarget&) = delete;

  // The next bytes of the data.
  void write(std::span<const uint8_t> bytes);
  // The whole data has been read: checked against "ContentMd5" (a mismatch is an ERROR and the
  // object is not published), then published.
  Published finish();

 protected:
  virtual void put(std::span<const uint8_t> bytes) = 0;
  virtual Published publish(const s3::Md5& md5) = 0;
  const run_record::Object& object() const { return object_; }

 private:
  // Returns the ERROR's result when the data differs from the metadata's "ContentMd5".
  int check_content_md5(const s3::Md5& md5) const;

  run_record::Object object_;
  std::string content_md5_;  // as the metadata gives it, "" when it gives none
  bool digesting_ = false;
  s3::Md5Stream md5_;
  const char* published_as_;
};

// An object written as two files, "<id>.meta" and "<id>.data", each under a temporary name until
// the object is whole and checked.
class FileTarget final : public ObjectTarget {
 public:
  FileTarget(const run_record::Object& object, std::string_view metadata);
  // Creates both files in `dir` and writes the metadata; a failure ends the run.
  void open(const SafeDir& dir, const std::string& meta_name, const std::string& data_name);

 private:
  void put(std::span<const uint8_t> bytes) override;
  Published publish(const s3::Md5& md5) override;

  std::string metadata_;
  AtomicFile meta_;
  AtomicFile data_;
};

// A place a dump records for a resume: its four counters (PR, OCM, PO, object), the numbering
// of the buckets' directories there, and how many objects before it are not in the store (a
// resume passes over them, and counts them).
struct Checkpoint {
  uint64_t counters[4] = {};
  HistoryKeys numbering;
  uint64_t not_stored = 0;
};
using CheckpointWriter = std::function<int(const Checkpoint&)>;

// Where the objects go when they are not files under the save path.
class ObjectSink {
 public:
  virtual ~ObjectSink() = default;
  // Decides whether the object is to be put. Returns what became of an object that is not (it
  // has been reported), or nothing with `*target` set to where its data goes.
  virtual std::optional<run_record::Outcome> begin(const run_record::Object& object,
                                                   std::string_view metadata,
                                                   std::unique_ptr<ObjectTarget>* target) = 0;
  // The dump has reached `place`: `write` records it, now or once every object before it is
  // settled. Returns what `write` returned, or 0.
  virtual int reached(Checkpoint place, const CheckpointWriter& write) = 0;
  // Waits until every object is settled, and records the last place reached.
  virtual void finish() = 0;
};

}  // namespace walk

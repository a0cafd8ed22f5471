// A dump or a retrieval restored into an S3-compatible store (--s3): each object version becomes
// one version of its key in a bucket of the tape bucket's name, sent while the tape is read, with
// several requests on the wire at once (src/s3/).
//
// The store answers later than the walk moves on, so the sink keeps what the walk needs to stay
// exact: an object is recorded (counted, and written to the report) when its answer comes, and a
// place the dump reached is recorded for a resume only once every object before it is answered.
// A bucket that held versions when the run began is listed once, whole: the versions the
// record of earlier restores (walk/store_journal.h) names and the listing holds are there
// already, delete markers included, and are not stored again. Only an object of a key the listing
// holds that the record does not place is looked up in the store (its key's versions, and the
// object identifier of those the record does not know): a resume, or a repeated dump, adds no
// second version.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "s3/store.h"
#include "walk/object_sink.h"
#include "walk/store_journal.h"

namespace walk {

class StoreSink final : public ObjectSink {
 public:
  // Checks the options and the store (credentials, reachability): a failure ends the run with
  // one SYS_ERR line.
  explicit StoreSink(const s3::StoreOptions& options);
  ~StoreSink() override;  // waits for the answers still awaited
  StoreSink(const StoreSink&) = delete;
  StoreSink& operator=(const StoreSink&) = delete;

  std::optional<run_record::Outcome> begin(const run_record::Object& object,
                                           std::string_view metadata,
                                           std::unique_ptr<ObjectTarget>* target) override;
  int reached(Checkpoint place, const CheckpointWriter& write) override;
  void finish() override;

  struct Pending;  // an object whose answer may still be awaited

 private:
  friend class StoreTarget;
  struct Bucket {
    bool ready = false;         // created, versioning on
    bool held_versions = true;  // before the run: look each object up
  };

  const Bucket& bucket(const std::string& tape_bucket);
  // Whether a version restored from the object is in the store already (nullopt after an ERROR).
  std::optional<bool> stored_before(const run_record::Object& object,
                                    const s3::ObjectRequest& request);
  Published await(const std::shared_ptr<Pending>& pending);
  void answered(Pending& pending, const s3::Outcome& outcome);
  void record(Pending& pending);
  int write_settled();

  s3::Store store_;
  StoreJournal journal_;
  bool journal_open_ = false;  // opened with the first bucket, once the working directory is ours
  std::map<std::string, Bucket> buckets_;
  uint64_t next_ticket_ = 0;
  std::set<uint64_t> awaited_;  // tickets of the objects whose answer is awaited
  // Places reached, each with the ticket of the first object after it.
  std::deque<std::pair<uint64_t, Checkpoint>> places_;
  CheckpointWriter write_;
  // Objects the store refused after the walk had moved on, by ticket: a place counts those before
  // it once settled. The ones before the last place settled are counted in `late_settled_`.
  std::set<uint64_t> late_failed_;
  uint64_t late_failures_ = 0;
  uint64_t late_settled_ = 0;
};

// The last line of a job into a store after which objects are not in the store: refused, not
// readable, not taken by the store, or passed over by an interrupted run before a resume. Returns
// kExitObjectsLost when there were any, else 0.
int report_not_stored();

}  // namespace walk

// The objects of a dump or a retrieval restored into an S3-compatible store.
#include "walk/store_sink.h"

#include <cinttypes>
#include <exception>

#include "output_level.h"
#include "s3/object_mapping.h"
#include "walk/lost_report.h"

namespace walk {

using run_record::Outcome;

struct StoreSink::Pending {
  run_record::Object object;
  std::string bucket;     // the store's
  std::string key;
  std::string address;    // of the object's key in the store, for the record
  bool awaited = false;   // its upload has ended; the walk left its record to the sink
  bool answered = false;  // the store's answer has come
  uint64_t ticket = 0;
  s3::Outcome outcome;
};

// An object's data on its way to the store: the upload, fed as the tape is read.
class StoreTarget final : public ObjectTarget {
 public:
  StoreTarget(StoreSink* sink, std::shared_ptr<StoreSink::Pending> pending, s3::ObjectUpload upload,
              std::string_view metadata)
      : ObjectTarget(pending->object, metadata, Digest::always, "stored"),
        sink_(sink),
        pending_(std::move(pending)),
        upload_(std::move(upload)) {}

 private:
  void put(std::span<const uint8_t> bytes) override { upload_.write(bytes); }
  Published publish(const s3::Md5& md5) override {
    if (!upload_.finish(md5)) return Published::as(Outcome::not_stored);  // reported
    return sink_->await(pending_);
  }

  StoreSink* sink_;
  std::shared_ptr<StoreSink::Pending> pending_;
  s3::ObjectUpload upload_;  // abandoned, storing nothing, when the object is not published
};

namespace {

Published published(const StoreSink::Pending& pending) {
  if (!pending.outcome.stored) return Published::as(Outcome::not_stored);
  std::string address = pending.address;
  if (!pending.outcome.version_id.empty()) {
    address += "?versionId=" + s3::uri_encode(pending.outcome.version_id, false);
  }
  return Published::as(Outcome::written, {address});
}

}  // namespace

StoreSink::StoreSink(const s3::StoreOptions& options) : store_(options) {}

// Waits for the store's answers, but not on the way out of a run that ends early.
StoreSink::~StoreSink() {
  if (std::uncaught_exceptions() == 0) store_.finish();
}

const StoreSink::Bucket& StoreSink::bucket(const std::string& tape_bucket) {
  const auto [known, added] = buckets_.try_emplace(tape_bucket);
  Bucket& b = known->second;
  if (!added) return b;
  if (!journal_open_) journal_.open();
  journal_open_ = true;
  // Asked once per run: a bucket the store refuses is not asked for again.
  b.ready = store_.prepare_bucket(tape_bucket);
  if (b.ready) {
    const std::string name = store_.bucket_name(tape_bucket);
    b.held_versions = false;
    b.ready = store_.list_bucket(tape_bucket, [&](const s3::ListedVersion& entry) {
      b.held_versions = true;
      journal_.listed(name, entry);
    });
  }
  return b;
}

std::optional<bool> StoreSink::stored_before(const run_record::Object& object,
                                             const s3::ObjectRequest& request) {
  const std::string bucket = store_.bucket_name(object.bucket);
  if (journal_.stored(bucket, object.object_id)) {
    if (request.delete_marker) store_.note_marker(object.bucket, request.key, request.last_modified);
    return true;
  }
  // A key the bucket does not hold has nothing to look up.
  if (!journal_.key_listed(bucket, request.key)) return false;
  const s3::VersionLookup lookup{
      object.object_id, request.delete_marker,
      [&](const std::string& version_id) {
        return journal_.knows(bucket, request.key, version_id);
      },
      request.last_modified};
  const std::optional<std::string> found = store_.find_version(object.bucket, request.key, lookup);
  if (!found) return std::nullopt;
  // Recorded, so that the next run finds it in the listing.
  journal_.append(bucket, object.object_id, request.key, *found);
  return !found->empty();
}

std::optional<Outcome> StoreSink::begin(const run_record::Object& object, std::string_view metadata,
                                        std::unique_ptr<ObjectTarget>* target) {
  const s3::ObjectRequest request = s3::map_object_metadata(metadata, object.object_id);
  if (!request.error.empty()) {
    store_.begin_object(object.bucket, request);  // reports why it cannot be stored
    return Outcome::refused;
  }
  const std::string bucket_name = store_.bucket_name(object.bucket);
  const Bucket& b = bucket(object.bucket);
  if (!b.ready) {
    output_accdg_to_vl(LV_ERROR, VL_COMMON,
                       "Failed to store the object(%s) in the S3 store: its bucket is not "
                       "ready.\n",
                       s3::describe_object(bucket_name, request).c_str());
    return Outcome::not_stored;
  }
  if (b.held_versions) {
    const std::optional<bool> stored = stored_before(object, request);
    if (!stored) return Outcome::not_stored;  // reported
    if (*stored) {
      output_accdg_to_vl(LV_INFO, VL_COMMON,
                         "The object(%s) is in the S3 store already. It is not stored again.\n",
                         s3::describe_object(bucket_name, request).c_str());
      return Outcome::exists;
    }
  }
  auto pending = std::make_shared<Pending>();
  pending->object = object;
  pending->bucket = bucket_name;
  pending->key = request.key;
  std::string endpoint = store_.options().endpoint;
  if (!endpoint.empty() && endpoint.back() == '/') endpoint.pop_back();
  pending->address = endpoint + s3::object_path(bucket_name, request.key);
  s3::ObjectUpload upload = store_.begin_object(
      object.bucket, request,
      [this, pending](const s3::Outcome& outcome) { answered(*pending, outcome); });
  *target = std::make_unique<StoreTarget>(this, pending, std::move(upload), metadata);
  return std::nullopt;
}

// The upload has ended and its last request is on its way: the object is recorded now when its
// answer has come already, else when it comes.
Published StoreSink::await(const std::shared_ptr<Pending>& pending) {
  if (pending->answered) return published(*pending);
  pending->awaited = true;
  pending->ticket = next_ticket_++;
  awaited_.insert(pending->ticket);
  return Published::later();
}

void StoreSink::answered(Pending& pending, const s3::Outcome& outcome) {
  pending.outcome = outcome;
  pending.answered = true;
  if (outcome.stored) {
    journal_.append(pending.bucket, pending.object.object_id, pending.key, outcome.version_id);
  }
  if (!pending.awaited) return;
  awaited_.erase(pending.ticket);
  record(pending);
}

void StoreSink::record(Pending& pending) {
  Published done = published(pending);
  if (done.outcome != Outcome::written) {
    late_failed_.insert(pending.ticket);
    ++late_failures_;
  }
  pending.object.outcome = done.outcome;
  pending.object.paths = std::move(done.paths);
  run_record::note_object(pending.object);
}

int StoreSink::reached(Checkpoint place, const CheckpointWriter& write) {
  write_ = write;
  // The failures recorded so far are counted by their tickets when the place settles.
  place.not_stored -= late_failures_;
  places_.emplace_back(next_ticket_, std::move(place));
  return write_settled();
}

// Records the last place reached before which every object is answered.
int StoreSink::write_settled() {
  const uint64_t first_awaited = awaited_.empty() ? UINT64_MAX : *awaited_.begin();
  std::optional<Checkpoint> settled;
  while (!places_.empty() && places_.front().first <= first_awaited) {
    const uint64_t ticket = places_.front().first;
    while (!late_failed_.empty() && *late_failed_.begin() < ticket) {
      late_failed_.erase(late_failed_.begin());
      ++late_settled_;
    }
    settled = std::move(places_.front().second);
    settled->not_stored += late_settled_;
    places_.pop_front();
  }
  return settled && write_ ? write_(*settled) : 0;
}

void StoreSink::finish() {
  store_.finish();
  write_settled();
}

int report_not_stored() {
  const run_record::Totals& t = run_record::totals();
  // Lost objects have their own report.
  const uint64_t count = t.refused + t.unreadable + t.not_stored;
  if (count == 0) return 0;
  std::string earlier;
  if (t.not_stored_before > 0) {
    earlier = ", " + std::to_string(t.not_stored_before) + " of them by the interrupted run";
  }
  output_accdg_to_vl(LV_ERROR, VL_COMMON,
                     "%" PRIu64
                     " %s not stored in the S3 store (named above%s). Run a full dump (-f) or the "
                     "retrieval again: the versions stored already are found and not stored "
                     "twice.\n",
                     count, count == 1 ? "object was" : "objects were", earlier.c_str());
  return kExitObjectsLost;
}

}  // namespace walk

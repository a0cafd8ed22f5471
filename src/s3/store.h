// Restoring object versions into an S3-compatible store: buckets with versioning, one version
// per PUT (or multipart upload), delete markers, the tape's latest version kept current, and
// the versions already stored found again by the object they came from.
//
// One thread: every call drives the transfers in flight while it waits, and errors of a
// request are reported (one ERROR line each) when its answer comes, possibly during a later
// call. Call finish() before reading counts().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "s3/object_mapping.h"
#include "s3/s3_config.h"
#include "s3/transfer_engine.h"

namespace s3 {

// What became of one object version.
struct Outcome {
  bool stored = false;
  std::string version_id;  // the store's identifier of the new version
  std::string error;       // why it was not stored
};
using Completion = std::function<void(const Outcome&)>;

// One version of a key as listed by the store.
struct StoredVersion {
  std::string version_id;
  bool latest = false;
  bool delete_marker = false;
  std::string object_id;      // its x-amz-meta-qrt-object-id ("" for a delete marker)
  std::string last_modified;  // its x-amz-meta-qrt-last-modified
  bool read = false;          // its metadata has been read (a HEAD)
  bool claimed = false;       // an object of the tape was found to be this version
};

// One entry of a bucket's listing of versions.
struct ListedVersion {
  std::string key;
  std::string version_id;
  bool delete_marker = false;
  bool latest = false;
};

// What find_version looks for: the version restored from one object of the tape.
struct VersionLookup {
  std::string object_id;
  bool delete_marker = false;
  // Whether a version of the key is known to come from another object (the restores' own record
  // of what they stored); none: no version is known.
  std::function<bool(const std::string& version_id)> known;
  std::string last_modified;  // the object's time on the tape (a delete marker's only record)
};

struct Counts {
  uint64_t stored = 0;  // versions and delete markers the store accepted
  uint64_t failed = 0;  // objects reported with an ERROR
};

class Store;

// The body of one object version, handed over piece by piece as it is read. A body up to the
// single-PUT limit is held whole and sent with its Content-MD5 once complete; a larger one goes
// as a multipart upload, each part sent (with its own Content-MD5) as soon as it is full, so
// that no more than the memory budget is held. An upload abandoned before finish() stores
// nothing. An upload ends before its store.
class ObjectUpload {
 public:
  ObjectUpload() = default;
  ObjectUpload(ObjectUpload&&) noexcept = default;
  ObjectUpload& operator=(ObjectUpload&&) noexcept;
  ObjectUpload(const ObjectUpload&) = delete;
  ObjectUpload& operator=(const ObjectUpload&) = delete;
  ~ObjectUpload();

  // The next bytes of the body.
  void write(std::span<const uint8_t> bytes);
  // Ends the body; `md5` is the digest of every byte written (sent as Content-MD5 of a single
  // PUT, and compared with the metadata's "ContentMd5"). Returns false when the object is not
  // stored and has been reported (an ERROR); true when its last request is on its way, and the
  // store's answer comes through the completion given to begin_object.
  bool finish(const Md5& md5);

  struct State;  // the upload's progress, shared with its requests in flight

 private:
  friend class Store;
  explicit ObjectUpload(std::shared_ptr<State> state) : state_(std::move(state)) {}
  void abandon();
  std::shared_ptr<State> state_;
};

class Store {
 public:
  // Checks the options and the credentials (from the environment) and asks the store for its
  // buckets: missing credentials, a store that cannot be reached and one that refuses the
  // credentials each end the run with one SYS_ERR line.
  explicit Store(const StoreOptions& options);
  Store(const StoreOptions& options, const Credentials& credentials);
  ~Store();  // waits for every request still in flight
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // The store's name for a bucket of the tape: the prefix, then the name.
  std::string bucket_name(std::string_view tape_bucket) const;
  // Creates the bucket when it is missing and turns its versioning on. False (after an ERROR)
  // when the store refuses either.
  bool prepare_bucket(std::string_view tape_bucket);

  // Starts storing one object version into a prepared bucket. A request the mapping refused
  // (request.error) is reported at once; a delete marker is sent at finish(), its body ignored.
  // When the version is older than one stored before under its key in this run (or found by
  // has_version), that newer version is made current again after it (a server-side copy, or a
  // new delete marker), and `done` is called once that copy is answered too.
  ObjectUpload begin_object(std::string_view tape_bucket, const ObjectRequest& request,
                            Completion done = {});
  // The same for a body that is in memory whole (its MD5 computed here). Returns as finish().
  bool put_object(std::string_view tape_bucket, const ObjectRequest& request,
                  std::span<const uint8_t> body, Completion done = {});

  // The versions of `key`, newest first, each with the object and time it was restored from
  // (one HEAD request per version: listings do not carry metadata). nullopt after an ERROR.
  std::optional<std::vector<StoredVersion>> list_versions(std::string_view tape_bucket,
                                                          std::string_view key);
  // Every version and delete marker of a prepared bucket, in pages of the options' size, each
  // entry handed to `each` as its page arrives and kept nowhere. False after an ERROR.
  bool list_bucket(std::string_view tape_bucket,
                   const std::function<void(const ListedVersion&)>& each);
  // The store's identifier of the version of `key` restored from `lookup.object_id`, "" when
  // there is none (a resumed restore skips a version found). The key is listed once per run; a
  // version is read (a HEAD) only when `lookup.known` does not know it. A delete marker carries
  // no metadata: it is recognised by its place, the oldest marker that is neither known nor
  // found yet (a restore adds a key's markers in the tape's order). Also learns the key's current
  // version, so that an older version put afterwards leaves it current; and when the version
  // found is current but another version of the key is newer on the tape (a run ended between
  // the two requests that store an older version and make the newest current again), makes that
  // one current again now. nullopt after an ERROR.
  std::optional<std::string> find_version(std::string_view tape_bucket, std::string_view key,
                                          const VersionLookup& lookup);
  // A delete marker of the tape, of the tape's time `last_modified`, that is stored under `key`
  // already: should an older version of the key be found current later in the run, the marker is
  // made current again after it (see find_version).
  void note_marker(std::string_view tape_bucket, std::string_view key,
                   std::string_view last_modified);
  // Whether a version restored from `object_id` is stored under `key` already.
  std::optional<bool> has_version(std::string_view tape_bucket, std::string_view key,
                                  std::string_view object_id);

  // Waits for every request in flight.
  void finish();
  const Counts& counts() const { return counts_; }
  const StoreOptions& options() const { return options_; }

 private:
  friend class ObjectUpload;
  // Where a version ended up, filled when its answer comes.
  struct Slot {
    bool stored = false;
    bool delete_marker = false;
    std::string version_id;
  };
  struct Newest {
    std::string last_modified;  // as time_order_key gives it
    std::shared_ptr<Slot> slot;
    bool learned = false;  // from the listing: no version of the key stored in this run yet
  };

  void check_access(const Credentials& credentials);
  // Sends the request that creates a version (PUT, multipart completion or delete marker) and
  // keeps the tape's newest version of its key current.
  void send_version(std::unique_ptr<Exchange> exchange, const std::string& bucket,
                    const ObjectRequest& request, const std::string& what, Completion done);
  void restore_current(const std::string& bucket, const std::string& key, const std::string& what,
                       std::shared_ptr<Slot> older, std::shared_ptr<Slot> newer, Completion done);
  void fail(const std::string& what, const std::string& why, const Completion& done);
  void learn_current(const std::string& bucket, const std::string& key,
                     const std::vector<StoredVersion>& versions);
  // Makes the key's newest version on the tape current again when `found`, of the tape's time
  // `found_time`, is current and older. False after an ERROR.
  bool keep_newest_current(const std::string& bucket, const std::string& key,
                           const StoredVersion& found, const std::string& found_time,
                           std::vector<StoredVersion>* versions);
  // Reads (HEAD) the metadata of the versions `wanted` picks that are not read yet.
  bool read_version_metadata(const std::string& bucket, const std::string& key,
                             std::vector<StoredVersion>* versions,
                             const std::function<bool(const StoredVersion&)>& wanted);
  // Hands the entries of `bucket` whose keys begin with `prefix` to `each`, page by page, until
  // it returns false. "" when done, else why the listing failed.
  std::string list_pages(const std::string& bucket, std::string_view prefix,
                         const std::function<bool(const ListedVersion&)>& each);
  // The versions of a key, listed once per run. Null after an ERROR.
  std::vector<StoredVersion>* key_versions(const std::string& bucket, std::string_view key);

  StoreOptions options_;
  Engine engine_;
  std::set<std::string> prepared_;
  // The newest version (by the tape's time) stored under each bucket/key in this run.
  std::unordered_map<std::string, Newest> newest_;
  // The newest time (as time_order_key gives it) of the delete markers under each bucket/key met
  // stored already in this run.
  std::unordered_map<std::string, std::string> markers_met_;
  // The versions stored under each bucket/key before the run, once find_version asked.
  std::unordered_map<std::string, std::vector<StoredVersion>> listed_;
  Counts counts_;
};

// The path of a bucket or of a key in it, encoded for the request line.
std::string object_path(std::string_view bucket, std::string_view key = {});
// How messages name an object: "bucket B, key K, version V", escaped and shortened.
std::string describe_object(std::string_view bucket, const ObjectRequest& request);

}  // namespace s3

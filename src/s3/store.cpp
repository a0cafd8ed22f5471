// The store: start-up check, buckets, the order of versions, and the listing of a key.
#include "s3/store.h"

#include <algorithm>
#include <exception>

#include "output_level.h"
#include "support/printable.h"

namespace s3 {

namespace {

// Keys in messages are cut to this many bytes: one can be up to 1024.
constexpr size_t kKeyShownBytes = 200;
constexpr char kVersioningEnabled[] =
    "<VersioningConfiguration xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
    "<Status>Enabled</Status></VersioningConfiguration>";

StoreOptions checked(const StoreOptions& options) {
  const std::string problem = check_options(options);
  if (!problem.empty()) {
    output_fatal(VL_COMMON, "The S3 options cannot be used: %s.\n", problem.c_str());
  }
  return options;
}

Credentials credentials_or_stop() {
  std::string problem;
  Credentials credentials = credentials_from_environment(&problem);
  if (!problem.empty()) output_fatal(VL_COMMON, "No S3 credentials: %s.\n", problem.c_str());
  return credentials;
}

std::unique_ptr<Exchange> exchange(const char* method, std::string path, std::string query = {}) {
  auto made = std::make_unique<Exchange>();
  made->method = method;
  made->path = std::move(path);
  made->query = std::move(query);
  return made;
}

std::string order_key(const std::string& bucket, std::string_view key) {
  return bucket + "/" + std::string(key);
}

}  // namespace

std::string object_path(std::string_view bucket, std::string_view key) {
  std::string path = "/" + uri_encode(bucket, false);
  if (!key.empty()) path += "/" + uri_encode(key, true);
  return path;
}

std::string describe_object(std::string_view bucket, const ObjectRequest& request) {
  std::string key = printable(std::string_view(request.key).substr(0, kKeyShownBytes));
  if (request.key.size() > kKeyShownBytes) key += "...";
  std::string text = "bucket " + printable(bucket) + ", key " + key;
  if (!request.version.empty()) text += ", version " + printable(request.version);
  return text;
}

Store::Store(const StoreOptions& options) : Store(options, credentials_or_stop()) {}

Store::Store(const StoreOptions& options, const Credentials& credentials)
    : options_(checked(options)), engine_(options_, credentials) {
  // The signature keeps the secret key off the wire; a session token travels as it is.
  if (!credentials.session_token.empty() && options_.endpoint.starts_with("http://")) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "The S3 store at %s is reached over http://: the session token "
                       "(AWS_SESSION_TOKEN) goes over the network unencrypted.\n",
                       options_.endpoint.c_str());
  }
  check_access(credentials);
}

// A run that ends early (RunEnded on its way to main) does not wait for the transfers in flight:
// the objects they carry are not recorded as stored, and a resume sends them again.
Store::~Store() {
  if (std::uncaught_exceptions() == 0) engine_.drain();
}

void Store::finish() { engine_.drain(); }

void Store::check_access(const Credentials& credentials) {
  // One attempt: a store that is down or refuses us stops the run before the tape moves on.
  auto request = exchange("GET", "/");
  request->max_attempts = 1;
  const Response answer = engine_.run(std::move(request));
  const char* endpoint = options_.endpoint.c_str();
  if (answer.status == 0) {
    output_fatal(VL_COMMON, "The S3 store at %s cannot be reached: %s.\n", endpoint,
                 printable(answer.curl_error).c_str());
  }
  // Valid credentials without the right to list buckets are answered AccessDenied.
  if (answer.ok() || answer.error_code() == "AccessDenied") return;
  if (answer.status == 403) {
    output_fatal(VL_COMMON, "The S3 store at %s refuses the credentials of %s: %s.\n", endpoint,
                 printable(credentials.access_key).c_str(), printable(answer.describe()).c_str());
  }
  output_fatal(VL_COMMON, "The S3 store at %s answers the start-up check with %s.\n", endpoint,
               printable(answer.describe()).c_str());
}

std::string Store::bucket_name(std::string_view tape_bucket) const {
  return options_.bucket_prefix + std::string(tape_bucket);
}

bool Store::prepare_bucket(std::string_view tape_bucket) {
  const std::string bucket = bucket_name(tape_bucket);
  if (prepared_.count(bucket) != 0) return true;
  Response answer = engine_.run(exchange("PUT", object_path(bucket)));
  if (!answer.ok() && answer.error_code() != "BucketAlreadyOwnedByYou") {
    output_accdg_to_vl(LV_ERROR, VL_COMMON,
                       "Failed to create the bucket(%s) in the S3 store: %s.\n",
                       printable(bucket).c_str(), printable(answer.describe()).c_str());
    return false;
  }
  auto versioning = exchange("PUT", object_path(bucket), canonical_query({{"versioning", ""}}));
  versioning->body = kVersioningEnabled;
  versioning->headers = {content_md5_header(md5_of(versioning->body))};
  answer = engine_.run(std::move(versioning));
  if (!answer.ok()) {
    output_accdg_to_vl(LV_ERROR, VL_COMMON,
                       "Failed to turn versioning on in the bucket(%s) of the S3 store: %s.\n",
                       printable(bucket).c_str(), printable(answer.describe()).c_str());
    return false;
  }
  prepared_.insert(bucket);
  return true;
}

void Store::fail(const std::string& what, const std::string& why, const Completion& done) {
  output_accdg_to_vl(LV_ERROR, VL_COMMON, "Failed to store the object(%s) in the S3 store: %s.\n",
                     what.c_str(), printable(why).c_str());
  ++counts_.failed;
  if (done) done({false, "", why});
}

void Store::send_version(std::unique_ptr<Exchange> request, const std::string& bucket,
                         const ObjectRequest& object, const std::string& what, Completion done) {
  auto slot = std::make_shared<Slot>();
  slot->delete_marker = object.delete_marker;
  const std::string key = order_key(bucket, object.key);
  const std::string time = time_order_key(object.last_modified);
  const auto newest = newest_.find(key);
  // A version older than one stored before is answered once that one is current again, so that
  // a caller who has every answer knows the key's order to be right.
  std::shared_ptr<Slot> newer;
  if (newest != newest_.end() && time < newest->second.last_modified) newer = newest->second.slot;
  request->order_key = key;
  request->on_done = [this, slot, what, done, answered = newer == nullptr](const Response& answer) {
    if (!answer.ok()) {
      fail(what, answer.describe(), done);
      return;
    }
    slot->stored = true;
    slot->version_id = answer.header("x-amz-version-id");
    ++counts_.stored;
    if (answered && done) done({true, slot->version_id, ""});
  };
  engine_.submit(std::move(request));
  if (newer == nullptr) {
    newest_[key] = {time, slot};
  } else {
    restore_current(bucket, object.key, what, slot, std::move(newer), std::move(done));
  }
}

void Store::restore_current(const std::string& bucket, const std::string& key,
                            const std::string& what, std::shared_ptr<Slot> older,
                            std::shared_ptr<Slot> newer, Completion done) {
  auto request = exchange("PUT", object_path(bucket, key));
  request->order_key = order_key(bucket, key);
  // Decided when its turn comes, after the older version's answer: nothing to do when either
  // version failed (the older one's failure has been answered); a delete marker is made current
  // by another delete marker.
  request->before_start = [bucket, key, older, newer = std::move(newer), done](Exchange& self) {
    if (!older->stored) return false;
    if (!newer->stored) {
      if (done) done({true, older->version_id, ""});
      return false;
    }
    if (newer->delete_marker) {
      self.method = "DELETE";
    } else {
      self.headers.push_back("x-amz-copy-source: " + object_path(bucket, key) +
                             "?versionId=" + uri_encode(newer->version_id, false));
    }
    return true;
  };
  // The older version is stored whatever becomes of the copy, which is reported on its own.
  request->on_done = [what, older, done = std::move(done)](const Response& answer) {
    if (!answer.ok()) {
      output_accdg_to_vl(LV_ERROR, VL_COMMON,
                         "Failed to make the newest version of the object(%s) current again in "
                         "the S3 store: %s.\n",
                         what.c_str(), printable(answer.describe()).c_str());
    }
    if (done) done({true, older->version_id, ""});
  };
  engine_.submit(std::move(request));
}

std::string Store::list_pages(const std::string& bucket, std::string_view prefix,
                              const std::function<bool(const ListedVersion&)>& each) {
  std::string key_marker, version_marker;
  for (bool more = true; more;) {
    // The next page starts after the last entry seen: the store's NextVersionIdMarker may
    // name the first entry of the next page instead.
    QueryParams query = {{"versions", ""},
                         {"max-keys", std::to_string(options_.list_page_size)}};
    if (!prefix.empty()) query.emplace_back("prefix", std::string(prefix));
    if (!key_marker.empty()) {
      query.insert(query.end(),
                   {{"key-marker", key_marker}, {"version-id-marker", version_marker}});
    }
    auto request = exchange("GET", object_path(bucket), canonical_query(query));
    const Response answer = engine_.run(std::move(request));
    if (!answer.ok()) return answer.describe();
    more = xml_text(answer.body, "IsTruncated") == "true";
    const std::vector<XmlElement> entries = xml_elements(answer.body, {"Version", "DeleteMarker"});
    for (const XmlElement& entry : entries) {
      ListedVersion listed{xml_text(entry.inner, "Key"), xml_text(entry.inner, "VersionId"),
                           entry.name == "DeleteMarker",
                           xml_text(entry.inner, "IsLatest") == "true"};
      key_marker = listed.key;
      version_marker = listed.version_id;
      if (!each(listed)) return "";
    }
    // A page that says more comes but holds nothing would never end.
    if (entries.empty()) more = false;
  }
  return "";
}

bool Store::list_bucket(std::string_view tape_bucket,
                        const std::function<void(const ListedVersion&)>& each) {
  const std::string bucket = bucket_name(tape_bucket);
  const std::string failure = list_pages(bucket, "", [&](const ListedVersion& listed) {
    each(listed);
    return true;
  });
  if (failure.empty()) return true;
  output_accdg_to_vl(LV_ERROR, VL_COMMON,
                     "Failed to list the versions in the bucket(%s) of the S3 store: %s.\n",
                     printable(bucket).c_str(), printable(failure).c_str());
  return false;
}

std::vector<StoredVersion>* Store::key_versions(const std::string& bucket, std::string_view key) {
  const std::string ordered = order_key(bucket, key);
  const auto known = listed_.find(ordered);
  if (known != listed_.end()) return &known->second;
  std::vector<StoredVersion> versions;
  // Keys sort after their own prefix: the first other key ends the versions of this one.
  const std::string failure = list_pages(bucket, key, [&](const ListedVersion& listed) {
    if (listed.key != key) return false;
    versions.push_back({listed.version_id, listed.latest, listed.delete_marker, "", ""});
    return true;
  });
  if (!failure.empty()) {
    output_accdg_to_vl(LV_ERROR, VL_COMMON,
                       "Failed to list the versions of the object(bucket %s, key %s) in the "
                       "S3 store: %s.\n",
                       printable(bucket).c_str(), printable(key).c_str(),
                       printable(failure).c_str());
    return nullptr;
  }
  return &listed_.emplace(ordered, std::move(versions)).first->second;
}

std::optional<std::vector<StoredVersion>> Store::list_versions(std::string_view tape_bucket,
                                                               std::string_view key) {
  const std::string bucket = bucket_name(tape_bucket);
  std::vector<StoredVersion>* versions = key_versions(bucket, key);
  if (versions == nullptr) return std::nullopt;
  const auto every = [](const StoredVersion& version) { return !version.delete_marker; };
  if (!read_version_metadata(bucket, std::string(key), versions, every)) return std::nullopt;
  return *versions;
}

bool Store::read_version_metadata(const std::string& bucket, const std::string& key,
                                  std::vector<StoredVersion>* versions,
                                  const std::function<bool(const StoredVersion&)>& wanted) {
  size_t pending = 0;
  std::string failure;
  for (StoredVersion& version : *versions) {
    if (version.delete_marker || version.read || !wanted(version)) continue;
    auto request = exchange("HEAD", object_path(bucket, key),
                            canonical_query({{"versionId", version.version_id}}));
    request->on_done = [&pending, &failure, &version](const Response& answer) {
      --pending;
      if (!answer.ok() && failure.empty()) failure = answer.describe();
      version.read = answer.ok();
      version.object_id = answer.header(kObjectIdHeader);
      version.last_modified = answer.header(kLastModifiedHeader);
    };
    ++pending;
    engine_.submit(std::move(request));
  }
  engine_.run_until([&] { return pending == 0; });
  if (failure.empty()) return true;
  output_accdg_to_vl(LV_ERROR, VL_COMMON,
                     "Failed to read the versions of the object(bucket %s, key %s) in the S3 "
                     "store: %s.\n",
                     printable(bucket).c_str(), printable(key).c_str(), printable(failure).c_str());
  return false;
}

namespace {

// The delete marker of the tape found by its place: a restore adds the markers of a key in the
// tape's order, and the ones that make a newer marker current again after them, so the tape's
// next marker is the oldest one that no object of the tape was found to be and that the record
// does not give to another object.
StoredVersion* marker_in_place(std::vector<StoredVersion>& versions, const VersionLookup& lookup) {
  StoredVersion* found = nullptr;
  for (StoredVersion& version : versions) {  // newest first
    const bool known = lookup.known && lookup.known(version.version_id);
    if (version.delete_marker && !version.claimed && !known) found = &version;
  }
  return found;
}

}  // namespace

std::optional<std::string> Store::find_version(std::string_view tape_bucket, std::string_view key,
                                               const VersionLookup& lookup) {
  const std::string bucket = bucket_name(tape_bucket);
  std::vector<StoredVersion>* versions = key_versions(bucket, key);
  if (versions == nullptr) return std::nullopt;
  const auto unknown = [&lookup](const StoredVersion& version) {
    return !lookup.known || !lookup.known(version.version_id);
  };
  // The newest version's time orders what is put afterwards; the others are read only when they
  // may be the one looked for.
  const auto newest = std::find_if(versions->begin(), versions->end(),
                                   [](const StoredVersion& v) { return !v.delete_marker; });
  const StoredVersion* newest_version = newest == versions->end() ? nullptr : &*newest;
  const auto wanted = [&](const StoredVersion& version) {
    return &version == newest_version || (!lookup.delete_marker && unknown(version));
  };
  if (!read_version_metadata(bucket, std::string(key), versions, wanted)) return std::nullopt;
  learn_current(bucket, std::string(key), *versions);
  StoredVersion* found = nullptr;
  if (lookup.delete_marker) {
    found = marker_in_place(*versions, lookup);
  } else {
    for (StoredVersion& version : *versions) {
      if (!version.claimed && !version.delete_marker && version.object_id == lookup.object_id) {
        found = &version;
        break;
      }
    }
  }
  if (found == nullptr) return std::string();
  found->claimed = true;
  if (found->delete_marker) note_marker(tape_bucket, key, lookup.last_modified);
  const std::string& found_time =
      found->delete_marker ? lookup.last_modified : found->last_modified;
  if (found->latest &&
      !keep_newest_current(bucket, std::string(key), *found, found_time, versions)) {
    return std::nullopt;
  }
  return found->version_id;
}

// A restore stores a version older than the key's newest and then makes the newest current again
// (a copy, or a marker). A run that ended between the two leaves the older version current: it is
// met again by the next run, found here, and the second step is taken now, as the first run
// would have. Nothing is done once this run has stored a version of the key itself.
bool Store::keep_newest_current(const std::string& bucket, const std::string& key,
                                const StoredVersion& found, const std::string& found_time,
                                std::vector<StoredVersion>* versions) {
  const std::string ordered = order_key(bucket, key);
  const auto known = newest_.find(ordered);
  if (known != newest_.end() && !known->second.learned) return true;
  const auto every = [](const StoredVersion&) { return true; };
  if (!read_version_metadata(bucket, key, versions, every)) return false;
  const StoredVersion* newest = nullptr;
  std::string newest_time = time_order_key(found_time);
  for (const StoredVersion& version : *versions) {
    const std::string time = time_order_key(version.last_modified);
    if (!version.delete_marker && time > newest_time) {
      newest = &version;
      newest_time = time;
    }
  }
  // A delete marker met before is newer still: a new marker makes it current again.
  const auto marker = markers_met_.find(ordered);
  const bool by_marker = marker != markers_met_.end() && marker->second > newest_time;
  if (newest == nullptr && !by_marker) return true;
  auto older = std::make_shared<Slot>(Slot{true, found.delete_marker, found.version_id});
  auto newer = std::make_shared<Slot>(Slot{true, by_marker, by_marker ? "" : newest->version_id});
  if (by_marker) newest_time = marker->second;
  newest_[ordered] = {newest_time, newer};
  ObjectRequest named;
  named.key = key;
  restore_current(bucket, key, describe_object(bucket, named), std::move(older), std::move(newer),
                  {});
  return true;
}

void Store::note_marker(std::string_view tape_bucket, std::string_view key,
                        std::string_view last_modified) {
  std::string& newest = markers_met_[order_key(bucket_name(tape_bucket), key)];
  newest = std::max(newest, time_order_key(last_modified));
}

std::optional<bool> Store::has_version(std::string_view tape_bucket, std::string_view key,
                                       std::string_view object_id) {
  const std::optional<std::string> found =
      find_version(tape_bucket, key, {std::string(object_id), false, {}, ""});
  if (!found) return std::nullopt;
  return !found->empty();
}

void Store::learn_current(const std::string& bucket, const std::string& key,
                          const std::vector<StoredVersion>& versions) {
  const std::string ordered = order_key(bucket, key);
  const auto current = std::find_if(versions.begin(), versions.end(),
                                    [](const StoredVersion& version) { return version.latest; });
  if (newest_.count(ordered) != 0 || current == versions.end()) return;
  auto slot = std::make_shared<Slot>();
  slot->stored = true;
  slot->delete_marker = current->delete_marker;
  slot->version_id = current->version_id;
  // A delete marker carries no time; it was stored after every version below it, so it is
  // taken to be as new as the newest of them.
  std::string latest_time;
  for (const StoredVersion& version : versions) {
    latest_time = std::max(latest_time, time_order_key(version.last_modified));
  }
  newest_[ordered] = {current->delete_marker ? latest_time : time_order_key(current->last_modified),
                      slot, true};
}

}  // namespace s3

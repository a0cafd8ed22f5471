// The record of the versions that restores from this working directory stored: "store.log",
// beside history.log, one line appended as the store answers each version or delete marker. A
// later run (a resume, a full dump or a retrieval again) lists each bucket once and knows every
// version of the record that is still there, delete markers included, without asking the store
// about each object.
//
// Each line is "<object> <version>\n", two 16-digit hexadecimal numbers: the first names the
// store's bucket and the tape's object identifier, the second the bucket, the key and the store's
// version identifier (the first 64 bits of their MD5). Lines of another shape are passed over.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "s3/store.h"
#include "support/unique_fd.h"

namespace walk {

inline constexpr char kStoreJournalPath[] = "./store.log";

class StoreJournal {
 public:
  // Reads the record of the working directory and opens it for appending. A record that cannot
  // be read or written is a WARNING: the run goes on, looking its objects up in the store.
  void open();
  // Notes a version the store took (or that was found there).
  void append(const std::string& bucket, std::string_view object_id, std::string_view key,
              std::string_view version_id);
  // One entry of the bucket's listing: a version of the record found there.
  void listed(const std::string& bucket, const s3::ListedVersion& entry);
  // Whether a version restored from the object was listed in the bucket.
  bool stored(const std::string& bucket, std::string_view object_id) const;
  // Whether the listing held any version of the key.
  bool key_listed(const std::string& bucket, std::string_view key) const;
  // Whether the record knows the version (it came from one of the tape's objects).
  bool knows(const std::string& bucket, std::string_view key, std::string_view version_id) const;

 private:
  bool read_record();

  support::UniqueFd fd_;
  std::unordered_multimap<uint64_t, uint64_t> versions_of_;  // object -> its versions
  std::unordered_set<uint64_t> known_;                       // versions of the record
  std::unordered_set<uint64_t> present_;                     // of those, the ones listed
  std::unordered_set<uint64_t> keys_;                        // keys listed
};

}  // namespace walk

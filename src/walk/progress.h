// What the history records of a dump beyond its four counters, so that a resume continues exactly
// where the dump stood: the save path it writes into, whether it is complete, and the numbering of
// every bucket's directories at the recorded place. With the numbering, a resume gives every
// object the directory the interrupted dump gave it, and finds the objects already written there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vexa_format_checker.h"
#include "walk/filter.h"
#include "walk/history.h"
#include "walk/numbering.h"

namespace walk {

inline constexpr char kSavePathKey[] = "Save path";
inline constexpr char kCompleteKey[] = "Complete";
// The selection of a dump made with --bucket-filter or --prefix (no such key without one): a
// resume must make the same.
inline constexpr char kSelectionKey[] = "Selection";
// Of a dump into a store: the objects before the recorded place that are not in the store.
inline constexpr char kNotStoredKey[] = "Not stored";

// The numbering of every bucket in `buckets`, as history keys.
HistoryKeys numbering_keys(const BucketInfo4ObjReader* buckets);
// Replaces `*buckets` with the numbering that `keys` record (restored). `*buckets` stays untouched
// when the keys hold no numbering, as in a history of an earlier version (none), and when one of
// them is not a numbering a dump writes, three numbers within the directories' bounds (refused,
// with that key and value in `*refused`).
enum class NumberingRead { none, restored, refused };
NumberingRead restore_numbering(const HistoryKeys& keys, BucketInfo4ObjReader** buckets,
                                std::string* refused);
// The keys recorded beside the counters (with the objects not stored, for a dump into a store).
HistoryKeys progress_keys(const std::string& save_path, bool complete,
                          const HistoryKeys& numbering, const std::string& selection,
                          std::optional<uint64_t> not_stored = std::nullopt);
// The selection as the history records it: "" for every object.
std::string selection_text(const Filter& filter);
// The objects a dump into a store passed over without storing them so far, whatever the reason:
// refused, not readable, lost, not taken by the store, or left by an interrupted run before.
uint64_t objects_not_in_store();
// The value of `key` in `keys`.
std::optional<std::string> history_value(const HistoryKeys& keys, const std::string& key);

}  // namespace walk

// Byte layout of the Quorrant markers as the reader uses it: field positions and sizes of the
// reference commit marker (Level4), the partial reference (Level3), the OCM info (an object commit
// marker without its identifier), the PO info (a packed object without its identifier) and the
// object directory. Every integer is 64-bit big-endian, every UUID 16 raw bytes. The format checks,
// the marker index and the packed-object extraction all take their positions from here.
#pragma once

#include <cstdint>

namespace marker_layout {

inline constexpr uint64_t kIdentifierSize = 32;  // "Quorrant 1.0 LevelN" padded with blanks
inline constexpr uint64_t kFieldSize = 8;
inline constexpr uint64_t kUuidSize = 16;

// Level4, reference commit marker: positions within the marker. The directory offset and the
// data offset count from the end of the identifier.
inline constexpr uint64_t kRcmDataOffset = 40;
inline constexpr uint64_t kRcmDataLength = 48;
inline constexpr uint64_t kRcmMarkerCount = 56;  // number of partial references
inline constexpr uint64_t kRcmHeaderSize = 112;  // where its directory starts
inline constexpr uint64_t kRcmDirectoryOffset = kRcmHeaderSize - kIdentifierSize;  // 80
inline constexpr uint64_t kRcmEntrySize = 8;  // one block offset per partial reference

// Level3, partial reference: positions within the marker.
inline constexpr uint64_t kPrDataOffset = 40;
inline constexpr uint64_t kPrMarkerCount = 48;  // number of OCM infos
inline constexpr uint64_t kPrHeaderSize = 56;   // where its directory starts

// Levels 3 and 2 share the directory offset (24) and the directory entry: the length of the
// record the entry points at, then its block offset.
inline constexpr uint64_t kLevel32DirectoryOffset = 24;
inline constexpr uint64_t kLevel32EntrySize = 16;
inline constexpr uint64_t kEntryLength = 0;
inline constexpr uint64_t kEntryBlockOffset = 8;

// OCM info: positions within the info.
inline constexpr uint64_t kOcmInfoDataOffset = 8;
inline constexpr uint64_t kOcmInfoMarkerCount = 16;  // number of PO infos
inline constexpr uint64_t kOcmInfoHeaderSize = 24;

// PO info: positions within the info, which is byte 32 of the packed object on tape.
inline constexpr uint64_t kPoInfoDataOffset = 8;
inline constexpr uint64_t kPoInfoObjectCount = 16;
inline constexpr uint64_t kPoInfoPackId = 24;
inline constexpr uint64_t kPoInfoBucketId = 40;
inline constexpr uint64_t kPoInfoSystemId = 56;
inline constexpr uint64_t kPoInfoHeaderSize = 72;

// Object directory: one entry per object and a closing entry, right after the PO info header.
inline constexpr uint64_t kObjectEntrySize = 32;
inline constexpr uint64_t kObjectEntryId = 0;
inline constexpr uint64_t kObjectEntryMetaOffset = 16;
inline constexpr uint64_t kObjectEntryDataOffset = 24;

// A reference commit marker is read, and its bucket list parsed, up to this many bytes.
inline constexpr uint64_t kMaxRcmBytes = 1048576;

// For the overlap rule of directory entries every block counts as 1 MiB.
inline constexpr uint64_t kOverlapBlockBytes = 1048576;

}  // namespace marker_layout

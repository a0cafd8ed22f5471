// What tape_image reads of the drive and the cartridge besides the partitions: the drive's
// identity (INQUIRY), the volume personality (LOG SENSE page 17h) and every cartridge memory
// attribute of each partition (READ ATTRIBUTE), held as the manifest of the image holds them.
// These commands do not move the tape.
#pragma once

#include <string>

#include "vdrive/manifest.h"

namespace image {

// Reads them from the drive behind `scparam` into a manifest of the default partitions. What
// the drive does not answer is said as a WARNING and left out (an empty personality).
vdrive::Manifest describe_cartridge(void* scparam);

// How the cartridge described by `tape` differs from the one `saved` describes, in words: the
// volume personality or the first attribute that names the cartridge or its contents (volume
// change reference, medium manufacturer and serial number, barcode, volume coherency
// information, volume identifier) that is not the same. Empty when none differs.
std::string difference(const vdrive::Manifest& saved, const vdrive::Manifest& tape);

}  // namespace image

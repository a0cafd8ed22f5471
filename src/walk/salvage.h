// What can be read of the objects still lost after a second pass (--salvage): the bytes of their
// data that read, the unreadable blocks' bytes left as zeros, under "<id>.data.partial", beside
// "<id>.holes.json" ({"size": N, "read": R, "holes": [[offset, length], ...]}), in the directory a
// retrieval writes the object into. Never under the object's own names: a partial object is not
// the object.
#pragma once

#include "walk/walk.h"

namespace walk {

// Salvages every object of `w.out.lost_places`. Returns 1 when one could not be written.
int salvage_lost_objects(Walk& w);

}  // namespace walk

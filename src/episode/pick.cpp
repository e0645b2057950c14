// The failure of a pick from an empty list, out of line.
#include "episode/pick.h"

#include "support/failure.h"

namespace tarnel {

void fail_empty_pick() { fail("cannot pick an episode: the episode list is empty"); }

}  // namespace tarnel

// The data's support: how many recorded transitions start at each state and
// action of the table. Pairs that no transition starts at keep their initial
// value through any training, which offline data cannot correct.
#pragma once

#include <cstdint>
#include <vector>

#include "episode/source.h"

namespace tarnel {

// Counts, in one pass over the episodes `source` hands over, the transitions
// that start at each pair of a table of `states` x `actions`, stored
// column-major like a Q table: pair (s, a) at s + a * states. State and
// action are read as training reads them; a row whose state or action reads
// outside the table is not counted. Fails as building the episodes does on
// an array with rows but fewer than five columns, and as making a table does
// on a size no allocation can hold.
std::vector<std::uint64_t> visit_counts(EpisodeSource& source, std::uint64_t states, std::uint64_t actions);

}  // namespace tarnel

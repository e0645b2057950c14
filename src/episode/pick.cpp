// The episode pick of every driver.
#include "episode/pick.h"

#include "support/failure.h"

namespace tarnel {

void fail_empty_pick() { fail("cannot pick an episode: the episode list is empty"); }

const Episode& pick_episode(const EpisodeList& episodes, Rng& rng) {
  if (episodes.empty()) fail_empty_pick();
  return episodes[uniform_index(rng, episodes.size())];
}

}  // namespace tarnel

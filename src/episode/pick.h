// The episode pick of every driver: one episode of the list, uniformly at
// random and with replacement.
#pragma once

#include "episode/episode.h"
#include "support/random.h"

namespace tarnel {

// Fails on an empty list, before anything is drawn.
const Episode& pick_episode(const EpisodeList& episodes, Rng& rng);

}  // namespace tarnel

// The episode pick of every driver: one episode of the list, uniformly at
// random and with replacement.
#pragma once

#include "episode/compact.h"
#include "support/random.h"

namespace tarnel {

[[noreturn]] void fail_empty_pick();

// Fails on an empty list, before anything is drawn. In line: every
// iteration of every driver makes one.
template <typename List>
inline auto pick_episode(List& episodes, Rng& rng) {
  if (episodes.empty()) [[unlikely]]
    fail_empty_pick();
  return episodes[uniform_index(rng, episodes.size())];
}

}  // namespace tarnel

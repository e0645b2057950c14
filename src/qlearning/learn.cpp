// The module's three rules, built into the sequential driver once.
#include "qlearning/learn.h"

namespace tarnel {

template QTable Qlearner::learn<Qlearner::learn_single_episode_forward_Q>(const CompactEpisodeList&,
                                                                          Rng&) const;
template QTable Qlearner::learn<Qlearner::learn_single_episode_backward_TD>(const CompactEpisodeList&,
                                                                            Rng&) const;
template QTable Qlearner::learn<Qlearner::learn_single_episode_expected_sarsa>(const CompactEpisodeList&,
                                                                               Rng&) const;
template QTable Qlearner::learn<Qlearner::learn_single_episode_forward_Q>(TableEpisodeList&, Rng&) const;
template QTable Qlearner::learn<Qlearner::learn_single_episode_backward_TD>(TableEpisodeList&, Rng&) const;
template QTable Qlearner::learn<Qlearner::learn_single_episode_expected_sarsa>(TableEpisodeList&, Rng&) const;
template TableStack Qlearner::learn_parallel<Qlearner::learn_single_episode_forward_Q>(
    const CompactEpisodeList&, std::uint64_t) const;

}  // namespace tarnel

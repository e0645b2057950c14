// The passes of the three rules, built once for callers that do not inline
// them; and the failure of the backward rule on an empty episode, out of
// line.
#include <string>

#include "qlearning/rules_inl.h"

namespace tarnel {

void fail_empty_episode(std::uint64_t position) {
  TrainingFailure failure =
      make_failure("index out of range: the backward rule reads the last transition of an episode, "
                   "but the episode has length 0");
  failure.add_note(location(position) + ": no rows");
  throw failure;
}

template void forward_Q_pass(const Qlearner&, QTable&, CompactEpisode<std::uint32_t>);
template void forward_Q_pass(const Qlearner&, QTable&, CompactEpisode<std::uint64_t>);
template void expected_sarsa_pass(const Qlearner&, QTable&, CompactEpisode<std::uint32_t>);
template void expected_sarsa_pass(const Qlearner&, QTable&, CompactEpisode<std::uint64_t>);
template void backward_TD_pass(const Qlearner&, QTable&, CompactEpisode<std::uint32_t>);
template void backward_TD_pass(const Qlearner&, QTable&, CompactEpisode<std::uint64_t>);

}  // namespace tarnel

// The update rules as the drivers take them: a constant descriptor carrying
// the rule's passes over one episode of the compact form (narrow and wide
// indexes), the set of table entries a pass writes and the row it reads.
#pragma once

#include <cstdint>

#include "episode/compact.h"
#include "qlearning/q_table.h"

namespace tarnel {

struct Qlearner;

// Which entries a pass writes, known before it runs. It lets `learn` save
// them beforehand and sum several iterations' tables in one pass. A
// transition whose entry lies outside the table makes the pass fail, so
// only entries inside the table count.
enum class WriteSet {
  every_transition,  // entry (state, action) of every transition
  all_but_last,      // entry (state, action) of every transition but the last
};

template <typename Index>
using RulePass = void (*)(const Qlearner& learner, QTable& q, CompactEpisode<Index> episode);

// A rule. The rules are constants (the learner's learn_single_episode_*
// members), handed to a driver as a template argument by reference, so the
// driver is specialised on its rule, and called like a function.
struct RuleDescriptor {
  RulePass<std::uint32_t> narrow_pass;
  RulePass<std::uint64_t> wide_pass;
  WriteSet writes;
  RowRead reads;

  template <typename Index>
  constexpr RulePass<Index> pass() const {
    if constexpr (sizeof(Index) == 4) {
      return narrow_pass;
    } else {
      return wide_pass;
    }
  }
  template <typename Index>
  void operator()(const Qlearner& learner, QTable& q, CompactEpisode<Index> episode) const {
    pass<Index>()(learner, q, episode);
  }
};

// The passes of the three rules. Each is one pass over the episode that
// writes the table in place, so later transitions of the same episode see
// the entries written by earlier ones.

// Forward Q-learning: towards the reward plus the discounted maximum of the
// next state's row. Writes every transition's entry.
template <typename Index>
void forward_Q_pass(const Qlearner& learner, QTable& q, CompactEpisode<Index> episode);

// Backward TD: towards the discounted return carried back from the
// episode's end. Writes every transition's entry but the last one's.
template <typename Index>
void backward_TD_pass(const Qlearner& learner, QTable& q, CompactEpisode<Index> episode);

// Expected SARSA: towards the reward plus the discounted mean of the
// transition's own state's row. Writes every transition's entry.
template <typename Index>
void expected_sarsa_pass(const Qlearner& learner, QTable& q, CompactEpisode<Index> episode);

}  // namespace tarnel

// The update rules as the drivers take them: a descriptor carrying the rule's
// pass over one episode and the set of table entries that pass writes.
#pragma once

#include <cstdint>

#include "episode/compact.h"
#include "episode/episode.h"
#include "qlearning/q_table.h"

namespace tarnel {

struct Qlearner;

// Which entries a pass may write, known before it runs. It lets `learn` save
// them beforehand and sum several iterations' tables in one pass. A
// transition whose entry lies outside the table makes the pass fail, so
// only entries inside the table count.
enum class WriteSet {
  unknown,           // any entry: the driver sums the table after every iteration
  every_transition,  // entry (state, action) of every transition
  all_but_last,      // entry (state, action) of every transition but the last
};

using RulePass = void (*)(const Qlearner& learner, QTable& q, const Episode& episode);

// The same pass over one episode of the compact form.
template <typename Index>
using CompactRulePass = void (*)(const Qlearner& learner, QTable& q, CompactEpisode<Index> episode);

// A rule: its pass, the entries that pass writes, the row it reads, and its
// passes over the compact form (narrow and wide indexes), which the drivers
// train with. Rules are constants (the learner's learn_single_episode_*
// members, or a test's own), called like their plain pass. A rule without
// compact passes (a test's) is replayed on plain episodes.
struct RuleDescriptor {
  RulePass pass = nullptr;
  WriteSet writes = WriteSet::unknown;
  RowRead reads = RowRead::next_state;
  CompactRulePass<std::uint32_t> narrow_pass = nullptr;
  CompactRulePass<std::uint64_t> wide_pass = nullptr;

  void operator()(const Qlearner& learner, QTable& q, const Episode& episode) const {
    pass(learner, q, episode);
  }
};

// How the drivers take a rule: a handle to a constant descriptor, a plain
// value that can also be a template argument. (The descriptor itself cannot
// be one: GCC 12 rejects a class template argument holding a function
// pointer.)
struct UpdateRule {
  const RuleDescriptor* descriptor;

  constexpr UpdateRule(const RuleDescriptor& rule) : descriptor(&rule) {}

  RulePass pass() const { return descriptor->pass; }
  WriteSet writes() const { return descriptor->writes; }
  RowRead reads() const { return descriptor->reads; }
  bool has_compact_passes() const { return descriptor->narrow_pass != nullptr; }
  template <typename Index>
  CompactRulePass<Index> compact_pass() const {
    if constexpr (sizeof(Index) == 4) {
      return descriptor->narrow_pass;
    } else {
      return descriptor->wide_pass;
    }
  }
  void operator()(const Qlearner& learner, QTable& q, const Episode& episode) const {
    descriptor->pass(learner, q, episode);
  }
};

// The passes of the three rules (the descriptors are the learner's
// learn_single_episode_* members). Each is one pass over the episode that
// writes the table in place, so later transitions of the same episode see
// the entries written by earlier ones.

// Forward Q-learning: towards the reward plus the discounted maximum of the
// next state's row. Writes every transition's entry.
void forward_Q_pass(const Qlearner& learner, QTable& q, const Episode& episode);
template <typename Index>
void forward_Q_pass(const Qlearner& learner, QTable& q, CompactEpisode<Index> episode);

// Backward TD: towards the discounted return carried back from the
// episode's end. Writes every transition's entry but the last one's.
void backward_TD_pass(const Qlearner& learner, QTable& q, const Episode& episode);
template <typename Index>
void backward_TD_pass(const Qlearner& learner, QTable& q, CompactEpisode<Index> episode);

// Expected SARSA: towards the reward plus the discounted mean of the
// transition's own state's row. Writes every transition's entry.
void expected_sarsa_pass(const Qlearner& learner, QTable& q, const Episode& episode);
template <typename Index>
void expected_sarsa_pass(const Qlearner& learner, QTable& q, CompactEpisode<Index> episode);

}  // namespace tarnel

// The learner record and the operations on it: the three update rules, the
// sequential drivers and the parallel drivers. Each operation lives in a
// source of its own (named beside it); the table is in q_table.h, the rule
// descriptor in rules.h, the episode pick in episode/pick.h.
#pragma once

#include <cstdint>
#include <string>

#include "episode/compact.h"
#include "episode/episode.h"
#include "episode/pick.h"
#include "qlearning/q_table.h"
#include "qlearning/rules.h"
#include "support/random.h"

namespace tarnel {

struct Qlearner {
  QShape q_shape{0, 0};
  double discount_factor = 0.0;
  double learning_rate = 0.0;
  std::uint64_t max_iterations = 0;
  double quit_threshold = 0.001;
  bool verbose = false;

  // The update rules (rules.cpp), called as functions or handed to a driver.
  static constexpr RuleDescriptor learn_single_episode_forward_Q{
      forward_Q_pass, WriteSet::every_transition, RowRead::next_state, forward_Q_pass<std::uint32_t>,
      forward_Q_pass<std::uint64_t>};
  static constexpr RuleDescriptor learn_single_episode_backward_TD{
      backward_TD_pass, WriteSet::all_but_last, RowRead::none, backward_TD_pass<std::uint32_t>,
      backward_TD_pass<std::uint64_t>};
  static constexpr RuleDescriptor learn_single_episode_expected_sarsa{
      expected_sarsa_pass, WriteSet::every_transition, RowRead::own_state, expected_sarsa_pass<std::uint32_t>,
      expected_sarsa_pass<std::uint64_t>};

  // Sequential drivers, one source each, training on the compact form built
  // for this learner's table shape and the rule's row read. The overloads
  // taking plain episodes build that form first (tests and benchmarks). `rng`
  // defaults to the calling thread's generator; tests pass a seeded one.
  QTable learn(const CompactEpisodeList& episodes, UpdateRule rule, Rng& rng = thread_rng()) const;
  QTable learn(const EpisodeList& episodes, UpdateRule rule, Rng& rng = thread_rng()) const;
  QTable fast_learn(const CompactEpisodeList& episodes, Rng& rng = thread_rng()) const;
  QTable fast_learn(const EpisodeList& episodes, Rng& rng = thread_rng()) const;
  QTable learn_until_convergence(const CompactEpisodeList& episodes, Rng& rng = thread_rng()) const;
  QTable learn_until_convergence(const EpisodeList& episodes, Rng& rng = thread_rng()) const;
  // Its own rule reads the next state's row, as the forward rule does.
  QTable double_q(const CompactEpisodeList& episodes, Rng& rng = thread_rng()) const;
  QTable double_q(const EpisodeList& episodes, Rng& rng = thread_rng()) const;

  // Parallel drivers (parallel.cpp): one worker thread per training, each
  // running `learn` with its own thread's generator.
  TableStack learn_parallel(const CompactEpisodeList& episodes, UpdateRule rule, std::uint64_t ql_iter) const;
  TableStack learn_parallel(const EpisodeList& episodes, UpdateRule rule, std::uint64_t ql_iter) const;
  // Takes the episode list over; draws each worker's bootstrap sample from
  // `rng` on the calling thread just before that worker starts.
  TableStack td_learn_backward_parallel(CompactEpisodeList episodes, std::uint64_t boostrap_sample_size,
                                        std::uint64_t iter_ql, Rng& rng = thread_rng()) const;
  TableStack td_learn_backward_parallel(EpisodeList episodes, std::uint64_t boostrap_sample_size,
                                        std::uint64_t iter_ql, Rng& rng = thread_rng()) const;

  // The compact form of plain episodes for this learner's table and a rule
  // that reads `reads`.
  CompactEpisodeList compact(const EpisodeList& episodes, RowRead reads) const {
    return compact_episodes(episodes, q_shape.first, q_shape.second, reads);
  }
};

// "Qlearner { q_shape: (16, 4), discount_factor: 0.9, ... verbose: true }"
// (text_form.cpp)
std::string to_string(const Qlearner& learner);

}  // namespace tarnel

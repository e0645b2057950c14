// The learner record and the operations on it: the three update rules, the
// sequential drivers and the parallel drivers. Each operation lives in a
// source of its own (named beside it); the table is in q_table.h, the rule
// descriptor in rules.h, the episode pick in episode/pick.h. Every driver
// trains on the compact form built for the learner's table shape and the
// row its rule reads.
#pragma once

#include <cstdint>
#include <string>

#include "episode/compact.h"
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
  double quit_threshold = 0.001;  // also what the module takes for an absent one
  bool verbose = false;

  // The update rules (rules.cpp), called as functions or handed to a driver.
  static constexpr RuleDescriptor learn_single_episode_forward_Q{
      forward_Q_pass<std::uint32_t>, forward_Q_pass<std::uint64_t>, WriteSet::every_transition,
      RowRead::next_state};
  static constexpr RuleDescriptor learn_single_episode_backward_TD{backward_TD_pass<std::uint32_t>,
                                                                   backward_TD_pass<std::uint64_t>,
                                                                   WriteSet::all_but_last, RowRead::none};
  static constexpr RuleDescriptor learn_single_episode_expected_sarsa{
      expected_sarsa_pass<std::uint32_t>, expected_sarsa_pass<std::uint64_t>, WriteSet::every_transition,
      RowRead::own_state};

  // Sequential drivers, one source each. `rng` defaults to the calling
  // thread's generator; tests pass a seeded one. `learn` is specialised on
  // its rule (learn.h); the module's three rules are built in learn.cpp.
  // Each also trains on a table's episodes, converting them as it picks
  // them.
  template <const RuleDescriptor& rule>
  QTable learn(const CompactEpisodeList& episodes, Rng& rng = thread_rng()) const;
  template <const RuleDescriptor& rule>
  QTable learn(TableEpisodeList& episodes, Rng& rng = thread_rng()) const;
  QTable fast_learn(const CompactEpisodeList& episodes, Rng& rng = thread_rng()) const;
  QTable fast_learn(TableEpisodeList& episodes, Rng& rng = thread_rng()) const;
  QTable learn_until_convergence(const CompactEpisodeList& episodes, Rng& rng = thread_rng()) const;
  QTable learn_until_convergence(TableEpisodeList& episodes, Rng& rng = thread_rng()) const;
  // Its own rule reads the next state's row, as the forward rule does.
  QTable double_q(const CompactEpisodeList& episodes, Rng& rng = thread_rng()) const;
  QTable double_q(TableEpisodeList& episodes, Rng& rng = thread_rng()) const;

  // Parallel drivers: one worker thread per training, each running `learn`
  // with its own thread's generator (learn_parallel in learn.h, the
  // bootstrap driver in parallel.cpp).
  template <const RuleDescriptor& rule>
  TableStack learn_parallel(const CompactEpisodeList& episodes, std::uint64_t trainings) const;
  // Takes the episode list over; draws each worker's bootstrap sample from
  // `rng` on the calling thread just before that worker starts.
  TableStack td_learn_backward_parallel(CompactEpisodeList episodes, std::uint64_t sample_size,
                                        std::uint64_t trainings, Rng& rng = thread_rng()) const;
  // A table's episodes are converted on the calling thread as the samples
  // draw them, each once.
  TableStack td_learn_backward_parallel(TableEpisodeList episodes, std::uint64_t sample_size,
                                        std::uint64_t trainings, Rng& rng = thread_rng()) const;
};

extern template QTable Qlearner::learn<Qlearner::learn_single_episode_forward_Q>(const CompactEpisodeList&,
                                                                                 Rng&) const;
extern template QTable Qlearner::learn<Qlearner::learn_single_episode_backward_TD>(const CompactEpisodeList&,
                                                                                   Rng&) const;
extern template QTable Qlearner::learn<Qlearner::learn_single_episode_expected_sarsa>(
    const CompactEpisodeList&, Rng&) const;
extern template QTable Qlearner::learn<Qlearner::learn_single_episode_forward_Q>(TableEpisodeList&,
                                                                                 Rng&) const;
extern template QTable Qlearner::learn<Qlearner::learn_single_episode_backward_TD>(TableEpisodeList&,
                                                                                   Rng&) const;
extern template QTable Qlearner::learn<Qlearner::learn_single_episode_expected_sarsa>(TableEpisodeList&,
                                                                                      Rng&) const;
extern template TableStack Qlearner::learn_parallel<Qlearner::learn_single_episode_forward_Q>(
    const CompactEpisodeList&, std::uint64_t) const;

// "Qlearner { q_shape: (16, 4), discount_factor: 0.9, ... verbose: true }"
// (text_form.cpp)
std::string to_string(const Qlearner& learner);

}  // namespace tarnel

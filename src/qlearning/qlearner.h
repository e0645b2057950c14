// The learner record, the Q table, and every training operation on them: the
// update rules, the sequential drivers and the parallel drivers.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "episode/episode.h"
#include "support/random.h"

namespace tarnel {

using QShape = std::pair<std::uint64_t, std::uint64_t>;  // (states, actions)

// A Q table stored column-major: entry (s, a) at s + a*states.
struct QTable {
  std::uint64_t states = 0;
  std::uint64_t actions = 0;
  std::vector<double> values;

  double& at(std::uint64_t s, std::uint64_t a) { return values[s + a * states]; }
  double at(std::uint64_t s, std::uint64_t a) const { return values[s + a * states]; }
};

// A new zero-filled table; fails before allocating when the element count or
// the byte size does not fit a signed 64-bit size.
QTable zero_q_table(QShape q_shape);

// One table per worker, first index fastest: element [k, s, a] at
// k + depth*(s + states*a).
struct TableStack {
  std::uint64_t depth = 0;
  std::uint64_t states = 0;
  std::uint64_t actions = 0;
  std::vector<double> values;
};

// Fails when the product of the non-zero extents, or its size in bytes, does
// not fit a signed 64-bit size (checked before any allocation).
void check_table_size(std::uint64_t a, std::uint64_t b, std::uint64_t c = 1);

struct Qlearner;
using UpdateRule = void (*)(const Qlearner&, QTable&, const Episode&);

struct Qlearner {
  QShape q_shape{0, 0};
  double discount_factor = 0.0;
  double learning_rate = 0.0;
  std::uint64_t max_iterations = 0;
  double quit_threshold = 0.001;
  bool verbose = false;

  // Update rules: one pass over one episode, writing the table in place.
  static void learn_single_episode_forward_Q(const Qlearner& learner, QTable& q,
                                             const Episode& episode);
  static void learn_single_episode_backward_TD(const Qlearner& learner, QTable& q,
                                               const Episode& episode);
  static void learn_single_episode_expected_sarsa(const Qlearner& learner, QTable& q,
                                                  const Episode& episode);

  // Sequential drivers. `rng` defaults to the calling thread's generator; tests
  // pass a seeded one.
  QTable learn(const EpisodeList& episodes, UpdateRule rule, Rng& rng = thread_rng()) const;
  QTable fast_learn(const EpisodeList& episodes, Rng& rng = thread_rng()) const;
  QTable learn_until_convergence(const EpisodeList& episodes, Rng& rng = thread_rng()) const;
  QTable double_q(const EpisodeList& episodes, Rng& rng = thread_rng()) const;

  // Parallel drivers: one worker thread per training, each running `learn`
  // with its own thread's generator.
  TableStack learn_parallel(const EpisodeList& episodes, UpdateRule rule,
                            std::uint64_t ql_iter) const;
  // Takes the episode list over; draws each worker's bootstrap sample from
  // `rng` on the calling thread just before that worker starts.
  TableStack td_learn_backward_parallel(EpisodeList episodes, std::uint64_t boostrap_sample_size,
                                        std::uint64_t iter_ql, Rng& rng = thread_rng()) const;
};

// Uniform pick with replacement; fails on an empty list.
const Episode& pick_episode(const EpisodeList& episodes, Rng& rng);

// "Qlearner { q_shape: (16, 4), discount_factor: 0.9, ... verbose: true }"
std::string to_string(const Qlearner& learner);

}  // namespace tarnel

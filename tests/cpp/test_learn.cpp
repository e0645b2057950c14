// The sequential driver: the window test and early stop, the iteration
// bound, and its failures. A self-loop episode on a 1 x 1 table with
// reward 1, discount 1 and rate 1 makes entry (0, 0) count the iterations
// run, so the result shows exactly where training stopped.
#include <cstdint>
#include <limits>

#include "check.h"
#include "episodes.h"
#include "qlearning/qlearner.h"
#include "support/failure.h"

using namespace tarnel;

namespace {

Qlearner counting_learner(std::uint64_t max_iterations, double quit_threshold) {
  return make_learner({1, 1}, 1.0, 1.0, max_iterations, quit_threshold);
}

const EpisodeList counting_episodes = {{{Transition{0, 0, 1.0, 0, false}}}};

double iterations_run(const Qlearner& l) {
  Rng rng(Seed{});
  return learn(l, counting_episodes, Qlearner::learn_single_episode_forward_Q, rng).values[0];
}

}  // namespace

TEST(window_test_decides_where_training_stops) {
  // With Q_i = i + 1 the window means at check i are i - 12499.5 and
  // i - 37499.5: d = 1.99992 at 50000, 0.66666 at 75000, 0.39999 at 100000.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    std::uint64_t max_iterations;
    double quit_threshold;
    double expected;
  } cases[] = {
      {0, 3.0, 0.0},
      {1, 3.0, 1.0},
      {50000, 3.0, 50000.0},
      {50001, 3.0, 50001.0},
      {60000, 3.0, 50001.0},
      {200000, 0.5, 100001.0},
      {120000, 1.9, 75001.0},
      {120000, 0.0, 120000.0},
      {120000, -1.0, 120000.0},
      {120000, nan, 120000.0},
      // Memory does not grow with the bound: a huge one that stops early.
      {1000000000000ull, 3.0, 50001.0},
  };
  for (const auto& c : cases) {
    CHECK_EQ(iterations_run(counting_learner(c.max_iterations, c.quit_threshold)), c.expected);
  }
}

TEST(the_record_trains_silently_by_default) {
  // bench/core_bench leaves `verbose` as the record has it: past a check, still nothing printed.
  Qlearner l = counting_learner(50001, 0.001);
  l.verbose = Qlearner{}.verbose;
  CHECK_EQ(check::captured_output([&] { iterations_run(l); }), "");
}

TEST(empty_episode_list) {
  Rng rng(Seed{});
  const EpisodeList none;
  Qlearner l = counting_learner(0, 0.001);
  l.q_shape = {3, 2};
  const QTable q = learn(l, none, Qlearner::learn_single_episode_forward_Q, rng);
  CHECK_EQ(q.values.size(), 6u);
  for (const double v : q.values) CHECK_BITS(v, 0.0);
  l.max_iterations = 1;
  CHECK_THROWS(TrainingFailure, learn(l, none, Qlearner::learn_single_episode_forward_Q, rng));
}

TEST(only_empty_episodes) {
  Rng rng(Seed{});
  const EpisodeList empties(3);
  Qlearner l = counting_learner(1000, 0.001);
  for (const double v : learn(l, empties, Qlearner::learn_single_episode_forward_Q, rng).values)
    CHECK_BITS(v, 0.0);
  for (const double v : learn(l, empties, Qlearner::learn_single_episode_expected_sarsa, rng).values)
    CHECK_BITS(v, 0.0);
  CHECK_THROWS(TrainingFailure, learn(l, empties, Qlearner::learn_single_episode_backward_TD, rng));
}

TEST(sizes_that_cannot_be_allocated_fail_first) {
  Rng rng(Seed{});
  const EpisodeList none;
  Qlearner l = counting_learner(0, 0.001);
  // Only the non-zero extents count, so (0, 2^64 - 1) is refused too.
  const QShape bad_shapes[] = {{1ull << 40, 1ull << 40},
                               {1ull << 63, 2},
                               {1ull << 61, 1},
                               {0, std::numeric_limits<std::uint64_t>::max()}};
  for (const QShape& shape : bad_shapes) {
    l.q_shape = shape;
    CHECK_THROWS(TrainingFailure, learn(l, none, Qlearner::learn_single_episode_forward_Q, rng));
  }
  l.q_shape = {1ull << 40, 0};
  CHECK(learn(l, none, Qlearner::learn_single_episode_forward_Q, rng).values.empty());
  // A bound whose history of sums could not be sized is refused up front.
  l.q_shape = {1, 1};
  l.max_iterations = (1ull << 60) + 1;
  CHECK_THROWS(TrainingFailure, learn(l, counting_episodes, Qlearner::learn_single_episode_forward_Q, rng));
}

CHECK_MAIN

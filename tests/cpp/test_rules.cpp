// The three update rules on hand-worked numbers, their index checks and
// their treatment of NaN and infinite entries.
#include <cmath>
#include <cstdio>
#include <limits>

#include "check.h"
#include "episodes.h"
#include "qlearning/qlearner.h"
#include "support/failure.h"

using namespace tarnel;

namespace {

Qlearner learner(double gamma, double alpha) {
  Qlearner l;
  l.discount_factor = gamma;
  l.learning_rate = alpha;
  return l;
}

Transition step(std::uint64_t s, std::uint64_t a, double r, std::uint64_t next, bool done) {
  return {s, a, r, next, done};
}

constexpr double lowest = std::numeric_limits<double>::lowest();
constexpr double inf = std::numeric_limits<double>::infinity();
const double not_a_number = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(forward_worked_example) {
  QTable q = zero_q_table({3, 2});
  apply(Qlearner::learn_single_episode_forward_Q, learner(0.9, 0.5), q,
        {{step(0, 1, 1.0, 1, false), step(1, 0, 2.0, 2, true)}});
  CHECK_BITS(q.at(0, 1), 0.5);
  CHECK_BITS(q.at(1, 0), 1.0);
  CHECK_EQ(q.values.size(), 6u);
}

TEST(forward_row_maximum_skips_nan_and_floors_at_lowest) {
  // Row s' = 1 of a 2 x 2 table; the update of (0, 0) with gamma 1, alpha 1
  // writes r + m, so the entry shows m.
  const struct {
    double row[2];
    double m;
  } cases[] = {{{not_a_number, -3.0}, -3.0},
               {{-inf, -inf}, lowest},
               {{not_a_number, not_a_number}, lowest},
               {{2.0, 5.0}, 5.0},
               {{inf, 1.0}, inf}};
  for (const auto& c : cases) {
    QTable q = zero_q_table({2, 2});
    q.at(1, 0) = c.row[0];
    q.at(1, 1) = c.row[1];
    apply(Qlearner::learn_single_episode_forward_Q, learner(1.0, 1.0), q, {{step(0, 0, 0.0, 1, false)}});
    CHECK_BITS(q.at(0, 0), c.m);
  }
}

TEST(backward_worked_example) {
  QTable q = zero_q_table({3, 1});
  apply(Qlearner::learn_single_episode_backward_TD, learner(0.9, 0.5), q,
        {{step(0, 0, 1, 9, false), step(1, 0, 2, 9, false), step(2, 0, 3, 9, true)}});
  CHECK_BITS(q.at(1, 0), 1.5);
  CHECK_BITS(q.at(0, 0), 0.5 * (3 * 0.9 + 2));
  CHECK_BITS(q.at(2, 0), 0.0);
}

TEST(backward_checks_all_but_the_last_transition) {
  QTable q = zero_q_table({2, 2});
  // A single transition changes nothing, whatever it holds.
  apply(Qlearner::learn_single_episode_backward_TD, learner(0.9, 0.5), q, {{step(99, 99, 5, 99, true)}});
  // A bad last transition is not checked.
  apply(Qlearner::learn_single_episode_backward_TD, learner(0.9, 0.5), q,
        {{step(0, 0, 1, 0, false), step(99, 99, 1, 99, true)}});
  CHECK_BITS(q.at(0, 0), 0.5);
  CHECK_THROWS(TrainingFailure, apply(Qlearner::learn_single_episode_backward_TD, learner(0.9, 0.5), q,
                                      {{step(5, 0, 1, 0, false), step(0, 0, 1, 0, true)}}));
  CHECK_THROWS(TrainingFailure, apply(Qlearner::learn_single_episode_backward_TD, learner(0.9, 0.5), q, {}));
}

// One update of entry (s, 0) on a table whose row s or s' holds `row`.
TEST(one_step_rules_read_their_row_as_it_is_when_the_update_starts) {
  const struct {
    const char* what;
    const RuleDescriptor& rule;
    QShape shape;
    double row[2];  // row 1, or row 0 of a one-state table
    Transition t;
    double gamma, alpha, expected;
  } cases[] = {
      // target = 0 + max(4, 1) * 0.5 = 2; new = (2 - 4) * 0.5 + 4 = 3: the
      // next state's row is read after old, when it is the same state.
      {"forward, next state = state",
       Qlearner::learn_single_episode_forward_Q,
       {1, 2},
       {4.0, 1.0},
       step(0, 0, 0.0, 0, false),
       0.5,
       0.5,
       3.0},
      // The mean of its own row (2 and 4), not of the next state's; the next
      // state is far out of range and neither read nor checked.
      {"expected SARSA, own row",
       Qlearner::learn_single_episode_expected_sarsa,
       {2, 2},
       {2.0, 4.0},
       step(1, 0, 1.0, 1000000, false),
       1.0,
       1.0,
       4.0},
  };
  for (const auto& c : cases) {
    std::fprintf(stderr, "  case %s\n", c.what);
    QTable q = zero_q_table(c.shape);
    const std::uint64_t s = c.shape.first - 1;
    q.at(s, 0) = c.row[0];
    q.at(s, 1) = c.row[1];
    apply(c.rule, learner(c.gamma, c.alpha), q, {{c.t}});
    CHECK_BITS(q.at(c.t.state, c.t.action), c.expected);
  }
}

TEST(expected_sarsa_single_state_row_adds_in_table_sum_order) {
  // Nine actions in one contiguous row: the first eight go to partial sums,
  // so 1e16 + 1 + ... differs from a left-to-right sum.
  QTable q = zero_q_table({1, 9});
  const double row[9] = {1e16, 1.0, 1.0, 1.0, -1e16, 1.0, 1.0, 1.0, 1.0};
  for (std::uint64_t a = 0; a < 9; ++a) q.at(0, a) = row[a];
  const double partial = (1e16 + -1e16) + (1.0 + 1.0) + (1.0 + 1.0) + (1.0 + 1.0);
  const double mean = (0.0 + partial + 1.0) / 9.0;
  apply(Qlearner::learn_single_episode_expected_sarsa, learner(1.0, 1.0), q, {{step(0, 1, 0.0, 0, false)}});
  CHECK_BITS(q.at(0, 1), (mean - 1.0) * 1.0 + 1.0);
}

TEST(index_checks_of_every_rule) {
  for (const RuleDescriptor* rule :
       {&Qlearner::learn_single_episode_forward_Q, &Qlearner::learn_single_episode_expected_sarsa}) {
    QTable q = zero_q_table({3, 2});
    CHECK_THROWS(TrainingFailure, apply(*rule, learner(0.9, 0.5), q, {{step(3, 0, 1, 0, true)}}));
    CHECK_THROWS(TrainingFailure, apply(*rule, learner(0.9, 0.5), q, {{step(0, 2, 1, 0, true)}}));
    // A terminal transition's next state is never checked.
    apply(*rule, learner(0.9, 0.5), q, {{step(0, 0, 1, 1000000000, true)}});
    CHECK_BITS(q.at(0, 0), 0.5);
    QTable no_actions = zero_q_table({3, 0});
    CHECK_THROWS(TrainingFailure, apply(*rule, learner(0.9, 0.5), no_actions, {{step(0, 0, 1, 0, true)}}));
    // Empty episodes change nothing.
    apply(*rule, learner(0.9, 0.5), q, {});
  }
  QTable q = zero_q_table({3, 2});
  CHECK_THROWS(TrainingFailure, apply(Qlearner::learn_single_episode_forward_Q, learner(0.9, 0.5), q,
                                      {{step(0, 0, 1, 3, false)}}));
  apply(Qlearner::learn_single_episode_expected_sarsa, learner(0.9, 0.5), q, {{step(0, 0, 1, 3, false)}});
}

CHECK_MAIN

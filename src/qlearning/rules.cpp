// The three episode update rules. Each is one pass over an episode that
// writes the table in place, so later transitions of the same episode see
// the entries written by earlier ones.
#include <cstdint>
#include <limits>
#include <string>

#include "qlearning/qlearner.h"
#include "support/failure.h"
#include "support/table_sum.h"

namespace tarnel {

namespace {

[[noreturn]] void state_out_of_bounds(const char* what, std::uint64_t index, const QTable& q) {
  fail(std::string("index out of bounds: ") + what + " " + std::to_string(index) +
       " is not below the number of states, " + std::to_string(q.states));
}

[[noreturn]] void action_out_of_bounds(std::uint64_t index, const QTable& q) {
  fail("index out of bounds: action " + std::to_string(index) +
       " is not below the number of actions, " + std::to_string(q.actions));
}

// The checks every rule makes on the entry it writes, state before action.
inline void check_entry(const QTable& q, const Transition& t) {
  if (t.state >= q.states) [[unlikely]] state_out_of_bounds("state", t.state, q);
  if (t.action >= q.actions) [[unlikely]] action_out_of_bounds(t.action, q);
}

// Largest entry of row s, starting from the most negative finite double (not
// -inf) and replacing only on a strictly greater entry, so NaN entries are
// skipped and a row of NaN or -inf gives -DBL_MAX.
inline double row_maximum(const QTable& q, std::uint64_t s) {
  double m = std::numeric_limits<double>::lowest();
  const double* entry = q.values.data() + s;
  for (std::uint64_t a = 0; a < q.actions; ++a, entry += q.states) {
    if (*entry > m) m = *entry;
  }
  return m;
}

}  // namespace

void Qlearner::learn_single_episode_forward_Q(const Qlearner& learner, QTable& q,
                                              const Episode& episode) {
  const double gamma = learner.discount_factor;
  const double alpha = learner.learning_rate;
  for (const Transition& t : episode.transitions) {
    check_entry(q, t);
    double& entry = q.at(t.state, t.action);
    const double old = entry;
    double target = t.reward;
    if (!t.done) {
      if (t.next_state >= q.states) [[unlikely]] state_out_of_bounds("next state", t.next_state, q);
      target = t.reward + row_maximum(q, t.next_state) * gamma;
    }
    entry = (target - old) * alpha + old;
  }
}

void Qlearner::learn_single_episode_backward_TD(const Qlearner& learner, QTable& q,
                                                const Episode& episode) {
  const auto& transitions = episode.transitions;
  if (transitions.empty()) {
    fail("index out of range: the backward rule reads the last transition of an episode, "
         "but the episode has length 0");
  }
  const double gamma = learner.discount_factor;
  const double alpha = learner.learning_rate;
  const double keep = 1.0 - alpha;
  // The return carried backwards starts from the last reward; the last
  // transition's own entry is never updated.
  double g = transitions.back().reward;
  for (std::size_t k = transitions.size() - 1; k-- > 0;) {
    const Transition& t = transitions[k];
    check_entry(q, t);
    double& entry = q.at(t.state, t.action);
    entry = alpha * g + entry * keep;
    g = g * gamma + t.reward;
  }
}

void Qlearner::learn_single_episode_expected_sarsa(const Qlearner& learner, QTable& q,
                                                   const Episode& episode) {
  const double gamma = learner.discount_factor;
  const double alpha = learner.learning_rate;
  const double n_actions = static_cast<double>(q.actions);
  for (const Transition& t : episode.transitions) {
    check_entry(q, t);
    double& entry = q.at(t.state, t.action);
    const double old = entry;
    double target = t.reward;
    if (!t.done) {
      // The row of the transition's own state. It is contiguous only when
      // the table has a single state, and then it adds in the table sum's
      // order; otherwise one entry at a time in action order.
      double row_sum = 0.0;
      if (q.states == 1) {
        row_sum = table_sum(q.values.data(), q.actions);
      } else {
        const double* x = q.values.data() + t.state;
        for (std::uint64_t a = 0; a < q.actions; ++a, x += q.states) row_sum += *x;
      }
      target = t.reward + (row_sum / n_actions) * gamma;
    }
    entry = (target - old) * alpha + old;
  }
}

}  // namespace tarnel

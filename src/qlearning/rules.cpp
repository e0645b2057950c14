// The passes of the three episode update rules.
#include "qlearning/rules.h"

#include <cstdint>
#include <limits>

#include "qlearning/action_count.h"
#include "qlearning/index_checks.h"
#include "qlearning/qlearner.h"
#include "support/failure.h"
#include "support/table_sum.h"

namespace tarnel {

namespace {

// A randomly picked episode is rarely in cache. Asking for its first cache
// lines all at once lets them arrive together instead of one miss at a time
// as the loop reaches them; the hardware's stream prefetch carries on from
// there. Prefetches have no visible effect.
inline void prefetch_transitions(const Episode& episode) {
  constexpr std::size_t line = 64;
  constexpr std::size_t most_bytes = 64 * line;
  const auto* p = reinterpret_cast<const char*>(episode.transitions.data());
  const std::size_t bytes = episode.transitions.size() * sizeof(Transition);
  const char* const end = p + (bytes < most_bytes ? bytes : most_bytes);
  for (; p < end; p += line) __builtin_prefetch(p);
}

// Forward Q and expected SARSA differ only in the value a non-terminal
// transition bootstraps from, `row_value(t)`; the checks, the order of the
// arithmetic and the write are this one loop. The row value is computed
// after `old` is read: when it reads the written entry's own row, it still
// holds old at column a.
template <typename RowValue>
inline void one_step_pass(const Qlearner& learner, QTable& q, const Episode& episode, RowValue row_value) {
  const double gamma = learner.discount_factor;
  const double alpha = learner.learning_rate;
  // Local copies: the stores into the table cannot change them, and the
  // compiler need not reload them for every transition.
  double* const values = q.values.data();
  const std::uint64_t states = q.states;
  prefetch_transitions(episode);
  for (const Transition& t : episode.transitions) {
    check_entry(q, t);
    double& entry = values[t.state + t.action * states];
    const double old = entry;
    double target = t.reward;
    if (!t.done) target = t.reward + row_value(t) * gamma;
    entry = (target - old) * alpha + old;
  }
}

// The largest entry of row s, starting from the most negative finite double
// (not -inf) and replacing only on a strictly greater entry, so NaN entries
// are skipped and a row of NaN or -inf gives -DBL_MAX.
template <std::uint64_t kActions>
inline double row_maximum(const QTable& q, std::uint64_t s) {
  double m = std::numeric_limits<double>::lowest();
  const double* x = q.values.data() + s;
  for (std::uint64_t a = 0; a < action_count<kActions>(q); ++a, x += q.states) {
    if (*x > m) m = *x;
  }
  return m;
}

// Mean of row s. The row is contiguous only when the table has a single
// state, and then it adds in the table sum's order; otherwise one entry at
// a time in action order. (Dividing by a constant power of two the compiler
// multiplies by its exact reciprocal, which gives the same result.)
template <std::uint64_t kActions>
inline double row_mean(const QTable& q, std::uint64_t s) {
  double row_sum = 0.0;
  if (q.states == 1) {
    row_sum = table_sum(q.values.data(), q.actions);
  } else {
    const double* x = q.values.data() + s;
    for (std::uint64_t a = 0; a < action_count<kActions>(q); ++a, x += q.states) row_sum += *x;
  }
  return row_sum / static_cast<double>(action_count<kActions>(q));
}

}  // namespace

void forward_Q_pass(const Qlearner& learner, QTable& q, const Episode& episode) {
  with_action_count(q.actions, [&](auto n) {
    one_step_pass(learner, q, episode, [&q](const Transition& t) {
      check_next_state(q, t);
      return row_maximum<decltype(n)::value>(q, t.next_state);
    });
  });
}

void expected_sarsa_pass(const Qlearner& learner, QTable& q, const Episode& episode) {
  with_action_count(q.actions, [&](auto n) {
    one_step_pass(learner, q, episode,
                  [&q](const Transition& t) { return row_mean<decltype(n)::value>(q, t.state); });
  });
}

void backward_TD_pass(const Qlearner& learner, QTable& q, const Episode& episode) {
  const auto& transitions = episode.transitions;
  if (transitions.empty()) {
    fail("index out of range: the backward rule reads the last transition of an episode, "
         "but the episode has length 0");
  }
  prefetch_transitions(episode);
  const double gamma = learner.discount_factor;
  const double alpha = learner.learning_rate;
  const double keep = 1.0 - alpha;
  double* const values = q.values.data();
  const std::uint64_t states = q.states;
  // The return carried backwards starts from the last reward; the last
  // transition's own entry is never updated.
  double g = transitions.back().reward;
  for (std::size_t k = transitions.size() - 1; k-- > 0;) {
    const Transition& t = transitions[k];
    check_entry(q, t);
    double& entry = values[t.state + t.action * states];
    entry = alpha * g + entry * keep;
    g = g * gamma + t.reward;
  }
}

}  // namespace tarnel

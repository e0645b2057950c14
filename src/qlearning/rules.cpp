// The three episode update rules. Each is one pass over an episode that
// writes the table in place, so later transitions of the same episode see
// the entries written by earlier ones.
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

#include "qlearning/index_checks.h"
#include "qlearning/qlearner.h"
#include "support/failure.h"
#include "support/table_sum.h"

namespace tarnel {

void state_out_of_bounds(const char* what, std::uint64_t index, const QTable& q) {
  fail(std::string("index out of bounds: ") + what + " " + std::to_string(index) +
       " is not below the number of states, " + std::to_string(q.states));
}

void action_out_of_bounds(std::uint64_t index, const QTable& q) {
  fail("index out of bounds: action " + std::to_string(index) +
       " is not below the number of actions, " + std::to_string(q.actions));
}

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

// Row loops are short: with the action count a compile-time constant
// (kActions > 0) they unroll completely. The order of the operations is
// the same either way.
template <std::uint64_t kActions>
inline std::uint64_t action_count(const QTable& q) {
  return kActions > 0 ? kActions : q.actions;
}

// Mean of row s for expected SARSA. The row is contiguous only when the
// table has a single state, and then it adds in the table sum's order;
// otherwise one entry at a time in action order. (Dividing by a constant
// power of two the compiler multiplies by its exact reciprocal, which gives
// the same result.)
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

template <std::uint64_t kActions>
void forward_pass(const Qlearner& learner, QTable& q, const Episode& episode) {
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
    if (!t.done) {
      if (t.next_state >= states) [[unlikely]] state_out_of_bounds("next state", t.next_state, q);
      // The largest entry of row s', starting from the most negative finite
      // double (not -inf) and replacing only on a strictly greater entry, so
      // NaN entries are skipped and a row of NaN or -inf gives -DBL_MAX. The
      // row is read after `old`: when s' == s it still holds old at column a.
      double m = std::numeric_limits<double>::lowest();
      const double* x = values + t.next_state;
      for (std::uint64_t a = 0; a < action_count<kActions>(q); ++a, x += states) {
        if (*x > m) m = *x;
      }
      target = t.reward + m * gamma;
    }
    entry = (target - old) * alpha + old;
  }
}

template <std::uint64_t kActions>
void expected_sarsa_pass(const Qlearner& learner, QTable& q, const Episode& episode) {
  const double gamma = learner.discount_factor;
  const double alpha = learner.learning_rate;
  double* const values = q.values.data();
  const std::uint64_t states = q.states;
  prefetch_transitions(episode);
  for (const Transition& t : episode.transitions) {
    check_entry(q, t);
    double& entry = values[t.state + t.action * states];
    const double old = entry;
    double target = t.reward;
    if (!t.done) target = t.reward + row_mean<kActions>(q, t.state) * gamma;
    entry = (target - old) * alpha + old;
  }
}

// Runs `pass` with the table's action count as a compile-time constant for
// the common small counts, and with 0 (read at run time) otherwise.
template <typename Pass>
void with_action_count(std::uint64_t actions, Pass pass) {
  using std::integral_constant;
  switch (actions) {
    case 1: return pass(integral_constant<std::uint64_t, 1>{});
    case 2: return pass(integral_constant<std::uint64_t, 2>{});
    case 3: return pass(integral_constant<std::uint64_t, 3>{});
    case 4: return pass(integral_constant<std::uint64_t, 4>{});
    case 5: return pass(integral_constant<std::uint64_t, 5>{});
    case 6: return pass(integral_constant<std::uint64_t, 6>{});
    case 7: return pass(integral_constant<std::uint64_t, 7>{});
    case 8: return pass(integral_constant<std::uint64_t, 8>{});
    default: return pass(integral_constant<std::uint64_t, 0>{});
  }
}

}  // namespace

void Qlearner::learn_single_episode_forward_Q(const Qlearner& learner, QTable& q,
                                              const Episode& episode) {
  with_action_count(q.actions, [&](auto n) { forward_pass<decltype(n)::value>(learner, q, episode); });
}

void Qlearner::learn_single_episode_backward_TD(const Qlearner& learner, QTable& q,
                                                const Episode& episode) {
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

void Qlearner::learn_single_episode_expected_sarsa(const Qlearner& learner, QTable& q,
                                                   const Episode& episode) {
  with_action_count(q.actions,
                    [&](auto n) { expected_sarsa_pass<decltype(n)::value>(learner, q, episode); });
}

}  // namespace tarnel

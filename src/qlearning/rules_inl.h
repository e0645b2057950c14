// The passes of the three episode update rules, in a header so that every
// driver, specialised on its rule, has the pass inlined into its loop: the
// call and the reloads around it cost as much as a short episode's
// arithmetic.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>

#include "qlearning/action_count.h"
#include "qlearning/qlearner.h"
#include "qlearning/rejected.h"
#include "qlearning/rules.h"
#include "support/failure.h"
#include "support/prefetch.h"
#include "support/table_sum.h"

namespace tarnel {

// Out of line (rules.cpp): the pass stays small enough to inline.
[[noreturn]] void fail_empty_episode(std::uint64_t position);

namespace rule_steps {

// A randomly picked episode of a large list is rarely in cache. Asking for
// its first cache lines all at once lets them arrive together instead of
// one miss at a time as the loop reaches them; the hardware's stream
// prefetch carries on from there. Prefetches have no visible effect.
template <typename Steps>
inline void prefetch_steps(const Steps& steps) {
  if (!steps.episode.far) return;
  prefetch_lines(steps.items.data(), steps.items.size_bytes());
}

// The table as the row loops read it, in locals: the stores into the table
// cannot change them, so they are not reloaded for every transition. Every
// loop over a table's entries holds what it reads of the table this way.
struct Rows {
  const double* values;
  std::uint64_t states;
  std::uint64_t actions;
};

// Forward Q and expected SARSA differ only in the value a non-terminal
// transition bootstraps from, `row_value(row)`; the order of the arithmetic
// and the write are this one loop, for both kinds of episode. The row
// value is computed after `old` is read: when it reads the written entry's
// own row, it still holds old at column a.
template <typename Steps, typename RowValue>
[[gnu::always_inline]] inline void one_step_pass(const Qlearner& learner, QTable& q, const Steps& steps,
                                                 RowValue row_value) {
  const double gamma = learner.discount_factor;
  const double alpha = learner.learning_rate;
  double* const values = q.values.data();  // a local, as Rows holds it
  prefetch_steps(steps);
  for (const auto& item : steps.items) {
    const auto& step = steps.read(item);
    double& entry = values[step.entry];
    const double old = entry;
    double target = step.reward;
    if (step.row != step.terminal) target = step.reward + row_value(step.row) * gamma;
    entry = (target - old) * alpha + old;
  }
}

// The return carried backwards starts from the last reward; the last
// transition's own entry is never updated, and nothing else of it is read.
template <typename Steps>
[[gnu::always_inline]] inline void backward_pass(const Qlearner& learner, QTable& q, const Steps& steps) {
  const auto items = steps.items;
  if (items.empty()) fail_empty_episode(steps.episode.position());
  prefetch_steps(steps);
  const double gamma = learner.discount_factor;
  const double alpha = learner.learning_rate;
  const double keep = 1.0 - alpha;
  double* const values = q.values.data();
  double g = items.back().reward;
#if defined(__clang__)
#pragma clang loop unroll(disable)
#endif
  for (std::size_t k = items.size() - 1; k-- > 0;) {
    const auto& step = steps.read(items[k]);
    double& entry = values[step.entry];
    entry = alpha * g + entry * keep;
    g = g * gamma + step.reward;
  }
}

// The largest entry of row s, starting from the most negative finite double
// (not -inf) and replacing only on a strictly greater entry, so NaN entries
// are skipped and a row of NaN or -inf gives -DBL_MAX.
template <std::uint64_t kActions>
inline double row_maximum(Rows t, std::uint64_t s) {
  const std::uint64_t n = action_count<kActions>(t.actions);
  double m = std::numeric_limits<double>::lowest();
  const double* x = t.values + s;
  for (std::uint64_t a = 0; a < n; ++a, x += t.states) {
    if (*x > m) m = *x;
  }
  return m;
}

// Mean of row s, one entry at a time in action order. (Dividing by a
// constant power of two the compiler multiplies by its exact reciprocal,
// which gives the same result.)
template <std::uint64_t kActions>
inline double row_mean(Rows t, std::uint64_t s) {
  const std::uint64_t n = action_count<kActions>(t.actions);
  double row_sum = 0.0;
  const double* x = t.values + s;
  for (std::uint64_t a = 0; a < n; ++a, x += t.states) row_sum += *x;
  return row_sum / static_cast<double>(n);
}

// The mean of a one-state table's only row, which is contiguous and the
// whole table: it is added as the table sum adds it, so that the mean is
// that state's table sum over n. The two orders can differ in the last bit,
// so the order is part of the result. A loop of its own, chosen per
// episode: a call inside the common loop would make the compilers keep its
// values in memory around it.
inline double one_state_mean(Rows t) {
  return table_sum(t.values, t.actions) / static_cast<double>(t.actions);
}

// Forward Q bootstraps from the maximum of the row it reads, expected SARSA
// from its mean; the row loops take the action count as a constant.
template <bool mean, typename Steps>
[[gnu::always_inline]] inline void bootstrapping_pass(const Qlearner& learner, QTable& q,
                                                      const Steps& steps) {
  const Rows rows{q.values.data(), q.states, q.actions};
  if constexpr (mean) {
    if (rows.states == 1) [[unlikely]] {
      one_step_pass(learner, q, steps, [rows](std::uint64_t) { return one_state_mean(rows); });
      return;
    }
  }
  with_action_count(q.actions, [&](auto n) {
    constexpr std::uint64_t k = decltype(n)::value;
    one_step_pass(learner, q, steps, [rows](std::uint64_t row) {
      if constexpr (mean) {
        return row_mean<k>(rows, row);
      } else {
        return row_maximum<k>(rows, row);
      }
    });
  });
}

}  // namespace rule_steps

template <typename Index>
void forward_Q_pass(const Qlearner& learner, QTable& q, CompactEpisode<Index> episode) {
  with_steps<RowRead::next_state>(q, episode, [&](const auto& steps) __attribute__((always_inline)) {
    rule_steps::bootstrapping_pass<false>(learner, q, steps);
  });
}

template <typename Index>
void expected_sarsa_pass(const Qlearner& learner, QTable& q, CompactEpisode<Index> episode) {
  with_steps<RowRead::own_state>(q, episode, [&](const auto& steps) __attribute__((always_inline)) {
    rule_steps::bootstrapping_pass<true>(learner, q, steps);
  });
}

template <typename Index>
void backward_TD_pass(const Qlearner& learner, QTable& q, CompactEpisode<Index> episode) {
  with_steps<RowRead::none>(q, episode, [&](const auto& steps) __attribute__((always_inline)) {
    rule_steps::backward_pass(learner, q, steps);
  });
}

}  // namespace tarnel

// The convergence driver: forward Q-learning by random replay until, at a
// checkpoint, one update has moved no entry by more than 1e-8.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <string>
#include <variant>

#include "qlearning/pick_ahead.h"
#include "qlearning/progress.h"
#include "qlearning/qlearner.h"
#include "qlearning/rules_inl.h"
#include "qlearning/schedule.h"
#include "support/failure.h"
#include "support/table_sum.h"

namespace tarnel {

namespace {

constexpr double tolerance = 1e-8;

// Mean of |a - b| over all entries, added in storage order from 0.0 and
// divided by the entry count. The previous table is always a copy of the
// current one's shape, so only an empty table can make this undefined.
double mean_absolute_difference(const QTable& a, const QTable& b) {
  if (a.values.empty()) {
    fail("empty input: the mean absolute difference of a Q table of shape (" + std::to_string(a.states) +
         ", " + std::to_string(a.actions) + ") is undefined, the table has no entries");
  }
  double total = 0.0;
  for (std::size_t k = 0; k < a.values.size(); ++k) total += std::abs(a.values[k] - b.values[k]);
  return total / (static_cast<double>(a.states) * static_cast<double>(a.actions));
}

// Written so that a NaN difference (a NaN entry, or the same infinity on both
// sides) counts as a change.
bool approximately_equal(const QTable& a, const QTable& b) {
  for (std::size_t k = 0; k < a.values.size(); ++k) {
    if (!(std::abs(a.values[k] - b.values[k]) <= tolerance)) return false;
  }
  return true;
}

// Flattened, as `learn` is (learn.h).
template <typename List>
[[gnu::flatten]] QTable learn_until_convergence_on(const Qlearner& learner, List& episodes, Rng& rng) {
  assert(episodes.built_for(learner.q_shape, RowRead::next_state));
  QTable q = zero_q_table(learner.q_shape);
  const std::size_t entries = q.values.size();
  // The table one update earlier is only ever read at a checkpoint, so it is
  // refreshed just before each checkpoint's update rather than after every
  // iteration: an ordinary iteration then costs nothing in the table's size.
  QTable previous = q;
  PickAhead picks(episodes, rng, learner.max_iterations, q);
  for (std::uint64_t i = 0; i < learner.max_iterations; ++i) {
    const auto episode = picks.next();
    const bool checkpoint = is_checkpoint(i);
    if (checkpoint) std::copy(q.values.begin(), q.values.end(), previous.values.begin());
    forward_Q_pass(learner, q, episode);
    if (!checkpoint) continue;
    // The empty-table failure must come before anything is printed.
    const double e = mean_absolute_difference(q, previous);
    const double p = table_sum(previous.values.data(), entries);
    const double d = table_sum(q.values.data(), entries) - p;
    write_checkpoint_line(i, e, p, d);
    if (approximately_equal(q, previous)) break;
  }
  return q;
}

}  // namespace

QTable Qlearner::learn_until_convergence(const CompactEpisodeList& episodes, Rng& rng) const {
  return std::visit([&](const auto& list) { return learn_until_convergence_on(*this, list, rng); }, episodes);
}

QTable Qlearner::learn_until_convergence(TableEpisodeList& episodes, Rng& rng) const {
  return std::visit([&](auto& list) { return learn_until_convergence_on(*this, list, rng); }, episodes);
}

}  // namespace tarnel

// The fast driver: forward Q-learning by random replay, with the table summed
// only at checkpoints and the two latest checkpoint sums compared from the
// first check on.
#include <cassert>
#include <cstdint>
#include <variant>

#include "qlearning/pick_ahead.h"
#include "qlearning/progress.h"
#include "qlearning/qlearner.h"
#include "qlearning/rules_inl.h"
#include "qlearning/schedule.h"
#include "support/table_sum.h"

namespace tarnel {

namespace {

// Flattened, as `learn` is (learn.h).
template <typename List>
[[gnu::flatten]] QTable fast_learn_on(const Qlearner& learner, List& episodes, Rng& rng) {
  assert(episodes.built_for(learner.q_shape, RowRead::next_state));
  QTable q = zero_q_table(learner.q_shape);
  const std::size_t entries = q.values.size();
  // A test only ever reads this checkpoint's sum and the one a period
  // earlier, so those two are all that is kept: nothing here grows with
  // max_iterations.
  double previous_sum = 0.0;
  PickAhead picks(episodes, rng, learner.max_iterations, q);
  for (std::uint64_t i = 0; i < learner.max_iterations; ++i) {
    forward_Q_pass(learner, q, picks.next());
    if (!is_checkpoint(i)) continue;
    const double sum = table_sum(q.values.data(), entries);
    if (is_check(i)) {
      const double d = (sum - previous_sum) / previous_sum;
      if (learner.verbose) write_progress_line(i, sum, d);
      if (stops(learner.quit_threshold, d)) break;
    }
    previous_sum = sum;
  }
  return q;
}

}  // namespace

QTable Qlearner::fast_learn(const CompactEpisodeList& episodes, Rng& rng) const {
  return std::visit([&](const auto& list) { return fast_learn_on(*this, list, rng); }, episodes);
}

QTable Qlearner::fast_learn(TableEpisodeList& episodes, Rng& rng) const {
  return std::visit([&](auto& list) { return fast_learn_on(*this, list, rng); }, episodes);
}

}  // namespace tarnel

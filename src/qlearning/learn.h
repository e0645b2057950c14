// The sequential driver `learn` and the parallel forward driver
// `learn_parallel`, specialised on their rule. The module's rules are built
// once, in learn.cpp; a test includes this to specialise them on its own.
//
// `learn`: random replay of episodes with one update rule, a table sum after
// every iteration, and from the first check on a comparison of the means of
// the last two windows of those sums, one check period each.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "qlearning/batched_sums.h"
#include "qlearning/pick_ahead.h"
#include "qlearning/progress.h"
#include "qlearning/qlearner.h"
#include "qlearning/rules_inl.h"
#include "qlearning/schedule.h"
#include "qlearning/window_means.h"
#include "qlearning/worker_group.h"
#include "support/failure.h"
#include "support/table_sum.h"

namespace tarnel {

namespace driver {

// What `learn` does at a check, the table being exactly as it was after
// iteration i: prints the line, and says whether the call stops there.
struct Checks {
  const Qlearner& learner;
  WindowMeans windows;

  bool stop_at(std::uint64_t i, double sum) const {
    const double d = windows.relative_change();
    if (learner.verbose) write_progress_line(i, sum, d);
    return stops(learner.quit_threshold, d);
  }
};

// A small table, summed after every iteration. The loop holds nothing else:
// on short episodes an iteration is a few dozen nanoseconds, and the
// batches' bookkeeping around it cost a tenth of that.
template <const RuleDescriptor& rule, typename Picks>
[[gnu::flatten]] void learn_summing_each(const Qlearner& learner, QTable& q, Picks& picks, Checks& checks) {
  using Index = typename Picks::Record::Index;
  constexpr RulePass<Index> pass = rule.template pass<Index>();
  const double* const values = q.values.data();
  const std::size_t entries = q.values.size();
  std::uint64_t check = next_check(0);
  for (std::uint64_t i = 0; i < learner.max_iterations; ++i) {
    pass(learner, q, picks.next());
    const double sum = table_sum(values, entries);
    if (i == check) {
      check = next_check(i + 1);
      if (checks.stop_at(i, sum)) return;
    }
    checks.windows.add(sum);
  }
}

// A large table, summed up to table_versions iterations at a time. A batch
// never runs past a check, so a stop at a check leaves the table exactly as
// it was after that iteration, and a rule failing inside a batch fails
// before anything of that batch would have been printed. Picks are drawn in
// the same order as by learn_summing_each.
template <const RuleDescriptor& rule, typename Picks>
[[gnu::flatten]] void learn_in_batches(const Qlearner& learner, QTable& q, Picks& picks, Checks& checks) {
  using Index = typename Picks::Record::Index;
  constexpr RulePass<Index> pass = rule.template pass<Index>();
  const std::uint64_t max_iterations = learner.max_iterations;
  BatchedSums batch(q, rule.writes);
  // Saving many more entries than the table has blocks would cost more
  // than the shared pass saves.
  const std::size_t most_saved = q.values.size() / 32;
  double sums[table_versions];
  for (std::uint64_t i = 0; i < max_iterations;) {
    const std::uint64_t last = std::min({max_iterations - 1, i + table_versions - 1, next_check(i)});
    std::size_t versions = 0;
    for (;;) {
      const CompactEpisode<Index> episode = picks.next();
      batch.save(episode, versions);
      pass(learner, q, episode);
      ++versions;
      if (i + versions - 1 == last || batch.saved() > most_saved) break;
    }
    batch.sums(versions, sums);
    for (std::size_t t = 0; t < versions; ++t, ++i) {
      if (is_check(i) && checks.stop_at(i, sums[t])) return;
      checks.windows.add(sums[t]);
    }
  }
}

// Each loop is flattened: everything it calls is inlined into it, the
// pick, the rule's pass and its choice of action count included. On short
// episodes an iteration is little more than a pick and a few transitions,
// and a call per pass, with the choice and the reloads around it, cost a
// third of it. Flattened in a function of its own: clang does not flatten
// what it inlined into the function being flattened, so a loop inlined into
// learn_on called the pass, at a third more time per iteration.
template <const RuleDescriptor& rule, typename List>
QTable learn_on(const Qlearner& learner, List& episodes, Rng& rng) {
  assert(episodes.built_for(learner.q_shape, rule.reads));
  const std::uint64_t max_iterations = learner.max_iterations;
  QTable q = zero_q_table(learner.q_shape);
  // No history of sums is stored (window_means.h), but a bound whose
  // history of sums could not even be sized is refused.
  constexpr std::uint64_t max_history =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / sizeof(double);
  if (max_iterations > max_history) {
    fail("a history of " + std::to_string(max_iterations) +
         " table sums exceeds the largest possible allocation");
  }
  Checks checks{learner, {}};
  PickAhead picks(episodes, rng, max_iterations, q);
  if (q.values.size() < batched_sum_threshold) {
    learn_summing_each<rule>(learner, q, picks, checks);
  } else {
    learn_in_batches<rule>(learner, q, picks, checks);
  }
  return q;
}

}  // namespace driver

template <const RuleDescriptor& rule>
QTable Qlearner::learn(const CompactEpisodeList& episodes, Rng& rng) const {
  return std::visit([&](const auto& list) { return driver::learn_on<rule>(*this, list, rng); }, episodes);
}

template <const RuleDescriptor& rule>
QTable Qlearner::learn(TableEpisodeList& episodes, Rng& rng) const {
  return std::visit([&](auto& list) { return driver::learn_on<rule>(*this, list, rng); }, episodes);
}

template <const RuleDescriptor& rule>
TableStack Qlearner::learn_parallel(const CompactEpisodeList& episodes, std::uint64_t trainings) const {
  std::vector<QTable> tables;
  {
    WorkerGroup<QTable> workers;
    // The learner and the episode list are only read while the workers run,
    // so they are shared as they are, without a lock and without a copy.
    for (std::uint64_t k = 0; k < trainings; ++k) {
      workers.start([this, &episodes] { return learn<rule>(episodes); });
    }
    tables = workers.join_in_order();
  }
  return stack_tables(std::move(tables), q_shape);
}

}  // namespace tarnel

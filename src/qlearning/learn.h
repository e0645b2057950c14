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
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "qlearning/pick_ahead.h"
#include "qlearning/progress.h"
#include "qlearning/qlearner.h"
#include "qlearning/rules_inl.h"
#include "qlearning/schedule.h"
#include "qlearning/worker_group.h"
#include "support/failure.h"
#include "support/table_sum.h"

namespace tarnel {

namespace driver {

// Only the two most recent complete windows are ever compared, and the
// windows are aligned to multiples of the period, so only the sums of the
// window being filled are kept, and summed with the table sum when it is
// complete. The means are bit-identical to summing a stored history, and
// memory does not grow with max_iterations. A store per iteration is all
// `add` costs: on a small table an iteration takes a few dozen nanoseconds,
// and bookkeeping around it shows.
class WindowMeans {
 public:
  WindowMeans() : window_(check_period) {}
  void add(double sum) {
    window_[filled_] = sum;
    if (++filled_ == check_period) {
      older_ = recent_;
      recent_ = table_sum(window_.data(), check_period) / static_cast<double>(check_period);
      filled_ = 0;
    }
  }
  // Relative change of the last complete window against the one before.
  double relative_change() const { return (recent_ - older_) / older_; }

 private:
  std::vector<double> window_;
  std::size_t filled_ = 0;
  double recent_ = 0.0;
  double older_ = 0.0;
};

// The first check at or after iteration i.
inline std::uint64_t next_check(std::uint64_t i) {
  if (i <= first_check) return first_check;
  return (i + check_period - 1) / check_period * check_period;
}

// Table sums of a large table, several iterations at a time.
//
// A table sum is one chain of additions per lane, so on a large table it
// waits on the latency of every addition while the adders stand mostly idle.
// The sums of consecutive iterations are independent chains: computed side
// by side in one pass (table_sums), they cost little more than one. The
// driver runs up to table_versions iterations, keeping for each entry a rule
// is about to write its value before that iteration, then rebuilds the
// table after each of those iterations as the current table with some
// entries put back, and sums all of them at once. Every sum, and so every
// mean, d, printed line and stop, is bit-identical to summing after each
// iteration.
//
// The entries a rule writes are known before it runs: its descriptor names
// them. A transition whose entry lies outside the table makes the rule fail
// before the sums are needed, so it needs no saved value.

// Below this many entries a table sum is cheap next to an iteration's rule,
// and saving and sorting the written entries would cost more than it saves.
constexpr std::size_t batched_sum_threshold = 16384;

class BatchedSums {
 public:
  BatchedSums(const QTable& q, WriteSet writes) : q_(q), writes_(writes) {}

  // Saves the entries the rule will write in version t's iteration, as they
  // are before it. Call right before applying the rule. The offsets are in
  // the records; a rejected record (which makes the rule fail) has none.
  template <typename Index>
  void save(CompactEpisode<Index> episode, std::size_t t) {
    const auto records = episode.records;
    std::size_t end = records.size();
    if (writes_ == WriteSet::all_but_last && end > 0) --end;
    for (std::size_t k = 0; k < end; ++k) {
      const Index offset = records[k].entry;
      if (offset != CompactTransition<Index>::rejected) saved_.push_back({offset, t, q_.values[offset]});
    }
  }

  std::size_t saved() const { return saved_.size(); }

  // The sums of the tables after each of the `versions` iterations since the
  // last call; the current table is the last of them.
  void sums(std::size_t versions, double* out);

 private:
  struct Saved {
    std::size_t offset;
    std::size_t version;
    double value;
  };
  const QTable& q_;
  WriteSet writes_;
  std::vector<Saved> saved_;
  std::vector<TablePatch> patches_;
};

// Flattened: everything the loop calls is inlined into it, the rule's pass
// and its choice of action count included. On short episodes an iteration
// is little more than a pick and a few transitions, and a call per pass,
// with the choice and the reloads around it, cost a third of it.
template <const RuleDescriptor& rule, typename List>
[[gnu::flatten]] QTable learn_on(const Qlearner& learner, List& episodes, Rng& rng) {
  using Index = typename List::Record::Index;
  assert(episodes.built_for(learner.q_shape, rule.reads));
  constexpr RulePass<Index> pass = rule.template pass<Index>();
  const std::uint64_t max_iterations = learner.max_iterations;
  QTable q = zero_q_table(learner.q_shape);
  // The whole history of sums is no longer stored, but a bound whose history could not
  // even be sized is still refused, as it always was.
  constexpr std::uint64_t max_history =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / sizeof(double);
  if (max_iterations > max_history) {
    fail("a history of " + std::to_string(max_iterations) +
         " table sums exceeds the largest possible allocation");
  }
  WindowMeans windows;
  const std::size_t entries = q.values.size();
  PickAhead picks(episodes, rng, max_iterations, q);
  // At a check: whether the call stops there, with the table exactly as it
  // was after iteration i.
  auto stops_at_check = [&](std::uint64_t i, double sum) {
    const double d = windows.relative_change();
    if (learner.verbose) write_progress_line(i, sum, d);
    return learner.quit_threshold > std::abs(d);
  };
  // A small table is summed after every iteration. The loop holds nothing
  // else: on short episodes an iteration is a few dozen nanoseconds, and
  // the batches' bookkeeping around it cost a tenth of that.
  if (entries < batched_sum_threshold) {
    const double* const values = q.values.data();
    std::uint64_t check = first_check;
    for (std::uint64_t i = 0; i < max_iterations; ++i) {
      pass(learner, q, picks.next());
      const double sum = table_sum(values, entries);
      if (i == check) {
        check += check_period;
        if (stops_at_check(i, sum)) return q;
      }
      windows.add(sum);
    }
    return q;
  }
  // A large table is summed up to table_versions iterations at a time. A
  // batch never runs past a check, so a stop at a check leaves the table
  // exactly as it was after that iteration, and a rule failing inside a
  // batch fails before anything of that batch would have been printed.
  // Picks are drawn in the same order as above.
  BatchedSums batch(q, rule.writes);
  // Saving many more entries than the table has blocks would cost more
  // than the shared pass saves.
  const std::size_t most_saved = entries / 32;
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
      if (is_check(i) && stops_at_check(i, sums[t])) return q;
      windows.add(sums[t]);
    }
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
TableStack Qlearner::learn_parallel(const CompactEpisodeList& episodes, std::uint64_t ql_iter) const {
  std::vector<QTable> tables;
  {
    WorkerGroup<QTable> workers;
    // The learner and the episode list are only read while the workers run,
    // so they are shared as they are, without a lock and without a copy.
    for (std::uint64_t k = 0; k < ql_iter; ++k) {
      workers.start([this, &episodes] { return learn<rule>(episodes); });
    }
    tables = workers.join_in_order();
  }
  return stack_tables(std::move(tables), q_shape);
}

}  // namespace tarnel

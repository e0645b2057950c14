// The sequential driver: random replay of episodes with one update rule, a
// table sum after every iteration, and from the first check on a comparison
// of the means of the last two windows of those sums, one check period each.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "qlearning/progress.h"
#include "qlearning/qlearner.h"
#include "qlearning/schedule.h"
#include "support/failure.h"
#include "support/table_sum.h"

namespace tarnel {

namespace {

// Only the two most recent complete windows are ever compared, and the
// windows are aligned to multiples of the period (itself a multiple of 8), so
// each window's mean is accumulated as its sums arrive, in the table sum's
// order of additions. The result is bit-identical to summing a stored history, and
// memory does not grow with max_iterations.
class WindowMeans {
 public:
  void add(double sum) {
    current_.add(sum);
    if (current_.count() == check_period) {
      older_ = recent_;
      recent_ = current_.total() / static_cast<double>(check_period);
      current_ = StreamingSum();
    }
  }
  // Relative change of the last complete window against the one before.
  double relative_change() const { return (recent_ - older_) / older_; }

 private:
  StreamingSum current_;
  double recent_ = 0.0;
  double older_ = 0.0;
};

// The first check at or after iteration i.
std::uint64_t next_check(std::uint64_t i) {
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
// The entries a rule may write must be known before it runs, so this is
// done only for rules whose descriptor names their write set. A transition
// whose entry lies outside the table makes the rule fail before the sums are
// needed, so it needs no saved value.

// Below this many entries a table sum is cheap next to an iteration's rule,
// and saving and sorting the written entries would cost more than it saves.
constexpr std::size_t batched_sum_threshold = 16384;

class BatchedSums {
 public:
  BatchedSums(const QTable& q, WriteSet writes) : q_(q), writes_(writes) {}

  // Saves the entries the rule will write in version t's iteration, as they
  // are before it. Call right before applying the rule.
  void save(const Episode& episode, std::size_t t) {
    const auto& transitions = episode.transitions;
    std::size_t end = transitions.size();
    if (writes_ == WriteSet::all_but_last && end > 0) --end;
    for (std::size_t k = 0; k < end; ++k) {
      const Transition& x = transitions[k];
      if (x.state < q_.states && x.action < q_.actions) {
        const std::size_t offset = x.state + x.action * q_.states;
        saved_.push_back({offset, t, q_.values[offset]});
      }
    }
  }

  // The same from a compact episode: the offsets are in its records; a
  // rejected record (which makes the rule fail) has none.
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
  void sums(std::size_t versions, double* out) {
    // Version t differs from the current table at every entry written in a
    // later iteration of the batch, where it holds the value that entry had
    // before the first such iteration.
    std::sort(saved_.begin(), saved_.end(), [](const Saved& a, const Saved& b) {
      return a.offset != b.offset ? a.offset < b.offset : a.version < b.version;
    });
    patches_.clear();
    for (std::size_t j = 0; j < saved_.size();) {
      const std::size_t offset = saved_[j].offset;
      TablePatch patch;
      patch.offset = offset;
      std::size_t later = j;  // first saving of this entry in an iteration after t
      for (std::size_t t = 0; t < versions; ++t) {
        while (later < saved_.size() && saved_[later].offset == offset && saved_[later].version <= t) ++later;
        const bool rewritten = later < saved_.size() && saved_[later].offset == offset;
        patch.value[t] = rewritten ? saved_[later].value : q_.values[offset];
      }
      patches_.push_back(patch);
      while (j < saved_.size() && saved_[j].offset == offset) ++j;
    }
    table_sums(q_.values.data(), q_.values.size(), patches_, versions, out);
    saved_.clear();
  }

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

// The driver, for plain episodes (a rule without compact passes) and for
// the compact form alike: `apply(q, episode)` runs the rule's pass.
template <typename Episodes, typename Apply>
QTable learn_on(const Qlearner& learner, const Episodes& episodes, WriteSet writes, Apply apply, Rng& rng) {
  const std::uint64_t max_iterations = learner.max_iterations;
  QTable q = zero_q_table(learner.q_shape);
  // The sums are no longer stored, but a bound whose stored history could not
  // even be sized is still refused, as it always was.
  constexpr std::uint64_t max_history = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / sizeof(double);
  if (max_iterations > max_history) {
    fail("a history of " + std::to_string(max_iterations) +
         " table sums exceeds the largest possible allocation");
  }
  WindowMeans windows;
  const std::size_t entries = q.values.size();

  if (entries < batched_sum_threshold || writes == WriteSet::unknown) {
    for (std::uint64_t i = 0; i < max_iterations; ++i) {
      apply(q, pick_episode(episodes, rng));
      const double sum = table_sum(q.values.data(), entries);
      if (is_check(i)) {
        const double d = windows.relative_change();
        if (learner.verbose) write_progress_line(i, sum, d);
        if (learner.quit_threshold > std::abs(d)) break;
      }
      windows.add(sum);
    }
    return q;
  }

  // A batch never runs past a check, so a stop at a check leaves the table
  // exactly as it was after that iteration, and a rule failing inside a
  // batch fails before anything of that batch would have been printed.
  // Picks are drawn in the same order as above.
  BatchedSums batch(q, writes);
  // Saving many more entries than the table has blocks would cost more
  // than the shared pass saves.
  const std::size_t most_saved = entries / 32;
  double sums[table_versions];
  for (std::uint64_t i = 0; i < max_iterations;) {
    const std::uint64_t last = std::min({max_iterations - 1, i + table_versions - 1, next_check(i)});
    std::size_t versions = 0;
    for (;;) {
      const auto& episode = pick_episode(episodes, rng);
      batch.save(episode, versions);
      apply(q, episode);
      ++versions;
      if (i + versions - 1 == last || batch.saved() > most_saved) break;
    }
    batch.sums(versions, sums);
    for (std::size_t t = 0; t < versions; ++t, ++i) {
      if (is_check(i)) {
        const double d = windows.relative_change();
        if (learner.verbose) write_progress_line(i, sums[t], d);
        if (learner.quit_threshold > std::abs(d)) return q;
      }
      windows.add(sums[t]);
    }
  }
  return q;
}

}  // namespace

QTable Qlearner::learn(const CompactEpisodeList& episodes, UpdateRule rule, Rng& rng) const {
  return std::visit(
      [&](const auto& list) {
        using Index = typename std::decay_t<decltype(list)>::Record::Index;
        assert(list.reads() == rule.reads() && list.states() == q_shape.first && list.actions() == q_shape.second);
        const CompactRulePass<Index> pass = rule.compact_pass<Index>();
        return learn_on(
            *this, list, rule.writes(), [this, pass](QTable& q, CompactEpisode<Index> episode) { pass(*this, q, episode); },
            rng);
      },
      episodes);
}

QTable Qlearner::learn(const EpisodeList& episodes, UpdateRule rule, Rng& rng) const {
  if (rule.has_compact_passes()) {
    return learn(compact(episodes, rule.reads()), rule, rng);
  }
  const RulePass pass = rule.pass();
  return learn_on(
      *this, episodes, rule.writes(), [this, pass](QTable& q, const Episode& episode) { pass(*this, q, episode); }, rng);
}

}  // namespace tarnel

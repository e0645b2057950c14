// The table sums of `learn` on a large table, several iterations at a time.
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
#pragma once

#include <cstddef>
#include <vector>

#include "episode/compact.h"
#include "qlearning/q_table.h"
#include "qlearning/rules.h"
#include "support/table_sum.h"

namespace tarnel {

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

}  // namespace tarnel

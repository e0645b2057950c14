// The episode picks of the drivers, drawn ahead of their turn.
//
// On data far larger than the caches, a pick waits on memory again and
// again, each load unable to start before the one before it ends: the
// picked episode's bounds, a random read, then its records (for a table's
// episode not converted yet: its bounds in the table, then its rows); on a
// large Q table, the entries its transitions write.
// Drawn `ahead` iterations early, each upcoming pick's loads are asked for
// stage by stage, each stage when the loads of the one before have had
// time to arrive, and they all overlap with the training in between.
//
// The picks are the same draws in the same order as drawing each at its
// turn: nothing else draws from the generator between picks in the drivers
// that pick ahead. A draw ahead uses only the words before the generator's
// next reseed; one that would need more (and could fail on the reseed)
// waits for its turn, so a failure comes exactly where it came before,
// after the same iterations and printed lines. Converting a table's episode ahead
// cannot fail. A call that stops early has drawn a few picks it never
// uses; the generator's state after a call is not observable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

#include "episode/compact.h"
#include "episode/pick.h"
#include "qlearning/q_table.h"
#include "support/prefetch.h"
#include "support/random.h"

namespace tarnel {

// Where the picks come from. A driver draws them from its generator, each
// ahead of its turn from the words before the next reseed, and at its turn
// when it would need more.
struct DrawnPicks {
  Rng& rng;
  std::uint64_t n;

  std::uint64_t at_turn() { return uniform_index(rng, n); }
  // The pick, or n when it must wait for its turn.
  std::uint64_t ahead() { return unfailing_uniform_index(rng, n); }
};

// A bootstrap sample copies the episodes it drew before, in draw order.
struct ListedPicks {
  std::span<const std::uint64_t> picks;
  std::size_t next = 0;

  std::uint64_t at_turn() { return picks[next++]; }
  std::uint64_t ahead() { return picks[next++]; }
};

template <typename List, typename Picks = DrawnPicks>
class PickAhead {
 public:
  using Episode = std::remove_cvref_t<decltype(std::declval<List&>()[0])>;
  using Record = typename Episode::Record;

  // Up to `count` picks from `episodes`, for training `q` (null: copying
  // the episodes, no table). Fails on an empty list when there is a pick to
  // make, before anything is drawn.
  PickAhead(List& episodes, Picks picks, std::uint64_t count, const QTable* q)
      : episodes_(episodes),
        picks_(picks),
        count_(count),
        values_(q != nullptr ? q->values.data() : nullptr),
        far_(episodes.far()),
        far_table_(q != nullptr && q->values.size() >= far_table_entries) {
    if (count > 0 && episodes.empty()) fail_empty_pick();
    while (drawn_ < count_ && drawn_ < ahead && draw()) {
    }
  }
  // A driver's picks from `rng`.
  PickAhead(List& episodes, Rng& rng, std::uint64_t count, const QTable& q)
      : PickAhead(episodes, DrawnPicks{rng, episodes.size()}, count, &q) {}

  // The next pick, in draw order.
  Episode next() {
    const std::uint64_t i = used_++;
    if (i == drawn_) {
      // Left to its turn, or the first picks: drawn now, as without
      // drawing ahead.
      picked_[i % ahead] = static_cast<std::size_t>(picks_.at_turn());
      ++drawn_;
    }
    if (far_) {
      stage(i + records_at, [this](std::size_t k) { episodes_.fetch_records(k); });
      stage(i + rows_at, [this](std::size_t k) { episodes_.fetch_rows(k); });
      stage(i + entries_at, [this](std::size_t k) { fetch_entries(episodes_[k]); });
    }
    const Episode episode = episodes_[picked_[i % ahead]];
    // Its place in the ring is free again: normally one draw, and after a
    // draw that had to wait, the ring filled again.
    while (drawn_ < count_ && drawn_ < used_ + ahead && draw()) {
    }
    return episode;
  }

 private:
  // How many iterations ahead each stage runs: the pick is drawn and its
  // bounds asked for `ahead` iterations early; its records (or its head, or
  // its bounds in the table) sixteen iterations later, once the bounds are
  // in; the rest of a converted episode's records, or a table's rows,
  // sixteen after that; and the Q table's entries four iterations before
  // its turn, once its records are in (a table's episode is converted
  // then, its rows having arrived). An iteration on short episodes of
  // cached data takes some 40 to 100 ns, and a miss here about 100 to 200,
  // more when it also misses the page tables: with distances of a third of
  // these, the loads of a table's rows still stalled the conversion.
  //
  // The Q table's rows that the transitions read are not asked for: on a
  // column-major table a row is a line per action, and asking for them
  // all made a 100,000 x 8 table slower, the misses crowding out the
  // records'.
  static constexpr std::uint64_t ahead = 48;
  static constexpr std::uint64_t records_at = 32;
  static constexpr std::uint64_t rows_at = 16;
  static constexpr std::uint64_t entries_at = 4;
  // A table of this many entries (256 KiB) outgrows the inner caches.
  static constexpr std::size_t far_table_entries = std::size_t{1} << 15;
  // A pick's first transitions, whose entries are asked for; the hardware
  // carries the records on, and the later transitions come long after.
  static constexpr std::size_t most_prefetched_records = 16;

  // Draws the next pick ahead; false when it must wait for its turn.
  bool draw() {
    const std::uint64_t k = picks_.ahead();
    if (k == episodes_.size()) return false;
    picked_[drawn_ % ahead] = static_cast<std::size_t>(k);
    if (far_) episodes_.fetch_bounds(static_cast<std::size_t>(k));
    ++drawn_;
    return true;
  }

  template <typename Fetch>
  void stage(std::uint64_t j, Fetch fetch) {
    if (j < drawn_) fetch(picked_[j % ahead]);
  }

  void fetch_entries(const Episode& episode) const {
    if (!far_table_) return;
    std::size_t n = episode.records.size();
    if (n > most_prefetched_records) n = most_prefetched_records;
    for (std::size_t t = 0; t < n; ++t) {
      const Record& r = episode.records[t];
      if (r.entry == Record::rejected) continue;
      prefetch(values_ + r.entry);
    }
  }

  List& episodes_;
  Picks picks_;
  const std::uint64_t count_;
  const double* const values_;
  const bool far_;
  const bool far_table_;
  std::uint64_t drawn_ = 0;
  std::uint64_t used_ = 0;
  std::array<std::size_t, ahead> picked_{};
};

template <typename List>
PickAhead(List&, Rng&, std::uint64_t, const QTable&) -> PickAhead<List, DrawnPicks>;

}  // namespace tarnel

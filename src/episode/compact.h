// The compact training form of an episode list, built once per call for the
// call's table shape.
//
// Every transition becomes a 16-byte record (24 with 64-bit indexes) that
// carries what the update rules read of it: the offset of the entry it
// writes, s + a * states, the row it reads (the next state's, or its own
// state's, depending on the rule), and the reward. Indexes are checked once,
// when the form is built, instead of at every replay. A transition the rule
// would reject keeps a mark instead of an offset, with the transition itself
// kept aside, so the rule can fail exactly when, and with exactly the text
// with which, the plain transition would have made it fail.
//
// All records of all episodes lie in one array; an episode is a range of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "episode/episode.h"

namespace tarnel {

// Which row of the table a rule reads for a transition, besides the entry it
// writes.
enum class RowRead {
  next_state,  // forward Q-learning and double Q: the next state's row, unless terminal
  own_state,   // expected SARSA: the row of its own state, unless terminal
  none,        // backward TD: no row; the last transition of an episode is never checked
};

template <typename Index>
struct CompactTransition {
  // Offset of the entry the transition writes, or `rejected`.
  Index entry;
  // The row the rule reads, or `terminal` when it reads none; for a rejected
  // transition, its position in the list of rejected transitions.
  Index row;
  double reward;

  static constexpr Index rejected = std::numeric_limits<Index>::max();
  static constexpr Index terminal = std::numeric_limits<Index>::max();
};

template <typename Index>
class CompactEpisodes {
 public:
  using Record = CompactTransition<Index>;

  std::size_t size() const { return starts_.size() - 1; }
  bool empty() const { return size() == 0; }
  std::span<const Record> operator[](std::size_t k) const {
    return {records_.data() + starts_[k], records_.data() + starts_[k + 1]};
  }
  // The transition behind a rejected record (whose `row` is passed here).
  const Transition& rejected(Index position) const { return (*rejected_)[position]; }
  std::uint64_t transition_count() const { return records_.size(); }

  // Appends a copy of episode k of `from`, whose rejected transitions this
  // list then shares. Bootstrap samples are built this way: they copy
  // records and nothing else.
  void append_copy(const CompactEpisodes& from, std::size_t k);
  void reserve(std::size_t episodes, std::size_t transitions);

 private:
  template <typename I>
  friend struct CompactBuilder;

  std::vector<Record> records_;
  std::vector<std::uint64_t> starts_{0};
  std::shared_ptr<const std::vector<Transition>> rejected_ = std::make_shared<std::vector<Transition>>();
};

// 32-bit indexes serve every table of fewer than 2^32 - 1 entries (every
// table below 32 GiB) and up to as many transitions.
bool fits_32_bits(std::uint64_t states, std::uint64_t actions, std::uint64_t transitions);

// The compact form of one episode per view, in order, for a table of
// `states` x `actions` and a rule that reads `reads`. Fails, as from_array
// does, on an array with rows but fewer than five columns. `built(k)` runs
// as soon as episode k has been built.
template <typename Index>
CompactEpisodes<Index> compact_episodes(std::span<const ArrayView> views, std::uint64_t states,
                                        std::uint64_t actions, RowRead reads,
                                        const std::function<void(std::size_t)>& built = {});

// The same from plain episodes (tests and benchmarks build those).
template <typename Index>
CompactEpisodes<Index> compact_episodes(const EpisodeList& episodes, std::uint64_t states,
                                        std::uint64_t actions, RowRead reads);

}  // namespace tarnel

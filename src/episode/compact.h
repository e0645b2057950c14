// The compact training form of the episode arrays, built once per call for
// the call's table shape and the rule that will replay it.
//
// Every transition becomes a 16-byte record (24 with 64-bit indexes) that
// carries what the update rules read of it: the offset of the entry it
// writes, s + a * states, the row it reads (the next state's, or its own
// state's, depending on the rule), and the reward. Indexes are checked once,
// here, instead of at every replay: this is the one test of whether a rule
// can replay a transition. A transition the rule would reject keeps a mark
// instead of an offset, and is kept aside whole, with its place in `data`
// and its values as recorded, so the rule can fail exactly when, and with
// exactly the text with which, it would have failed on it, and say where it
// came from.
//
// All records of all episodes lie in one array; an episode is a range of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "episode/episode.h"
#include "episode/source.h"
#include "support/record_allocator.h"

namespace tarnel {

// Which row of the table a rule reads for a transition, besides the entry it
// writes.
enum class RowRead {
  next_state,  // forward Q-learning and double Q: the next state's row, unless terminal
  own_state,   // expected SARSA: the row of its own state, unless terminal
  none,        // backward TD: no row; the last transition of an episode is never checked
};

template <typename IndexType>
struct CompactTransition {
  using Index = IndexType;

  // Offset of the entry the transition writes, or `rejected`.
  Index entry;
  // The row the rule reads, or `terminal` when it reads none; for a rejected
  // transition, its position in the list of rejected transitions.
  Index row;
  double reward;

  static constexpr Index rejected = std::numeric_limits<Index>::max();
  static constexpr Index terminal = std::numeric_limits<Index>::max();
};

// A transition the rule rejects, with where it came from.
struct RejectedTransition {
  Transition transition;  // as the rule reads it
  std::uint64_t episode;  // the position of its array in `data`
  std::uint64_t row;
  RecordedRow recorded;
};

// "episode 1234 of data, row 3: state 5, action 1, reward 0, next state 16,
// terminal 0", the values as recorded, in the console number format.
std::string location(const RejectedTransition& rejected);

template <typename Index>
class CompactEpisodes;

// One episode of a compact list, as a pick hands it to a rule.
template <typename Index>
struct CompactEpisode {
  using Record = CompactTransition<Index>;

  std::span<const Record> records;
  const CompactEpisodes<Index>* list;
  std::size_t index;  // in `list`
  // Whether any record is rejected: the rules read the records of the
  // others without looking for the mark.
  bool has_rejected;
  // Whether its list is too large to stay in the caches between picks, so
  // that the rules ask for the episode's first cache lines at once.
  bool far;

  const RejectedTransition& kept(const Record& record) const { return list->rejected(record.row); }
  // Its array's position in `data`.
  std::uint64_t position() const { return list->position(index); }
};

template <typename Index>
class CompactEpisodes {
 public:
  using Record = CompactTransition<Index>;

  std::size_t size() const { return starts_.size() - 1; }
  bool empty() const { return size() == 0; }
  CompactEpisode<Index> operator[](std::size_t k) const {
    const std::uint64_t end = starts_[k + 1];
    return {{records_.data() + (starts_[k] & offset_bits), records_.data() + (end & offset_bits)},
            this,
            k,
            (end & rejected_bit) != 0,
            records_.size() > far_records};
  }
  std::uint64_t transition_count() const { return records_.size(); }
  const RejectedTransition& rejected(std::size_t k) const { return (*rejected_)[k]; }
  // The position in `data` of episode k's array. A bootstrap sample knows it
  // only for its empty episodes, the only ones whose failure needs it: a
  // rejected record carries its own.
  std::uint64_t position(std::size_t k) const;

  // What the records were built for: a table of states x actions replayed
  // by a rule that reads `reads`.
  std::uint64_t states() const { return states_; }
  std::uint64_t actions() const { return actions_; }
  RowRead reads() const { return reads_; }
  bool built_for(std::pair<std::uint64_t, std::uint64_t> q_shape, RowRead reads) const {
    return reads_ == reads && states_ == q_shape.first && actions_ == q_shape.second;
  }

  // An empty list for the same table and rule as `from`, sharing its
  // rejected transitions, with room for `episodes` episodes of
  // `transitions` records in all. Bootstrap samples are built this way and
  // filled with append_copy: they copy records and nothing else.
  static CompactEpisodes sharing(const CompactEpisodes& from, std::size_t episodes, std::size_t transitions);
  // Appends a copy of episode k of `from` (which this list shares the
  // rejected transitions of).
  void append_copy(const CompactEpisodes& from, std::size_t k);

 private:
  template <typename I>
  friend struct CompactBuilder;

  // Where each episode starts and the last one ends; the top bit of episode
  // k's end says whether it holds a rejected record.
  static constexpr std::uint64_t rejected_bit = std::uint64_t{1} << 63;
  static constexpr std::uint64_t offset_bits = rejected_bit - 1;
  // Records beyond 8 MiB: a list that size shares the last-level cache with
  // the table and everything else, so a picked episode is often not there.
  // A smaller one stays cached, and asking for its lines costs more than it
  // saves (a loop whose length changes with every episode).
  static constexpr std::size_t far_records = (std::size_t{8} << 20) / sizeof(Record);

  std::vector<Record, RecordAllocator<Record>> records_;
  std::vector<std::uint64_t> starts_{0};
  std::shared_ptr<const std::vector<RejectedTransition>> rejected_;
  // A sample's empty episodes: (index in this list, position in `data`).
  bool sample_ = false;
  std::vector<std::pair<std::size_t, std::uint64_t>> empty_positions_;
  std::uint64_t states_ = 0;
  std::uint64_t actions_ = 0;
  RowRead reads_ = RowRead::next_state;
};

// 32-bit indexes serve every table of at most 2^32 - 1 entries (every table
// below 32 GiB) and up to as many transitions.
bool fits_32_bits(std::uint64_t states, std::uint64_t actions, std::uint64_t transitions);

// The compact form with the narrowest index that fits.
using CompactEpisodeList = std::variant<CompactEpisodes<std::uint32_t>, CompactEpisodes<std::uint64_t>>;

// The compact form of the source's episodes, in order, for a table of
// `states` x `actions` and a rule that reads `reads`. Fails on an array with
// rows but fewer than five columns, after the episodes before it.
CompactEpisodeList compact_episodes(EpisodeSource& source, std::uint64_t states, std::uint64_t actions,
                                    RowRead reads);
template <typename Index>
CompactEpisodes<Index> compact_episodes_as(EpisodeSource& source, std::uint64_t states, std::uint64_t actions,
                                           RowRead reads);

// The compact form of one episode per view, in order, for a table of
// `states` x `actions` and a rule that reads `reads`. Fails on an array with
// rows but fewer than five columns, after the episodes before it.
// `built(k)` runs as soon as episode k has been built, so the caller can
// give the k-th array back at once.
CompactEpisodeList compact_episodes(std::span<const ArrayView> views, std::uint64_t states,
                                    std::uint64_t actions, RowRead reads,
                                    const std::function<void(std::size_t)>& built = {});

// With a given index width, whether or not a narrower one would fit (tests
// compare the two widths on the same data).
template <typename Index>
CompactEpisodes<Index> compact_episodes_as(std::span<const ArrayView> views, std::uint64_t states,
                                           std::uint64_t actions, RowRead reads,
                                           const std::function<void(std::size_t)>& built = {});

}  // namespace tarnel

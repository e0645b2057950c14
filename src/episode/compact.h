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
// A list of episode arrays is converted whole, before training; a table of
// flat columns one episode at a time, as the training picks them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "episode/episode.h"
#include "episode/episode_slots.h"
#include "episode/source.h"
#include "episode/table.h"
#include "support/prefetch.h"
#include "support/record_allocator.h"
#include "support/zero_pages.h"

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

// Where a list's episodes came from, for the failures that must say so:
// the transitions its rule rejects, kept whole, and each episode's position
// in `data`. Bootstrap samples share their population's rejected
// transitions rather than copying them: the store never moves while it
// grows, so a sample reads it on its worker while the calling thread adds
// to it.
struct EpisodeOrigins {
  std::shared_ptr<const RejectedTransition> rejected;  // the first of them, owning them all
  // A bootstrap sample's empty episodes, the only ones whose failure needs
  // their position (a rejected record carries its own): (index in the
  // sample, position in `data`). In any other list episode k is at k.
  bool sample = false;
  std::vector<std::pair<std::size_t, std::uint64_t>> empty_positions;

  const RejectedTransition& kept(std::uint64_t k) const { return rejected.get()[k]; }
  std::uint64_t position(std::size_t k) const;
};

// One episode of a compact list, as a pick hands it to a rule.
template <typename Index>
struct CompactEpisode {
  using Record = CompactTransition<Index>;

  std::span<const Record> records;
  const EpisodeOrigins* origins;
  std::size_t index;  // in its list
  // Whether any record is rejected: the rules read the records of the
  // others without looking for the mark.
  bool has_rejected;
  // Whether its list is too large to stay in the caches between picks, so
  // that the rules ask for the episode's first cache lines at once.
  bool far;

  const RejectedTransition& kept(const Record& record) const { return origins->kept(record.row); }
  // Its array's position in `data`.
  std::uint64_t position() const { return origins->position(index); }
};

// Records beyond 8 MiB: a list that size shares the last-level cache with
// the table and everything else, so a picked episode is often not there.
// A smaller one stays cached, and asking for its lines costs more than it
// saves.
template <typename Record>
constexpr std::size_t far_records = (std::size_t{8} << 20) / sizeof(Record);
// A table's rows beyond 2^16: a table converted as picked reads its columns
// at random and once, so they are seldom cached even when they would fit;
// its picks are fetched ahead from a megabyte of columns on.
constexpr std::uint64_t far_table_rows = std::uint64_t{1} << 16;

// Where each episode's records start and the last one ends, in one array;
// the top bit of an episode's end says whether it holds a rejected record.
inline constexpr std::uint64_t rejected_bit = std::uint64_t{1} << 63;
inline constexpr std::uint64_t offset_bits = rejected_bit - 1;

// Every episode of a list converted at once: the form built from a list of
// episode arrays, and a bootstrap sample's copies.
template <typename Index>
class CompactEpisodes {
 public:
  using Record = CompactTransition<Index>;

  std::size_t size() const { return starts_.size() - 1; }
  bool empty() const { return size() == 0; }
  CompactEpisode<Index> operator[](std::size_t k) const {
    const std::uint64_t end = starts_[k + 1];
    return {{records_.data() + (starts_[k] & offset_bits), records_.data() + (end & offset_bits)},
            &origins_,
            k,
            (end & rejected_bit) != 0,
            far()};
  }
  std::uint64_t transition_count() const { return records_.size(); }
  const RejectedTransition& rejected(std::size_t k) const { return origins_.kept(k); }
  std::uint64_t position(std::size_t k) const { return origins_.position(k); }
  const EpisodeOrigins& origins() const { return origins_; }
  bool far() const { return records_.size() > far_records<Record>; }

  // The stages of a pick drawn ahead (qlearning/pick_ahead.h): the bounds
  // of episode k asked for, then its first records once the bounds are in.
  void fetch_bounds(std::size_t k) const {
    prefetch(&starts_[k]);
    prefetch(&starts_[k + 1]);
  }
  void fetch_records(std::size_t k) const {
    const std::span<const Record> records = (*this)[k].records;
    prefetch_lines(records.data(), records.size_bytes());
  }
  void fetch_rows(std::size_t) const {}

  // What the records were built for: a table of states x actions replayed
  // by a rule that reads `reads`.
  std::uint64_t states() const { return states_; }
  std::uint64_t actions() const { return actions_; }
  RowRead reads() const { return reads_; }
  bool built_for(std::pair<std::uint64_t, std::uint64_t> q_shape, RowRead reads) const {
    return reads_ == reads && states_ == q_shape.first && actions_ == q_shape.second;
  }

  // An empty list for the same table and rule as `from` (a list of either
  // kind), sharing its rejected transitions, with room for `episodes`
  // episodes of `transitions` records in all. Bootstrap samples are built
  // this way and filled with append_copy: they copy records and nothing
  // else.
  template <typename List>
  static CompactEpisodes sharing(const List& from, std::size_t episodes, std::size_t transitions) {
    CompactEpisodes list;
    list.starts_.reserve(episodes + 1);
    list.records_.reserve(transitions);
    list.origins_.rejected = from.origins().rejected;
    list.origins_.sample = true;
    list.states_ = from.states();
    list.actions_ = from.actions();
    list.reads_ = from.reads();
    return list;
  }
  // Appends a copy of an episode of the list this one shares the rejected
  // transitions of.
  void append_copy(const CompactEpisode<Index>& episode);

 private:
  template <typename I>
  friend struct CompactBuilder;

  std::vector<Record, RecordAllocator<Record>> records_;
  std::vector<std::uint64_t> starts_{0};
  EpisodeOrigins origins_;
  std::uint64_t states_ = 0;
  std::uint64_t actions_ = 0;
  RowRead reads_ = RowRead::next_state;
};

// The episodes of a table of flat columns in the compact form, each
// converted the first time a pick reaches it and never again, so that a
// call that replays a few of the episodes of a large table converts (and
// holds the records of) those few. The records of the episodes converted
// so far lie in the order they were converted, each episode after a
// record-sized head holding its length and whether it holds a rejected
// record; its slot (episode_slots.h) holds the address of its head, or 0
// while it is not converted. The records lie first in an array sized for
// the call's expected picks, small enough for a short call to take from
// the allocator (support/zero_pages.h), then, once an episode does not fit
// there, in an array reserved for the whole table; neither ever moves.
// The store of rejected transitions is reserved for the whole table. Both
// reservations are filled as episodes are converted. The columns must stay
// readable while the list is.
template <typename Index>
class TableEpisodes {
 public:
  using Record = CompactTransition<Index>;

  TableEpisodes() = default;
  // `picks`: the most episodes the call can pick, which sizes the slots.
  TableEpisodes(const ColumnTable& table, std::uint64_t states, std::uint64_t actions, RowRead reads,
                std::uint64_t picks);

  std::size_t size() const { return static_cast<std::size_t>(table_.episodes()); }
  bool empty() const { return size() == 0; }
  // Episode k, converted first if it was not yet.
  CompactEpisode<Index> operator[](std::size_t k) {
    const std::uint64_t slot = slots_.head(k);
    Record* head = slot != 0 ? at(slot) : convert(k);
    const std::uint64_t length = length_of(head);
    return {{head + 1, head + 1 + (length & offset_bits)}, &origins_, k, (length & rejected_bit) != 0, far_};
  }
  // Episodes converted so far, and the records they hold.
  std::uint64_t converted() const { return converted_; }
  std::uint64_t transition_count() const { return transitions_; }
  const EpisodeOrigins& origins() const { return origins_; }
  bool far() const { return far_; }
  const ColumnTable& table() const { return table_; }

  // The stages of a pick drawn ahead (qlearning/pick_ahead.h): episode k's
  // slot; then, once the slot is in, the head of a converted episode, or
  // the table's bounds of one still to convert; then the records the head
  // bounds, or the rows the table's bounds bound in every column.
  void fetch_bounds(std::size_t k) const { slots_.fetch(k); }
  void fetch_records(std::size_t k) const {
    const std::uint64_t slot = slots_.head(k);
    if (slot != 0) {
      prefetch_lines(at(slot), sizeof(Record));
    } else {
      prefetch_lines(&table_.ends[k > 0 ? k - 1 : 0], 2 * sizeof(std::uint64_t));
    }
  }
  // A converted episode's records, its head being in; else its rows.
  void fetch_rows(std::size_t k) const {
    const std::uint64_t slot = slots_.head(k);
    if (slot != 0) [[likely]] {
      const Record* head = at(slot);
      prefetch_lines(head, ((length_of(head) & offset_bits) + 1) * sizeof(Record));
    } else {
      fetch_table_rows(k);
    }
  }

  std::uint64_t states() const { return states_; }
  std::uint64_t actions() const { return actions_; }
  RowRead reads() const { return reads_; }
  bool built_for(std::pair<std::uint64_t, std::uint64_t> q_shape, RowRead reads) const {
    return reads_ == reads && states_ == q_shape.first && actions_ == q_shape.second;
  }

 private:
  // Converts episode k; its head.
  Record* convert(std::size_t k);
  void fetch_table_rows(std::size_t k) const;
  // Room for `count` records, where the next episode's go.
  Record* room(std::uint64_t count);

  static Record* at(std::uint64_t slot) {
    return reinterpret_cast<Record*>(static_cast<std::uintptr_t>(slot));
  }
  // The head's length of its episode, with the rejected bit.
  static std::uint64_t length_of(const Record* head) {
    std::uint64_t length;
    std::memcpy(&length, head, sizeof length);
    return length;
  }

  ColumnTable table_;
  std::uint64_t states_ = 0;
  std::uint64_t actions_ = 0;
  RowRead reads_ = RowRead::next_state;
  bool far_ = false;
  EpisodeSlots slots_;
  ZeroPages<Record> first_;  // sized for the expected picks
  ZeroPages<Record> rest_;   // for the whole table, once first_ is full
  std::uint64_t first_used_ = 0;
  std::uint64_t rest_used_ = 0;
  std::uint64_t converted_ = 0;
  std::uint64_t transitions_ = 0;
  std::shared_ptr<ZeroPages<RejectedTransition>> rejected_;
  std::uint64_t rejected_count_ = 0;
  EpisodeOrigins origins_;
  std::vector<double> block_;  // a block of rows converted to float64 (episode/table.h)
};

// 32-bit indexes serve every table of at most 2^32 - 1 entries (every table
// below 32 GiB) and up to as many transitions.
bool fits_32_bits(std::uint64_t states, std::uint64_t actions, std::uint64_t transitions);

// The compact form with the narrowest index that fits.
using CompactEpisodeList = std::variant<CompactEpisodes<std::uint32_t>, CompactEpisodes<std::uint64_t>>;
using TableEpisodeList = std::variant<TableEpisodes<std::uint32_t>, TableEpisodes<std::uint64_t>>;

// A table's episodes to convert as they are picked, with the narrowest index
// that fits. Fails with std::bad_alloc when the system will not reserve the
// address space for them (a limit on it, or no overcommitment of memory):
// the caller then converts the table at once instead.
TableEpisodeList table_episodes(const ColumnTable& table, std::uint64_t states, std::uint64_t actions,
                                RowRead reads, std::uint64_t picks);

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

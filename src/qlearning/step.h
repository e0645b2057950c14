// One transition as a rule's arithmetic sees it: the offset of the entry it
// writes, the row it reads (or none) and its reward. Every rule has one
// arithmetic skeleton that takes its steps from either form of an episode:
//
// - a plain Transition, whose indexes are checked here, in the rule's order,
//   as it is read;
// - a compact record, checked once when its list was built. In an episode
//   that holds a rejected record, reading one is a load and a compare
//   against the rejected mark; on a mark the plain checks run on the kept
//   transition, so the failure, its text and its moment are exactly the
//   plain rule's. The records of every other episode are read as they are.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "episode/compact.h"
#include "episode/episode.h"
#include "qlearning/index_checks.h"
#include "qlearning/q_table.h"

namespace tarnel {

template <RowRead reads>
inline CompactTransition<std::uint64_t> read_step(const QTable& q, const Transition& t) {
  using Step = CompactTransition<std::uint64_t>;
  check_entry(q, t);
  std::uint64_t row = Step::terminal;
  if constexpr (reads == RowRead::next_state) {
    if (!t.done) {
      // A next state that passes lies below the number of states, so it is
      // never taken for the terminal mark.
      check_next_state(q, t);
      row = t.next_state;
    }
  } else if constexpr (reads == RowRead::own_state) {
    if (!t.done) row = t.state;
  }
  return {t.state + t.action * q.states, row, t.reward};
}

// A rejected record always fails its checks: they are the ones that rejected
// it, against the same shape.
template <RowRead reads>
[[noreturn]] void replay_rejected(const QTable& q, const Transition& t) {
  read_step<reads>(q, t);
  std::abort();
}

template <RowRead reads, typename Index>
inline const CompactTransition<Index>& read_step(const QTable& q, const CompactTransition<Index>& record,
                                                 const CompactEpisode<Index>& episode) {
  if (record.entry == CompactTransition<Index>::rejected) [[unlikely]] {
    replay_rejected<reads>(q, episode.kept(record));
  }
  return record;
}

}  // namespace tarnel

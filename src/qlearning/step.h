// One record as a rule's arithmetic reads it. The records of an episode that
// holds a rejected record are read with one compare each against the
// rejected mark; on a mark, the rule's own checks run on the kept
// transition, so the failure, its text and its moment are exactly those of
// a rule checking every transition as it reads it, and the failure names
// where in `data` the transition came from. The records of every other
// episode are read as they are.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "episode/compact.h"
#include "qlearning/index_checks.h"
#include "qlearning/q_table.h"
#include "support/failure.h"

namespace tarnel {

// A rejected transition always fails its checks: they are the ones that
// rejected it, against the same shape.
template <RowRead reads>
[[noreturn]] void replay_rejected(const QTable& q, const RejectedTransition& rejected) {
  try {
    const Transition& t = rejected.transition;
    check_entry(q, t);
    if constexpr (reads == RowRead::next_state) {
      if (!t.done) check_next_state(q, t);
    }
  } catch (TrainingFailure& failure) {
    failure.add_note(location(rejected));
    throw;
  }
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

// The rejected transition in training. The compact form marks a transition
// the rule would reject (compact.h, CompactTransition::rejected) and keeps
// it whole; this is everything training does with the mark:
// - the split: the records of an episode that holds a rejected record are
//   read with one compare each against the mark (CheckedSteps), those of
//   every other episode as they are (CleanSteps); the list knows which
//   episodes hold one, and `with_steps` picks the kind per episode;
// - the replay: on a mark, the rule's own checks run on the kept
//   transition, so the failure, its text and its moment are exactly those
//   of a rule checking every transition as it reads it, and a note names
//   where in `data` the transition came from;
// - the wording of those checks, one for every rule: the state, then the
//   action, of the entry a transition writes, and the next state where a
//   rule reads its row.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>

#include "episode/compact.h"
#include "episode/episode.h"
#include "qlearning/q_table.h"
#include "support/failure.h"

namespace tarnel {

// The failures, out of line (rejected.cpp).
[[noreturn]] void state_out_of_bounds(const char* what, std::uint64_t index, const QTable& q);
[[noreturn]] void action_out_of_bounds(std::uint64_t index, const QTable& q);

inline void check_entry(const QTable& q, const Transition& t) {
  if (t.state >= q.states) [[unlikely]]
    state_out_of_bounds("state", t.state, q);
  if (t.action >= q.actions) [[unlikely]]
    action_out_of_bounds(t.action, q);
}

inline void check_next_state(const QTable& q, const Transition& t) {
  if (t.next_state >= q.states) [[unlikely]]
    state_out_of_bounds("next state", t.next_state, q);
}

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

// The steps of an episode with a rejected record: `read` replays the mark.
template <RowRead reads, typename Index>
struct CheckedSteps {
  const QTable& q;
  CompactEpisode<Index> episode;
  std::span<const CompactTransition<Index>> items = episode.records;

  const CompactTransition<Index>& read(const CompactTransition<Index>& record) const {
    if (record.entry == CompactTransition<Index>::rejected) [[unlikely]] {
      replay_rejected<reads>(q, episode.kept(record));
    }
    return record;
  }
};

// The steps of an episode without one (nearly all of them), read as they are.
template <typename Index>
struct CleanSteps {
  CompactEpisode<Index> episode;
  std::span<const CompactTransition<Index>> items = episode.records;

  const CompactTransition<Index>& read(const CompactTransition<Index>& record) const { return record; }
};

// Runs `body` on the episode's steps, checked only when it holds a rejected
// record. `q` words the failures: its shape is the rule's.
template <RowRead reads, typename Index, typename Body>
[[gnu::always_inline]] inline void with_steps(const QTable& q, CompactEpisode<Index> episode, Body body) {
  if (episode.has_rejected) [[unlikely]] {
    body(CheckedSteps<reads, Index>{q, episode});
  } else {
    body(CleanSteps<Index>{episode});
  }
}

}  // namespace tarnel

// The index checks of the update rules, with one wording for every rule:
// the state, then the action, of the entry a transition writes, and the next
// state where a rule reads its row. They run only on a transition that the
// compact form has already rejected, to word its failure.
#pragma once

#include <cstdint>

#include "episode/episode.h"
#include "qlearning/q_table.h"

namespace tarnel {

// The failures, out of line.
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

}  // namespace tarnel

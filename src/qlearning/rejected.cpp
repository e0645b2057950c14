// The index failures of the update rules, worded for a rejected transition.
#include "qlearning/rejected.h"

#include <string>

#include "support/failure.h"

namespace tarnel {

void state_out_of_bounds(const char* what, std::uint64_t index, const QTable& q) {
  fail(std::string("index out of bounds: ") + what + " " + std::to_string(index) +
       " is not below the number of states, " + std::to_string(q.states));
}

void action_out_of_bounds(std::uint64_t index, const QTable& q) {
  fail("index out of bounds: action " + std::to_string(index) + " is not below the number of actions, " +
       std::to_string(q.actions));
}

}  // namespace tarnel

// When the sequential drivers look at their table: a checkpoint every 25000
// iterations from iteration 0, and tests of convergence from iteration 50000
// on. `learn` also averages its sums over windows one period wide.
#pragma once

#include <cstdint>

namespace tarnel {

inline constexpr std::uint64_t check_period = 25000;
inline constexpr std::uint64_t first_check = 50000;

inline bool is_checkpoint(std::uint64_t i) { return i % check_period == 0; }

// A checkpoint at which `learn` and `fast_learn` test for convergence.
inline bool is_check(std::uint64_t i) { return i >= first_check && is_checkpoint(i); }

}  // namespace tarnel

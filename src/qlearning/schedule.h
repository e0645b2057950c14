// When the sequential drivers look at their table: a checkpoint every 25000
// iterations from iteration 0, and tests of convergence from iteration 50000
// on, each of which stops the run when the relative change d of the table's
// sums is below the threshold. `learn` also averages its sums over windows
// one period wide (window_means.h).
#pragma once

#include <cmath>
#include <cstdint>

namespace tarnel {

inline constexpr std::uint64_t check_period = 25000;
inline constexpr std::uint64_t first_check = 50000;

inline bool is_checkpoint(std::uint64_t i) { return i % check_period == 0; }

// A checkpoint at which `learn` and `fast_learn` test for convergence.
inline bool is_check(std::uint64_t i) { return i >= first_check && is_checkpoint(i); }

// The first check at or after iteration i.
inline std::uint64_t next_check(std::uint64_t i) {
  if (i <= first_check) return first_check;
  return (i + check_period - 1) / check_period * check_period;
}

// Whether a check that saw the relative change d stops the run. Strictly
// greater: a NaN d or threshold never stops it.
inline bool stops(double quit_threshold, double d) { return quit_threshold > std::abs(d); }

}  // namespace tarnel

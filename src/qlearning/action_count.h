// Row loops with the action count as a compile-time constant: the common
// small counts unroll completely. The order of the operations is the same
// either way, so the results are too.
#pragma once

#include <cstdint>

#include "support/dispatch.h"

namespace tarnel {

// The action count of a row loop: kActions when it is known at compile time
// (non-zero), else `actions`, read at run time.
template <std::uint64_t kActions>
constexpr std::uint64_t action_count(std::uint64_t actions) {
  return kActions > 0 ? kActions : actions;
}

// Always inlined into the pass that calls it: the drivers' flatten reaches
// through it under GCC but not under clang, which compiles the wheel.
// Runs `pass` with the action count as an integral_constant for 1 to 8, and
// with 0 (read at run time) otherwise.
template <typename Pass>
[[gnu::always_inline]] inline void with_action_count(std::uint64_t actions, Pass pass) {
  with_constant<1, 2, 3, 4, 5, 6, 7, 8, 0>(actions, pass);
}

}  // namespace tarnel

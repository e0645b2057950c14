// The Q table and the table stack of the parallel drivers, both checked in
// size (support/table_size.h) before anything is allocated.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "support/table_size.h"

namespace tarnel {

using QShape = std::pair<std::uint64_t, std::uint64_t>;  // (states, actions)

// A Q table stored column-major: entry (s, a) at s + a*states.
struct QTable {
  std::uint64_t states = 0;
  std::uint64_t actions = 0;
  std::vector<double> values;

  double& at(std::uint64_t s, std::uint64_t a) { return values[s + a * states]; }
  double at(std::uint64_t s, std::uint64_t a) const { return values[s + a * states]; }
};

// A new zero-filled table; fails before allocating when the element count or
// the byte size does not fit a signed 64-bit size.
QTable zero_q_table(QShape q_shape);

// One table per worker, first index fastest: element [k, s, a] at
// k + depth*(s + states*a).
struct TableStack {
  std::uint64_t depth = 0;
  std::uint64_t states = 0;
  std::uint64_t actions = 0;
  std::vector<double> values;
};

// The stack of the workers' tables, in worker order, built only once every
// worker has finished, so a failed worker costs no stack at all. Takes the
// tables over and releases each right after its copy.
TableStack stack_tables(std::vector<QTable> tables, QShape q_shape);

}  // namespace tarnel

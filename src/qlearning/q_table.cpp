// Making Q tables and checking table sizes before anything is allocated.
#include "qlearning/q_table.h"

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "support/failure.h"

namespace tarnel {

void check_table_size(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  // Only the non-zero extents count: an empty table of shape (0, 2^63) is
  // fine, it holds nothing.
  constexpr std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t count = 1;
  for (const std::uint64_t extent : {a, b, c}) {
    if (extent == 0) continue;
    if (count > limit / extent) {
      fail("table of " + std::to_string(a) + " x " + std::to_string(b) +
           (c == 1 ? std::string() : " x " + std::to_string(c)) +
           " entries exceeds the largest possible allocation");
    }
    count *= extent;
  }
  if (count > limit / sizeof(double)) {
    fail("table of " + std::to_string(count) + " entries exceeds the largest possible allocation");
  }
}

QTable zero_q_table(QShape q_shape) {
  check_table_size(q_shape.first, q_shape.second);
  QTable table;
  table.states = q_shape.first;
  table.actions = q_shape.second;
  table.values.assign(q_shape.first * q_shape.second, 0.0);
  return table;
}

// Builds the stack only once every worker has finished, so a failed worker
// costs no stack at all. Each table is released right after its copy, which
// keeps the peak at the tables plus one stack.
TableStack stack_tables(std::vector<QTable> tables, QShape q_shape) {
  const std::uint64_t depth = tables.size();
  const std::uint64_t states = q_shape.first;
  const std::uint64_t actions = q_shape.second;
  check_table_size(depth, states, actions);
  TableStack stack;
  stack.depth = depth;
  stack.states = states;
  stack.actions = actions;
  stack.values.assign(depth * states * actions, 0.0);
  const std::uint64_t entries = states * actions;
  for (std::uint64_t k = 0; k < depth; ++k) {
    // Entry (s, a) of a table sits at i = s + states*a, and element
    // [k, s, a] of the stack at k + depth*i: one strided pass per table.
    const std::vector<double>& table = tables[k].values;
    double* slab = stack.values.data() + k;
    for (std::uint64_t i = 0; i < entries; ++i) slab[i * depth] = table[i];
    tables[k] = QTable();
  }
  return stack;
}

}  // namespace tarnel

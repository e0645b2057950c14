// Making Q tables and stacks of them.
#include "qlearning/q_table.h"

#include <cstdint>
#include <utility>

namespace tarnel {

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

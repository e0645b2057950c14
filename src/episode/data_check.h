// Checking episode data before training: one pass over the episode arrays
// that finds every cell training would not read as it was recorded (an index
// it converts, truncates or saturates, or that lies outside the table; a
// reward that is not finite; a terminal flag other than 0 or 1) and every
// episode without rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "episode/episode.h"

namespace tarnel {

// The columns a transition is read from, in their order.
enum class Column : std::uint8_t { state, action, reward, next_state, terminal };

enum class Fault : std::uint8_t {
  not_a_number,    // an index or a reward that is NaN
  negative,        // an index below zero, -inf included
  infinite,        // an index of +inf, or a reward of either infinity
  not_an_integer,  // a finite index with a fractional part
  out_of_range,    // an integral index not below the table's size
  not_a_flag,      // a terminal flag other than 0 or 1
  no_rows,         // an episode without transitions (no cell)
};

struct Finding {
  std::uint64_t episode = 0;  // position in the data
  std::uint64_t row = 0;      // not used for no_rows
  Column column = Column::state;
  Fault fault = Fault::no_rows;
  double value = 0.0;  // the cell as recorded
};

// What one check found: how many problems, and the first few of them in
// data order (episode, row, column), for the table shape it checked against.
struct DataCheck {
  static constexpr std::size_t most_shown = 10;

  std::uint64_t states = 0;
  std::uint64_t actions = 0;
  std::uint64_t problems = 0;
  std::vector<Finding> shown;  // at most most_shown

  bool clean() const { return problems == 0; }
};

// Checks every row of every view against a table of `states` x `actions`,
// with one finding per faulty cell. The next state is checked only on rows
// that are not terminal (a flag of exactly 1), since only those read it.
// Fails, as building the episodes does, on an array with rows but fewer than
// five columns. `checked(k)` runs as soon as view k has been read, so the
// caller can give the k-th array back at once.
DataCheck check_episodes(std::span<const ArrayView> views, std::uint64_t states, std::uint64_t actions,
                         const std::function<void(std::size_t)>& checked = {});

// The report of a check that found problems: a count, then one line per
// finding shown, saying where it is, what was recorded and what training
// does with it.
std::string to_string(const DataCheck& check);

}  // namespace tarnel

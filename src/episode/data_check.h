// Checking episode data before training: one pass over the episodes that
// finds every cell training would not read as it was recorded (an index it
// converts, truncates or saturates, or that lies outside the table; a reward
// that is not finite; a terminal flag other than 0 or 1), every episode
// without rows or with too few columns, and data without episodes. The same
// pass notes what reads as recorded but is almost certainly wrong: unread
// next states beyond the table, terminal flags on what look like time-limit
// cuts, padding, next states taken from the row that starts the next
// episode, and rows out of order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "episode/source.h"

namespace tarnel {

// The columns a transition is read from, in their order.
enum class Column : std::uint8_t { state, action, reward, next_state, terminal };

enum class Fault : std::uint8_t {
  not_a_number,     // an index or a reward that is NaN
  negative,         // an index below zero, -inf included
  infinite,         // an index of +inf, or a reward of either infinity
  not_an_integer,   // a finite index with a fractional part
  out_of_range,     // an integral index not below the table's size
  not_a_flag,       // a terminal flag other than 0 or 1
  no_rows,          // an episode without transitions (no cell)
  too_few_columns,  // an episode array with rows but fewer than five columns (its column count as value)
  no_episodes,      // data without a single episode (no cell, no episode)
};

struct Finding {
  std::uint64_t episode = 0;  // position in the data
  std::uint64_t row = 0;      // only for faults of a cell
  Column column = Column::state;
  Fault fault = Fault::no_rows;
  double value = 0.0;  // the cell as recorded
};

// All findings of one column and fault: how many, and the first.
struct Kind {
  std::uint64_t count = 0;
  Finding first;
};

// Something that reads as recorded but is almost certainly wrong: how many
// times it was seen (`count`, and `rows` where it spans rows), where first,
// and the value there.
struct Sighting {
  std::uint64_t count = 0;
  std::uint64_t rows = 0;
  std::uint64_t episode = 0;
  std::uint64_t row = 0;
  double value = 0.0;
};

// What one check found, for the table shape it checked against: how many
// problems, each kind of them in the order first found, the first few
// problems in data order (episode, row, column), and the warnings.
struct DataCheck {
  static constexpr std::size_t most_shown = 10;

  std::uint64_t states = 0;
  std::uint64_t actions = 0;
  std::uint64_t problems = 0;
  std::vector<Kind> kinds;
  std::vector<Finding> shown;  // at most most_shown

  // Terminal rows whose next state, which training does not read, lies at or
  // above the number of states (count: rows; value: the first such state).
  Sighting unread_beyond_table;
  // States that end episodes as terminal next states and also start recorded
  // transitions (count: states; rows: the terminal rows into them; value:
  // the state of the first such row).
  Sighting terminal_and_recorded;
  // Episodes ending in a run of all-zero rows that follows a terminal row or
  // fills the episode (count: episodes; rows: rows in those runs; value: the
  // length of the first run, whose first row is the location). A run after a
  // row that is not terminal may be a walk cut while it stayed at state 0.
  Sighting zero_padding;

  // What the layout sightings below are counted against: the episodes with
  // rows, and the rows followed by another row of their episode.
  std::uint64_t episodes_with_rows = 0;
  std::uint64_t followed_rows = 0;
  // Episodes whose last row leads to the first state of the next episode
  // with rows (count: episodes; rows: those last rows that are not terminal,
  // whose next state training reads; value: the next state of the first).
  Sighting leads_into_next;
  // Whether every episode starts in one state and every last row leads to
  // it, which would explain the sighting above.
  bool one_start_and_end = true;
  // Episodes of one row that is not terminal (count: episodes).
  Sighting single_rows;
  // Rows whose next state is not the state of the row after them in their
  // episode (count: rows; value: the next state of the first).
  Sighting broken_chain;

  bool clean() const { return problems == 0; }
};

// Checks every row of every episode that `source` hands over against a table
// of `states` x `actions`, with one finding per faulty cell. The next state
// is checked only on rows that are not terminal (a flag of exactly 1), since
// only those read it. What the check keeps across rows (a run of zero rows,
// the states seen) carries over from one piece of an episode to the next.
DataCheck check_episodes(EpisodeSource& source, std::uint64_t states, std::uint64_t actions);

// The report of a check that found problems: the count, one line per kind
// with its first location and, where one fits, the likely cause, then one
// line per finding shown, saying where it is, what was recorded and what
// training does with it, and last the warnings.
std::string to_string(const DataCheck& check);

// One text per warning the check gives, each with its count, its first
// location and the likely cause; none for data that reads as it should.
std::vector<std::string> warnings(const DataCheck& check);

}  // namespace tarnel

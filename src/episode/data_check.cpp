// The check of episode data against what training reads of it.
#include "episode/data_check.h"

#include <algorithm>
#include <cmath>

#include "support/console.h"

namespace tarnel {

namespace {

inline double cell(const std::byte* row, std::int64_t column_stride, Column column) {
  return element_at(row + static_cast<std::int64_t>(column) * column_stride);
}

// A table dimension, with the bound of the quick test below.
struct Dimension {
  std::uint64_t size;
  // Every double in [0, quick_bound) converts exactly through a signed
  // integer, being below 2^63, and one that is integral lies below `size`:
  // a double below `size` rounded to the nearest double is below `size`.
  double quick_bound;

  explicit Dimension(std::uint64_t n) : size(n), quick_bound(quick_index_bound(n)) {}
};

// Whether training reads an index cell as the value recorded there, inside
// the dimension: the one test almost every cell takes, so the usual case
// costs two compares and a round trip through an integer.
inline bool index_reads_as_recorded(double value, const Dimension& dimension) {
  if (value >= 0.0 && value < dimension.quick_bound) [[likely]] {
    return static_cast<double>(static_cast<std::int64_t>(value)) == value;
  }
  // The rest, exactly as training reads it. The conversion back is exact for
  // every integral value below 2^64, and no fraction, NaN or negative value
  // equals it.
  const std::uint64_t read = saturating_index(value);
  return read < dimension.size && static_cast<double>(read) == value;
}

Fault index_fault(double value) {
  if (std::isnan(value)) return Fault::not_a_number;
  if (value < 0.0) return Fault::negative;
  if (std::isinf(value)) return Fault::infinite;
  if (value != std::trunc(value)) return Fault::not_an_integer;
  return Fault::out_of_range;
}

struct Collector {
  DataCheck& check;

  void add(std::uint64_t episode, std::uint64_t row, Column column, Fault fault, double value) {
    ++check.problems;
    if (check.shown.size() < DataCheck::most_shown) {
      check.shown.push_back({episode, row, column, fault, value});
    }
  }

  void index(std::uint64_t episode, std::uint64_t row, Column column, double value, const Dimension& range) {
    if (!index_reads_as_recorded(value, range)) [[unlikely]] {
      add(episode, row, column, index_fault(value), value);
    }
  }
};

const char* column_name(Column column) {
  switch (column) {
    case Column::state: return "state";
    case Column::action: return "action";
    case Column::reward: return "reward";
    case Column::next_state: return "next state";
    case Column::terminal: return "terminal";
  }
  return "";
}

// " is not below the number of states, 16; training fails on it"
void append_index_finding(std::string& out, const Finding& finding, std::uint64_t size) {
  switch (finding.fault) {
    case Fault::not_a_number: out += " is not a number"; break;
    case Fault::negative: out += " is negative"; break;
    case Fault::infinite: out += " is infinite"; break;
    case Fault::not_an_integer: out += " is not an integer"; break;
    default:
      out += finding.column == Column::action ? " is not below the number of actions, "
                                              : " is not below the number of states, ";
      out += std::to_string(size) + "; training fails on it";
      return;
  }
  const std::uint64_t read = saturating_index(finding.value);
  out += "; training reads it as " + std::to_string(read);
  if (read >= size) out += " and fails on it";
}

void append_finding(std::string& out, const Finding& finding, const DataCheck& check) {
  out += "\n  episode " + std::to_string(finding.episode) + " of data";
  if (finding.fault == Fault::no_rows) {
    out += " has no rows; td_learn_backward fails on it, the other functions learn nothing from it";
    return;
  }
  out += ", row " + std::to_string(finding.row) + ": " + column_name(finding.column) + " ";
  console::append_number(out, finding.value);
  switch (finding.column) {
    case Column::reward:
      out += finding.fault == Fault::not_a_number ? " is not a number" : " is infinite";
      out += "; training spreads it through the table";
      return;
    case Column::terminal: out += " is neither 0 nor 1; training reads it as not terminal"; return;
    case Column::action: append_index_finding(out, finding, check.actions); return;
    default: append_index_finding(out, finding, check.states); return;
  }
}

}  // namespace

DataCheck check_episodes(std::span<const ArrayView> views, std::uint64_t states, std::uint64_t actions,
                         const std::function<void(std::size_t)>& checked) {
  DataCheck check{states, actions, 0, {}};
  check.shown.reserve(DataCheck::most_shown);
  Collector found{check};
  const Dimension state_range(states);
  const Dimension action_range(actions);
  for (std::size_t k = 0; k < views.size(); ++k) {
    const ArrayView& view = views[k];
    if (view.rows == 0) found.add(k, 0, Column::state, Fault::no_rows, 0.0);
    check_columns(view, k);
    const std::int64_t c = view.column_stride;
    for (std::uint64_t i = 0; i < view.rows; ++i) {
      const std::byte* row = view.data + static_cast<std::int64_t>(i) * view.row_stride;
      found.index(k, i, Column::state, cell(row, c, Column::state), state_range);
      found.index(k, i, Column::action, cell(row, c, Column::action), action_range);
      const double reward = cell(row, c, Column::reward);
      if (!std::isfinite(reward)) [[unlikely]] {
        found.add(k, i, Column::reward, std::isnan(reward) ? Fault::not_a_number : Fault::infinite, reward);
      }
      // Only a flag of exactly 1 ends an episode; on every other row the
      // next state's row is read, whatever the flag says.
      const double terminal = cell(row, c, Column::terminal);
      if (terminal != 1.0) {
        found.index(k, i, Column::next_state, cell(row, c, Column::next_state), state_range);
      }
      if (terminal != 0.0 && terminal != 1.0) [[unlikely]] {
        found.add(k, i, Column::terminal, Fault::not_a_flag, terminal);
      }
    }
    if (checked) checked(k);
  }
  return check;
}

std::string to_string(const DataCheck& check) {
  std::string out = "check_episodes found " + std::to_string(check.problems) +
                    (check.problems == 1 ? " problem" : " problems") + " in data";
  if (check.problems > check.shown.size()) out += " (first " + std::to_string(check.shown.size()) + " shown)";
  out += ":";
  for (const Finding& finding : check.shown) append_finding(out, finding, check);
  return out;
}

}  // namespace tarnel

// The check of episode data against what training reads of it.
#include "episode/data_check.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "support/console.h"

namespace tarnel {

namespace {

constexpr std::size_t column_count = 5;
constexpr std::size_t fault_count = static_cast<std::size_t>(Fault::no_episodes) + 1;

inline double cell(const std::byte* row, std::int64_t column_stride, Column column) {
  return element_at(row + static_cast<std::int64_t>(column) * column_stride);
}

// Whether training reads an index cell as the value recorded there, inside
// the dimension: the one test almost every cell takes, so the usual case
// costs two compares and a round trip through an integer.
inline bool index_reads_as_recorded(double value, const IndexBound& dimension) {
  if (value >= 0.0 && value < dimension.quick) [[likely]] {
    return static_cast<double>(static_cast<std::int64_t>(value)) == value;
  }
  // The rest, exactly as training reads it. The conversion back is exact for
  // every integral value below 2^64, and no fraction, NaN or negative value
  // equals it.
  const std::uint64_t read = saturating_index(value);
  return read < dimension.extent && static_cast<double>(read) == value;
}

Fault index_fault(double value) {
  if (std::isnan(value)) return Fault::not_a_number;
  if (value < 0.0) return Fault::negative;
  if (std::isinf(value)) return Fault::infinite;
  if (value != std::trunc(value)) return Fault::not_an_integer;
  return Fault::out_of_range;
}

// The states that start recorded transitions: a bit per state for tables of
// up to 2^24 states (2 MiB, well below the table training would fill), a
// hash set of those seen beyond that.
class StateSet {
 public:
  explicit StateSet(std::uint64_t states) : dense_(states <= dense_limit) {
    if (dense_) bits_.resize((states + 63) / 64);
  }
  void insert(std::uint64_t s) {
    if (dense_) {
      bits_[s >> 6] |= std::uint64_t{1} << (s & 63);
    } else {
      sparse_.insert(s);
    }
  }
  bool contains(std::uint64_t s) const {
    return dense_ ? (bits_[s >> 6] >> (s & 63)) & 1 : sparse_.count(s) != 0;
  }

 private:
  static constexpr std::uint64_t dense_limit = std::uint64_t{1} << 24;
  bool dense_;
  std::vector<std::uint64_t> bits_;
  std::unordered_set<std::uint64_t> sparse_;
};

struct Collector {
  DataCheck& check;
  // 1 + the index in check.kinds of each column and fault found, 0 before.
  std::array<std::uint8_t, fault_count * column_count> kind_of{};

  void add(std::uint64_t episode, std::uint64_t row, Column column, Fault fault, double value) {
    const Finding finding{episode, row, column, fault, value};
    ++check.problems;
    std::uint8_t& kind =
        kind_of[static_cast<std::size_t>(fault) * column_count + static_cast<std::size_t>(column)];
    if (kind == 0) {
      check.kinds.push_back({0, finding});
      kind = static_cast<std::uint8_t>(check.kinds.size());
    }
    ++check.kinds[kind - 1u].count;
    if (check.shown.size() < DataCheck::most_shown) check.shown.push_back(finding);
  }

  void index(std::uint64_t episode, std::uint64_t row, Column column, double value, const IndexBound& range) {
    if (!index_reads_as_recorded(value, range)) [[unlikely]] {
      add(episode, row, column, index_fault(value), value);
    }
  }
};

// Counts a sighting at (episode, row) with `rows` rows, keeping the first.
void sight(Sighting& sighting, std::uint64_t episode, std::uint64_t row, double value,
           std::uint64_t rows = 1) {
  if (sighting.count++ == 0) {
    sighting.episode = episode;
    sighting.row = row;
    sighting.value = value;
  }
  sighting.rows += rows;
}

}  // namespace

DataCheck check_episodes(EpisodeSource& source, std::uint64_t states, std::uint64_t actions) {
  DataCheck check{};
  check.states = states;
  check.actions = actions;
  check.shown.reserve(DataCheck::most_shown);
  Collector found{check};
  const IndexBound state_range(states);
  const IndexBound action_range(actions);
  StateSet recorded(states);
  // Each next state inside the table that a terminal row leads to: its first
  // such row and how many there are.
  std::unordered_map<std::uint64_t, Sighting> terminal_states;
  // The all-zero rows that end the part of the episode read so far, and
  // whether the row before them was terminal or there is none: padding, not
  // a walk cut while it stayed at state 0. Kept from one piece of an episode
  // to the next.
  std::uint64_t zero_run = 0;
  bool after_end = true;
  // Within an episode, the next state of the row read last, if there is
  // one; across episodes, the state every episode started in so far and
  // the last row of the episode before, for the layout sightings.
  bool has_row = false;
  double next_of_row = 0.0;
  double start_state = 0.0;
  Sighting before_end;  // count: 1 when there is one; rows: 1 when it is not terminal
  bool any_episode = false;
  source.read([&](const RowPiece& piece) {
    any_episode = true;
    const ArrayView& view = piece.view;
    const std::uint64_t k = piece.position;
    if (view.rows == 0 && piece.first_row == 0 && piece.ends_episode) {
      found.add(k, 0, Column::state, Fault::no_rows, 0.0);
    }
    if (view.rows > 0 && view.columns < minimum_columns) {
      found.add(k, 0, Column::state, Fault::too_few_columns, static_cast<double>(view.columns));
      zero_run = 0;
      after_end = true;
      has_row = false;
      before_end.count = 0;
      return;
    }
    const std::int64_t c = view.column_stride;
    for (std::uint64_t i = 0; i < view.rows; ++i) {
      const std::byte* row = view.data + static_cast<std::int64_t>(i) * view.row_stride;
      const std::uint64_t r = piece.first_row + i;
      const double state = cell(row, c, Column::state);
      const double action = cell(row, c, Column::action);
      const double reward = cell(row, c, Column::reward);
      const double next_state = cell(row, c, Column::next_state);
      const double terminal = cell(row, c, Column::terminal);
      if (has_row) {
        ++check.followed_rows;
        if (next_of_row != state) sight(check.broken_chain, k, r - 1, next_of_row);
      } else {
        if (before_end.count > 0 && before_end.value == state) {
          sight(check.leads_into_next, before_end.episode, before_end.row, state, before_end.rows);
        }
        if (check.episodes_with_rows++ == 0) start_state = state;
        check.one_start_and_end &= state == start_state;
      }
      has_row = true;
      next_of_row = next_state;
      if (index_reads_as_recorded(state, state_range)) [[likely]] {
        recorded.insert(static_cast<std::uint64_t>(state));
      } else {
        found.add(k, r, Column::state, index_fault(state), state);
      }
      found.index(k, r, Column::action, action, action_range);
      if (!std::isfinite(reward)) [[unlikely]] {
        found.add(k, r, Column::reward, std::isnan(reward) ? Fault::not_a_number : Fault::infinite, reward);
      }
      // Only a flag of exactly 1 ends an episode; on every other row the
      // next state's row is read, whatever the flag says.
      if (terminal != 1.0) {
        found.index(k, r, Column::next_state, next_state, state_range);
        if (terminal != 0.0) [[unlikely]]
          found.add(k, r, Column::terminal, Fault::not_a_flag, terminal);
      } else if (index_reads_as_recorded(next_state, state_range)) {
        auto [at, added] = terminal_states.try_emplace(static_cast<std::uint64_t>(next_state));
        if (added) at->second = {0, 0, k, r, next_state};
        ++at->second.rows;
      } else if (next_state >= 0.0 && saturating_index(next_state) >= states) {
        // Never read, but the mark of states numbered from 1, or shifted.
        sight(check.unread_beyond_table, k, r, next_state);
      }
      // Every cell 0 or -0: no bit set but the signs, tested without a jump.
      const bool zero = ((std::bit_cast<std::uint64_t>(state) | std::bit_cast<std::uint64_t>(action) |
                          std::bit_cast<std::uint64_t>(reward) | std::bit_cast<std::uint64_t>(next_state) |
                          std::bit_cast<std::uint64_t>(terminal))
                         << 1) == 0;
      zero_run = zero ? zero_run + 1 : 0;
      after_end = zero ? after_end : terminal == 1.0;
    }
    if (view.rows > 0) {
      const std::byte* last = view.data + static_cast<std::int64_t>(view.rows - 1) * view.row_stride;
      const bool terminal = cell(last, c, Column::terminal) == 1.0;
      before_end = {1, terminal ? 0u : 1u, k, piece.first_row + view.rows - 1, next_of_row};
    }
    if (piece.ends_episode) {
      const std::uint64_t end = piece.first_row + view.rows;
      if (zero_run > 0 && after_end) {
        sight(check.zero_padding, k, end - zero_run, static_cast<double>(zero_run), zero_run);
      }
      if (end == 1 && before_end.rows == 1) sight(check.single_rows, k, 0, 0.0);
      if (has_row) check.one_start_and_end &= next_of_row == start_state;
      zero_run = 0;
      after_end = true;
      has_row = false;
    }
  });
  if (!any_episode) found.add(0, 0, Column::state, Fault::no_episodes, 0.0);
  // A terminal state is absorbing: one that also starts transitions was
  // probably reached by a cut, not by an end. The map is unordered, so the
  // first row is the least in data order.
  Sighting& cut = check.terminal_and_recorded;
  for (const auto& [state, first] : terminal_states) {
    if (!recorded.contains(state)) continue;
    if (cut.count == 0 || std::tie(first.episode, first.row) < std::tie(cut.episode, cut.row)) {
      cut.episode = first.episode;
      cut.row = first.row;
      cut.value = first.value;
    }
    ++cut.count;
    cut.rows += first.rows;
  }
  return check;
}

namespace {

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

std::string counted(std::uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// "next state 16 is not below the number of states, 16": the cell and what
// is wrong with it, as the report's kinds and findings both begin.
void append_fault(std::string& out, const Finding& finding, const DataCheck& check) {
  out += column_name(finding.column);
  out += ' ';
  console::append_number(out, finding.value);
  switch (finding.fault) {
    case Fault::not_a_number: out += " is not a number"; return;
    case Fault::negative: out += " is negative"; return;
    case Fault::infinite: out += " is infinite"; return;
    case Fault::not_an_integer: out += " is not an integer"; return;
    case Fault::not_a_flag: out += " is neither 0 nor 1"; return;
    default:
      out += finding.column == Column::action ? " is not below the number of actions, "
                                              : " is not below the number of states, ";
      out += std::to_string(finding.column == Column::action ? check.actions : check.states);
      return;
  }
}

// "; training reads it as 4 and fails on it": what training does with the cell.
void append_consequence(std::string& out, const Finding& finding, const DataCheck& check) {
  switch (finding.column) {
    case Column::reward:
      out +=
          finding.fault == Fault::not_a_number
              ? "; the entries training updates with it become NaN, and a NaN table sum disables the stop test"
              : "; the entries training updates with it become infinite or NaN, and a table sum that is not "
                "finite disables the stop test";
      return;
    case Column::terminal: out += "; training reads it as not terminal"; return;
    default: break;
  }
  const std::uint64_t size = finding.column == Column::action ? check.actions : check.states;
  if (finding.fault == Fault::out_of_range) {
    out += "; training fails on it";
    return;
  }
  const std::uint64_t read = saturating_index(finding.value);
  out += "; training reads it as " + std::to_string(read);
  if (read >= size) out += " and fails on it";
}

// The cause a kind of finding most likely has, where one fits.
const char* likely_cause(const Finding& first, const DataCheck& check) {
  const bool is_index = first.column != Column::reward && first.column != Column::terminal;
  if (first.fault == Fault::out_of_range) {
    if (first.column == Column::action)
      return first.value == static_cast<double>(check.actions) ? "actions may be 1-based" : nullptr;
    return first.value == static_cast<double>(check.states) ? "states may be 1-based" : nullptr;
  }
  if (first.column == Column::next_state &&
      (first.fault == Fault::negative || first.fault == Fault::not_a_number)) {
    return "it may mark a missing next state at the end of an episode whose terminal flag is not 1";
  }
  if (is_index && first.fault == Fault::not_an_integer)
    return "the column may hold measurements rather than indexes";
  return nullptr;
}

void append_kind(std::string& out, const Kind& kind, const DataCheck& check) {
  const Finding& first = kind.first;
  out += "\n  ";
  switch (first.fault) {
    case Fault::no_episodes: out += "data has no episodes"; return;
    case Fault::no_rows:
      out += counted(kind.count, "episode has", "episodes have") +
             " no rows (first: " + location(first.episode) + ")";
      return;
    case Fault::too_few_columns:
      out += counted(kind.count, "episode has", "episodes have") +
             " fewer than 5 columns (first: " + location(first.episode) + ", with " +
             std::to_string(saturating_index(first.value)) + ")";
      return;
    default: break;
  }
  out += counted(kind.count, "row: ", "rows: ");
  append_fault(out, first, check);
  out += " (first: " + location(first.episode, first.row) + ")";
  if (const char* cause = likely_cause(first, check)) {
    out += "; ";
    out += cause;
  }
}

void append_finding(std::string& out, const Finding& finding, const DataCheck& check) {
  out += "\n  ";
  const std::string episode = location(finding.episode);
  switch (finding.fault) {
    case Fault::no_episodes:
      out += "data has no episodes; training fails on it, having no episode to replay";
      return;
    case Fault::no_rows:
      out +=
          episode + " has no rows; td_learn_backward fails on it, the other functions learn nothing from it";
      return;
    case Fault::too_few_columns:
      out += episode + " has " + std::to_string(saturating_index(finding.value)) +
             " columns, but a transition needs 5 (state, action, reward, next state, terminal flag); "
             "training fails on it";
      return;
    default: break;
  }
  out += location(finding.episode, finding.row) + ": ";
  append_fault(out, finding, check);
  append_consequence(out, finding, check);
}

}  // namespace

std::string to_string(const DataCheck& check) {
  std::string out = "check_episodes found " + counted(check.problems, "problem", "problems") + " in data:";
  for (const Kind& kind : check.kinds) append_kind(out, kind, check);
  out += check.problems > check.shown.size()
             ? "\nthe first " + std::to_string(check.shown.size()) + " in data order:"
             : std::string("\neach in data order:");
  for (const Finding& finding : check.shown) append_finding(out, finding, check);
  // Data with problems raises rather than warns, so its warnings come here.
  const std::vector<std::string> also = warnings(check);
  if (!also.empty()) out += "\nwarnings:";
  for (const std::string& text : also) out += "\n  " + text;
  return out;
}

namespace {

// Whether most of `base` show a sighting: a pattern of the data's layout,
// seen often enough (ten times) not to be the accident of a few rows written
// by hand.
bool most(const Sighting& sighting, std::uint64_t base) {
  return sighting.count >= 10 && 2 * sighting.count > base;
}

// Next states taken from the following row of the log, which starts the
// next episode: most episodes lead into the next one, unless every one
// starts and ends in one state.
bool next_states_from_following_row(const DataCheck& check) {
  return most(check.leads_into_next, check.episodes_with_rows) && !check.one_start_and_end;
}

// Rows that stand out of order: cut into episodes of one row each where an
// unsorted log's episode id changes, or grouped with their episode's rows in
// the wrong order.
bool rows_out_of_order(const DataCheck& check) {
  return most(check.single_rows, check.episodes_with_rows) || most(check.broken_chain, check.followed_rows);
}

std::string of(const Sighting& sighting, std::uint64_t base) {
  return std::to_string(sighting.count) + " of " + std::to_string(base);
}

}  // namespace

std::vector<std::string> warnings(const DataCheck& check) {
  std::vector<std::string> out;
  const bool from_following_row = next_states_from_following_row(check);
  const bool out_of_order = rows_out_of_order(check);
  if (const Sighting& beyond = check.unread_beyond_table; beyond.count > 0) {
    std::string text = counted(beyond.count, "terminal row", "terminal rows") + ": next state ";
    console::append_number(text, beyond.value);
    out.push_back(text + " is not below the number of states, " + std::to_string(check.states) +
                  " (first: " + location(beyond.episode, beyond.row) +
                  "); training does not read it there, but states may be 1-based or shifted");
  }
  // Terminal rows that lead into the next episode's first state explain
  // the terminal states that start transitions.
  if (const Sighting& cut = check.terminal_and_recorded; cut.count > 0 && !from_following_row) {
    std::string text = counted(cut.rows, "terminal row leads", "terminal rows lead") + " to " +
                       counted(cut.count, "state that also starts", "states that also start") +
                       " recorded transitions (first: " + location(cut.episode, cut.row) + ", next state ";
    console::append_number(text, cut.value);
    out.push_back(
        text + "); a terminal state has no future, so these flags are probably time-limit cuts (truncations) "
               "recorded as terminations: give such a row terminal flag 0");
  }
  // Rows out of order end episodes anywhere, in all-zero rows too.
  if (const Sighting& padding = check.zero_padding; padding.count > 0 && !out_of_order) {
    const std::uint64_t run = saturating_index(padding.value);
    std::string rows =
        run == 1 ? "row " + std::to_string(padding.row)
                 : "rows " + std::to_string(padding.row) + " to " + std::to_string(padding.row + run - 1);
    out.push_back(
        counted(padding.count, "episode ends", "episodes end") +
        " in all-zero rows that follow a terminal row or fill the episode, " +
        counted(padding.rows, "row", "rows") + " in all (first: " + location(padding.episode) + ", " + rows +
        "); this looks like padding, which training replays as transitions from state 0 by action 0: "
        "drop those rows");
  }
  if (from_following_row) {
    const Sighting& into = check.leads_into_next;
    std::string text =
        of(into, check.episodes_with_rows) +
        " episodes end in a row whose next state is the first state of the episode after it (first: " +
        location(into.episode, into.row) + ", next state ";
    console::append_number(text, into.value);
    text +=
        "); these next states were probably taken from the following row of the log, which starts another "
        "episode";
    // Only the rows that are not terminal are read so.
    if (into.rows > 0) {
      text += ", and training replays the " + counted(into.rows, "such row", "such rows") +
              " without a terminal flag as steps into it";
    }
    out.push_back(
        text + ": build the table with tarnel.EpisodeTable.from_flags, which takes next states within each "
               "episode");
  }
  if (out_of_order) {
    const bool single = most(check.single_rows, check.episodes_with_rows);
    const Sighting& seen = single ? check.single_rows : check.broken_chain;
    std::string text =
        single
            ? of(seen, check.episodes_with_rows) +
                  " episodes are one row long and end without a terminal flag" +
                  " (first: " + location(seen.episode, seen.row) + ")"
            : of(seen, check.followed_rows) +
                  " rows lead to a next state that is not the state of the row after them in their episode" +
                  " (first: " + location(seen.episode, seen.row) + ", next state ";
    if (!single) {
      console::append_number(text, seen.value);
      text += ")";
    }
    out.push_back(text + "; the rows of the log probably stand out of order" +
                  (single ? ", cut into episodes wherever the episode id changes" : "") +
                  ": build the table with tarnel.EpisodeTable.from_ids, which groups the rows by episode id "
                  "and orders each episode's rows by step");
  }
  return out;
}

}  // namespace tarnel

// The check of episode data: which cells are findings and with what text,
// the terminal-row exemption of the next state, data order and the cap on
// findings shown, any layout read in logical order, the column check, pieces.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "check.h"
#include "episode/data_check.h"
#include "episode/visit_counts.h"
#include "support/failure.h"

using namespace tarnel;

namespace {

const double not_a_number = std::numeric_limits<double>::quiet_NaN();
const double infinity = std::numeric_limits<double>::infinity();
constexpr std::uint64_t max_index = std::numeric_limits<std::uint64_t>::max();

ArrayView row_major(const std::vector<double>& values, std::uint64_t rows, std::uint64_t columns) {
  return {reinterpret_cast<const std::byte*>(values.data()), rows, columns,
          static_cast<std::int64_t>(columns * sizeof(double)), sizeof(double)};
}

DataCheck check_views(std::span<const ArrayView> views, std::uint64_t states = 4, std::uint64_t actions = 2) {
  ViewSource source(views);
  return check_episodes(source, states, actions);
}

DataCheck check_rows(const std::vector<double>& values, std::uint64_t states = 4, std::uint64_t actions = 2) {
  const ArrayView view = row_major(values, values.size() / 5, 5);
  return check_views(std::span(&view, 1), states, actions);
}

std::string last_line(const std::string& text) { return text.substr(text.rfind('\n') + 1); }

// Every episode in pieces of `rows` rows, as a table hands them over.
struct PieceSource final : EpisodeSource {
  std::span<const ArrayView> views;
  std::uint64_t rows;
  PieceSource(std::span<const ArrayView> v, std::uint64_t r) : views(v), rows(r) {}
  std::uint64_t episodes() const override { return views.size(); }
  std::uint64_t transitions() const override { return ViewSource(views).transitions(); }
  void read(const std::function<void(const RowPiece&)>& piece) override {
    for (std::size_t k = 0; k < views.size(); ++k) {
      for (std::uint64_t first = 0; first == 0 || first < views[k].rows; first += rows) {
        ArrayView part = views[k];
        part.data += static_cast<std::int64_t>(first) * part.row_stride;
        part.rows = std::min(rows, views[k].rows - first);
        piece({part, k, first, first + part.rows == views[k].rows});
      }
    }
  }
};

}  // namespace

TEST(each_fault_of_each_column_is_one_finding_with_its_text) {
  // One row of a 4 x 2 table each; "" when the row reads as recorded.
  const struct {
    std::vector<double> row;
    const char* line;
  } cases[] = {
      {{3, 1, -2.5, 0, 0}, ""},
      {{-0.0, 0, 0, 3, 1}, ""},
      {{0, 0, 1e300, 2, 0}, ""},
      {{not_a_number, 0, 0, 0, 0}, "state NaN is not a number; training reads it as 0"},
      {{-1, 0, 0, 0, 0}, "state -1 is negative; training reads it as 0"},
      {{-infinity, 0, 0, 0, 0}, "state -inf is negative; training reads it as 0"},
      {{infinity, 0, 0, 0, 0},
       "state inf is infinite; training reads it as 18446744073709551615 and fails on it"},
      {{2.5, 0, 0, 0, 0}, "state 2.5 is not an integer; training reads it as 2"},
      {{4.5, 0, 0, 0, 0}, "state 4.5 is not an integer; training reads it as 4 and fails on it"},
      {{4, 0, 0, 0, 0}, "state 4 is not below the number of states, 4; training fails on it"},
      {{1e20, 0, 0, 0, 0},
       "state 100000000000000000000 is not below the number of states, 4; training fails on it"},
      {{0, -0.5, 0, 0, 0}, "action -0.5 is negative; training reads it as 0"},
      {{0, 2, 0, 0, 0}, "action 2 is not below the number of actions, 2; training fails on it"},
      {{0, 0.25, 0, 0, 0}, "action 0.25 is not an integer; training reads it as 0"},
      {{0, 0, not_a_number, 0, 0},
       "reward NaN is not a number; the entries training updates with it become NaN, and a NaN table sum "
       "disables the stop test"},
      {{0, 0, -infinity, 0, 0},
       "reward -inf is infinite; the entries training updates with it become infinite or NaN, and a table sum "
       "that is not finite disables the stop test"},
      {{0, 0, 0, 4, 0}, "next state 4 is not below the number of states, 4; training fails on it"},
      {{0, 0, 0, -1, 0}, "next state -1 is negative; training reads it as 0"},
      {{0, 0, 0, 1.5, 0}, "next state 1.5 is not an integer; training reads it as 1"},
      // A sentinel on a terminal row is never read.
      {{0, 0, 0, -1, 1}, ""},
      {{0, 0, 0, not_a_number, 1}, ""},
      {{0, 0, 0, 1e300, 1}, ""},
      // Only exactly 1 ends an episode: another flag is a finding, and the
      // next state of its row is read.
      {{0, 0, 0, 0, 0.5}, "terminal 0.5 is neither 0 nor 1; training reads it as not terminal"},
      {{0, 0, 0, 0, -0.0}, ""},
      {{0, 0, 0, 0, not_a_number}, "terminal NaN is neither 0 nor 1; training reads it as not terminal"},
      {{0, 0, 0, 0, 2}, "terminal 2 is neither 0 nor 1; training reads it as not terminal"},
  };
  for (const auto& c : cases) {
    const DataCheck check = check_rows(c.row);
    const std::string line = c.line;
    CHECK_EQ(check.problems, line.empty() ? 0u : 1u);
    if (!line.empty()) CHECK_EQ(last_line(to_string(check)), "  episode 0 of data, row 0: " + line);
  }
  // A table without states: every state fails, even one read as 0.
  CHECK_EQ(last_line(to_string(check_rows({not_a_number, 0, 0, not_a_number, 1}, 0, 1))),
           "  episode 0 of data, row 0: state NaN is not a number; training reads it as 0 and fails on it");
}

TEST(large_tables_take_every_index_below_their_size) {
  // States near 2^53 and 2^63, where doubles are sparse and a signed
  // conversion no longer holds the value.
  constexpr std::uint64_t two_53 = std::uint64_t{1} << 53;
  constexpr std::uint64_t two_63 = std::uint64_t{1} << 63;
  const struct {
    double state;
    std::uint64_t states;
    bool clean;
  } cases[] = {
      {9007199254740992.0, two_53, false},        {9007199254740992.0, two_53 + 1, true},
      {9007199254740990.0, two_53 - 1, true},     {9007199254740992.0, two_53 + 3, true},
      {9223372036854775808.0, two_63, false},     {9223372036854775808.0, two_63 + 1, true},
      {9223372036854774784.0, two_63, true},      {18446744073709549568.0, max_index, true},
      {18446744073709551616.0, max_index, false},
  };
  for (const auto& c : cases) {
    const DataCheck check = check_rows({c.state, 0, 0, c.state, 0}, c.states, 1);
    CHECK_EQ(check.problems, c.clean ? 0u : 2u);
  }
}

TEST(findings_come_in_data_order_and_ten_are_shown) {
  // Episode 0: two rows, every cell of the second faulty; episode 1 empty
  // (with three columns: no rows, so no column check); episode 2: eight
  // negative states.
  const std::vector<double> first = {0, 0, 0, 1, 0, -1, -1, not_a_number, -1, 0.5};
  std::vector<double> third;
  for (int i = 0; i < 8; ++i) third.insert(third.end(), {-1.0 - i, 0, 0, 3, 1});
  const std::vector<double> none;
  const ArrayView views[] = {row_major(first, 2, 5), row_major(none, 0, 3), row_major(third, 8, 5)};
  std::vector<std::size_t> checked;
  ViewSource source(views, [&](std::size_t k) { checked.push_back(k); });
  const DataCheck check = check_episodes(source, 4, 2);
  CHECK_EQ(check.problems, 14u);
  CHECK_EQ(check.shown.size(), 10u);
  CHECK(checked == (std::vector<std::size_t>{0, 1, 2}));
  CHECK_EQ(to_string(check),
           "check_episodes found 14 problems in data:\n"
           "  9 rows: state -1 is negative (first: episode 0 of data, row 1)\n"
           "  1 row: action -1 is negative (first: episode 0 of data, row 1)\n"
           "  1 row: reward NaN is not a number (first: episode 0 of data, row 1)\n"
           "  1 row: next state -1 is negative (first: episode 0 of data, row 1); it may mark a missing next "
           "state at the end of an episode whose terminal flag is not 1\n"
           "  1 row: terminal 0.5 is neither 0 nor 1 (first: episode 0 of data, row 1)\n"
           "  1 episode has no rows (first: episode 1 of data)\n"
           "the first 10 in data order:\n"
           "  episode 0 of data, row 1: state -1 is negative; training reads it as 0\n"
           "  episode 0 of data, row 1: action -1 is negative; training reads it as 0\n"
           "  episode 0 of data, row 1: reward NaN is not a number; the entries training updates with it "
           "become NaN, and a NaN table sum disables the stop test\n"
           "  episode 0 of data, row 1: next state -1 is negative; training reads it as 0\n"
           "  episode 0 of data, row 1: terminal 0.5 is neither 0 nor 1; training reads it as not terminal\n"
           "  episode 1 of data has no rows; td_learn_backward fails on it, the other functions learn "
           "nothing from it\n"
           "  episode 2 of data, row 0: state -1 is negative; training reads it as 0\n"
           "  episode 2 of data, row 1: state -2 is negative; training reads it as 0\n"
           "  episode 2 of data, row 2: state -3 is negative; training reads it as 0\n"
           "  episode 2 of data, row 3: state -4 is negative; training reads it as 0");
}

TEST(any_layout_is_read_in_logical_order) {
  // Logical rows (0, 0, 0, 1, 0) and (1, 7, 0, 2, 0), stored column-major
  // with the rows reversed and a sixth column: only the action of logical
  // row 1 is a finding.
  const std::vector<double> stored = {1, 0, 7, 0, 0, 0, 2, 1, 0, 0, 9, 9};
  const auto* last_row = reinterpret_cast<const std::byte*>(stored.data() + 1);
  const ArrayView view{last_row, 2, 6, -static_cast<std::int64_t>(sizeof(double)), 2 * sizeof(double)};
  CHECK_EQ(
      last_line(to_string(check_views(std::span(&view, 1)))),
      "  episode 0 of data, row 1: action 7 is not below the number of actions, 2; training fails on it");
}

TEST(an_array_with_rows_and_too_few_columns_is_a_finding_and_fails_the_visit_count) {
  const std::vector<double> good = {0, 0, 0, 1, 1};
  const std::vector<double> narrow = {0, 0, 0, 0};
  const ArrayView views[] = {row_major(good, 1, 5), row_major(narrow, 1, 4), row_major(good, 1, 5)};
  std::vector<std::size_t> checked;
  ViewSource source(views, [&](std::size_t k) { checked.push_back(k); });
  const DataCheck check = check_episodes(source, 4, 2);
  CHECK_EQ(check.problems, 1u);
  CHECK(checked == (std::vector<std::size_t>{0, 1, 2}));
  std::string failure;
  const std::string error = check::captured_error([&] {
    try {
      visit_counts(source, 4, 2);
    } catch (const TrainingFailure& e) {
      failure = e.what();
    }
  });
  const std::string text =
      "index out of bounds: an episode array needs 5 columns (state, action, reward, next state, "
      "terminal flag) but has 4";
  CHECK_EQ(failure, text);
  CHECK_EQ(error, "tarnel: " + text + "\n");
  CHECK(checked == (std::vector<std::size_t>{0, 1, 2, 0}));
}

TEST(pieces_of_an_episode_are_read_as_the_whole) {
  // Runs that span pieces: padding (episode 0, two zero rows after a
  // terminal row, and a zero row before it), terminal states that start
  // transitions (1 and 2), an unread next state beyond the table, an empty
  // episode, and findings.
  const std::vector<double> first = {1, 1, 0, 2, 0, 0, 0, 0, 0, 0, 2, 1, -1,
                                     1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<double> second = {3, 0, 0, 2, 1, 3, 9, 0.5, 4, 1, 1, 0, 1, 7, 0};
  const std::vector<double> none;
  const ArrayView views[] = {row_major(first, 5, 5), row_major(none, 0, 5), row_major(second, 3, 5)};
  const DataCheck whole = check_views(views);
  CHECK_EQ(whole.zero_padding.rows, 2u);
  CHECK_EQ(whole.terminal_and_recorded.count, 2u);
  CHECK_EQ(whole.unread_beyond_table.count, 1u);
  // Of the six rows followed by another of their episode, only episode 0's
  // fourth leads to the state of the row after it.
  CHECK_EQ(whole.followed_rows, 6u);
  CHECK_EQ(whole.broken_chain.count, 5u);
  ViewSource source(views);
  const std::vector<std::uint64_t> counts = visit_counts(source, 4, 2);
  for (std::uint64_t rows : {1u, 2u, 3u}) {
    PieceSource pieces(views, rows);
    const DataCheck check = check_episodes(pieces, 4, 2);
    CHECK_EQ(to_string(check), to_string(whole));
    CHECK_EQ(check.broken_chain.count, whole.broken_chain.count);
    CHECK(visit_counts(pieces, 4, 2) == counts);
  }
}

CHECK_MAIN

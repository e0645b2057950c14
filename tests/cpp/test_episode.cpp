// Rows read from array views: the saturating index conversion, the terminal
// flag, row order under any strides, and the column check with its note.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "check.h"
#include "episode/compact.h"
#include "episode/episode.h"
#include "episodes.h"
#include "support/failure.h"

using namespace tarnel;

namespace {

constexpr std::uint64_t max_index = std::numeric_limits<std::uint64_t>::max();

ArrayView row_major(const std::vector<double>& values, std::uint64_t rows, std::uint64_t columns) {
  return {reinterpret_cast<const std::byte*>(values.data()), rows, columns,
          static_cast<std::int64_t>(columns * sizeof(double)), sizeof(double)};
}

// Every row of a view, as the rules read it.
Episode from_array(const ArrayView& view) {
  check_columns(view, 0);
  Episode episode;
  for (std::uint64_t i = 0; i < view.rows; ++i)
    episode.transitions.push_back(transition_of(recorded_row(view, i)));
  return episode;
}

}  // namespace

TEST(saturating_index_truncates_and_saturates) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    std::uint64_t expected;
  } cases[] = {{2.9, 2},
               {-3.0, 0},
               {-0.5, 0},
               {nan, 0},
               {-nan, 0},
               {-inf, 0},
               {inf, max_index},
               {1e30, max_index},
               {18446744073709551616.0, max_index},
               {18446744073709549568.0, 18446744073709549568u},
               {0.0, 0},
               {-0.0, 0},
               {4503599627370497.0, 4503599627370497u}};
  for (const auto& c : cases) CHECK_EQ(saturating_index(c.value), c.expected);
}

TEST(rows_become_transitions) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Two rows of seven columns: the extra columns are ignored.
  const std::vector<double> values = {2.9, 1.2, -0.5, 3.99, 1.0, 7, 7, -1, nan, 0.0, 1e30, 0.9999, 7, 7};
  const Episode episode = from_array(row_major(values, 2, 7));
  CHECK_EQ(episode.transitions.size(), 2u);
  const Transition& a = episode.transitions[0];
  CHECK_EQ(a.state, 2u);
  CHECK_EQ(a.action, 1u);
  CHECK_BITS(a.reward, -0.5);
  CHECK_EQ(a.next_state, 3u);
  CHECK(a.done);
  const Transition& b = episode.transitions[1];
  CHECK_EQ(b.state, 0u);
  CHECK_EQ(b.action, 0u);
  CHECK_EQ(b.next_state, max_index);
  CHECK(!b.done);
}

TEST(terminal_flag_is_exactly_one) {
  const double flags[] = {1.0, 0.0, 2.0, 0.9999, -1.0, std::numeric_limits<double>::quiet_NaN()};
  for (const double flag : flags) {
    const std::vector<double> values = {0, 0, 0, 0, flag};
    const Episode episode = from_array(row_major(values, 1, 5));
    CHECK_EQ(episode.transitions[0].done, flag == 1.0);
  }
}

TEST(any_strides_read_in_logical_order) {
  // Stored column-major (a transposed array), walked backwards over rows.
  const std::uint64_t rows = 3, columns = 5;
  std::vector<double> values(rows * columns);
  for (std::uint64_t i = 0; i < rows; ++i) {
    for (std::uint64_t j = 0; j < columns; ++j) values[i + j * rows] = static_cast<double>(10 * i + j);
  }
  const auto* last_row = reinterpret_cast<const std::byte*>(values.data() + (rows - 1));
  const ArrayView reversed{last_row, rows, columns, -static_cast<std::int64_t>(sizeof(double)),
                           static_cast<std::int64_t>(rows * sizeof(double))};
  const Episode episode = from_array(reversed);
  for (std::uint64_t i = 0; i < rows; ++i) {
    CHECK_EQ(episode.transitions[i].state, 10 * (rows - 1 - i));
    CHECK_BITS(episode.transitions[i].reward, static_cast<double>(10 * (rows - 1 - i) + 2));
  }
}

TEST(unaligned_data_is_read) {
  std::vector<unsigned char> bytes(5 * sizeof(double) + 1);
  const double row[5] = {3, 1, 0.25, 2, 1};
  std::memcpy(bytes.data() + 1, row, sizeof row);
  const ArrayView view{reinterpret_cast<const std::byte*>(bytes.data() + 1), 1, 5, 40, 8};
  const Episode episode = from_array(view);
  CHECK_EQ(episode.transitions[0].state, 3u);
  CHECK_BITS(episode.transitions[0].reward, 0.25);
}

TEST(too_few_columns_fail_only_with_rows_and_name_the_array) {
  const std::vector<double> values(8, 0.0);
  const ArrayView views[] = {row_major(values, 1, 5), row_major(values, 0, 3), row_major(values, 2, 4)};
  std::vector<std::size_t> built;
  std::string message, note;
  const std::string error = check::captured_error([&] {
    try {
      compact_episodes(views, 4, 4, RowRead::next_state, [&](std::size_t k) { built.push_back(k); });
    } catch (const TrainingFailure& failure) {
      message = failure.what();
      CHECK_EQ(failure.notes().size(), 1u);
      if (!failure.notes().empty()) note = failure.notes()[0];
    }
  });
  const std::string text =
      "index out of bounds: an episode array needs 5 columns (state, action, reward, next state, terminal flag) "
      "but has 4";
  CHECK_EQ(message, text);
  CHECK_EQ(note, std::string("episode 2 of data: shape (2, 4)"));
  CHECK_EQ(error, "tarnel: " + text + "\n");
  CHECK((built == std::vector<std::size_t>{0, 1}));
}

TEST(unset_fields_are_zero) {
  // Transitions written with only their first fields step to state 0 and
  // are not terminal; a view given no strides reads every element from the
  // start of its data.
  const Transition t{3, 1, 2.0};
  CHECK_EQ(t.next_state, std::uint64_t{0});
  CHECK(!t.done);
  const Transition none{};
  CHECK_EQ(none.state, std::uint64_t{0});
  CHECK_EQ(none.action, std::uint64_t{0});
  CHECK_BITS(none.reward, 0.0);
  const std::vector<double> values{1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0};
  ArrayView view;
  view.data = reinterpret_cast<const std::byte*>(values.data());
  view.rows = 2;
  view.columns = 5;
  const Episode episode = from_array(view);
  CHECK_EQ(episode.transitions.size(), std::size_t{2});
  for (const Transition& x : episode.transitions) {
    CHECK_EQ(x.state, std::uint64_t{1});
    CHECK_EQ(x.action, std::uint64_t{1});
    CHECK_BITS(x.reward, 1.0);
    CHECK_EQ(x.next_state, std::uint64_t{1});
    CHECK(x.done);
  }
}

CHECK_MAIN

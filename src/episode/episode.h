// Episode arrays as the core reads them: a read-only view of one 2-D float64
// array, one row per recorded transition, and the transition a row reads as.
// Training never keeps these transitions: the compact form (compact.h) is
// built straight from the views, and only a transition a rule would reject
// is kept whole, to word its failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace tarnel {

// A row as the rules read it: indexes truncated and saturated, the terminal
// flag set only by exactly 1.0.
struct Transition {
  std::uint64_t state = 0;       // column 0
  std::uint64_t action = 0;      // column 1
  double reward = 0.0;           // column 2, as stored
  std::uint64_t next_state = 0;  // column 3
  bool done = false;             // column 4 == 1.0
};

// The five columns of a row, as recorded.
struct RecordedRow {
  double state, action, reward, next_state, terminal;
};

// A read-only view of one 2-D float64 array: element (i, j) is the double at
// byte offset i*row_stride + j*column_stride from `data`. Strides may be
// negative and the data need not be aligned.
struct ArrayView {
  const std::byte* data = nullptr;
  std::uint64_t rows = 0;
  std::uint64_t columns = 0;
  std::int64_t row_stride = 0;
  std::int64_t column_stride = 0;
};

// Truncation toward zero with saturation: NaN and negatives give 0, values of
// 2^64 and above give 2^64 - 1.
inline std::uint64_t saturating_index(double value) {
  // 2^64 is exactly representable; everything at or above it saturates.
  constexpr double two_to_64 = 18446744073709551616.0;
  if (!(value > 0.0)) return 0;  // NaN, zero and every negative value
  if (value >= two_to_64) return ~std::uint64_t{0};
  return static_cast<std::uint64_t>(value);
}

// A table dimension (the states or the actions), with the bound of the
// quick test that reading an index cell takes first: a double in
// [0, quick) converts exactly through a signed integer, being below 2^63,
// and truncates to an index below `extent`, since the bound is the extent
// rounded to the nearest double, and a double below it is below the extent
// whichever way it was rounded. A value at or above it (only possible
// below the extent when the extent is above 2^53) is left to the exact
// reading, saturating_index.
struct IndexBound {
  std::uint64_t extent;
  double quick;

  explicit IndexBound(std::uint64_t n) : extent(n), quick(quick_of(n)) {}

 private:
  static double quick_of(std::uint64_t n) {
    constexpr double two_to_63 = 9223372036854775808.0;
    const double rounded = static_cast<double>(n);
    return rounded < two_to_63 ? rounded : two_to_63;
  }
};

// State, action, reward, next state, terminal flag: the columns every
// episode array with rows must have (more are ignored).
inline constexpr std::uint64_t minimum_columns = 5;

// Fails when an array with rows has fewer than five columns; the failure
// names the array by its position in `data`.
void check_columns(const ArrayView& view, std::size_t position);

// Where in `data` an array, or a row of it, lies, as every failure note and
// report names it: "episode 3 of data", "episode 3 of data, row 2".
std::string location(std::uint64_t episode);
std::string location(std::uint64_t episode, std::uint64_t row);

// The double at `p`. Episode arrays may be unaligned views of byte buffers,
// so elements are copied out rather than dereferenced as doubles.
inline double element_at(const std::byte* p) {
  double value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// Row i of a view with at least five columns, as recorded and as read. In
// line: the conversion reads every row of an unusual layout through them.
inline RecordedRow recorded_row(const ArrayView& view, std::uint64_t i) {
  // Each column sits at a fixed offset from its row's address, whatever the
  // layout.
  const std::int64_t c = view.column_stride;
  const std::byte* row = view.data + static_cast<std::int64_t>(i) * view.row_stride;
  return {element_at(row), element_at(row + c), element_at(row + 2 * c), element_at(row + 3 * c),
          element_at(row + 4 * c)};
}

inline Transition transition_of(const RecordedRow& row) {
  return {saturating_index(row.state), saturating_index(row.action), row.reward,
          saturating_index(row.next_state), row.terminal == 1.0};
}

}  // namespace tarnel

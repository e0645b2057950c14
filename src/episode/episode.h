// Episode arrays as the core reads them: a read-only view of one 2-D float64
// array, one row per recorded transition, and the transition a row reads as.
// Training never keeps these transitions: the compact form (compact.h) is
// built straight from the views, and only a transition a rule would reject
// is kept whole, to word its failure.
#pragma once

#include <cstddef>
#include <cstdint>

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
std::uint64_t saturating_index(double value);

// Fails when an array with rows has fewer than five columns; the failure
// names the array by its position in `data`.
void check_columns(const ArrayView& view, std::size_t position);

// Row i of a view with at least five columns, as recorded and as read.
RecordedRow recorded_row(const ArrayView& view, std::uint64_t i);
Transition transition_of(const RecordedRow& row);

}  // namespace tarnel

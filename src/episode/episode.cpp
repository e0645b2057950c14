// Reading episode arrays row by row.
#include "episode/episode.h"

#include <cstring>
#include <limits>
#include <string>

#include "support/failure.h"

namespace tarnel {

namespace {

constexpr std::uint64_t minimum_columns = 5;

// Episode arrays may be unaligned views of byte buffers, so elements are
// copied out rather than dereferenced as doubles.
inline double element_at(const std::byte* p) {
  double value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

}  // namespace

std::uint64_t saturating_index(double value) {
  // 2^64 is exactly representable; everything at or above it saturates.
  constexpr double two_to_64 = 18446744073709551616.0;
  if (!(value > 0.0)) return 0;  // NaN, zero and every negative value
  if (value >= two_to_64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

void check_columns(const ArrayView& view, std::size_t position) {
  if (view.rows > 0 && view.columns < minimum_columns) {
    TrainingFailure failure = make_failure(
        "index out of bounds: an episode array needs 5 columns (state, action, reward, next state, "
        "terminal flag) but has " +
        std::to_string(view.columns));
    failure.add_note("episode " + std::to_string(position) + " of data: shape (" + std::to_string(view.rows) +
                     ", " + std::to_string(view.columns) + ")");
    throw failure;
  }
}

RecordedRow recorded_row(const ArrayView& view, std::uint64_t i) {
  // Each column sits at a fixed offset from its row's address, whatever the
  // layout.
  const std::int64_t c = view.column_stride;
  const std::byte* row = view.data + static_cast<std::int64_t>(i) * view.row_stride;
  return {element_at(row), element_at(row + c), element_at(row + 2 * c), element_at(row + 3 * c),
          element_at(row + 4 * c)};
}

Transition transition_of(const RecordedRow& row) {
  return {saturating_index(row.state), saturating_index(row.action), row.reward,
          saturating_index(row.next_state), row.terminal == 1.0};
}

}  // namespace tarnel

// Building episodes from read-only views of episode arrays.
#include "episode/episode.h"

#include <cmath>
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

void check_columns(const ArrayView& view) {
  if (view.columns < minimum_columns) {
    fail("index out of bounds: an episode array needs 5 columns (state, action, reward, "
         "next state, terminal flag) but has " + std::to_string(view.columns));
  }
}

Transition transition_at(const ArrayView& view, std::uint64_t i) {
  // Each column sits at a fixed offset from its row's address, whatever the
  // layout.
  const std::int64_t c = view.column_stride;
  const std::byte* row = view.data + static_cast<std::int64_t>(i) * view.row_stride;
  return {saturating_index(element_at(row)), saturating_index(element_at(row + c)), element_at(row + 2 * c),
          saturating_index(element_at(row + 3 * c)), element_at(row + 4 * c) == 1.0};
}

Episode from_array(const ArrayView& view) {
  Episode episode;
  if (view.rows == 0) return episode;
  check_columns(view);
  episode.transitions.reserve(view.rows);
  for (std::uint64_t i = 0; i < view.rows; ++i) episode.transitions.push_back(transition_at(view, i));
  return episode;
}

EpisodeList episodes_from_arrays(std::span<const ArrayView> views,
                                 const std::function<void(std::size_t)>& built) {
  EpisodeList episodes;
  episodes.reserve(views.size());
  for (std::size_t k = 0; k < views.size(); ++k) {
    episodes.push_back(from_array(views[k]));
    if (built) built(k);
  }
  return episodes;
}

}  // namespace tarnel

// Episodes: the recorded transitions that training replays, and how they are
// built from read-only views of 2-D float64 episode arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace tarnel {

struct Transition {
  std::uint64_t state = 0;       // column 0
  std::uint64_t action = 0;      // column 1
  double reward = 0.0;           // column 2, as stored
  std::uint64_t next_state = 0;  // column 3
  bool done = false;             // column 4 == 1.0
};

struct Episode {
  std::vector<Transition> transitions;
};

using EpisodeList = std::vector<Episode>;

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

// Fails when an array with rows has fewer than five columns.
void check_columns(const ArrayView& view);

// The transition in row i of a view with at least five columns.
Transition transition_at(const ArrayView& view, std::uint64_t i);

// One episode from one array: rows in index order; an array with rows but
// fewer than five columns fails.
Episode from_array(const ArrayView& view);

// One episode per view, in order. `built(k)` runs as soon as episode k has
// been built, so the caller can give the k-th array back at once.
EpisodeList episodes_from_arrays(std::span<const ArrayView> views,
                                 const std::function<void(std::size_t)>& built = {});

}  // namespace tarnel

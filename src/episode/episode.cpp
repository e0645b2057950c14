// Reading episode arrays: the column check and its failure.
#include "episode/episode.h"

#include <string>

#include "support/failure.h"

namespace tarnel {

namespace {

constexpr std::uint64_t minimum_columns = 5;

}  // namespace

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

}  // namespace tarnel

// Reading episode arrays: the column check and its failure, and where a
// row lies.
#include "episode/episode.h"

#include <string>

#include "support/failure.h"

namespace tarnel {

void check_columns(const ArrayView& view, std::size_t position) {
  if (view.rows > 0 && view.columns < minimum_columns) {
    TrainingFailure failure = make_failure(
        "index out of bounds: an episode array needs 5 columns (state, action, reward, next state, "
        "terminal flag) but has " +
        std::to_string(view.columns));
    failure.add_note(location(position) + ": shape (" + std::to_string(view.rows) + ", " +
                     std::to_string(view.columns) + ")");
    throw failure;
  }
}

std::string location(std::uint64_t episode) { return "episode " + std::to_string(episode) + " of data"; }

std::string location(std::uint64_t episode, std::uint64_t row) {
  return location(episode) + ", row " + std::to_string(row);
}

}  // namespace tarnel
